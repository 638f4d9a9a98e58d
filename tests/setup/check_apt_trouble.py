"""scripts/install-deps and scripts/guest-image when the package mirror fails, run with
stand-ins for apt-get, mmdebstrap and the other tools they call first on PATH: what they
try, in which order, with which sources, and what the user is told."""

import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

CHECKOUT = Path(__file__).resolve().parents[2]

MIRROR_SYNC = """\
E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]
   Hashes of expected file:
    - Filesize:376004 [weak]
E: Some index files failed to download. They have been ignored, or old ones used instead."""

HELD_BROKEN = """\
The following packages have unmet dependencies:
 libc6:i386 : Depends: libgcc-s1:i386 but it is not going to be installed
E: Unable to correct problems, you have held broken packages."""

# Each stand-in writes one line per call to $RECORD, apt-get without its options. $FAIL_UPDATE
# and $FAIL_INSTALL say how often apt-get fails those (a number, or "always"); $UPDATE_ERROR
# is what it says then; with $BROKEN_I386 its update fails so while i386 is an architecture
# (added by the dpkg stand-in). With $FAIL_WINE32 it cannot install wine32:i386.
# dpkg-query finds every package but those in $ABSENT with $ALL_INSTALLED, at version 9 or
# $VERSION_name.
# mmdebstrap fails while a suite of $BROKEN_SUITE is in the sources it gets, or
# $BROKEN_TIMES times; it records the sources' suites.
STAND_INS = {
    "apt-get": r"""
words=()
while [ $# -gt 0 ]; do
  case "$1" in -o) shift ;; -*) ;; *) words+=("$1") ;; esac
  shift
done
echo "apt-get ${words[*]}" >>"$RECORD"
fails() {  # fails KIND LIMIT: whether this call of KIND fails
  local count=$(( $(cat "$RECORD.$1" 2>/dev/null || echo 0) + 1 ))
  echo "$count" >"$RECORD.$1"
  [ "$2" = always ] || [ "$count" -le "$2" ]
}
case "${words[*]}" in
  update) if fails update "${FAIL_UPDATE:-0}" ||
      { [ -n "${BROKEN_I386:-}" ] && grep -qx i386 "$RECORD.arch" 2>/dev/null; }; then
      printf '%s\n' "$UPDATE_ERROR" >&2; exit 100; fi ;;
  *wine32:i386*) if [ -n "${FAIL_WINE32:-}" ]; then
      printf '%s\n' "$HELD_BROKEN" >&2; exit 100; fi ;;
  install*) if fails install "${FAIL_INSTALL:-0}"; then
      echo "E: Unable to locate package cmake" >&2; exit 100; fi ;;
esac
""",
    "dpkg-query": r"""
package=${*: -1} version=VERSION_${package//[^a-z0-9]/_}
[ -n "${ALL_INSTALLED:-}" ] && [[ " ${ABSENT:-} " != *" $package "* ]] &&
  echo "install ok installed ${!version:-9}"
exit 0""",
    "dpkg": r"""
echo "dpkg $*" >>"$RECORD"
case "$1" in
  --compare-versions) exec /usr/bin/dpkg "$@" ;;
  --print-foreign-architectures) cat "$RECORD.arch" 2>/dev/null ;;
  --add-architecture) echo "$2" >>"$RECORD.arch" ;;
  --remove-architecture) sed -i "/^$2\$/d" "$RECORD.arch" ;;
esac""",
    "id": "echo 0",
    "sleep": r"""echo "sleep $*" >>"$RECORD" """,
    "mmdebstrap": r"""
positional=()
for arg in "$@"; do [[ $arg == --* ]] || positional+=("$arg"); done
suites=$(cat "${positional[@]:2}" | sed -n 's/^Suites: *//p; s/^deb \(\[[^]]*\] \)\{0,1\}[^ ]* \([^ ]*\).*/\2/p' | xargs)
echo "mmdebstrap $suites" >>"$RECORD"
count=$(( $(cat "$RECORD.mm" 2>/dev/null || echo 0) + 1 )); echo "$count" >"$RECORD.mm"
if [[ " $suites " == *" ${BROKEN_SUITE:-none} "* ]] || [ "$count" -le "${BROKEN_TIMES:-0}" ]; then
  echo "E: Failed to fetch http://deb.debian.org/debian/dists/${BROKEN_SUITE:-bookworm-security}/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
  exit 25
fi
mkdir -p "${positional[1]}/boot"
touch "${positional[1]}/boot/vmlinuz-6.1" "${positional[1]}/boot/initrd.img-6.1"
""",
    "mke2fs": r"""touch "${@: -2:1}" """,
}

