"""Runs the Windows build of zdrv under Wine and observes what a user would see.

One Xvfb display and one Wine prefix serve a whole test run. The prefix lives in the
build tree and is reused between runs (in the test image of tests/guest, on the image's
own disk, made anew at each start); it is a 32-bit prefix ("win32") or a 64-bit one
("win64"), where a 32-bit program runs under WOW64 as on a 64-bit Windows; the display and a persistent wineserver are
started by `setup` and stopped by `cleanup` (CTest fixtures). Each run of zdrv.exe goes
through box_watcher.exe, which records the message boxes and presses OK, under Wine's
relay trace for the API calls whose arguments matter.
"""

from __future__ import annotations

import dataclasses
import errno
import json
import os
import re
import shutil
import signal
import subprocess
import time
from pathlib import Path

# Settings the prefix needs; a change here makes setup apply them again.
PREFIX_REGISTRY = [
    # Without a window manager every managed window waits ~2 s to withdraw.
    (r"HKCU\Software\Wine\X11 Driver", "Managed", "REG_SZ", "N"),
    # The calls whose arguments the tests read in the trace.
    (r"HKCU\Software\Wine\Debug", "RelayInclude", "REG_SZ",
     "kernel32.CreateProcessA;kernel32.CloseHandle;kernel32.GetShortPathNameA;"
     "kernel32.GetFileAttributesA;user32.MessageBoxW;kernel32.ExitProcess;"
     "kernel32.CreateProcessW;kernel32.UpdateProcThreadAttribute;shell32.SHChangeNotify"),
    # A crash must fail the test, not wait for someone to close a dialog.
    (r"HKCU\Software\Wine\WineDbg", "ShowCrashDialog", "REG_DWORD", "0"),
]
PREFIX_STAMP = json.dumps(PREFIX_REGISTRY)

WINE_QUIET = "-all"
WINE_TRACE = "+pid,+relay,+process,+loaddll"
DLL_OVERRIDES = "mscoree,mshtml,winemenubuilder.exe="
# The server ends by itself this long (times the patience) after its last process: after
# a lost cleanup, but also in a pause of the tests, which must not outlast it (a new
# server would forget this setting, and each run would boot Wine's services anew).
SERVER_LINGER_SECONDS = 30
# In the test image: where the prefixes live.
GUEST_PREFIXES = Path("/var/tmp/zdrv-wine")


# Wine's loaders: the 32-bit one runs 32-bit programs (and, in a 64-bit prefix, is what
# the 64-bit one hands them to); the 64-bit one is a 64-bit prefix's own.
WINE_LOADERS = {"win32": "/usr/lib/wine/wine", "win64": "/usr/lib/wine/wine64"}


class HarnessError(Exception):
    pass


def _pe_header(path: Path) -> tuple[bytes, int]:
    with open(path, "rb") as exe:
        header = exe.read(4096)
    offset = int.from_bytes(header[0x3C:0x40], "little")
    if header[:2] != b"MZ" or header[offset:offset + 4] != b"PE\0\0":
        raise HarnessError(f"{path} is not a PE program")
    return header, offset


def pe_machine(path: Path) -> str:
    """"i386" or "amd64" for a PE program file."""
    header, offset = _pe_header(path)
    machine = int.from_bytes(header[offset + 4:offset + 6], "little")
    return {0x14C: "i386", 0x8664: "amd64"}.get(machine, hex(machine))


def pe_image_size(path: Path) -> int:
    """SizeOfImage: how much memory the loaded program spans."""
    header, offset = _pe_header(path)
    optional = offset + 24
    return int.from_bytes(header[optional + 56:optional + 60], "little")


