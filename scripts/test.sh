#!/usr/bin/env bash
# Builds Halvard with AddressSanitizer and UndefinedBehaviorSanitizer, cross-builds the Windows
# executable and runs its cases under Wine, runs the fuzz targets for a short time (a clang
# build), and runs the whole suite (last, so that its summary closes the output). Fails when the
# Windows stage, a fuzz target or the suite fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh srecord
build=build/test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHALVARD_SANITIZE=ON >/dev/null
cmake --build "$build" -j "$(nproc)"

windows_failed=0
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
    # halvard.exe under Wine against halvard-sim on a pty mapped to COM1, and against /COM=SIM.
    bash scripts/wine-test.sh --exe "$windows/src/halvard.exe" --sim "$build/sim/halvard-sim" ||
        windows_failed=1
else
    echo "skipping the Windows cross-build: the mingw-w64 cross-compiler is missing and could not be installed"
    echo "skipping the Windows stage: there is no halvard.exe to run"
fi

# The fuzz targets: a clang build of their own (the suite above stays a g++ build), each target
# running for HALVARD_FUZZ_SECONDS (20) from its seed corpus in fuzz/corpus.
fuzz_failed=0
if bash scripts/deps.sh clang; then
    fuzz=build/fuzz
    cmake -S . -B "$fuzz" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DHALVARD_FUZZ=ON \
        -DHALVARD_TESTS=OFF -DHALVARD_BENCH=OFF >/dev/null
    cmake --build "$fuzz" --target halvard-fuzzers -j "$(nproc)"
    ctest --test-dir "$fuzz" --output-on-failure -j "$(nproc)" || fuzz_failed=1
else
    echo "skipping the fuzz targets: clang with libFuzzer is missing and could not be installed"
fi

# The .deb: built, unpacked into a scratch root and used as installed (scripts/package-test.sh).
package_failed=0
bash scripts/package-test.sh || package_failed=1

suite_status=0
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" || suite_status=$?
if [ "$windows_failed" = 1 ]; then
    echo "The Windows stage failed (see \"Windows stage\" above)." >&2
    exit 1
fi
if [ "$fuzz_failed" = 1 ]; then
    echo "A fuzz target failed (see \"fuzz_\" above; the input that broke it is in build/fuzz)." >&2
    exit 1
fi
if [ "$package_failed" = 1 ]; then
    echo "The package test failed (see \"Package test\" above)." >&2
    exit 1
fi
exit "$suite_status"