SOURCES = {
    "sources.list.d/debian.sources": """\
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
""",
    "sources.list.d/extra.list": """\
deb [arch=amd64 signed-by=/k.gpg] http://deb.debian.org/debian-security bookworm-security main
deb http://deb.debian.org/debian bookworm-backports main
""",
}


class Scene:
    """A temporary folder with the stand-ins, a record of their calls and apt's settings."""

    def __init__(self, folder, sources=SOURCES):
        self.folder = Path(folder)
        bin_dir = self.folder / "bin"
        bin_dir.mkdir()
        for name, body in STAND_INS.items():
            (bin_dir / name).write_text("#!/bin/bash\n" + body + "\n")
            (bin_dir / name).chmod(0o755)
        (self.folder / "etc/sources.list.d").mkdir(parents=True)
        for name, text in sources.items():
            (self.folder / "etc" / name).parent.mkdir(parents=True, exist_ok=True)
            (self.folder / "etc" / name).write_text(text)
        self.record = self.folder / "record"
        self.log = self.folder / "setup.log"
        self.env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}",
                        RECORD=str(self.record), ZDRV_LOG=str(self.log),
                        ZDRV_APT_ETC=str(self.folder / "etc"),
                        XDG_CACHE_HOME=str(self.folder / "cache"), UPDATE_ERROR=MIRROR_SYNC,
                        HELD_BROKEN=HELD_BROKEN)

    def run(self, script, *args, **settings):
        self.record.write_text("")
        for name in ("update", "install", "mm", "arch"):
            Path(f"{self.record}.{name}").unlink(missing_ok=True)
        result = subprocess.run([str(CHECKOUT / "scripts" / script), *args],
                                env=dict(self.env, **settings), capture_output=True,
                                text=True, check=False, timeout=120)
        calls = [line.split() if line.startswith(("apt-get", "dpkg")) else line
                 for line in self.record.read_text().splitlines()
                 if not line.startswith(("dpkg --compare", "dpkg --print"))]
        return result, calls


UPDATE, PAUSE = ["apt-get", "update"], "sleep 20"
INSTALL = ["apt-get", "install", "cmake", "make", "g++"]
HOLD_ON = ("Paketlisten nicht alle erneuert (apt-get update: Status 100), es geht mit den "
           "vorhandenen weiter")


