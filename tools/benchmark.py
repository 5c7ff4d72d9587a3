#!/usr/bin/env python3
"""Measures the installer's engine on this machine against the plain tools doing the same work.

Builds the benchmark program (CMake target kovra_bench, standard brand), makes three packages with
tools/make_package.py (200 MiB of random filler in 20 files; 50 MiB in 5,000 files; 200 MiB of the
system's shared libraries in 2,000 files, compressible program code as real products are),
serves them with the local vendor server on loopback, and times, several times each, in
alternating order:

  download        the download task thread (libcurl)    against  curl -o
  signature       the same download with the package's signature fetched and verified
                  against  the download without a key
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
The whole install runs the real installer on a private Xvfb display with openbox, served by a
second vendor server on the production port of the build: from the click on the install button
(xdotool) to the finished page (its "pc-install-success" record reaching the server), against
curl, 7z x and cp -r run one after the other; the same runs give the start-up (process start to
the warning box, plus its dismissal to the window shown) and the installer's peak resident
memory, and a few more runs the same without Qt's OpenGL set-up.
With --wine it times only the Windows build's single file under Wine instead: from its start to
the warning box, against the installer of its distribution folder.

Usage: tools/benchmark.py [--reps N] [--settle SECONDS] [--build DIR] [--work DIR] [--markdown]
                         [--no-window] [--wine]
Needs: cmake, g++, Qt 5, libcurl and libsodium (as for the installer), curl, 7z, minisign,
python3, Xvfb, openbox, xdotool, xprop; the production port of the build must be free.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import threading
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1024 * 1024
PACKAGES = [
    # name, size, files, filler
    ("200 MiB in 20 files", "200M", 20, "random"),
    ("50 MiB in 5,000 files", "50M", 5000, "random"),
    ("200 MiB of libraries in 2,000 files", "200M", 2000, "libraries"),
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
        # A key pair of the benchmark's own: each package is served with its signature.
        key = os.path.join(self.work, "minisign.key")
        if not os.path.isfile(key):
            run(["minisign", "-G", "-f", "-W", "-p", key + ".pub", "-s", key])
        self.public_key = open(key + ".pub").read().splitlines()[1]
        self.packages = []
        for label, size, files, filler in PACKAGES:
            name = "package-%s-%d-%s.7z" % (size, files, filler)
            path = os.path.join(folder, name)
            if not os.path.isfile(path):
                print("making", label, "...", file=sys.stderr, flush=True)
                run([sys.executable, os.path.join(TOP, "tools", "make_package.py"),
                     "--size", size, "--files", str(files), "--filler", filler, "--out", path])
            run(["minisign", "-S", "-s", key, "-m", path])
            self.packages.append((label, name, path))

    def start_server(self):
        self.server, self.base_url = start_vendor_server(os.path.join(self.work, "packages"))

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

        self.paired("download, " + label + " (DownloadManager / curl -o)", engine, reference,
                    ("<=", 1.10))

    def row_verified_download(self, label, name):
        def download(*key):
            def run_once():
                remove(download_folder)
                settle()
                return self.engine("download", self.url(name), *key)[0]
            return run_once

        download_folder = os.path.join(self.home, ".local", "share", "kovra_bench")
        self.paired("download, " + label + ", signature verified (with the key / without)",
                    download(self.public_key), download(), None)

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

        self.paired("unpack + copy, " + label + " (InstallThread / 7z x + cp -r)", engine,
                    reference, ("<=", 1.15))
        remove(download)
        remove(install)

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

    def row_whole_install(self, label, name, first):
        """The real installer on a private display, clicked with xdotool: from the click on the
        install button to the finished page, against curl, 7z x and cp -r run in a row the same
        way (one settle before, none between: the installer does not wait for the disk either).
        For the first package, the same runs give the start-up and the installer's peak memory;
        a second set of runs without Qt's OpenGL integration shows what Mesa's software renderer
        adds under Xvfb."""
        sessions = []

        def installer():
            sessions.append(desktop.session())
            return sessions[-1]["install"]

        with InstallerDesktop(self) as desktop:
            desktop.serve(os.path.join(self.work, "packages", name))
            self.paired("whole install, %s, click to finished page (installer / curl, 7z x, "
                        "cp -r in a row)" % label, installer, desktop.tools_in_a_row,
                        ("<=", 0.70))
            if not first:
                return
            sessions = sessions[1:]  # the untimed first run
            plain = [desktop.session({"QT_XCB_GL_INTEGRATION": "none"})
                     for _ in range(self.reps)]
        for label, runs in (("", sessions), (", without OpenGL", plain)):
            starts = [run["startup"] for run in runs]
            self.rows.append({
                "row": "start-up, process start to window shown%s (warning box left out)" % label,
                "engine": "%.3f s" % statistics.median(starts), "reference": "", "value": None,
                "shown": "", "goal": None, "spread": "%.3f-%.3f" % (min(starts), max(starts)),
            })
        for label, runs, key, goal in (
                ("peak resident memory of the installer, 200 MiB install (MiB)", sessions,
                 "peak_mib", ("<", 80)),
                ("  of which its own (anonymous) memory (MiB)", sessions, "anon_mib", None),
                ("peak resident memory, without OpenGL (MiB)", plain, "peak_mib", ("<", 80))):
            values = [run[key] for run in runs]
            self.rows.append({
                "row": label, "engine": "%.1f" % max(values), "reference": "",
                "value": max(values), "shown": "%.1f" % max(values) if goal else "",
                "goal": goal, "spread": "%.1f-%.1f" % (min(values), max(values)),
            })

    def row_wine_startup(self):
        """The single file a Windows user downloads (tools/windows/build.sh, standard brand)
        under Wine on a private display: from its start to the warning box on screen, against
        the installer of its distribution folder started the same way, so that the difference is
        the file's own unpacking. One fresh prefix whose Wine server keeps running, as a Windows
        session does."""
        windows = os.path.join(TOP, "build", "windows-standard")
        single = os.path.join(windows, "lumerixMasterInstaller.exe")
        expect(os.path.isfile(single), "a single file: run tools/windows/build.sh first")
        singles = []
        with InstallerDesktop(self) as desktop:
            environment = dict(desktop.environment, WINEPREFIX=os.path.join(desktop.work, "wine"),
                               HOME=os.path.join(desktop.work, "home"), WINEDEBUG="-all",
                               LANG="C.UTF-8", LC_ALL="C.UTF-8",
                               WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d")
            os.makedirs(environment["HOME"])
            run_in(["wine", "wineboot", "--init"], environment)
            run_in(["wineserver", "--wait"], environment)
            drive = os.path.join(environment["WINEPREFIX"], "drive_c")
            shutil.copy(single, drive)
            shutil.copytree(os.path.join(windows, "dist"), os.path.join(drive, "setup"))
            desktop.processes.append(subprocess.Popen(
                ["wineserver", "--foreground", "--persistent"], env=environment))

            def start_up(program, times=None):
                started = time.perf_counter()
                process = subprocess.Popen(["wine", program], env=environment,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                desktop.wait(lambda: output(["xdotool", "search", "--onlyvisible", "--name",
                                             "^Tip$"], environment).strip(), 60, "the warning")
                seconds = time.perf_counter() - started
                run_in(["wine", "taskkill", "/f", "/im", "kovraSetupOnline.exe"], environment)
                process.wait(60)
                if times is not None:
                    times.append(seconds)
                return seconds

            self.paired("start-up under Wine, file start to warning box (single file / its "
                        "folder's installer)",
                        lambda: start_up(r"C:\lumerixMasterInstaller.exe", singles),
                        lambda: start_up(r"C:\setup\kovraSetupOnline.exe"), None)
            run_in(["wineserver", "--kill"], environment)
        singles = singles[1:]  # the untimed first run
        self.rows.append({
            "row": "start-up under Wine, single file start to warning box",
            "engine": "%.3f s" % statistics.median(singles), "reference": "",
            "value": statistics.median(singles), "shown": "%.3f" % statistics.median(singles),
            "goal": ("<=", 2.0), "spread": "%.3f-%.3f" % (min(singles), max(singles)),
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


class MemoryWatch:
    """Samples a process's anonymous resident memory every 10 ms (the kernel keeps the peak of
    the whole resident set only, shared libraries included)."""

    def __init__(self, pid):
        self.pid = pid
        self.peak_kib = 0
        self.running = True
        self.thread = threading.Thread(target=self.watch, daemon=True)
        self.thread.start()

    def watch(self):
        while self.running:
            try:
                with open("/proc/%d/status" % self.pid) as status:
                    found = re.search(r"RssAnon:\s*(\d+)", status.read())
            except OSError:
                return
            if found:
                self.peak_kib = max(self.peak_kib, int(found.group(1)))
            time.sleep(0.01)

    def stop(self):
        self.running = False
        self.thread.join()


class InstallerDesktop:
    """The real installer (standard brand) on a private Xvfb display with openbox, with a vendor
    server on the build's production port; each session starts it in a fresh home folder."""

    INSTALL_BUTTON = (5 + 245 + 80, 5 + 252 + 25)  # the middle of the install button

    def __init__(self, bench):
        self.bench = bench
        self.work = os.path.join(bench.work, "window")
        self.installer = os.path.join(bench.build, "installer", "kovraSetupOnline")
        self.processes = []
        self.environment = None
        self.oplog = os.path.join(self.work, "oplog.txt")
        cache = open(os.path.join(bench.build, "CMakeCache.txt")).read()
        url = re.search(r"^KOVRA_PRODUCTION_SERVER_URL:\w+=(.*)$", cache, re.M).group(1)
        match = re.fullmatch(r"http://(127\.0\.0\.1|localhost):(\d+)", url.strip())
        if not match:
            raise SystemExit("the production server of this build is %s, not on loopback" % url)
        self.port = match.group(2)

    def __enter__(self):
        remove(self.work)
        os.makedirs(os.path.join(self.work, "tmp"))
        read_end, write_end = os.pipe()
        # A display at 100 % (96 DPI): the window has the size the clicks expect.
        self.start(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24",
                    "-dpi", "96", "-nolisten", "tcp"], pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            display = pipe.readline().strip()
        if not display:
            raise SystemExit("Xvfb did not start")
        self.environment = dict(os.environ, DISPLAY=":" + display, QT_QPA_PLATFORM="xcb",
                                TMPDIR=os.path.join(self.work, "tmp"))
        for name in ("XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "WAYLAND_DISPLAY"):
            self.environment.pop(name, None)
        self.start(["openbox", "--sm-disable"])
        self.wait(lambda: "window id" in output(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"],
                                                self.environment), 20, "openbox")
        return self

    def __exit__(self, *_):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                process.wait(10)

    def start(self, command, **options):
        process = subprocess.Popen(command, env=self.environment, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, **options)
        self.processes.append(process)
        return process

    def serve(self, archive):
        root = os.path.join(self.work, "packages")
        os.makedirs(root)
        os.symlink(archive, os.path.join(root, "lumerixSetupx64_min.7z"))
        server, _ = start_vendor_server(root, self.port, "--oplog", self.oplog)
        self.processes.append(server)

    def wait(self, condition, seconds, what):
        deadline = time.perf_counter() + seconds
        while time.perf_counter() < deadline:
            result = condition()
            if result:
                return result
            time.sleep(0.005)
        raise SystemExit("the benchmark waited in vain for " + what)

    def window(self, pid, main):
        """The installer's visible main window (main) or other window (the boxes), or None."""
        found = output(["xdotool", "search", "--onlyvisible", "--pid", str(pid)],
                       self.environment).split()
        for window in found:
            name = output(["xdotool", "getwindowname", window], self.environment).strip()
            if (name == "kovraSetupOnline") == main:
                return window
        return None

    def records(self):
        try:
            with open(self.oplog, encoding="utf-8") as log:
                return [line for line in log if line.strip()]
        except FileNotFoundError:
            return []

    def tools_in_a_row(self):
        """curl -o, 7z x and cp -r one after the other, into folders like the installer's."""
        folder = os.path.join(self.work, "tools")
        download = os.path.join(folder, "download")
        remove(folder)
        os.makedirs(download)
        packed = os.path.join(download, "lumerixtemp.7z")
        settle(self.bench.pause)
        seconds, _ = timed(["curl", "-sS", "--fail", "-o", packed,
                            "http://127.0.0.1:%s/upload/pc/lumerixSetupx64_min.7z" % self.port])
        seconds += timed(["7z", "x", packed, "-o" + download, "-aoa"])[0]
        seconds += timed(["cp", "-r", os.path.join(download, "Revanto_x64Minimal"),
                          os.path.join(folder, "lumerixMasterRecovery")])[0]
        remove(folder)
        return seconds

    def session(self, extra_environment=None):
        """One installer run in a fresh home: start-up, install time and memory."""
        home = os.path.join(self.work, "home")
        remove(home)
        os.makedirs(os.path.join(home, ".local", "share", "applications"))
        remove(self.oplog)
        environment = dict(self.environment, HOME=home, **(extra_environment or {}))
        settle(self.bench.pause)

        started = time.perf_counter()
        installer = subprocess.Popen([self.installer], env=environment,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        anonymous = MemoryWatch(installer.pid)
        try:
            box = self.wait(lambda: self.window(installer.pid, main=False), 30, "the warning")
            box_shown = time.perf_counter()
            run_in(["xdotool", "windowactivate", "--sync", box], self.environment)
            dismissed = time.perf_counter()
            run_in(["xdotool", "key", "Return"], self.environment)
            window = self.wait(lambda: self.window(installer.pid, main=True), 30, "the window")
            shown = time.perf_counter()
            result = {"startup": (box_shown - started) + (shown - dismissed)}

            settle(self.bench.pause)
            x, y = self.INSTALL_BUTTON
            run_in(["xdotool", "windowactivate", "--sync", window], self.environment)
            clicked = time.perf_counter()
            run_in(["xdotool", "mousemove", "--window", window, str(x), str(y), "click", "1"],
                   self.environment)
            # The installer offers only drives it lists (not /dev/shm, say): then the button
            # does nothing, and waiting for the finished page would be in vain.
            self.wait(lambda: self.records(), 30, "the install to start (the pc-install-go "
                      "record): does the installer accept the drive of " + home + "?")
            done = self.wait(lambda: [r for r in self.records()
                                      if "pc-install-success" in r or "failedcode" in r],
                             600, "the finished page")
            result["install"] = time.perf_counter() - clicked
            expect("pc-install-success" in done[0], "install: " + done[0].strip())
            with open("/proc/%d/status" % installer.pid) as status:
                peak = re.search(r"VmHWM:\s*(\d+)", status.read())
            result["peak_mib"] = int(peak.group(1)) / 1024
            result["anon_mib"] = anonymous.peak_kib / 1024
            return result
        finally:
            anonymous.stop()
            installer.terminate()
            installer.wait(10)


# --- helpers ------------------------------------------------------------------------------

def start_vendor_server(root, port="0", *options):
    """The local vendor server serving root; (process, base URL). It ends with this script."""
    server = subprocess.Popen(
        [sys.executable, os.path.join(TOP, "tools", "vendor_server.py"), "--port", str(port),
         "--root", root, "--exit-with-stdin"] + list(options),
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    line = server.stdout.readline()
    match = re.search(r"listening on (http://[^\s]+)", line)
    if not match:
        server.kill()
        raise SystemExit("the vendor server did not start on port %s (in use while the tests "
                         "run?): %r" % (port, line))
    return server, match.group(1)


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


def output(command, environment):
    return subprocess.run(command, env=environment, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True).stdout


def run_in(command, environment):
    subprocess.run(command, env=environment, check=True, stdout=subprocess.DEVNULL)


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
    parser.add_argument("--no-window", action="store_true",
                        help="leave out the rows with the installer window (whole install, "
                             "start-up, its memory)")
    parser.add_argument("--wine", action="store_true",
                        help="only the start-up of the Windows build's single file under Wine "
                             "(needs tools/windows/build.sh and the standard build)")
    args = parser.parse_args()

    bench = Bench(args)
    if args.wine:
        print("machine:", machine(), file=sys.stderr, flush=True)
        bench.row_wine_startup()
        print(bench.table(args.markdown))
        return
    bench.build_program()
    os.makedirs(bench.home, exist_ok=True)
    bench.make_packages()
    bench.start_server()
    try:
        print("machine:", machine(), file=sys.stderr, flush=True)
        for label, name, path in bench.packages:
            print("download,", label, "...", file=sys.stderr, flush=True)
            bench.row_download(label, name)
            bench.row_verified_download(label, name)
        for label, name, path in bench.packages:
            print("unpack + copy,", label, "...", file=sys.stderr, flush=True)
            bench.row_unpack_copy(label, path)
            bench.row_check(label, path)
        print("log handler ...", file=sys.stderr, flush=True)
        bench.row_log(1)
        bench.row_log(2)
        print("memory ...", file=sys.stderr, flush=True)
        big = bench.packages[0][1]
        bench.row_memory(big)
        for index, (label, name, path) in enumerate(bench.packages):
            if args.no_window:
                break
            print("whole install with the installer window,", label, "...", file=sys.stderr,
                  flush=True)
            bench.row_whole_install(label, name, index == 0)
    finally:
        bench.stop_server()
    print(bench.table(args.markdown))


if __name__ == "__main__":
    main()
