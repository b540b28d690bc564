#!/usr/bin/env bash
# Builds Halvard and programs, verifies and reads back the built-in virtual board (no hardware).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVARD_TESTS=OFF >/dev/null
cmake --build build/release --target halvard -j "$(nproc)"

demo=build/demo
mkdir -p "$demo"
# A 64 KB image of random bytes; the board keeps its flash in halvard-sim.bin here.
head -c 65536 /dev/urandom > "$demo/image.bin"
cd "$demo"
halvard=../release/src/halvard
"$halvard" /P image.bin /COM=SIM
"$halvard" /V image.bin /COM=SIM
"$halvard" /R readback.bin /COM=SIM /L=10000
cmp image.bin readback.bin && echo "readback.bin is identical to image.bin"

# A production line: four virtual boards at once, each with its own serial number at 0x20100
# (from image.bin.serial) and a row in boards.csv.
"$halvard" /P image.bin /COM=SIM:FILE=b1.sim,SIM:FILE=b2.sim,SIM:FILE=b3.sim,SIM:FILE=b4.sim \
    /SERIAL=20100:1000 /LOG=boards.csv
cat image.bin.serial boards.csv
