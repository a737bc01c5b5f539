// The communications calls, each translated into the requests Windows sends for it.
#include "host/win32/comm_map.h"
#include "host/win32/win32_internal.h"

#include <cstring>

using namespace qvx::win32;

namespace {

BOOL Simple(HANDLE handle, DWORD code)
{
    return Control(handle, code, nullptr, 0, nullptr, 0);
}

template <class T> BOOL Get(HANDLE handle, DWORD code, T* out)
{
    return Control(handle, code, nullptr, 0, out, sizeof(T));
}

template <class T> BOOL Set(HANDLE handle, DWORD code, const T& in)
{
    return Control(handle, code, &in, sizeof(T), nullptr, 0);
}

// GetCommState's four reads, in Windows' order.
BOOL ReadSettings(HANDLE handle, SerialSettings* settings)
{
    return Get(handle, IOCTL_SERIAL_GET_BAUD_RATE, &settings->BaudRate) &&
           Get(handle, IOCTL_SERIAL_GET_LINE_CONTROL, &settings->LineControl) &&
           Get(handle, IOCTL_SERIAL_GET_CHARS, &settings->Chars) &&
           Get(handle, IOCTL_SERIAL_GET_HANDFLOW, &settings->Handflow);
}

} // namespace

extern "C" {

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    if (lpDCB == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SerialSettings settings;
    if (!ReadSettings(hFile, &settings)) {
        return FALSE;
    }
    *lpDCB = DcbFromSettings(settings);
    return TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    if (lpDCB == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!FileOf(hFile)) {
        return FALSE;
    }
    const DWORD refused = CheckDcb(*lpDCB);
    if (refused != ERROR_SUCCESS) {
        SetLastError(refused);
        return FALSE;
    }
    SerialSettings current;
    if (!ReadSettings(hFile, &current)) {
        return FALSE;
    }
    const SerialSettings wanted = SettingsFromDcb(*lpDCB, current);
    if (!Set(hFile, IOCTL_SERIAL_SET_BAUD_RATE, wanted.BaudRate)) {
        return FALSE;
    }
    // DTR and RTS are set directly only in their plain modes. A refusal here comes from the
    // old handshake mode still in force; the new one is in force after SET_HANDFLOW, so the
    // line is set again then.
    DWORD rtsCode = 0, dtrCode = 0;
    if (lpDCB->fRtsControl == RTS_CONTROL_ENABLE || lpDCB->fRtsControl == RTS_CONTROL_DISABLE) {
        rtsCode =
            lpDCB->fRtsControl == RTS_CONTROL_ENABLE ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS;
    }
    if (lpDCB->fDtrControl == DTR_CONTROL_ENABLE || lpDCB->fDtrControl == DTR_CONTROL_DISABLE) {
        dtrCode =
            lpDCB->fDtrControl == DTR_CONTROL_ENABLE ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR;
    }
    const bool rtsDone = rtsCode == 0 || Simple(hFile, rtsCode);
    const bool dtrDone = dtrCode == 0 || Simple(hFile, dtrCode);
    if (!Set(hFile, IOCTL_SERIAL_SET_LINE_CONTROL, wanted.LineControl) ||
        !Set(hFile, IOCTL_SERIAL_SET_CHARS, wanted.Chars) ||
        !Set(hFile, IOCTL_SERIAL_SET_HANDFLOW, wanted.Handflow)) {
        return FALSE;
    }
    if ((!rtsDone && !Simple(hFile, rtsCode)) || (!dtrDone && !Simple(hFile, dtrCode))) {
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB)
{
    if (lpDef == nullptr || lpDCB == nullptr || !ParseCommDefinition(lpDef, lpDCB, nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (lpDef == nullptr || lpDCB == nullptr || lpCommTimeouts == nullptr ||
        !ParseCommDefinition(lpDef, lpDCB, lpCommTimeouts)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    return Get(hFile, IOCTL_SERIAL_GET_TIMEOUTS, lpCommTimeouts);
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (lpCommTimeouts == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Set(hFile, IOCTL_SERIAL_SET_TIMEOUTS, *lpCommTimeouts);
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    return Get(hFile, IOCTL_SERIAL_GET_WAIT_MASK, lpEvtMask);
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    return Set(hFile, IOCTL_SERIAL_SET_WAIT_MASK, dwEvtMask);
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    auto file = FileOf(hFile);
    if (!file) {
        return FALSE;
    }
    if (lpEvtMask == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Issue(file, RequestKind::Control, IOCTL_SERIAL_WAIT_ON_MASK, {},
                 Destination{nullptr, 0, lpEvtMask}, nullptr, lpOverlapped);
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    SerialStatus status;
    std::memset(&status, 0, sizeof(status));
    if (!Get(hFile, IOCTL_SERIAL_GET_COMMSTATUS, &status)) {
        return FALSE;
    }
    if (lpErrors != nullptr) {
        *lpErrors = CommErrorsFromStatus(status.Errors);
    }
    if (lpStat != nullptr) {
        *lpStat = ComstatFromStatus(status);
    }
    return TRUE;
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    return Set(hFile, IOCTL_SERIAL_PURGE, dwFlags);
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    static const DWORD codes[] = {0,
                                  IOCTL_SERIAL_SET_XOFF,
                                  IOCTL_SERIAL_SET_XON,
                                  IOCTL_SERIAL_SET_RTS,
                                  IOCTL_SERIAL_CLR_RTS,
                                  IOCTL_SERIAL_SET_DTR,
                                  IOCTL_SERIAL_CLR_DTR,
                                  IOCTL_SERIAL_RESET_DEVICE,
                                  IOCTL_SERIAL_SET_BREAK_ON,
                                  IOCTL_SERIAL_SET_BREAK_OFF};
    if (dwFunc == 0 || dwFunc >= sizeof(codes) / sizeof(codes[0])) {
        if (FileOf(hFile)) {
            SetLastError(ERROR_INVALID_PARAMETER);
        }
        return FALSE;
    }
    return Simple(hFile, codes[dwFunc]);
}

BOOL WINAPI SetCommBreak(HANDLE hFile)
{
    return Simple(hFile, IOCTL_SERIAL_SET_BREAK_ON);
}

BOOL WINAPI ClearCommBreak(HANDLE hFile)
{
    return Simple(hFile, IOCTL_SERIAL_SET_BREAK_OFF);
}

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar)
{
    return Set(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, cChar);
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    const DWORD sizes[2] = {dwInQueue, dwOutQueue};
    return Set(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, sizes);
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    // The driver returns the whole modem status register; the MS_ bits are its upper half.
    return Get(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, lpModemStat);
}

BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
{
    if (lpCommProp == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD length = sizeof(COMMPROP);
    if (lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED &&
        lpCommProp->wPacketLength > sizeof(COMMPROP)) {
        length = lpCommProp->wPacketLength;
    }
    std::memset(lpCommProp, 0, length);
    return Control(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, length);
}

} // extern "C"
