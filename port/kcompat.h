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

// The same contracts checked when the driver compiles: on the host build with clang (the
// clang preset turns on -Wthread-safety), where the platform declares a spin lock a
// capability. A routine that needs a lock held, or takes or releases one for its caller,
// says so on its declaration, and every caller is checked against it. Lock hand-offs (a lock
// taken in one routine and released in another) are written only this way. Empty for
// Windows and for g++, so the image does not change.
#if defined(__clang__) && defined(QVX_HOST_CHECKS)
#define QUARVEX_THREAD_SAFETY(x) __attribute__((x))
#else
#define QUARVEX_THREAD_SAFETY(x)
#endif
// The lock is held on entry and on exit.
#define QUARVEX_REQUIRES(...) QUARVEX_THREAD_SAFETY(requires_capability(__VA_ARGS__))
// The routine takes the lock and returns with it held.
#define QUARVEX_ACQUIRES(...) QUARVEX_THREAD_SAFETY(acquire_capability(__VA_ARGS__))
// The lock is held on entry and the routine releases it for its caller.
#define QUARVEX_RELEASES(...) QUARVEX_THREAD_SAFETY(release_capability(__VA_ARGS__))
// The lock must not be held on entry (the routine takes it).
#define QUARVEX_EXCLUDES(...) QUARVEX_THREAD_SAFETY(locks_excluded(__VA_ARGS__))
// A class whose objects hold a lock for their scope.
#define QUARVEX_SCOPED_CAPABILITY QUARVEX_THREAD_SAFETY(scoped_lockable)
