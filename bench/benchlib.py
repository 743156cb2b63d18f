"""Helpers shared by the benchmarks."""
import os
import random
import subprocess
import sys
import tempfile
import time


def make_data(size, seed):
    """Mixed data: runs of settings text and of random bytes."""
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


def run(command, cwd=None):
    """Wall time (s) and peak resident memory (MiB) of a command. /usr/bin/time measures
    the memory: a child forked from this process would count this process's pages."""
    report = tempfile.NamedTemporaryFile(mode="r", suffix=".rss")
    started = time.perf_counter()
    status = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name, *command], cwd=cwd,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
    elapsed = time.perf_counter() - started
    if status != 0:
        sys.exit(f"{command[0]} failed with status {status}")
    return elapsed, int(report.read().split()[-1]) / 1024
