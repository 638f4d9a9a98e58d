"""The handler of Windows 11's first context menu, zdrv-menu.dll, driven as Explorer drives
it: explorer_command.exe loads the DLL from its folder by the CLSID of
packaging/context-menu.json and hands it item arrays of real paths. The DLL lies in its
folder below the install folder, which holds a stand-in zdrv.exe (the helper child, which
records how it was started). The cases run in wine_e2e.py's group `menu`, in a 64-bit
prefix; the installed handler with the real zdrv.exe belongs to the installer's cases.
Each case starts from the registry it needs, whatever an earlier run left in the prefix.
"""

from __future__ import annotations

import contextlib
import json
import ntpath
import re
import sys
from pathlib import Path
from urllib.parse import unquote

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent))

import deployment_standin  # noqa: E402
from installer_cases import FILE_KINDS, FOLDER, MENU_ENTRY, SUB_ENTRIES  # noqa: E402
from wine_harness import (WINE_QUIET, WINE_TRACE, relay_calls, wait_for_children,  # noqa: E402
                          windows_path)

SOURCE = Path(__file__).resolve().parents[2]
S_OK, S_FALSE = "0x00000000", "0x00000001"
E_NOTIMPL, E_POINTER, E_INVALIDARG = "0x80004001", "0x80004003", "0x80070057"
CLASS_E_NOAGGREGATION, CLASS_E_CLASSNOTAVAILABLE = "0x80040110", "0x80040111"
ECF_DEFAULT, ECF_HASSUBCOMMANDS = 0, 1
# What the handler passes to CreateProcessW beyond the command: no console, and not
# Explorer's error mode.
CREATE_NO_WINDOW, CREATE_DEFAULT_ERROR_MODE = 0x08000000, 0x04000000

INSTALL_FOLDER = "Zandrivo Menü & Co"
# What a file URI may hold once percent-encoded.
URI_CHARACTERS = re.compile(r"[A-Za-z0-9._~/:%-]+")
ADD_FAILURE = 0x80073CF0  # ERROR_INSTALL_FAILED
# Where the installer writes the publisher ID of the release's package.
SETTINGS_KEY, PUBLISHER_ID_VALUE = r"HKCU\Software\Zandrivo", "MenuPackagePublisherId"
MENU_ROOT = r"HKCU\Software\Classes\SystemFileAssociations"
# What the handler tells the shell after registering and unregistering.
SHCNE_ASSOCCHANGED, SHCNF_IDLIST = 0x08000000, 0
# The attribute that starts zdrv outside the package, with its DWORD value.
DESKTOP_APP_POLICY = 0x00020012
# The drive of a USB stick, and a file in its root.
USB_DRIVE = "e:"
# Every method given a null pointer to write through, on the root and on a sub-command.
ROOT_NULL_POINTERS = {
    "GetTitle": E_POINTER, "GetIcon": E_POINTER, "GetToolTip": E_POINTER,
    "GetCanonicalName": E_POINTER, "GetState": E_POINTER, "GetState without items": S_OK,
    "Invoke": E_NOTIMPL, "GetFlags": E_POINTER, "EnumSubCommands": E_POINTER,
    "QueryInterface": E_POINTER}
SUB_NULL_POINTERS = dict(ROOT_NULL_POINTERS, Invoke=E_INVALIDARG)


