#!/usr/bin/env python3
"""Start-up time and peak memory of a onefile executable, side by side with what a user would
otherwise use, for generated applications of several shapes and sizes.

Natively on Linux, each once per repetition (the starting tool rotates from one repetition
to the next):
  onefile    the packed executable running the fixture main binary's "exit 0"
             (parent + child + removal of the unpacked directory)
  tar+rm     mkdir of a fresh directory, `tar -I zstd -xf APP.tar.zst -C DIR`, `rm -rf DIR`
  makeself   a makeself archive built with --zstd, running the same trivial application
  zstd -d    `zstd -d -c APP.tar.zst > /dev/null`, the lower bound (decoding alone)
  direct     (workload "empty" only) the trivial application started without any unpacking
Under Wine: the Windows executable against the same trivial application run directly.

See bench/README.md. Normally started through scripts/bench.
"""

import argparse
import datetime
import hashlib
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

import workloads

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
MIB = 1024 * 1024

SWEEP = ["sweep-1mb", "sweep-10mb", "sweep-100mb"]
DEFAULT_WORKLOADS = ["empty", "app-80mb", "small-10k"] + SWEEP
NATIVE_TOOLS = ["onefile", "tar+rm", "makeself", "zstd -d"]
WINE_WORKLOADS = ["empty", "sweep-10mb"]
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "winedbg.exe=d;mscoree,mshtml="}
WINDOW_BOUND_MIB = 128 + 8  # the frame's history window plus a few MiB of everything else
PACKER_BOUND_MIB = 128 + 128  # the packer: 128 MiB beside the compressor's window


def log(message):
    print(f"bench: {message}", file=sys.stderr, flush=True)


def fail(message):
    log(message)
    sys.exit(1)


# --- running and measuring ----------------------------------------------------------------------

class Failed(Exception):
    pass


class Runner:
    """Runs commands through the small measuring program (measure.c)."""

    def __init__(self, work, env, measure):
        self.env = env
        self.measure = measure
        self.err_path = os.path.join(work, "last-stderr.txt")

    def run(self, *commands, env=None, mkdir=None, self_rss=False):
        """Runs the commands one after the other; returns (wall seconds, peak RSS KiB) of the lot,
        and with self_rss=True also the peak RSS KiB of the first command's own process, without
        the processes it starts."""
        argv = [self.measure, "--stderr", self.err_path] + (["--mkdir", mkdir] if mkdir else []) \
            + (["--self"] if self_rss else []) + ["--"]
        for n, command in enumerate(commands):
            argv += (["--then"] if n else []) + list(command)
        done = subprocess.run(argv, env=env or self.env, capture_output=True, text=True)
        try:
            if self_rss:
                wall, rss, status, own = done.stdout.split()
            else:
                wall, rss, status = done.stdout.split()
        except ValueError:
            raise Failed(f"measuring {commands} failed: {done.stderr.strip()}")
        if int(status) != 0:
            with open(self.err_path, errors="replace") as f:
                detail = f.read().strip()[-2000:]
            raise Failed(f"{' '.join(commands[0])} ... exited with status {status}: {detail}")
        if self_rss:
            return float(wall), int(rss), int(own)
        return float(wall), int(rss)


def empty_directory(path):
    """Empties a scratch directory; returns the names that were left in it."""
    left = sorted(os.listdir(path))
    for name in left:
        target = os.path.join(path, name)
        if os.path.isdir(target) and not os.path.islink(target):
            shutil.rmtree(target)
        else:
            os.unlink(target)
    return left


# --- preparation --------------------------------------------------------------------------------

def file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def tool_version(argv):
    try:
        out = subprocess.run(argv, capture_output=True, text=True, timeout=30)
        return (out.stdout + out.stderr).strip().splitlines()[0]
    except (OSError, IndexError, subprocess.SubprocessError):
        return "unknown"


def directory_size(path):
    count = total = 0
    for folder, _, names in os.walk(path):
        for name in names:
            count += 1
            total += os.path.getsize(os.path.join(folder, name))
    return count, total


def read_stamp(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def write_stamp(path, value):
    with open(path, "w") as f:
        json.dump(value, f, indent=1)


def ensure_data(work, name):
    """Generates the workload's files once; later runs reuse them while the generator is unchanged."""
    folder = os.path.join(work, "data", name)
    stamp_path = folder + ".json"
    stamp = read_stamp(stamp_path)
    if stamp and stamp.get("version") == workloads.GENERATOR_VERSION and stamp.get("seed") == workloads.SEED \
            and os.path.isdir(folder):
        return stamp
    log(f"generating workload {name} ({workloads.WORKLOADS[name][0]})")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    count, total, digest = workloads.generate(name, folder)
    stamp = {"version": workloads.GENERATOR_VERSION, "seed": workloads.SEED, "files": count,
             "bytes": total, "sha256": digest}
    write_stamp(stamp_path, stamp)
    return stamp


def assemble_app(work, name, target, fixture_files):
    """The application directory: the main binary, its library (and on Linux the trivial host the
    makeself archive starts) plus the workload's files, hard-linked from the generated data."""
    data = os.path.join(work, "data", name)
    app = os.path.join(work, "apps", f"{name}-{target}")
    shutil.rmtree(app, ignore_errors=True)
    os.makedirs(app)
    for source in fixture_files:
        shutil.copy2(source, app)
    for folder, _, names in os.walk(data):
        relative = os.path.relpath(folder, data)
        os.makedirs(os.path.join(app, relative), exist_ok=True)
        for n in names:
            os.link(os.path.join(folder, n), os.path.join(app, relative, n))
    return app


def sh(command, env):
    """Runs a shell pipeline to completion (artefact building, not measured); returns wall seconds."""
    start = time.perf_counter()
    done = subprocess.run(["bash", "-o", "pipefail", "-c", command], env=env, capture_output=True, text=True)
    if done.returncode != 0:
        raise Failed(f"{command}: {done.stderr.strip()[-2000:]}")
    return time.perf_counter() - start


# --- statistics and formatting ------------------------------------------------------------------

def summary(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values)}


