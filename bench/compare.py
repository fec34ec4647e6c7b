#!/usr/bin/env python3
"""Measures OrvandaleUpdateProgress beside `zenity --progress`, on one Xvfb display, in
alternated runs, and prints medians and ratios. Run it through bench/compare, which installs
what is needed and builds the program first."""

import argparse
import json
import os
import resource
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TICKS = os.sysconf("SC_CLK_TCK")


def start_xvfb():
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
        pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    while select.select([read_end], [], [], 10)[0]:
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        number += chunk
        if number.endswith(b"\n"):
            break
    os.close(read_end)
    if not number.strip():
        server.kill()
        sys.exit("compare: Xvfb did not start")
    return server, ":" + number.decode().strip()


def exchange_directory(phase):
    directory = Path(tempfile.mkdtemp(prefix="orvandale-compare-"))
    started = int(time.time() * 1000)
    (directory / "session.json").write_text(
        json.dumps({"version": "bench", "parentPid": os.getpid(), "startedAt": started}))
    (directory / "status.json").write_text(json.dumps({"phase": phase}))
    return directory


def wait_child(process):
    """Reaps `process`; its exit status and peak resident memory in KiB."""
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return process.returncode, usage.ru_maxrss


def ours_start_to_exit(program, env):
    directory = exchange_directory("complete")
    begin = time.perf_counter()
    process = subprocess.Popen([program, str(directory)], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    status, peak = wait_child(process)
    seconds = time.perf_counter() - begin
    finished = (directory / "finished.json").read_text() if (directory / "finished.json").exists() else ""
    if status != 0 or finished != '{"phase":"complete"}':
        sys.exit(f"compare: the program ended with {status} and finished.json {finished!r}")
    subprocess.run(["rm", "-rf", str(directory)])
    return seconds, peak


def zenity_start_to_exit(env):
    begin = time.perf_counter()
    process = subprocess.Popen(["zenity", "--progress", "--auto-close"], env=env, stdin=subprocess.PIPE,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    process.stdin.write(b"100\n")
    process.stdin.close()
    status, peak = wait_child(process)
    seconds = time.perf_counter() - begin
    if status != 0:
        sys.exit(f"compare: zenity ended with {status}")
    return seconds, peak


def ours_start_to_ready(program, env):
    directory = exchange_directory("installing")
    begin = time.perf_counter()
    process = subprocess.Popen([program, str(directory)], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    ready = directory / "ready.json"
    while not ready.exists():
        if process.poll() is not None:
            sys.exit("compare: the program ended before ready.json")
        time.sleep(0.0005)
    seconds = time.perf_counter() - begin
    process.kill()
    process.wait()
    subprocess.run(["rm", "-rf", str(directory)])
    return seconds


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def peak_resident(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return 0


def idle(command, env, seconds, stdin=None, directory=None):
    """CPU seconds over `seconds` of waiting, after two seconds to settle, and peak RSS."""
    process = subprocess.Popen(command, env=env, stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(2)
    if process.poll() is not None:
        sys.exit(f"compare: {command[0]} ended early")
    before = cpu_seconds(process.pid)
    time.sleep(seconds)
    used = cpu_seconds(process.pid) - before
    peak = peak_resident(process.pid)
    process.kill()
    process.wait()
    if directory:
        subprocess.run(["rm", "-rf", str(directory)])
    return used, peak


def median(values):
    return statistics.median(values)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", default="build/bench/OrvandaleUpdateProgress")
    parser.add_argument("--runs", type=int, default=15, help="alternated start-up runs of each (default 15)")
    parser.add_argument("--idle-runs", type=int, default=3, help="alternated idle runs of each (default 3)")
    parser.add_argument("--idle-seconds", type=float, default=30, help="length of an idle run (default 30)")
    args = parser.parse_args()
    program = str(Path(args.program).resolve())

    server, display = start_xvfb()
    env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb")
    env.pop("WAYLAND_DISPLAY", None)
    try:
        # One of each to warm the page cache, not counted.
        ours_start_to_exit(program, env)
        zenity_start_to_exit(env)

        ours_exit, zenity_exit, ours_peak, zenity_peak, ready = [], [], [], [], []
        for run in range(args.runs):
            order = [0, 1] if run % 2 == 0 else [1, 0]
            for which in order:
                if which == 0:
                    seconds, peak = ours_start_to_exit(program, env)
                    ours_exit.append(seconds)
                    ours_peak.append(peak)
                    ready.append(ours_start_to_ready(program, env))
                else:
                    seconds, peak = zenity_start_to_exit(env)
                    zenity_exit.append(seconds)
                    zenity_peak.append(peak)

        ours_cpu, zenity_cpu, ours_idle_peak, zenity_idle_peak = [], [], [], []
        for run in range(args.idle_runs):
            order = [0, 1] if run % 2 == 0 else [1, 0]
            for which in order:
                if which == 0:
                    directory = exchange_directory("installing")
                    used, peak = idle([program, str(directory)], env, args.idle_seconds, directory=directory)
                    ours_cpu.append(used)
                    ours_idle_peak.append(peak)
                else:
                    used, peak = idle(["zenity", "--progress", "--pulsate"], env, args.idle_seconds,
                                      stdin=subprocess.PIPE)
                    zenity_cpu.append(used)
                    zenity_idle_peak.append(peak)
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait()

    def ms(values):
        return f"{median(values) * 1000:7.1f} ms"

    def share(values):
        return median(values) / args.idle_seconds * 100

    ratio_exit = median(ours_exit) / median(zenity_exit)
    cpu_ours, cpu_zenity = share(ours_cpu), share(zenity_cpu)
    peak_ours = max(max(ours_peak), max(ours_idle_peak))
    peak_zenity = max(max(zenity_peak), max(zenity_idle_peak))
    print(f"machine: {os.cpu_count()} cores, {os.uname().release}; {args.runs} alternated start-up runs, "
          f"{args.idle_runs} alternated idle runs of {args.idle_seconds:g} s")
    print(f"start to exit        ours {ms(ours_exit)}   zenity {ms(zenity_exit)}   ratio {ratio_exit:.2f}  (target <= 0.40)")
    print(f"start to ready.json  ours {ms(ready)}                       (target < 100 ms)")
    print(f"idle CPU, spinning   ours {cpu_ours:6.2f} %    zenity {cpu_zenity:6.2f} %    ratio "
          f"{cpu_ours / cpu_zenity if cpu_zenity else float('inf'):.2f}  (targets <= 0.5 %, <= 0.25)")
    print(f"peak resident        ours {peak_ours / 1024:6.1f} MiB  zenity {peak_zenity / 1024:6.1f} MiB  ratio "
          f"{peak_ours / peak_zenity:.2f}  (target <= 0.33)")


if __name__ == "__main__":
    main()
