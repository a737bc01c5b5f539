// A program attached to a kernel-peer port as a Win32 program sees it: CreateFile on
// \\.\QuarvexPeer (overlapped), DeviceIoControl to attach, ReadFile and WriteFile of records,
// CancelIo. No kernel or Win32 types here; errors are Win32 error codes, 0 for success.
#pragma once

#include "kpeer/qvxpeer_control.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qvx::win32test {

// The Win32 errors the driver's statuses become.
constexpr uint32_t WIN32_FILE_NOT_FOUND = 2;
constexpr uint32_t WIN32_BAD_COMMAND = 22; // STATUS_INVALID_DEVICE_STATE
constexpr uint32_t WIN32_SHARING_VIOLATION = 32;
constexpr uint32_t WIN32_INVALID_PARAMETER = 87;
constexpr uint32_t WIN32_INSUFFICIENT_BUFFER = 122;
constexpr uint32_t WIN32_OPERATION_ABORTED = 995;
constexpr uint32_t WIN32_NO_SYSTEM_RESOURCES = 1450;

struct PeerResult
{
    uint32_t Error = 0;
    uint32_t Bytes = 0;        // transferred
    std::vector<uint8_t> Data; // a read's bytes
};

// An overlapped ReadFile or WriteFile; cancelled and waited for if dropped while pending.
class PeerRequest
{
  public:
    struct State;
    explicit PeerRequest(std::unique_ptr<State> state);
    ~PeerRequest();
    PeerRequest(const PeerRequest&) = delete;
    PeerRequest& operator=(const PeerRequest&) = delete;
    bool Done();
    PeerResult Wait();

  private:
    std::unique_ptr<State> state_;
};

class PeerHandle
{
  public:
    PeerHandle();
    ~PeerHandle();
    PeerHandle(const PeerHandle&) = delete;
    PeerHandle& operator=(const PeerHandle&) = delete;
    bool IsOpen() const;
    uint32_t Attach(const std::u16string& port, uint32_t flags = 0, uint32_t buffer = 0);
    // Any request as bytes (Attach's checks are the driver's business).
    uint32_t Control(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputRoom = 0);
    std::unique_ptr<PeerRequest> Read(uint32_t room);
    std::unique_ptr<PeerRequest> Write(const std::vector<uint8_t>& bytes);
    void CancelIo();
    void Close();

  private:
    void* handle_;
};

// Bytes as DATA records of at most `per` bytes each.
std::vector<uint8_t> DataRecords(const std::vector<uint8_t>& bytes, size_t per = QVXPEER_MAX_DATA);

struct PeerRecord
{
    uint8_t Type = 0;
    std::vector<uint8_t> Payload;
    uint32_t Value() const; // a four-byte record's value
};
// The records of a read; Malformed set when the bytes do not end on a whole record.
struct PeerRecords
{
    std::vector<PeerRecord> Records;
    bool Malformed = false;
};
PeerRecords ParseRecords(const std::vector<uint8_t>& bytes);

} // namespace qvx::win32test