def fmt_ms(seconds):
    ms = seconds * 1000
    if ms >= 1000:
        return f"{ms:,.0f}"
    if ms >= 100:
        return f"{ms:.0f}"
    if ms >= 10:
        return f"{ms:.1f}"
    return f"{ms:.2f}"


def fmt_range(s, fmt):
    return f"{fmt(s['median'])} [{fmt(s['min'])}–{fmt(s['max'])}]"


def fmt_ratio(x):
    return f"{x:.2f}"


def fmt_mib(kib):
    return f"{kib / 1024:.1f}"


def fmt_size(n):
    if n >= 1000 * 1000:
        return f"{n / 1e6:,.1f} MB"
    if n >= 1000:
        return f"{n / 1e3:.0f} kB"
    return f"{n} B"


# --- the benchmark ------------------------------------------------------------------------------

class Bench:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.tmp = choose_scratch(args.tmpdir, self.work)
        self.bin = os.path.join(self.work, "bin")
        for d in (self.work, self.tmp, self.bin):
            os.makedirs(d, exist_ok=True)
        left = empty_directory(self.tmp)
        if left:
            log(f"removed {len(left)} leftovers from {self.tmp}")
        self.env = {"PATH": "/usr/local/bin:/usr/bin:/bin", "HOME": os.environ.get("HOME", "/root"),
                    "LANG": "C.UTF-8", "TMPDIR": self.tmp}
        measure = os.path.join(self.bin, "measure")
        sh(f"gcc -O2 -o '{measure}' '{BENCH}/measure.c'", self.env)
        self.runner = Runner(self.work, self.env, measure)
        self.results = {"native": {}, "wine": {}, "build": {}, "packing": {}, "notes": []}

    def level_of(self, name):
        return self.args.level_80mb if name == "app-80mb" else self.args.level

    # Tools and inputs
    def prepare_tools(self):
        a = self.args
        build = os.path.abspath(a.build)
        self.packer = os.path.abspath(a.packer) if a.packer else os.path.join(build, "linux", "bin", "onefile-pack")
        if not os.access(self.packer, os.X_OK):
            fail(f"no packer at {self.packer}; build the linux preset first (scripts/bench does)")
        for tool in ("gcc",) if a.pack_only else ("tar", "zstd", "makeself", "gcc"):
            if shutil.which(tool) is None:
                fail(f"{tool} is not installed (scripts/bench installs what is missing)")
        # Copies of the fixtures, so that a rebuild elsewhere during the run changes nothing here.
        linux_dir = os.path.join(self.bin, "linux")
        os.makedirs(linux_dir, exist_ok=True)
        for f in ("fixture_app.so", "fixture_helper.so"):
            shutil.copy2(os.path.join(build, "linux", "bin", f), linux_dir)
        sh(f"gcc -O2 -o '{linux_dir}/host' '{BENCH}/host.c' -ldl", self.env)
        self.linux_fixture = [os.path.join(linux_dir, f) for f in ("fixture_app.so", "fixture_helper.so", "host")]
        if a.wine:
            win_dir = os.path.join(self.bin, "windows")
            os.makedirs(win_dir, exist_ok=True)
            for f in ("fixture_app.dll", "fixture_helper.dll"):
                shutil.copy2(os.path.join(build, "windows", "bin", f), win_dir)
            sh(f"x86_64-w64-mingw32-gcc -O2 -municode -o '{win_dir}/host.exe' '{BENCH}/host.c'", self.env)
            self.windows_fixture = [os.path.join(win_dir, f) for f in ("fixture_app.dll", "fixture_helper.dll")]
            self.windows_host = os.path.join(win_dir, "host.exe")
        self.versions = {"onefile-pack": tool_version([self.packer, "--version"])}
        if not a.pack_only:
            self.versions.update({
                "tar": tool_version(["tar", "--version"]),
                "zstd": tool_version(["zstd", "--version"]),
                "makeself": tool_version(["makeself", "--version"]),
            })
        if a.wine:
            self.versions["wine"] = tool_version(["wine", "--version"])

    def prepare_native(self, name):
        """Packs, archives and bundles one workload; returns its artefact paths."""
        level = self.level_of(name)
        stamp = ensure_data(self.work, name)
        app = assemble_app(self.work, name, "linux", self.linux_fixture)
        files, size = directory_size(app)
        art = os.path.join(self.work, "art", name)
        os.makedirs(art, exist_ok=True)
        exe = os.path.join(art, "app.run")
        tarzst = os.path.join(art, "app.tar.zst")
        bundle = os.path.join(art, "app.makeself.sh")

        log(f"{name}: packing {files} files, {fmt_size(size)}, level {level}")
        pack_wall, pack_rss, pack_self = self.pack(exe, app, level)

        # The tar.zst and the makeself archive take long at high levels; they are rebuilt only when
        # their inputs or tools change.
        key = {"data": stamp["sha256"], "level": level, "versions": [self.versions[t] for t in
               ("tar", "zstd", "makeself")], "fixture": [file_digest(f) for f in self.linux_fixture]}
        key_path = os.path.join(art, "others.json")
        cached = read_stamp(key_path)
        if self.args.rebuild or cached is None or cached.get("key") != key \
                or not (os.path.exists(tarzst) and os.path.exists(bundle)):
            log(f"{name}: building tar.zst and makeself archive at level {level}")
            threads = 2  # as many compression workers as the packer uses
            tar_wall = sh(f"tar -C '{app}' --sort=name -cf - . | zstd -q -{level} -T{threads} -o '{tarzst}' -f", self.env)
            ms_wall = sh(f"makeself --quiet --zstd --complevel {level} --threads {threads} --nox11 --nomd5 --nocrc "
                         f"'{app}' '{bundle}' bench ./host exit 0", self.env)
            cached = {"key": key, "tar_zst_build_s": tar_wall, "makeself_build_s": ms_wall,
                      "built": datetime.datetime.now().isoformat(timespec="seconds")}
            write_stamp(key_path, cached)
        self.results["build"][name] = {
            "files": files, "bytes": size, "level": level, "data_sha256": stamp["sha256"],
            "pack_s": pack_wall, "pack_rss_kib": pack_rss, "pack_self_rss_kib": pack_self,
            "exe_bytes": os.path.getsize(exe),
            "tar_zst_bytes": os.path.getsize(tarzst), "makeself_bytes": os.path.getsize(bundle),
            "tar_zst_build_s": cached["tar_zst_build_s"], "makeself_build_s": cached["makeself_build_s"],
            "others_built": cached["built"]}
        direct = os.path.join(app, "host")
        return {"exe": exe, "tarzst": tarzst, "bundle": bundle, "direct": direct}

    def pack(self, exe, app, level):
        """Packs once; returns (wall seconds, peak RSS KiB of the largest process of the pack (any
        program an older packer runs included), peak RSS KiB of the packer's own process)."""
        return self.runner.run(
            [self.packer, "--quiet", "--target", "linux", "--level", str(level), "-o", exe, app, "fixture_app.so"],
            self_rss=True)

    def pack_only(self):
        """Packing alone, --reps times per workload: time and the peak memory of the packer and of
        the largest process (with an older packer, the linker it ran, when that is larger)."""
        for name in self.args.workloads:
            level = self.level_of(name)
            stamp = ensure_data(self.work, name)
            app = assemble_app(self.work, name, "linux", self.linux_fixture)
            files, size = directory_size(app)
            exe = os.path.join(self.work, "art", name, "app.run")
            os.makedirs(os.path.dirname(exe), exist_ok=True)
            walls, trees, selves = [], [], []
            for rep in range(self.args.reps):
                wall, tree, own = self.pack(exe, app, level)
                walls.append(wall)
                trees.append(tree)
                selves.append(own)
                log(f"{name}: packed in {wall:.1f} s, packer {fmt_mib(own)} MiB, largest process {fmt_mib(tree)} MiB")
            self.results["packing"][name] = {
                "files": files, "bytes": size, "level": level, "data_sha256": stamp["sha256"],
                "exe_bytes": os.path.getsize(exe), "exe_sha256": file_digest(exe),
                "pack_s": walls, "pack_rss_kib": trees, "pack_self_rss_kib": selves}

    # One measured run of one tool
    def run_native(self, tool, art):
        r = self.runner
        if tool == "onefile":
            wall, rss = r.run([art["exe"], "exit", "0"])
        elif tool == "tar+rm":
            target = os.path.join(self.tmp, "tar-extract")
            wall, rss = r.run(["tar", "-I", "zstd", "-xf", art["tarzst"], "-C", target], ["rm", "-rf", target],
                              mkdir=target)
        elif tool == "makeself":
            wall, rss = r.run([art["bundle"]])
        elif tool == "zstd -d":
            wall, rss = r.run(["zstd", "-d", "-q", "-c", art["tarzst"]])
        elif tool == "direct":
            wall, rss = r.run([art["direct"], "exit", "0"])
        else:
            raise ValueError(tool)
        left = empty_directory(self.tmp)
        if left:
            note = f"{tool} left {left[:3]} in TMPDIR"
            if note not in self.results["notes"]:
                self.results["notes"].append(note)
            log("warning: " + note)
        return wall, rss

    def measure(self, section, name, tools, run_one):
        a = self.args
        samples = {t: {"wall": [], "rss": []} for t in tools}
        for rep in range(-a.warmup, a.reps):
            # Every tool runs once per repetition; the starting tool rotates so that no tool always
            # follows the same other one.
            for i in range(len(tools)):
                tool = tools[(rep + i) % len(tools)]
                wall, rss = run_one(tool)
                if rep >= 0:
                    samples[tool]["wall"].append(wall)
                    samples[tool]["rss"].append(rss)
        self.results[section][name] = samples
        ours = samples["onefile"]["wall"]
        log(f"{name}: " + ", ".join(f"{t} {fmt_ms(statistics.median(s['wall']))} ms" for t, s in samples.items()))
        for tool, s in samples.items():
            s["ratio"] = [o / w for o, w in zip(ours, s["wall"])]  # onefile ÷ tool, per repetition

    def native(self):
        arts = {name: self.prepare_native(name) for name in self.args.workloads}
        # Freshly written artefacts are flushed first, so that their writeback does not run during
        # the measurements.
        os.sync()
        for name, art in arts.items():
            tools = NATIVE_TOOLS + (["direct"] if name == "empty" else [])
            self.measure("native", name, tools, lambda tool: self.run_native(tool, art))

    # Wine
    def wine(self):
        prefix = os.path.join(self.work, "wineprefix")
        if not os.path.isfile(os.path.join(prefix, "system.reg")):
            template = os.path.join(ROOT, ".deps", "wineprefix")
            if not os.path.isfile(os.path.join(template, "system.reg")):
                fail(f"no Wine prefix template at {template}; run scripts/setup")
            log("copying the Wine prefix template")
            shutil.rmtree(prefix, ignore_errors=True)
            sh(f"cp -a '{template}' '{prefix}'", self.env)
        env = {k: v for k, v in self.env.items() if k != "TMPDIR"}
        env.update(WINE_ENV, WINEPREFIX=prefix)
        # The Windows temp directory of the bench's own prefix is a link into the scratch directory,
        # so that the Windows executable unpacks onto the same file system as the native tools.
        temp = os.path.join(prefix, "drive_c", "users", os.environ.get("USER", "root"), "Temp")
        if os.path.islink(temp):
            os.unlink(temp)
        else:
            shutil.rmtree(temp, ignore_errors=True)
        wine_temp = os.path.join(self.tmp, "wine-temp")
        os.makedirs(wine_temp, exist_ok=True)
        os.symlink(wine_temp, temp)
        # One persistent server for the whole measurement; the prefix is the bench's own, so a server
        # still running for it is a leftover of an earlier run.
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-p"], env=env, check=True)
        try:
            direct_dir = os.path.join(self.work, "apps", "direct-windows")
            shutil.rmtree(direct_dir, ignore_errors=True)
            os.makedirs(direct_dir)
            for f in self.windows_fixture + [self.windows_host]:
                shutil.copy2(f, direct_dir)
            direct = os.path.join(direct_dir, "host.exe")
            self.runner.run(["wine", direct, "exit", "0"], env=env)  # starts the prefix's services
            for name in self.args.wine_workloads:
                ensure_data(self.work, name)
                app = assemble_app(self.work, name, "windows", self.windows_fixture)
                files, size = directory_size(app)
                exe = os.path.join(self.work, "art", f"{name}-windows.exe")
                os.makedirs(os.path.dirname(exe), exist_ok=True)
                level = self.level_of(name)
                log(f"wine {name}: packing {files} files, {fmt_size(size)}, level {level}")
                pack_wall, _ = self.runner.run([self.packer, "--quiet", "--target", "windows", "--level",
                                                str(level), "-o", exe, app, "fixture_app.dll"])
                os.sync()
                before = set(os.listdir(wine_temp))

                def run_one(tool):
                    argv = ["wine", exe if tool == "onefile" else direct, "exit", "0"]
                    result = self.runner.run(argv, env=env)
                    left = set(os.listdir(wine_temp)) - before
                    if left:
                        note = f"wine {tool} left {sorted(left)[:3]} in the Windows temp directory"
                        if note not in self.results["notes"]:
                            self.results["notes"].append(note)
                        log("warning: " + note)
                        for n in left:
                            shutil.rmtree(os.path.join(wine_temp, n), ignore_errors=True)
                    return result

                self.measure("wine", name, ["onefile", "direct"], run_one)
                self.results["wine"][name]["build"] = {"files": files, "bytes": size, "level": level,
                                                       "pack_s": pack_wall, "exe_bytes": os.path.getsize(exe)}
        finally:
            subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
            os.unlink(temp)
            os.makedirs(temp)
            shutil.rmtree(wine_temp, ignore_errors=True)

    # Whole run
    def run(self):
        a = self.args
        started = time.time()
        self.prepare_tools()
        self.results["machine"] = machine_description(self.work, a.machine)
        self.results["load_before"] = os.getloadavg()
        self.results["settings"] = {
            "reps": a.reps, "warmup": a.warmup, "level_80mb": a.level_80mb, "level": a.level,
            "workloads": a.workloads, "scratch": self.tmp,
            "scratch_fs": fs_type(self.tmp), "wine_workloads": a.wine_workloads if a.wine else [],
            "versions": self.versions, "commit": git_commit(), "seed": workloads.SEED, "packer": self.packer,
            "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds")}
        if a.pack_only:
            self.pack_only()
        else:
            if a.native:
                self.native()
            if a.wine:
                self.wine()
        self.results["load_after"] = os.getloadavg()
        self.results["duration_s"] = time.time() - started
        os.makedirs(a.out, exist_ok=True)
        with open(os.path.join(a.out, "results.json"), "w") as f:
            json.dump(self.results, f, indent=1)
        write_report(self.results, a.out)
        log(f"done in {self.results['duration_s']:.0f} s; results in {os.path.relpath(a.out, ROOT)}/")


