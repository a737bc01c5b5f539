// What a network serial server sends to the rfc2217 peer: any bytes (commands, option
// negotiation, subnegotiations, doubled and stray IACs, sequences cut anywhere), decoded in
// chunks whose sizes come from the input, with baud-rate changes in between. Checked: the
// chunking changes nothing, the data is what an independent un-doubling finds, every reply is
// a well-formed command, and escaped data decodes to itself.

#include "fuzz/fuzz_target.h"
#include "host/peers/telnet_client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using qvx::TelnetClient;

void Fail(const char* what)
{
    std::fprintf(stderr, "telnet_client_fuzz: %s\n", what);
    std::abort();
}

struct Decoded
{
    std::vector<uint8_t> Data;
    std::string Replies;
    uint64_t Discarded = 0;
    uint32_t ServerRate = 0;
    bool ComPort = false;
};

// The data bytes of a stream, found without the client: outside commands and subnegotiations,
// IAC IAC is one 0xFF. A subnegotiation ends at IAC followed by anything but IAC.
std::vector<uint8_t> ReferenceData(const uint8_t* bytes, size_t length)
{
    std::vector<uint8_t> data;
    size_t i = 0;
    while (i < length) {
        if (bytes[i] != TelnetClient::IAC) {
            data.push_back(bytes[i++]);
            continue;
        }
        if (i + 1 >= length) {
            break;
        }
        const uint8_t command = bytes[i + 1];
        if (command == TelnetClient::IAC) {
            data.push_back(TelnetClient::IAC);
            i += 2;
        } else if (command >= TelnetClient::WILL && command <= TelnetClient::DONT) {
            i += 3;
        } else if (command == TelnetClient::SB) {
            i += 2;
            while (i < length) {
                if (bytes[i] == TelnetClient::IAC) {
                    if (i + 1 < length && bytes[i + 1] == TelnetClient::IAC) {
                        i += 2;
                        continue;
                    }
                    i += 2;
                    break;
                }
                ++i;
            }
        } else {
            i += 2;
        }
    }
    return data;
}

// Replies are IAC verb option, or IAC SB COM-PORT SET-BAUDRATE <4 bytes, IAC doubled> IAC SE.
bool WellFormed(const std::string& replies)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(replies.data());
    const size_t length = replies.size();
    size_t i = 0;
    while (i < length) {
        if (i + 2 >= length || bytes[i] != TelnetClient::IAC) {
            return false;
        }
        const uint8_t verb = bytes[i + 1];
        if (verb >= TelnetClient::WILL && verb <= TelnetClient::DONT) {
            i += 3;
            continue;
        }
        if (verb != TelnetClient::SB || bytes[i + 2] != TelnetClient::COM_PORT || i + 3 >= length ||
            bytes[i + 3] != TelnetClient::SET_BAUDRATE) {
            return false;
        }
        i += 4;
        for (int n = 0; n < 4; ++n) {
            if (i >= length) {
                return false;
            }
            if (bytes[i] == TelnetClient::IAC) {
                if (i + 1 >= length || bytes[i + 1] != TelnetClient::IAC) {
                    return false;
                }
                ++i;
            }
            ++i;
        }
        if (i + 1 >= length || bytes[i] != TelnetClient::IAC || bytes[i + 1] != TelnetClient::SE) {
            return false;
        }
        i += 2;
    }
    return true;
}

// The first byte chooses chunk sizes and (bit 7) baud-rate calls between chunks.
Decoded Decode(const uint8_t* bytes, size_t length, uint8_t plan, bool chunked)
{
    TelnetClient client;
    Decoded result;
    client.Start(&result.Replies);
    size_t offset = 0;
    unsigned step = 0;
    while (offset < length) {
        size_t chunk = length - offset;
        if (chunked) {
            chunk = std::min<size_t>(chunk, 1 + ((plan >> (step % 4)) & 7) + step % 3);
        }
        client.Decode(bytes + offset, chunk, &result.Data, &result.Replies);
        offset += chunk;
        if ((plan & 0x80) != 0 && step % 5 == 0) {
            client.SetBaudRate(9600u * (step + 1) + 0xFF, &result.Replies);
        }
        ++step;
    }
    result.Discarded = client.Discarded();
    result.ServerRate = client.ServerBaudRate();
    result.ComPort = client.ComPortAccepted();
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const uint8_t plan = data[0];
    const uint8_t* stream = data + 1;
    const size_t length = size - 1;

    // The first byte is the plan, the rest the stream.
    const Decoded whole = Decode(stream, length, plan & 0x7F, false);
    const Decoded pieces = Decode(stream, length, plan & 0x7F, true);
    if (whole.Data != pieces.Data || whole.Replies != pieces.Replies ||
        whole.Discarded != pieces.Discarded || whole.ServerRate != pieces.ServerRate ||
        whole.ComPort != pieces.ComPort) {
        Fail("decoding in pieces differs from decoding at once");
    }
    if (whole.Data != ReferenceData(stream, length)) {
        Fail("data bytes differ from the stream's data after un-doubling");
    }
    if (whole.Data.size() > length || whole.Replies.size() > 24 + 3 * length) {
        Fail("output out of proportion to the input");
    }
    const Decoded withRates = Decode(stream, length, plan | 0x80, true);
    if (!WellFormed(whole.Replies) || !WellFormed(withRates.Replies)) {
        Fail("a reply that is not a well-formed command");
    }
    if (withRates.Data != whole.Data) {
        Fail("baud-rate calls changed the data");
    }

    // The stream taken as port data: escaped, it decodes to itself with no reply.
    std::string escaped;
    TelnetClient::Escape(stream, length, &escaped);
    TelnetClient client;
    std::vector<uint8_t> back;
    std::string replies;
    client.Decode(reinterpret_cast<const uint8_t*>(escaped.data()), escaped.size(), &back,
                  &replies);
    if (back != std::vector<uint8_t>(stream, stream + length) || !replies.empty() ||
        client.Discarded() != 0) {
        Fail("escaped data does not decode to itself");
    }
    return 0;
}
