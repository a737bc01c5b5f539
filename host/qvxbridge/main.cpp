// qvxbridge.exe's entry: the console's Ctrl+C and closing stop a console run, and the
// privilege the peer driver asks of whoever opens its control device is switched on.
#include "host/qvxbridge/qvxbridge.h"

#include <windows.h>

#include <cstdio>

namespace {

BOOL WINAPI OnConsoleControl(DWORD)
{
    qvx::bridge::StopBridgeMain();
    return TRUE;
}

// \\.\QuarvexPeer opens only for a caller holding the load-driver (or TCB) privilege enabled.
// An administrator holds it disabled; a service running as LocalSystem has TCB already.
// Failing here is not fatal: the open then says what is missing.
void EnableLoadDriverPrivilege()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return;
    }
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueA(nullptr, "SeLoadDriverPrivilege", &privileges.Privileges[0].Luid)) {
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    CloseHandle(token);
}

} // namespace

int main(int argc, char** argv)
{
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    EnableLoadDriverPrivilege();
    const std::vector<std::string> arguments(argv, argv + argc);
    return qvx::bridge::BridgeMain(
        arguments, [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
}