def write_report(results, out):
    """Writes results.md and the plot from the results; prints the Markdown."""
    markdown = report(results)
    plot = make_plot(results, out, {"PATH": "/usr/local/bin:/usr/bin:/bin", "LANG": "C.UTF-8"})
    if plot:
        markdown += f"\n![Time and peak memory against application size]({os.path.basename(plot)})\n"
    with open(os.path.join(out, "results.md"), "w") as f:
        f.write(markdown)
    print(markdown)


def choose_scratch(requested, work):
    """The directory every tool unpacks into (TMPDIR). By default a directory on tmpfs when
    /dev/shm is one with room for the largest workload, else bench/work/tmp."""
    if requested:
        return os.path.abspath(requested)
    shm = "/dev/shm"
    try:
        kind = subprocess.run(["stat", "-f", "-c", "%T", shm], capture_output=True, text=True).stdout.strip()
        free = os.statvfs(shm).f_bavail * os.statvfs(shm).f_frsize
    except OSError:
        kind, free = "", 0
    if kind == "tmpfs" and free > 3 * 10**9:
        return os.path.join(shm, f"onefile-bench-{os.getuid()}")
    return os.path.join(work, "tmp")


# --- machine description ------------------------------------------------------------------------

def fs_type(path):
    done = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "-T", path], capture_output=True, text=True)
    if done.returncode == 0 and done.stdout.strip():
        return done.stdout.split()[0]
    return subprocess.run(["stat", "-f", "-c", "%T", path], capture_output=True, text=True).stdout.strip()