def runs_32_bit_code() -> bool:
    """False on a kernel without 32-bit compatibility mode, where no 32-bit program, and
    so no 32-bit Wine, can run: exec of the 32-bit loader fails with ENOEXEC, or the
    loader is missing, since scripts/install-deps installs it only where it runs."""
    try:
        subprocess.run([WINE_LOADERS["win32"], "--version"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    except OSError as error:
        if error.errno in (errno.ENOEXEC, errno.ENOENT):
            return False
        raise
    return True


def windows_path(unix_path: Path) -> str:
    """The path through Wine's Z: drive, which maps the Unix root."""
    return "Z:" + str(Path(unix_path).resolve()).replace("/", "\\")


# ---- the relay trace ---------------------------------------------------------------------

_A_ESCAPES = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}


@dataclasses.dataclass
class Argument:
    value: int
    text: str | bytes | None = None  # the string Wine showed, if any
    truncated: bool = False

    @property
    def dword(self) -> int:
        """The value as a 32-bit argument (DWORD, UINT, BOOL): a 64-bit process passes it
        in a register whose upper half the trace shows but the callee ignores."""
        return self.value & 0xFFFFFFFF


@dataclasses.dataclass
class ProcessCreation:
    pid: int
    process_handle: int
    thread_handle: int


@dataclasses.dataclass
class Call:
    function: str
    arguments: list[Argument]
    caller: int
    result: int | None = None  # None when no Ret line followed
    created: ProcessCreation | None = None  # the process a CreateProcess call made


def _scan_string(text: str, i: int, wide: bool) -> tuple[str | bytes, int]:
    """Decodes a quoted string as Wine's debugstr_a/_w writes it; i is at the quote."""
    assert text[i] == '"'
    i += 1
    chars: list[int] = []
    while text[i] != '"':
        c = text[i]
        if c == "\\":
            e = text[i + 1]
            # Other characters: \xNN in 8-bit strings, \NNNN in wide ones.
            if not wide and e == "x":
                chars.append(int(text[i + 2:i + 4], 16))
                i += 4
                continue
            if wide and e in "0123456789abcdef":
                chars.append(int(text[i + 1:i + 5], 16))
                i += 5
                continue
            chars.append(ord(_A_ESCAPES.get(e, e)))
            i += 2
            continue
        chars.append(ord(c))
        i += 1
    i += 1
    if wide:
        return "".join(chr(c) for c in chars), i
    return bytes(chars), i


def parse_arguments(text: str) -> list[Argument]:
    arguments: list[Argument] = []
    i = 0
    while i < len(text):
        match = re.compile(r"[0-9a-fA-F]+").match(text, i)
        if not match:
            raise HarnessError(f"unreadable trace arguments: {text!r}")
        argument = Argument(int(match.group(), 16))
        i = match.end()
        if text.startswith(" L\"", i) or text.startswith(' "', i):
            wide = text[i + 1] == "L"
            argument.text, i = _scan_string(text, i + (2 if wide else 1), wide)
            if text.startswith("...", i):
                argument.truncated = True
                i += 3
        arguments.append(argument)
        if i < len(text):
            if text[i] != ",":
                raise HarnessError(f"unreadable trace arguments: {text!r}")
            i += 1
    return arguments


# Values have 8 hex digits in a 32-bit process and 16 in a 64-bit one.
_CALL = re.compile(r"^([0-9a-f]{4}):[0-9a-f]{4}:Call (\w+)\.(\w+)\((.*)\) ret=([0-9a-f]+)$")
_RET = re.compile(r"^([0-9a-f]{4}):[0-9a-f]{4}:Ret  (\w+)\.(\w+)\(\) retval=([0-9a-f]+)")
_CREATED = re.compile(
    r"^([0-9a-f]{4}):[0-9a-f]{4}:trace:process:NtCreateUserProcess .* "
    r"pid ([0-9a-f]+) tid [0-9a-f]+ handles 0x([0-9a-f]+)/0x([0-9a-f]+)$")


# A process's creation as its creator traces it: the file and the new process's id.
_CREATED_FROM = re.compile(
    r'^[0-9a-f]{4}:[0-9a-f]{4}:trace:process:NtCreateUserProcess L"(.*)" pid ([0-9a-f]+) tid ')


def created_from(lines: list[str], program: str) -> list[int]:
    """The ids of the processes created from the Windows file `program`, by any process in
    the trace, in the order they were created."""
    wanted = "\\??\\" + program.lower()
    return [int(m.group(2), 16) for line in lines if (m := _CREATED_FROM.match(line))
            and m.group(1).replace("\\\\", "\\").lower() == wanted]


# A long file name is cut short, followed by "...".
_LOADED = re.compile(r'^([0-9a-f]{4}):[0-9a-f]{4}:trace:loaddll:\w+ Loaded L"(.*)"(?:\.\.\.)? at '
                     r'([0-9A-Fa-f]+): (native|builtin)$')


def relay_calls(lines: list[str], function: str) -> list[Call]:
    """Every call of `function` in the trace, from any process and module."""
    return [Call(m.group(3), parse_arguments(m.group(4)), int(m.group(5), 16))
            for line in lines if (m := _CALL.match(line.rstrip("\n"))) and m.group(3) == function]


@dataclasses.dataclass
class Trace:
    calls: list[Call]
    loaded: list[str]  # the file of every DLL the process loaded, as Wine wrote it

    def of(self, function: str) -> list[Call]:
        return [call for call in self.calls if call.function == function]


def parse_trace(lines: list[str], pid: int, image_size: int) -> Trace:
    """The relay calls that the program of process `pid` made from its own code (not
    those of the DLLs it loaded), with the processes its CreateProcess calls made. (Wine
    itself may create processes too, such as the desktop window's.) The program's image,
    `image_size` bytes, is the first module the process loads."""
    image: range | None = None
    calls: list[Call] = []
    loaded: list[str] = []
    open_calls: dict[str, list[Call]] = {}
    for line in lines:
        line = line.rstrip("\n")
        if not line.startswith(f"{pid:04x}:"):
            continue
        if m := _CALL.match(line):
            call = Call(m.group(3), parse_arguments(m.group(4)), int(m.group(5), 16))
            if image is not None and call.caller not in image:
                continue
            calls.append(call)
            open_calls.setdefault(call.function, []).append(call)
        elif m := _RET.match(line):
            pending = open_calls.get(m.group(3))
            if pending:
                pending.pop().result = int(m.group(4), 16)
        elif (m := _CREATED.match(line)) and open_calls.get("CreateProcessA"):
            open_calls["CreateProcessA"][-1].created = ProcessCreation(
                int(m.group(2), 16), int(m.group(3), 16), int(m.group(4), 16))
        elif m := _LOADED.match(line):
            loaded.append(m.group(2).replace("\\\\", "\\"))
            if image is None:
                base = int(m.group(3), 16)
                image = range(base, base + image_size)
    return Trace(calls, loaded)


# ---- a run of the program under test ------------------------------------------------------

@dataclasses.dataclass
class Box:
    title: str
    text: str
    icon: str
    buttons: list[tuple[int, str]]


@dataclasses.dataclass
class Run:
    command_line: str
    exit_code: int
    timed_out: bool
    boxes: list[Box]
    trace: Trace
    children: list[dict]  # what each started helper child recorded
    planted: list[str]  # a line for each planted DLL that loaded anywhere
    seconds: float
    lines: list[str] = dataclasses.field(default_factory=list)  # the whole trace

    def describe(self) -> str:
        boxes = "; ".join(f"[{b.icon}] {b.title!r}: {b.text[:120]!r}" for b in self.boxes)
        return (f"command line {self.command_line[:200]!r}: exit {self.exit_code}, "
                f"boxes: {boxes or 'none'}, children: {self.children}")


class Session:
    """The display, prefix and server of one test run, and the runs made in them."""

    def __init__(self, work: Path, win32_build: Path, arch: str = "win32",
                 other_build: Path | None = None, guest: bool = False, patience: int = 1):
        self.work = work.resolve()
        self.win32_build = win32_build.resolve()
        # The Windows build of the other word size, whose helpers play 32-bit or 64-bit
        # programs beside those of the build under test.
        self.other_build = other_build.resolve() if other_build else None
        self.arch = arch
        self.loader = WINE_LOADERS[arch]
        # In the test image, Wine's server cannot keep its socket in a prefix on the
        # emulated PC's shared folder, and a prefix there boots three times slower.
        self.prefix = (GUEST_PREFIXES / self.work.name if guest else self.work) / "prefix"
        # How many times longer every wait is: an emulated machine is slower.
        self.patience = patience
        self.state_file = self.work / "session.json"
        self.logs = self.work / "logs"
        self.runs = self.work / "runs"
        self.zdrv = self.win32_build / "zdrv.exe"
        self.watcher = self.win32_build / "tests" / "wine" / "box_watcher.exe"
        self.child = self.win32_build / "tests" / "wine" / "child.exe"
        self.planted = self.win32_build / "tests" / "wine" / "planted.dll"
        self.shortcut = self.win32_build / "tests" / "wine" / "shortcut.exe"
        self.display: str | None = None
        self._run_number = 0

    # -- environment --

    def environment(self, debug: str = WINE_QUIET, extra: dict | None = None) -> dict:
        env = dict(os.environ)
        env.update({
            "WINEPREFIX": str(self.prefix),
            "WINEARCH": self.arch,
            "WINELOADER": self.loader,
            "WINEDEBUG": debug,
            "WINEDLLOVERRIDES": DLL_OVERRIDES,
            "LC_ALL": "C.UTF-8",
        })
        if self.display:
            env["DISPLAY"] = self.display
        env.update(extra or {})
        return env

    def _wine_tool(self, *command: str, timeout: float = 60) -> None:
        # Wine's own processes (and the server) may outlive the command and inherit its
        # output; a file, never a pipe, keeps CTest from waiting on them.
        self.logs.mkdir(parents=True, exist_ok=True)
        with open(self.logs / "wine-tools.log", "ab") as out:
            subprocess.run(command, env=self.environment(), stdin=subprocess.DEVNULL,
                           stdout=out, stderr=out, timeout=timeout * self.patience, check=True)

    # -- fixtures --

    def setup(self) -> None:
        for needed in [self.zdrv, self.watcher, self.child, self.planted, self.shortcut]:
            if not needed.is_file():
                raise HarnessError(f"missing {needed}: build the Windows tree first")
        for tool in [self.loader, "wineserver", "Xvfb"]:
            if shutil.which(tool) is None:
                raise HarnessError(f"{tool} is not installed (scripts/install-deps win32)")
        self.check_runnable()
        self.work.mkdir(parents=True, exist_ok=True)
        self.cleanup()  # whatever a broken earlier run left behind
        xvfb_pid, self.display = self._start_xvfb()
        self.state_file.write_text(json.dumps({"display": self.display, "xvfb_pid": xvfb_pid}))
        self._ensure_prefix()
        self._wine_tool("wineserver", f"-p{SERVER_LINGER_SECONDS * self.patience}")
        self._warm_up()

    def child_of(self, machine: str) -> Path | None:
        """The helper child built for `machine` ("i386" or "amd64"), if there is one."""
        for build in [self.win32_build, self.other_build]:
            child = build / "tests" / "wine" / "child.exe" if build else None
            if child and child.is_file() and pe_machine(child) == machine:
                return child
        return None

    def check_runnable(self) -> None:
        """Fails with the reason when this machine cannot run the build under test: the
        program users download is never passed over untested."""
        if pe_machine(self.zdrv) == "i386" and not runs_32_bit_code():
            raise HarnessError("this machine's kernel cannot run 32-bit x86 code, so Wine "
                               "cannot run the 32-bit zdrv.exe here; ZDRV_WINE32=auto or "
                               "emulated runs these tests in an emulated PC")

    def _warm_up(self) -> None:
        """The first process of a session boots the prefix's services and the first
        window creates the desktop; both happen here, not in the first test."""
        self.runs = self.work / "runs" / "setup"
        zdrv = windows_path(self.zdrv)
        run = self.run(zdrv, f'"{zdrv}"', time_limit_ms=60000)
        if run.exit_code != 1 or len(run.boxes) != 1:
            raise HarnessError(f"zdrv.exe without arguments: {run.describe()}")

    def _start_xvfb(self) -> tuple[int, str]:
        self.logs.mkdir(parents=True, exist_ok=True)
        read_end, write_end = os.pipe()
        with open(self.logs / "xvfb.log", "ab") as log:
            xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                 "-nolisten", "tcp"],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log, pass_fds=(write_end,),
                start_new_session=True)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            number = numbers.readline().strip()
        if not number:
            xvfb.kill()
            raise HarnessError("Xvfb did not start; see logs/xvfb.log")
        return xvfb.pid, f":{number}"

    def _ensure_prefix(self) -> None:
        stamp = self.prefix / ".zdrv-test-prefix"
        if stamp.is_file() and stamp.read_text() == PREFIX_STAMP:
            return
        if not (self.prefix / "system.reg").is_file():
            shutil.rmtree(self.prefix, ignore_errors=True)
            self.prefix.parent.mkdir(parents=True, exist_ok=True)
            self._wine_tool(self.loader, "wineboot", "-i", timeout=180)
        for key, name, kind, value in PREFIX_REGISTRY:
            self._wine_tool(self.loader, "reg", "add", key, "/v", name, "/t", kind, "/d", value, "/f")
        self._wine_tool("wineserver", "-w", timeout=60)
        stamp.write_text(PREFIX_STAMP)

    def load_state(self, runs_name: str) -> None:
        """Joins the session that setup started; this process's runs go to runs/<name>."""
        if not self.state_file.is_file():
            raise HarnessError("no Wine test session: run the wine.setup test first")
        self.display = json.loads(self.state_file.read_text())["display"]
        self.runs = self.work / "runs" / runs_name
        shutil.rmtree(self.runs, ignore_errors=True)

    def cleanup(self) -> None:
        """Stops the server (waiting for it to end) before the display goes away."""
        if not self.state_file.is_file():
            return
        state = json.loads(self.state_file.read_text())
        self.display = state["display"]
        if (self.prefix / "system.reg").is_file():
            try:
                self._wine_tool("wineserver", "-k", timeout=30)
            except subprocess.CalledProcessError:
                pass  # no server was running
            self._wine_tool("wineserver", "-w", timeout=30)
        _stop_xvfb(state["xvfb_pid"])
        self.state_file.unlink()

    # -- runs --

    def capture(self, program: Path | str, *arguments: str, debug: str = WINE_QUIET,
                extra_env: dict | None = None) -> subprocess.CompletedProcess:
        """Runs a console program (of the Windows builds, or Wine's) directly, without the
        watcher, and returns its exit status and output (and Wine's trace, on standard
        error)."""
        return subprocess.run([self.loader, str(program), *arguments],
                              env=self.environment(debug, extra_env), stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=60 * self.patience, check=False)

    def run(self, program: str, command_line: str, directory: str = "",
            expect_child: bool | None = None, time_limit_ms: int = 30000,
            extra_env: dict | None = None, traced: str | None = None,
            children_within: float = 10) -> Run:
        """Runs the Windows file `program` (none: the system finds it by the command line)
        with `command_line` (its own name included, as the process is to see it) in
        `directory` through the watcher. When `program` is a client that starts the
        program under test (cmd, a shortcut), `traced` names the file of the one process
        whose calls are read from the trace. Started children have `children_within`
        seconds to write their records."""
        self._run_number += 1
        time_limit_ms *= self.patience
        self.runs.mkdir(parents=True, exist_ok=True)
        base = self.runs / f"run{self._run_number:03d}"
        job, report, trace_file = (base.with_suffix(s) for s in (".job", ".json", ".trace"))
        job.write_bytes(f"{program}\n{directory}\n{time_limit_ms}\n{command_line}"
                        .encode("utf-16-le", "surrogatepass"))
        child_log, planted_log = base.with_suffix(".children"), base.with_suffix(".planted")
        child_log.unlink(missing_ok=True)
        planted_log.unlink(missing_ok=True)
        env = self.environment(WINE_TRACE, {"ZDRV_CHILD_LOG": windows_path(child_log),
                                            "ZDRV_PLANTED_LOG": windows_path(planted_log),
                                            **(extra_env or {})})
        started = time.monotonic()
        for attempt in (1, 2):
            with open(trace_file, "wb") as err:
                watcher = subprocess.run([self.loader, str(self.watcher), windows_path(job),
                                          windows_path(report)],
                                         env=env, stdin=subprocess.DEVNULL, stdout=err,
                                         stderr=err, timeout=time_limit_ms / 1000 + 30)
            if watcher.returncode == 0 or attempt == 2 or not wine_did_not_start(trace_file):
                break
        watcher.check_returncode()
        seconds = time.monotonic() - started
        seen = json.loads(report.read_text())
        if not seen["started"]:
            raise HarnessError(f"the watcher could not start {command_line!r}: "
                               f"error {seen['start_error']}")
        lines = trace_file.read_text(errors="replace").splitlines()
        pid = seen["pid"]
        if traced is not None:
            pids = created_from(lines, traced)
            if len(pids) != 1:
                raise HarnessError(f"{command_line!r} started {traced} {len(pids)} times")
            pid = pids[0]
        trace = parse_trace(lines, pid, pe_image_size(self.zdrv))
        starts = [c for c in trace.of("CreateProcessA") if c.result]
        if expect_child is None:
            expect_child = bool(starts)
        children = wait_for_children(child_log, len(starts) if expect_child else 0,
                                      children_within * self.patience)
        boxes = [Box(b["title"], b["text"], b["icon"], [(x["id"], x["text"]) for x in b["buttons"]])
                 for b in seen["boxes"]]
        planted = (planted_log.read_text(encoding="utf-16-le").splitlines()
                   if planted_log.is_file() else [])
        return Run(command_line, seen["exit_code"], seen["timed_out"], boxes, trace, children,
                   planted, seconds, lines)


# Now and then Wine's loader finds the fixed address of the page it shares with the
# server taken, and the process ends before any of its code ran; a second start works.
_WINE_DID_NOT_START = "wine: failed to map the shared user data"


def wine_did_not_start(trace_file: Path) -> bool:
    return _WINE_DID_NOT_START in trace_file.read_text(errors="replace")


def wait_for_children(log: Path, count: int, seconds: float) -> list[dict]:
    """The records of started children; waits until `count` of them have written theirs."""
    give_up = time.monotonic() + seconds
    while True:
        records = []
        if log.is_file():
            records = [json.loads(line) for line in log.read_text().splitlines() if line]
        if len(records) >= count or time.monotonic() > give_up:
            return records
        time.sleep(0.02)


def _stop_xvfb(pid: int) -> None:
    try:
        if "Xvfb" not in Path(f"/proc/{pid}/cmdline").read_text(errors="replace"):
            return  # gone already, and the number may belong to someone else now
        os.kill(pid, signal.SIGTERM)
    except (FileNotFoundError, ProcessLookupError):
        return
    for _ in range(100):
        if not Path(f"/proc/{pid}").exists():
            return
        time.sleep(0.05)
    os.kill(pid, signal.SIGKILL)
