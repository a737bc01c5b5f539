#include "host/win32/bridge.h"
#include "host/win32/bridge_local.h"
#include "host/win32/bridge_remote.h"

#include "platform/machine/machine.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace qvx::win32 {

namespace {

std::atomic<uint64_t> requestsSent{0};

class Request final : public PendingRequest
{
  public:
    explicit Request(IoRequestPtr request) : request_(std::move(request)) {}
    bool Done() const override { return request_->Done(); }
    Completion Wait() override { return Convert(request_->Wait()); }
    Completion Result() const override { return Convert(request_->Result()); }
    bool Cancel() override { return Machine::Current().Io().CancelRequest(request_); }
    void OnCompletion(std::function<void()> notify) override
    {
        request_->OnCompletion(std::move(notify));
    }

  private:
    static Completion Convert(const IoResult& result)
    {
        Completion completion;
        completion.Status = result.Status;
        completion.Information = result.Information;
        completion.Data = result.Data;
        return completion;
    }
    IoRequestPtr request_;
};

// The calls go to a service rather than to this process's machine.
bool Remote()
{
    return remote::Selected(Machine::TryCurrent() != nullptr);
}

} // namespace

namespace local {

uint32_t OpenFile(const std::u16string& name, int32_t* status)
{
    NTSTATUS openStatus = STATUS_SUCCESS;
    const FileHandle handle = Machine::Current().Io().Open(name, 0, &openStatus);
    *status = openStatus;
    return handle;
}

std::shared_ptr<PendingRequest> StartRequest(uint32_t file, RequestKind kind, uint32_t code,
                                             std::vector<uint8_t> input, uint32_t outputLength)
{
    RequestArgs args;
    switch (kind) {
    case RequestKind::Read:
        args.MajorFunction = IRP_MJ_READ;
        break;
    case RequestKind::Write:
        args.MajorFunction = IRP_MJ_WRITE;
        break;
    case RequestKind::Flush:
        args.MajorFunction = IRP_MJ_FLUSH_BUFFERS;
        break;
    case RequestKind::Control:
        args.MajorFunction = IRP_MJ_DEVICE_CONTROL;
        break;
    }
    args.IoControlCode = code;
    args.Input = std::move(input);
    args.OutputLength = outputLength;
    return std::make_shared<Request>(Machine::Current().Io().SendAsync(file, args));
}

int32_t CancelFile(uint32_t file)
{
    return Machine::Current().Io().CancelIo(file);
}

int32_t CloseFile(uint32_t file)
{
    IoManager& io = Machine::Current().Io();
    const NTSTATUS status = io.Close(file);
    io.AfterApplicationCall();
    return status;
}

bool RegistryKeyExists(const std::u16string& path)
{
    return Machine::Current().Reg().KeyExists(RegText(path));
}

std::vector<RegistryValue> RegistryValues(const std::u16string& path)
{
    std::vector<RegistryValue> values;
    for (const RegValue& value : Machine::Current().Reg().ListValues(RegText(path))) {
        values.push_back(RegistryValue{value.Name, value.Type, value.Data});
    }
    return values;
}

std::vector<std::pair<std::u16string, std::u16string>> DosDevices()
{
    static const std::u16string prefix = u"\\??\\";
    std::vector<std::pair<std::u16string, std::u16string>> devices;
    for (const SymbolicLinkInfo& link : Machine::Current().Names().SymbolicLinks()) {
        std::u16string name = link.Name;
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0) {
            devices.emplace_back(name.substr(prefix.size()), link.Target);
        } else if (name.rfind(u"\\DosDevices\\", 0) == 0) {
            devices.emplace_back(name.substr(12), link.Target);
        }
    }
    return devices;
}

} // namespace local

bool MachineRunning()
{
    if (Remote()) {
        return remote::MachineRunning();
    }
    return Machine::TryCurrent() != nullptr;
}

uint32_t OpenFile(const std::u16string& name, int32_t* status)
{
    ++requestsSent;
    return Remote() ? remote::OpenFile(name, status) : local::OpenFile(name, status);
}

std::shared_ptr<PendingRequest> StartRequest(uint32_t file, RequestKind kind, uint32_t code,
                                             std::vector<uint8_t> input, uint32_t outputLength)
{
    ++requestsSent;
    if (remote::Owns(file)) {
        return remote::StartRequest(file, kind, code, input, outputLength);
    }
    return local::StartRequest(file, kind, code, std::move(input), outputLength);
}

int32_t CancelFile(uint32_t file)
{
    return remote::Owns(file) ? remote::CancelFile(file) : local::CancelFile(file);
}

int32_t CloseFile(uint32_t file)
{
    return remote::Owns(file) ? remote::CloseFile(file) : local::CloseFile(file);
}

uint64_t NowMs()
{
    Machine* machine = Machine::TryCurrent();
    if (machine != nullptr && !Remote()) {
        return static_cast<uint64_t>(machine->NowMs());
    }
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

bool WaitUntil(const std::function<bool()>& done, uint32_t timeoutMs, const char* what)
{
    if (Remote()) {
        return remote::WaitUntil(done, timeoutMs);
    }
    Machine* machine = Machine::TryCurrent();
    const bool limited = timeoutMs != UINT32_MAX;
    if (machine == nullptr || machine->Mode() == MachineMode::RealTime) {
        const uint64_t deadline = NowMs() + timeoutMs;
        while (!done()) {
            if (limited && NowMs() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }
    if (done()) {
        return true;
    }
    if (!limited) {
        machine->RunUntil(done, what);
        machine->Io().AfterApplicationCall();
        return true;
    }
    // A timer at the deadline lets the simulated clock run up to it when nothing else moves.
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(timeoutMs) * 10000;
    KeSetTimer(&timer, due, nullptr);
    bool finished = false;
    machine->RunUntil(
        [&] {
            finished = done();
            return finished || KeReadStateTimer(&timer);
        },
        what);
    KeCancelTimer(&timer);
    machine->Io().AfterApplicationCall();
    return finished;
}

bool RegistryKeyExists(const std::u16string& path)
{
    return Remote() ? remote::RegistryKeyExists(path) : local::RegistryKeyExists(path);
}

std::vector<RegistryValue> RegistryValues(const std::u16string& path)
{
    return Remote() ? remote::RegistryValues(path) : local::RegistryValues(path);
}

bool RegistryCreateKey(const std::u16string& path)
{
    return !Remote() && Machine::Current().Reg().CreateKey(RegText(path));
}

bool RegistrySetValue(const std::u16string& path, const RegistryValue& value)
{
    return !Remote() && Machine::Current().Reg().SetValue(RegText(path), RegText(value.Name),
                                                          value.Type, value.Data);
}

bool RegistryDeleteKey(const std::u16string& path)
{
    return !Remote() && Machine::Current().Reg().DeleteKey(RegText(path));
}

std::vector<std::pair<std::u16string, std::u16string>> DosDevices()
{
    return Remote() ? remote::DosDevices() : local::DosDevices();
}

uint64_t RequestsSent()
{
    return requestsSent.load();
}

} // namespace qvx::win32
