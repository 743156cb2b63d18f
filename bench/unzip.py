#!/usr/bin/env python3
"""Extraction of a 64 MiB archive (mixed text and random data, deflated at level 9):
zipdriver unzip against unzip -o -q and Python's zipfile.extractall, run in turns on the
same archive. Prints the median times, the ratios and zipdriver's peak resident memory,
also for an archive an eighth of the size (memory must not grow with the entry size).

    bench/unzip.py [ZIPDRIVER] [--rounds N]
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def make_data(size, seed):
    rnd = random.Random(seed)
    words = [b"[HKEY_CURRENT_USER\\Printers\\Settings]\r\n", b"\"QUILL Amber PDF Creator\"=dword:00000001\r\n",
             b"printer queue settings ", b"DevMode=hex:00,01,02,03\r\n"]
    out = bytearray()
    while len(out) < size:
        if rnd.random() < 0.5:
            out += rnd.choice(words) * rnd.randrange(1, 20)
        else:
            out += rnd.randbytes(rnd.randrange(256, 8192))
    return bytes(out[:size])


def run(command):
    """Wall time and peak resident memory (MiB). /usr/bin/time measures the memory: a
    child forked from this process would count this process's pages as its own."""
    report = tempfile.NamedTemporaryFile(mode="r", suffix=".rss")
    started = time.perf_counter()
    status = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name, *command],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
    elapsed = time.perf_counter() - started
    if status != 0:
        sys.exit(f"{command[0]} failed with status {status}")
    return elapsed, int(report.read().split()[-1]) / 1024


def measure(driver, archive, work, rounds):
    out = os.path.join(work, "out")
    python = [sys.executable, "-c", f"import zipfile; zipfile.ZipFile({archive!r}).extractall({out!r})"]
    tools = {
        "zipdriver": [driver, "unzip", archive, out],
        "unzip": ["unzip", "-o", "-q", archive, "-d", out],
        "python": python,
    }
    times = {name: [] for name in tools}
    peak = 0.0
    for _ in range(rounds):
        for name, command in tools.items():
            shutil.rmtree(out, ignore_errors=True)
            os.makedirs(out)
            elapsed, rss = run(command)
            times[name].append(elapsed)
            if name == "zipdriver":
                peak = max(peak, rss)
    return {name: statistics.median(t) for name, t in times.items()}, peak


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("driver", nargs="?", default=os.path.join(ROOT, "build", "tests", "zip", "zipdriver"))
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="quill-bench-unzip-")
    try:
        for size in (64 << 20, 8 << 20):
            source = os.path.join(work, "data.bin")
            with open(source, "wb") as f:
                f.write(make_data(size, 7))
            archive = os.path.join(work, f"bench-{size >> 20}.zip")
            subprocess.run(["zip", "-9", "-q", "-j", archive, source], check=True)
            medians, peak = measure(args.driver, archive, work, args.rounds)
            print(f"entry of {size >> 20} MiB, archive {os.path.getsize(archive) / 2**20:.1f} MiB, {args.rounds} rounds")
            for name, t in medians.items():
                print(f"  {name:10s} median {t * 1000:8.1f} ms")
            print(f"  ratio zipdriver/unzip  {medians['zipdriver'] / medians['unzip']:.2f}")
            print(f"  ratio zipdriver/python {medians['zipdriver'] / medians['python']:.2f}")
            print(f"  zipdriver peak resident memory {peak:.1f} MiB")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
