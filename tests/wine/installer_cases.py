#!/usr/bin/python3
"""The Windows installer (packaging/make-msi) under Wine: what it installs, writes and
takes away again, and the context menu it adds, invoked as Explorer invokes it.

The packages are made on this machine before the tests (in the emulated PC there is no
wixl), by this file run as a program:

  installer_cases.py MAKE_MSI ZDRV_EXE OUTDIR [MENU_DLL]

writes OUTDIR/zdrv-VERSION.msi for the release number of VERSION and for the next one,
each with a LIESMICH.txt that names its version; given the handler of Windows 11's first
menu, also zdrv-VERSION-menu.msi of both, which add it and its package (unsigned: Wine
checks no signature). The cases run in wine_e2e.py's group `installer`; those of the
handler in a 64-bit prefix only, the one kind that loads it.
"""

from __future__ import annotations

import dataclasses
import json
import re
import subprocess
import sys
import tempfile
import urllib.parse
import zipfile
from pathlib import Path
from xml.etree import ElementTree

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent))

import deployment_standin  # noqa: E402
from wine_harness import (WINE_TRACE, Run, Session, relay_calls, wait_for_children,  # noqa: E402
                          windows_path)

SOURCE = Path(__file__).resolve().parents[2]
MSIEXEC = "C:\\windows\\system32\\msiexec.exe"
CMD = "C:\\windows\\system32\\cmd.exe"

# What the installer must show: the entry and its sub-entries, in menu order, with the
# creation flag zdrv passes for each; the file types; Apps & Features.
MENU_ENTRY = "Mit Priorität starten"
SUB_ENTRIES = [("Leerlauf", "idle", 0x40), ("Normal", "normal", 0x20), ("Hoch", "high", 0x80),
               ("Echtzeit", "realtime", 0x100)]
# A file of each kind in a folder with blanks, umlauts and "&"; the batch files run the
# child, which records that they ran.
FOLDER = "Prüfung & Co"
FILE_KINDS = [(".exe", "Mein Programm.exe"), (".bat", "Sichern & Prüfen.bat"),
              (".cmd", "Lauf (1) für Ä.cmd")]
PRODUCT, PUBLISHER, WEB_ADDRESS = "Zandrivo", "Zandrivo-Werkstatt", "https://zandrivo.example/"
DOWNGRADE_MESSAGE = ("Eine neuere Version von Zandrivo ist bereits installiert. Um diese "
                     "ältere Version zu installieren, entfernen Sie zuerst die neuere unter "
                     "Einstellungen > Apps.")
ERROR_INSTALL_FAILURE = 1603
MENU_ROOT = "HKEY_CURRENT_USER\\Software\\Classes\\SystemFileAssociations"
# What the installer adds for Windows 11's first menu: a folder of its own in the install
# folder, and the publisher ID of its package, by which the handler knows its package.
HANDLER_FOLDER = "Kontextmenü"
HANDLER_FILES = ["zdrv-menu.dll", "zdrv-menu.msix"]
SETTINGS_KEY = "HKEY_CURRENT_USER\\Software\\Zandrivo"
UNINSTALL = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
# A 32-bit package's entry on 64-bit Windows (and in a 64-bit Wine prefix).
UNINSTALL_32 = "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
# The keys where Windows Installer keeps its own records of what is installed; after an
# uninstall it may leave them there, empty.
INSTALLER_RECORDS = ("HKEY_CURRENT_USER\\Software\\Microsoft\\Installer",
                     "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\"
                     "Installer",
                     "HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Microsoft\\Windows\\"
                     "CurrentVersion\\Installer")


def release_number() -> str:
    return (SOURCE / "VERSION").read_text().split()[0]


def next_release(version: str) -> str:
    major, minor = (int(part) for part in version.split("."))
    return f"{major + 1}.00" if minor == 99 else f"{major}.{minor + 1:02d}"


def package_name(version: str, handler: bool = False) -> str:
    return f"zdrv-{version}-menu.msi" if handler else f"zdrv-{version}.msi"


