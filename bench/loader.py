#!/usr/bin/env python3
"""Measures /P through the loader against /PLAIN on the paced virtual board: an 18.432 MHz C167
with a 512 KB Am29F400BB (word cells, 11 sectors), at 115200 baud. For each firmware image of
bench/firmware_corpus.sh it programs the image onto an erased chip, the same image again, and the
image with 4 KB changed in its middle, once with /PLAIN and once through the loader, each sequence
on a fresh board; then 512 KB of random bytes onto an erased chip both ways, and onto a chip
that holds the first image (where every sector needs its erase). Every figure is the
wall time of the whole halvard run through the loader divided by that of /PLAIN in this run.

Then each image (and the random one) goes once more onto an erased chip through the loader with
/SPEED=MAX, and its wall time is set against a model of what the line and the chip need:

    model = 10 / rate x bytes sent (the summary line) + 14 us x words programmed + 1 s x sectors
            erased

where rate is the one /SPEED=MAX switched to, a word is programmed when it is not 0xFFFF (the
loader leaves a cell that already holds its value, and an erased chip holds 0xFFFF everywhere),
and a sector is erased when the run names it in its "Erasing Flash-EPROM Block #:" line (an
erased sector is programmed without an erase). 14 us and 1 s are the
datasheet-typical times the paced board's chip takes (sim/flash datasheetTiming).

It measures and reports; it never passes or fails on a time. About 13 minutes with the default
two images, most of it the /PLAIN runs (64 s each).

    python3 bench/loader.py --build build/release [--images pc-bios,efi-roms,fx2-hppa] [--skip-speed]
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
import bench  # noqa: E402  (HalvardRun, machine_line)

CHIP = "am29f400bb"
CHIP_SIZE = 0x80000
CLOCK_MHZ = "18.432"  # makes 115200 and the /SPEED=MAX rate exactly, so the ratios are the host's
BAUD = 115200
WORD_PROGRAM_S = 14e-6  # sim/flash datasheetTiming: per program command, a word on this chip
SECTOR_ERASE_S = 1.0
CHANGE_BYTES = 4096
RANDOM_SEED = 400

SUMMARY = re.compile(r"Programmed (\d+) bytes: (\d+) sent, (\d+) of (\d+) sectors unchanged")

GOALS = {"first": "<= 0.6", "again": "<= 0.05", "changed": "<= 0.15", "random": "<= 1.03",
         "over firmware": "<= 1.03"}
SPEED_GOAL = ">= 0.93"


class BoardGone(RuntimeError):
    """The board stopped under a run, or its terminal hung up, without this script asking: on a
    machine shared with other runs of halvard-sim and their signals, this happens now and then."""


class Board:
    """A fresh paced board with an erased chip, its flash kept in a file for the check after."""

    def __init__(self, exe, work, name):
        self.flash = os.path.join(work, f"loader-{name}-flash.img")
        if os.path.exists(self.flash):
            os.remove(self.flash)
        self.err_path = os.path.join(work, f"loader-{name}-sim.err")
        self.err = open(self.err_path, "w")
        # Without stdin at /dev/null, the board stops when the shell's terminal goes away.
        self.process = subprocess.Popen(
            [exe, "--paced", "--reset-on-open", "--clock", CLOCK_MHZ, "--baud", str(BAUD),
             "--flash", CHIP, "--flash-image", self.flash],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, stderr=self.err, text=True)
        self.pty = self.process.stdout.readline().strip()
        if not self.pty.startswith("/"):
            raise RuntimeError("halvard-sim did not print its terminal")

    def lost_bytes(self):
        with open(self.err_path) as err:
            return sum(int(m.group(1)) for m in
                       re.finditer(r"(\d+) bytes from the host were lost", err.read()))

    def stop(self):
        """Stops the board and returns the flash it held."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=10)
        self.err.close()
        with open(self.flash, "rb") as f:
            return f.read()


