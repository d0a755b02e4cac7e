#!/usr/bin/env python3
"""Cold start with the compressed stream in several frames, decoded on several threads.

Packs the app-80mb workload (workloads.py) at level 19 once as one frame (`--frames 1`, the full
2^27-byte window) and once in frames of whole files (`--frames auto`, or the given --frames), then
runs, interleaved, each under measure.c (wall time and peak RSS):

  one frame              the single-frame executable (the sequential reader)
  frames, N workers      the multi-frame executable on every processor the process may use
  frames, 1 worker       the same executable confined to one processor (`taskset -c 0`): the
                         sequential reader again, reading the frames in order
  zstd -d one frame      `zstd -d --long=27 -c` of the single frame's stream to /dev/null

Everything unpacks into TMPDIR (default: a directory on tmpfs, as bench.py does).

    bench/frames_cost.py [--reps 15] [--frames auto] [--level 19] [--workload app-80mb]
"""
import argparse
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
import workloads  # noqa: E402


def run(measure, argv, env):
    done = subprocess.run([measure, "--"] + argv, env=env, capture_output=True, text=True, check=True)
    wall, rss, status = done.stdout.split()
    if int(status) != 0:
        raise SystemExit(f"{argv[0]} exited with status {status}")
    return float(wall), int(rss)


def stream_of(attached_path):
    with open(attached_path, "rb") as f:
        data = f.read()
    table_size, compressed_size = struct.unpack_from("<QQ", data, 0)
    return data[16 + table_size:16 + table_size + compressed_size]


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--reps", type=int, default=15)
    p.add_argument("--frames", default="auto")
    p.add_argument("--level", type=int, default=19)
    p.add_argument("--workload", default="app-80mb")
    p.add_argument("--work", default=os.path.join(ROOT, "bench/work/frames"))
    p.add_argument("--tmpdir", default=f"/dev/shm/onefile-frames-{os.getuid()}")
    p.add_argument("--packer", default=os.path.join(ROOT, "build/linux/bin/onefile-pack"))
    args = p.parse_args()

    os.makedirs(args.work, exist_ok=True)
    os.makedirs(args.tmpdir, exist_ok=True)
    env = {"PATH": "/usr/local/bin:/usr/bin:/bin", "HOME": os.environ.get("HOME", "/root"), "LANG": "C.UTF-8",
           "TMPDIR": args.tmpdir}
    measure = os.path.join(args.work, "measure")
    subprocess.run(["gcc", "-O2", "-o", measure, os.path.join(ROOT, "bench/measure.c")], check=True)

    app = os.path.join(args.work, "app")
    if not os.path.isdir(app):
        subprocess.run([sys.executable, os.path.join(ROOT, "bench/workloads.py"), args.workload, app], check=True)
    for name in ("fixture_app.so", "fixture_helper.so"):
        shutil.copy(os.path.join(ROOT, "build/linux/bin", name), app)
    content = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(app) for f in fs)

    exes = {}
    sizes = {}
    for label, frames in (("one", "1"), ("framed", args.frames)):
        exe = os.path.join(args.work, f"{label}.run")
        attached = os.path.join(args.work, f"{label}.bin")
        # Packed anew only when missing: level 19 takes minutes. The executable links the attached
        # data as it is (no file times: the same for both).
        if not os.path.exists(attached):
            subprocess.run([args.packer, "--quiet", "--target", "linux", "--level", str(args.level), "--frames",
                            frames, "--attached-only", attached, app, "fixture_app.so"], check=True)
        subprocess.run([args.packer, "--quiet", "--target", "linux", "--raw-attached", attached, "-o", exe],
                       check=True)
        exes[label] = exe
        verify = subprocess.run([args.packer, "--verify", attached], capture_output=True, text=True, check=True)
        sizes[label] = (len(stream_of(attached)), verify.stdout.strip())
    single = os.path.join(args.work, "one-frame.zst")
    with open(single, "wb") as f:
        f.write(stream_of(os.path.join(args.work, "one.bin")))

    runs = {
        "one frame": [exes["one"], "exit", "0"],
        "frames, all workers": [exes["framed"], "exit", "0"],
        "frames, 1 worker": ["taskset", "-c", "0", exes["framed"], "exit", "0"],
        "zstd -d one frame": ["zstd", "-d", "-q", "--long=27", "-c", single],
    }
    for argv in runs.values():
        run(measure, argv, env)
    walls = {name: [] for name in runs}
    rss = {name: [] for name in runs}
    ratios = {name: [] for name in runs}
    load_before = os.getloadavg()
    for rep in range(args.reps):
        order = list(runs.items())
        if rep % 2:
            order.reverse()
        this = {}
        for name, argv in order:
            wall, peak = run(measure, argv, env)
            walls[name].append(wall)
            rss[name].append(peak)
            this[name] = wall
        for name in runs:
            ratios[name].append(this[name] / this["zstd -d one frame"])
    load_after = os.getloadavg()

    print(f"workload {args.workload}: {content:,} bytes; level {args.level}; {os.cpu_count()} processors; "
          f"{args.reps} repetitions, medians [min-max]; load average before {load_before[0]:.2f}, "
          f"after {load_after[0]:.2f}")
    for label, (size, verify) in sizes.items():
        print(f"  {label:7s} compressed stream {size:,} bytes ({size / sizes['one'][0] * 100 - 100:+.2f} %): "
              f"{verify.split(': ', 1)[1]}")
    print()
    print("| run | wall (s) | ÷ zstd -d one frame | peak RSS (MiB) |")
    print("|---|---|---|---|")
    for name in runs:
        w = walls[name]
        print(f"| {name} | {statistics.median(w):.3f} [{min(w):.3f}–{max(w):.3f}] | "
              f"{statistics.median(ratios[name]):.2f} | {statistics.median(rss[name]) / 1024:.1f} |")
    shutil.rmtree(args.tmpdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