def make_packages(make_msi: str, zdrv_exe: str, out: str, menu_dll: str | None = None) -> int:
    Path(out).mkdir(parents=True, exist_ok=True)
    version = release_number()
    with tempfile.TemporaryDirectory() as work:
        if menu_dll:
            # make-msix writes the certificate's subject into the package as its publisher.
            cert = Path(work, "cert.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                            "-keyout", str(Path(work, "key.pem")), "-out", str(cert), "-days",
                            "2", "-subj", "/C=DE/O=Zandrivo-Werkstatt/CN=Zandrivo Test"],
                           check=True, capture_output=True)
        for release in [version, next_release(version)]:
            liesmich = Path(work, f"LIESMICH-{release}.txt")
            liesmich.write_bytes(f"Zandrivo {release}\r\n".encode())
            subprocess.run([make_msi, "--version", release, str(Path(out, package_name(release))),
                            zdrv_exe, str(liesmich)], check=True)
            if menu_dll:
                msix = Path(out, f"zdrv-menu-{release}.msix")
                subprocess.run([str(Path(make_msi).with_name("make-msix")), "--version", release,
                                str(msix), str(cert)], check=True)
                subprocess.run([make_msi, "--version", release, "--menu-handler", menu_dll,
                                str(msix), str(Path(out, package_name(release, True))),
                                zdrv_exe, str(liesmich)], check=True)
    return 0


# ---- the registry as `reg export` writes it ------------------------------------------------

Registry = dict[str, dict[str, str]]  # key -> value name ("@": the default) -> data


def _unquote(text: str) -> str:
    return re.sub(r"\\(.)", r"\1", text[1:-1])


def parse_reg(text: str) -> Registry:
    """Keys and values of a .reg file; string data unquoted, other data as written."""
    keys: Registry = {}
    values: dict[str, str] | None = None
    for line in re.sub(r"\\\r?\n\s*", "", text).splitlines():
        if line.startswith("[") and line.endswith("]"):
            values = keys.setdefault(line[1:-1], {})
        elif values is not None and (match := re.match(r'^(@|"(?:[^"\\]|\\.)*")=(.*)$', line)):
            name = "@" if match.group(1) == "@" else _unquote(match.group(1))
            data = match.group(2)
            values[name] = _unquote(data) if data.startswith('"') else data
    return keys


# Wine's desktop keeps a volatile copy of the system parameters here, made and dropped as
# its own processes come and go, whatever an installer does.
WINE_VOLATILE = "HKEY_CURRENT_USER\\Software\\Wine\\Temporary System Parameters"


def registry_changes(first: Registry, then: Registry) -> list[str]:
    """What changed, but in Windows Installer's own records of what it installed from
    where (a second installation of the same package adds its source there again), and in
    Wine's volatile keys."""
    first, then = ({key: values for key, values in registry.items()
                    if not key.startswith(INSTALLER_RECORDS + (WINE_VOLATILE,))}
                   for registry in (first, then))
    return ([f"new key {key}: {then[key]}" for key in then if key not in first] +
            [f"lost key {key}" for key in first if key not in then] +
            [f"changed {key}: {first[key]} -> {then[key]}" for key in first
             if key in then and then[key] != first[key]])


def under(registry: Registry, prefix: str) -> Registry:
    return {key: values for key, values in registry.items()
            if key.lower().startswith(prefix.lower())}


@dataclasses.dataclass
class State:
    """What the installer may touch: the user's part of the registry, the machine's
    software part (or only its Apps & Features entries), and the user profiles' files."""
    user: Registry
    machine: Registry
    files: dict[str, bytes]

    def changes(self, then: State) -> list[str]:
        return (registry_changes(self.user, then.user) +
                registry_changes(self.machine, then.machine) +
                [f"new file {name}" for name in then.files if name not in self.files] +
                [f"lost file {name}" for name in self.files if name not in then.files] +
                [f"changed file {name}" for name in self.files
                 if name in then.files and then.files[name] != self.files[name]])


def sub_verb(installed: State, verb_key: str, number: int) -> str:
    """The name of the `number`th sub-verb, in the order Explorer shows them."""
    entry = f"HKEY_CURRENT_USER\\{verb_key}\\shell\\"
    names = sorted(key[len(entry):] for key in installed.user
                   if key.startswith(entry) and "\\" not in key[len(entry):])
    return names[number - 1]


