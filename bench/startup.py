#!/usr/bin/env python3
"""Start-up of the real program with 50 printers on a private cupsd.

Prints, over several runs, the time from process start to the first paint of the main
window and the peak resident memory. Runs under its own Xvfb with openbox, so it needs
no display; the private cupsd is the user's own when a normal user runs it.

    bench/startup.py [PROGRAM] [--runs N] [--printers N]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchlib import start_display  # noqa: E402
SANDBOX = os.path.join(ROOT, "tests", "support", "cups-sandbox")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program", nargs="?", default=os.path.join(ROOT, "build", "src", "app", "quill-server-management"))
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--printers", type=int, default=50)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="quill-bench-")
    background = []
    try:
        cups = os.path.join(work, "cups")
        subprocess.run([SANDBOX, "start", cups], check=True)
        for i in range(args.printers):
            name = "QUILL_Amber_PDF_Creator" if i == args.printers // 2 else f"Printer_{i:02d}"
            subprocess.run([SANDBOX, "add-queue", cups, name], check=True)
        env = dict(os.environ, CUPS_SERVER=os.path.join(cups, "run", "cups.sock"))

        start_display(env, background)

        program = os.path.join(work, "quill-server-management")
        shutil.copy(args.program, program)
        # "list": the first paint, then the printers on screen, then the end.
        env["QUILL_REPORT_FIRST_PAINT"] = "list"
        times, lists, peaks = [], [], []
        for _ in range(args.runs):
            # /usr/bin/time measures the memory: a child forked from this process would
            # count this process's pages as its own.
            report = tempfile.NamedTemporaryFile(mode="r", suffix=".rss")
            started = time.time_ns()
            process = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name, program], env=env,
                                     stderr=subprocess.PIPE, stdout=subprocess.DEVNULL)
            status = process.returncode
            output = process.stderr.decode()
            painted = [int(line.split()[1]) for line in output.splitlines() if line.startswith("first-paint ")]
            listed = [int(line.split()[1]) for line in output.splitlines() if line.startswith("list-shown ")]
            if not painted or not listed or status != 0:
                sys.exit(f"run failed (status {status}): {output}")
            times.append((painted[0] - started) / 1e6)
            lists.append((listed[0] - started) / 1e6)
            peaks.append(int(report.read().split()[-1]) / 1024)
        print(f"printers on the server:        {args.printers}")
        print(f"runs:                          {args.runs}")
        print(f"start to first paint (ms):     median {statistics.median(times):.1f}, "
              f"min {min(times):.1f}, max {max(times):.1f}")
        print(f"start to printers on screen (ms): median {statistics.median(lists):.1f}, "
              f"min {min(lists):.1f}, max {max(lists):.1f}")
        print(f"peak resident memory (MiB):    median {statistics.median(peaks):.1f}, max {max(peaks):.1f}")
    finally:
        for process in reversed(background):
            process.terminate()
            process.wait()
        subprocess.run([SANDBOX, "stop", os.path.join(work, "cups")])
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
