// The few places where the Windows build and the host build of quarvexpeer.sys differ.
#pragma once

#include <ntddk.h>
#include <stdarg.h>

// Wide literals typed const WCHAR* in both builds (WCHAR is char16_t on the host).
#ifdef _WIN32
#define QVXPEER_WSTR(x) L##x
#else
#define QVXPEER_WSTR(x) u##x
#endif

// Pool tag: the bytes read "qvxp" in a pool listing.
constexpr ULONG QVXPEER_POOL_TAG = static_cast<ULONG>('q') | (static_cast<ULONG>('v') << 8) |
                                   (static_cast<ULONG>('x') << 16) |
                                   (static_cast<ULONG>('p') << 24);

#ifdef _WIN32
// ntoskrnl exports the formatter but the DDK headers do not declare it.
extern "C" int __cdecl _vsnprintf(char* Buffer, size_t Count, const char* Format, va_list Args);
#endif

// "Called with this lock held" contracts: checked by the host build, compiled away for Windows.
#ifdef QVX_HOST_CHECKS
#define QVXPEER_ASSERT_HELD(Lock) ASSERT(QvxSpinLockHeldByCaller(Lock))
#else
#define QVXPEER_ASSERT_HELD(Lock) ((void)0)
#endif
