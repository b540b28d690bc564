#!/usr/bin/env python3
"""Measures /SPEED= on a paced 20 MHz board carrying a 512 KB word-wide flash (halvard-sim
--paced --clock 20 --flash am29f400bb): /P, /V and /R of the whole chip at the start rate and
with /SPEED=MAX (and any other rates asked for). It reports each function's time against the
line's limit at the rate it ran, the whole run's wall time, the resynchronisations the run
needed and the host bytes the board lost (halvard-sim says so on its standard error when a host
closes the line): at the switched rate, a monitor that does not keep up loses bytes.

It measures and reports; it never passes or fails on a time. Takes about seven minutes, most of
it the two 512 KB transfers at 38400 baud.

    python3 bench/speed.py --build build/release [--speeds MAX,312500] [--skip-start-rate]
"""

import argparse
import os
import random
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402  (the shared run, simulator and limit helpers)

CHIP = "am29f400bb"
CHIP_SIZE = 0x80000
WORD = 2  # the chip programs a 16-bit word per command
CRC_BYTES = 4  # a page proof's answer
START_RATE = 38400


CLOCK_HZ = 20e6


def board_rate(rate):
    """The rate the board's ASC0 really makes for a host rate: fCPU / (32 x (S0BG + 1)). At
    38400 a 20 MHz board sends at 39062.5 baud, so its answers take less time than the host's
    rate says."""
    reload = max(0, round(CLOCK_HZ / (32 * rate)) - 1)
    return CLOCK_HZ / (32 * (reload + 1))


def limit_of(request_bytes, answer_bytes, rate):
    return bench.line_time(request_bytes, rate) + bench.line_time(answer_bytes, board_rate(rate))


def program_limit(rate):
    """The block pass (6-byte header and 512 bytes, 1 answer byte) and the page proofs on the
    line, plus what the chip itself needs: one program time per word (the erase phase is not in
    /P's printed time, so it is not in this limit either)."""
    blocks = CHIP_SIZE // bench.BLOCK
    pages = CHIP_SIZE // bench.page_size(rate)
    line = limit_of(blocks * (bench.HEADER + bench.BLOCK) + pages * bench.HEADER,
                    blocks + pages * CRC_BYTES, rate)
    return line + CHIP_SIZE // WORD * bench.FLASH_BYTE_PROGRAM_S


def read_limit(rate):
    """One request per page, answered by the page and its CRC-32."""
    pages = CHIP_SIZE // bench.page_size(rate)
    return limit_of(pages * bench.HEADER, CHIP_SIZE + pages * CRC_BYTES, rate)


class Board:
    """The paced 20 MHz board on a pty, with its standard error kept for the lost-byte lines."""

    def __init__(self, exe, work, baud):
        self.err_path = os.path.join(work, "speed-sim.err")
        self.err = open(self.err_path, "w")
        flash = os.path.join(work, "speed-flash.img")
        if os.path.exists(flash):
            os.remove(flash)
        self.process = subprocess.Popen(
            [exe, "--paced", "--reset-on-open", "--clock", "20", "--baud", str(baud),
             "--flash", CHIP, "--flash-image", flash],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, stderr=self.err, text=True)
        self.pty = self.process.stdout.readline().strip()
        if not self.pty.startswith("/"):
            raise RuntimeError("halvard-sim did not print its terminal")

    def lost_bytes(self):
        with open(self.err_path) as err:
            return sum(int(m.group(1)) for m in re.finditer(r"(\d+) bytes from the host were lost",
                                                            err.read()))

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=10)
        self.err.close()


def run_function(args, board, function, file_name, speed):
    markers = {"/P": "Programming File", "/V": "Verifying with", "/R": "Reading to File"}
    extra = [f"/SPEED={speed}"] if speed else []
    lost_before = board.lost_bytes()
    run = bench.HalvardRun(args.halvard, [function, file_name, f"/COM={board.pty}",
                                          f"/BAUD={START_RATE}", *extra], markers[function])
    if run.status != 0:
        raise RuntimeError(f"halvard {function} /SPEED={speed} ended with status {run.status}:\n"
                           + run.transcript())
    rate = START_RATE
    for _, text in run.lines:
        switched = re.match(r"Line switched to (\d+) baud", text)
        if switched:
            rate = int(switched.group(1))
    time_s = run.function_s()
    limit_s = program_limit(rate) if function == "/P" else read_limit(rate)
    return {
        "function": function,
        "speed": speed or "-",
        "rate": rate,
        "time_s": time_s,
        "limit_s": limit_s,
        "ratio": limit_s / time_s,
        "wall_s": run.wall_s,
        "resyncs": sum(1 for _, text in run.lines if text.startswith("Trying to Resyncronize")),
        "lost": board.lost_bytes() - lost_before,
        "host_cpu": run.function_cpu_s() / time_s if run.function_cpu_s() else None,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--speeds", default="MAX", help="/SPEED= values, comma-separated")
    parser.add_argument("--skip-start-rate", action="store_true",
                        help="leave out the runs at 38400 baud (about five minutes)")
    args = parser.parse_args()
    args.halvard = os.path.join(args.build, "src", "halvard")
    sim_exe = os.path.join(args.build, "sim", "halvard-sim")
    work = os.path.join(args.build, "bench")
    os.makedirs(work, exist_ok=True)
    image = os.path.join(work, "speed-image.bin")
    readback = os.path.join(work, "speed-readback.bin")
    with open(image, "wb") as f:
        f.write(random.Random(20).randbytes(CHIP_SIZE))

    speeds = ([] if args.skip_start_rate else [None]) + args.speeds.split(",")
    rows = []
    for speed in speeds:
        board = Board(sim_exe, work, START_RATE)
        try:
            for function, name in (("/P", image), ("/V", image), ("/R", readback)):
                if speed is None and function == "/V":
                    continue  # a correct flash verifies by page proofs: no transfer to compare
                row = run_function(args, board, function, name, speed)
                rows.append(row)
                print(f"  {function} /SPEED={row['speed']}: {row['time_s']:.2f} s", file=sys.stderr)
        finally:
            board.stop()
        with open(image, "rb") as a, open(readback, "rb") as b:
            if a.read() != b.read():
                raise RuntimeError(f"/R /SPEED={speed} did not read back the programmed image")

    print(f"\n512 KB {CHIP} on a 20 MHz board, paced; limit = line time at the rate "
          "(+ 14 us per word programmed for /P)")
    print(f"{'fn':>3} {'/SPEED=':>8} {'rate':>7} {'limit s':>8} {'time s':>8} {'ratio':>6} "
          f"{'wall s':>7} {'resyncs':>7} {'lost':>5} {'host CPU':>8}")
    for r in rows:
        cpu = "" if r["host_cpu"] is None else f"{100 * r['host_cpu']:.2f}%"
        # /V of a correct flash compares page proofs only: no transfer for a line limit.
        limit, ratio = ("-", "-") if r["function"] == "/V" else (
            f"{r['limit_s']:.2f}", f"{r['ratio']:.3f}")
        print(f"{r['function']:>3} {r['speed']:>8} {r['rate']:>7} {limit:>8} "
              f"{r['time_s']:>8.2f} {ratio:>6} {r['wall_s']:>7.2f} {r['resyncs']:>7} "
              f"{r['lost']:>5} {cpu:>8}")
    print(f"machine: {bench.machine_line()}")


if __name__ == "__main__":
    started = time.monotonic()
    main()
    print(f"({time.monotonic() - started:.0f} s)", file=sys.stderr)
