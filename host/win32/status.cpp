// NTSTATUS to Win32 error, as Windows translates the statuses a serial driver returns.
#include "host/win32/win32_internal.h"

namespace qvx::win32 {

namespace {

struct StatusError
{
    uint32_t Status;
    DWORD Error;
};

constexpr StatusError STATUS_ERRORS[] = {
    {0x00000000u, ERROR_SUCCESS},
    {0x00000102u, ERROR_TIMEOUT},
    {0x00000103u, ERROR_IO_PENDING},
    {0x40000008u, ERROR_MORE_WRITES},
    {0x4000000Cu, ERROR_COUNTER_TIMEOUT},
    {0x80000005u, ERROR_MORE_DATA},
    {0xC0000001u, ERROR_GEN_FAILURE},
    {0xC0000002u, ERROR_INVALID_FUNCTION},
    {0xC000000Du, ERROR_INVALID_PARAMETER},
    // Windows 10 1903 and later; earlier ones gave ERROR_FILE_NOT_FOUND.
    {0xC000000Eu, ERROR_NO_SUCH_DEVICE},
    {0xC0000010u, ERROR_INVALID_FUNCTION},
    {0xC0000022u, ERROR_ACCESS_DENIED},
    {0xC0000023u, ERROR_INSUFFICIENT_BUFFER},
    {0xC0000034u, ERROR_FILE_NOT_FOUND},
    {0xC000003Au, ERROR_PATH_NOT_FOUND},
    {0xC0000043u, ERROR_SHARING_VIOLATION},
    {0xC0000056u, ERROR_ACCESS_DENIED},
    {0xC0000061u, ERROR_PRIVILEGE_NOT_HELD},
    {0xC000009Au, ERROR_NO_SYSTEM_RESOURCES},
    {0xC000009Du, ERROR_DEVICE_NOT_CONNECTED},
    {0xC00000B5u, ERROR_SEM_TIMEOUT},
    {0xC00000BBu, ERROR_NOT_SUPPORTED},
    {0xC0000120u, ERROR_OPERATION_ABORTED},
    {0xC0000184u, ERROR_BAD_COMMAND},
    {0xC00002B6u, ERROR_DEV_NOT_EXIST},
};

} // namespace

DWORD ErrorFromStatus(int32_t status)
{
    for (const StatusError& entry : STATUS_ERRORS) {
        if (entry.Status == static_cast<uint32_t>(status)) {
            return entry.Error;
        }
    }
    return ERROR_MR_MID_NOT_FOUND;
}

BOOL ReturnStatus(int32_t status)
{
    if (status >= 0) {
        return TRUE;
    }
    SetLastError(ErrorFromStatus(status));
    return FALSE;
}

std::u16string Widen(LPCSTR text)
{
    // Names and values here are ASCII; other bytes pass as Latin-1.
    std::u16string wide;
    for (const char* p = text; *p != '\0'; ++p) {
        wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(*p)));
    }
    return wide;
}

std::string Narrow(const std::u16string& text)
{
    std::string narrow;
    for (const char16_t c : text) {
        narrow.push_back(c < 0x100 ? static_cast<char>(c) : '?');
    }
    return narrow;
}

} // namespace qvx::win32
