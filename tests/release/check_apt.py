#!/usr/bin/python3
"""Makes the release with an OpenPGP key made for this run only (in a temporary GNUPGHOME)
and uses its apt repository with the real apt, as a user would: in a throw-away Debian
(mmdebstrap, from the Debian archive this machine's apt uses), with the repository served
over http from 127.0.0.1 and the keyring and zandrivo.sources in place. Checks that

- apt-get update and apt-get install zdrv succeed, and zdrv runs;
- a later release of a higher version arrives through apt-get upgrade;
- apt refuses a changed byte in Packages or in the .deb, an InRelease signed by another
  key and a repository without a signature, and installs nothing;
- the repository is dated SOURCE_DATE_EPOCH, and made again later at another path gives the
  same bytes, InRelease included.

The later release is the same package with a higher version (repacked with dpkg-deb),
in a repository made by packaging/make-apt-repo, as make-packages makes it.
Usage: check_apt.py PACKAGING_DIR WIN32_EXE WORKDIR   (as root: apt runs in a chroot)
Prints every check that does not hold; exit status 1 when there is one.
"""

import email.utils
import functools
import glob
import gzip
import http.server
import os
import re
import shutil
import sys
import tempfile
import threading

sys.dont_write_bytecode = True  # the tests leave the source tree as they found it
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from release_tools import make_openpgp_key, report, run, run_checked  # noqa: E402

PUBLIC_URI = "https://zandrivo.example/apt/"
KEYRING = "zandrivo-archive-keyring.pgp"
NEXT_VERSION = "1.01"
# The repositories apt must refuse: what the repository served holds, and what apt has to
# say about it (as apt-get update and apt-get install zdrv print it).
REFUSED = [
    ("a changed byte in Packages", "packages",
     r"Failed to fetch \S+/Packages\S*\s+(Hash Sum mismatch|File has unexpected size)"),
    ("a changed byte in the .deb", "deb", r"Failed to fetch \S+\.deb\s+Hash Sum mismatch"),
    ("InRelease signed by another key", "other-key", r"NO_PUBKEY"),
    ("no signature", "unsigned", r"The repository '\S+ stable Release' is not signed"),
]
# apt in the throw-away Debian, with nothing of this machine's environment.
CHROOT_ENV = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL": "C",
              "DEBIAN_FRONTEND": "noninteractive"}
APT_GET = ["apt-get", "-q", "-y", "-o", "Dpkg::Use-Pty=0"]


def make_repo(packaging, out, debs, env, **settings):
    run_checked([os.path.join(packaging, "make-apt-repo"), out, *debs], env=dict(env, **settings))
    return out


def repack(deb, version, workdir):
    """The package with another version and nothing else changed."""
    tree = os.path.join(workdir, "repack")
    run_checked(["dpkg-deb", "-R", deb, tree])
    control = os.path.join(tree, "DEBIAN", "control")
    with open(control, encoding="utf-8") as original:
        text = re.sub(r"(?m)^Version: .*$", f"Version: {version}", original.read())
    with open(control, "w", encoding="utf-8") as out:
        out.write(text)
    repacked = os.path.join(workdir, f"zdrv_{version}.deb")
    run_checked(["dpkg-deb", "--root-owner-group", "-b", tree, repacked])
    return repacked


def flip_byte(path, offset):
    with open(path, "r+b") as changed:
        changed.seek(offset)
        byte = changed.read(1)[0]
        changed.seek(offset)
        changed.write(bytes([byte ^ 1]))


