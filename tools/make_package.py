#!/usr/bin/env python3
"""Builds a product package for the installer: a 7z archive holding the package folder
"Revanto_x64Minimal/" with a small runnable product, its uninstaller and filler files.

The product ("lumerixMasterRecovery.exe", or "zentaroMasterRecovery.exe" for the green brand)
is a POSIX shell script: it prints one line, writes a file "started" beside itself (the time it
ran) and exits with 0. The uninstaller ("lumerixMasterUninst.exe" / "zentaroMasterUninst.exe")
is a Python 3 script: it removes the links on the desktop and in the start menu that point into
its install folder, the uninstall-list entry whose UninstallString names it, and the install
folder itself (only a folder holding "Uninstall.list", so running it inside the package folder
removes nothing). It follows the XDG folders: XDG_CONFIG_HOME (the uninstall list
"kovra/uninstall-list.ini"), XDG_DATA_HOME (the start menu "applications/"), XDG_DESKTOP_DIR.

The filler files hold random data, so 7-Zip cannot shrink them (--filler random), or pieces of
the system's shared libraries, compressible program code as real products ship it (--filler
libraries): SIZE bytes in total (suffix K, M or G for KiB, MiB, GiB), spread over N files under
"data/".

With --sign SECRET_KEY it also writes the vendor's signature beside the archive,
<archive>.minisig, with minisign -S (which asks for the key's password, if it has one); an
installer built with the matching public key installs only a package its signature verifies.

Examples:
  make_package.py --out packages/lumerixSetupx64_min.7z
  make_package.py --brand green --size 200M --files 50 --out packages/zentaroSetupx64_min.7z
  make_package.py --sign ~/.minisign/minisign.key --out packages/lumerixSetupx64_min.7z
  make_package.py --size 200M --files 2000 --filler libraries --out packages/programs.7z

Needs Python 3 and the 7z program (Debian package p7zip-full); minisign to sign.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

BRANDS = {
    "standard": ("lumerixMasterRecovery.exe", "lumerixMasterUninst.exe"),
    "green": ("zentaroMasterRecovery.exe", "zentaroMasterUninst.exe"),
}

PRODUCT_SCRIPT = """#!/bin/sh
# Sample product: says that it started, leaves a "started" file beside itself, and ends.
here=$(dirname "$(readlink -f "$0")")
date '+%Y-%m-%d %H:%M:%S' > "$here/started"
echo "{name} started"
exit 0
"""

UNINSTALLER_SCRIPT = r'''#!/usr/bin/env python3
"""Sample uninstaller: removes the links into its install folder, its uninstall-list entry and
the install folder it lives in."""
import os
import shutil
import sys

ME = os.path.realpath(__file__)
FOLDER = os.path.dirname(ME)
HOME = os.path.expanduser("~")


def xdg(variable, default):
    return os.environ.get(variable) or os.path.join(HOME, default)


def points_into_folder(link):
    target = os.path.join(os.path.dirname(link), os.readlink(link))
    return os.path.realpath(target).startswith(FOLDER + os.sep)


def remove_links_in(folder, depth):
    """Removes the links below folder that point into the install folder; returns how many."""
    try:
        entries = sorted(os.listdir(folder))
    except OSError:
        return 0
    removed = 0
    for name in entries:
        path = os.path.join(folder, name)
        if os.path.islink(path):
            if points_into_folder(path):
                os.remove(path)
                print("removed link", path)
                removed += 1
        elif depth > 0 and os.path.isdir(path):
            # A start-menu folder that held only this product's links goes with them.
            if remove_links_in(path, depth - 1) and not os.listdir(path):
                os.rmdir(path)
    return removed


def ini_value(raw):
    """A string value as Qt's QSettings writes it in an INI file."""
    raw = raw.strip()
    escapes = {"a": "\a", "b": "\b", "f": "\f", "n": "\n", "r": "\r", "t": "\t", "v": "\v"}
    out, i = [], 0
    while i < len(raw):
        ch = raw[i]
        if ch == '"':
            i += 1
        elif ch == "\\" and i + 1 < len(raw):
            nxt = raw[i + 1]
            i += 2
            if nxt == "x":
                j = i
                while j < len(raw) and raw[j] in "0123456789abcdefABCDEF":
                    j += 1
                out.append(chr(int(raw[i:j] or "0", 16)))
                i = j
            elif nxt in "01234567":
                j = i - 1
                while j < len(raw) and j < i + 2 and raw[j] in "01234567":
                    j += 1
                out.append(chr(int(raw[i - 1:j], 8)))
                i = j
            else:
                out.append(escapes.get(nxt, nxt))
        else:
            out.append(ch)
            i += 1
    text = "".join(out)
    return text[1:] if text.startswith("@@") else text


def remove_entry():
    path = os.path.join(xdg("XDG_CONFIG_HOME", ".config"), "kovra", "uninstall-list.ini")
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except OSError:
        return
    sections, current = [], None
    for line in lines:
        if line.startswith("[") and line.rstrip().endswith("]"):
            current = [line]
            sections.append(current)
        elif current is None:
            current = []
            sections.append(current)
            current.append(line)
        else:
            current.append(line)
    kept = []
    for section in sections:
        mine = False
        for line in section:
            key, sep, value = line.partition("=")
            if sep and key.strip() == "UninstallString" and value.strip():
                mine = os.path.realpath(ini_value(value)) == ME
        if mine:
            print("removed entry", section[0])
        else:
            kept.append(section)
    text = "\n".join(line for section in kept for line in section)
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as f:
        f.write(text + "\n" if text else "")
    os.replace(temporary, path)