def machine_description(work, override):
    if override:
        return override
    cpus = os.cpu_count()
    mem = 0
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                mem = int(line.split()[1]) * 1024
    vendor = ""
    virtual = False
    try:
        with open("/proc/cpuinfo") as f:
            info = f.read()
        if "GenuineIntel" in info:
            vendor = "Intel "
        elif "AuthenticAMD" in info:
            vendor = "AMD "
        virtual = " hypervisor" in info
    except OSError:
        pass
    distro = "Linux"
    try:
        with open("/etc/os-release") as f:
            for line in f:
                if line.startswith("PRETTY_NAME="):
                    distro = line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    fs = fs_type(work)
    kernel = ".".join(platform.release().split(".")[:2])
    kind = "virtual machine" if virtual else "machine"
    return (f"{vendor}x86-64 {kind}, {cpus} logical CPUs, {mem / 2**30:.0f} GiB RAM, {distro}, "
            f"Linux {kernel}, {fs} disk")


def git_commit():
    out = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True, text=True)
    dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"],
                           capture_output=True, text=True).stdout.strip()
    commit = out.stdout.strip() or "unknown"
    return commit + ("+uncommitted changes" if dirty else "")


# --- report -------------------------------------------------------------------------------------

def report(results):
    s = results["settings"]
    lines = ["# onefile start-up benchmark", ""]
    lines.append(f"- Machine: {results['machine']}")
    lines.append(f"- Date: {s['date']}; commit {s['commit']}; run took {results['duration_s']:.0f} s; "
                 f"load average {results['load_before'][0]:.2f} before, {results['load_after'][0]:.2f} after")
    if results.get("packing") and not results["native"]:
        lines.append(f"- Packing alone, {s['reps']} times per workload; medians with [min–max]; packer: {s.get('packer')}")
    else:
        lines.append(f"- {s['reps']} measured repetitions after {s['warmup']} warm-up, tools interleaved within each "
                     f"repetition (the starting tool rotating); medians with [min–max]; ratios are onefile ÷ tool per repetition, then the median")
    lines.append(f"- Compression level {s['level_80mb']} for app-80mb, {s['level']} for the other workloads "
                 f"(the same level for every tool); workload seed {s['seed']}")
    lines.append(f"- Every tool unpacks into {s['scratch']} ({s['scratch_fs']}); under Wine the Windows temp "
                 "directory links there too. Artefacts are read from the page cache (warm).")
    lines.append("- " + "; ".join(f"{k}: {v}" for k, v in s["versions"].items()))
    lines.append("- Peak RSS: the largest single process of the tool's process tree (wait4 rusage); "
                 "for onefile that is the larger of parent and child")
    lines.append("")

    native = results["native"]
    if native:
        lines += summary_table(results)
        lines += ["## Linux: whole-process wall time and peak memory", "",
                  "| Workload | Files | Size | Tool | Wall ms | onefile ÷ tool | Peak RSS MiB |",
                  "|---|---:|---:|---|---:|---:|---:|"]
        for name, samples in native.items():
            b = results["build"][name]
            first = True
            for tool, t in samples.items():
                wall = fmt_range(summary(t["wall"]), fmt_ms)
                ratio = "—" if tool == "onefile" else fmt_range(summary(t["ratio"]), fmt_ratio)
                rss = fmt_range(summary(t["rss"]), fmt_mib)
                head = f"{name} | {b['files']} | {fmt_size(b['bytes'])}" if first else " | | "
                lines.append(f"| {head} | {tool} | {wall} | {ratio} | {rss} |")
                first = False
        lines += ["", "## Linux: packing", "",
                  "| Workload | Level | onefile-pack s | Packer peak RSS MiB | Largest process MiB | Executable | "
                  "tar.zst | Executable ÷ tar.zst | makeself archive |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
        for name, b in results["build"].items():
            own = fmt_mib(b["pack_self_rss_kib"]) if "pack_self_rss_kib" in b else "—"
            lines.append(f"| {name} | {b['level']} | {b['pack_s']:.2f} | {own} | {fmt_mib(b['pack_rss_kib'])} | "
                         f"{b['exe_bytes']:,} | {b['tar_zst_bytes']:,} | "
                         f"{b['exe_bytes'] / b['tar_zst_bytes']:.3f} | {b['makeself_bytes']:,} |")
        lines += ["", "Packer peak RSS: the onefile-pack process alone; largest process: the largest process of "
                  "the pack (wait4), which is the packer itself unless it runs other programs (older packers ran "
                  "the compiler, assembler and linker)."]
        lines.append("")
        lines.append("For reference, `tar | zstd -T2` took " + ", ".join(
            f"{b['tar_zst_build_s']:.2f} s ({n})" for n, b in results["build"].items())
            + " when last built (the packer also compresses with two workers).")
        lines.append("")

    packing = results.get("packing", {})
    if packing:
        lines += packing_table(packing)

    wine = results["wine"]
    if wine:
        lines += ["## Wine: the Windows executable against the application run directly", "",
                  "| Workload | Size | Tool | Wall ms | onefile ÷ direct | onefile − direct ms | Peak RSS MiB |",
                  "|---|---:|---|---:|---:|---:|---:|"]
        for name, samples in wine.items():
            b = samples["build"]
            o = samples["onefile"]["wall"]
            d = samples["direct"]["wall"]
            diff = summary([x - y for x, y in zip(o, d)])
            for tool in ("onefile", "direct"):
                t = samples[tool]
                head = f"{name} | {fmt_size(b['bytes'])}" if tool == "onefile" else " | "
                ratio = fmt_range(summary(samples["direct"]["ratio"]), fmt_ratio) if tool == "onefile" else ""
                over = fmt_range(diff, fmt_ms) if tool == "onefile" else ""
                lines.append(f"| {head} | {tool} | {fmt_range(summary(t['wall']), fmt_ms)} | {ratio} | {over} | "
                             f"{fmt_range(summary(t['rss']), fmt_mib)} |")
        lines += ["", "Wine starts the child as a detached Unix process, not as a descendant of the parent, so "
                  "under Wine the peak RSS column shows the parent process only.", ""]

    if native:
        lines += targets(results)
    if results["notes"]:
        lines += ["## Notes", ""] + [f"- {n}" for n in results["notes"]] + [""]
    return "\n".join(lines)


def packing_table(packing):
    lines = ["## Linux: packing alone", "",
             "| Workload | Files | Size | Level | onefile-pack s | Packer peak RSS MiB | Largest process MiB | Executable |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for name, p in packing.items():
        lines.append(f"| {name} | {p['files']} | {fmt_size(p['bytes'])} | {p['level']} | "
                     f"{fmt_range(summary(p['pack_s']), lambda x: f'{x:.1f}')} | "
                     f"{fmt_range(summary(p['pack_self_rss_kib']), fmt_mib)} | "
                     f"{fmt_range(summary(p['pack_rss_kib']), fmt_mib)} | {p['exe_bytes']:,} |")
    lines += ["", "Packer peak RSS: the onefile-pack process alone (VmHWM at its exit); largest process: the "
              "largest process of the pack (wait4), which is the packer itself unless it runs other programs "
              "(older packers ran the compiler, assembler and linker). Bound for the packer: "
              f"{PACKER_BOUND_MIB} MiB (128 MiB beside the compressor's 128 MiB window).", ""]
    return lines


def summary_table(results):
    """Medians only: one line per workload."""
    native = results["native"]
    tools = [t for t in NATIVE_TOOLS if all(t in s for s in native.values())]
    others = [t for t in tools if t != "onefile"]
    lines = ["## Summary (medians)", "",
             "| Workload | Level | " + " | ".join(f"{t} ms" for t in tools) + " | "
             + " | ".join(f"onefile ÷ {t}" for t in others) + " | onefile peak RSS MiB |",
             "|---|---:|" + "---:|" * (len(tools) + len(others) + 1)]
    for name, samples in native.items():
        b = results["build"][name]
        walls = [fmt_ms(statistics.median(samples[t]["wall"])) for t in tools]
        ratios = [fmt_ratio(statistics.median(samples[t]["ratio"])) for t in others]
        rss = fmt_mib(statistics.median(samples["onefile"]["rss"]))
        lines.append(f"| {name} ({fmt_size(b['bytes'])}) | {b['level']} | " + " | ".join(walls) + " | "
                     + " | ".join(ratios) + f" | {rss} |")
    wine = results["wine"]
    if wine:
        lines.append("")
        lines.append("Under Wine, onefile against the application run directly: " + "; ".join(
            f"{name} {fmt_ms(statistics.median(s['onefile']['wall']))} ms against "
            f"{fmt_ms(statistics.median(s['direct']['wall']))} ms" for name, s in wine.items()) + ".")
    lines.append("")
    return lines


def targets(results):
    native = results["native"]
    lines = ["## Targets", "", "| Target | Measured | Met |", "|---|---|---|"]
    for name, samples in native.items():
        r = summary(samples["tar+rm"]["ratio"])
        lines.append(f"| onefile ≤ tar+rm, {name} | median ratio {r['median']:.2f} [{r['min']:.2f}–{r['max']:.2f}] | "
                     f"{'yes' if r['median'] <= 1.0 else 'no'} |")
    if "app-80mb" in native:
        r = summary(native["app-80mb"]["zstd -d"]["ratio"])
        lines.append(f"| onefile ≤ 1.2 × zstd -d, app-80mb | median ratio {r['median']:.2f} "
                     f"[{r['min']:.2f}–{r['max']:.2f}] | {'yes' if r['median'] <= 1.2 else 'no'} |")
    peaks = {name: max(s["onefile"]["rss"]) for name, s in native.items()}
    worst = max(peaks, key=peaks.get)
    lines.append(f"| onefile peak RSS ≤ {WINDOW_BOUND_MIB} MiB (128 MiB window + a few MiB) | highest {fmt_mib(peaks[worst])} MiB "
                 f"({worst}) | {'yes' if peaks[worst] / 1024 <= WINDOW_BOUND_MIB else 'no'} |")
    sweep = sorted((n for n in native if n.startswith("sweep-")), key=lambda n: results["build"][n]["bytes"])
    if len(sweep) >= 2:
        text = ", ".join(f"{n} {fmt_mib(statistics.median(native[n]['onefile']['rss']))}" for n in sweep)
        largest, previous = sweep[-1], sweep[-2]
        if results["build"][largest]["bytes"] > 128 * MIB:
            # From the previous point on, the peak may still grow by what the window had left to
            # fill, plus a few MiB; anything beyond that grows with the application.
            allowed = max(0, 128 * MIB - results["build"][previous]["bytes"]) / 1024 + 8 * 1024
            growth = statistics.median(native[largest]["onefile"]["rss"]) - \
                statistics.median(native[previous]["onefile"]["rss"])
            verdict = (f"{'yes' if growth <= allowed else 'no'} (+{fmt_mib(growth)} MiB from {previous} to "
                       f"{largest}; at most +{fmt_mib(allowed)} expected)")
        else:
            verdict = "not shown: needs a point beyond 128 MiB (--large)"
        lines.append(f"| onefile peak RSS flat across the sweep once the window is full | median MiB: {text} | {verdict} |")
    lines.append("")
    return lines


# --- plot ---------------------------------------------------------------------------------------

PLOT_TOOLS = ["onefile", "tar+rm", "makeself", "zstd -d"]


def make_plot(results, out, env):
    native = results["native"]
    sweep = sorted((n for n in native if n.startswith("sweep-")), key=lambda n: results["build"][n]["bytes"])
    if len(sweep) < 2 or shutil.which("gnuplot") is None:
        return None
    data = os.path.join(out, "sweep.dat")
    with open(data, "w") as f:
        f.write("# size_MB  then per tool: wall_median_ms wall_min_ms wall_max_ms rss_median_MiB rss_min rss_max\n")
        f.write("# tools: " + ", ".join(PLOT_TOOLS) + "\n")
        for n in sweep:
            row = [f"{results['build'][n]['bytes'] / 1e6:.3f}"]
            for tool in PLOT_TOOLS:
                w = summary(native[n][tool]["wall"])
                r = summary(native[n][tool]["rss"])
                row += [f"{w[k] * 1000:.3f}" for k in ("median", "min", "max")]
                row += [f"{r[k] / 1024:.2f}" for k in ("median", "min", "max")]
            f.write(" ".join(row) + "\n")
    png = os.path.join(out, "time-vs-size.png")
    sizes = [results["build"][n]["bytes"] / 1e6 for n in sweep]
    xrange = f"[{min(sizes) / 1.5:.3f}:{max(sizes) * 1.5:.3f}]"
    styles = ["lc rgb '#d62728' pt 7", "lc rgb '#1f77b4' pt 5", "lc rgb '#2ca02c' pt 9", "lc rgb '#7f7f7f' pt 13 dt 2"]

    def series(first_column):
        parts = []
        for i, tool in enumerate(PLOT_TOOLS):
            c = 2 + i * 6 + first_column
            parts.append(f"'{os.path.basename(data)}' using 1:{c}:{c + 1}:{c + 2} with yerrorlines lw 2 {styles[i]} title '{tool}'")
        return ", \\\n  ".join(parts)

    script = f"""
set terminal pngcairo size 1200,520 font 'sans,10'
set output '{os.path.basename(png)}'
set multiplot layout 1,2 title 'Start-up of a trivial application against application size ({results["machine"]})' font 'sans,9'
set logscale xy
set xrange {xrange}
set grid xtics ytics mxtics mytics lc rgb '#dddddd'
set key top left
set xlabel 'application size, MB (16 files + main binary)'
set ylabel 'whole-process wall time, ms (median, bars min-max)'
set title 'Wall time'
plot {series(0)}
unset logscale y
set logscale x
set yrange [0:*]
set ylabel 'peak RSS of the largest process, MiB'
set title 'Peak resident memory'
plot {series(3)}
unset multiplot
"""
    script_path = os.path.join(out, "plot.gp")
    with open(script_path, "w") as f:
        f.write(script)
    done = subprocess.run(["gnuplot", os.path.basename(script_path)], cwd=out, env=env, capture_output=True,
                          text=True)
    if done.returncode != 0:
        log("gnuplot failed: " + done.stderr.strip())
        return None
    return png


# --- command line -------------------------------------------------------------------------------

def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--reps", type=int, default=10, help="measured repetitions per workload (default 10)")
    p.add_argument("--warmup", type=int, default=1, help="unmeasured warm-up repetitions (default 1)")
    p.add_argument("--large", action="store_true", help="add the 1 GB point to the size sweep")
    p.add_argument("--workloads", help="comma-separated workloads to run natively (default: "
                   + ",".join(DEFAULT_WORKLOADS) + "; all: " + ",".join(workloads.WORKLOADS) + ")")
    p.add_argument("--wine-workloads", default=",".join(WINE_WORKLOADS),
                   help="comma-separated workloads to run under Wine (default: %(default)s)")
    p.add_argument("--no-wine", dest="wine", action="store_false", help="skip the Wine measurements")
    p.add_argument("--no-native", dest="native", action="store_false", help="skip the native measurements")
    p.add_argument("--level-80mb", type=int, default=19, help="compression level for app-80mb (default 19)")
    p.add_argument("--level", type=int, default=9,
                   help="compression level for the other workloads (default 9, the packer's default)")
    p.add_argument("--rebuild", action="store_true", help="rebuild the cached tar.zst and makeself archives")
    p.add_argument("--pack-only", action="store_true",
                   help="measure packing alone (time, peak memory of the packer and of the largest process) --reps times "
                        "per workload; nothing is started or unpacked")
    p.add_argument("--packer", help="the onefile-pack to measure (default: the linux build's)")
    p.add_argument("--quick", action="store_true",
                   help="a short check: 3 repetitions of empty, sweep-1mb and sweep-10mb")
    p.add_argument("--report-only", action="store_true",
                   help="measure nothing: rewrite results.md and the plot from the result directory's results.json")
    p.add_argument("--machine", help="describe the machine in the results instead of the detected description")
    p.add_argument("--out", help="result directory (default bench/results for a full default run, "
                   "else bench/work/results)")
    p.add_argument("--tmpdir", help="where the tools unpack (TMPDIR); default: a directory on tmpfs "
                   "(/dev/shm) when there is room, else bench/work/tmp")
    p.add_argument("--work", default=os.path.join(BENCH, "work"), help="scratch directory (default bench/work)")
    p.add_argument("--build", default=os.path.join(ROOT, "build"), help="build tree (default build/)")
    a = p.parse_args()

    partial = a.workloads is not None or a.quick or not a.wine or not a.native or a.reps < 10 or a.pack_only \
        or a.packer is not None
    if a.quick:
        a.reps = min(a.reps, 3)
        a.workloads = a.workloads or "empty,sweep-1mb,sweep-10mb"
        a.wine_workloads = "empty"
    names = (a.workloads or ",".join(DEFAULT_WORKLOADS + (["sweep-1gb"] if a.large else []))).split(",")
    wine_names = a.wine_workloads.split(",") if a.wine_workloads else []
    for n in names + wine_names:
        if n not in workloads.WORKLOADS:
            fail(f"unknown workload {n}; known: {', '.join(workloads.WORKLOADS)}")
    a.workloads, a.wine_workloads = names, wine_names
    if a.out is None:
        a.out = os.path.join(BENCH, "work", "results") if partial else os.path.join(BENCH, "results")
    a.out = os.path.abspath(a.out)
    if a.report_only:
        with open(os.path.join(a.out, "results.json")) as f:
            write_report(json.load(f), a.out)
        return
    if a.reps < 1 or a.warmup < 0:
        fail("--reps must be at least 1 and --warmup at least 0")
    try:
        Bench(a).run()
    except Failed as e:
        fail(str(e))


if __name__ == "__main__":
    main()
