#!/usr/bin/python3
"""Checks the built Windows program file: its header, the DLLs it needs, and its
resources (icon, version record, manifest); and the handler of Windows 11's first menu,
zdrv-menu.dll (group menu-dll).

Usage: check_exe.py EXE GROUP    GROUP: header | imports | icon | version | manifest | menu-dll
Prints every check of the group that does not hold; exit status 1 when there is one.
A missing EXE fails too: scripts/build builds it before the tests run.
"""

import pathlib
import struct
import sys
import xml.etree.ElementTree as ElementTree

import pefile

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24

# DLLs that come with every Windows the program supports. Anything else, above all
# libstdc++-6.dll, libgcc_s_*.dll and libwinpthread-1.dll, would have to be shipped.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll", "advapi32.dll", "ntdll.dll"}
SYSTEM_DLL_PREFIXES = ("api-ms-win-crt-",)
# The GUI library is loaded at run time, from the system folder, and only for a message box.
LOADED_ONLY_FROM_THE_SYSTEM_FOLDER = {"user32.dll"}

# ASLR, DEP, and no compatibility shims of a terminal server.
PROTECTIONS = (
    "IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE",
    "IMAGE_DLLCHARACTERISTICS_NX_COMPAT",
    "IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE",
)

ICON_SIZES = {32, 16}

# The release number ("1.05"), written only in VERSION; the record's numbers are 1, 5, 0, 0.
RELEASE = (pathlib.Path(__file__).parents[2] / "VERSION").read_text(encoding="ascii").split()[0]
VERSION = (*(int(part) for part in RELEASE.split(".")), 0, 0)
VERSION_BLOCK = "040704B0"
VERSION_STRINGS = {
    "CompanyName": "Zandrivo-Werkstatt",
    "FileDescription": "Startet ein Programm mit gewählter Priorität",
    "FileVersion": RELEASE,
    "InternalName": "zdrv",
    "LegalCopyright": "© 2026 Zandrivo-Werkstatt. Alle Rechte vorbehalten.",
    "OriginalFilename": "zdrv.exe",
    "ProductName": "Zandrivo",
    "ProductVersion": RELEASE,
}
TRANSLATION = (0x0407, 1200)

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
COMPATIBILITY = "urn:schemas-microsoft-com:compatibility.v1"
SETTINGS_2005 = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"
SETTINGS_2016 = "http://schemas.microsoft.com/SMI/2016/WindowsSettings"
SETTINGS_2019 = "http://schemas.microsoft.com/SMI/2019/WindowsSettings"
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10 and 11
}
# Windows reads these settings only in their own namespaces; elsewhere they are ignored.
WINDOWS_SETTINGS = {
    (SETTINGS_2005, "dpiAware"): "true/pm",
    (SETTINGS_2016, "dpiAwareness"): "PerMonitorV2,PerMonitor",
    (SETTINGS_2016, "longPathAware"): "true",
    (SETTINGS_2019, "activeCodePage"): "UTF-8",
}
COMMON_CONTROLS = {
    "type": "win32",
    "name": "Microsoft.Windows.Common-Controls",
    "version": "6.0.0.0",
    "publicKeyToken": "6595b64144ccf1df",
}


class Findings:
    """Collects the checks that do not hold, so one run reports all of them."""

    def __init__(self):
        self.faults = []

    def expect(self, what, actual, wanted):
        if actual != wanted:
            self.faults.append(f"{what}: {actual!r}, expected {wanted!r}")

    def fault(self, text):
        self.faults.append(text)


def check_header(pe, found):
    i386 = pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]
    found.expect("machine", hex(pe.FILE_HEADER.Machine), hex(i386))
    found.expect("optional header (PE32, not PE32+)", hex(pe.OPTIONAL_HEADER.Magic),
                 hex(pefile.OPTIONAL_HEADER_MAGIC_PE))
    found.expect("subsystem (2: Windows GUI)", pe.OPTIONAL_HEADER.Subsystem, 2)
    found.expect("is a DLL", bool(pe.FILE_HEADER.Characteristics & 0x2000), False)
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    for name in PROTECTIONS:
        found.expect(name, bool(flags & pefile.DLL_CHARACTERISTICS[name]), True)
    # ASLR can move only a program that kept its base relocations.
    found.expect("relocations stripped", bool(pe.FILE_HEADER.Characteristics & 0x0001), False)
    found.expect("base relocation blocks present",
                 len(getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])) > 0, True)
    # A link time in the header would make every build of the same commit differ.
    found.expect("link time stamp", pe.FILE_HEADER.TimeDateStamp, 0)


def imported_dlls(pe):
    names = []
    for attribute in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT"):
        names += [entry.dll.decode("ascii") for entry in getattr(pe, attribute, [])]
    return names


