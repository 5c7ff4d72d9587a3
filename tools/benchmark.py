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
the disk is synced, and before each unpack the script waits a few seconds. What a run made is
moved aside, not deleted, until its row is done: ext4 without a journal (this machine's disk)
passes over inodes deleted less than a minute ago when it makes a file, so deleting thousands
of files would slow whichever side comes next; after a row the script deletes them and waits
that minute out.
The whole install runs the real installer on a private Xvfb display with openbox, served by a
second vendor server on the production port of the build: from the click on the install button
(sent through the X server's test extension from this script, the moment the clock starts) to
the finished page (the moment the request of its "pc-install-success" record reaches the
server, which notes the time), against curl, 7z x and cp -r in a row as one line typed into a
running shell, into the installer's own folders of a fresh home. The same runs give the start-up
(process start to the warning box, plus its dismissal to the window shown); more runs give the
installer's peak resident memory, with and without Qt's OpenGL set-up.
With --wine it times only the Windows build's single file under Wine instead: from its start to
the warning box, against the installer of its distribution folder.

Usage: tools/benchmark.py [--reps N] [--settle SECONDS] [--build DIR] [--work DIR] [--markdown]
                         [--no-window | --whole-install] [--wine]
Needs: cmake, g++, Qt 5, libcurl and libsodium (as for the installer), curl, 7z, minisign,
python3, Xvfb, openbox, xdotool, xprop; the production port of the build must be free.
"""

import argparse
import ctypes
import os
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import threading
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1024 * 1024
# ext4 without a journal passes over inodes deleted this many seconds ago (while their inode
# table is on the disk) when it makes a new file.
RECENTLY_DELETED = 61
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
        self.trash = os.path.join(self.work, "trash")
        self.discarded = 0

    def discard(self, path):
        """Moves what a run made aside; empty_trash() deletes it after the row."""
        if not os.path.lexists(path):
            return
        os.makedirs(self.trash, exist_ok=True)
        self.discarded += 1
        os.rename(path, os.path.join(self.trash, str(self.discarded)))

    def empty_trash(self):
        """Deletes what the row made, then waits until ext4 no longer counts its inodes as
        recently deleted (a minute once they are on the disk), so the next row meets a quiet
        file system."""
        if os.path.lexists(self.trash):
            remove(self.trash)
            settle(RECENTLY_DELETED)

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
            self.discard(download)
            self.discard(install)
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
        self.discard(download)
        self.discard(install)
        self.empty_trash()

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
        """The real installer on a private display: from the click on the install button to the
        finished page, against curl, 7z x and cp -r in a row the same way (one settle before,
        none between: the installer does not wait for the disk either). For the first package,
        the timed runs give the start-up, and more runs the installer's peak memory, then the
        same without Qt's OpenGL integration, which shows what Mesa's software renderer adds
        under Xvfb. Memory is sampled in runs of its own: the sampling takes a little processor
        time, which the timed runs do not pay."""
        sessions = []

        def installer():
            sessions.append(desktop.session())
            return sessions[-1]["install"]

        with InstallerDesktop(self) as desktop:
            desktop.serve(os.path.join(self.work, "packages", name))
            self.paired("whole install, %s, click to finished page (installer / curl, 7z x, "
                        "cp -r in a row)" % label, installer, desktop.tools_in_a_row,
                        ("<=", 0.70))
            if first:
                sessions = sessions[1:]  # the untimed first run
                watched = [desktop.session(watch=True) for _ in range(self.reps)]
                plain = [desktop.session({"QT_XCB_GL_INTEGRATION": "none"}, watch=True)
                         for _ in range(self.reps)]
            desktop.discard_home()
        self.empty_trash()
        if not first:
            return
        for label, runs in (("", sessions), (", without OpenGL", plain)):
            starts = [run["startup"] for run in runs]
            self.rows.append({
                "row": "start-up, process start to window shown%s (warning box left out)" % label,
                "engine": "%.3f s" % statistics.median(starts), "reference": "", "value": None,
                "shown": "", "goal": None, "spread": "%.3f-%.3f" % (min(starts), max(starts)),
            })
        for label, runs, key, goal in (
                ("peak resident memory of the installer, 200 MiB install (MiB)", watched,
                 "peak_mib", ("<", 80)),
                ("  of which its own (anonymous) memory (MiB)", watched, "anon_mib", None),
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


class Pointer:
    """Clicks through the X server's test extension from this process: the clock starts as the
    click goes out, not before a program that would send it has started (xdotool takes about
    5 ms to connect and send a click)."""

    def __init__(self, display):
        self.x11 = ctypes.CDLL("libX11.so.6")
        self.xtest = ctypes.CDLL("libXtst.so.6")
        self.x11.XOpenDisplay.restype = ctypes.c_void_p
        self.x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x11.XFlush.argtypes = [ctypes.c_void_p]
        self.x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.xtest.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int,
                                                    ctypes.c_ulong]
        self.display = self.x11.XOpenDisplay(display.encode())
        if not self.display:
            raise SystemExit("cannot open the display " + display)

    def click(self):
        """Presses and releases the first button where the pointer is; returns the time the
        click went out (time.monotonic)."""
        self.xtest.XTestFakeButtonEvent(self.display, 1, True, 0)
        self.xtest.XTestFakeButtonEvent(self.display, 1, False, 0)
        sent = time.monotonic()
        self.x11.XFlush(self.display)
        return sent

    def close(self):
        self.x11.XCloseDisplay(self.display)


class Shell:
    """A shell that keeps running, as a user's terminal does: a line is timed from being typed to
    its end, with no process start beyond those the line makes itself."""

    def __init__(self, environment):
        self.process = subprocess.Popen(["sh"], env=environment, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)

    def run(self, line):
        started = time.monotonic()
        self.process.stdin.write(line + '\necho "$?"\n')
        self.process.stdin.flush()
        status = self.process.stdout.readline().strip()
        seconds = time.monotonic() - started
        if status != "0":
            raise SystemExit("%s failed (%s)" % (line, status or "the shell ended"))
        return seconds

    def close(self):
        self.process.stdin.close()
        self.process.wait(10)


class InstallerDesktop:
    """The real installer (standard brand) on a private Xvfb display with openbox, with a vendor
    server on the build's production port; each session starts it in a fresh home folder."""

    INSTALL_BUTTON = (5 + 245 + 80, 5 + 252 + 25)  # the middle of the install button

    def __init__(self, bench):
        self.bench = bench
        self.work = os.path.join(bench.work, "window")
        self.home = os.path.join(self.work, "home")
        self.installer = os.path.join(bench.build, "installer", "kovraSetupOnline")
        self.processes = []
        self.environment = None
        self.pointer = None
        self.shell = None
        self.oplog = os.path.join(self.work, "oplog.txt")
        self.arrivals = os.path.join(self.work, "arrivals.txt")
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
        self.pointer = Pointer(":" + display)
        self.shell = Shell(self.environment)
        return self

    def __exit__(self, *_):
        if self.shell:
            self.shell.close()
        if self.pointer:
            self.pointer.close()
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
        server, _ = start_vendor_server(root, self.port, "--oplog", self.oplog,
                                        "--oplog-arrivals", self.arrivals)
        self.processes.append(server)

    def wait(self, condition, seconds, what, interval=0.005):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            result = condition()
            if result:
                return result
            time.sleep(interval)
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

    def arrived(self):
        """The records the server took: (time its request arrived, body), in order."""
        try:
            with open(self.arrivals, encoding="utf-8") as log:
                lines = [line.split(" ", 1) for line in log if line.strip()]
        except FileNotFoundError:
            return []
        return [(float(stamp), body) for stamp, body in lines]

    def fresh_home(self):
        """An empty home folder as a new user has it, the last one moved aside."""
        self.discard_home()
        os.makedirs(os.path.join(self.home, ".local", "share", "applications"))
        return self.home

    def discard_home(self):
        self.bench.discard(self.home)

    def tools_in_a_row(self):
        """curl -o, 7z x and cp -r one after the other, one line typed into a running shell,
        into the installer's own folders of a fresh home: the package into its download folder
        and unpacked there, the package folder copied to where the installer puts the
        product."""
        home = self.fresh_home()
        download = os.path.join(home, ".local", "share", "kovraSetupOnline")
        os.makedirs(download)
        packed = shlex.quote(os.path.join(download, "lumerixtemp.7z"))
        url = "http://127.0.0.1:%s/upload/pc/lumerixSetupx64_min.7z" % self.port
        line = "curl -sS --fail -o %s %s && 7z x %s -o%s -aoa >/dev/null && cp -r %s %s" % (
            packed, url, packed, shlex.quote(download), shlex.quote(
                os.path.join(download, "Revanto_x64Minimal")),
            shlex.quote(os.path.join(home, "lumerixMasterRecovery")))
        settle(self.bench.pause)
        return self.shell.run(line)

    def session(self, extra_environment=None, watch=False):
        """One installer run in a fresh home: start-up, install time and, watched, memory."""
        home = self.fresh_home()
        remove(self.oplog)
        remove(self.arrivals)
        environment = dict(self.environment, HOME=home, **(extra_environment or {}))
        settle(self.bench.pause)

        started = time.monotonic()
        installer = subprocess.Popen([self.installer], env=environment,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        anonymous = MemoryWatch(installer.pid) if watch else None
        try:
            box = self.wait(lambda: self.window(installer.pid, main=False), 30, "the warning")
            box_shown = time.monotonic()
            run_in(["xdotool", "windowactivate", "--sync", box], self.environment)
            dismissed = time.monotonic()
            run_in(["xdotool", "key", "Return"], self.environment)
            window = self.wait(lambda: self.window(installer.pid, main=True), 30, "the window")
            shown = time.monotonic()
            result = {"startup": (box_shown - started) + (shown - dismissed)}

            x, y = self.INSTALL_BUTTON
            run_in(["xdotool", "windowactivate", "--sync", window], self.environment)
            run_in(["xdotool", "mousemove", "--window", window, "--sync", str(x), str(y)],
                   self.environment)
            settle(self.bench.pause)
            clicked = self.pointer.click()
            # The installer offers only drives it lists (not /dev/shm, say): then the button
            # does nothing, and waiting for the finished page would be in vain.
            self.wait(lambda: self.arrived(), 30, "the install to start (the pc-install-go "
                      "record): does the installer accept the drive of " + home + "?", 0.05)
            # The server notes when each record arrived: how often this looks does not count.
            done = self.wait(lambda: [r for r in self.arrived()
                                      if "pc-install-success" in r[1] or "failedcode" in r[1]],
                             600, "the finished page", 0.05)
            expect("pc-install-success" in done[0][1], "install: " + done[0][1].strip())
            result["install"] = done[0][0] - clicked
            with open("/proc/%d/status" % installer.pid) as status:
                peak = re.search(r"VmHWM:\s*(\d+)", status.read())
            result["peak_mib"] = int(peak.group(1)) / 1024
            if anonymous:
                result["anon_mib"] = anonymous.peak_kib / 1024
            return result
        finally:
            if anonymous:
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
    parser.add_argument("--whole-install", action="store_true",
                        help="only the rows with the installer window")
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
        for label, name, path in [] if args.whole_install else bench.packages:
            print("download,", label, "...", file=sys.stderr, flush=True)
            bench.row_download(label, name)
            bench.row_verified_download(label, name)
        for label, name, path in [] if args.whole_install else bench.packages:
            print("unpack + copy,", label, "...", file=sys.stderr, flush=True)
            bench.row_unpack_copy(label, path)
            bench.row_check(label, path)
        if not args.whole_install:
            print("log handler ...", file=sys.stderr, flush=True)
            bench.row_log(1)
            bench.row_log(2)
            print("memory ...", file=sys.stderr, flush=True)
            bench.row_memory(bench.packages[0][1])
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
