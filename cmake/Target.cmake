# Target build: the drivers' sources against mingw-w64's DDK, for 32-bit Windows.
set(QUARVEX_DDK_INCLUDE "/usr/i686-w64-mingw32/include/ddk" CACHE PATH "mingw-w64 DDK headers")

# No user-mode libraries (kernel32 and friends) may slip into a driver's link.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# A kernel driver image NAME.sys from SOURCES that imports only what ALLOW_LIST names, from
# the modules LIBRARIES; the image is checked after each link.
function(quarvex_kernel_image name allow_list sources libraries)
    add_library(${name}_objects OBJECT ${sources})
    target_include_directories(${name}_objects PRIVATE ${CMAKE_SOURCE_DIR})
    target_include_directories(${name}_objects SYSTEM PRIVATE ${QUARVEX_DDK_INCLUDE})
    target_compile_definitions(${name}_objects PRIVATE
        __INTRINSIC_DEFINED_InterlockedBitTestAndSet
        __INTRINSIC_DEFINED_InterlockedBitTestAndReset
        # Windows XP SP2 or later: KeFlushQueuedDpcs is declared from there on.
        _X86_=1 NTDDI_VERSION=0x05010200 _WIN32_WINNT=0x0501
        # Without it wdm.h redefines ExAllocatePoolWithQuotaTag as a macro.
        POOL_TAGGING
        # wdm.h guards the Vista power context in IO_STACK_LOCATION with this misspelt name;
        # undefined, it counts as 0 and the XP build sees a type it does not declare.
        NTDDI_WINVISTA=0x06000000)
    quarvex_driver_flags(${name}_objects)
    # Freestanding kernel code: no stack-protector cookie, no unwind tables, no vector
    # registers (their state is not saved for us).
    target_compile_options(${name}_objects PRIVATE -Wno-multichar -ffreestanding
                           -fno-stack-protector -fno-asynchronous-unwind-tables
                           -fno-unwind-tables -mno-sse -mno-mmx)

    add_library(${name} SHARED $<TARGET_OBJECTS:${name}_objects>)
    set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".sys" LINKER_LANGUAGE CXX)
    # ld writes the header checksum; relocations stay (-shared) so the kernel can load the
    # image anywhere.
    target_link_options(${name} PRIVATE -nostdlib -nostartfiles -shared -Wl,--subsystem,native
                        -Wl,--entry,_DriverEntry@8 -Wl,--image-base,0x10000
                        -Wl,--exclude-all-symbols -Wl,--wdmdriver -Wl,--no-insert-timestamp)
    # libgcc last: 64-bit division and stack probes.
    target_link_libraries(${name} PRIVATE ${libraries} gcc)
    add_custom_command(TARGET ${name} POST_BUILD
        COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-imports.sh $<TARGET_FILE:${name}>
                ${CMAKE_SOURCE_DIR}/${allow_list}
        COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/scripts/check-pe.py $<TARGET_FILE:${name}>
        COMMENT "Checking the imports and the image of ${name}.sys" VERBATIM)
endfunction()

# quarvex.sys: the port driver, importing from ntoskrnl.exe, HAL.dll and WMILIB.SYS. Linked
# once the driver has its entry point.
if(EXISTS ${CMAKE_SOURCE_DIR}/driver/driver_entry.cpp)
    quarvex_kernel_image(quarvex cmake/imports.allow "${QUARVEX_DRIVER_SOURCES}"
                         "ntoskrnl;hal;wmilib")
endif()

# quarvexpeer.sys: the ports' far side on Windows, a legacy service of its own.
quarvex_kernel_image(quarvexpeer cmake/imports-kpeer.allow "${QUARVEX_PEER_SOURCES}"
                     "ntoskrnl;hal")

# qvxbridge.exe: the network side of quarvexpeer.sys's user ports, a 32-bit console program
# and service for Windows XP and later. The C++ runtime is linked in, so it imports from the
# system's DLLs alone (kernel32, advapi32, ws2_32, msvcrt); checked after each link.
add_executable(qvxbridge
    ${CMAKE_SOURCE_DIR}/host/qvxbridge/main.cpp
    ${CMAKE_SOURCE_DIR}/host/qvxbridge/program.cpp
    ${CMAKE_SOURCE_DIR}/host/qvxbridge/bridge_loop.cpp
    ${CMAKE_SOURCE_DIR}/host/qvxbridge/net_winsock.cpp
    ${CMAKE_SOURCE_DIR}/host/peers/peer_description.cpp
    ${CMAKE_SOURCE_DIR}/host/peers/allow_list.cpp
    ${CMAKE_SOURCE_DIR}/host/peers/telnet_client.cpp
    ${CMAKE_SOURCE_DIR}/host/telnet/telnet.cpp)
target_include_directories(qvxbridge PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(qvxbridge PRIVATE _WIN32_WINNT=0x0501 WINVER=0x0501
                           WIN32_LEAN_AND_MEAN)
quarvex_warnings(qvxbridge)
target_link_options(qvxbridge PRIVATE -s -static -static-libgcc -static-libstdc++
                    -Wl,--no-insert-timestamp)
target_link_libraries(qvxbridge PRIVATE ws2_32 advapi32 kernel32)
add_custom_command(TARGET qvxbridge POST_BUILD
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-imports.sh $<TARGET_FILE:qvxbridge>
            ${CMAKE_SOURCE_DIR}/cmake/imports-qvxbridge.allow
    COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/scripts/check-pe.py --exe $<TARGET_FILE:qvxbridge>
    COMMENT "Checking the imports and the image of qvxbridge.exe" VERBATIM)