def check_imports(pe, found):
    dlls = imported_dlls(pe)
    if not dlls:
        found.fault("no imported DLL found; the import table was not read")
    for dll in dlls:
        name = dll.lower()
        if name not in SYSTEM_DLLS and not name.startswith(SYSTEM_DLL_PREFIXES):
            found.fault(f"imports {dll}, which Windows does not have: link it statically")
        if name in LOADED_ONLY_FROM_THE_SYSTEM_FOLDER:
            found.fault(f"imports {dll}: the loader would bring it in at start, with the DLLs "
                        "it needs, before the program can restrict where DLLs come from")


# The handler lives in Explorer: a 64-bit DLL of system imports alone, loaded anywhere in
# the 64-bit address space, whose data never runs, with COM's two entry points and the two
# that regsvr32 calls (advapi32 for the registry values these write).
MENU_DLL_IMPORTS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll"}
MENU_DLL_PROTECTIONS = ("IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE",
                        "IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA",
                        "IMAGE_DLLCHARACTERISTICS_NX_COMPAT")
MENU_DLL_EXPORTS = ["DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                    "DllUnregisterServer"]


def check_menu_dll(pe, found):
    found.expect("machine", hex(pe.FILE_HEADER.Machine),
                 hex(pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]))
    found.expect("is a DLL", bool(pe.FILE_HEADER.Characteristics & 0x2000), True)
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    for name in MENU_DLL_PROTECTIONS:
        found.expect(name, bool(flags & pefile.DLL_CHARACTERISTICS[name]), True)
    found.expect("base relocation blocks present",
                 len(getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])) > 0, True)
    found.expect("link time stamp", pe.FILE_HEADER.TimeDateStamp, 0)
    found.expect("imported DLLs", sorted(dll.lower() for dll in imported_dlls(pe)),
                 sorted(MENU_DLL_IMPORTS))
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    found.expect("exports", sorted(symbol.name.decode("ascii") for symbol in exports.symbols)
                 if exports else [], MENU_DLL_EXPORTS)


def resources(pe, type_id):
    """{resource id: (language, data)} of one resource type."""
    out = {}
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return out
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != type_id:
            continue
        for named in kind.directory.entries:
            for language in named.directory.entries:
                entry = language.data.struct
                out[named.id if named.name is None else str(named.name)] = (
                    language.id, pe.get_data(entry.OffsetToData, entry.Size))
    return out


