#!/usr/bin/env python3
"""Measures halvard against a paced virtual board: /P, /V and /R of the whole 128 KB device at
each baud rate, the start-up, the host's CPU and the emulator's speed. Prints a table and writes
it as CSV. It measures and reports; it never passes or fails on a time.

The line's limit for a function is the time its bytes need on the wire under this protocol,
plus, for /P, the flash chip's typical busy times (see docs/benchmarks.md):

    limit = 10 / baud * sum over exchanges (request bytes + answer bytes) [+ flash time]

Every exchange is a request followed by its answer, and the next request waits for the answer:
the line is full duplex, but the protocol never has both directions busy at once, so the bytes
of both directions add up.
"""

import argparse
import csv
import os
import pty
import random
import re
import signal
import subprocess
import sys
import time

BLOCK = 512  # bytes per block request
PAGE_WINDOW = 0x4000  # the monitor maps one 16 KB page per request
HEADER = 6  # code, 24-bit address, 16-bit count
CHECKSUM_EXCHANGE = HEADER + 2  # the monitor's byte sum of a range
CRC_BYTES = 4  # the CRC routine's answer
PROOF_EXCHANGE = HEADER + CRC_BYTES  # a page's CRC-32, asked on its own (/P)
FLASH_BYTE_PROGRAM_S = 14e-6  # datasheet-typical, as halvard-sim --paced models it
FLASH_SECTOR_ERASE_S = 1.0
SECTOR_SIZE = 0x4000  # the board's PSD813F: 8 sectors of 16 KB
# One sector erase as halvard sends it to a byte-wide AMD-style device: unlock (2 byte writes of
# 5 bytes), 0x80, unlock, 0x30 (5 x 5 bytes); one status read that finds the sector erased
# (4 + 1); reset: unlock and 0xF0 (3 x 5).
ERASE_EXCHANGE_BYTES = 30 + 5 + 15
SETTLE_S = 1.0  # the handshake's pause before the zero byte
DEVICE_SIZE = 0x20000


def line_time(byte_count, baud):
    return byte_count * 10.0 / baud


PAGE_BYTES = None  # --page-bytes: a fixed page, for builds that cut pages otherwise


def page_size(baud):
    """Bytes per read or CRC request at this rate, as halvard's AnswerPageSize cuts them: the
    largest power of two that takes at most 1.5 s on the wire, 64 bytes to 16 KB."""
    if PAGE_BYTES:
        return PAGE_BYTES
    page = 64
    while page < PAGE_WINDOW and 2 * page * 10 <= baud * 1.5:
        page *= 2
    return page


