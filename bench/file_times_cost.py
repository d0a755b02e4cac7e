#!/usr/bin/env python3
"""What keeping the files' times costs at start-up.

Packs one application of many small files twice, once as the packer does by default (the record
beside the attached data carries every file's modification time, which the launcher sets on each
file it writes) and once with --no-times, then runs both launchers interleaved and prints the
medians.

    bench/file_times_cost.py [--files 10000] [--reps 15] [--packer build/linux/bin/onefile-pack]
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile

from interleaved import interleaved, median_ms

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def make_app(directory, files):
    """The fixture main binary and its library, and `files` files of 1 to 8 KiB in 248 directories."""
    os.makedirs(directory)
    for name in ("fixture_app.so", "fixture_helper.so"):
        shutil.copy(os.path.join(ROOT, "build/linux/bin", name), directory)
    rng = random.Random(20261209)
    for i in range(files):
        path = os.path.join(directory, "d%03d" % (i % 248), "f%05d.txt" % i)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(rng.randbytes(rng.randint(1024, 8192)))
        stamp = 1600000000 + rng.randint(0, 10**8) + rng.random()
        os.utime(path, (stamp, stamp))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--files", type=int, default=10000)
    p.add_argument("--reps", type=int, default=15)
    p.add_argument("--packer", default=os.path.join(ROOT, "build/linux/bin/onefile-pack"))
    args = p.parse_args()
    work = tempfile.mkdtemp(prefix="file-times-cost-", dir=os.environ.get("TMPDIR", "/tmp"))
    try:
        app = os.path.join(work, "app")
        make_app(app, args.files)
        runs = {}
        for name, extra in (("with times", []), ("without", ["--no-times"])):
            executable = os.path.join(work, name.replace(" ", "-") + ".run")
            subprocess.run([args.packer, "--quiet", "--target", "linux", "--level", "9", *extra, "-o", executable, app,
                            "fixture_app.so"], check=True)
            runs[name] = [executable, "exit", "0"]
        times = interleaved(runs, args.reps)
        medians = {name: median_ms(values) for name, values in times.items()}
        print("application: %d files of 1 to 8 KiB; %d repetitions, medians" % (args.files, args.reps))
        for name in runs:
            print("  %-12s %8.1f ms  (min %.1f)" % (name, medians[name], min(times[name]) * 1000))
        print("  cost         %+8.1f %%" % ((medians["with times"] / medians["without"] - 1) * 100))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
