#!/usr/bin/python3
"""Makes the release files from the built programs and checks what can be checked without
root: the zip holds exactly zdrv.exe as built and LIESMICH.txt in UTF-8 with CRLF line
ends, the Debian package passes lintian and installs the expected files, and its man page
renders without warnings.

Usage: check_packages.py MAKE_PACKAGES LINUX_ZDRV WIN32_EXE WORKDIR
Prints every check that does not hold; exit status 1 when there is one.
"""

import gzip
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile

ZIP_MEMBERS = ["zdrv.exe", "LIESMICH.txt"]
DEB_FILES = {
    "usr/bin/zdrv",
    "usr/share/doc/zdrv/changelog.Debian.gz",
    "usr/share/doc/zdrv/copyright",
    "usr/share/lintian/overrides/zdrv",
    "usr/share/man/man1/zdrv.1.gz",
}
# A packaging source whose placeholder was not filled in.
PLACEHOLDER = re.compile(rb"@[A-Z_]+@")


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, check=False, **kwargs)


def check_liesmich(data, faults):
    if not data.startswith(b"\xef\xbb\xbf"):
        faults.append("LIESMICH.txt: no UTF-8 byte order mark")
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as error:
        faults.append(f"LIESMICH.txt: not UTF-8: {error}")
    if not data.endswith(b"\r\n"):
        faults.append("LIESMICH.txt: the last line has no CRLF")
    lines = data.split(b"\r\n")
    bare = [number for number, line in enumerate(lines, 1) if b"\r" in line or b"\n" in line]
    if bare:
        faults.append(f"LIESMICH.txt: a line end other than CRLF in line(s) {bare[:5]}")
    if PLACEHOLDER.search(data):
        faults.append("LIESMICH.txt: a placeholder was not filled in")


def check_zip(path, win32_exe, faults):
    with zipfile.ZipFile(path) as archive:
        names = archive.namelist()
        if names != ZIP_MEMBERS:
            faults.append(f"zip holds {names}, expected {ZIP_MEMBERS}")
            return
        with open(win32_exe, "rb") as built:
            if archive.read("zdrv.exe") != built.read():
                faults.append(f"zdrv.exe in the zip is not {win32_exe}")
        check_liesmich(archive.read("LIESMICH.txt"), faults)


def deb_files(path):
    """{path: contents} of the regular files in the package."""
    tar = subprocess.run(["dpkg-deb", "--fsys-tarfile", path], capture_output=True,
                         check=True).stdout
    with tarfile.open(fileobj=io.BytesIO(tar)) as archive:
        return {member.name.removeprefix("./"): archive.extractfile(member).read()
                for member in archive.getmembers() if member.isfile()}


def check_man_page(page, workdir, faults):
    text = gzip.decompress(page)
    if PLACEHOLDER.search(text):
        faults.append("zdrv.1: a placeholder was not filled in")
    path = os.path.join(workdir, "zdrv.1")
    with open(path, "wb") as out:
        out.write(text)
    env = dict(os.environ, MANWIDTH="80", MANPAGER="cat", PAGER="cat", LC_ALL="C.UTF-8")
    result = run(["man", "--warnings", "-l", path], env=env)
    if result.returncode != 0 or result.stderr.strip():
        faults.append(f"man --warnings -l zdrv.1 (status {result.returncode}):\n"
                      f"{result.stderr}")
    if "DIAGNOSTICS" not in result.stdout:
        faults.append("zdrv.1 did not render its sections")


def check_deb(path, workdir, faults):
    files = deb_files(path)
    if set(files) != DEB_FILES:
        faults.append(f"the package holds {sorted(files)}, expected {sorted(DEB_FILES)}")
    if "usr/share/man/man1/zdrv.1.gz" in files:
        check_man_page(files["usr/share/man/man1/zdrv.1.gz"], workdir, faults)
    depends = run(["dpkg-deb", "--field", path, "Depends"]).stdout
    if "libc6" not in depends:
        faults.append(f"Depends does not name the C library: {depends!r}")
    result = run(["lintian", "--fail-on", "error,warning", path])
    if result.returncode != 0:
        faults.append(f"lintian (status {result.returncode}):\n{result.stdout}{result.stderr}")


def main():
    make_packages, linux_zdrv, win32_exe, workdir = sys.argv[1:]
    shutil.rmtree(workdir, ignore_errors=True)
    dist = os.path.join(workdir, "dist")
    made = run([make_packages, dist, linux_zdrv, win32_exe])
    if made.returncode != 0:
        print(f"make-packages failed (status {made.returncode}):\n{made.stderr}")
        return 1

    names = sorted(os.listdir(dist))
    zips = [name for name in names if name.endswith("-win32.zip")]
    debs = [name for name in names if name.endswith(".deb")]
    faults = []
    if len(zips) != 1 or len(debs) != 1 or "SHA256SUMS" not in names:
        faults.append(f"dist holds {names}: expected one zip, one .deb and SHA256SUMS")
    for name in zips:
        check_zip(os.path.join(dist, name), win32_exe, faults)
    for name in debs:
        check_deb(os.path.join(dist, name), workdir, faults)
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
