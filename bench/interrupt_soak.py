#!/usr/bin/env python3
"""Interruption soak: halvard cut short at a random moment, then run again at once.

Each pair runs one function (/P, /P against a slowly erasing chip, /V or /R) against a fresh
`halvard-sim --paced` on a pseudo-terminal, stops it after a random time with SIGINT, SIGTERM or
SIGKILL, and as soon as the process has gone runs the same command again. A rerun that fails is
followed by a reset of the board and one more run: that is what /RESET= does on a board whose
adapter wires DTR and RTS to RESET and the boot pin. A pseudo-terminal has no modem lines, so the
script resets the board as its reset button does (SIGHUP to halvard-sim).

For every pair it records the rerun's status, whether the board needed that reset, whether an
output file that existed before the interrupted run was lost or changed by it, whether the port
was left locked, and whether a success had wrong data: /R's file against the flash, /P's flash
against the image, /V's verdict against the truth (half of the /V pairs get a flash with one
byte changed, where only status 21 is right). It prints a summary table and writes one CSV row a
pair. It measures; its own status is 0 unless the set-up fails.

    python3 bench/interrupt_soak.py --build build/release            # 300 pairs, about 40 min
    python3 bench/interrupt_soak.py --build build/release --quick    # 24 pairs, about 3 min
"""

import argparse
import csv
import errno
import fcntl
import itertools
import os
import random
import signal
import struct
import subprocess
import sys
import tempfile
import time

DEVICE_SIZE = 0x20000  # the board's PSD813F
SECTOR_SIZE = 0x4000
DEVICE_BASE = 0x20000
# 18.432 MHz makes the standard rates exactly; /SPEED=MAX is then 576000 baud.
CLOCK_MHZ = "18.432"
SLOW_ERASE_MS = 2500
RUN_LIMIT_S = 120  # a run that takes longer has hung: it is killed and counted so
STOP_GRACE_S = 15  # how long a stopped run may take to unwind after SIGINT or SIGTERM
TIOCGEXCL = 0x80045440  # _IOR('T', 0x40, int): is the terminal held exclusively

BAUDS = (9600, 19200, 38400, 115200)
SPEEDS = (None, "MAX")
FUNCTIONS = ("/P", "/P slow-erase", "/V", "/R")
# /P programs through the loader; "/P plain" is the monitor's page by page path (/PLAIN).
ALL_FUNCTIONS = FUNCTIONS + ("/P plain",)
SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGKILL)


