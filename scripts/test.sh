#!/usr/bin/env bash
# Builds Halvard with AddressSanitizer and UndefinedBehaviorSanitizer, proves that the Windows
# executable cross-builds, and runs the whole suite (last, so that its summary closes the output).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
build=build/test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHALVARD_SANITIZE=ON >/dev/null
cmake --build "$build" -j "$(nproc)"

# The Windows build needs the mingw-w64 cross-compiler, which only root can install.
if bash scripts/deps.sh mingw; then
    windows=build/windows
    cmake -S . -B "$windows" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        --toolchain cmake/mingw-w64.cmake >/dev/null
    cmake --build "$windows" --target halvard -j "$(nproc)"
    if [ ! -f "$windows/src/halvard.exe" ]; then
        echo "Windows cross-build: $windows/src/halvard.exe is missing" >&2
        exit 1
    fi
    echo "Windows cross-build: $windows/src/halvard.exe built"
else
    echo "skipping the Windows cross-build: the mingw-w64 cross-compiler is missing and could not be installed"
fi

ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
