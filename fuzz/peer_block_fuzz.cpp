// Blocks from the far side of a port: lengths 0 to 64 (the channel's limit is 44), any
// content, with reads of random lengths and time passing between them. A verifier report, a
// leak or a read that never completes aborts.

#include "fuzz/fuzz_target.h"
#include "host/peers/peer_endpoint.h"
#include "platform/machine/machine.h"
#include "support/test_port.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

void Fail(const char* what)
{
    std::fprintf(stderr, "peer_block_fuzz: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qvx::MachineOptions options;
    options.AbortOnViolation = true;
    qvx::Machine machine(options);
    {
        qvx::TestPort port(u"COM5");
        if (!NT_SUCCESS(port.Start())) {
            Fail("the port did not start");
        }
        PCALLBACK_OBJECT receive = qvx::OpenPeerCallbackObject(u"\\Callback\\LyntraRecvCOM5");
        if (receive == nullptr) {
            Fail("no receive object");
        }
        qvx::IoManager& io = machine.Io();
        const qvx::FileHandle handle = io.Open(u"\\\\.\\COM5");
        std::vector<qvx::IoRequestPtr> reads;
        size_t offset = 0;
        while (offset + 2 <= size) {
            const size_t length = std::min<size_t>(data[offset] % 65, size - offset - 2);
            const uint8_t after = data[offset + 1];
            std::vector<uint8_t> block(data + offset + 2, data + offset + 2 + length);
            offset += 2 + length;
            {
                qvx::DispatchLevelScope dispatch;
                ULONG count = static_cast<ULONG>(block.size());
                ExNotifyCallback(receive, block.empty() ? nullptr : block.data(), &count);
            }
            if ((after & 0x80) != 0) {
                reads.push_back(io.ReadAsync(handle, after & 0x7F));
            }
            machine.AdvanceMs(after & 0x0F);
        }
        machine.AdvanceMs(50);
        if (!NT_SUCCESS(io.Close(handle))) {
            Fail("the close failed");
        }
        machine.AdvanceMs(1000);
        for (const auto& read : reads) {
            if (!read->Done()) {
                Fail("a read outlived its handle");
            }
        }
        ObDereferenceObject(receive);
    }
    if (!machine.Violations().empty() || machine.OutstandingBlocks() != 0) {
        Fail("the port did not end clean");
    }
    return 0;
}