def transfer_bytes(payload, answer_per_block, baud, block=BLOCK):
    """Bytes on the line for the 512-byte blocks of /P over `payload` bytes and the page proofs
    after them."""
    blocks = -(-payload // block)
    pages = -(-payload // page_size(baud))
    return blocks * HEADER + payload + blocks * answer_per_block + pages * PROOF_EXCHANGE


def read_limit(payload, baud):
    """/R reads each page with one request, answered by the page and its CRC-32. (/V of a correct
    flash reads nothing back; its ratio against this limit is not meaningful.)"""
    pages = -(-payload // page_size(baud))
    line_bytes = pages * (HEADER + CRC_BYTES) + payload
    return line_bytes, line_time(line_bytes, baud)


def erase_phase_limit(payload, baud, algorithm_size):
    """Loading the flash algorithm (header, code, the monitor's 0xAA, its checksum), then the
    sector erases."""
    sectors = -(-payload // SECTOR_SIZE)
    line_bytes = HEADER + algorithm_size + 1 + CHECKSUM_EXCHANGE + sectors * ERASE_EXCHANGE_BYTES
    return line_bytes, line_time(line_bytes, baud) + sectors * FLASH_SECTOR_ERASE_S


def program_phase_limit(payload, baud):
    line_bytes = transfer_bytes(payload, 1, baud)
    return line_bytes, line_time(line_bytes, baud) + payload * FLASH_BYTE_PROGRAM_S


def program_limit(payload, baud, algorithm_size):
    erase_bytes, erase_s = erase_phase_limit(payload, baud, algorithm_size)
    program_bytes, program_s = program_phase_limit(payload, baud)
    return erase_bytes + program_bytes, erase_s + program_s


def startup_limit(monitor_size, baud):
    line_bytes = (
        (1 + 1)  # zero byte, the loader's identification byte
        + (32 + 1)  # bootstrap code, 'V'
        + (monitor_size + 1 + 1)  # monitor, ping, 0xAA
        + (1 + 2)  # where the monitor runs
        + (4 + 2)  # CSP
        + CHECKSUM_EXCHANGE  # the monitor's checksum
    )
    return line_bytes, SETTLE_S + line_time(line_bytes, baud)


def cpu_ns_of(pid):
    """CPU time the process has had so far (ns), or None once it has gone."""
    try:
        with open(f"/proc/{pid}/schedstat") as stat:
            return int(stat.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None


class HalvardRun:
    """One halvard run with its output lines timestamped (stdout on a pty: line-buffered)."""

    def __init__(self, exe, args, start_marker, end_marker="Total Elapsed time"):
        self.lines = []  # (seconds since launch, text)
        master, slave = pty.openpty()
        launched = time.monotonic()
        process = subprocess.Popen(
            [exe] + args, stdin=subprocess.DEVNULL, stdout=slave, stderr=slave, close_fds=True
        )
        os.close(slave)
        self.cpu_at_start = None
        self.cpu_at_end = None
        pending = b""
        while True:
            try:
                data = os.read(master, 4096)
            except OSError:
                break  # EIO: the child has closed its terminal
            if not data:
                break
            now = time.monotonic() - launched
            pending += data
            parts = re.split(rb"[\r\n]", pending)
            pending = parts.pop()
            for part in parts:
                text = part.decode(errors="replace")
                if not text:
                    continue
                self.lines.append((now, text))
                if self.cpu_at_start is None and text.startswith(start_marker):
                    self.cpu_at_start = cpu_ns_of(process.pid)
                if text.startswith(end_marker):
                    self.cpu_at_end = cpu_ns_of(process.pid)
        os.close(master)
        _, status, usage = os.wait4(process.pid, 0)
        self.wall_s = time.monotonic() - launched
        self.status = os.waitstatus_to_exitcode(status)
        self.cpu_s = usage.ru_utime + usage.ru_stime
        if self.cpu_at_end is None:
            self.cpu_at_end = int(self.cpu_s * 1e9)
        self.start_marker = start_marker
        self.end_marker = end_marker

    def time_of(self, prefix):
        for stamp, text in self.lines:
            if text.startswith(prefix):
                return stamp
        raise RuntimeError(f"no line '{prefix}' in the output:\n" + self.transcript())

    def number_in(self, prefix, pattern):
        for _, text in self.lines:
            if text.startswith(prefix):
                match = re.search(pattern, text)
                if match:
                    return match.group(1)
        raise RuntimeError(f"no line '{prefix}' in the output:\n" + self.transcript())

    def transcript(self):
        return "\n".join(text for _, text in self.lines)

    def function_s(self):
        return self.time_of(self.end_marker) - self.time_of(self.start_marker)

    def function_cpu_s(self):
        if self.cpu_at_start is None:
            return None
        return (self.cpu_at_end - self.cpu_at_start) / 1e9


class Simulator:
    """halvard-sim --paced on a new pty; every host that opens the line finds the loader."""

    def __init__(self, exe, baud, extra=()):
        self.process = subprocess.Popen(
            # 18.432 MHz makes the standard rates exactly, so the board's frames take the
            # host's time and the ratios measure the host alone.
            [exe, "--paced", "--reset-on-open", "--clock", "18.432", "--baud", str(baud), *extra],
            stdout=subprocess.PIPE,
            stdin=subprocess.DEVNULL,
            text=True,
        )
        self.pty = self.process.stdout.readline().strip()
        if not self.pty.startswith("/"):
            raise RuntimeError("halvard-sim did not print its terminal")
        self.cpu_before = None

    def cpu_s(self):
        ns = cpu_ns_of(self.process.pid)
        return None if ns is None else ns / 1e9

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=10)


def measure_baud(args, baud, image, readback, adapter_ms=0):
    """adapter_ms: the board behind halvard-sim's USB adapter model with this latency timer.
    Without /P the board's flash is erased, and /R reads that."""
    rows = []
    sim = Simulator(args.sim, baud, ["--adapter", str(adapter_ms)] if adapter_ms else [])
    try:
        common = [f"/COM={sim.pty}", f"/BAUD={baud}"]
        plan = [
            ("/P", ["/P", image], "Loading flash algorithm"),
            ("/V", ["/V", image], "Verifying with"),
            ("/R", ["/R", readback], "Reading to File"),
        ]
        for function, function_args, start_marker in plan:
            if function not in args.functions:
                continue
            sim_cpu_before = sim.cpu_s()
            run = HalvardRun(args.halvard, function_args + common, start_marker)
            sim_cpu = sim.cpu_s() - sim_cpu_before
            if run.status != 0:
                raise RuntimeError(
                    f"halvard {function} at {baud} ended with status {run.status}:\n"
                    + run.transcript()
                )
            rows.append(summarise(function, baud, run, sim_cpu))
            rows[-1]["adapter_ms"] = adapter_ms
            print(f"  {function} at {baud}, adapter {adapter_ms} ms: {rows[-1]['time_s']:.2f} s",
                  file=sys.stderr)
    finally:
        sim.stop()
    expected = open(image, "rb").read() if "/P" in args.functions else b"\xff" * DEVICE_SIZE
    if "/R" in args.functions:
        with open(readback, "rb") as b:
            if b.read() != expected:
                raise RuntimeError(f"/R at {baud} did not read back the flash")
    return rows


def summarise(function, baud, run, sim_cpu):
    payload = DEVICE_SIZE
    phases = {}
    if function == "/P":
        algorithm_size = int(run.number_in("Loading flash algorithm", r"\((\d+)\)"))
        line_bytes, limit_s = program_limit(payload, baud, algorithm_size)
        programming = run.time_of("Programming File")
        phases = {
            "erase_s": round(programming - run.time_of("Loading flash algorithm"), 4),
            "erase_limit_s": round(erase_phase_limit(payload, baud, algorithm_size)[1], 4),
            "program_s": round(run.time_of("Total Elapsed time") - programming, 4),
            "program_limit_s": round(program_phase_limit(payload, baud)[1], 4),
        }
    else:
        line_bytes, limit_s = read_limit(payload, baud)
    monitor_size = int(run.number_in("Loading target monitor", r"\((\d+) Bytes\)"))
    startup_bytes, startup_limit_s = startup_limit(monitor_size, baud)
    time_s = run.function_s()
    cpu = run.function_cpu_s()
    return {
        "kind": "function",
        "baud": baud,
        "function": function,
        "payload_bytes": payload,
        "line_bytes": line_bytes,
        "limit_s": round(limit_s, 4),
        "time_s": round(time_s, 4),
        "printed_elapsed_s": float(run.number_in("Total Elapsed time", r"= ([\d.]+)")),
        "wall_s": round(run.wall_s, 4),
        "ratio": round(limit_s / time_s, 4),
        "host_cpu_s": round(run.cpu_s, 4),
        "host_cpu_share_run": round(run.cpu_s / run.wall_s, 5),
        "host_cpu_share_transfer": None if cpu is None else round(cpu / time_s, 5),
        "sim_cpu_share": None if sim_cpu is None else round(sim_cpu / run.wall_s, 4),
        "startup_s": round(run.time_of("Monitor OK"), 4),
        "startup_limit_s": round(startup_limit_s, 4),
        "startup_ratio": round(startup_limit_s / run.time_of("Monitor OK"), 4),
        "startup_line_bytes": startup_bytes,
        **phases,
    }


def measure_emulator(exe, commands):
    output = subprocess.run(
        [exe, str(commands)], check=True, capture_output=True, text=True
    ).stdout
    values = dict(item.split("=") for item in output.split())
    return {
        "kind": "emulator",
        "instructions": int(values["instructions"]),
        "emulator_cpu_s": float(values["cpu_seconds"]),
        "instructions_per_s": round(float(values["instructions_per_second"])),
    }


FIELDS = [
    "kind", "baud", "adapter_ms", "function", "payload_bytes", "line_bytes", "limit_s", "time_s",
    "printed_elapsed_s", "wall_s", "ratio", "host_cpu_s", "host_cpu_share_run",
    "host_cpu_share_transfer", "sim_cpu_share", "startup_s", "startup_limit_s", "startup_ratio",
    "startup_line_bytes", "erase_s", "erase_limit_s", "program_s", "program_limit_s",
    "instructions", "emulator_cpu_s", "instructions_per_s",
]


def print_table(rows):
    print()
    print(
        f"{'baud':>7} {'adapter':>7} {'fn':>3} {'limit s':>8} {'time s':>8} {'ratio':>6} {'goal':>6} "
        f"{'wall s':>7} {'host CPU':>9} {'(xfer)':>7} {'sim CPU':>8} "
        f"{'start s':>8} {'limit':>6} {'ratio':>6}"
    )
    for row in rows:
        if row["kind"] != "function":
            continue
        goal = ""
        if row["baud"] == 115200 and not row["adapter_ms"]:
            goal = {"/P": ">=0.95", "/R": ">=0.97"}.get(row["function"], "")
        if row["baud"] == 115200 and row["adapter_ms"] == 16 and row["function"] == "/R":
            goal = ">=0.95"
        # /V of a correct flash reads only the page CRCs: it has no line limit to compare with.
        measured = row["function"] != "/V"
        limit = f"{row['limit_s']:.2f}" if measured else ""
        ratio = f"{row['ratio']:.3f}" if measured else ""
        adapter = f"{row['adapter_ms']} ms" if row["adapter_ms"] else "none"
        transfer = row["host_cpu_share_transfer"]
        sim = row["sim_cpu_share"]
        print(
            f"{row['baud']:>7} {adapter:>7} {row['function']:>3} {limit:>8} {row['time_s']:>8.2f} "
            f"{ratio:>6} {goal:>6} {row['wall_s']:>7.2f} "
            f"{100 * row['host_cpu_share_run']:>8.2f}% "
            f"{'' if transfer is None else f'{100 * transfer:.2f}%':>7} "
            f"{'' if sim is None else f'{100 * sim:.1f}%':>8} "
            f"{row['startup_s']:>8.3f} {row['startup_limit_s']:>6.3f} {row['startup_ratio']:>6.3f}"
        )
    for row in rows:
        if row.get("erase_s") is not None:
            print(
                f"{row['baud']:>7} {row['adapter_ms']:>3} ms /P phases: algorithm + erase {row['erase_s']:.2f} s "
                f"(limit {row['erase_limit_s']:.2f}), programming {row['program_s']:.2f} s "
                f"(limit {row['program_limit_s']:.2f})"
            )
    for row in rows:
        if row["kind"] == "emulator":
            print(
                f"\nemulator: {row['instructions']} instructions in {row['emulator_cpu_s']:.3f} s "
                f"of CPU = {row['instructions_per_s'] / 1e6:.1f} million instructions/s "
                f"(goal >= 20)"
            )
    print("host CPU: halvard's user + system CPU per second of wall time, whole run and "
          "(xfer) the function alone; goal < 2%")


def machine_line():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{os.cpu_count()} CPUs, {model}"


IDENTIFY_CHIPS = ("psd813f", "am29f400bb", "am29lv320dt")  # first PSD row, word mode, CFI only


def measure_identification(args, readback, baud=38400):
    """Seconds from "Looking for a known flash device" to the device line, per chip."""
    times = {}
    for chip in IDENTIFY_CHIPS:
        sim = Simulator(args.sim, baud, ("--flash", chip))
        try:
            run = HalvardRun(
                args.halvard, ["/R", readback, "/L=2", f"/COM={sim.pty}", f"/BAUD={baud}"],
                "Reading to File",
            )
        finally:
            sim.stop()
        if run.status != 0:
            raise RuntimeError(f"halvard with {chip} ended with status {run.status}:\n"
                               + run.transcript())
        looking = run.time_of("Looking for a known flash device")
        detected = next(stamp for stamp, text in run.lines if text.endswith(" detected"))
        times[chip] = detected - looking
        print(f"  identification of {chip} at {baud}: {times[chip]:.3f} s", file=sys.stderr)
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--out", default=None, help="CSV file (default BUILD/bench/results.csv)")
    parser.add_argument("--bauds", default="38400,115200")
    parser.add_argument("--adapters", default="16,1",
                        help="latency timers (ms) of the USB adapter model, measured at 115200")
    parser.add_argument("--functions", default="/P,/V,/R",
                        help="which of /P, /V, /R to measure (without /P, /R reads an erased flash)")
    parser.add_argument("--page-bytes", type=int, default=None,
                        help="count the limits with pages of this size (16384 for builds before "
                             "the page followed the rate)")
    parser.add_argument("--skip-identify", action="store_true",
                        help="leave out the flash identification times")
    parser.add_argument("--emulator-commands", type=int, default=400)
    parser.add_argument("--identify-only", action="store_true",
                        help="only the flash identification times at 38400 baud")
    args = parser.parse_args()
    args.functions = set(args.functions.split(","))
    global PAGE_BYTES
    PAGE_BYTES = args.page_bytes
    args.halvard = os.path.join(args.build, "src", "halvard")
    args.sim = os.path.join(args.build, "sim", "halvard-sim")
    emulator = os.path.join(args.build, "bench", "halvard-emulator-bench")
    work = os.path.join(args.build, "bench")
    os.makedirs(work, exist_ok=True)
    out = args.out or os.path.join(work, "results.csv")

    image = os.path.join(work, "image.bin")
    readback = os.path.join(work, "readback.bin")
    with open(image, "wb") as f:
        f.write(random.Random(9).randbytes(DEVICE_SIZE))

    print(f"machine: {machine_line()}", file=sys.stderr)
    if not args.skip_identify:
        identification = measure_identification(args, readback)
        print("identification at 38400 baud: " +
              ", ".join(f"{chip} {t:.3f} s" for chip, t in identification.items()))
    if args.identify_only:
        return
    rows = []
    for baud in (int(b) for b in args.bauds.split(",")):
        rows += measure_baud(args, baud, image, readback)
    for adapter_ms in (int(a) for a in args.adapters.split(",") if a):
        rows += measure_baud(args, 115200, image, readback, adapter_ms)
    rows.append(measure_emulator(emulator, args.emulator_commands))

    print_table(rows)
    with open(out, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=FIELDS)
        writer.writeheader()
        for row in rows:
            writer.writerow(row)
    print(f"\nmachine: {machine_line()}\nCSV: {out}")


if __name__ == "__main__":
    main()
