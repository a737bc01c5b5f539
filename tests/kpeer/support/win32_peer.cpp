#include "win32_peer.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace qvx::win32test {

struct PeerRequest::State
{
    HANDLE Handle = INVALID_HANDLE_VALUE;
    OVERLAPPED Overlapped{};
    std::vector<uint8_t> Buffer;
    bool Pending = false;
    PeerResult Result;
};

PeerRequest::PeerRequest(std::unique_ptr<State> state) : state_(std::move(state)) {}

PeerRequest::~PeerRequest()
{
    if (state_->Pending) {
        CancelIoEx(state_->Handle, &state_->Overlapped);
        (void)Wait();
    }
    CloseHandle(state_->Overlapped.hEvent);
}

bool PeerRequest::Done()
{
    if (!state_->Pending) {
        return true;
    }
    DWORD count = 0;
    return GetOverlappedResult(state_->Handle, &state_->Overlapped, &count, FALSE) ||
           GetLastError() != ERROR_IO_INCOMPLETE;
}

PeerResult PeerRequest::Wait()
{
    if (state_->Pending) {
        DWORD count = 0;
        const BOOL ok = GetOverlappedResult(state_->Handle, &state_->Overlapped, &count, TRUE);
        state_->Pending = false;
        state_->Result.Error = ok ? 0 : GetLastError();
        state_->Result.Bytes = count;
    }
    PeerResult result = state_->Result;
    const size_t length = std::min<size_t>(result.Bytes, state_->Buffer.size());
    result.Data.assign(state_->Buffer.begin(),
                       state_->Buffer.begin() + static_cast<ptrdiff_t>(length));
    return result;
}

PeerHandle::PeerHandle()
    : handle_(CreateFileW(u"\\\\.\\QuarvexPeer", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr))
{
}

PeerHandle::~PeerHandle()
{
    Close();
}

bool PeerHandle::IsOpen() const
{
    return handle_ != INVALID_HANDLE_VALUE;
}

uint32_t PeerHandle::Control(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputRoom)
{
    std::vector<uint8_t> output(outputRoom);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(handle_, code, const_cast<uint8_t*>(input.data()),
                              static_cast<DWORD>(input.size()), output.data(), outputRoom,
                              &returned, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        ok = GetOverlappedResult(handle_, &overlapped, &returned, TRUE);
    }
    const uint32_t error = ok ? 0 : GetLastError();
    CloseHandle(overlapped.hEvent);
    return error;
}

uint32_t PeerHandle::Attach(const std::u16string& port, uint32_t flags, uint32_t buffer)
{
    QvxPeerAttach request{};
    for (size_t i = 0; i < port.size() && i < QVXPEER_NAME_CHARS; ++i) {
        request.PortName[i] = port[i];
    }
    request.Flags = flags;
    request.BufferBytes = buffer;
    std::vector<uint8_t> bytes(sizeof(request));
    memcpy(bytes.data(), &request, sizeof(request));
    return Control(IOCTL_QVXPEER_ATTACH, bytes);
}

namespace {

std::unique_ptr<PeerRequest> Issue(HANDLE handle, bool read, std::vector<uint8_t> buffer)
{
    auto state = std::make_unique<PeerRequest::State>();
    state->Handle = handle;
    state->Buffer = std::move(buffer);
    state->Overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD count = 0;
    const DWORD size = static_cast<DWORD>(state->Buffer.size());
    const BOOL ok = read
                        ? ReadFile(handle, state->Buffer.data(), size, &count, &state->Overlapped)
                        : WriteFile(handle, state->Buffer.data(), size, &count, &state->Overlapped);
    if (ok) {
        state->Result.Bytes = count;
    } else if (GetLastError() == ERROR_IO_PENDING) {
        state->Pending = true;
    } else {
        state->Result.Error = GetLastError();
    }
    return std::make_unique<PeerRequest>(std::move(state));
}

} // namespace

std::unique_ptr<PeerRequest> PeerHandle::Read(uint32_t room)
{
    return Issue(handle_, true, std::vector<uint8_t>(room));
}

std::unique_ptr<PeerRequest> PeerHandle::Write(const std::vector<uint8_t>& bytes)
{
    return Issue(handle_, false, bytes);
}

void PeerHandle::CancelIo()
{
    ::CancelIo(handle_);
}

void PeerHandle::Close()
{
    if (handle_ != INVALID_HANDLE_VALUE) {
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
}

std::vector<uint8_t> DataRecords(const std::vector<uint8_t>& bytes, size_t per)
{
    std::vector<uint8_t> out;
    for (size_t at = 0; at < bytes.size(); at += per) {
        const size_t length = std::min(per, bytes.size() - at);
        out.push_back(QVXPEER_RECORD_DATA);
        out.push_back(0);
        out.push_back(static_cast<uint8_t>(length & 0xFF));
        out.push_back(static_cast<uint8_t>(length >> 8));
        out.insert(out.end(), bytes.begin() + static_cast<ptrdiff_t>(at),
                   bytes.begin() + static_cast<ptrdiff_t>(at + length));
    }
    return out;
}

uint32_t PeerRecord::Value() const
{
    uint32_t value = 0;
    memcpy(&value, Payload.data(), std::min<size_t>(Payload.size(), sizeof(value)));
    return value;
}

PeerRecords ParseRecords(const std::vector<uint8_t>& bytes)
{
    PeerRecords parsed;
    size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < sizeof(QvxPeerRecordHeader)) {
            parsed.Malformed = true;
            break;
        }
        const size_t length = bytes[at + 2] | (static_cast<size_t>(bytes[at + 3]) << 8);
        if (bytes[at + 1] != 0 || bytes.size() - at - sizeof(QvxPeerRecordHeader) < length) {
            parsed.Malformed = true;
            break;
        }
        PeerRecord record;
        record.Type = bytes[at];
        const auto begin = bytes.begin() + static_cast<ptrdiff_t>(at + sizeof(QvxPeerRecordHeader));
        record.Payload.assign(begin, begin + static_cast<ptrdiff_t>(length));
        parsed.Records.push_back(std::move(record));
        at += sizeof(QvxPeerRecordHeader) + length;
    }
    return parsed;
}

} // namespace qvx::win32test
