// hello_pair without a system of its own: run with QUARVEX_SOCKET naming the socket of a
// running `quarvex run`, whose COM5 and COM6 it uses.
#include <cstdio>
#include <windows.h>

int main()
{
    HANDLE com5 =
        CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    HANDLE com6 =
        CreateFileA("COM6", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (com5 == INVALID_HANDLE_VALUE || com6 == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open COM5 and COM6: error %lu\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    COMMTIMEOUTS timeouts = {0, 0, 500, 0, 0}; // reads return after 500 ms at most
    SetCommTimeouts(com6, &timeouts);
    DWORD count = 0;
    WriteFile(com5, "hello", 5, &count, NULL);
    char answer[16];
    ReadFile(com6, answer, sizeof(answer), &count, NULL);
    std::printf("COM6 read %.*s\n", static_cast<int>(count), answer);
    CloseHandle(com5);
    CloseHandle(com6);
    return count == 5 ? 0 : 1;
}
