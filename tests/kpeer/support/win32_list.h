// The kernel peer's status list as a Win32 program reads it: CreateFile on \\.\QuarvexPeer and
// DeviceIoControl. No kernel or Win32 types here.
#pragma once

#include "kpeer/qvxpeer_control.h"

#include <cstdint>
#include <vector>

namespace qvx::win32test {

// The records, and the last error (0 on success). `room` is the output buffer in bytes.
struct Win32List
{
    uint32_t Error = 0;
    QvxPeerListHeader Header{};
    std::vector<QvxPeerPortStatus> Ports;
};
Win32List ListKernelPeer(uint32_t room);

} // namespace qvx::win32test