def program(args, board, image, plain, speed=None):
    extra = (["/PLAIN"] if plain else []) + ([f"/SPEED={speed}"] if speed else [])
    run = bench.HalvardRun(args.halvard, ["/P", image, f"/COM={board.pty}", f"/BAUD={BAUD}",
                                          *extra], "Programming File")
    if run.status != 0 and (board.process.poll() is not None or
                            run.lines and run.lines[-1][1].startswith("Serial line lost")):
        raise BoardGone(f"the board went away under /P {os.path.basename(image)} "
                        f"{' '.join(extra)}: {run.lines[-1][1] if run.lines else ''}")
    if run.status != 0:
        raise RuntimeError(f"halvard /P {image} {' '.join(extra)} ended with status "
                           f"{run.status}:\n" + run.transcript())
    result = {"wall_s": run.wall_s, "rate": BAUD, "sent": None, "unchanged": None,
              "sectors": None, "erased": 0}
    for _, text in run.lines:
        summary = SUMMARY.match(text)
        if summary:
            result.update(sent=int(summary.group(2)), unchanged=int(summary.group(3)),
                          sectors=int(summary.group(4)))
        switched = re.match(r"Line switched to (\d+) baud", text)
        if switched:
            result["rate"] = int(switched.group(1))
        erasing = re.match(r"Erasing Flash-EPROM Block #:([\d ]*)", text)
        if erasing:
            result["erased"] = len(erasing.group(1).split())
    # Where the time goes: up to the chip's name (start-up, identification), from there to
    # "Programming File" (the loader's sector proofs, the erases), from there to the checksum
    # line (the blocks or frames, then the page proofs).
    begin = next(t for t, text in run.lines if text.endswith(" detected"))
    result["before_s"] = begin
    result["erase_s"] = run.time_of("Programming File") - begin
    result["program_s"] = run.time_of("Checksum OK") - run.time_of("Programming File")
    result["resyncs"] = sum(1 for _, t in run.lines if t.startswith("Trying to Resyncronize"))
    if not plain and result["sent"] is None:
        raise RuntimeError("no summary line from /P through the loader:\n" + run.transcript())
    print(f"  {'/PLAIN' if plain else 'loader'} {os.path.basename(image)}"
          f"{' /SPEED=' + speed if speed else ''}: {run.wall_s:.2f} s", file=sys.stderr)
    return result


def sequence(args, work, name, images, plain, tries=6):
    """Programs the images one after another onto one fresh board; checks the flash it ends
    with. A board that something else on the machine stopped takes the whole sequence again on
    a fresh board: a rerun on the half-programmed chip would skip sectors and look faster."""
    for attempt in range(tries):
        board = Board(args.sim, work, f"{name}-{'plain' if plain else 'loader'}")
        try:
            results = [program(args, board, image, plain) for image in images]
            break
        except BoardGone as gone:
            if attempt == tries - 1:
                raise
            print(f"  {gone}; the sequence again on a fresh board", file=sys.stderr)
        finally:
            flash = board.stop()
    with open(images[-1], "rb") as f:
        if flash != f.read():
            raise RuntimeError(f"the board's flash does not hold {images[-1]} after {name}")
    return results


def changed_copy(image, work):
    """The image with 4 KB of new bytes in its middle: the first 4 KB-aligned block from the
    middle on that holds no erased run, so that the change is one the chip must program."""
    with open(image, "rb") as f:
        data = bytearray(f.read())
    at = CHIP_SIZE // 2 + CHANGE_BYTES
    while b"\xff" * 32 in data[at:at + CHANGE_BYTES]:
        at += CHANGE_BYTES
    data[at:at + CHANGE_BYTES] = random.Random(at).randbytes(CHANGE_BYTES)
    path = os.path.join(work, os.path.basename(image).replace(".bin", "-changed.bin"))
    with open(path, "wb") as f:
        f.write(data)
    return path, at


def programmed_words(image):
    """Words an erased chip must program: those that are not 0xFFFF."""
    with open(image, "rb") as f:
        data = f.read()
    return sum(1 for i in range(0, len(data), 2) if data[i:i + 2] != b"\xff\xff")


def speed_row(args, work, name, image, tries=6):
    for attempt in range(tries):
        board = Board(args.sim, work, f"{name}-max")
        try:
            r = program(args, board, image, plain=False, speed="MAX")
            lost = board.lost_bytes()
            break
        except BoardGone as gone:
            if attempt == tries - 1:
                raise
            print(f"  {gone}; again on a fresh board", file=sys.stderr)
        finally:
            flash = board.stop()
    with open(image, "rb") as f:
        if flash != f.read():
            raise RuntimeError(f"the board's flash does not hold {image} after /SPEED=MAX")
    words = programmed_words(image)
    erased = r["erased"]  # an erased sector is programmed without an erase
    line_s = 10.0 * r["sent"] / r["rate"]
    chip_s = words * WORD_PROGRAM_S + erased * SECTOR_ERASE_S
    return {"image": name, "rate": r["rate"], "sent": r["sent"], "words": words,
            "erased": erased, "line_s": line_s, "chip_s": chip_s, "wall_s": r["wall_s"],
            "ratio": (line_s + chip_s) / r["wall_s"], "lost": lost,
            **{k: r[k] for k in ("before_s", "erase_s", "program_s", "resyncs")}}