class InstallDeps(unittest.TestCase):
    def test_update_failures(self):
        fetching = "Paketlisten holen (Protokoll: {log})"
        installing = "Pakete installieren: cmake make g++ (Protokoll: {log})"
        cases = [
            # settings, status, calls in order, the user's lines
            ({"FAIL_UPDATE": "1"}, 0, [UPDATE, PAUSE, UPDATE, INSTALL], [fetching, installing]),
            ({"FAIL_UPDATE": "always"}, 0, [UPDATE, PAUSE, UPDATE, PAUSE, UPDATE, INSTALL],
             [fetching, HOLD_ON, installing]),
            ({"FAIL_UPDATE": "always", "UPDATE_ERROR": "E: Malformed entry 1 in list file"},
             0, [UPDATE, INSTALL],
             [fetching, HOLD_ON, installing]),
            ({"ALL_INSTALLED": "1", "FAIL_UPDATE": "always"}, 0, [], []),
        ]
        for settings, status, calls, lines in cases:
            with self.subTest(settings=settings), tempfile.TemporaryDirectory() as folder:
                scene = Scene(folder)
                result, made = scene.run("install-deps", "program", **settings)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertEqual(made, calls)
                self.assertEqual(result.stderr.splitlines(),
                                 [line.format(log=scene.log) for line in lines])

    def test_failed_install_shows_both_errors(self):
        with tempfile.TemporaryDirectory() as folder:
            scene = Scene(folder)
            result, made = scene.run("install-deps", "program", FAIL_UPDATE="always",
                                     FAIL_INSTALL="always")
        self.assertEqual(result.returncode, 100)
        self.assertEqual(made, [UPDATE, PAUSE, UPDATE, PAUSE, UPDATE, INSTALL])
        self.assertEqual(result.stderr.splitlines()[1:], [
            HOLD_ON, f"Pakete installieren: cmake make g++ (Protokoll: {scene.log})",
            "Fehlgeschlagen: Pakete installieren (Status 100). Die letzten Zeilen von "
            "apt-get install:",
            "    E: Unable to locate package cmake",
            "Zuvor ließen sich die Paketlisten nicht alle erneuern, vielleicht die Ursache:",
            "    " + MIRROR_SYNC.splitlines()[0], "    " + MIRROR_SYNC.splitlines()[-1]])

    def test_wine32_in_a_step_of_its_own(self):
        rest, wine32 = ["apt-get", "install", "wine"], ["apt-get", "install", "wine32:i386"]
        add, remove = (["dpkg", f"--{what}-architecture", "i386"] for what in ("add", "remove"))
        fetching, installing, adding, fetching_i386, installing_wine32 = (
            f"{step} (Protokoll: {{log}})" for step in [
                "Paketlisten holen", "Pakete installieren: wine", "Architektur i386 hinzufügen",
                "Paketlisten mit i386 holen", "Pakete installieren: wine32:i386"])
        steps = [fetching, installing, adding, fetching_i386, installing_wine32]
        without = ("Wines 32-Bit-Teil nicht installiert, es geht ohne ihn weiter: Unable to "
                   "correct problems, you have held broken packages.")
        cases = [
            # settings, status, calls in order, the user's lines
            ({"FAIL_WINE32": "1", "BROKEN_I386": "1"}, 0,
             [UPDATE, rest, add, UPDATE, wine32, remove],
             steps + [without + "; Paketlisten nicht abrufbar: bookworm-security"]),
            ({"FAIL_WINE32": "1"}, 0, [UPDATE, rest, add, UPDATE, wine32, remove],
             steps + [without]),
            ({}, 0, [UPDATE, rest, add, UPDATE, wine32], steps),
            ({"ABSENT": "wine32:i386"}, 0, [add, UPDATE, wine32], steps[2:]),
            ({"FAIL_INSTALL": "1"}, 100, [UPDATE, rest], steps[:2] + [
                "Fehlgeschlagen: Pakete installieren (Status 100). Die letzten Zeilen von "
                "apt-get install:", "    E: Unable to locate package cmake"]),
            ({"ZDRV_WINE32": "emulated"}, 0, [UPDATE, rest], steps[:2]),
        ]
        for settings, status, calls, lines in cases:
            with self.subTest(settings=settings), tempfile.TemporaryDirectory() as folder:
                scene = Scene(folder)
                result, made = scene.run("install-deps", "win32", **dict(
                    {"ZDRV_WINE32": "native", "ALL_INSTALLED": "1", "ABSENT": "wine wine32:i386"},
                    **settings))
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertEqual(made, calls)
                self.assertEqual(result.stderr.splitlines(),
                                 [line.format(log=scene.log) for line in lines])

    def test_osslsigncode_from_backports(self):
        deb822 = {name: SOURCES[name] for name in ["sources.list.d/debian.sources"]}
        one_line = {"sources.list": "deb http://mirror.example/debian-security bookworm-security "
                                    "main\ndeb [arch=amd64 signed-by=/k.gpg] "
                                    "http://mirror.example/debian bookworm main contrib\n"}
        added = ("Types: deb\nURIs: {}\nSuites: bookworm-backports\nComponents: main\n"
                 "Signed-By: {}\n")
        install = ["apt-get", "install", "osslsigncode/bookworm-backports"]
        cases = [
            # apt's sources, osslsigncode's version (None: absent), the source added, calls
            (deb822, "2.5-4", added.format("http://deb.debian.org/debian",
                                           "/usr/share/keyrings/debian-archive-keyring.gpg"),
             [UPDATE, install]),
            (one_line, None, added.format("http://mirror.example/debian", "/k.gpg"),
             [UPDATE, install]),
            (SOURCES, "2.5-4", None, [UPDATE, install]),  # extra.list has bookworm-backports
            (deb822, "2.9-1~bpo12+1", None, []),
        ]
        for sources, version, source, calls in cases:
            with self.subTest(sources=list(sources), version=version), \
                    tempfile.TemporaryDirectory() as folder:
                scene = Scene(folder, sources)
                result, made = scene.run("install-deps", "release", ALL_INSTALLED="1",
                                         **({"VERSION_osslsigncode": version} if version
                                            else {"ABSENT": "osslsigncode"}))
                self.assertEqual((result.returncode, made), (0, calls), result.stderr)
                added_file = scene.folder / "etc/sources.list.d/bookworm-backports.sources"
                self.assertEqual(added_file.read_text() if added_file.exists() else None, source)
                self.assertEqual("Paketquelle bookworm-backports hinzufügen" in result.stderr,
                                 source is not None)


