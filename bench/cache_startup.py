#!/usr/bin/env python3
"""Cached extraction at start-up: the first start and the later (warm) starts of an executable
packed with --cache, against the same application run directly, an ordinary onefile start, and a
peer that caches its extraction (caxa, from the npm registry; its prebuilt Go stub unpacks a
tar.gz into $TMPDIR/caxa once and reuses it).

For every workload (the generated applications of bench.py) each way of starting runs once per
repetition, the starting one rotating; a "first" start gets a cache directory of its own that is
empty, made and removed outside the timing. Prints a Markdown table of medians [min-max].

    bench/cache_startup.py [--workloads empty,sweep-10mb,app-80mb,small-10k] [--reps 10]
                           [--tmpdir /dev/shm/...] [--no-peer]

Needs the linux preset built (build/linux/bin/onefile-pack and the fixtures). caxa is installed
with npm into bench/work/caxa when it is missing; without npm the peer's rows are skipped with a
note.
"""
import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time

import bench
import workloads

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
TOOLS = ["direct", "onefile", "cached first", "cached warm", "caxa first", "caxa warm"]


def log(message):
    print(f"cache_startup: {message}", file=sys.stderr, flush=True)


def ensure_caxa(work):
    """The caxa command line tool, installed from the npm registry into work/caxa; None without npm."""
    folder = os.path.join(work, "caxa")
    script = os.path.join(folder, "node_modules", "caxa", "build", "index.mjs")
    if not os.path.exists(script):
        if shutil.which("npm") is None:
            return None
        os.makedirs(folder, exist_ok=True)
        log("installing caxa from the npm registry")
        subprocess.run(["npm", "install", "--no-audit", "--no-fund", "caxa"], cwd=folder, check=True,
                       stdout=subprocess.DEVNULL)
    return ["node", script]


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(argv, env):
    """(wall seconds, CPU seconds of the command's processes, user and system) of one run."""
    cpu = children_cpu()
    start = time.perf_counter()
    done = subprocess.run(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    cpu = children_cpu() - cpu
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(argv)} exited with {done.returncode}: {done.stderr.decode()[-500:]}")
    if done.stderr:
        raise SystemExit(f"{' '.join(argv)} wrote to standard error: {done.stderr.decode()[-500:]}")
    return elapsed, cpu


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--workloads", default="empty,sweep-10mb,app-80mb,small-10k")
    p.add_argument("--reps", type=int, default=10)
    p.add_argument("--level", type=int, default=9)
    p.add_argument("--work", default=os.path.join(BENCH, "work"))
    p.add_argument("--tmpdir", default=f"/dev/shm/onefile-cache-bench-{os.getuid()}")
    p.add_argument("--no-peer", action="store_true", help="skip caxa")
    args = p.parse_args()

    work = os.path.abspath(args.work)
    tmp = args.tmpdir
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    build = os.path.join(ROOT, "build", "linux", "bin")
    packer = os.path.join(build, "onefile-pack")
    env = {"PATH": "/usr/local/bin:/usr/bin:/bin", "HOME": os.environ.get("HOME", "/root"), "LANG": "C.UTF-8"}
    fixture_dir = os.path.join(work, "bin", "cache-bench")
    os.makedirs(fixture_dir, exist_ok=True)
    for name in ("fixture_app.so", "fixture_helper.so"):
        shutil.copy2(os.path.join(build, name), fixture_dir)
    subprocess.run(["gcc", "-O2", "-o", os.path.join(fixture_dir, "host"), os.path.join(BENCH, "host.c"), "-ldl"],
                   check=True)
    fixture = [os.path.join(fixture_dir, n) for n in ("fixture_app.so", "fixture_helper.so", "host")]
    caxa = None if args.no_peer else ensure_caxa(work)
    tools = [t for t in TOOLS if caxa is not None or not t.startswith("caxa")]
    if caxa is None and not args.no_peer:
        log("npm is not available: the caxa rows are skipped")

    load_before = os.getloadavg()
    rows = {}
    cpu_rows = {}
    for name in args.workloads.split(","):
        stamp = bench.ensure_data(work, name)
        app = bench.assemble_app(work, name, "linux", fixture)
        art = os.path.join(work, "art", "cache-" + name)
        shutil.rmtree(art, ignore_errors=True)
        os.makedirs(art)
        plain = os.path.join(art, "app.run")
        cached = os.path.join(art, "cached.run")
        log(f"{name}: packing {stamp['files']} data files, level {args.level}")
        for exe, extra in ((plain, []), (cached, ["--cache"])):
            subprocess.run([packer, "--quiet", "--target", "linux", "--level", str(args.level), *extra, "-o", exe,
                            app, "fixture_app.so"], check=True)
        peer = os.path.join(art, "app.caxa")
        if caxa is not None:
            log(f"{name}: packing with caxa")
            subprocess.run(caxa + ["--input", app, "--output", peer, "--no-include-node", "--no-dedupe", "--",
                                   "{{caxa}}/host", "exit", "0"], check=True, stdout=subprocess.DEVNULL)
        os.sync()

        warm_cache = os.path.join(tmp, "warm-cache")
        warm_tmp = os.path.join(tmp, "warm-tmp")
        scratch_tmp = os.path.join(tmp, "tmp")
        for d in (warm_cache, warm_tmp, scratch_tmp):
            shutil.rmtree(d, ignore_errors=True)
            os.makedirs(d)

        def run(tool):
            fresh = os.path.join(tmp, "fresh")
            shutil.rmtree(fresh, ignore_errors=True)
            os.makedirs(fresh)
            e = dict(env, TMPDIR=scratch_tmp)
            if tool == "direct":
                argv = [os.path.join(app, "host"), "exit", "0"]
            elif tool == "onefile":
                argv = [plain, "exit", "0"]
            elif tool == "cached first":
                argv, e["XDG_CACHE_HOME"] = [cached, "exit", "0"], fresh
            elif tool == "cached warm":
                argv, e["XDG_CACHE_HOME"] = [cached, "exit", "0"], warm_cache
            elif tool == "caxa first":
                argv, e["TMPDIR"] = [peer], fresh
            else:
                argv, e["TMPDIR"] = [peer], warm_tmp
            seconds = timed(argv, e)
            shutil.rmtree(fresh, ignore_errors=True)
            left = os.listdir(scratch_tmp)
            if left:
                raise SystemExit(f"{tool} left {left[:3]} in TMPDIR")
            return seconds

        for tool in tools:  # the page cache, and the warm entries
            run(tool)
        samples = {t: [] for t in tools}
        cpu = {t: [] for t in tools}
        for rep in range(args.reps):
            for i in range(len(tools)):
                tool = tools[(rep + i) % len(tools)]
                wall, used = run(tool)
                samples[tool].append(wall)
                cpu[tool].append(used)
        rows[name] = samples
        cpu_rows[name] = cpu
        log(f"{name}: " + ", ".join(f"{t} {statistics.median(s) * 1000:.1f} ms" for t, s in samples.items()))

    load_after = os.getloadavg()
    print(f"Medians of {args.reps} repetitions in ms [min-max]; load average {load_before[0]:.2f} before, "
          f"{load_after[0]:.2f} after; TMPDIR and caches on {tmp}.\n")
    print("| Workload | " + " | ".join(tools) + " | warm ÷ direct |" + (" warm ÷ caxa warm |" if caxa else ""))
    print("|---" * (len(tools) + 2 + (1 if caxa else 0)) + "|")
    for name, samples in rows.items():
        med = {t: statistics.median(s) for t, s in samples.items()}
        cells = [f"{med[t] * 1000:.1f} [{min(samples[t]) * 1000:.1f}–{max(samples[t]) * 1000:.1f}]" for t in tools]
        ratio = f"{med['cached warm'] / med['direct']:.2f}"
        peer_ratio = f" {med['cached warm'] / med['caxa warm']:.2f} |" if caxa else ""
        print(f"| {name} | " + " | ".join(cells) + f" | {ratio} |" + peer_ratio)
    # On a busy machine the wall time is mostly waiting for a core; the CPU time of the started
    # processes (user and system, from the rusage of the waited children) is what a start costs.
    print("\nCPU time (user + system) of the started processes, medians in ms:\n")
    print("| Workload | " + " | ".join(tools) + " | warm ÷ direct |" + (" warm ÷ caxa warm |" if caxa else ""))
    print("|---" * (len(tools) + 2 + (1 if caxa else 0)) + "|")
    for name, samples in cpu_rows.items():
        med = {t: statistics.median(s) for t, s in samples.items()}
        ratio = f"{med['cached warm'] / med['direct']:.2f}" if med["direct"] > 0 else "-"
        peer_ratio = f" {med['cached warm'] / med['caxa warm']:.2f} |" if caxa and med["caxa warm"] > 0 else ""
        print(f"| {name} | " + " | ".join(f"{med[t] * 1000:.1f}" for t in tools) + f" | {ratio} |" + peer_ratio)
    shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
