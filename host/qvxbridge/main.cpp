// qvxbridge.exe's entry: the console's Ctrl+C and closing stop a console run.
#include "host/qvxbridge/qvxbridge.h"

#include <windows.h>

#include <cstdio>

namespace {

BOOL WINAPI OnConsoleControl(DWORD)
{
    qvx::bridge::StopBridgeMain();
    return TRUE;
}

} // namespace

int main(int argc, char** argv)
{
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    const std::vector<std::string> arguments(argv, argv + argc);
    return qvx::bridge::BridgeMain(
        arguments, [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
}
