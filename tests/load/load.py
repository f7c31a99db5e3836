#!/usr/bin/env python3
# Parallel load: eight queues of one print server, each running its jobs one
# after the other through the filter program, all eight at once. The queues
# share one private root (its /tmp holds every queue's capability file, its
# TMPDIR every spool file) and one tool directory (every status-library
# queue's job record). Each job's stream must decode to the pages of the same
# job run alone; nothing may cross from one queue to another or stay behind.
#
#   load.py [--jobs N] FILTER TESTPAGE GDIDECODE PPD_DIR SMSIM_LIB PLUGIN_DIR
import argparse, hashlib, os, re, shutil, subprocess, sys, tempfile, threading, time

ap = argparse.ArgumentParser()
ap.add_argument("--jobs", type=int, default=32)
ap.add_argument("--trace", action="store_true", help="every job traces to the shared /tmp/cups/printer.log")
ap.add_argument("--keep", action="store_true", help="keep the work directory")
for name in ("filter", "testpage", "gdidecode", "ppd_dir", "smsim", "plugin_dir"):
    ap.add_argument(name, type=os.path.abspath)
a = ap.parse_args()
work = tempfile.mkdtemp(prefix="load.", dir=os.environ.get("TMPDIR", "/tmp"))
root, tool = work + "/root", work + "/tool"
os.makedirs(root + "/tmp")
os.makedirs(tool)
if a.trace:
    os.makedirs(root + "/tmp/cups")
os.symlink(a.smsim, tool + "/prnctl.so")

# Raster kinds: testpage arguments, filter options and the pages the printer
# gets (duplex: 3 pages, 2 collated copies, a blank back side each copy).
small = ["--res", "100", "--media", "420x595"]
kinds = {
    "mono": (small + ["--pages", "3", "--content", "text-n,photo"], "", 3),
    "duplex": (small + ["--pages", "3", "--content", "text-n", "--duplex", "1", "--tumble", "0",
                        "--copies", "2", "--collate", "1"], "Collate=True", 8),
    "colour": (small + ["--pages", "2", "--colorspace", "rgb", "--content", "red,photo"], "", 2),
}
for k, (args, _, _) in kinds.items():
    subprocess.run([a.testpage, "-o", f"{work}/{k}.ras"] + args, check=True)

def ppd(name, **attrs):
    text = open(f"{a.ppd_dir}/{name}.ppd").read()
    for key, value in attrs.items():
        text = re.sub(rf'^\*{key}: .*$', f'*{key}: "{value}"', text, flags=re.M)
    path = f"{work}/{name}-{len(attrs)}.ppd"
    open(path, "w").write(text)
    return path

mono, colour = ppd("gdimled"), ppd("gdicolor")
# Status library, "abort job when error": the first page waits out an error.
simppd = ppd("gdimled", Toolfd=tool, DriverFeature=16777216 | 64)
# queue: (kind, PPD, capability bytes; with the library: those it reports)
queues = {"lp0": ("mono", mono, b"\0\0"), "lp1": ("duplex", mono, b"\0\0"),
          "lp2": ("colour", colour, b"\0\0"), "lp3": ("mono", mono, b"\0\1"),
          "lp4": ("mono", simppd, b"\0\0"), "lp5": ("duplex", mono, b"\0\1"),
          "lp6": ("duplex", simppd, b"\0\1"), "lp7": ("colour", colour, b"\0\1")}
for q, (_, p, cap) in queues.items():
    if p != simppd:
        open(f"{root}/tmp/{q}.dat", "wb").write(cap + bytes(1024))

failures, lock = [], threading.Lock()
peak = {"fds": 0, "threads": 0, "tmp": 0}

def fail(msg):
    with lock:
        failures.append(msg)

def sample(pid):
    try:
        fds = len(os.listdir(f"/proc/{pid}/fd"))
        threads = int(re.search(r"Threads:\s+(\d+)", open(f"/proc/{pid}/status").read())[1])
        tmp = len(os.listdir(root + "/tmp")) + len(os.listdir(root)) - 1
    except (OSError, TypeError):
        return
    with lock:
        for key, v in (("fds", fds), ("threads", threads), ("tmp", tmp)):
            peak[key] = max(peak[key], v)

