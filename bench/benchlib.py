"""Helpers shared by the benchmarks."""
import os
import random
import statistics
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


def in_turns(tools, rounds, prepare):
    """Runs each tool once per round, in turns, prepare(name) before each run. Returns the
    median time of each tool and the peak memory of the first one (ours)."""
    times = {name: [] for name in tools}
    ours = next(iter(tools))
    peak = 0.0
    for _ in range(rounds):
        for name, command in tools.items():
            prepare(name)
            elapsed, rss = run(command)
            times[name].append(elapsed)
            if name == ours:
                peak = max(peak, rss)
    return {name: statistics.median(t) for name, t in times.items()}, peak


def wait_for(predicate, seconds=10.0):
    """Whether predicate() became true within the given time."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return False


def start_display(env, background):
    """Starts an Xvfb of its own with openbox, sets DISPLAY in env and appends both
    processes to background (the caller ends them)."""
    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                             "-noreset"], pass_fds=[write_fd], stderr=subprocess.DEVNULL)
    background.append(xvfb)
    os.close(write_fd)
    try:
        # Xvfb may write the number and the newline apart, and fails if the pipe is gone.
        answer = b""
        while not answer.endswith(b"\n"):
            chunk = os.read(read_fd, 64)
            if not chunk:
                sys.exit("Xvfb did not start")
            answer += chunk
    finally:
        os.close(read_fd)
    env["DISPLAY"] = ":" + answer.decode().split()[0]
    background.append(subprocess.Popen(["openbox"], env=env, stderr=subprocess.DEVNULL))
    if not wait_for(lambda: b"window id" in subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=env,
                                                            capture_output=True).stdout):
        sys.exit("openbox did not start")