class MenuCases:
    """Title, icon, sub-entries, when the entry shows, and what each sub-entry starts."""

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        build = cls.session.win32_build
        cls.driver = build / "tests" / "wine" / "explorer_command.exe"
        dll = build / "zdrv-menu.dll"
        for needed in [cls.driver, dll]:
            if not needed.is_file():
                raise AssertionError(f"missing {needed}: build build/win64 first")
        menu = json.loads((SOURCE / "packaging" / "context-menu.json").read_text())
        cls.clsid = "{" + menu["handler_clsid"].upper() + "}"
        cls.menu = menu
        cls.dll = cls.scratch.program(
            f"{INSTALL_FOLDER}\\{menu['handler_folder']}\\zdrv-menu.dll", dll)
        cls.stand_in = cls.scratch.program(f"{INSTALL_FOLDER}\\zdrv.exe")

    def setUp(self) -> None:
        super().setUp()
        # A broken build once left a key shell\(null) here, which failed every later run.
        for key in [MENU_ROOT, SETTINGS_KEY]:
            self.session.capture("reg", "delete", key, "/f")

    def explorer(self, action: str, *selections: str, debug: str = WINE_QUIET,
                 extra_env: dict | None = None) -> tuple[dict, list[str]]:
        """What explorer_command.exe wrote, and Wine's trace."""
        ran = self.session.capture(self.driver, self.dll, self.clsid, action, *selections,
                                   debug=debug, extra_env=extra_env)
        self.assertEqual(ran.returncode, 0, ran.stderr.decode(errors="replace")[-2000:])
        return (json.loads(ran.stdout.decode()),
                ran.stderr.decode(errors="replace").splitlines())

    def test_entry_sub_entries_and_references(self):
        seen, _ = self.explorer("describe")
        root = seen["root"]
        self.assertEqual((root["title"], root["icon"], root["flags"], root["canonical_name"]),
                         (MENU_ENTRY, f"{self.stand_in},0", ECF_HASSUBCOMMANDS, self.clsid))
        self.assertEqual([(sub["title"], sub["icon"], sub["flags"])
                          for sub in seen["sub_commands"]],
                         [(label, E_NOTIMPL, ECF_DEFAULT) for label, _, _ in SUB_ENTRIES])
        self.assertEqual(root["null_pointers"], ROOT_NULL_POINTERS)
        for sub in seen["sub_commands"]:
            self.assertEqual(sub["null_pointers"], SUB_NULL_POINTERS, sub["title"])
        # The enumerator: all four and the end, a null count, skipping past the end, and
        # a clone that goes on where its original stood.
        self.assertEqual((seen["next"], seen["next_null"], seen["skip_past_end"]),
                         ([S_FALSE, 4], E_POINTER, S_FALSE))
        self.assertEqual(seen["clone_after_three"]["title"], SUB_ENTRIES[3][0])
        self.assertEqual((seen["other_class"], seen["null_class_object"], seen["aggregation"],
                          seen["null_instance"]),
                         (CLASS_E_CLASSNOTAVAILABLE, E_POINTER, CLASS_E_NOAGGREGATION, E_POINTER))
        # Exact counts: each object's last Release says 0, and the DLL may go only when
        # every object is released and every lock undone.
        self.assertEqual(seen["references"], [2, 1])
        self.assertEqual(seen["last_releases"], [0] * 7)
        self.assertEqual((seen["unload_while_held"], seen["unload_while_locked"],
                          seen["unload_at_the_end"]), (S_FALSE, S_FALSE, S_OK))

    def test_shown_for_exactly_one_file_of_the_table(self):
        files = [self.scratch.program(f"{FOLDER}\\{name}") for _, name in FILE_KINDS]
        shown = files + [self.scratch.program(f"{FOLDER}\\{name}")
                         for name in ["GROSS.EXE", "klein.Bat", "Mix.cMd"]]
        hidden = [self.scratch.file(f"{FOLDER}\\{name}", b"kein Programm")
                  for name in ["x.exe.txt", "notes.txt", "x.com", "exe", "x.lnk"]]
        hidden += [self.scratch.mkdir(f"{FOLDER}\\a.exe"), self.scratch.mkdir(FOLDER),
                   "*".join(files[:2]), "*".join([files[0], files[0]]), "-"]
        seen, _ = self.explorer("state", *shown, *hidden)
        # The root and each sub-command agree.
        expected = ([["enabled"] * 5] * len(shown)) + ([["hidden"] * 5] * len(hidden))
        self.assertEqual(dict(zip(shown + hidden, seen["states"])),
                         dict(zip(shown + hidden, expected)))

    def test_each_sub_entry_starts_zdrv_on_the_file(self):
        """In the file's folder (a drive's root too: E:\\, not E:), inheriting nothing;
        outside the package where Windows takes the attribute, as before where it does not
        (Wine)."""
        with self.usb_stick() as in_root:
            paths = [self.scratch.program(f"{FOLDER}\\{name}") for _, name in FILE_KINDS]
            for path in [*paths, in_root]:
                with self.subTest(path):
                    self.assert_starts_zdrv_on(path)

    def assert_starts_zdrv_on(self, path: str) -> None:
        seen, trace, children = self.invoke(path)
        self.assertEqual(seen["invoked"], [S_OK] * len(SUB_ENTRIES))
        folder = ntpath.dirname(path)
        self.assertEqual([(call.arguments[2].value, call.arguments[4].value)
                          for call in relay_calls(trace, "UpdateProcThreadAttribute")],
                         [(DESKTOP_APP_POLICY, 4)] * len(SUB_ENTRIES))
        calls = relay_calls(trace, "CreateProcessW")
        commands = [f'"{self.stand_in}" {keyword} "{path}"' for _, keyword, _ in SUB_ENTRIES]
        # application, command line, inherit handles, flags, environment, directory
        self.assertEqual(
            [(call.arguments[0].text, call.arguments[1].text, call.arguments[4].dword,
              call.arguments[5].dword, call.arguments[6].value, call.arguments[7].text)
             for call in calls],
            [(self.stand_in, command, 0, CREATE_NO_WINDOW | CREATE_DEFAULT_ERROR_MODE,
              0, folder) for command in commands])
        self.assertCountEqual(
            [(child["module"], child["command_line"], child["directory"])
             for child in children],
            [(self.stand_in, command, folder) for command in commands])

    def test_nothing_starts_for_what_the_menu_hides(self):
        notes = self.scratch.file(f"{FOLDER}\\notes.exe.txt", b"kein Programm")
        program = self.scratch.program(f"{FOLDER}\\{FILE_KINDS[0][1]}")
        for selection in [notes, self.scratch.mkdir(f"{FOLDER}\\a.exe"),
                          f"{program}*{program}", "-"]:
            with self.subTest(selection):
                seen, trace, children = self.invoke(selection, expected_children=0)
                self.assertEqual(seen["invoked"], [E_INVALIDARG] * len(SUB_ENTRIES))
                self.assertEqual((relay_calls(trace, "CreateProcessW"), children), ([], []))

    def test_registration_adds_our_package_and_leaves_the_classic_entry_visible(self):
        stand_in = self.stand_in_deployment()
        name = self.menu["package_name"]
        ours = deployment_standin.publisher_id("CN=Zandrivo Test, O=Zandrivo-Werkstatt, C=DE")
        theirs = deployment_standin.publisher_id("CN=Jemand Anders")
        # The package file tells the stand-in the identity its manifest would give.
        package = (name, f"{name}_2.0.0.0_x64__{ours}", ours)
        self.scratch.file(f"{INSTALL_FOLDER}\\{self.menu['handler_folder']}\\zdrv-menu.msix",
                          "\t".join(package).encode())
        earlier = (name, f"{name}_1.0.0.0_x64__{ours}", ours)
        # Our name, another's publisher: not ours.
        impostor = (name, f"{name}_9.0.0.0_x64__{theirs}", theirs)
        other = ("Andere.App", f"Andere.App_1.0.0.0_x64__{theirs}", theirs)
        before = [other, impostor, earlier]
        folder = "file:///" + self.folder.replace("\\", "/")
        find = ("FindPackagesByUserSecurityId", "")
        add = ("AddPackageByUriAsync", f"{folder}/zdrv-menu.msix", folder)
        # The build, the publisher ID the installer wrote, the add's failure; then after
        # registering and after unregistering: the stand-in's calls and the user's packages.
        rows = [
            # Windows 11's first release: the package takes its earlier version's place.
            (22000, ours, None, [add], [other, impostor, package],
             [find, ("RemovePackageAsync", package[1])], [other, impostor]),
            # A repair whose add fails keeps the package that worked.
            (22631, ours, ADD_FAILURE, [add], before,
             [find, ("RemovePackageAsync", earlier[1])], [other, impostor]),
            # Without the publisher ID no package is ours.
            (22631, None, None, [add], [other, impostor, package], [find],
             [other, impostor, package]),
            (19045, ours, None, [], before, [], before),
        ]
        for build, publisher, failure, register_calls, registered, unregister_calls, \
                unregistered in rows:
            with (self.subTest(build=build, publisher=publisher, failure=failure),
                  deployment_standin.windows_build(self.session, build)):
                stand_in.reset()
                stand_in.set_packages(before)
                stand_in.fail(failure)
                self.set_publisher_id(publisher)
                self.assertEqual(self.regsvr32(), failure is None)
                calls = stand_in.calls()
                for uri in [uri for call in calls if call[0] == add[0] for uri in call[1:]]:
                    self.assertRegex(uri, URI_CHARACTERS)
                self.assertEqual([tuple(map(unquote, call)) for call in calls], register_calls)
                self.assertEqual(stand_in.packages(), registered)
                self.assertTrue(self.regsvr32("/u"))
                self.assertEqual(stand_in.calls()[len(calls):], unregister_calls)
                self.assertEqual(stand_in.packages(), unregistered)
                # Each object the stand-in handed out came back, in each process that used it.
                self.assertEqual(stand_in.unreleased(), [0, 0] if register_calls else [])

    def test_unregistering_ends_the_surrogate_that_holds_the_dll(self):
        """Once the package is gone, a dllhost.exe that still holds the DLL for Explorer ends,
        so that the installer can remove the DLL without a restart; no other program ends."""
        stand_in = self.stand_in_deployment()
        with (deployment_standin.holding(self.session, self.driver,
                                         self.scratch.unix("hold/dllhost.exe"),
                                         self.dll) as surrogate,
              deployment_standin.holding(self.session, self.driver,
                                         self.scratch.unix("hold/halter.exe"), self.dll) as other,
              deployment_standin.windows_build(self.session, 22631)):
            stand_in.reset()
            self.assertTrue(self.regsvr32("/u"))
            self.assertTrue(deployment_standin.ended(surrogate, 30 * self.session.patience),
                            "the surrogate ends")
            self.assertIsNone(other.poll(), "only the surrogate ends")

    @property
    def folder(self) -> str:
        """The handler's folder, the package's external location."""
        return ntpath.dirname(self.dll)

    def stand_in_deployment(self) -> deployment_standin.StandIn:
        return deployment_standin.register(
            self.session, self.session.win32_build / "tests" / "wine" / "deployment_standin.dll",
            self.scratch.unix("deployment"))

    def set_publisher_id(self, publisher_id: str | None) -> None:
        """The publisher ID of the release's package, as the installer writes it; None:
        none known."""
        if publisher_id is None:
            self.session.capture("reg", "delete", SETTINGS_KEY, "/v", PUBLISHER_ID_VALUE, "/f")
        else:
            self.session.capture("reg", "add", SETTINGS_KEY, "/v", PUBLISHER_ID_VALUE, "/t",
                                 "REG_SZ", "/d", publisher_id, "/f")

    def regsvr32(self, *options: str) -> bool:
        """Whether the 64-bit regsvr32 succeeded on the handler DLL. Whatever it did, the
        classic entry shows afterwards (an earlier release hid it while its package was
        registered) and the shell was told once that the menus changed."""
        hidden = [(rf"{MENU_ROOT}\\{file_type}\\shell\\{self.menu['classic_verb']}",
                   "ProgrammaticAccessOnly", "")
                  for file_type in self.menu["file_types"]]
        deployment_standin.import_reg(
            self.session, self.session.work / "hidden.reg",
            [line for key, value, data in hidden
             for line in [f"[{key.replace('HKCU', 'HKEY_CURRENT_USER')}]", f'"{value}"="{data}"']])
        self.assertEqual(len(self.hiding_values()), len(hidden))
        ran = self.session.capture("C:\\windows\\system32\\regsvr32.exe", "/s", *options,
                                   self.dll, debug=WINE_TRACE)
        trace = ran.stderr.decode(errors="replace").splitlines()
        self.assertEqual([[argument.value for argument in call.arguments]
                          for call in relay_calls(trace, "SHChangeNotify")],
                         [[SHCNE_ASSOCCHANGED, SHCNF_IDLIST, 0, 0]], "the shell is told once")
        self.assertEqual(self.hiding_values(), [], "the classic entry shows")
        return ran.returncode == 0

    def hiding_values(self) -> list[tuple[str, str, str]]:
        """(key, type, data) of each ProgrammaticAccessOnly value under the current user's
        SystemFileAssociations, the value by which an earlier release hid the classic
        entry."""
        ran = self.session.capture("reg", "query",
                                   r"HKCU\Software\Classes\SystemFileAssociations", "/s")
        values, key = [], ""
        for line in ran.stdout.decode("utf-8", errors="replace").splitlines():
            if line.startswith("HKEY_"):
                key = line.strip()
            elif line.strip().startswith("ProgrammaticAccessOnly"):
                fields = line.strip().split(None, 2)
                values.append((key, fields[1], fields[2] if len(fields) > 2 else ""))
        return sorted(values)

    def invoke(self, selection: str, expected_children: int = len(SUB_ENTRIES)):
        """Invoke of each sub-command on the selection: the driver's answer, the
        CreateProcessW calls and the records of the started stand-ins."""
        log = self.session.work / "runs" / "menu-children.log"
        log.parent.mkdir(parents=True, exist_ok=True)
        log.unlink(missing_ok=True)
        seen, trace = self.explorer("invoke", selection, debug=WINE_TRACE,
                                    extra_env={"ZDRV_CHILD_LOG": windows_path(log)})
        children = wait_for_children(log, expected_children, 10 * self.session.patience)
        return seen, trace, children

    @contextlib.contextmanager
    def usb_stick(self):
        """A drive E: (Wine's dosdevices link to a scratch folder) holding E:\\setup.exe;
        the link goes again at the end, and one an earlier run left is replaced."""
        link = self.session.prefix / "dosdevices" / USB_DRIVE
        link.unlink(missing_ok=True)
        self.scratch.program("usb\\setup.exe")
        link.symlink_to(self.scratch.unix("usb"))
        try:
            yield f"{USB_DRIVE.upper()}\\setup.exe"
        finally:
            link.unlink(missing_ok=True)
