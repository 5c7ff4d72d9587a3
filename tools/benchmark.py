#!/usr/bin/env python3
"""Measures the installer's engine on this machine against the plain tools doing the same work.

Builds the benchmark program (CMake target kovra_bench, standard brand), makes two packages with
tools/make_package.py (200 MiB in 20 files; 50 MiB in 5,000 files), serves them with the local
vendor server on loopback, and times, several times each, in alternating order:

  download        the download task thread (libcurl)    against  curl -o
  unpack + copy   the install thread                     against  7z x, then cp -r
  log handler     lines per second from one and from two threads
  memory          the engine's peak resident memory during a 200 MiB download and install

The engine's time is that of the operation alone, as it runs inside the installer (the
benchmark program reports it without its own start and exit); the tools' times are whole
processes, as a user would run them. Ratios are engine time over reference time, paired run by
run, after one untimed pair; the table shows their median and range. Before each timed run
the disk is synced, and before each unpack the script waits a few seconds: ext4 makes new files
slow while many files were deleted only moments ago, which would otherwise fall on whichever
side comes next.
Two rows need the finished installer window and are left as hooks (row_whole_install,
row_startup): the whole install from the click to the finished page against the three tools
in a row, and the start-up from process start to the window shown.

Usage: tools/benchmark.py [--reps N] [--settle SECONDS] [--build DIR] [--work DIR] [--markdown]
Needs: cmake, g++, Qt 5, libcurl (as for the installer), curl, 7z, python3.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1024 * 1024
PACKAGES = [
    # name, size, files
    ("200 MiB in 20 files", "200M", 20),
    ("50 MiB in 5,000 files", "50M", 5000),
]


class Bench:
    def __init__(self, args):
        self.reps = args.reps
        self.pause = args.settle
        self.build = os.path.abspath(args.build)
        self.work = os.path.abspath(args.work)
        self.program = os.path.join(self.build, "bench", "kovra_bench")
        self.home = os.path.join(self.work, "home")
        self.server = None
        self.base_url = None
        self.rows = []

    # --- set-up ---------------------------------------------------------------------------

    def build_program(self):
        if not os.path.isfile(os.path.join(self.build, "CMakeCache.txt")):
            run(["cmake", "-S", TOP, "-B", self.build, "-DGREEN_BRAND=OFF"])
        run(["cmake", "--build", self.build, "-j2", "--target", "kovra_bench",
             "kovraSetupOnline"])

    def make_packages(self):
        folder = os.path.join(self.work, "packages")
        os.makedirs(folder, exist_ok=True)
        self.packages = []
        for label, size, files in PACKAGES:
            name = "package-%s-%d.7z" % (size, files)
            path = os.path.join(folder, name)
            if not os.path.isfile(path):
                print("making", label, "...", file=sys.stderr, flush=True)
                run([sys.executable, os.path.join(TOP, "tools", "make_package.py"),
                     "--size", size, "--files", str(files), "--out", path])
            self.packages.append((label, name, path))

    def start_server(self):
        self.server = subprocess.Popen(
            [sys.executable, os.path.join(TOP, "tools", "vendor_server.py"), "--port", "0",
             "--root", os.path.join(self.work, "packages"), "--exit-with-stdin"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.server.stdout.readline()
        match = re.search(r"listening on (http://[^\s]+)", line)
        if not match:
            raise SystemExit("the vendor server did not start: %r" % line)
        self.base_url = match.group(1)

    def stop_server(self):
        if self.server:
            self.server.stdin.close()
            self.server.terminate()
            self.server.wait(10)

    def url(self, name):
        return "%s/upload/pc/%s" % (self.base_url, name)

    # --- one timed command ----------------------------------------------------------------

    def engine(self, *arguments):
        """Runs the benchmark program; returns (seconds of the operation, {name: value})."""
        environment = dict(os.environ, HOME=self.home)
        for name in ("XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"):
            environment.pop(name, None)
        _, output = timed([self.program] + list(arguments), environment)
        values = {}
        for line in output.splitlines():
            name, _, value = line.partition(" ")
            values[name] = value
        return float(values["seconds"]), values

    def paired(self, label, engine_run, reference_run, goal):
        """Alternates engine and reference runs; records the median of the paired ratios."""
        engine_times, reference_times = [], []
        # One untimed pair first: the first files made in new folders after a large deletion
        # come slowly on ext4, and that cost belongs to neither side.
        engine_run()
        reference_run()
        for rep in range(self.reps):
            order = [(engine_run, engine_times), (reference_run, reference_times)]
            if rep % 2:
                order.reverse()
            for action, times in order:
                times.append(action())
        ratios = [e / r for e, r in zip(engine_times, reference_times)]
        self.rows.append({
            "row": label,
            "engine": "%.3f s" % statistics.median(engine_times),
            "reference": "%.3f s" % statistics.median(reference_times),
            "value": statistics.median(ratios),
            "shown": "%.2f" % statistics.median(ratios),
            "goal": goal,
            "spread": "%.2f-%.2f" % (min(ratios), max(ratios)),
        })
        return statistics.median(reference_times)

    # --- rows -----------------------------------------------------------------------------

    def row_download(self, label, name):
        # curl writes where the engine does, so that both meet the same folder on disk.
        download_folder = os.path.join(self.home, ".local", "share", "kovra_bench")
        curl_file = os.path.join(download_folder, "lumerixtemp.7z")

        def engine():
            remove(download_folder)
            settle()
            seconds, values = self.engine("download", self.url(name))
            expect(int(values.get("bytes", -1)) == size_of(self, name), "download size")
            return seconds

        def reference():
            remove(download_folder)
            os.makedirs(download_folder)
            settle()
            seconds, _ = timed(["curl", "-sS", "--fail", "-o", curl_file, self.url(name)])
            return seconds

        return self.paired("download, " + label + " (DownloadManager / curl -o)", engine,
                           reference, ("<=", 1.10))

    def row_unpack_copy(self, label, archive):
        # Both sides use the same folders: where ext4 places a new folder changes how fast files
        # are made in it, and that must not favour either side.
        download = os.path.join(self.work, "unpack-dl")
        install = os.path.join(self.work, "unpack-install")
        packed = os.path.join(download, "lumerixtemp.7z")

        def fresh():
            # As after a download: the archive alone in the download folder.
            remove(download)
            remove(install)
            os.makedirs(download)
            shutil.copyfile(archive, packed)
            settle(self.pause)

        def engine():
            fresh()
            seconds, _ = self.engine("install", packed, install)
            return seconds

        def reference():
            fresh()
            unpack, _ = timed(["7z", "x", packed, "-o" + download, "-aoa"])
            copy, _ = timed(["cp", "-r", os.path.join(download, "Revanto_x64Minimal"), install])
            return unpack + copy

        result = self.paired("unpack + copy, " + label + " (InstallThread / 7z x + cp -r)",
                             engine, reference, ("<=", 1.15))
        remove(download)
        remove(install)
        return result

    def row_check(self, label, archive):
        times = []
        for _ in range(self.reps):
            seconds, _ = self.engine("check", archive)
            times.append(seconds)
        self.rows.append({
            "row": "package check before unpacking, " + label + " (part of the install)",
            "engine": "%.3f s" % statistics.median(times), "reference": "", "value": None,
            "shown": "", "goal": None, "spread": "%.3f-%.3f" % (min(times), max(times)),
        })

    def row_log(self, threads, lines=20000):
        log = os.path.join(self.home, ".cache", "kovra_bench", "install_revanto.log")
        rates = []
        for _ in range(self.reps):
            remove(log)
            _, values = self.engine("log", str(lines), str(threads))
            rates.append(float(values["lines_per_second"]))
        self.rows.append({
            "row": "log handler, %d thread%s (lines per second)"
                   % (threads, "" if threads == 1 else "s"),
            "engine": "%.0f" % statistics.median(rates), "reference": "",
            "value": None, "shown": "", "goal": None,
            "spread": "%.0f-%.0f" % (min(rates), max(rates)),
        })

    def row_memory(self, name):
        install = os.path.join(self.work, "memory-install")
        peaks = []
        for _ in range(self.reps):
            remove(install)
            _, values = self.engine("download-install", self.url(name), install)
            peaks.append(int(values["peak_rss_kib"]) / 1024)
        remove(install)
        self.rows.append({
            "row": "peak resident memory, 200 MiB download + install (MiB)",
            "engine": "%.1f" % max(peaks), "reference": "",
            "value": max(peaks), "shown": "%.1f" % max(peaks), "goal": ("<", 80),
            "spread": "%.1f-%.1f" % (min(peaks), max(peaks)),
        })

    def row_whole_install(self, tools_seconds):
        """Hook: the real installer under Xvfb, driven with xdotool from the click on the
        install button to the finished page, against curl + 7z x + cp -r in a row
        (tools_seconds, measured here already). Comes with the finished window."""
        self.rows.append({
            "row": "whole install, click to finished page (installer / curl + 7z x + cp -r)",
            "engine": "pending", "reference": "%.3f s" % tools_seconds, "value": None,
            "shown": "", "goal": ("<=", 1.20), "spread": "",
        })

    def row_startup(self):
        """Hook: process start to the window shown, with the real installer under Xvfb.
        Comes with the finished window."""
        self.rows.append({
            "row": "start-up, process start to window shown",
            "engine": "pending", "reference": "", "value": None, "shown": "", "goal": None,
            "spread": "",
        })

    # --- report ---------------------------------------------------------------------------

    def table(self, markdown):
        header = ["row", "engine", "reference", "ratio / value", "goal", "met", "spread"]
        lines = []
        for row in self.rows:
            goal = "%s %g" % row["goal"] if row["goal"] else ""
            met = ""
            if row["goal"] and row["value"] is not None:
                sign, limit = row["goal"]
                met = "yes" if (row["value"] <= limit if sign == "<=" else
                                row["value"] < limit) else "NO"
            lines.append([row["row"], row["engine"], row["reference"], row["shown"], goal, met,
                          row["spread"]])
        if markdown:
            out = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
            out += ["| " + " | ".join(line) + " |" for line in lines]
            return "\n".join(out)
        widths = [max(len(str(x)) for x in column) for column in zip(header, *lines)]
        fmt = "  ".join("%%-%ds" % w for w in widths)
        return "\n".join([fmt % tuple(header), fmt % tuple("-" * w for w in widths)]
                         + [fmt % tuple(line) for line in lines])


# --- helpers ------------------------------------------------------------------------------

def run(command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)


def timed(command, environment=None):
    start = time.perf_counter()
    result = subprocess.run(command, env=environment, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    seconds = time.perf_counter() - start
    if result.returncode != 0:
        raise SystemExit("%s failed (%d):\n%s%s" % (" ".join(command), result.returncode,
                                                    result.stdout, result.stderr[-3000:]))
    return seconds, result.stdout


def settle(pause=0.0):
    # Dirty pages of the previous run must not be written out during the next one.
    os.sync()
    time.sleep(pause)


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


def expect(condition, what):
    if not condition:
        raise SystemExit("unexpected result: " + what)


def size_of(bench, name):
    return os.path.getsize(os.path.join(bench.work, "packages", name))


def machine():
    def first(command):
        try:
            return subprocess.run(command, stdout=subprocess.PIPE, text=True,
                                  stderr=subprocess.DEVNULL).stdout
        except OSError:
            return ""
    model = re.search(r"Model name:\s*(.+)", first(["lscpu"]))
    memory = re.search(r"MemTotal:\s*(\d+)", open("/proc/meminfo").read())
    disk = first(["df", "-hT", TOP]).splitlines()[-1:]
    return "%s, %s CPUs, %.1f GiB memory, disk: %s" % (
        model.group(1).strip() if model else "unknown CPU", os.cpu_count(),
        int(memory.group(1)) / 1024 / 1024 if memory else 0, " ".join(disk[0].split()) if disk
        else "unknown")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=5, help="repetitions of each row (5)")
    parser.add_argument("--settle", type=float, default=6.0,
                        help="seconds to wait before each unpack (6)")
    parser.add_argument("--build", default=os.path.join(TOP, "build", "standard"),
                        help="build folder of the standard brand")
    parser.add_argument("--work", default=os.path.join(TOP, "build", "benchmark"),
                        help="folder for packages and copies (keeps the packages)")
    parser.add_argument("--markdown", action="store_true", help="print the table as Markdown")
    args = parser.parse_args()

    bench = Bench(args)
    bench.build_program()
    os.makedirs(bench.home, exist_ok=True)
    bench.make_packages()
    bench.start_server()
    try:
        print("machine:", machine(), file=sys.stderr, flush=True)
        tools = {}
        for label, name, path in bench.packages:
            print("download,", label, "...", file=sys.stderr, flush=True)
            tools[name] = bench.row_download(label, name)
        for label, name, path in bench.packages:
            print("unpack + copy,", label, "...", file=sys.stderr, flush=True)
            tools[name] += bench.row_unpack_copy(label, path)
            bench.row_check(label, path)
        print("log handler ...", file=sys.stderr, flush=True)
        bench.row_log(1)
        bench.row_log(2)
        print("memory ...", file=sys.stderr, flush=True)
        big = bench.packages[0][1]
        bench.row_memory(big)
        bench.row_whole_install(tools[big])
        bench.row_startup()
    finally:
        bench.stop_server()
    print(bench.table(args.markdown))


if __name__ == "__main__":
    main()