def tampered(good, workdir):
    """Copies of the good repository with one byte changed in Packages (and Packages.gz
    made from it, the file apt fetches) or in the .deb."""
    packages = shutil.copytree(good, os.path.join(workdir, "packages"))
    index = glob.glob(os.path.join(packages, "dists/stable/main/binary-*/Packages"))[0]
    with open(index, "rb") as original:
        # The last digit of the version: 1.00 becomes 1.01.
        offset = original.read().index(b"Version: ") + len(b"Version: 1.0")
    flip_byte(index, offset)
    with open(index, "rb") as changed, open(f"{index}.gz", "wb") as out:
        out.write(gzip.compress(changed.read(), 9, mtime=0))
    deb = shutil.copytree(good, os.path.join(workdir, "deb"))
    pooled = glob.glob(os.path.join(deb, "pool/main/*/*/*.deb"))[0]
    flip_byte(pooled, os.path.getsize(pooled) // 2)
    return {"packages": packages, "deb": deb}


def check_repo(dist_apt, again, epoch, faults):
    """Dated SOURCE_DATE_EPOCH, and the same bytes when made again elsewhere."""
    with open(os.path.join(dist_apt, "dists/stable/Release"), encoding="utf-8") as release:
        date = re.search(r"(?m)^Date: (.*)$", release.read())
    if not date or email.utils.parsedate_to_datetime(date[1]).timestamp() != epoch:
        faults.append(f"Release is dated {date and date[1]!r}, not SOURCE_DATE_EPOCH {epoch}")
    files = {}
    for tree in (dist_apt, again):
        files[tree] = {}
        for folder, _, names in os.walk(tree):
            for name in names:
                with open(os.path.join(folder, name), "rb") as data:
                    files[tree][os.path.relpath(os.path.join(folder, name), tree)] = data.read()
    differ = sorted(name for name in files[dist_apt].keys() | files[again].keys()
                    if files[dist_apt].get(name) != files[again].get(name))
    if differ or not any(name.endswith("InRelease") for name in files[dist_apt]):
        faults.append(f"the repository made again differs in {differ} "
                      f"(holds {sorted(files[dist_apt])})")


def make_debian(root, log):
    """A minimal Debian with apt, of this machine's release from the archive its apt uses;
    then nothing of this machine's apt is left in it, so that it knows only the repository
    under test, with apt's own settings."""
    sources = [path for path in ["/etc/apt/sources.list",
                                 *sorted(glob.glob("/etc/apt/sources.list.d/*.list")),
                                 *sorted(glob.glob("/etc/apt/sources.list.d/*.sources"))]
               if os.path.isfile(path)]
    settings = sorted(path for path in ["/etc/apt/apt.conf", *glob.glob("/etc/apt/apt.conf.d/*")]
                      if os.path.isfile(path))
    forget_host = ('rm -f "$1"/etc/apt/sources.list "$1"/etc/apt/sources.list.d/*'
                   ' "$1"/etc/apt/apt.conf.d/99mmdebstrap')
    with open("/etc/os-release", encoding="utf-8") as release:
        codename = re.search(r"(?m)^VERSION_CODENAME=(\S+)", release.read())[1]
    result = run(["mmdebstrap", "--mode=root", "--variant=apt",
                  *(f"--aptopt={path}" for path in settings),
                  f"--customize-hook={forget_host}", codename, root, *sources])
    with open(log, "w", encoding="utf-8") as out:
        out.write(result.stdout + result.stderr)
    if result.returncode != 0:
        raise RuntimeError(f"mmdebstrap could not make the throw-away Debian (status "
                           f"{result.returncode}; {log}):\n{result.stderr[-2000:]}")


class Server:
    """http on a free port of 127.0.0.1 for whatever repository is in the folder."""

    class Handler(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    def __init__(self, folder):
        self.folder = folder
        os.makedirs(folder)
        handler = functools.partial(self.Handler, directory=folder)
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.uri = f"http://127.0.0.1:{self.httpd.server_address[1]}/"
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def serve(self, repo):
        shutil.rmtree(self.folder)
        shutil.copytree(repo, self.folder)


class Debian:
    def __init__(self, root):
        self.root = root

    def run(self, *command):
        return run(["chroot", self.root, *command], env=CHROOT_ENV)

    def add_repository(self, repo, uri):
        """As the README says: the keyring and zandrivo.sources in place, the address of
        the repository in it."""
        shutil.copy(os.path.join(repo, KEYRING), os.path.join(self.root, "usr/share/keyrings"))
        with open(os.path.join(repo, "zandrivo.sources"), encoding="utf-8") as original:
            text = original.read().replace(PUBLIC_URI, uri)
        with open(os.path.join(self.root, "etc/apt/sources.list.d/zandrivo.sources"), "w",
                  encoding="utf-8") as out:
            out.write(text)

    def forget(self):
        """No zdrv, no package lists and no downloaded package, as before the first use."""
        self.run("dpkg", "--purge", "zdrv")
        self.run("apt-get", "clean")
        for path in glob.glob(os.path.join(self.root, "var/lib/apt/lists/*")):
            if os.path.isfile(path):
                os.remove(path)

    def apt(self, *steps):
        """Runs apt-get with each argument list in turn until one fails; its output and
        whether all succeeded."""
        output = ""
        for step in steps:
            result = self.run(*APT_GET, *step)
            output += result.stdout + result.stderr
            if result.returncode != 0:
                return output, False
        return output, True

    def installed(self):
        return self.run("dpkg-query", "-W", "-f", "${Version}", "zdrv").stdout

    def check_zdrv(self, version, what, faults):
        if self.installed() != version:
            faults.append(f"{what}: zdrv {self.installed()!r} installed, expected {version}")
        ran = self.run("zdrv", "normal", "/bin/true")
        if ran.returncode != 0:
            faults.append(f"{what}: zdrv normal /bin/true gave status {ran.returncode}:\n"
                          f"{ran.stderr}")


def use_repository(debian, server, repos, faults):
    server.serve(repos["release"])
    output, ok = debian.apt(["update"], ["install", "zdrv"])
    if not ok:
        faults.append(f"apt-get update and install zdrv failed:\n{output}")
        return
    debian.check_zdrv(repos["version"], "installed", faults)
    server.serve(repos["next"])
    output, ok = debian.apt(["update"], ["upgrade"])
    if not ok:
        faults.append(f"apt-get update and upgrade failed:\n{output}")
        return
    debian.check_zdrv(NEXT_VERSION, "after apt-get upgrade", faults)

    for what, repo, said in REFUSED:
        debian.forget()
        server.serve(repos[repo])
        output, ok = debian.apt(["update"], ["install", "zdrv"])
        if ok or debian.installed():
            faults.append(f"{what}: apt installed zdrv:\n{output}")
        elif not re.search(said, output):
            faults.append(f"{what}: apt did not refuse with /{said}/:\n{output}")


def main():
    packaging, win32_exe, workdir = sys.argv[1:]
    if os.geteuid() != 0:
        print("release.apt needs root: apt runs in a throw-away Debian by chroot")
        return 1
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    dist = os.path.join(workdir, "dist")
    epoch = int(run_checked(["git", "-C", packaging, "log", "-1", "--format=%ct"]))
    faults = []
    with tempfile.TemporaryDirectory(prefix="zdrv-apt-") as temporary:
        env = dict(os.environ, GNUPGHOME=os.path.join(temporary, "gnupg"),
                   DEB_BUILD_OPTIONS="nocheck", SOURCE_DATE_EPOCH=str(epoch),
                   ZDRV_LOG=os.path.join(workdir, "make-packages.log"))
        for name in ("ZDRV_SIGN_CERT", "ZDRV_SIGN_KEY", "ZDRV_SIGN_PASS", "ZDRV_OPENPGP_KEY"):
            env.pop(name, None)
        os.mkdir(env["GNUPGHOME"], 0o700)
        try:
            # Both keys in one keyring: the repository's keyring must hold its own alone.
            key, other = make_openpgp_key("Zandrivo Test", env), make_openpgp_key("Fremder Test", env)
            run_checked([os.path.join(packaging, "make-packages"), dist, win32_exe],
                        env=dict(env, ZDRV_OPENPGP_KEY=key))
            deb = glob.glob(os.path.join(dist, "*.deb"))[0]
            good = os.path.join(dist, "apt")
            # The next release: a later commit, a higher version.
            repos = {"release": good, "version": run_checked(
                ["dpkg-deb", "--field", deb, "Version"]).strip(),
                "next": make_repo(packaging, os.path.join(workdir, "next"),
                                  [repack(deb, NEXT_VERSION, workdir)], env,
                                  ZDRV_OPENPGP_KEY=key, SOURCE_DATE_EPOCH=str(epoch + 1)),
                "other-key": make_repo(packaging, os.path.join(workdir, "other-key"), [deb],
                                       env, ZDRV_OPENPGP_KEY=other),
                "unsigned": make_repo(packaging, os.path.join(workdir, "unsigned"), [deb], env),
                **tampered(good, workdir)}
            root = os.path.join(temporary, "debian")
            make_debian(root, os.path.join(workdir, "mmdebstrap.log"))
            server = Server(os.path.join(temporary, "served"))
            debian = Debian(root)
            debian.add_repository(good, server.uri)
            use_repository(debian, server, repos, faults)
            # Made again some seconds later, at another path: a byte that depends on the
            # clock or the path shows.
            check_repo(good, make_repo(packaging, os.path.join(workdir, "again"), [deb], env,
                                       ZDRV_OPENPGP_KEY=key), epoch, faults)
            server.httpd.shutdown()
        except (RuntimeError, OSError) as error:
            faults.append(str(error))
        finally:
            run(["gpgconf", "--kill", "gpg-agent"], env=env)
    return report(faults)


if __name__ == "__main__":
    sys.exit(main())
