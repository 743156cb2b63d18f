#!/usr/bin/env python3
"""Time from the printer helper's start to the first paint of its dialogs.

Starts a private cupsd with a PPD queue (a generic PDF PPD with 200 more options of its own,
as a large office printer's driver has), a raw queue and a queue with the unchanged PPD, and its
own Xvfb with openbox,
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
EXTRA_OPTIONS = 200


def large_ppd(path):
    """Writes the generic PPD with EXTRA_OPTIONS PickOne options of four choices added."""
    with open(PPD, encoding="latin-1") as source:
        text = source.read()
    extra = ["*OpenGroup: Finishing/Finishing"]
    for n in range(1, EXTRA_OPTIONS + 1):
        extra += [f"*OpenUI *BenchOption{n}/Finishing option {n}: PickOne",
                  f"*OrderDependency: 50 AnySetup *BenchOption{n}",
                  f"*DefaultBenchOption{n}: Choice1"]
        extra += [f'*BenchOption{n} Choice{c}/Choice {c} of option {n}: ""' for c in range(1, 5)]
        extra.append(f"*CloseUI: *BenchOption{n}")
    extra.append("*CloseGroup: Finishing")
    with open(path, "w", encoding="latin-1") as target:
        target.write(text.rstrip("\n") + "\n" + "\n".join(extra) + "\n")


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
        ppd = os.path.join(work, "large.ppd")
        large_ppd(ppd)
        subprocess.run(["lpadmin", "-p", "Laser", "-P", ppd, "-v", "discard:/", "-E"], env=env, check=True,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["lpadmin", "-p", "Small", "-P", PPD, "-v", "discard:/", "-E"], env=env, check=True,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["lpadmin", "-p", "Desk", "-v", "discard:/", "-E"], env=env, check=True)
        start_display(env, background)
        print(f"runs per dialog: {args.runs}")
        print("start to first paint (ms):")
        for option, dialog in (("/p", "Properties"), ("/e", "Printing Preferences")):
            for queue, kind in (("Laser", "PPD queue"), ("Small", "small PPD"), ("Desk", "raw queue")):
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
