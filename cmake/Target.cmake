# Target build: the driver sources against mingw-w64's DDK, for 32-bit Windows.
set(QUARVEX_DDK_INCLUDE "/usr/i686-w64-mingw32/include/ddk" CACHE PATH "mingw-w64 DDK headers")

add_library(quarvex_objects OBJECT ${QUARVEX_DRIVER_SOURCES})
target_include_directories(quarvex_objects PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(quarvex_objects SYSTEM PRIVATE ${QUARVEX_DDK_INCLUDE})
target_compile_definitions(quarvex_objects PRIVATE
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet
    __INTRINSIC_DEFINED_InterlockedBitTestAndReset
    _X86_=1 NTDDI_VERSION=0x05010000 _WIN32_WINNT=0x0501)
quarvex_driver_flags(quarvex_objects)
target_compile_options(quarvex_objects PRIVATE -Wno-multichar -ffreestanding)
