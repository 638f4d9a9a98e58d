#!/usr/bin/python3
"""End-to-end tests of zdrv.exe under Wine.

  wine_e2e.py --work DIR --win32-build DIR [--arch win32|win64] [--guest] [--patience N]
              COMMAND

  setup       start the display, prefix and server
  cleanup     stop them
  run GROUP   run one group of cases (ends, starts, hostile, planted, clients, installer,
              menu)
  probe ARGS  run zdrv.exe with the argument text ARGS and show what happened

--win32-build names the Windows build tree to test (32-bit, or the 64-bit test build);
--arch the kind of prefix; --guest says that the tests run in the test image of
tests/guest (a container or an emulated PC), --patience how many times longer every wait
is there (an emulated PC is slower). A 32-bit build on a machine that cannot run 32-bit
code fails every command with the reason.
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
import time
import unittest
from pathlib import Path

sys.dont_write_bytecode = True  # the tests leave the source tree as they found it
sys.path.insert(0, str(Path(__file__).resolve().parent))

from wine_harness import (DLL_OVERRIDES, WINE_LOADERS, HarnessError, Run,  # noqa: E402
                          Session, pe_machine, windows_path)
from installer_cases import HandlerInstallerCases, InstallerCases  # noqa: E402
from menu_cases import MenuCases  # noqa: E402

HELP_TITLE = "Hilfe zu Zandrivo"
HELP_TEXT = "\r\n".join([
    "Zandrivo",
    "Ein Werkzeug der Zandrivo-Werkstatt",
    "https://zandrivo.example/",
    "",
    "Aufruf:",
    "zdrv [Priorität] [Dateiname], wobei Priorität eines der folgenden sein kann:",
    "idle (niedrige Priorität)",
    "normal (normale Priorität)",
    "high (hohe Priorität)",
    "realtime (Echtzeit)",
    "",
    "z.B:",
    "zdrv high c:\\windows\\notepad.exe",
])
ERROR_STYLE, INFORMATION_STYLE = 0x10, 0x40
HELP = ("information", HELP_TITLE, HELP_TEXT)

EXIT_STARTED, EXIT_USAGE, EXIT_UNKNOWN_PRIORITY, EXIT_NO_SUCH_FILE, EXIT_START_FAILED = range(5)


def unknown_priority(keyword: str) -> tuple[str, str, str]:
    return ("error", "Fehler bei Aufruf", f'Die Priorität "{keyword}" ist unbekannt!')


def no_such_file(target: str) -> tuple[str, str, str]:
    return ("error", "Fehler beim Aufruf", f'Die Datei "{target}" existiert nicht')


def start_failed(target: str) -> tuple[str, str, str]:
    return ("error", "Fehler", f'Fehler beim Ausführen der Datei "{target}"!')


# ---- the scratch tree on drive C: -----------------------------------------------------------

SCRATCH = "C:\\zdrv-e2e"


class Scratch:
    """Files the cases run against, made fresh for each group under C:\\zdrv-e2e."""

    def __init__(self, session: Session):
        self.session = session
        self.root = session.prefix / "drive_c" / "zdrv-e2e"
        shutil.rmtree(self.root, ignore_errors=True)
        self.root.mkdir(parents=True)
        self.launcher = self.program("launcher\\zdrv.exe", session.zdrv)
        self.directory = self.mkdir("cwd")

    def unix(self, relative: str) -> Path:
        return self.root / relative.replace("\\", "/")

    def mkdir(self, relative: str) -> str:
        self.unix(relative).mkdir(parents=True, exist_ok=True)
        return f"{SCRATCH}\\{relative}"

    def file(self, relative: str, content: bytes = b"") -> str:
        path = self.unix(relative)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content)
        return f"{SCRATCH}\\{relative}"

    def program(self, relative: str, source: Path | None = None) -> str:
        path = self.unix(relative)
        path.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source or self.session.child, path)
        return f"{SCRATCH}\\{relative}"


# ---- the cases ------------------------------------------------------------------------------

class WineCase(unittest.TestCase):
    session: Session
    scratch: Scratch
    maxDiff = 4000

    @classmethod
    def setUpClass(cls) -> None:
        cls.scratch = Scratch(cls.session)

    def zdrv(self, arguments: str, **options) -> Run:
        """Runs the launcher as `zdrv.exe <arguments>` from the scratch directory."""
        return self.zdrv_line(f'"{self.scratch.launcher}" {arguments}', **options)

    def zdrv_line(self, command_line: str, launcher: str | None = None, **options) -> Run:
        options.setdefault("directory", self.scratch.directory)
        run = self.session.run(launcher or self.scratch.launcher, command_line, **options)
        self.assertFalse(run.timed_out, f"zdrv.exe did not end: {run.describe()}")
        self.assert_handles_closed(run)
        return run

    # -- what the user sees --

    def assert_ends(self, run: Run, exit_code: int, boxes: list[tuple[str, str, str]]) -> None:
        """The boxes in order (icon, title, exact text), each with one OK button and shown
        with the matching style, and the exit status."""
        seen = [(box.icon, box.title, box.text) for box in run.boxes]
        self.assertEqual(seen, boxes, run.describe())
        for box in run.boxes:
            self.assertEqual(box.buttons, [(1, "OK")], run.describe())
        styles = [call.arguments[3].dword for call in run.trace.of("MessageBoxW")]
        expected_styles = [INFORMATION_STYLE if title == HELP_TITLE else ERROR_STYLE
                           for _, title, _ in boxes]
        self.assertEqual(styles, expected_styles, run.describe())
        owners = [call.arguments[0].value for call in run.trace.of("MessageBoxW")]
        self.assertEqual(owners, [0] * len(boxes), "message boxes have no owner window")
        self.assertEqual(run.exit_code, exit_code, run.describe())

    def assert_nothing_started(self, run: Run) -> None:
        self.assertEqual([c for c in run.trace.of("CreateProcessA") if c.result], [],
                         run.describe())
        self.assertEqual(run.children, [], "no program may run")

    # -- what the program asks of the system --

    def assert_handles_closed(self, run: Run) -> None:
        """Both handles of every started process are closed, each exactly once, and the
        program closes nothing else."""
        closed = [(call.arguments[0].value, call.result) for call in run.trace.of("CloseHandle")]
        expected = []
        for call in run.trace.of("CreateProcessA"):
            self.assertEqual(call.created is not None, bool(call.result), run.describe())
            if call.created:
                expected += [call.created.process_handle, call.created.thread_handle]
        self.assertCountEqual([handle for handle, _ in closed], expected, run.describe())
        self.assertTrue(all(result == 1 for _, result in closed), f"a close failed: {closed}")

    def assert_started(self, run: Run, program: str, priority_class: int,
                       short_path: str | None = None) -> dict:
        """Exactly the checked file started: the application name is its short path (the
        child's own short path unless given, as for a relative target), the command line
        that path alone (quoted only with a blank in it), handles inherited, the priority
        class as the only creation flag. Returns the child's record."""
        self.assert_ends(run, EXIT_STARTED, [])
        starts = run.trace.of("CreateProcessA")
        self.assertEqual(len(starts), 1, run.describe())
        self.assertEqual(len(run.children), 1, run.describe())
        child = run.children[0]
        self.assertEqual(child["module"].lower(), program.lower(), "a different file ran")
        short_path = short_path or child["short_module"]
        command_line = f'"{short_path}"' if (" " in short_path or "\t" in short_path) else short_path
        application, line, process_attributes, thread_attributes, inherit, flags, environment, \
            directory, _, _ = starts[0].arguments
        self.assertEqual(application.text, short_path.encode(), "the application name")
        self.assertEqual(line.text, command_line.encode(), "the command line")
        self.assertEqual((process_attributes.value, thread_attributes.value), (0, 0))
        self.assertEqual(inherit.dword, 1, "handles are inherited")
        self.assertEqual(flags.dword, priority_class, "the priority class is the only flag")
        self.assertEqual((environment.value, directory.value), (0, 0),
                         "environment and current directory are inherited")
        self.assertEqual(child["command_line"], command_line)
        return child


class Ends(WineCase):
    """Each way a call can go wrong, and what the user sees."""

    def test_help_alone_when_the_call_has_no_space(self):
        for arguments in ["", "   ", "high", "  high   ", "realtime",
                          f"high\t{SCRATCH}\\cwd\\child.exe", '"""']:
            with self.subTest(arguments=arguments):
                run = self.zdrv(arguments)
                self.assert_ends(run, EXIT_USAGE, [HELP])
                self.assertEqual(run.trace.of("GetShortPathNameA"), [])
                self.assert_nothing_started(run)

    def test_unknown_priority_then_help(self):
        for keyword, shown in [("Turbo", "turbo"), ("hoch", "hoch"), ("HIGH:", "high:"),
                               ("ВЫСОКО", "высоко"), ("X", "x")]:
            with self.subTest(keyword=keyword):
                run = self.zdrv(f"{keyword} {SCRATCH}\\cwd\\child.exe")
                self.assert_ends(run, EXIT_UNKNOWN_PRIORITY, [unknown_priority(shown), HELP])
                self.assertEqual(run.trace.of("GetShortPathNameA"), [])
                self.assert_nothing_started(run)

    def test_missing_file_then_help(self):
        self.scratch.program("cwd\\child.exe")
        self.scratch.mkdir("a dir")
        cases = [
            (f"{SCRATCH}\\no such.exe", f"{SCRATCH}\\no such.exe"),
            ("x", "x"),
            (f'"{SCRATCH}\\no such dir\\x.exe"', f"{SCRATCH}\\no such dir\\x.exe"),
            # Arguments after the file are part of the name.
            (f"{SCRATCH}\\cwd\\child.exe /x", f"{SCRATCH}\\cwd\\child.exe /x"),
            # A second space belongs to the target.
            (f" {SCRATCH}\\cwd\\child.exe", f" {SCRATCH}\\cwd\\child.exe"),
            # Directories are not files.
            (SCRATCH, SCRATCH),
            (f'"{SCRATCH}\\a dir"', f"{SCRATCH}\\a dir"),
            ("C:\\", "C:\\"),
        ]
        for target, shown in cases:
            with self.subTest(target=target):
                run = self.zdrv(f"high {target}")
                self.assert_ends(run, EXIT_NO_SUCH_FILE, [no_such_file(shown), HELP])
                self.assert_nothing_started(run)

    def test_start_failed_without_help(self):
        notes = self.scratch.file("a dir\\notes.txt", b"not a program\r\n")
        empty = self.scratch.file("empty.exe")
        for target, shown in [(f'"{notes}"', notes), (empty, empty)]:
            with self.subTest(target=target):
                run = self.zdrv(f"normal {target}")
                self.assert_ends(run, EXIT_START_FAILED, [start_failed(shown)])
                self.assertEqual([c.result for c in run.trace.of("CreateProcessA")], [0])
                self.assert_nothing_started(run)

    def test_no_message_box_to_be_had(self):
        """Where user32 cannot be loaded no box can be shown: zdrv ends at once with the status
        of its case, and does not crash. The box watcher needs user32 itself, so Wine starts
        zdrv.exe here, from the Unix side; a box that did appear would wait for ever and fail
        the case at its time limit. (The 64-bit loader would hand a 32-bit program to
        start.exe, which needs user32 too.)"""
        notes = self.scratch.file("cwd\\notes.txt", b"kein Programm")
        no_user32 = {"WINEDLLOVERRIDES": f"{DLL_OVERRIDES};user32=d"}
        is_32_bit = pe_machine(self.session.zdrv) == "i386"
        loader = WINE_LOADERS["win32"] if is_32_bit else self.session.loader
        for arguments, exit_code in [([], EXIT_USAGE), (["Turbo", "x.exe"], EXIT_UNKNOWN_PRIORITY),
                                     (["high", "gone.exe"], EXIT_NO_SUCH_FILE),
                                     (["normal", notes], EXIT_START_FAILED)]:
            with self.subTest(arguments=arguments):
                ended = subprocess.run(
                    [loader, self.scratch.unix("launcher\\zdrv.exe"), *arguments],
                    env=self.session.environment(extra=no_user32), cwd=self.scratch.unix("cwd"),
                    stdin=subprocess.DEVNULL, capture_output=True,
                    timeout=30 * self.session.patience)
                self.assertEqual(ended.returncode, exit_code, ended.stderr.decode(errors="replace"))


class Starts(WineCase):
    """Successful starts: exactly the checked file, at the chosen class."""

    def test_each_priority_keyword(self):
        program = self.scratch.program("Program Files\\long child name.exe")
        # A quote in the middle of the target goes as well.
        target = f'"{SCRATCH}\\Program Files\\long ch"ild name.exe"'
        for keyword, priority_class in [("idle", 0x40), ("NORMAL", 0x20), ("High", 0x80),
                                        ("realtime", 0x100)]:
            with self.subTest(keyword=keyword):
                run = self.zdrv(f"{keyword} {target}")
                child = self.assert_started(run, program, priority_class)
                self.assertEqual(child["directory"], self.scratch.directory)
                query = run.trace.of("GetShortPathNameA")
                self.assertEqual([(c.arguments[0].text, c.arguments[2].dword) for c in query],
                                 [(program.encode(), 255)])

    def test_system32_is_the_folder_a_64_bit_program_sees(self):
        """On 64-bit Windows a 32-bit program that asks for System32 is handed SysWOW64.
        zdrv sees the folders as a 64-bit program does, so what the user named is what is
        checked and started, and the messages show it as written. On a 32-bit Windows,
        System32 holds the 32-bit programs, and zdrv sees it as it is."""
        bits = 64 if self.session.arch == "win64" else 32
        native, wow = (self.session.prefix / "drive_c" / "windows" / folder
                       for folder in ["system32", "syswow64"])
        child_native = self.session.child_of("amd64" if bits == 64 else "i386")
        child32 = self.session.child_of("i386")
        self.assertIsNotNone(child_native, f"a {bits}-bit child: build/win32 and build/win64")
        planted = [(native / "zdrvonlynative.exe", child_native),
                   (native / "zdrvboth.exe", child_native), (native / "zdrvnotes.txt", None)]
        if bits == 64 and child32:
            planted.append((wow / "zdrvboth.exe", child32))
        for path, source in planted:
            self.addCleanup(path.unlink, missing_ok=True)
            if source:
                shutil.copyfile(source, path)
            else:
                path.write_bytes(b"kein Programm")

        system32 = "C:\\Windows\\System32"
        for name in ["zdrvonlynative.exe", "zdrvboth.exe"]:
            with self.subTest(name=name):
                run = self.zdrv(f"high {system32}\\{name}")
                child = self.assert_started(run, f"C:\\windows\\system32\\{name}", 0x80)
                self.assertEqual(child["bits"], bits)
        if bits == 64 and child32 and pe_machine(self.session.zdrv) == "i386":
            run = self.zdrv("high C:\\Windows\\SysWOW64\\zdrvboth.exe")
            child = self.assert_started(run, "C:\\windows\\syswow64\\zdrvboth.exe", 0x80)
            self.assertEqual(child["bits"], 32)
        notes = f"{system32}\\zdrvnotes.txt"
        run = self.zdrv(f"normal {notes}")
        self.assert_ends(run, EXIT_START_FAILED, [start_failed(notes)])
        # Only a 32-bit program's view on 64-bit Windows has Sysnative; Wine gives it no
        # short form.
        run = self.zdrv("high C:\\Windows\\Sysnative\\zdrvonlynative.exe")
        self.assertIn(run.exit_code, [EXIT_NO_SUCH_FILE, EXIT_START_FAILED], run.describe())
        self.assert_nothing_started(run)

    def test_program_name_of_the_launcher(self):
        """The argument text is what follows the launcher's own name. As in the C runtime,
        quotes switch quoting on and off anywhere in the name, and the name ends at the
        first blank outside quotes."""
        program = self.scratch.program("cwd\\child.exe")
        self.scratch.program("Zandrivo Werkzeuge\\zdrv.exe", self.session.zdrv)
        folder = f"{SCRATCH}\\Zandrivo Werkzeuge"
        for command_line in [f"{self.scratch.launcher} high {program}",
                             f'"{folder}\\zdrv.exe" high {program}',
                             f'"{folder}\\zdrv.exe" \t high {program}',
                             f'{SCRATCH}\\"Zandrivo Werkzeuge"\\zdrv.exe high {program}',
                             f'{SCRATCH}\\"Zandrivo Werkzeuge\\zdrv.exe" high {program}',
                             f'"{folder}\\"zdrv.exe high {program}',
                             f"{self.scratch.launcher}\thigh {program}",
                             f"zdrv.exe   high {program}"]:
            with self.subTest(command_line=command_line):
                run = self.zdrv_line(command_line)
                self.assert_started(run, program, 0x80)
        # A word glued to the closing quote still belongs to the name.
        run = self.zdrv_line(f'"{folder}\\zdrv.exe"high {program}')
        self.assert_ends(run, EXIT_USAGE, [HELP])
        self.assert_nothing_started(run)


def _lines_written(path: Path, until: str | None, seconds: float) -> list[str]:
    """The lines in `path` once `until` is among them (or after `seconds`), and a moment
    longer, for anything that would run after it."""
    give_up = time.monotonic() + seconds
    lines: list[str] = []
    while time.monotonic() < give_up:
        lines = path.read_text().split() if path.is_file() else []
        if until is not None and until in lines:
            break
        time.sleep(0.05)
    time.sleep(1)
    return path.read_text().split() if path.is_file() else []


def deep_path(root: str, component: str, longer_than: int, file_name: str) -> str:
    """`root`, then `component` as often as needed to pass `longer_than`, then the file."""
    path = root
    while len(path) + 1 + len(file_name) <= longer_than:
        path += "\\" + component
    return path + "\\" + file_name


class Hostile(WineCase):
    """Whatever text reaches the launcher: the documented boxes and status, and never a
    start of anything but the checked file. (The Windows command line holds at most
    32,767 characters and is UTF-16, so an argument text of 100,000 characters or
    invalid UTF-8 bytes cannot reach the program at all.)"""

    def test_long_keyword_and_argument_text(self):
        # One word this long makes the box wider than the screen, so its icon is told by
        # the style alone.
        keyword = "Zu" * 5000
        run = self.zdrv(f"{keyword} C:\\x.exe")
        self.assert_ends(run, EXIT_UNKNOWN_PRIORITY,
                         [("offscreen", *unknown_priority(keyword.lower())[1:]), HELP])
        # Near the system's limit of 32,767 characters for the whole command line.
        target = "C:\\" + "lang " * 6400
        run = self.zdrv(f"high {target}")
        self.assert_ends(run, EXIT_NO_SUCH_FILE, [no_such_file(target.rstrip()), HELP])
        self.assert_nothing_started(run)

    def test_control_characters_and_tabs(self):
        run = self.zdrv("hi\tgh\x01\x1b C:\\x.exe")
        self.assert_ends(run, EXIT_UNKNOWN_PRIORITY, [unknown_priority("hi\tgh\x01\x1b"), HELP])
        self.scratch.program("cwd\\a.exe")
        for target in ["a.exe\t", "\ta.exe", "a\x02.exe", "a.exe\r\n", "a.exe\x7f"]:
            with self.subTest(target=target):
                run = self.zdrv(f"high {target}")
                self.assert_ends(run, EXIT_NO_SUCH_FILE, [no_such_file(target), HELP])
                self.assert_nothing_started(run)

    def test_nothing_but_quotes_and_spaces(self):
        for target, shown in [('"', ""), ('"""', ""), ('" " "', "  "), ('"  "  ""', "    ")]:
            with self.subTest(target=target):
                run = self.zdrv(f"high {target}")
                self.assert_ends(run, EXIT_NO_SUCH_FILE, [no_such_file(shown), HELP])
                self.assert_nothing_started(run)

    def test_path_longer_than_the_system_limit(self):
        program = self.scratch.program(
            deep_path(SCRATCH, "ein langer Ordnername", 300, "child.exe")[len(SCRATCH) + 1:])
        run = self.zdrv(f'high "{program}"')
        self.assert_ends(run, EXIT_NO_SUCH_FILE, [no_such_file(program), HELP])
        self.assert_nothing_started(run)
        # zdrv.exe itself in such a folder, named by its whole path unquoted as an autostart
        # entry may write it: it reads its own path whole, spaces and all. (Wine's
        # CreateProcess refuses a program there, so the watcher starts it through ntdll;
        # Wine's start from the Unix side would quote the path.)
        launcher = self.scratch.program(
            deep_path(SCRATCH, "Zandrivo Werkzeuge", 300, "zdrv.exe")[len(SCRATCH) + 1:],
            self.session.zdrv)
        child = self.scratch.program("cwd\\child.exe")
        for name in [launcher, launcher[:-4].upper()]:
            with self.subTest(name=name):
                run = self.zdrv_line(f"{name} idle {child}", launcher=f"\\??\\{launcher}")
                self.assert_started(run, child, 0x40)

    def test_short_form_longer_than_the_first_buffer(self):
        """An 8.3 path of 258 characters is its own short form and does not fit in 255. (A
        short form that keeps outgrowing the buffer needs a path that changes between two
        queries, which Wine cannot stage; the unit tests pin how often zdrv asks.)"""
        program = self.scratch.program(
            deep_path(SCRATCH, "ABCDEFGH", 257, "ABCDEFGH.EXE")[len(SCRATCH) + 1:])
        self.assertEqual(len(program), 258)
        run = self.zdrv(f"idle {program}")
        self.assert_started(run, program, 0x40)
        sizes = [call.arguments[2].dword for call in run.trace.of("GetShortPathNameA")]
        self.assertEqual(sizes, [255, len(program) + 1])

    def test_names_outside_latin1(self):
        directory = "Кириллица 中文 😀"
        program = self.scratch.program(f"{directory}\\программа 程序.exe")
        run = self.zdrv(f'realtime "{program}"')
        self.assert_started(run, program, 0x100)
        missing = f"{SCRATCH}\\{directory}\\😀.exe"
        run = self.zdrv(f'high "{missing}"')
        self.assert_ends(run, EXIT_NO_SUCH_FILE, [no_such_file(missing), HELP])
        text = self.scratch.file(f"{directory}\\читай меня.txt", b"kein Programm")
        run = self.zdrv(f"high {text}")
        self.assert_ends(run, EXIT_START_FAILED, [start_failed(text)])
        self.assert_nothing_started(run)

    def test_lone_surrogates(self):
        # The keyword is shown as typed; the target has passed through the 8-bit code
        # page, which turns the lone half into the replacement character.
        run = self.zdrv("hi\ud800gh C:\\x.exe")
        self.assert_ends(run, EXIT_UNKNOWN_PRIORITY, [unknown_priority("hi\ud800gh"), HELP])
        run = self.zdrv("high C:\\x\udc00y.exe")
        self.assert_ends(run, EXIT_NO_SUCH_FILE, [no_such_file("C:\\x\ufffdy.exe"), HELP])
        self.assert_nothing_started(run)

    def test_batch_files_run_exactly_themselves(self):
        """The command interpreter acts on & ( ) ^ in an unquoted command line and expands
        %NAME% even in quotes: a batch file runs by its quoted name, one that names a
        variable is refused, and the decoys a split or expanded name would reach never
        run."""
        ran = self.scratch.unix("ran.txt")

        def batch(relative: str, tag: str) -> str:
            return self.scratch.file(relative, f"@echo {tag}>>{SCRATCH}\\ran.txt\r\n".encode())

        for decoy in ["bat\\a.bat", "cwd\\b.bat", "bat\\x.bat", "bat\\Windows_NT.bat", "bat\\y.bat",
                      "cwd\\y.bat", "cwd\\z.cmd"]:
            batch(decoy, "decoy")
        # Every letter of both extensions in either case. (Wine's short form of a name drops
        # its trailing dots and blanks, so "a&b.bat." reaches zdrv's batch check only on
        # Windows; the unit tests pin that.)
        started = [(batch("bat\\a&b.bat", "ampersand"), "ampersand"),
                   (batch("bat\\x(1)^y.CMD", "caret"), "caret"),
                   (batch("bat\\X&Y.BAT", "upper"), "upper"),
                   (batch("bat\\y&z.cMd", "mixed"), "mixed")]
        for path, tag in started:
            with self.subTest(path=path):
                ran.unlink(missing_ok=True)
                run = self.zdrv(f'normal "{path}"', expect_child=False)
                self.assert_ends(run, EXIT_STARTED, [])
                application, line = run.trace.of("CreateProcessA")[0].arguments[:2]
                self.assertEqual(line.text, b'"' + application.text + b'"', "the command line")
                self.assertEqual(_lines_written(ran, tag, 10 * self.session.patience), [tag])
        ran.unlink(missing_ok=True)
        for name in ["%OS%.bat", "X%Y.BAT", "a!b.cMd"]:
            with self.subTest(refused=name):
                refused = batch(f"bat\\{name}", "refused")
                run = self.zdrv(f"normal {refused}")
                self.assert_ends(run, EXIT_START_FAILED, [start_failed(refused)])
                self.assertEqual(run.trace.of("CreateProcessA"), [], "nothing is even tried")
        self.assertEqual(_lines_written(ran, None, 10 * self.session.patience), [])
        # Names too short to end in .bat or .cmd are programs like any other.
        for name in ["a", "ab", "a.b"]:
            with self.subTest(short=name):
                program = self.scratch.program(f"cwd\\{name}")
                self.assert_started(self.zdrv(f"normal {name}"), program, 0x20, short_path=name)

    def test_decoys_never_run(self):
        """Programs planted where a search would look first (the launcher's directory,
        the current directory, the PATH, the first word of a path with spaces, the name
        with ".exe" added) never run in place of the checked file."""
        decoy_path = {"WINEPATH": f"{SCRATCH}\\onpath"}
        for where in ["launcher", "onpath"]:
            self.scratch.program(f"{where}\\tool.exe")
            self.scratch.program(f"{where}\\tool")
            self.scratch.program(f"{where}\\Program.exe")
        self.scratch.program("Program.exe")
        self.scratch.program("cwd\\Program.exe")
        self.scratch.program("cwd\\lib\\tool.exe")

        relative = self.scratch.program("cwd\\tool")
        run = self.zdrv("high tool", extra_env=decoy_path)
        self.assert_started(run, relative, 0x80, short_path="tool")

        spaced = self.scratch.program("Program Files\\x.exe")
        run = self.zdrv(f'high "{spaced}"', extra_env=decoy_path)
        self.assert_started(run, spaced, 0x80)

        for missing in ["tool.exe", "lib\\tool", f"{SCRATCH}\\cwd\\lib\\tool", "Program",
                        f"{SCRATCH}\\Program"]:
            with self.subTest(missing=missing):
                run = self.zdrv(f"high {missing}", extra_env=decoy_path)
                self.assert_ends(run, EXIT_NO_SUCH_FILE, [no_such_file(missing), HELP])
                self.assert_nothing_started(run)


# DLLs that showing a message box loads and that are not known system DLLs, so Windows
# looks for them in the program's folder first.
PLANTED_DLLS = ["version", "imm32", "uxtheme", "msimg32", "dwmapi", "comctl32", "winmm", "usp10"]


class Planted(WineCase):
    """DLLs that others can put beside zdrv.exe or into its current directory never load
    into it, on any of its five ends; a successful start loads no GUI library at all."""

    def test_no_dll_from_the_launchers_folder_or_the_current_directory(self):
        for folder in ["launcher", "cwd"]:
            for name in PLANTED_DLLS:
                self.scratch.program(f"{folder}\\{name}.dll", self.session.planted)
        program = self.scratch.program("cwd\\child.exe")
        notes = self.scratch.file("cwd\\notes.txt", b"kein Programm")
        # Wine prefers its own DLLs; native first makes it search as Windows does.
        search_as_windows = {"WINEDLLOVERRIDES": f"{DLL_OVERRIDES};{','.join(PLANTED_DLLS)}=n,b"}
        ends = [
            ("", EXIT_USAGE, [HELP]),
            ("Turbo x.exe", EXIT_UNKNOWN_PRIORITY, [unknown_priority("turbo"), HELP]),
            ("high gone.exe", EXIT_NO_SUCH_FILE, [no_such_file("gone.exe"), HELP]),
            (f"high {notes}", EXIT_START_FAILED, [start_failed(notes)]),
            (f"high {program}", EXIT_STARTED, []),
        ]
        system = tuple(f"c:\\windows\\{folder}\\" for folder in ["system32", "syswow64", "winsxs"])
        for arguments, exit_code, boxes in ends:
            with self.subTest(arguments=arguments):
                run = self.zdrv(arguments, extra_env=search_as_windows)
                self.assert_ends(run, exit_code, boxes)
                self.assertEqual(run.planted, [], "a planted DLL ran its code")
                # The first module is the program itself.
                foreign = [dll for dll in run.trace.loaded[1:]
                           if not dll.lower().startswith(system)]
                self.assertEqual(foreign, [], "DLLs from outside the system folder")
                if exit_code == EXIT_STARTED:
                    loaded = {dll.lower().rsplit("\\", 1)[-1] for dll in run.trace.loaded}
                    self.assertNotIn("user32.dll", loaded, "a start needs no GUI library")


CMD = "C:\\windows\\system32\\cmd.exe"


class Clients(WineCase):
    """zdrv.exe called by the programs that really call it: cmd with zdrv on the PATH,
    `start`, a shortcut (and a file dropped onto one), an autostart line that names
    zdrv.exe unquoted, a batch file. zdrv.exe lies in a folder with spaces."""

    def test_each_client(self):
        folder = f"{SCRATCH}\\Zandrivo Werkzeuge"
        zdrv = self.scratch.program("Zandrivo Werkzeuge\\zdrv.exe", self.session.zdrv)
        work = self.scratch.mkdir("Arbeit")
        program = self.scratch.program("Arbeit\\programm.exe")
        dropped = self.scratch.program("Abgelegt\\mein programm.exe")
        umlaut = self.scratch.program("Prüfung\\100%.exe")
        # cmd reads a batch file in the OEM code page, where %% stands for one %.
        batch = self.scratch.file(
            "sichern.bat", f'@"{zdrv}" high {SCRATCH}\\Prüfung\\100%%.exe\r\n'.encode("cp850"))
        shortcut = windows_path(self.session.shortcut)

        def link(name: str, arguments: str, *dropped_file: str) -> tuple[str, str]:
            return shortcut, subprocess.list2cmdline(
                [shortcut, f"{work}\\{name}.lnk", zdrv, work, arguments, *dropped_file])

        # name, the client (program, command line, current directory, environment), zdrv's
        # status and boxes, and what it started: the program, the class, the command line
        # the child got when not its own short path, and the child's current directory.
        cases = [
            ("cmd, zdrv on the PATH", (CMD, "cmd /c zdrv high programm.exe", work,
                                       {"WINEPATH": folder}),
             EXIT_STARTED, [], (program, 0x80, "programm.exe", work)),
            ('start "" /wait', (CMD, f'cmd /c start "" /wait "{zdrv}" idle "{program}"',
                                self.scratch.directory, {}),
             EXIT_STARTED, [], (program, 0x40, None, self.scratch.directory)),
            ('start "" /wait, ERRORLEVEL', (CMD, f'cmd /c start "" /wait "{zdrv}" Turbo x.exe',
                                            self.scratch.directory, {}),
             EXIT_UNKNOWN_PRIORITY, [unknown_priority("turbo"), HELP], None),
            ("shortcut", (*link("Zandrivo high", "high programm.exe"), self.scratch.directory,
                          {}),
             EXIT_STARTED, [], (program, 0x80, "programm.exe", work)),
            ("dropped onto a shortcut", (*link("Zandrivo idle", "idle", f'"{dropped}"'),
                                         self.scratch.directory, {}),
             EXIT_STARTED, [], (dropped, 0x40, None, work)),
            ("autostart line", (zdrv, f"{zdrv} idle {program}", work, {}),
             EXIT_STARTED, [], (program, 0x40, None, work)),
            ("autostart line in other case, without .exe",
             (zdrv, f"{zdrv[:-4].upper()} normal {program}", work, {}),
             EXIT_STARTED, [], (program, 0x20, None, work)),
            ("batch file", (CMD, f"cmd /c {batch}", work, {}),
             EXIT_STARTED, [], (umlaut, 0x80, None, work)),
        ]
        for name, (client, command_line, directory, env), status, boxes, started in cases:
            with self.subTest(name):
                run = self.session.run(client, command_line, directory=directory,
                                       extra_env=env, traced=zdrv, time_limit_ms=120000,
                                       children_within=60)
                self.assertFalse(run.timed_out, run.describe())
                self.assert_handles_closed(run)
                # zdrv's own status; the client's (cmd's, which is its ERRORLEVEL) is
                # checked with the boxes.
                self.assertEqual([c.arguments[0].dword for c in run.trace.of("ExitProcess")],
                                 [status], run.describe())
                if started is None:
                    self.assert_ends(run, status, boxes)
                    self.assert_nothing_started(run)
                    continue
                path, priority_class, short_path, child_directory = started
                child = self.assert_started(run, path, priority_class, short_path)
                self.assertEqual(child["directory"].lower(), child_directory.lower())


class Installer(InstallerCases, WineCase):
    """The Windows installer, its context menu and PATH entry (installer_cases.py)."""


class HandlerInstaller(HandlerInstallerCases, WineCase):
    """The installer with the handler of Windows 11's first menu (installer_cases.py)."""


class Menu(MenuCases, WineCase):
    """The handler of Windows 11's first menu, as Explorer uses it (menu_cases.py)."""


# ---- command line -----------------------------------------------------------------------

GROUPS = {"ends": [Ends], "starts": [Starts], "hostile": [Hostile], "planted": [Planted],
          "clients": [Clients], "installer": [Installer, HandlerInstaller], "menu": [Menu]}


def run_group(session: Session, name: str) -> int:
    session.load_state(name)
    WineCase.session = session
    started = time.monotonic()
    # A class that names the kind of prefix it needs runs only in that kind.
    suite = unittest.TestSuite(unittest.defaultTestLoader.loadTestsFromTestCase(case)
                               for case in GROUPS[name]
                               if getattr(case, "arch", session.arch) == session.arch)
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
    print(f"wine.{name}: {time.monotonic() - started:.1f} s")
    return 0 if result.wasSuccessful() else 1


def probe(session: Session, arguments: str) -> int:
    session.load_state("probe")
    WineCase.session = session
    scratch = Scratch(session)
    run = session.run(scratch.launcher, f'"{scratch.launcher}" {arguments}',
                      directory=scratch.directory)
    print(run.describe())
    for call in run.trace.calls:
        arguments = [(a.value, a.text) for a in call.arguments]
        print(f"  {call.function}{arguments} -> {call.result} {call.created or ''}")
    print(f"  {run.seconds:.2f} s")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--work", type=Path, required=True)
    parser.add_argument("--win32-build", type=Path, required=True)
    parser.add_argument("--arch", choices=["win32", "win64"], default="win32",
                        help="the kind of Wine prefix (default: win32)")
    parser.add_argument("--other-build", type=Path,
                        help="the Windows build of the other word size, for its helpers")
    parser.add_argument("--guest", action="store_true",
                        help="the tests run in the test image of tests/guest")
    parser.add_argument("--patience", type=int, default=1,
                        help="how many times longer every wait is (default: 1)")
    parser.add_argument("command", choices=["setup", "cleanup", "run", "probe"])
    parser.add_argument("argument", nargs="?")
    options = parser.parse_args()
    session = Session(options.work, options.win32_build, options.arch, options.other_build,
                      options.guest, options.patience)
    try:
        if options.command != "cleanup":
            session.check_runnable()
        if options.command == "setup":
            started = time.monotonic()
            session.setup()
            print(f"Wine session on display {session.display}, prefix {session.prefix} "
                  f"({time.monotonic() - started:.1f} s)")
            return 0
        if options.command == "cleanup":
            session.cleanup()
            return 0
        if options.command == "run":
            return run_group(session, options.argument)
        return probe(session, options.argument or "")
    except HarnessError as error:
        print(f"wine_e2e: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
