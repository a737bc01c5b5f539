# Target build: the driver sources against mingw-w64's DDK, for 32-bit Windows.
set(QUARVEX_DDK_INCLUDE "/usr/i686-w64-mingw32/include/ddk" CACHE PATH "mingw-w64 DDK headers")

add_library(quarvex_objects OBJECT ${QUARVEX_DRIVER_SOURCES})
target_include_directories(quarvex_objects PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(quarvex_objects SYSTEM PRIVATE ${QUARVEX_DDK_INCLUDE})
target_compile_definitions(quarvex_objects PRIVATE
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet
    __INTRINSIC_DEFINED_InterlockedBitTestAndReset
    # Windows XP SP2 or later: KeFlushQueuedDpcs is declared from there on.
    _X86_=1 NTDDI_VERSION=0x05010200 _WIN32_WINNT=0x0501
    # Without it wdm.h redefines ExAllocatePoolWithQuotaTag as a macro.
    POOL_TAGGING
    # wdm.h guards the Vista power context in IO_STACK_LOCATION with this misspelt name;
    # undefined, it counts as 0 and the XP build sees a type it does not declare.
    NTDDI_WINVISTA=0x06000000)
quarvex_driver_flags(quarvex_objects)
# Freestanding kernel code: no stack-protector cookie, no unwind tables, no vector registers
# (their state is not saved for us).
target_compile_options(quarvex_objects PRIVATE -Wno-multichar -ffreestanding
                       -fno-stack-protector -fno-asynchronous-unwind-tables -fno-unwind-tables
                       -mno-sse -mno-mmx)

# quarvex.sys: a native-subsystem driver that imports only from ntoskrnl.exe, HAL.dll and
# WMILIB.SYS. Linked once the driver has its entry point.
if(EXISTS ${CMAKE_SOURCE_DIR}/driver/driver_entry.cpp)
    # No user-mode libraries (kernel32 and friends) may slip into the link.
    set(CMAKE_CXX_STANDARD_LIBRARIES "")
    add_library(quarvex SHARED $<TARGET_OBJECTS:quarvex_objects>)
    set_target_properties(quarvex PROPERTIES PREFIX "" SUFFIX ".sys" LINKER_LANGUAGE CXX)
    # ld writes the header checksum; relocations stay (-shared) so the kernel can load the
    # image anywhere.
    target_link_options(quarvex PRIVATE -nostdlib -nostartfiles -shared -Wl,--subsystem,native
                        -Wl,--entry,_DriverEntry@8 -Wl,--image-base,0x10000
                        -Wl,--exclude-all-symbols -Wl,--wdmdriver -Wl,--no-insert-timestamp)
    # libgcc last: 64-bit division and stack probes.
    target_link_libraries(quarvex PRIVATE ntoskrnl hal wmilib gcc)
    add_custom_command(TARGET quarvex POST_BUILD
        COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-imports.sh $<TARGET_FILE:quarvex>
        COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/scripts/check-pe.py $<TARGET_FILE:quarvex>
        COMMENT "Checking the imports and the image of quarvex.sys" VERBATIM)
endif()