# ---- the cases --------------------------------------------------------------------------------

class InstallerSupport:
    """Mixed into wine_e2e's WineCase (self.session, self.scratch and its assertions)."""

    session: Session

    # -- what the harness does not have --

    def msiexec(self, *arguments: str) -> Run:
        """msiexec with its own status (the Unix one keeps only its low byte) and the
        message boxes it showed."""
        run = self.session.run(MSIEXEC, subprocess.list2cmdline(["msiexec", *arguments]),
                               time_limit_ms=120000, expect_child=False)
        self.assertFalse(run.timed_out, run.describe())
        return run

    def package(self, version: str, handler: bool = False) -> str:
        path = self.session.work.parent / "installer" / package_name(version, handler)
        self.assertTrue(path.is_file(), f"{path}: the test ctest wine.installer-packages "
                                        "makes it")
        return windows_path(path)

    def export(self, key: str) -> Registry:
        out = self.session.runs / "export.reg"
        out.unlink(missing_ok=True)
        subprocess.run([self.session.loader, "reg", "export", key, windows_path(out), "/y"],
                       env=self.session.environment(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=120 * self.session.patience, check=False)
        # A key that is not there exports nothing.
        return parse_reg(out.read_bytes().decode("utf-16")) if out.is_file() else {}

    def state(self, whole_machine: bool = False) -> State:
        # Each export is a Wine call, slow in the emulated PC: only the machine's Apps &
        # Features entries, where Wine keeps them (see apps_entries), unless asked.
        apps = UNINSTALL_32 if self.session.arch == "win64" else UNINSTALL
        machine = self.export(f"HKEY_LOCAL_MACHINE\\{'Software' if whole_machine else apps}")
        users = self.session.prefix / "drive_c" / "users"
        files = {str(path.relative_to(users)): path.read_bytes() if path.is_file() else b"/"
                 for path in sorted(users.rglob("*")) if not path.is_symlink()}
        return State(self.export("HKEY_CURRENT_USER"), machine, files)

    def windows_file(self, path: str) -> Path:
        self.assertRegex(path, r"^[Cc]:\\")
        return self.session.prefix / "drive_c" / path[3:].replace("\\", "/")

    # -- what an installed Zandrivo looks like --

    def apps_entries(self, state: State) -> dict[str, dict[str, str]]:
        """The Apps & Features entries of Zandrivo, per user or per machine: Wine keeps
        a 32-bit package's under HKLM, in the 32-bit view where there is one."""
        entries = {**under(state.user, f"HKEY_CURRENT_USER\\{UNINSTALL}\\"),
                   **under(state.machine, f"HKEY_LOCAL_MACHINE\\{UNINSTALL}\\"),
                   **under(state.machine, f"HKEY_LOCAL_MACHINE\\{UNINSTALL_32}\\")}
        return {key: values for key, values in entries.items()
                if values.get("DisplayName") == PRODUCT}

    def assert_installed(self, state: State, version: str, handler: bool = False) -> str:
        """One product, of `version`, with its files (the handler of Windows 11's first menu
        and its package in their folder, with the package's publisher ID, if `handler`),
        menu, PATH entry and Apps & Features entry. Returns the install folder (its Windows
        path)."""
        entries = list(self.apps_entries(state).values())
        self.assertEqual(len(entries), 1, "one Zandrivo in Apps & Features")
        for name, wanted in [("DisplayVersion", version), ("Publisher", PUBLISHER),
                             ("HelpLink", WEB_ADDRESS), ("URLInfoAbout", WEB_ADDRESS)]:
            self.assertEqual(entries[0].get(name), wanted, name)
        icons = [values["ProductIcon"] for key, values in state.user.items()
                 if "\\Installer\\Products\\" in key and "ProductIcon" in values]
        self.assertEqual(len(icons), 1, "the product's icon")
        self.assertEqual(self.windows_file(icons[0]).read_bytes(),
                         (SOURCE / "resources" / "zdrv.ico").read_bytes(), "zdrv's icon")

        folder = self.install_folder(state)
        self.assertRegex(folder, r"^C:\\users\\[^\\]+\\AppData\\Local\\Programs\\Zandrivo\\$")
        unix = self.windows_file(folder)
        self.assertEqual(sorted(p.name for p in unix.iterdir()),
                         sorted(["LIESMICH.txt", "zdrv.exe",
                                 *([HANDLER_FOLDER] if handler else [])]))
        self.assertEqual((unix / "zdrv.exe").read_bytes(), self.session.zdrv.read_bytes())
        self.assertEqual((unix / "LIESMICH.txt").read_bytes(), f"Zandrivo {version}\r\n".encode())
        if handler:
            self.assertEqual(sorted(p.name for p in (unix / HANDLER_FOLDER).iterdir()),
                             HANDLER_FILES)
            publisher = package_identity(unix / HANDLER_FOLDER / "zdrv-menu.msix")[2]
            self.assertEqual(state.user.get(SETTINGS_KEY),
                             {"MenuPackagePublisherId": publisher}, "the package's publisher ID")
        self.assert_menu(state, folder)
        path = state.user["HKEY_CURRENT_USER\\Environment"].get("PATH", "")
        self.assertEqual([entry for entry in path.split(";") if entry.lower() == folder.lower()],
                         [folder], f"PATH {path!r} names the install folder once")
        return folder

    def install_folder(self, state: State) -> str:
        command = state.user.get(f"{MENU_ROOT}\\.exe\\shell\\Zandrivo\\shell\\1idle\\command", {})
        match = re.match(r'^"(.*\\)zdrv\.exe" ', command.get("@", ""))
        self.assertIsNotNone(match, f"the command of the first sub-entry: {command}")
        return match.group(1)

    def assert_menu(self, state: State, folder: str) -> None:
        """On each file type one entry, with zdrv's icon, whose sub-entries sort in menu
        order and each run zdrv with their keyword; shown in the classic menu wherever the
        handler of Windows 11's first menu is."""
        zdrv = f"{folder}zdrv.exe"
        for file_type, _ in FILE_KINDS:
            entry = f"{MENU_ROOT}\\{file_type}\\shell\\Zandrivo"
            with self.subTest(file_type=file_type):
                self.assertEqual(state.user.get(entry), {"MUIVerb": MENU_ENTRY,
                                                         "Icon": f"{zdrv},0", "SubCommands": ""})
                verbs = sorted(key for key in under(state.user, f"{entry}\\shell\\")
                               if key.count("\\") == entry.count("\\") + 2)
                self.assertEqual([state.user[verb] for verb in verbs],
                                 [{"MUIVerb": label} for label, _, _ in SUB_ENTRIES])
                self.assertEqual([state.user.get(f"{verb}\\command") for verb in verbs],
                                 [{"@": f'"{zdrv}" {keyword} "%1"'}
                                  for _, keyword, _ in SUB_ENTRIES])

    def assert_removed(self, before: State, after: State, path_before: str | None) -> None:
        """Everything as before the installation, but for Windows Installer's own record
        keys, left empty, and the user's PATH as Wine leaves it."""
        self.assertEqual(self.apps_entries(after), {})
        environment = after.user.get("HKEY_CURRENT_USER\\Environment", {})
        path = environment.get("PATH")
        if path_before is not None and path is not None:
            # Wine takes the entry out but leaves its separator behind, which Windows does
            # not: "C:\vorher" comes back as "C:\vorher;". The entries are those of before.
            self.assertEqual([entry for entry in path.split(";") if entry],
                             path_before.split(";"))
            self.assertIn(path, [path_before, f"{path_before};"])
            environment["PATH"] = path_before
        self.assertEqual(before.changes(after), [])
        first = {**before.user, **before.machine}
        records = {key: values for key, values in {**after.user, **after.machine}.items()
                   if key.startswith(INSTALLER_RECORDS) and values and values != first.get(key)}
        self.assertEqual(records, {}, "Windows Installer's records of Zandrivo")

    # -- running what the menu runs --

    def assert_menu_runs(self, installed: State, folder: str, only_first: bool = False) -> None:
        """Every sub-entry on every kind of file (or the first on the first), invoked as
        Explorer does: zdrv starts the file, with that priority's creation flag, and the
        file runs."""
        helper = self.session.win32_build / "tests" / "wine" / "shell_verb.exe"
        self.assertTrue(helper.is_file(), f"missing {helper}")
        child = self.scratch.program("kind\\child.exe")
        self.scratch.mkdir(FOLDER)
        files = {}
        for file_type, name in FILE_KINDS:
            relative = f"{FOLDER}\\{name}"
            if file_type == ".exe":
                files[file_type] = (self.scratch.program(relative), self.scratch.program(relative))
            else:
                # cmd reads a batch file in the OEM code page; its text is ASCII.
                files[file_type] = (self.scratch.file(relative, f'@"{child}"\r\n'.encode()), child)
        zdrv = f"{folder}zdrv.exe"
        cases = [(kind, entry) for kind in FILE_KINDS for entry in enumerate(SUB_ENTRIES, 1)]
        for (file_type, _), (number, (label, _, flag)) in cases[:1 if only_first else None]:
            target, ran = files[file_type]
            verb_key = f"Software\\Classes\\SystemFileAssociations\\{file_type}\\shell\\Zandrivo"
            verb = sub_verb(installed, verb_key, number)
            with self.subTest(file=target, entry=label):
                run = self.session.run(windows_path(helper),
                                       subprocess.list2cmdline([windows_path(helper), verb_key,
                                                                verb, target]),
                                       directory=self.scratch.directory, traced=zdrv,
                                       time_limit_ms=60000, children_within=30)
                self.assertFalse(run.timed_out, run.describe())
                self.assertEqual((run.exit_code, run.boxes), (0, []), run.describe())
                self.assertEqual([c.arguments[0].dword for c in run.trace.of("ExitProcess")], [0])
                starts = run.trace.of("CreateProcessA")
                self.assertEqual([c.arguments[5].dword for c in starts], [flag], run.describe())
                self.assertEqual([c["module"].lower() for c in run.children], [ran.lower()],
                                 "the file ran")

    # -- before each case --

    def setUp(self) -> None:
        super().setUp()
        self.versions = [release_number(), next_release(release_number())]
        # What an earlier run that failed half-way left behind.
        for version in self.versions:
            self.msiexec("/x", self.package(version), "/qn")
        self.set_user_path(None)
        # A console window keeps its settings in the registry when the first one opens
        # (the batch files run in one): one opens here, before the first look.
        self.session.run(CMD, "cmd /c start /wait cmd /c exit", expect_child=False)

    def set_user_path(self, path: str | None) -> None:
        if path:
            self.reg("add", "HKCU\\Environment", "/v", "PATH", "/t", "REG_SZ", "/d", path)
        else:
            self.reg("delete", "HKCU\\Environment", "/v", "PATH")

    def reg(self, *command: str) -> None:
        self.session.capture("reg", *command, "/f")


class InstallerCases(InstallerSupport):
    """Install, use, upgrade, refuse a downgrade, remove; a PATH of the user's own."""

    def test_install_use_upgrade_remove(self):
        older, newer = self.versions
        before = self.state(whole_machine=True)
        self.assertEqual(self.apps_entries(before), {})
        install = self.msiexec("/i", self.package(older), "/qn")
        self.assertEqual((install.exit_code, install.boxes), (0, []), install.describe())
        installed = self.state()
        folder = self.assert_installed(installed, older)
        self.assert_menu_runs(installed, folder)
        # In a new command prompt, zdrv is found on the PATH.
        program = self.scratch.program("cwd\\programm.exe")
        run = self.session.run(CMD, "cmd /c zdrv high programm.exe",
                               directory=self.scratch.directory, traced=f"{folder}zdrv.exe",
                               time_limit_ms=60000, children_within=30)
        self.assertEqual([c["module"].lower() for c in run.children], [program.lower()])

        used = self.state()
        again = self.msiexec("/i", self.package(older), "/qn")
        self.assertEqual((again.exit_code, again.boxes), (0, []), "the same version again")
        self.assertEqual(used.changes(self.state()), [], "the same version again")

        upgrade = self.msiexec("/i", self.package(newer), "/qn")
        self.assertEqual((upgrade.exit_code, upgrade.boxes), (0, []), upgrade.describe())
        upgraded = self.state()
        self.assertEqual(self.assert_installed(upgraded, newer), folder)

        # Basic UI, so that the refusal is shown.
        downgrade = self.msiexec("/i", self.package(older), "/qb")
        self.assertEqual(downgrade.exit_code, ERROR_INSTALL_FAILURE, downgrade.describe())
        self.assertEqual([box.text for box in downgrade.boxes], [DOWNGRADE_MESSAGE])
        self.assertEqual(upgraded.changes(self.state()), [], "a refused downgrade")

        remove = self.msiexec("/x", self.package(newer), "/qn")
        self.assertEqual((remove.exit_code, remove.boxes), (0, []), remove.describe())
        self.assert_removed(before, self.state(whole_machine=True), None)
        print(f"install {install.seconds:.2f} s, same version {again.seconds:.2f} s, "
              f"upgrade {upgrade.seconds:.2f} s, uninstall {remove.seconds:.2f} s")

    def test_path_that_was_there_before(self):
        """The install folder is appended to the user's PATH, and only it is taken out."""
        path_before = "C:\\vorher;D:\\Werkzeuge"
        self.set_user_path(path_before)
        before = self.state()
        install = self.msiexec("/i", self.package(self.versions[0]), "/qn")
        self.assertEqual(install.exit_code, 0, install.describe())
        installed = self.state()
        folder = self.install_folder(installed)
        self.assertEqual(installed.user["HKEY_CURRENT_USER\\Environment"]["PATH"],
                         f"{path_before};{folder}")
        remove = self.msiexec("/x", self.package(self.versions[0]), "/qn")
        self.assertEqual(remove.exit_code, 0, remove.describe())
        self.assert_removed(before, self.state(), path_before)


# ---- the handler of Windows 11's first menu, installed ---------------------------------------

COM_NAMESPACE = "{http://schemas.microsoft.com/appx/manifest/com/windows10}"
FOUNDATION_NAMESPACE = "{http://schemas.microsoft.com/appx/manifest/foundation/windows10}"
# What the stand-in package manager answers when told to refuse a package.
PACKAGE_REFUSED = 0x80073CF0
WINDOWS_11, WINDOWS_10 = 22631, 19045


def package_identity(msix: Path) -> deployment_standin.Package:
    """The identity Windows gives the package: name, full name and publisher ID, from its
    manifest."""
    with zipfile.ZipFile(msix) as package:
        manifest = ElementTree.fromstring(package.read("AppxManifest.xml"))
    identity = next(manifest.iter(f"{FOUNDATION_NAMESPACE}Identity"))
    name, version = identity.get("Name"), identity.get("Version")
    publisher_id = deployment_standin.publisher_id(identity.get("Publisher"))
    return (name, f"{name}_{version}_{identity.get('ProcessorArchitecture')}__{publisher_id}",
            publisher_id)


def file_uri_path(uri: str) -> str:
    """The Windows path of a file: URI."""
    parsed = urllib.parse.urlsplit(uri)
    return urllib.parse.unquote(parsed.path).lstrip("/").replace("/", "\\").rstrip("\\")


class HandlerInstallerCases(InstallerSupport):
    """The installer with the handler of Windows 11's first menu and its package: the
    package is added where the handler works, the classic entry stays, and all of it goes
    at uninstall, without a restart, a package of another publisher left alone. Wine has no
    package manager: a stand-in records what the handler asks of it (deployment_standin.py)."""

    arch = "win64"  # the handler is an x64 DLL

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        tests = cls.session.other_build / "tests" / "wine"
        cls.driver = tests / "explorer_command.exe"
        cls.stand_in = deployment_standin.register(cls.session, tests / "deployment_standin.dll",
                                                   cls.scratch.unix("deployment"))

    def setUp(self) -> None:
        super().setUp()
        self.stand_in.reset()

    def identify(self, version: str) -> None:
        """Tells the stand-in the identity in the manifest of this version's package."""
        self.stand_in.identify(package_identity(
            self.session.work.parent / "installer" / f"zdrv-menu-{version}.msix"))

    def adds_and_removals(self) -> list[tuple[str, ...]]:
        return [(call[0], *map(file_uri_path, call[1:]))
                if call[0] == "AddPackageByUriAsync" else call
                for call in self.stand_in.calls()
                if call[0] in ("AddPackageByUriAsync", "RemovePackageAsync")]

    def test_first_menu_added_used_upgraded_removed(self):
        older, newer = self.versions
        # A package of our name from another publisher is none of ours.
        name = package_identity(self.session.work.parent / "installer" /
                                f"zdrv-menu-{older}.msix")[0]
        theirs = deployment_standin.publisher_id("CN=Jemand Anders")
        impostor = (name, f"{name}_9.0.0.0_x64__{theirs}", theirs)
        with deployment_standin.windows_build(self.session, WINDOWS_11):
            self.stand_in.set_packages([impostor])
            before = self.state(whole_machine=True)
            self.identify(older)
            install = self.msiexec("/i", self.package(older, True), "/qn")
            self.assertEqual((install.exit_code, install.boxes), (0, []), install.describe())
            installed = self.state()
            folder = self.assert_installed(installed, older, handler=True)
            handler_folder = f"{folder}{HANDLER_FOLDER}"
            self.assertEqual(self.adds_and_removals(),
                             [("AddPackageByUriAsync", f"{handler_folder}\\zdrv-menu.msix",
                               handler_folder)])
            added = self.stand_in.packages()[1:]
            self.assertEqual(len(added), 1)
            self.assert_handler_serves(folder)

            self.identify(newer)
            upgrade = self.msiexec("/i", self.package(newer, True), "/qn")
            self.assertEqual((upgrade.exit_code, upgrade.boxes), (0, []), upgrade.describe())
            self.assertEqual(self.assert_installed(self.state(), newer, handler=True), folder)
            calls = self.adds_and_removals()
            self.assertEqual(calls[1:], [("RemovePackageAsync", added[0][1]), calls[0]],
                             "the old package goes before the new one comes")
            self.assertEqual(len(self.stand_in.packages()), 2)

            # A value someone left in the entry's key goes with the key.
            self.reg("add", f"{MENU_ROOT}\\.exe\\shell\\Zandrivo", "/v", "Liegengeblieben",
                     "/d", "")
            # Explorer's surrogate still holds the DLL: uninstalling ends it, and removes the
            # DLL without a restart.
            with deployment_standin.holding(self.session, self.driver,
                                            self.scratch.unix("surrogate/dllhost.exe"),
                                            f"{handler_folder}\\zdrv-menu.dll") as surrogate:
                remove = self.msiexec("/x", self.package(newer, True), "/qn")
                self.assertEqual((remove.exit_code, remove.boxes), (0, []), remove.describe())
                self.assertIsNotNone(surrogate.poll(), "the surrogate ended")
            self.assertEqual(self.adds_and_removals()[-1][0], "RemovePackageAsync")
            self.assertEqual(self.stand_in.packages(), [impostor])
            self.assert_removed(before, self.state(whole_machine=True), None)
        print(f"install {install.seconds:.2f} s, upgrade {upgrade.seconds:.2f} s, "
              f"uninstall {remove.seconds:.2f} s")

    def test_classic_entry_stays_where_the_package_cannot_serve(self):
        for build, refused, adds in [(WINDOWS_11, PACKAGE_REFUSED, 1), (WINDOWS_10, None, 0)]:
            with self.subTest(build=build, refused=refused), \
                    deployment_standin.windows_build(self.session, build):
                self.stand_in.reset()
                self.stand_in.fail(refused)
                self.identify(self.versions[0])
                before = self.state()
                install = self.msiexec("/i", self.package(self.versions[0], True), "/qn")
                self.assertEqual((install.exit_code, install.boxes), (0, []), install.describe())
                installed = self.state()
                folder = self.assert_installed(installed, self.versions[0], handler=True)
                self.assert_menu_runs(installed, folder, only_first=True)
                self.assertEqual([call[0] for call in self.adds_and_removals()],
                                 ["AddPackageByUriAsync"] * adds)
                if not adds:
                    self.assertEqual(self.stand_in.calls(), [], "Windows 10 has no such menu")
                self.assertEqual(self.stand_in.packages(), [])
                remove = self.msiexec("/x", self.package(self.versions[0], True), "/qn")
                self.assertEqual(remove.exit_code, 0, remove.describe())
                self.assert_removed(before, self.state(), None)

    def assert_handler_serves(self, folder: str) -> None:
        """The installed handler, activated as Explorer activates it (by the class and DLL
        the package names, in the folder the package was added with), shows its entry for
        exactly one file of the table, and each sub-entry starts the installed zdrv.exe on
        the file, which starts it with that priority. The package's application is no
        file there: zdrv.exe never runs as a packaged process."""
        location = [call[2] for call in self.adds_and_removals()
                    if call[0] == "AddPackageByUriAsync"][-1] + "\\"
        with zipfile.ZipFile(self.windows_file(f"{location}zdrv-menu.msix")) as msix:
            manifest = ElementTree.fromstring(msix.read("AppxManifest.xml"))
        application = next(manifest.iter(f"{FOUNDATION_NAMESPACE}Application"))
        self.assertFalse(self.windows_file(location + application.get("Executable")).exists(),
                         "the package's application names no file")
        classes = list(manifest.iter(f"{COM_NAMESPACE}Class"))
        self.assertEqual(len(classes), 1, "one COM class in the package")
        dll, clsid = location + classes[0].get("Path"), "{" + classes[0].get("Id").upper() + "}"
        zdrv = f"{folder}zdrv.exe"

        described = self.drive(dll, clsid, "describe")
        self.assertEqual((described["root"]["title"], described["root"]["icon"]),
                         (MENU_ENTRY, f"{zdrv},0"))
        self.assertEqual([sub["title"] for sub in described["sub_commands"]],
                         [label for label, _, _ in SUB_ENTRIES])
        # The batch files run the child, which records that they ran.
        child = self.scratch.program("kind\\child.exe")
        files = {file_type: (self.scratch.program(f"{FOLDER}\\{name}") if file_type == ".exe"
                             else self.scratch.file(f"{FOLDER}\\{name}",
                                                    f'@"{child}"\r\n'.encode()))
                 for file_type, name in FILE_KINDS}
        shown = list(files.values())
        hidden = [self.scratch.file(f"{FOLDER}\\x.exe.txt", b"kein Programm"),
                  self.scratch.mkdir(f"{FOLDER}\\a.exe"), "*".join(shown[:2]), "-"]
        states = self.drive(dll, clsid, "state", *shown, *hidden)["states"]
        self.assertEqual(states, [["enabled"] * 5] * len(shown) + [["hidden"] * 5] * len(hidden))

        for file_type, target in files.items():
            with self.subTest(file=target):
                log = self.session.runs / "handler-children.log"
                log.unlink(missing_ok=True)
                ran = self.session.capture(self.driver, dll, clsid, "invoke", target,
                                           debug=WINE_TRACE,
                                           extra_env={"ZDRV_CHILD_LOG": windows_path(log)})
                self.assertEqual(ran.returncode, 0, ran.stderr[-2000:])
                children = wait_for_children(log, len(SUB_ENTRIES), 30 * self.session.patience)
                starts = relay_calls(ran.stderr.decode(errors="replace").splitlines(),
                                     "CreateProcessA")
                self.assertEqual(sorted(call.arguments[5].dword for call in starts),
                                 sorted(flag for _, _, flag in SUB_ENTRIES), "zdrv's starts")
                ran_file = target if file_type == ".exe" else child
                self.assertEqual([record["module"].lower() for record in children],
                                 [ran_file.lower()] * len(SUB_ENTRIES), "the file ran")

    def drive(self, dll: str, clsid: str, action: str, *selections: str) -> dict:
        ran = self.session.capture(self.driver, dll, clsid, action, *selections)
        self.assertEqual(ran.returncode, 0, ran.stderr[-2000:])
        return json.loads(ran.stdout.decode())


if __name__ == "__main__":
    sys.exit(make_packages(*sys.argv[1:]))