def mask_bit(image, width, height, x, y):
    """AND mask bit of pixel (x, y), y from the top; 1 means transparent."""
    colour_row = (width * 4 + 31) // 32 * 4
    mask_row = (width + 31) // 32 * 4
    start = 40 + 16 * 4 + colour_row * height + mask_row * (height - 1 - y)
    return image[start + x // 8] >> (7 - x % 8) & 1


def check_icon_image(icons, entry, found):
    width, height, colours, _, planes, bits, size, icon_id = entry
    where = f"{width}x{height} icon"
    found.expect(f"{where}: colours", colours, 16)
    found.expect(f"{where}: planes and bits per pixel", (planes, bits), (1, 4))
    if icon_id not in icons:
        found.fault(f"{where}: image {icon_id} is missing")
        return
    image = icons[icon_id][1]
    found.expect(f"{where}: image size", len(image), size)
    header = struct.unpack_from("<IiiHHI", image)
    found.expect(f"{where}: bitmap header (size, width, height, planes, bits, compression)",
                 header, (40, width, 2 * height, 1, 4, 0))
    colour_bytes = (width * 4 + 31) // 32 * 4 * height
    mask_bytes = (width + 31) // 32 * 4 * height
    found.expect(f"{where}: bytes of header, palette, colours and AND mask", len(image),
                 40 + 16 * 4 + colour_bytes + mask_bytes)
    if len(image) == 40 + 16 * 4 + colour_bytes + mask_bytes:
        corner = mask_bit(image, width, height, 0, 0)
        centre = mask_bit(image, width, height, width // 2, height // 2)
        found.expect(f"{where}: mask (corner transparent, centre opaque)", (corner, centre),
                     (1, 0))


def check_icon(pe, found):
    groups = resources(pe, RT_GROUP_ICON)
    found.expect("icon groups", sorted(groups, key=str), [1])
    if 1 not in groups:
        return
    data = groups[1][1]
    reserved, kind, count = struct.unpack_from("<HHH", data)
    found.expect("icon group header (reserved, type)", (reserved, kind), (0, 1))
    entries = [struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i) for i in range(count)]
    found.expect("icon sizes", sorted((e[0], e[1]) for e in entries),
                 sorted((s, s) for s in ICON_SIZES))
    icons = resources(pe, RT_ICON)
    for entry in entries:
        check_icon_image(icons, entry, found)


def check_version(pe, found):
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        found.fault("no version record")
        return
    fixed = pe.VS_FIXEDFILEINFO[0]
    major, minor, patch, build = VERSION
    numeric = (major << 16 | minor, patch << 16 | build)
    found.expect("numeric file version", (fixed.FileVersionMS, fixed.FileVersionLS), numeric)
    found.expect("numeric product version", (fixed.ProductVersionMS, fixed.ProductVersionLS),
                 numeric)
    found.expect("file type (1: application)", fixed.FileType, 1)

    tables, translations = [], []
    for info in pe.FileInfo[0]:
        tables += getattr(info, "StringTable", [])
        for var in getattr(info, "Var", []):
            # pefile keeps only the last pair; the length says how many there are.
            found.expect("translation pairs", var.ValueLength // 4, 1)
            translations += [tuple(int(word, 16) for word in value.split())
                             for value in var.entry.values()]
    found.expect("string blocks", [t.LangID.decode("ascii").upper() for t in tables],
                 [VERSION_BLOCK])
    found.expect("translation (language, code page)", translations, [TRANSLATION])
    if tables:
        strings = {k.decode("utf-8"): v.decode("utf-8") for k, v in tables[0].entries.items()}
        for key, wanted in VERSION_STRINGS.items():
            found.expect(key, strings.get(key), wanted)
        for extra in sorted(set(strings) - set(VERSION_STRINGS)):
            found.fault(f"unexpected version field {extra}: {strings[extra]!r}")


def element(root, path):
    """The one element at path, or None."""
    matches = root.findall(path)
    return matches[0] if len(matches) == 1 else None


def check_manifest_settings(root, found):
    trust = f"{{{ASM_V3}}}trustInfo/{{{ASM_V3}}}security/{{{ASM_V3}}}requestedPrivileges/"
    requested = element(root, f"{trust}{{{ASM_V3}}}requestedExecutionLevel")
    found.expect("requested execution level",
                 None if requested is None else requested.get("level"), "asInvoker")
    systems = root.findall(f"{{{COMPATIBILITY}}}compatibility/{{{COMPATIBILITY}}}application/"
                           f"{{{COMPATIBILITY}}}supportedOS")
    found.expect("supported systems", sorted(s.get("Id", "").lower() for s in systems),
                 sorted(SUPPORTED_OS))
    settings = f"{{{ASM_V3}}}application/{{{ASM_V3}}}windowsSettings/"
    for (namespace, name), wanted in WINDOWS_SETTINGS.items():
        setting = element(root, f"{settings}{{{namespace}}}{name}")
        found.expect(name, None if setting is None else (setting.text or "").strip(), wanted)


def check_manifest_dependencies(root, found):
    identities = root.findall(f"{{{ASM_V1}}}dependency/{{{ASM_V1}}}dependentAssembly/"
                              f"{{{ASM_V1}}}assemblyIdentity")
    controls = [i for i in identities if i.get("name") == COMMON_CONTROLS["name"]]
    found.expect("common controls dependencies", len(controls), 1)
    for identity in controls:
        for key, wanted in COMMON_CONTROLS.items():
            found.expect(f"common controls {key}", identity.get(key), wanted)
        found.expect("common controls architecture", identity.get("processorArchitecture"),
                     "*")


def check_manifest(pe, found):
    manifests = resources(pe, RT_MANIFEST)
    # Windows applies only the manifest with id 1 when it creates the process.
    found.expect("manifests", sorted(manifests, key=str), [1])
    if 1 not in manifests:
        return
    try:
        root = ElementTree.fromstring(manifests[1][1])
    except ElementTree.ParseError as error:
        found.fault(f"manifest is not well-formed XML: {error}")
        return
    found.expect("manifest root", root.tag, f"{{{ASM_V1}}}assembly")
    check_manifest_settings(root, found)
    check_manifest_dependencies(root, found)


GROUPS = {
    "header": check_header,
    "imports": check_imports,
    "icon": check_icon,
    "version": check_version,
    "manifest": check_manifest,
    "menu-dll": check_menu_dll,
}


def main(argv):
    if len(argv) != 2 or argv[1] not in GROUPS:
        print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
        return 2
    path, group = argv
    try:
        pe = pefile.PE(path)
    except FileNotFoundError:
        print(f"{path} does not exist; scripts/build builds it", file=sys.stderr)
        return 1
    except pefile.PEFormatError as error:
        print(f"{path} is not a Windows PE file: {error}", file=sys.stderr)
        return 1
    found = Findings()
    GROUPS[group](pe, found)
    for fault in found.faults:
        print(f"{path}: {fault}", file=sys.stderr)
    return 1 if found.faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
