#!/usr/bin/env python3
"""Times one filter command several times: wall and CPU seconds (user + sys
of the process and its threads), peak RSS, output bytes, and the time until
a marker first appears on standard output (a page block's start).

    measure.py --runs N [--marker HEX] [--env K=V ...] --stdin FILE -- CMD...

Prints one line of medians: wall cpu rss_kib bytes first_s
"""
import argparse
import os
import statistics
import subprocess
import sys
import time


def run_once(cmd, env, stdin_path, marker):
    with open(stdin_path, "rb") as stdin, open(os.devnull, "wb") as devnull:
        start = time.monotonic()
        proc = subprocess.Popen(cmd, stdin=stdin, stdout=subprocess.PIPE, stderr=devnull, env=env)
        first = None
        total = 0
        tail = b""
        while True:
            chunk = proc.stdout.read1(1 << 16)
            if not chunk:
                break
            if first is None and marker:
                if marker in tail + chunk:
                    first = time.monotonic() - start
                tail = (tail + chunk)[-len(marker):]
            total += len(chunk)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.monotonic() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("measure.py: %s failed with %d" % (cmd[0], os.waitstatus_to_exitcode(status)))
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, total, first


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--marker", default="")
    ap.add_argument("--env", action="append", default=[])
    ap.add_argument("--stdin", required=True)
    ap.add_argument("cmd", nargs=argparse.REMAINDER)
    a = ap.parse_args()
    cmd = a.cmd[1:] if a.cmd and a.cmd[0] == "--" else a.cmd
    env = dict(os.environ)
    for kv in a.env:
        k, _, v = kv.partition("=")
        env[k] = v
    marker = bytes.fromhex(a.marker) if a.marker else b""
    runs = [run_once(cmd, env, a.stdin, marker) for _ in range(a.runs)]
    med = lambda i: statistics.median(r[i] for r in runs)
    firsts = [r[4] for r in runs if r[4] is not None]
    first = statistics.median(firsts) if firsts else float("nan")
    print("%.4f %.4f %d %d %.4f" % (med(0), med(1), max(r[2] for r in runs), med(3), first))


if __name__ == "__main__":
    main()
