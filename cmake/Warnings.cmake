# Warnings are errors for all project code.
set(QUARVEX_WARNINGS
    -Wall -Wextra -Wshadow -Wundef -Wcast-qual -Wformat=2 -Wimplicit-fallthrough
    -Wmissing-declarations -Werror)

function(quarvex_warnings target)
    target_compile_options(${target} PRIVATE ${QUARVEX_WARNINGS})
endfunction()

# Driver sources: kernel-style C++ (no exceptions, no RTTI, no thread-safe statics).
function(quarvex_driver_flags target)
    quarvex_warnings(${target})
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-threadsafe-statics)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        target_compile_options(${target} PRIVATE -Wglobal-constructors -Wexit-time-destructors)
    endif()
endfunction()

# clang checks lock contracts as it compiles: the driver's QUARVEX_REQUIRES, _ACQUIRES and
# _RELEASES against the platform's spin locks, and the host's guarded members against their
# mutexes. g++ has no such analysis; the Windows build has no annotations.
function(quarvex_thread_safety target)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        target_compile_options(${target} PRIVATE -Wthread-safety)
    endif()
endfunction()
