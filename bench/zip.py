#!/usr/bin/env python3
"""Packing a 64 MiB mixed file at level 9: zipdriver zip against zip -9 -q and Python's
zipfile (ZIP_DEFLATED, level 9), run in turns on the same input. Prints the median
times, the ratios, the archive sizes and zipdriver's peak resident memory, also for a
file an eighth of the size (memory must not grow with the file size).

    bench/zip.py [ZIPDRIVER] [--rounds N]
"""
import argparse
import os
import shutil
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchlib import in_turns, make_data  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("driver", nargs="?", default=os.path.join(ROOT, "build", "tests", "zip", "zipdriver"))
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="quill-bench-zip-")
    try:
        for size in (64 << 20, 8 << 20):
            source = os.path.join(work, "1.reg")
            with open(source, "wb") as f:
                f.write(make_data(size, 11))
            outputs = {name: os.path.join(work, name + ".zip") for name in ("zipdriver", "zip", "python")}
            python = [sys.executable, "-c",
                      "import zipfile; zipfile.ZipFile(%r, 'w', zipfile.ZIP_DEFLATED, compresslevel=9)"
                      ".write(%r, '1.reg')" % (outputs["python"], source)]
            tools = {
                "zipdriver": [args.driver, "zip", outputs["zipdriver"], "9", source],
                "zip": ["zip", "-9", "-q", "-j", outputs["zip"], source],
                "python": python,
            }

            def no_output(name):
                if os.path.exists(outputs[name]):
                    os.remove(outputs[name])

            medians, peak = in_turns(tools, args.rounds, no_output)
            print(f"file of {size >> 20} MiB, {args.rounds} rounds")
            for name in tools:
                print(f"  {name:10s} median {medians[name] * 1000:8.1f} ms, archive {os.path.getsize(outputs[name])} bytes")
            print(f"  ratio zipdriver/zip    {medians['zipdriver'] / medians['zip']:.2f}")
            print(f"  ratio zipdriver/python {medians['zipdriver'] / medians['python']:.2f}")
            print(f"  zipdriver peak resident memory {peak:.1f} MiB")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
