# Installation as Linux users expect it: the tool with its man page, bash completion and systemd
# unit; the libraries, the windows.h folder, a CMake package (find_package(Quarvex),
# Quarvex::win32) and a pkg-config file for Windows programs built outside this tree; and a
# Debian package of each from CPack (cpack -G DEB).

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUARVEX_VERSION 0.1.0)
set(QUARVEX_INCLUDE_SUBDIR quarvex)
set(QUARVEX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quarvex)

# The libraries a Windows program links: the Win32 layer with the embedding API (qvx::System)
# and everything they need, found by following their links, dependents first.
# Listed with dependents before what they need, as a static link wants them.
function(quarvex_collect target)
    get_property(seen GLOBAL PROPERTY QUARVEX_VISITED)
    if(NOT TARGET ${target} OR target IN_LIST seen)
        return()
    endif()
    get_target_property(imported ${target} IMPORTED)
    if(imported)
        return()
    endif()
    set_property(GLOBAL APPEND PROPERTY QUARVEX_VISITED ${target})
    get_target_property(links ${target} LINK_LIBRARIES)
    get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
    foreach(link IN LISTS links interface)
        string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" link "${link}")
        if(TARGET ${link})
            quarvex_collect(${link})
        endif()
    endforeach()
    set_property(GLOBAL APPEND PROPERTY QUARVEX_EXPORTED ${target})
endfunction()

# A program that includes windows.h also uses host/system.h to boot the system.
target_link_libraries(qvx_win32 INTERFACE qvx_host)
quarvex_collect(qvx_win32)
get_property(QUARVEX_EXPORTED GLOBAL PROPERTY QUARVEX_EXPORTED)
list(REVERSE QUARVEX_EXPORTED)

# The installed headers: the Win32 folder, and the embedding API beside it.
target_include_directories(qvx_win32 INTERFACE
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/${QUARVEX_INCLUDE_SUBDIR}/win32>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/${QUARVEX_INCLUDE_SUBDIR}>)
set(QUARVEX_PKG_LIBS "")
foreach(target IN LISTS QUARVEX_EXPORTED)
    # Source folders hold only for the build tree.
    get_target_property(dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
    if(dirs)
        set(kept "")
        foreach(dir IN LISTS dirs)
            if(dir MATCHES "^\\$<")
                list(APPEND kept "${dir}")
            else()
                list(APPEND kept "$<BUILD_INTERFACE:${dir}>")
            endif()
        endforeach()
        set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${kept}")
    endif()
    string(REGEX REPLACE "^qvx_" "" name ${target})
    set_target_properties(${target} PROPERTIES EXPORT_NAME ${name})
    string(APPEND QUARVEX_PKG_LIBS " -l${target}")
endforeach()

install(TARGETS quarvex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
install(TARGETS ${QUARVEX_EXPORTED} EXPORT QuarvexTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/host/win32/include/
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${QUARVEX_INCLUDE_SUBDIR}/win32 COMPONENT dev)
install(FILES ${CMAKE_SOURCE_DIR}/host/system.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${QUARVEX_INCLUDE_SUBDIR}/host COMPONENT dev)
install(FILES ${CMAKE_SOURCE_DIR}/host/peers/peer_factory.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${QUARVEX_INCLUDE_SUBDIR}/host/peers COMPONENT dev)
install(EXPORT QuarvexTargets NAMESPACE Quarvex:: DESTINATION ${QUARVEX_CMAKE_DIR}
        COMPONENT dev)
configure_package_config_file(${CMAKE_SOURCE_DIR}/packaging/QuarvexConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/QuarvexConfig.cmake
                              INSTALL_DESTINATION ${QUARVEX_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/QuarvexConfigVersion.cmake
                                 VERSION ${QUARVEX_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/QuarvexConfig.cmake ${CMAKE_BINARY_DIR}/QuarvexConfigVersion.cmake
        DESTINATION ${QUARVEX_CMAKE_DIR} COMPONENT dev)
# Relocatable: the prefix is found from where the file is.
file(RELATIVE_PATH QUARVEX_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" QUARVEX_PC_TO_PREFIX "${QUARVEX_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/packaging/quarvex.pc.in ${CMAKE_BINARY_DIR}/quarvex.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/quarvex.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

install(FILES ${CMAKE_SOURCE_DIR}/packaging/quarvex.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/quarvex.bash RENAME quarvex
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT tool)
# The service and its configuration: /etc when installed under /usr (the package), else under
# the prefix; decided when installing, since cpack installs under its own prefix.
install(CODE "
    set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
    if(prefix STREQUAL \"/usr\")
        set(CONFDIR /etc/quarvex)
    else()
        set(CONFDIR \"\${prefix}/etc/quarvex\")
    endif()
    set(BINDIR \"\${prefix}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(${CMAKE_SOURCE_DIR}/packaging/quarvex.service.in
                   \"\$ENV{DESTDIR}\${prefix}/lib/systemd/system/quarvex.service\" @ONLY)
    file(INSTALL ${CMAKE_SOURCE_DIR}/packaging/quarvex.reg DESTINATION \"\${CONFDIR}\")
    message(STATUS \"Installing: \$ENV{DESTDIR}\${prefix}/lib/systemd/system/quarvex.service\")
" COMPONENT tool)
file(GLOB QUARVEX_EXAMPLES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/examples/*)
install(FILES ${QUARVEX_EXAMPLES} DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT tool)
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE RENAME copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tool)
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE RENAME copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quarvex-dev COMPONENT dev)

# cpack -G DEB in the build folder: quarvex (the tool) and quarvex-dev (the libraries).
set(CPACK_PACKAGE_NAME quarvex)
set(CPACK_PACKAGE_VERSION ${QUARVEX_VERSION})
set(CPACK_PACKAGE_VENDOR "The Quarvex developers")
set(CPACK_PACKAGE_CONTACT "The Quarvex developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "virtual COM ports: a Windows serial driver run in user mode, with its Win32 layer")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
# Installed under /usr into a staging folder (DESTDIR), so /etc lands in /etc.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tool dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
# cpack names the machine's architecture; a 32-bit build on an x86-64 machine makes i386 ones.
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|i.86)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
endif()
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME quarvex)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "libc6, libstdc++6")
set(CPACK_DEBIAN_TOOL_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/conffiles)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME quarvex-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_TOOL_DESCRIPTION "the quarvex command, its man page, completion and service")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "static libraries, windows.h and a CMake and pkg-config package for Windows programs")
file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles "/etc/quarvex/quarvex.reg\n")
include(CPack)
