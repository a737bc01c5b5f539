// What a network serial server sends to the rfc2217 peer: any bytes (commands, option
// negotiation, subnegotiations, doubled and stray IACs, sequences cut anywhere), decoded in
// chunks whose sizes come from the input, with baud-rate changes in between. Checked: the
// chunking changes nothing, the data is what an independent un-doubling finds, every reply is
// a well-formed command, and escaped data decodes to itself.

#include "fuzz/fuzz_target.h"
#include "fuzz/telnet_reference.h"
#include "host/peers/telnet_client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using qvx::TelnetClient;
namespace telnet = qvx::telnet;

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

// Replies are IAC verb option, or IAC SB COM-PORT SET-BAUDRATE <4 bytes, IAC doubled> IAC SE.
bool WellFormed(const std::string& replies)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(replies.data());
    const size_t length = replies.size();
    size_t i = 0;
    while (i < length) {
        if (i + 2 >= length || bytes[i] != telnet::IAC) {
            return false;
        }
        const uint8_t verb = bytes[i + 1];
        if (verb >= telnet::WILL && verb <= telnet::DONT) {
            i += 3;
            continue;
        }
        if (verb != telnet::SB || bytes[i + 2] != telnet::OPTION_COM_PORT || i + 3 >= length ||
            bytes[i + 3] != telnet::SET_BAUDRATE) {
            return false;
        }
        i += 4;
        for (int n = 0; n < 4; ++n) {
            if (i >= length) {
                return false;
            }
            if (bytes[i] == telnet::IAC) {
                if (i + 1 >= length || bytes[i + 1] != telnet::IAC) {
                    return false;
                }
                ++i;
            }
            ++i;
        }
        if (i + 1 >= length || bytes[i] != telnet::IAC || bytes[i + 1] != telnet::SE) {
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
    if (whole.Data != TelnetReferenceData(stream, length)) {
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
