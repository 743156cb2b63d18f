#!/usr/bin/env python3
"""Extraction of a 64 MiB archive (mixed text and random data, deflated at level 9):
zipdriver unzip against unzip -o -q and Python's zipfile.extractall, run in turns on the
same archive. Prints the median times, the ratios and zipdriver's peak resident memory,
also for an archive an eighth of the size (memory must not grow with the entry size).

    bench/unzip.py [ZIPDRIVER] [--rounds N]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchlib import in_turns, make_data  # noqa: E402


def measure(driver, archive, work, rounds):
    out = os.path.join(work, "out")
    python = [sys.executable, "-c", f"import zipfile; zipfile.ZipFile({archive!r}).extractall({out!r})"]
    tools = {
        "zipdriver": [driver, "unzip", archive, out],
        "unzip": ["unzip", "-o", "-q", archive, "-d", out],
        "python": python,
    }

    def fresh_output(_):
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)

    return in_turns(tools, rounds, fresh_output)


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