def main():
    if not os.path.isfile(os.path.join(FOLDER, "Uninstall.list")):
        print("not an installed product, nothing removed:", FOLDER, file=sys.stderr)
        return 1
    remove_links_in(os.environ.get("XDG_DESKTOP_DIR") or os.path.join(HOME, "Desktop"), 0)
    remove_links_in(os.path.join(xdg("XDG_DATA_HOME", ".local/share"), "applications"), 1)
    remove_entry()
    shutil.rmtree(FOLDER)
    print("removed", FOLDER)
    return 0


if __name__ == "__main__":
    sys.exit(main())
'''


def parse_size(text):
    match = re.fullmatch(r"(\d+)([KMG]?)", text.strip().upper())
    if not match:
        raise argparse.ArgumentTypeError("not a size: %r (use e.g. 4096, 512K, 20M)" % text)
    return int(match.group(1)) * {"": 1, "K": 1024, "M": 1024**2, "G": 1024**3}[match.group(2)]


def non_negative(text):
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative")
    return value


def write_random(path, size):
    with open(path, "wb") as f:
        while size > 0:
            chunk = min(size, 1024 * 1024)
            f.write(os.urandom(chunk))
            size -= chunk


def library_bytes():
    """The system's shared libraries, one after the other, for ever."""
    folders = ["/usr/lib/x86_64-linux-gnu", "/usr/lib64", "/usr/lib", "/lib"]
    libraries = sorted(os.path.join(folder, name) for folder in folders if os.path.isdir(folder)
                       for name in os.listdir(folder) if ".so" in name
                       and os.path.isfile(os.path.join(folder, name))
                       and not os.path.islink(os.path.join(folder, name)))
    if not libraries:
        raise SystemExit("no shared libraries found for --filler libraries")
    while True:
        for library in libraries:
            with open(library, "rb") as f:
                yield f.read()


def write_libraries(path, size, source):
    with open(path, "wb") as f:
        while size > 0:
            chunk = next(source)[:size]
            f.write(chunk)
            size -= len(chunk)


def write_script(path, text):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    os.chmod(path, 0o755)


def build(args):
    product, uninstaller = BRANDS[args.brand]
    out = os.path.abspath(args.out or
                          ("lumerix" if args.brand == "standard" else "zentaro") + "Setup"
                          + args.arch + "_min.7z")
    with tempfile.TemporaryDirectory(prefix="package-") as work:
        package = os.path.join(work, "Revanto_%sMinimal" % args.arch)
        os.makedirs(os.path.join(package, "data"))
        write_script(os.path.join(package, product), PRODUCT_SCRIPT.format(name=product))
        write_script(os.path.join(package, uninstaller), UNINSTALLER_SCRIPT)
        if args.files:
            share, rest = divmod(args.size, args.files)
            libraries = library_bytes() if args.filler == "libraries" else None
            for index in range(args.files):
                path = os.path.join(package, "data", "filler-%04d.bin" % (index + 1))
                size = share + (rest if index == 0 else 0)
                if libraries:
                    write_libraries(path, size, libraries)
                else:
                    write_random(path, size)
        archive = os.path.join(work, "package.7z")
        result = subprocess.run(
            ["7z", "a", "-t7z", "-mx=1", "-bd", archive, os.path.basename(package)],
            cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if result.returncode != 0:
            sys.stderr.write(result.stderr)
            raise SystemExit("7z failed with exit code %d" % result.returncode)
        os.makedirs(os.path.dirname(out), exist_ok=True)
        shutil.move(archive, out)
    if args.sign:
        # A new package must never lie beside the signature of an earlier one.
        signature = out + ".minisig"
        if os.path.exists(signature):
            os.remove(signature)
        result = subprocess.run(["minisign", "-S", "-s", args.sign, "-m", out, "-x", signature],
                                stdout=subprocess.DEVNULL)
        if result.returncode != 0:
            raise SystemExit("minisign failed with exit code %d" % result.returncode)
    print(out)


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog=__doc__.split("\n\n", 1)[1],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=parse_size, default=parse_size("1M"),
                        help="total size of the filler files (default 1M)")
    parser.add_argument("--files", type=non_negative, default=4,
                        help="number of filler files (default 4)")
    parser.add_argument("--filler", choices=["random", "libraries"], default="random",
                        help="filler content: random bytes, or the system's shared libraries")
    parser.add_argument("--brand", choices=sorted(BRANDS), default="standard",
                        help="product names: standard (lumerix...) or green (zentaro...)")
    parser.add_argument("--arch", choices=["x64", "x86"], default="x64",
                        help="package folder Revanto_x64Minimal or Revanto_x86Minimal")
    parser.add_argument("--sign", metavar="SECRET_KEY",
                        help="minisign secret key file: write <archive>.minisig beside it")
    parser.add_argument("--out", help="the archive to write (default: "
                        "lumerixSetupx64_min.7z or zentaroSetupx64_min.7z here)")
    build(parser.parse_args())


if __name__ == "__main__":
    main()
