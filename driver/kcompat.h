// The few places where the Windows build and the host build differ for driver code.
#pragma once

#include <ntddk.h>
#include <stdarg.h>

// Wide literals typed const WCHAR* in both builds: WCHAR is the 16-bit wchar_t on Windows but
// char16_t on the host, where wchar_t is 32 bits.
#ifdef _WIN32
#define QUARVEX_WSTR(x) L##x
#else
#define QUARVEX_WSTR(x) u##x
#endif

// Tag of the driver's pool blocks. Pool tools print a tag's bytes in memory order, so it is
// built for those bytes to read "qrvx"; as a multi-character literal it would be 'xvrq'.
constexpr ULONG QUARVEX_POOL_TAG = static_cast<ULONG>('q') | (static_cast<ULONG>('r') << 8) |
                                   (static_cast<ULONG>('v') << 16) |
                                   (static_cast<ULONG>('x') << 24);

#ifdef _WIN32
// ntoskrnl exports the formatter but the DDK headers do not declare it, and mingw-w64's
// stdio.h would map the call onto a user-mode library.
extern "C" int __cdecl _vsnprintf(char* Buffer, size_t Count, const char* Format, va_list Args);
#endif

// "Called with this lock held" contracts: checked at run time by the host build, compiled away
// for Windows.
#ifdef QVX_HOST_CHECKS
#define QUARVEX_ASSERT_HELD(Lock) ASSERT(QvxSpinLockHeldByCaller(Lock))
#define QUARVEX_ASSERT_NOT_HELD(Lock) ASSERT(!QvxSpinLockHeldByCaller(Lock))
#else
#define QUARVEX_ASSERT_HELD(Lock) ((void)0)
#define QUARVEX_ASSERT_NOT_HELD(Lock) ((void)0)
#endif