# Runs job `n` of queue q; returns the decoded pages' hashes or None.
def job(q, n):
    kind, p, cap = queues[q]
    d = f"{work}/jobs/{q}-{n}"
    os.makedirs(d)
    env = dict(os.environ, RASTERTOPWG2_ROOT=root, TMPDIR=root, PPD=p, HOME=work, CUPS_SERVERROOT=work,
               CUPS_SERVER=work + "/no-scheduler", TZ="UTC", LC_ALL="C", RASTERTOPWG2_PLUGIN_DIR=a.plugin_dir)
    if p == simppd:
        open(f"{d}/scenario", "w").write(
            f"log {d}/calls.log\nprinter {q} socket://{q} 0\npsm_running 1\ncapability {cap[0]:02x} "
            f"{cap[1]:02x}\nerrors_at_poll 1 12\nerrors_at_poll 3\n")
        env["SMSIM_SCENARIO"] = f"{d}/scenario"
    with open(f"{d}/out.prn", "wb") as out, open(f"{d}/err", "w") as err:
        proc = subprocess.Popen([q, str(n), "u", f"{q}-{n}", "1", kinds[kind][1], f"{work}/{kind}.ras"], env=env,
                                executable=a.filter, stdin=subprocess.DEVNULL, stdout=out, stderr=err, cwd=d)
        while proc.poll() is None:
            sample(proc.pid)
            time.sleep(0.01)
    errtext = open(f"{d}/err", errors="replace").read()
    bad = [line for line in errtext.splitlines() if re.match(r"ERROR:|.*(Sanitizer|runtime error)", line)]
    dec = subprocess.run([a.gdidecode, "--pbm", "-o", d + "/page", d + "/out.prn"], capture_output=True, text=True)
    pages = re.search(r"^pages: (\d+)$", dec.stdout, re.M)
    ssl = "@PJL SET ENCRYPTION = SSL" in dec.stdout
    # The error of the first poll holds the first page until the third.
    if p == simppd and open(f"{d}/calls.log").read().count("ReadWriteMemory 0 0") < 3:
        bad.append("no error hold")
    if proc.returncode or bad or dec.returncode or "job cancelled" in dec.stdout:
        return fail(f"{q} job {n}: exit {proc.returncode}, decoder {dec.returncode}, {bad[:3]}")
    if not pages or int(pages[1]) != kinds[kind][2] or ssl != (cap[1] == 1):
        return fail(f"{q} job {n}: {pages and pages[1]} pages (want {kinds[kind][2]}), SSL {ssl}")
    hashes = [hashlib.sha256(open(f"{d}/{f}", "rb").read()).hexdigest() for f in sorted(os.listdir(d))
              if f.endswith(".pbm")]
    shutil.rmtree(d)
    return hashes

# A job of each kind alone first, on a plain queue: the pages every loaded
# job of that kind must reproduce, deciphered or not.
reference = {kind: job(q, 0) for q, (kind, p, cap) in reversed(queues.items()) if p != simppd and cap == b"\0\0"}
jobs_of = {q: [n for n in range(1, a.jobs + 1) if list(queues)[n % len(queues)] == q] for q in queues}

def worker(q):
    for n in jobs_of[q]:
        got = job(q, n)
        if got is not None and got != reference[queues[q][0]]:
            fail(f"{q} job {n}: decoded pages differ from the job run alone")

start = time.time()
threads = [threading.Thread(target=worker, args=(q,)) for q in queues]
for t in threads:
    t.start()
for t in threads:
    t.join()
wall = time.time() - start

# Each job record names its own queue's jobs, exactly once each, completed.
for q, (_, p, cap) in queues.items():
    csv = f"{tool}/{q}_LOG.csv"
    if p == simppd:
        names = sorted(" ".join(line.split(",")[5:9:3]) for line in open(csv))
        want = sorted(f"u-{q}-{n} Completed" for n in jobs_of[q])
        if names != want:
            fail(f"{q}: job record holds {names}, want {want}")
    elif os.path.exists(csv):
        fail(f"{q}: a job record without a status library")
    if open(f"{root}/tmp/{q}.dat", "rb").read(2) != cap:
        fail(f"{q}: capability file changed")
left = sorted(set(os.listdir(root + "/tmp")) - {q + ".dat" for q in queues} - {"cups"})
left += sorted(set(os.listdir(root)) - {"tmp"})
if left:
    fail(f"left behind: {left}")
# Main thread, output thread, status thread, five page workers.
if peak["threads"] > 8 or peak["fds"] > 10 or peak["tmp"] > len(queues) + a.trace:
    fail(f"peaks: {peak}")
print(f"load: {a.jobs} jobs on {len(queues)} queues in {wall:.1f} s, peak fds {peak['fds']}, threads "
      f"{peak['threads']}, /tmp entries {peak['tmp']}")
for f in failures:
    print("FAILED:", f, file=sys.stderr)
if failures or a.keep:
    print("work directory kept:", work, file=sys.stderr)
else:
    shutil.rmtree(work)
sys.exit(1 if failures else 0)
