// What either end of an RFC 2217 link receives, through the telnet codec: any bytes, fed in
// chunks whose sizes come from the input. Checked: the chunking changes neither the data, the
// option verbs, the subnegotiations nor the count of discarded bytes; the data is what an
// independent un-doubling finds; no subnegotiation body exceeds the limit; what the encoders
// produce parses back to itself; and the verbs, answered by one negotiation and the answers by
// another, die out with at most one reply per verb.

#include "fuzz/fuzz_target.h"
#include "fuzz/telnet_reference.h"
#include "host/telnet/telnet.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

namespace telnet = qvx::telnet;

void Fail(const char* what)
{
    std::fprintf(stderr, "telnet_fuzz: %s\n", what);
    std::abort();
}

// Events in order; adjacent data runs merged, since where a run is cut depends on chunking.
struct Events final : telnet::Sink
{
    struct Event
    {
        int Kind; // 0 data, 1 option, 2 subnegotiation
        std::vector<uint8_t> Bytes;
        bool operator==(const Event& other) const
        {
            return Kind == other.Kind && Bytes == other.Bytes;
        }
    };
    std::vector<Event> List;
    std::vector<uint8_t> Data;
    uint64_t Discarded = 0;

    void OnData(const uint8_t* data, size_t length) override
    {
        if (length == 0) {
            Fail("an empty data run");
        }
        Data.insert(Data.end(), data, data + length);
        if (List.empty() || List.back().Kind != 0) {
            List.push_back({0, {}});
        }
        List.back().Bytes.insert(List.back().Bytes.end(), data, data + length);
    }
    void OnOption(uint8_t verb, uint8_t option) override
    {
        if (verb < telnet::WILL || verb > telnet::DONT) {
            Fail("an option event without an option verb");
        }
        List.push_back({1, {verb, option}});
    }
    void OnSubnegotiation(uint8_t option, const std::vector<uint8_t>& body) override
    {
        if (body.size() > telnet::MAX_SUBNEGOTIATION) {
            Fail("a subnegotiation body over the limit");
        }
        std::vector<uint8_t> bytes{option};
        bytes.insert(bytes.end(), body.begin(), body.end());
        List.push_back({2, bytes});
    }
};

Events Parse(const uint8_t* bytes, size_t length, uint8_t plan, bool chunked)
{
    telnet::Parser parser;
    Events events;
    size_t offset = 0;
    for (unsigned step = 0; offset < length; ++step) {
        size_t chunk = length - offset;
        if (chunked) {
            chunk = std::min<size_t>(chunk, 1 + ((plan >> (step % 5)) & 7));
        }
        parser.Feed(bytes + offset, chunk, &events);
        offset += chunk;
    }
    events.Discarded = parser.Discarded();
    return events;
}

// The stream's option verbs go to a server's negotiation, its answers to a client's, theirs back,
// and so on: each verb gets at most one reply, and the exchange dies out.
void Negotiate(const Events& events)
{
    telnet::Negotiation server(
        {telnet::OPTION_BINARY, telnet::OPTION_SGA, telnet::OPTION_COM_PORT},
        {telnet::OPTION_BINARY, telnet::OPTION_SGA, telnet::OPTION_COM_PORT});
    telnet::Negotiation client({telnet::OPTION_BINARY, telnet::OPTION_COM_PORT},
                               {telnet::OPTION_SGA});
    std::vector<uint8_t> verbs;
    for (const Events::Event& event : events.List) {
        if (event.Kind == 1) {
            telnet::AppendOption(&verbs, event.Bytes[0], event.Bytes[1]);
        }
    }
    telnet::Negotiation* parties[2] = {&server, &client};
    for (int round = 0; !verbs.empty(); ++round) {
        if (round > 8) {
            Fail("the negotiation echoes without end");
        }
        std::vector<uint8_t> replies;
        for (size_t i = 0; i + 2 < verbs.size(); i += 3) {
            const size_t before = replies.size();
            parties[round % 2]->Receive(verbs[i + 1], verbs[i + 2], &replies);
            if (replies.size() - before > 3) {
                Fail("more than one reply to one verb");
            }
        }
        verbs.swap(replies);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    // The first byte is the plan, the rest the stream.
    const uint8_t plan = data[0];
    const uint8_t* stream = data + 1;
    const size_t length = size - 1;

    const Events whole = Parse(stream, length, plan, false);
    const Events pieces = Parse(stream, length, plan, true);
    if (!(whole.List == pieces.List) || whole.Discarded != pieces.Discarded) {
        Fail("parsing in pieces differs from parsing at once");
    }
    if (whole.Data != TelnetReferenceData(stream, length)) {
        Fail("data bytes differ from the stream's data after un-doubling");
    }
    Negotiate(whole);

    // The stream as data, as an option verb and as a subnegotiation value: each encoded and
    // parsed by a fresh parser comes back as it went in.
    std::vector<uint8_t> encoded;
    telnet::AppendEscaped(&encoded, stream, length);
    const std::vector<uint8_t> value(stream, stream + std::min<size_t>(length, 63));
    const uint8_t option = length > 0 ? stream[0] : telnet::OPTION_COM_PORT;
    const uint8_t verb = static_cast<uint8_t>(telnet::WILL + plan % 4);
    telnet::AppendOption(&encoded, verb, option);
    telnet::AppendSubnegotiation(&encoded, option, plan, value);
    const Events back = Parse(encoded.data(), encoded.size(), plan, true);
    std::vector<uint8_t> sub{option, plan};
    sub.insert(sub.end(), value.begin(), value.end());
    std::vector<Events::Event> expected;
    if (length > 0) {
        expected.push_back({0, std::vector<uint8_t>(stream, stream + length)});
    }
    expected.push_back({1, {verb, option}});
    expected.push_back({2, sub});
    if (!(back.List == expected)) {
        Fail("encoded data, option or subnegotiation does not parse back to itself");
    }
    return 0;
}