# The suites of extra.list, then those of debian.sources.
FULL = "mmdebstrap bookworm-security bookworm-backports bookworm bookworm-updates bookworm-security"
REDUCED = "mmdebstrap bookworm-backports bookworm bookworm-updates"


class GuestImage(unittest.TestCase):
    def test_suites_of_the_image(self):
        with tempfile.TemporaryDirectory() as folder:
            scene = Scene(folder)
            cache = scene.folder / "cache" / "zdrv" / "guest"
            broken = {"ALL_INSTALLED": "1", "BROKEN_SUITE": "bookworm-security"}

            result, made = scene.run("guest-image", ALL_INSTALLED="1", BROKEN_TIMES="1")
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(made, [FULL, PAUSE, FULL])
            full = Path(result.stdout.strip())
            self.assertEqual(full.parent, cache)
            self.assertTrue((full / "complete").is_file())
            self.assertTrue((full / "root.img").is_file())

            # The next recipe (another source) while the security suite stays broken: the
            # image without it, for every architecture, kept apart from the full one.
            with open(scene.folder / "etc/sources.list.d/extra.list", "a") as extra:
                extra.write("# changed\n")
            result, made = scene.run("guest-image", **broken)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(made, [FULL, PAUSE, FULL, PAUSE, FULL, REDUCED])
            self.assertEqual(
                result.stderr.splitlines()[1:],
                ["Paketlisten von bookworm-security nicht abrufbar: das Gastsystem wird ohne "
                 "bookworm-security gebaut und nicht als vollständiges behalten"])
            reduced = Path(result.stdout.strip())
            self.assertTrue((reduced / "complete").is_file())
            self.assertFalse((reduced.parent / reduced.name.removesuffix("-reduced")).exists())
            self.assertFalse(full.exists())

            # Still broken: one try of the full image, and the reduced one serves.
            result, made = scene.run("guest-image", **broken)
            self.assertEqual((result.returncode, made), (0, [FULL]), result.stderr)
            self.assertEqual(Path(result.stdout.strip()), reduced)

            # The mirror is healthy again: the full image replaces the reduced one.
            result, made = scene.run("guest-image", ALL_INSTALLED="1")
            self.assertEqual((result.returncode, made), (0, [FULL]), result.stderr)
            self.assertEqual(Path(result.stdout.strip()).parent, cache)
            self.assertEqual(sorted(path.name for path in cache.iterdir() if
                                    not path.name.startswith(".")),
                             [reduced.name.removesuffix("-reduced")])

    def test_broken_release_suite_fails(self):
        with tempfile.TemporaryDirectory() as folder:
            result, made = Scene(folder).run("guest-image", ALL_INSTALLED="1",
                                             BROKEN_SUITE="bookworm")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(made, [FULL, PAUSE, FULL, PAUSE, FULL])
        self.assertIn("Fehlgeschlagen: Gastsystem installieren.", result.stderr)
        self.assertEqual(result.stdout, "")


if __name__ == "__main__":
    sys.exit(unittest.main())
