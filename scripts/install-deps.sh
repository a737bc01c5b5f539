#!/usr/bin/env bash
# Installs what the build needs beyond the machine image: the mingw-w64 cross compiler for
# the target build of the driver, the multilib compilers and GoogleTest's sources for the
# 32-bit Linux build, pefile for the check of its image, the counterparts of
# the peers' interoperability tests (socat, ser2net, pySerial) and pkg-config for the
# installation test. Runs as root (apt-get); does nothing when all is present.
set -euo pipefail

need=()
command -v i686-w64-mingw32-g++ >/dev/null 2>&1 || need+=(g++-mingw-w64-i686)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v clang++ >/dev/null 2>&1 || need+=(clang)
command -v clang-tidy >/dev/null 2>&1 || need+=(clang-tidy)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev libgmock-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
# The i686 preset: gcc -m32, and GoogleTest built from its sources at that word size.
echo 'int main() {}' | g++ -m32 -x c++ -o /dev/null - >/dev/null 2>&1 || need+=(g++-multilib)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
# The image check of quarvex.sys runs under Debian's own interpreter, which has pefile.
/usr/bin/python3 -c 'import pefile' >/dev/null 2>&1 || need+=(python3-pefile)
# The peers' interoperability tests talk to these (they skip when one is missing).
command -v socat >/dev/null 2>&1 || need+=(socat)
command -v ser2net >/dev/null 2>&1 || need+=(ser2net)
/usr/bin/python3 -c 'import serial.tools' >/dev/null 2>&1 || need+=(python3-serial)
# The installation test builds a program against the installed pkg-config file.
command -v pkg-config >/dev/null 2>&1 || need+=(pkgconf)

if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "install-deps: missing ${need[*]}; run as root to install them" >&2
        exit 1
    fi
    echo "install-deps: installing ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${need[@]}" >/dev/null
fi
