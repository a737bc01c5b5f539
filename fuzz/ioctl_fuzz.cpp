// DeviceIoControl on an open port: a sequence of control requests, each with a code (one of
// the serial codes, or any value), an output length and input bytes, then data both ways.
// A verifier report, a leak at unload or a request that never completes aborts.

#include "fuzz/fuzz_target.h"
#include "host/peers/peer_endpoint.h"
#include "platform/machine/machine.h"
#include "support/test_port.h"

#include <ntddser.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

const ULONG SERIAL_CODES[] = {
    IOCTL_SERIAL_SET_BAUD_RATE,   IOCTL_SERIAL_SET_QUEUE_SIZE,    IOCTL_SERIAL_SET_LINE_CONTROL,
    IOCTL_SERIAL_SET_BREAK_ON,    IOCTL_SERIAL_SET_BREAK_OFF,     IOCTL_SERIAL_IMMEDIATE_CHAR,
    IOCTL_SERIAL_SET_TIMEOUTS,    IOCTL_SERIAL_GET_TIMEOUTS,      IOCTL_SERIAL_SET_DTR,
    IOCTL_SERIAL_CLR_DTR,         IOCTL_SERIAL_RESET_DEVICE,      IOCTL_SERIAL_SET_RTS,
    IOCTL_SERIAL_CLR_RTS,         IOCTL_SERIAL_SET_XOFF,          IOCTL_SERIAL_SET_XON,
    IOCTL_SERIAL_GET_WAIT_MASK,   IOCTL_SERIAL_SET_WAIT_MASK,     IOCTL_SERIAL_WAIT_ON_MASK,
    IOCTL_SERIAL_PURGE,           IOCTL_SERIAL_GET_BAUD_RATE,     IOCTL_SERIAL_GET_LINE_CONTROL,
    IOCTL_SERIAL_GET_CHARS,       IOCTL_SERIAL_SET_CHARS,         IOCTL_SERIAL_GET_HANDFLOW,
    IOCTL_SERIAL_SET_HANDFLOW,    IOCTL_SERIAL_GET_MODEMSTATUS,   IOCTL_SERIAL_GET_COMMSTATUS,
    IOCTL_SERIAL_XOFF_COUNTER,    IOCTL_SERIAL_GET_PROPERTIES,    IOCTL_SERIAL_GET_DTRRTS,
    IOCTL_SERIAL_LSRMST_INSERT,   IOCTL_SERIAL_CONFIG_SIZE,       IOCTL_SERIAL_GET_STATS,
    IOCTL_SERIAL_CLEAR_STATS,     IOCTL_SERIAL_GET_MODEM_CONTROL, IOCTL_SERIAL_SET_MODEM_CONTROL,
    IOCTL_SERIAL_SET_FIFO_CONTROL};
constexpr size_t CODE_COUNT = sizeof(SERIAL_CODES) / sizeof(SERIAL_CODES[0]);

void Fail(const char* what)
{
    std::fprintf(stderr, "ioctl_fuzz: %s\n", what);
    std::abort();
}

class Input
{
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return offset_ >= size_; }
    uint8_t Byte() { return offset_ < size_ ? data_[offset_++] : 0; }
    std::vector<UCHAR> Bytes(size_t count)
    {
        std::vector<UCHAR> bytes;
        while (count-- > 0 && offset_ < size_) {
            bytes.push_back(data_[offset_++]);
        }
        return bytes;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

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
        qvx::PeerEndpoint peer(u"COM5");
        qvx::IoManager& io = machine.Io();
        const qvx::FileHandle handle = io.Open(u"\\\\.\\COM5");
        if (handle == qvx::INVALID_FILE_HANDLE) {
            Fail("the port did not open");
        }
        std::vector<qvx::IoRequestPtr> requests;
        Input input(data, size);
        for (int step = 0; step < 16 && !input.Empty(); ++step) {
            const uint8_t selector = input.Byte();
            ULONG code = 0;
            if (selector < 0xF0) {
                code = SERIAL_CODES[selector % CODE_COUNT];
            } else {
                const std::vector<UCHAR> raw = input.Bytes(4);
                for (size_t i = 0; i < raw.size(); ++i) {
                    code |= static_cast<ULONG>(raw[i]) << (8 * i);
                }
            }
            const ULONG outputLength = input.Byte() | (static_cast<ULONG>(input.Byte() & 0x3) << 8);
            const std::vector<UCHAR> bytes = input.Bytes(input.Byte() % 64);
            requests.push_back(io.DeviceIoControlAsync(handle, code, bytes, outputLength));
            // Data both ways between the requests, so settings meet traffic.
            peer.Deliver(std::vector<uint8_t>(input.Byte() % 48, 0x13));
            requests.push_back(io.WriteAsync(handle, std::vector<UCHAR>(input.Byte() % 200, 'w')));
            machine.AdvanceMs(input.Byte() % 64);
        }
        requests.push_back(io.ReadAsync(handle, 64));
        machine.AdvanceMs(100);
        // Closing ends whatever waits: every request completes.
        if (!NT_SUCCESS(io.Close(handle))) {
            Fail("the close failed");
        }
        machine.AdvanceMs(5000);
        for (const auto& request : requests) {
            if (!request->Done()) {
                Fail("a request outlived its handle");
            }
        }
    }
    if (!machine.Violations().empty() || machine.OutstandingBlocks() != 0) {
        Fail("the port did not end clean");
    }
    return 0;
}
