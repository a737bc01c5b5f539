// What a client may send the service: any bytes, cut into reads whose sizes come from the
// input. Checked: the cuts change nothing, the buffer never holds more than one message and
// one read, every message the decoder accepts re-encodes to exactly its bytes (so no field
// is read past its end or left unread), and a body read as a port listing fails cleanly.

#include "fuzz/fuzz_target.h"
#include "host/service/protocol.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace qvx::service;

void Fail(const char* what)
{
    std::fprintf(stderr, "service_decoder_fuzz: %s\n", what);
    std::abort();
}

struct Outcome
{
    std::vector<std::vector<uint8_t>> Frames; // each accepted message, framed again
    bool Broken = false;
};

Outcome Decode(const uint8_t* data, size_t size, size_t cut)
{
    Outcome outcome;
    Deframer deframer;
    size_t at = 0;
    while (at < size && !outcome.Broken) {
        const size_t piece = std::min(size - at, cut);
        deframer.Feed(data + at, piece);
        at += piece;
        if (deframer.Buffered() > MAX_MESSAGE + cut) {
            Fail("the buffer grew past one message and one read");
        }
        Message message;
        std::string why;
        Deframer::Result result;
        while ((result = deframer.Next(&message, &why)) == Deframer::Result::Message) {
            if (message.Body.size() + HEADER_BYTES > MAX_MESSAGE) {
                Fail("a message over the limit was accepted");
            }
            ClientMessage decoded;
            std::string reason;
            if (!DecodeClient(message, &decoded, &reason)) {
                if (reason.empty()) {
                    Fail("a message refused without a reason");
                }
                outcome.Broken = true;
                break;
            }
            if (EncodeClient(decoded) != Frame(message.Type, message.Tag, message.Body)) {
                Fail("an accepted message does not re-encode to its own bytes");
            }
            Reader reader(message.Body);
            std::vector<PortState> ports;
            (void)DecodePorts(reader, &ports);
            outcome.Frames.push_back(EncodeClient(decoded));
        }
        if (result == Deframer::Result::Broken) {
            if (why.empty()) {
                Fail("a broken stream without a reason");
            }
            outcome.Broken = true;
        }
    }
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const size_t cut = 1 + data[0] % 61;
    const Outcome whole = Decode(data + 1, size - 1, size);
    const Outcome pieces = Decode(data + 1, size - 1, cut);
    if (whole.Frames != pieces.Frames || whole.Broken != pieces.Broken) {
        Fail("cutting the stream changed what was decoded");
    }
    return 0;
}
