// The data bytes of a telnet stream, found without the codec: outside commands and
// subnegotiations, IAC IAC is one 0xFF. A subnegotiation ends at IAC SE; IAC followed by
// anything but IAC or SE inside one ends it too and starts a command.
#pragma once

#include "host/telnet/telnet.h"

#include <cstddef>
#include <cstdint>
#include <vector>

inline std::vector<uint8_t> TelnetReferenceData(const uint8_t* bytes, size_t length)
{
    namespace telnet = qvx::telnet;
    std::vector<uint8_t> data;
    size_t i = 0;
    while (i < length) {
        if (bytes[i] != telnet::IAC) {
            data.push_back(bytes[i++]);
            continue;
        }
        if (i + 1 >= length) {
            break;
        }
        const uint8_t command = bytes[i + 1];
        if (command == telnet::IAC) {
            data.push_back(telnet::IAC);
            i += 2;
        } else if (command >= telnet::WILL) {
            i += 3;
        } else if (command == telnet::SB) {
            i += 3;
            while (i < length) {
                if (bytes[i] != telnet::IAC) {
                    ++i;
                } else if (i + 1 < length && bytes[i + 1] == telnet::IAC) {
                    i += 2;
                } else if (i + 1 < length && bytes[i + 1] != telnet::SE) {
                    break; // the IAC starts a command of its own
                } else {
                    i += 2;
                    break;
                }
            }
        } else {
            i += 2;
        }
    }
    return data;
}
