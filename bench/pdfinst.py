#!/usr/bin/env python3
"""Time of the managed printer's backend for one PostScript job, as CUPS runs it.

Runs pdfinst as root with a job's arguments for a 2-page and a 100-page text document,
once as a person's job (converted as that person; a temporary account is made) and once
as the job of a user unknown here (converted as nobody), and prints the median, minimum
and maximum of each, beside Ghostscript itself opening the same file (the ratio is the
median over the rounds of the backend's time over Ghostscript's in the same round). The
person's job is one that cupsd authenticated (AUTH_USERNAME), as on a queue whose policy
asks for it. With --against, another build of pdfinst (or several) runs in turn with the
first, so that all meet the same load of the machine.

    bench/pdfinst.py [BACKEND] [--against OTHER]... [--runs N] [--queue JOBS]

With --queue, each build also prints JOBS 100-page jobs through the managed printer's queue
of a private cupsd (the PPD's filters before the backend, the user authenticated by cupsd):
jobs per minute from enabling the queue, with all jobs waiting, until the last has ended.

Besides the wall time, the CPU time of the backend and its children (user and system),
which a loaded machine disturbs less.
"""
import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PERSON = "quillbench-pdf"


def document(pages):
    lines = ["%!PS-Adobe-3.0", "/Times-Roman findfont 11 scalefont setfont"]
    for page in range(1, pages + 1):
        for line in range(1, 61):
            lines.append(f"72 {771 - line * 11} moveto (Page {page} line {line}: the quick brown fox "
                         "jumps over the lazy dog, 0123456789.) show")
        lines.append("showpage")
    return "\n".join(lines) + "\n"


GS = "gs"


def run_ms(backend, user, ps, folder, job):
    env = {"PATH": "/usr/bin:/bin", "PDFINST_OUTPUT_DIR": folder, "PDFINST_SPOOL_DIR": os.path.join(folder, "spool")}
    if user == PERSON:
        env.update({"AUTH_INFO_REQUIRED": "none", "AUTH_USERNAME": user})
    if backend == GS:
        command = [GS, "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOINTERPOLATE", "-sDEVICE=pdfwrite",
                   "-sOutputFile=" + os.path.join(folder, "gs.pdf"), ps]
    else:
        command = [backend, str(job), user, "bench", "1", "", ps]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    done = subprocess.run(command, env=env, capture_output=True)
    elapsed = (time.perf_counter() - started) * 1000
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime) * 1000
    if done.returncode != 0:
        sys.exit(f"{backend} failed for {user}: {done.stderr.decode()}")
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
    return elapsed, cpu


def queue_rate(backend, ps, jobs):
    sandbox = os.path.join(ROOT, "tests", "support", "cups-sandbox")
    ppd = os.path.join(ROOT, "build", "tools", "pdfinst", "quill-amber-pdf-creator.ppd")
    with tempfile.TemporaryDirectory() as work:
        os.chmod(work, 0o755)
        server = os.path.join(work, "cups")
        subprocess.run([sandbox, "start", server, "--no-bus"], check=True)
        try:
            subprocess.run([sandbox, "install-managed", server, backend, ppd], check=True)
            env = dict(os.environ, CUPS_SERVER=os.path.join(server, "run", "cups.sock"))
            run = lambda *command: subprocess.run(command, env=env, check=True, capture_output=True).stdout
            run("lpadmin", "-p", "Bench", "-m", "quill-amber-pdf-creator.ppd", "-v", "pdfinst:/", "-E",
                "-o", "printer-op-policy=authenticated")
            run("cupsdisable", "Bench")
            for _ in range(jobs):
                run("lp", "-d", "Bench", "-t", "bench", ps)
            started = time.perf_counter()
            run("cupsenable", "Bench")
            while run("lpstat", "-o", "Bench").strip():
                time.sleep(0.02)
            elapsed = time.perf_counter() - started
            made = len(os.listdir(os.path.join(server, "pdf")))
            if made != jobs:
                sys.exit(f"{backend}: {made} PDFs of {jobs} jobs")
            return jobs / elapsed * 60
        finally:
            subprocess.run([sandbox, "stop", server])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("backend", nargs="?", default=os.path.join(ROOT, "build", "tools", "pdfinst", "pdfinst"))
    parser.add_argument("--against", action="append", default=[])
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--queue", type=int, default=0)
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("pdfinst gives up root for the job's user: run the benchmark as root")
    backends = [args.backend] + args.against + [GS]
    made = subprocess.run(["id", PERSON], capture_output=True).returncode != 0
    if made:
        subprocess.run(["useradd", "-m", "-s", "/usr/sbin/nologin", PERSON], check=True)
    try:
        with tempfile.TemporaryDirectory() as work:
            os.chmod(work, 0o755)
            folder = os.path.join(work, "pdf")
            os.mkdir(folder)
            os.chmod(folder, 0o1777)
            times = {}
            for pages, runs in ((2, args.runs), (100, max(3, args.runs // 4))):
                ps = os.path.join(work, f"doc{pages}.ps")
                with open(ps, "w") as out:
                    out.write(document(pages))
                os.chmod(ps, 0o644)
                for run in range(runs):
                    for user in (PERSON, "quill-unknown-user"):
                        for backend in backends:
                            if backend == GS and user != PERSON:
                                continue
                            times.setdefault((pages, user, backend), []).append(
                                run_ms(backend, user, ps, folder, 1000 + run))
            for (pages, user, backend), runs in times.items():
                if backend == GS:
                    user = "(Ghostscript alone)"
                values = [wall for wall, _ in runs]
                median = statistics.median(values)
                cpu = statistics.median(cpu for _, cpu in runs)
                # Each run's time over Ghostscript's in the same round, which met the same load.
                gs_runs = times[(pages, PERSON, GS)]
                ratio = statistics.median(wall / gs[0] for (wall, _), gs in zip(runs, gs_runs))
                cpu_ratio = statistics.median(cpu / gs[1] for (_, cpu), gs in zip(runs, gs_runs))
                print(f"{pages:3d} pages, {user:19s} {backend}: median {median:6.0f} ms, "
                      f"min {min(values):6.0f}, max {max(values):6.0f} ({len(values)} runs), {ratio:.2f}x gs; "
                      f"CPU median {cpu:6.0f} ms, {cpu_ratio:.2f}x gs")
            if args.queue:
                ps = os.path.join(work, "doc100.ps")
                for backend in backends[:-1]:
                    print(f"through the queue, {args.queue} jobs of 100 pages, {backend}: "
                          f"{queue_rate(backend, ps, args.queue):.0f} jobs/min")
    finally:
        if made:
            subprocess.run(["userdel", "-r", PERSON], capture_output=True)


if __name__ == "__main__":
    main()
