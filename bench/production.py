#!/usr/bin/env python3
"""Measures a production line: /P of one image on eight paced virtual boards at once against
the same on one board, at 115200 baud, and the host's CPU share while the boards run. Each board
is an 18.432 MHz halvard-sim on a pseudo-terminal of its own (--paced: the line at the baud rate,
datasheet flash times). It measures and reports; it never passes or fails on a time.

    python3 bench/production.py [--build build/release] [--boards 8] [--kb 64] [--repeats 2]
"""

import argparse
import os
import random
import signal
import subprocess
import tempfile
import time

BAUD = 115200


class Board:
    """A paced board on a pty, with a flash file of its own."""

    def __init__(self, exe, work, name):
        self.process = subprocess.Popen(
            [exe, "--paced", "--reset-on-open", "--clock", "18.432", "--baud", str(BAUD),
             "--flash-image", os.path.join(work, f"board{name}.img")],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            text=True)
        self.pty = self.process.stdout.readline().strip()
        if not self.pty.startswith("/"):
            raise RuntimeError("halvard-sim did not print its terminal")

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=10)


def run_line(halvard, image, boards, work):
    """One run over the boards; its wall time and the CPU seconds of halvard alone."""
    ports = ",".join(board.pty for board in boards)
    launched = time.monotonic()
    process = subprocess.Popen(
        [halvard, "/P", image, f"/COM={ports}", f"/BAUD={BAUD}",
         f"/LOG={os.path.join(work, 'boards.csv')}"],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, text=True)
    output, _ = process.communicate()
    wall = time.monotonic() - launched
    if process.returncode != 0:
        raise RuntimeError(f"halvard ended with status {process.returncode}:\n{output}")
    return wall, output


def cpu_of_children():
    """CPU seconds of the children that have ended: the halvard-sim boards still run, so the
    change across one run is halvard's alone."""
    usage = os.times()
    return usage.children_user + usage.children_system


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--boards", type=int, default=8)
    parser.add_argument("--kb", type=int, default=64, help="image size in KB (up to 128)")
    parser.add_argument("--repeats", type=int, default=2)
    args = parser.parse_args()
    halvard = os.path.join(args.build, "src", "halvard")
    sim = os.path.join(args.build, "sim", "halvard-sim")

    with tempfile.TemporaryDirectory() as work:
        image = os.path.join(work, "image.bin")
        with open(image, "wb") as out:
            out.write(random.Random(22).randbytes(args.kb * 1024))
        results = {}
        for count in (1, args.boards):
            walls, shares = [], []
            for repeat in range(args.repeats):
                # Fresh flash for every run: a board that holds the image already is skipped.
                boards = [Board(sim, work, f"{count}-{repeat}-{i}") for i in range(count)]
                try:
                    cpu_before = cpu_of_children()
                    wall, _ = run_line(halvard, image, boards, work)
                    cpu = cpu_of_children() - cpu_before
                finally:
                    for board in boards:
                        board.stop()
                walls.append(wall)
                shares.append(cpu / wall)
            results[count] = (min(walls), max(shares))
        one_wall, one_share = results[1]
        many_wall, many_share = results[args.boards]
        print(f"/P of {args.kb} KB at {BAUD} baud, paced halvard-sim boards, "
              f"best of {args.repeats} runs")
        print("| boards | wall s | vs one board | host CPU (share of one core) |")
        print("|---|---|---|---|")
        print(f"| 1 | {one_wall:.2f} | 1.00 | {one_share * 100:.1f} % |")
        print(f"| {args.boards} | {many_wall:.2f} | {many_wall / one_wall:.2f} | "
              f"{many_share * 100:.1f} % |")


if __name__ == "__main__":
    main()
