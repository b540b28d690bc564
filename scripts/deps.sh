#!/usr/bin/env bash
# Installs what building and testing Halvard needs, when it is missing (Debian, as root).
set -euo pipefail

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v ninja >/dev/null || need+=(ninja-build)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev googletest)
# liblz4 is the reference the tests hold the host's LZ4 blocks against; the product never links it.
[ -f /usr/include/lz4hc.h ] || need+=(liblz4-dev)
for extra in "$@"; do
    case "$extra" in
        mingw) command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix) ;;
        # 64-bit Wine alone runs the 64-bit console .exe: no display, no 32-bit Wine.
        wine) { command -v wine && command -v wineserver && [ -x /usr/lib/wine/wine64 ]; } >/dev/null ||
            need+=(wine64 wine) ;;
        # srec_cat, for the tests that cross-check the HEX and S-record readers and writers.
        srecord) command -v srec_cat >/dev/null || need+=(srecord) ;;
        # clang with libFuzzer, for the fuzz targets.
        clang) { command -v clang++ && ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a; } \
            >/dev/null 2>&1 || need+=(clang) ;;
        # The package test: cpack's .deb with its library dependencies, and the man page checks.
        package)
            command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
            command -v man >/dev/null || need+=(man-db)
            command -v mandoc >/dev/null || need+=(mandoc)
            ;;
        *) need+=("$extra") ;;
    esac
done

if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages: ${need[*]} (run as root to install them)" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
