#!/usr/bin/env bash
# Builds a release build and measures halvard against the paced virtual board:
# /P, /V and /R of the whole 128 KB device at 38400 and 115200 baud, start-up, host CPU and
# emulator speed; then the CPU time of reading and writing a 1 MB image as HEX and S-records.
# Prints a table; the CSV goes to build/release/bench/results.csv.
# Takes about three minutes. Extra arguments go to bench.py (e.g. --bauds 115200).
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v python3 >/dev/null || ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        apt-get update -qq && apt-get install -y -qq python3 cmake ninja-build g++ >/dev/null
    else
        echo "bench/run.sh needs python3, cmake, ninja and a C++20 compiler" >&2
        exit 1
    fi
fi

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVARD_TESTS=OFF >/dev/null
cmake --build build/release --target halvard halvard-sim halvard-emulator-bench halvard-image-bench -j2
python3 bench/bench.py --build build/release "$@"
build/release/bench/halvard-image-bench
