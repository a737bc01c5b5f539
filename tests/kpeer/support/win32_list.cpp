#include "win32_list.h"

#include <windows.h>

#include <cstring>

namespace qvx::win32test {

Win32List ListKernelPeer(uint32_t room)
{
    Win32List list;
    HANDLE handle =
        CreateFileW(u"\\\\.\\QuarvexPeer", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        list.Error = GetLastError();
        return list;
    }
    std::vector<unsigned char> buffer(room);
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(handle, IOCTL_QVXPEER_LIST, nullptr, 0, buffer.data(), room,
                                    &returned, nullptr);
    list.Error = ok ? 0 : GetLastError();
    CloseHandle(handle);
    if (returned >= sizeof(list.Header)) {
        memcpy(&list.Header, buffer.data(), sizeof(list.Header));
        for (DWORD at = sizeof(list.Header); at + sizeof(QvxPeerPortStatus) <= returned;
             at += sizeof(QvxPeerPortStatus)) {
            QvxPeerPortStatus record;
            memcpy(&record, buffer.data() + at, sizeof(record));
            list.Ports.push_back(record);
        }
    }
    return list;
}

} // namespace qvx::win32test