def firmware_images(args):
    cache = os.path.join(args.build, "bench", "firmware", "images")
    paths = [os.path.join(cache, f"{name}.bin") for name in args.images.split(",")]
    if not all(os.path.exists(p) for p in paths):
        here = os.path.dirname(os.path.abspath(__file__))
        subprocess.run(["bash", os.path.join(here, "firmware_corpus.sh"), args.build], check=True,
                       stdout=subprocess.DEVNULL)
    return paths


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--images", default="pc-bios,efi-roms",
                        help="images of bench/firmware_corpus.sh, comma-separated")
    parser.add_argument("--skip-speed", action="store_true", help="leave out /SPEED=MAX")
    parser.add_argument("--skip-random", action="store_true",
                        help="leave out the random image (about 2.5 minutes)")
    args = parser.parse_args()
    args.halvard = os.path.join(args.build, "src", "halvard")
    args.sim = os.path.join(args.build, "sim", "halvard-sim")
    work = os.path.join(args.build, "bench")
    os.makedirs(work, exist_ok=True)
    print(f"machine: {bench.machine_line()}", file=sys.stderr)

    rows = []  # (image, case, plain, loader)
    speed_images = []
    for image in firmware_images(args):
        name = os.path.basename(image)[:-len(".bin")]
        changed, at = changed_copy(image, work)
        print(f"{name}: 4 KB changed at 0x{at:05X}", file=sys.stderr)
        plan = [image, image, changed]
        plain = sequence(args, work, name, plan, plain=True)
        loader = sequence(args, work, name, plan, plain=False)
        for case, p, l in zip(("first", "again", "changed"), plain, loader):
            rows.append((name, case, p, l))
        speed_images.append((name, image))
    if not args.skip_random:
        image = os.path.join(work, "loader-random.bin")
        with open(image, "wb") as f:
            f.write(random.Random(RANDOM_SEED).randbytes(CHIP_SIZE))
        p = sequence(args, work, "random", [image], plain=True)[0]
        l = sequence(args, work, "random", [image], plain=False)[0]
        rows.append(("random", "random", p, l))
        speed_images.append(("random", image))
        # Over firmware, every sector must be erased first.
        over = [firmware_images(args)[0], image]
        p = sequence(args, work, "random-over", over, plain=True)[1]
        l = sequence(args, work, "random-over", over, plain=False)[1]
        rows.append(("random", "over firmware", p, l))
    speed_rows = [] if args.skip_speed else [speed_row(args, work, n, i) for n, i in speed_images]

    print(f"\n/P of 512 KB {CHIP}, paced board at {CLOCK_MHZ} MHz, {BAUD} baud; "
          "wall time of the whole run; ratio = loader / /PLAIN")
    print("| image | case | /PLAIN s | loader s | ratio | goal | bytes sent | sectors unchanged |")
    print("|---|---|---|---|---|---|---|---|")
    for name, case, p, l in rows:
        ratio = l["wall_s"] / p["wall_s"]
        print(f"| {name} | {case} | {p['wall_s']:.2f} | {l['wall_s']:.2f} | {ratio:.3f} | "
              f"{GOALS[case]} | {l['sent']} | {l['unchanged']} of {l['sectors']} |")
    if speed_rows:
        print(f"\n/P onto an erased chip through the loader with /SPEED=MAX; "
              "ratio = (line + chip) / wall")
        print("| image | rate | bytes sent | line s | words programmed | sectors erased | "
              "chip s | line + chip s | wall s | ratio | goal | bytes lost |")
        print("|---|---|---|---|---|---|---|---|---|---|---|---|")
        for s in speed_rows:
            print(f"| {s['image']} | {s['rate']} | {s['sent']} | {s['line_s']:.2f} | "
                  f"{s['words']} | {s['erased']} | {s['chip_s']:.2f} | "
                  f"{s['line_s'] + s['chip_s']:.2f} | {s['wall_s']:.2f} | {s['ratio']:.3f} | "
                  f"{SPEED_GOAL} | {s['lost']} |")
    print("\nphases, s: start-up and identification / sector proofs and erases / blocks or frames "
          "and page proofs (resyncs)")
    for name, case, p, l in rows:
        print(f"  {name} {case}: /PLAIN {p['before_s']:.2f} / {p['erase_s']:.2f} / "
              f"{p['program_s']:.2f} ({p['resyncs']}), loader {l['before_s']:.2f} / "
              f"{l['erase_s']:.2f} / {l['program_s']:.2f} ({l['resyncs']})")
    for s in speed_rows:
        print(f"  {s['image']} /SPEED=MAX: loader {s['before_s']:.2f} / {s['erase_s']:.2f} / "
              f"{s['program_s']:.2f} ({s['resyncs']})")
    print(f"\nmachine: {bench.machine_line()}")


if __name__ == "__main__":
    started = time.monotonic()
    main()
    print(f"({time.monotonic() - started:.0f} s)", file=sys.stderr)