def range_length(baud):
    """About four seconds of payload on the wire at the start rate."""
    return max(0x1000, min(0x8000, baud * 4 // 10 // 0x1000 * 0x1000))


def expected_run_s(function, baud, speed, length):
    """Roughly how long an undisturbed run takes: the wait for a quiet line, the upload, the
    payload and its requests (at 576000 baud after /SPEED=MAX; /V of a correct flash sends only
    CRCs), the erase of the touched sectors and /P's CRCs of the sectors it keeps, before and
    after."""
    start = 0.3 + 600 * 10 / baud
    if function == "/V":
        return start + 0.2
    payload_baud = 576000 if speed else baud
    payload = length * 1.05 * 10 / payload_baud
    if function == "/R":
        return start + payload
    erase = -(-length // SECTOR_SIZE) * (SLOW_ERASE_MS / 1000 if "slow" in function else 1.0)
    kept = 2 * (DEVICE_SIZE - length) * 52 / (float(CLOCK_MHZ) * 1e6)
    return start + payload + erase + kept


class Board:
    """halvard-sim --paced on a new pty with its flash kept in a file."""

    def __init__(self, sim_exe, work, baud, flash, faults=()):
        self.flash_path = os.path.join(work, "flash.img")
        with open(self.flash_path, "wb") as f:
            f.write(flash)
        self.err = open(os.path.join(work, "sim.err"), "w")
        command = [sim_exe, "--paced", "--clock", CLOCK_MHZ, "--baud", str(baud),
                   "--flash-image", self.flash_path]
        for fault in faults:
            command += ["--fault", fault]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                        stderr=self.err, text=True)
        self.pty = self.process.stdout.readline().strip()
        if not self.pty.startswith("/"):
            raise RuntimeError("halvard-sim did not print its terminal")

    def reset(self):
        """The reset button with the boot pin held: the board starts in its loader."""
        self.process.send_signal(signal.SIGHUP)
        time.sleep(0.1)

    def port_locked(self):
        """The port is held exclusively or by a lock; only asked when no run holds it."""
        try:
            fd = os.open(self.pty, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        except OSError as error:
            return error.errno == errno.EBUSY
        try:
            held = struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, b"\0" * 4))[0] != 0
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError:
                held = True
            return held
        finally:
            os.close(fd)

    def stop(self):
        """Stops the board, which saves its flash; returns the flash."""
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.err.close()
        with open(self.flash_path, "rb") as f:
            return f.read()


class Run:
    """One halvard process; its output goes to a file."""

    def __init__(self, halvard, args, log_path):
        self.log_path = log_path
        self.log = open(log_path, "wb")
        self.started = time.monotonic()
        self.process = subprocess.Popen([halvard] + args, stdin=subprocess.DEVNULL,
                                        stdout=self.log, stderr=subprocess.STDOUT)
        self.hung = False

    def wait(self, limit_s=RUN_LIMIT_S):
        try:
            self.process.wait(timeout=max(0.0, limit_s - (time.monotonic() - self.started)))
        except subprocess.TimeoutExpired:
            self.hung = True
            self.process.kill()
            self.process.wait()
        self.log.close()
        return self.process.returncode

    def signal_after(self, delay_s, number):
        """Sends the signal after delay_s unless the run has ended; returns whether it landed."""
        try:
            self.process.wait(timeout=delay_s)
            return False
        except subprocess.TimeoutExpired:
            pass
        self.process.send_signal(number)
        try:
            self.process.wait(timeout=STOP_GRACE_S)
        except subprocess.TimeoutExpired:
            self.hung = True
            self.process.kill()
        return True

    def output(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode(errors="replace")


def status_of(returncode):
    """Exit status as the shell shows it (128 + signal for a run ended by one)."""
    return 128 - returncode if returncode < 0 else returncode


def flash_after_program(before, image, offset, length):
    """The flash that a correct /P of image at offset leaves: the range programmed, the rest of
    the sectors it touches erased, everything else as before."""
    first = offset // SECTOR_SIZE * SECTOR_SIZE
    end = -(-(offset + length) // SECTOR_SIZE) * SECTOR_SIZE
    after = bytearray(before)
    after[first:end] = b"\xff" * (end - first)
    after[offset:offset + length] = image
    return bytes(after)


class Pair:
    def __init__(self, number, baud, speed, function, signum, rng):
        self.number = number
        self.baud = baud
        self.speed = speed
        self.function = function
        self.signum = signum
        self.length = range_length(baud)
        self.offset = rng.randrange(0, DEVICE_SIZE // SECTOR_SIZE - 2) * SECTOR_SIZE
        self.flash = rng.randbytes(DEVICE_SIZE)
        self.image = rng.randbytes(self.length)
        self.differs = function == "/V" and rng.random() < 0.5
        if function == "/V" or function == "/R":
            window = bytearray(self.flash)
            window[self.offset:self.offset + self.length] = self.image
            if self.differs:
                window[self.offset + rng.randrange(self.length)] ^= 0x10
            self.flash = bytes(window)
        self.delay_s = rng.uniform(0.05, expected_run_s(function, baud, speed, self.length))


def run_pair(args, pair, work):
    """Runs one pair and returns its CSV row."""
    faults = [f"slow-erase={SLOW_ERASE_MS}"] if pair.function == "/P slow-erase" else []
    board = Board(args.sim, work, pair.baud, pair.flash, faults)
    image_path = os.path.join(work, "image.bin")
    with open(image_path, "wb") as f:
        f.write(pair.image)
    out_path = os.path.join(work, "out.bin")
    previous = b"contents from before the run\n"
    with open(out_path, "wb") as f:
        f.write(previous)
    command = {"/R": ["/R", out_path]}.get(pair.function, [pair.function.split()[0], image_path])
    command += [f"/COM={board.pty}", f"/BAUD={pair.baud}", f"/O={pair.offset:x}",
                f"/L={pair.length:x}"]
    if pair.speed:
        command.append(f"/SPEED={pair.speed}")
    if "plain" in pair.function:
        command.append("/PLAIN")

    row = {"pair": pair.number, "baud": pair.baud, "speed": pair.speed or "-",
           "function": pair.function, "signal": signal.Signals(pair.signum).name,
           "delay_s": round(pair.delay_s, 3)}
    successes = []  # (what, status) of runs that ended 0, checked against the truth below
    try:
        first = Run(args.halvard, command, os.path.join(work, "interrupted.log"))
        row["landed"] = first.signal_after(pair.delay_s, pair.signum)
        row["interrupted_status"] = status_of(first.wait())
        hung = first.hung
        if row["interrupted_status"] == 0:
            successes.append("interrupted")
        # An existing output file stays as it was unless the run completed.
        if pair.function == "/R":
            with open(out_path, "rb") as f:
                kept = f.read()
            completed = row["interrupted_status"] == 0
            row["file_lost"] = kept != previous and not completed
            if completed:
                row["r_interrupted_ok"] = kept == truth_of(pair)
        else:
            with open(image_path, "rb") as f:
                row["file_lost"] = f.read() != pair.image
        row["part_left"] = any(".part-" in name for name in os.listdir(work))
        row["stopped_while"] = phase_of(first.output(), row["interrupted_status"])

        rerun = Run(args.halvard, command, os.path.join(work, "rerun.log"))
        row["rerun_status"] = status_of(rerun.wait())
        hung = hung or rerun.hung
        row["rerun_line"] = last_line(rerun.output())
        row["reset_status"] = ""
        if row["rerun_status"] == 0:
            successes.append("rerun")
            if pair.function == "/R":
                row["r_ok"] = read_back_ok(pair, out_path)
        else:
            board.reset()
            after_reset = Run(args.halvard, command, os.path.join(work, "reset.log"))
            row["reset_status"] = status_of(after_reset.wait())
            hung = hung or after_reset.hung
            if row["reset_status"] == 0:
                successes.append("reset")
                if pair.function == "/R":
                    row["r_ok"] = read_back_ok(pair, out_path)
        row["hung"] = hung
        row["locked"] = "in use" in rerun.output() or board.port_locked()
    finally:
        final_flash = board.stop()
    row["needed_reset"] = row["rerun_status"] != 0 and row["reset_status"] == 0
    row["wrong_data"] = wrong_data(pair, row, successes, final_flash)
    row["wrong_verdict"] = wrong_verdict(pair, row)
    return row


def truth_of(pair):
    return pair.flash[pair.offset:pair.offset + pair.length]


def read_back_ok(pair, out_path):
    with open(out_path, "rb") as f:
        return f.read() == truth_of(pair)


def phase_of(text, status):
    """What the interrupted run was doing when it stopped, from what it had printed: a /P that
    had begun "Programming File" and not finished was sending pages or, by default, frames to
    the loader, which then still runs on the board."""
    if status == 0:
        return "done"
    if "Programming File" in text and "Programming Successfully" not in text:
        return "programming"
    if "Erasing" in text:
        return "erasing"
    if "Monitor OK" in text:
        return "monitor"
    return "start-up"


def last_line(text):
    lines = [line for line in text.replace("\r", "\n").split("\n") if line.strip()]
    return lines[-1][:100] if lines else ""


def wrong_data(pair, row, successes, final_flash):
    """A run ended 0 although its result is wrong."""
    if not successes:
        return False
    if pair.function == "/R":
        return row.get("r_ok") is False or row.get("r_interrupted_ok") is False
    if pair.function == "/V":
        return pair.differs
    # /P: the last run that ended decides what the flash holds.
    last_status = row["reset_status"] if row["reset_status"] != "" else row["rerun_status"]
    if last_status != 0:
        return False
    return final_flash != flash_after_program(pair.flash, pair.image, pair.offset, pair.length)


def wrong_verdict(pair, row):
    """/V ended 21 on a flash that holds the image."""
    if pair.function != "/V" or pair.differs:
        return False
    return 21 in (row["interrupted_status"], row["rerun_status"], row["reset_status"])


def plan(count, rng, functions):
    """count pairs that go round every combination of rate, /SPEED=, function and signal in a
    shuffled order, so that a short soak still spreads over all of them."""
    combos = list(itertools.product(BAUDS, SPEEDS, functions, SIGNALS))
    order = []
    while len(order) < count:
        rng.shuffle(combos)
        order += combos
    return order[:count]


def rerun_ok(row):
    return row["rerun_status"] == 0 or (
        row["function"] == "/V" and row["rerun_status"] == 21)


FIELDS = ["pair", "baud", "speed", "function", "signal", "delay_s", "landed",
          "interrupted_status", "rerun_status", "reset_status", "needed_reset", "hung",
          "file_lost", "part_left", "locked", "wrong_data", "wrong_verdict", "stopped_while",
          "rerun_line"]


def print_summary(rows):
    def summary_line(label, group):
        rerun = sum(1 for r in group if rerun_ok(r))
        reset = sum(1 for r in group if not rerun_ok(r) and r["reset_status"] in (0, 21))
        failed = len(group) - rerun - reset
        counts = [sum(1 for r in group if r[key]) for key in
                  ("hung", "file_lost", "part_left", "locked", "wrong_data", "wrong_verdict")]
        print(f"{label:<28} {len(group):>5} {rerun:>6} {reset:>6} {failed:>6} "
              + " ".join(f"{c:>6}" for c in counts))

    print()
    print(f"{'group':<28} {'pairs':>5} {'rerun':>6} {'reset':>6} {'failed':>6} "
          f"{'hung':>6} {'lost':>6} {'.part':>6} {'lock':>6} {'wrong':>6} {'verd.':>6}")
    for key, label_of in (
        ("baud", lambda v: f"{v} baud"),
        ("speed", lambda v: "no /SPEED=" if v == "-" else f"/SPEED={v}"),
        ("function", str),
        ("signal", str),
        ("stopped_while", lambda v: f"stopped {v}"),
    ):
        for value in sorted({r[key] for r in rows}, key=str):
            summary_line(label_of(value), [r for r in rows if r[key] == value])
    summary_line("all", rows)
    print("rerun: the rerun succeeded (21 counts for a /V of a changed flash); reset: it failed and "
          "the run after a reset succeeded;\nfailed: that too failed; hung: a run took over "
          f"{RUN_LIMIT_S} s or did not end within {STOP_GRACE_S} s of SIGINT/SIGTERM; lost: an "
          "existing output file (or the input image)\nwas changed by the interrupted run; .part: a "
          "temporary /R file stayed behind; lock: the port stayed locked; wrong: a success on wrong "
          "data;\nverd.: /V ended 21 on a flash that holds the image.")
    statuses = {}
    for r in rows:
        if not rerun_ok(r):
            statuses.setdefault((r["rerun_status"], r["stopped_while"]), []).append(r)
    if statuses:
        print("\nfailed reruns by status and what the interrupted run was doing (one of them):")
        for (status, phase), group in sorted(statuses.items(), key=str):
            r = group[0]
            print(f"  {status:>4} {phase:<11} {len(group):>4}  pair {r['pair']} {r['function']} "
                  f"{r['baud']} {r['signal']} after {r['delay_s']} s: {r['rerun_line']}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--pairs", type=int, default=300)
    parser.add_argument("--quick", action="store_true", help="24 pairs")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--out", default=None, help="CSV file (default BUILD/bench/soak.csv)")
    parser.add_argument("--keep", action="store_true", help="keep each pair's logs")
    parser.add_argument("--functions", default=",".join(FUNCTIONS),
                        help="comma-separated, of: " + ", ".join(ALL_FUNCTIONS))
    args = parser.parse_args()
    functions = tuple(f.strip() for f in args.functions.split(","))
    if not functions or any(f not in ALL_FUNCTIONS for f in functions):
        sys.exit("--functions takes " + ", ".join(ALL_FUNCTIONS))
    args.halvard = os.path.join(args.build, "src", "halvard")
    args.sim = os.path.join(args.build, "sim", "halvard-sim")
    for exe in (args.halvard, args.sim):
        if not os.access(exe, os.X_OK):
            sys.exit(f"{exe} is missing: build it first (bench/run.sh builds both)")
    count = 24 if args.quick else args.pairs
    out = args.out or os.path.join(args.build, "bench", "soak.csv")
    os.makedirs(os.path.dirname(out), exist_ok=True)
    rng = random.Random(args.seed)

    rows = []
    started = time.monotonic()
    root = tempfile.mkdtemp(prefix="halvard-soak-")
    for number, (baud, speed, function, signum) in enumerate(plan(count, rng, functions), 1):
        pair = Pair(number, baud, speed, function, signum, rng)
        work = os.path.join(root, f"pair-{number:04d}")
        os.makedirs(work)
        row = run_pair(args, pair, work)
        rows.append(row)
        print(f"  {number:>4}/{count} {baud:>6} {row['speed']:>4} {function:<14} "
              f"{row['signal']:<8} after {pair.delay_s:5.2f} s: interrupted "
              f"{row['interrupted_status']:>3}, rerun {row['rerun_status']:>3}"
              + (f", after reset {row['reset_status']}" if row["reset_status"] != "" else ""),
              file=sys.stderr)
        if not args.keep:
            for name in os.listdir(work):
                os.remove(os.path.join(work, name))
            os.rmdir(work)
    if not args.keep:
        os.rmdir(root)
    print_summary(rows)
    with open(out, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=FIELDS, extrasaction="ignore")
        writer.writeheader()
        writer.writerows(rows)
    print(f"\n{len(rows)} pairs in {time.monotonic() - started:.0f} s; CSV: {out}"
          + (f"; logs in {root}" if args.keep else ""))


if __name__ == "__main__":
    main()
