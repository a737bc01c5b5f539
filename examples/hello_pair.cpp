// The program of docs/win32.md: COM5 to COM6 over the built-in null-modem pair.
#include "host/system.h"
#include <cstdio>
#include <memory>
#include <string>
#include <windows.h>

int main()
{
    std::string error;
    std::unique_ptr<qvx::System> system = qvx::System::Boot({}, &error);
    if (!system) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    HANDLE com5 =
        CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    HANDLE com6 =
        CreateFileA("COM6", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(com5, &dcb);
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    SetCommState(com5, &dcb);
    COMMTIMEOUTS timeouts = {0, 0, 500, 0, 0}; // reads return after 500 ms at most
    SetCommTimeouts(com6, &timeouts);
    DWORD count = 0;
    WriteFile(com5, "hello", 5, &count, NULL);
    char answer[16];
    ReadFile(com6, answer, sizeof(answer), &count, NULL);
    std::printf("COM6 read %.*s\n", static_cast<int>(count), answer);
    CloseHandle(com5);
    CloseHandle(com6);
    std::string report = system->Shutdown(); // empty: no verifier rule fired, no leak
    return report.empty() ? 0 : 1;
}
