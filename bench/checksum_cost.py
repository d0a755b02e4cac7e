#!/usr/bin/env python3
"""What the content checksum costs at start-up.

Packs one large application twice with the same file table and the same compressed blocks: once
as the packer writes it (the frame ends with a content checksum, which the launcher verifies
before it starts the child), once re-encoded by the zstd tool without the checksum (read as older
executables were, with no end check). Runs both launchers interleaved and prints the medians.

    bench/checksum_cost.py [--size-mb 100] [--reps 15] [--packer build/linux/bin/onefile-pack]
"""
import argparse
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

from interleaved import interleaved, median_ms

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def make_app(directory, size_mb):
    """The fixture main binary and its library, and size_mb of half text, half random files."""
    os.makedirs(directory)
    for name in ("fixture_app.so", "fixture_helper.so"):
        shutil.copy(os.path.join(ROOT, "build/linux/bin", name), directory)
    rng = random.Random(20261208)
    words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(4000)]
    per_file = 4 << 20
    for i in range(size_mb * (1 << 20) // per_file):
        path = os.path.join(directory, "data", "f%03d.bin" % i)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            if i % 2 == 0:
                text = []
                length = 0
                while length < per_file:
                    w = words[int(rng.paretovariate(1.2)) % len(words)]
                    text.append(w)
                    length += len(w) + 1
                f.write(" ".join(text).encode()[:per_file])
            else:
                f.write(rng.randbytes(per_file))


def without_checksum(attached, work):
    """The same attached data with its frame re-encoded without a content checksum."""
    table_size, compressed_size = struct.unpack_from("<QQ", attached, 0)
    stream = attached[16 + table_size:16 + table_size + compressed_size]
    frame = os.path.join(work, "frame.zst")
    with open(frame, "wb") as f:
        f.write(stream)
    content = os.path.join(work, "content")
    subprocess.run(["zstd", "-q", "-d", "-f", "--long=27", frame, "-o", content], check=True)
    plain = os.path.join(work, "plain.zst")
    subprocess.run(["zstd", "-q", "-f", "-9", "-T2", "--long=27", "--no-check", "--no-content-size", content,
                    "-o", plain], check=True)
    with open(plain, "rb") as f:
        new_stream = f.read()
    table = attached[16:16 + table_size]
    body = struct.pack("<QQ", table_size, len(new_stream)) + table + new_stream
    return body + b"\0" + struct.pack("<Q", len(body) + 1)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--size-mb", type=int, default=100)
    p.add_argument("--reps", type=int, default=15)
    p.add_argument("--packer", default=os.path.join(ROOT, "build/linux/bin/onefile-pack"))
    args = p.parse_args()
    work = tempfile.mkdtemp(prefix="checksum-cost-", dir=os.environ.get("TMPDIR", "/tmp"))
    try:
        app = os.path.join(work, "app")
        make_app(app, args.size_mb)
        checked = os.path.join(work, "checked.run")
        subprocess.run([args.packer, "--quiet", "--target", "linux", "-o", checked, app, "fixture_app.so"], check=True)
        blob = os.path.join(work, "attached.bin")
        subprocess.run([args.packer, "--quiet", "--target", "linux", "--attached-only", blob, app, "fixture_app.so"],
                       check=True)
        with open(blob, "rb") as f:
            attached = f.read()
        raw = os.path.join(work, "plain.bin")
        with open(raw, "wb") as f:
            f.write(without_checksum(attached, work))
        plain = os.path.join(work, "plain.run")
        subprocess.run([args.packer, "--quiet", "--target", "linux", "--raw-attached", raw, "-o", plain], check=True)
        times = interleaved({"with checksum": [checked, "exit", "0"], "without": [plain, "exit", "0"]}, args.reps)
        with_ms = median_ms(times["with checksum"])
        without_ms = median_ms(times["without"])
        print("application: %d MB in %d files; %d repetitions, medians" %
              (args.size_mb, len(os.listdir(os.path.join(app, "data"))) + 2, args.reps))
        print("  with checksum    %8.1f ms  (min %.1f)" % (with_ms, min(times["with checksum"]) * 1000))
        print("  without          %8.1f ms  (min %.1f)" % (without_ms, min(times["without"]) * 1000))
        print("  cost             %+8.1f %%" % ((with_ms / without_ms - 1) * 100))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
