#!/usr/bin/env python3
"""What kept file times are worth to an interpreter.

An application of many Python modules with their compiled caches (which record each source's
modification time) and a main binary that runs `python3 -c "import all modules"` with the unpacked
directory on the module path. Packed with the files' times (the default), the caches are valid and
the imports load them; packed with --no-times, every source looks newer than its cache and is
compiled again. Runs both interleaved and prints the medians, beside the same imports run directly
in the application directory.

    bench/interpreter_times.py [--modules 400] [--reps 11] [--packer build/linux/bin/onefile-pack]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

from interleaved import interleaved, median_ms

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

MAIN_SOURCE = r'''
#include <onefile/entry.h>
#include <cstdio>
#include <cstdlib>
#include <string>

ONEFILE_ENTRY onefile_main(int, wchar_t**, const wchar_t* main_binary_path) {
    char path[4096];
    std::snprintf(path, sizeof path, "%ls", main_binary_path);
    std::string directory(path);
    directory.resize(directory.rfind('/'));
    setenv("PYTHONPATH", directory.c_str(), 1);
    return std::system("python3 -c 'import allmods'") == 0 ? 0 : 1;
}
'''


def make_app(directory, modules):
    os.makedirs(directory)
    main = os.path.join(directory, "pymain.so")
    source = os.path.join(directory, "..", "pymain.cpp")
    with open(source, "w") as f:
        f.write(MAIN_SOURCE)
    subprocess.run(["g++", "-shared", "-fPIC", "-O2", "-I", os.path.join(ROOT, "include"), "-o", main, source], check=True)
    names = []
    for i in range(modules):
        name = "mod%04d" % i
        names.append(name)
        with open(os.path.join(directory, name + ".py"), "w") as f:
            for j in range(60):
                f.write("def f%d(x):\n    y = [x * k for k in range(%d)]\n    return sum(y) + %d\n\n" % (j, j + 3, i))
    with open(os.path.join(directory, "allmods.py"), "w") as f:
        f.write("".join("import %s\n" % n for n in names))
    subprocess.run(["python3", "-m", "compileall", "-q", directory], check=True)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--modules", type=int, default=400)
    p.add_argument("--reps", type=int, default=11)
    p.add_argument("--packer", default=os.path.join(ROOT, "build/linux/bin/onefile-pack"))
    args = p.parse_args()
    work = tempfile.mkdtemp(prefix="interpreter-times-", dir=os.environ.get("TMPDIR", "/tmp"))
    try:
        app = os.path.join(work, "app")
        make_app(app, args.modules)
        runs = {}
        for name, extra in (("with times", []), ("without times", ["--no-times"])):
            executable = os.path.join(work, name.replace(" ", "-") + ".run")
            subprocess.run([args.packer, "--quiet", "--target", "linux", *extra, "-o", executable, app, "pymain.so"],
                           check=True)
            runs[name] = [executable]
        # The same imports run directly, with the application directory on the module path.
        runs["direct"] = ["env", "PYTHONPATH=" + app, "python3", "-c", "import allmods"]
        times = interleaved(runs, args.reps)
        print("application: %d modules with compiled caches; %d repetitions, medians" % (args.modules, args.reps))
        for name, values in times.items():
            print("  %-14s %8.1f ms  (min %.1f)" % (name, median_ms(values), min(values) * 1000))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
