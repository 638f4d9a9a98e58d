"""Windows' package deployment for zdrv-menu.dll's DllRegisterServer under Wine, which has
none: deployment_standin.dll (see its header) registered as the WinRT classes the DLL
activates, a Windows build number the prefix reports, and Explorer's COM surrogate, which
holds the DLL loaded. Its files are read and written from here, without Wine; each
function that needs Wine makes one call of it, since in the emulated PC a call takes
about ten seconds.
"""

from __future__ import annotations

import contextlib
import hashlib
import shutil
import subprocess
import time
from pathlib import Path

CLASSES = ["Windows.Management.Deployment.PackageManager",
           "Windows.Management.Deployment.AddPackageOptions", "Windows.Foundation.Uri"]
CLASS_ROOT = r"HKEY_LOCAL_MACHINE\Software\Microsoft\WindowsRuntime\ActivatableClassId"
VERSION_KEY = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion"
BUILD_VALUES = ["CurrentBuild", "CurrentBuildNumber"]


def publisher_id(publisher: str) -> str:
    """The publisher ID Windows gives a package's Publisher: the first 65 bits of the
    SHA-256 of its UTF-16LE text in Crockford's base 32 (lower case)."""
    bits = int.from_bytes(hashlib.sha256(publisher.encode("utf-16-le")).digest()[:8], "big")
    text = f"{bits << 1:065b}"
    return "".join("0123456789abcdefghjkmnpqrstvwxyz"[int(text[at:at + 5], 2)]
                   for at in range(0, 65, 5))


# Microsoft's own publisher and the ID every Windows shows for it.
assert publisher_id("CN=Microsoft Corporation, O=Microsoft Corporation, L=Redmond, "
                    "S=Washington, C=US") == "8wekyb3d8bbwe"

Package = tuple[str, str, str]  # name, full name, publisher ID


def prefix_path(session, unix_path: Path) -> str:
    """The Windows path of a file of the prefix's drive C:, else of the Z: drive."""
    unix_path = Path(unix_path).resolve()
    drive_c = (session.prefix / "drive_c").resolve()
    if unix_path.is_relative_to(drive_c):
        return "C:\\" + str(unix_path.relative_to(drive_c)).replace("/", "\\")
    return "Z:" + str(unix_path).replace("/", "\\")


def wine(session, *command: str) -> str:
    """One Wine call in the 64-bit view; its output."""
    ran = session.capture(*command)
    if ran.returncode != 0:
        raise AssertionError(f"{command}: exit {ran.returncode}: "
                             f"{ran.stderr.decode(errors='replace')[-1000:]}")
    return ran.stdout.decode("utf-8", errors="replace")


def import_reg(session, path: Path, lines: list[str]) -> None:
    path.write_text("\r\n".join(["Windows Registry Editor Version 5.00", "", *lines, ""]),
                    encoding="utf-16")
    wine(session, "reg", "import", prefix_path(session, path), "/reg:64")


