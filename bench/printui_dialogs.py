#!/usr/bin/env python3
"""Time from the printer helper's start to the first paint of its dialogs.

Starts a private cupsd with a PPD queue and a raw queue, and its own Xvfb with openbox,
then runs the helper for Properties (/p) and Printing Preferences (/e) of each queue
several times and prints the median, minimum and maximum. Needs root for the cupsd.

    bench/printui_dialogs.py [HELPER] [--runs N]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchlib import start_display  # noqa: E402
SANDBOX = os.path.join(ROOT, "tests", "support", "cups-sandbox")
PPD = "/usr/share/ppd/cupsfilters/Generic-PDF_Printer-PDF.ppd"


def first_paint_ms(helper, parameters, env):
    started = time.time_ns()
    process = subprocess.run([helper, parameters, "5"], env=env, stderr=subprocess.PIPE, stdout=subprocess.DEVNULL)
    painted = [int(line.split()[1]) for line in process.stderr.decode().splitlines() if line.startswith("first-paint ")]
    if not painted:
        sys.exit(f"{parameters}: no first paint (status {process.returncode}): {process.stderr.decode()}")
    return (painted[0] - started) / 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("helper", nargs="?", default=os.path.join(ROOT, "build", "tools", "printui", "quill-printui"))
    parser.add_argument("--runs", type=int, default=10)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="quill-bench-printui-")
    cups = os.path.join(work, "cups")
    background = []
    try:
        subprocess.run([SANDBOX, "start", cups], check=True)
        env = dict(os.environ, CUPS_SERVER=os.path.join(cups, "run", "cups.sock"), HOME=work,
                   CUPS_SERVERROOT=work, QUILL_REPORT_FIRST_PAINT="exit")
        env.pop("QT_QPA_PLATFORM", None)
        subprocess.run(["lpadmin", "-p", "Laser", "-P", PPD, "-v", "discard:/", "-E"], env=env, check=True,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["lpadmin", "-p", "Desk", "-v", "discard:/", "-E"], env=env, check=True)
        start_display(env, background)
        print(f"runs per dialog: {args.runs}")
        print("start to first paint (ms):")
        for option, dialog in (("/p", "Properties"), ("/e", "Printing Preferences")):
            for queue, kind in (("Laser", "PPD queue"), ("Desk", "raw queue")):
                parameters = f'printui.dll,PrintUIEntry {option} /n "{queue}"'
                times = [first_paint_ms(args.helper, parameters, env) for _ in range(args.runs)]
                print(f"  {dialog + ',':22} {kind + ':':11} median {statistics.median(times):6.1f}, "
                      f"min {min(times):6.1f}, max {max(times):6.1f}")
    finally:
        for process in reversed(background):
            process.terminate()
            process.wait()
        subprocess.run([SANDBOX, "stop", cups])
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