def reg_text(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


class StandIn:
    """The stand-in's files in its folder."""

    def __init__(self, folder: Path):
        self.folder = folder

    def calls(self) -> list[tuple[str, ...]]:
        calls = self.folder / "calls.txt"
        if not calls.exists():
            return []
        return [tuple(line.split("\t")) for line in calls.read_text(encoding="utf-8").splitlines()]

    def fail(self, hresult: int | None) -> None:
        """Every add from now on fails with this HRESULT; None: adds succeed."""
        fail = self.folder / "fail.txt"
        if hresult is None:
            fail.unlink(missing_ok=True)
        else:
            fail.write_text(f"0x{hresult:08X}\n", encoding="ascii")

    def packages(self) -> list[Package]:
        """The current user's packages."""
        packages = self.folder / "packages.txt"
        if not packages.exists():
            return []
        return [tuple(line.split("\t", 2))
                for line in packages.read_text(encoding="utf-8").splitlines() if line]

    def set_packages(self, packages: list[Package]) -> None:
        (self.folder / "packages.txt").write_text(
            "".join("\t".join(package) + "\n" for package in packages), encoding="utf-8")

    def identify(self, package: Package) -> None:
        """The identity of the real packages added from now on (the manifest's)."""
        (self.folder / "identity.txt").write_text("\t".join(package) + "\n", encoding="utf-8")

    def unreleased(self) -> list[int]:
        """For each process that loaded the stand-in and ended: the objects it handed out
        that were never released."""
        unreleased = self.folder / "unreleased.txt"
        return ([int(line) for line in unreleased.read_text().split()]
                if unreleased.exists() else [])

    def reset(self) -> None:
        """No calls, no packages, no failure."""
        for name in ["calls.txt", "packages.txt", "fail.txt", "identity.txt", "unreleased.txt"]:
            (self.folder / name).unlink(missing_ok=True)


def register(session, dll: Path, folder: Path) -> StandIn:
    """Copies the stand-in into folder (of the prefix) and registers its classes: one Wine
    call."""
    folder.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(dll, folder / "deployment_standin.dll")
    dll_path = prefix_path(session, folder / "deployment_standin.dll")
    lines = []
    for name in CLASSES:
        lines += [f"[{CLASS_ROOT}\\{name}]", f'"DllPath"={reg_text(dll_path)}',
                  '"ActivationType"=dword:00000000', ""]
    import_reg(session, folder / "register.reg", lines)
    stand_in = StandIn(folder)
    stand_in.reset()
    return stand_in


def _build_values(session) -> dict[str, str]:
    values = {}
    for line in wine(session, "reg", "query", VERSION_KEY, "/reg:64").splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[0] in BUILD_VALUES and parts[1] == "REG_SZ":
            values[parts[0]] = parts[2].strip()
    return values


def _set_build_values(session, folder: Path, values: dict[str, str]) -> None:
    key = "[" + VERSION_KEY.replace("HKLM", "HKEY_LOCAL_MACHINE") + "]"
    import_reg(session, folder / "build.reg",
               [key, *(f'"{name}"={reg_text(value)}' for name, value in values.items())])


@contextlib.contextmanager
def windows_build(session, build: int):
    """The prefix reports this Windows build (CurrentBuild and CurrentBuildNumber, in the
    64-bit view) until the end of the block, then the one before: three Wine calls.
    HKCU\\Software\\Wine\\Version stays unset, else Wine would report its own."""
    folder = session.work / "windows-build"
    folder.mkdir(parents=True, exist_ok=True)
    before = _build_values(session)
    _set_build_values(session, folder, {name: str(build) for name in BUILD_VALUES})
    try:
        yield
    finally:
        _set_build_values(session, folder, before)


@contextlib.contextmanager
def holding(session, driver: Path, holder: Path, dll: str):
    """The process of a copy of explorer_command.exe, `holder` (a dllhost.exe plays
    Explorer's COM surrogate), that holds the DLL loaded from the time it is yielded until
    the end of the block, or until something ends it."""
    holder.parent.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(driver, holder)
    ready, stop = holder.with_suffix(".ready"), holder.with_suffix(".stop")
    for signal in [ready, stop]:
        signal.unlink(missing_ok=True)
    # Holding asks for no class.
    no_class = "{00000000-0000-0000-0000-000000000000}"
    process = subprocess.Popen([session.loader, str(holder), dll, no_class, "hold",
                                prefix_path(session, ready), prefix_path(session, stop)],
                               env=session.environment(), stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        give_up = time.monotonic() + 30 * session.patience
        while not ready.exists() and process.poll() is None and time.monotonic() < give_up:
            time.sleep(0.05)
        if not ready.exists():
            raise AssertionError(f"{holder.name} did not load {dll}")
        yield process
    finally:
        stop.touch()
        if not ended(process, 30 * session.patience):
            process.kill()
            process.wait()


def ended(process: subprocess.Popen, seconds: float) -> bool:
    """Whether the process ends within `seconds`."""
    try:
        process.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        return False
    return True
