#!/usr/bin/python3
"""Makes the release files, unsigned and without the package's unit tests, and checks what
can be checked without root: SHA256SUMS covers every file beside the apt repository; the
zip holds exactly zdrv.exe as built and LIESMICH.txt in UTF-8 with CRLF line ends; the
installer holds the same two files, installs per user without elevation, writes nothing
under HKLM, reads its strings in code page 1252, and is made again byte for byte; the
source package and the package built from it pass lintian; the package has the release
number of VERSION, a hardened program and the expected files; its man page renders without
warnings; the apt repository holds that package and is unsigned, as one line says
(release.apt installs from a signed one). The release is made for an address, and its
manifests of winget and Scoop parse, have every field their format requires, name the
files at that address with their SHA-256, the installer's codes and names and the release
number, and are made again byte for byte elsewhere; scripts/release says in one line
that it writes none without an address, and it and make-packages refuse one that is not
https:// before they build anything.

Usage: check_packages.py MAKE_PACKAGES WIN32_EXE WORKDIR
Prints every check that does not hold; exit status 1 when there is one.
"""

import filecmp
import gzip
import io
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
import time
import zipfile

sys.dont_write_bytecode = True  # the tests leave the source tree as they found it
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from release_tools import (check_manifest_hashes, read_manifests, release_copy,  # noqa: E402
                           report, run, tree, untouched)

ZIP_MEMBERS = ["zdrv.exe", "LIESMICH.txt"]
DEB_FILES = {
    "usr/bin/zdrv",
    "usr/share/doc/zdrv/changelog.gz",
    "usr/share/doc/zdrv/copyright",
    "usr/share/man/man1/zdrv.1.gz",
}
# Where the installer puts the zip's files.
MSI_FILES = {"Programs/Zandrivo/zdrv.exe": "zdrv.exe",
             "Programs/Zandrivo/LIESMICH.txt": "LIESMICH.txt"}
# Every Zandrivo installer has this upgrade code, or Windows would not replace an
# installed one by it.
UPGRADE_CODE = "{6F3C1D52-8A47-4B0E-9D21-5E7A0C84B913}"
# The word count of the summary: this bit says the package needs no elevation.
NO_ELEVATION = 8
# The signing variables of make-packages: this test makes the release unsigned.
SIGNING = ("ZDRV_SIGN_CERT", "ZDRV_SIGN_KEY", "ZDRV_SIGN_PKCS11_MODULE", "ZDRV_SIGN_PASS",
           "ZDRV_SIGN_TIMESTAMP_URL", "ZDRV_OPENPGP_KEY")
# A packaging source whose placeholder was not filled in.
PLACEHOLDER = re.compile(rb"@[A-Z_]+@")
# Where the release's files are published, and where the public winget repository keeps
# their manifests.
RELEASE_URL = "https://example.org/zdrv/{}/"
WINGET = "winget/manifests/z/Zandrivo/zdrv/{0}/Zandrivo.zdrv"
# The fields the JSON schemas of winget's multi-file manifest (1.9.0 and 1.10.0) require,
# by ManifestType, and of each installer; those of Scoop's schema with a url of its own.
REQUIRED = {
    "version": ["PackageIdentifier", "PackageVersion", "DefaultLocale", "ManifestType",
                "ManifestVersion"],
    "installer": ["PackageIdentifier", "PackageVersion", "Installers", "ManifestType",
                  "ManifestVersion"],
    "defaultLocale": ["PackageIdentifier", "PackageVersion", "PackageLocale", "Publisher",
                      "PackageName", "License", "ShortDescription", "ManifestType",
                      "ManifestVersion"],
    "Installers": ["Architecture", "InstallerType", "InstallerUrl", "InstallerSha256"],
    "scoop": ["version", "homepage", "license", "url", "hash", "bin", "checkver",
              "autoupdate"],
}


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


def msi_export(path, table):
    """An installer's table in msibuild's text form: three lines of header, then the rows."""
    return subprocess.run(["msiinfo", "export", path, table], capture_output=True,
                          check=True).stdout.decode("utf-8").rstrip("\0").splitlines()


def msi_table(path, table):
    """The rows of an installer's table as lists of fields."""
    return [line.split("\t") for line in msi_export(path, table)[3:]]


def msi_summary(path):
    lines = subprocess.run(["msiinfo", "suminfo", path], capture_output=True, text=True,
                           check=True, env=dict(os.environ, TZ="UTC")).stdout.splitlines()
    return dict(line.split(": ", 1) for line in lines if ": " in line)


def msi_codes(path):
    properties = dict(msi_table(path, "Property"))
    return (properties.get("ProductCode"), properties.get("UpgradeCode"),
            msi_summary(path).get("Revision number (UUID)"))


def check_msi(path, zip_path, release, make_msi, workdir, faults):
    extracted = os.path.join(workdir, "msi")
    run(["msiextract", "-C", extracted, path])
    with zipfile.ZipFile(zip_path) as archive:
        for name, member in MSI_FILES.items():
            file = pathlib.Path(extracted, name)
            if not file.is_file() or file.read_bytes() != archive.read(member):
                faults.append(f"the installer's {name} is not the zip's {member}")

    properties = dict(msi_table(path, "Property"))
    for name, wanted in [("ProductName", "Zandrivo"), ("Manufacturer", "Zandrivo-Werkstatt"),
                         ("ProductVersion", release), ("UpgradeCode", UPGRADE_CODE),
                         ("ARPHELPLINK", "https://zandrivo.example/")]:
        if properties.get(name) != wanted:
            faults.append(f"the installer's {name} is {properties.get(name)!r}, not {wanted!r}")
    if "ALLUSERS" in properties:
        faults.append("the installer sets ALLUSERS: it installs per user")
    summary = msi_summary(path)
    if not int(summary.get("Source", "0").split()[0]) & NO_ELEVATION:
        faults.append(f"the installer asks for elevation (word count {summary.get('Source')})")
    epoch = int(subprocess.run(["git", "-C", os.path.dirname(make_msi), "log", "-1",
                                "--format=%ct"], capture_output=True, text=True,
                               check=True).stdout)
    for name in ["Created", "Last saved"]:
        if summary.get(name) != time.asctime(time.gmtime(epoch)):
            faults.append(f"the installer's summary: {name} {summary.get(name)!r}, not the "
                          "last commit's time")
    if msi_export(path, "_ForceCodepage") != ["", "", "1252\t_ForceCodepage"]:
        faults.append("the installer's strings are not in code page 1252")
    # Root 1 is HKEY_CURRENT_USER; a "*" in an Environment name the machine's variables.
    roots = {row[1] for row in msi_table(path, "Registry")}
    if roots != {"1"}:
        faults.append(f"the installer writes registry roots {roots}, not only HKCU")
    if [row[1] for row in msi_table(path, "Environment")] != ["=-PATH"]:
        faults.append("the installer does not append to the user's PATH and only that")

    # The same inputs at another time, in another folder: the same bytes. Another
    # release: another product and package, of the same upgrade code.
    time.sleep(1.1)
    again, other = os.path.join(workdir, "again.msi"), os.path.join(workdir, "other.msi")
    member = {name: os.path.join(extracted, path) for path, name in MSI_FILES.items()}
    for out, version in [(again, release), (other, "99.99")]:
        made = run([make_msi, "--version", version, out, member["zdrv.exe"],
                    member["LIESMICH.txt"]])
        if made.returncode != 0:
            faults.append(f"make-msi --version {version} failed:\n{made.stderr}")
            return
    with open(path, "rb") as first, open(again, "rb") as second:
        if first.read() != second.read():
            faults.append("make-msi made other bytes from the same inputs")
    (product, upgrade, package), (product2, upgrade2, package2) = map(msi_codes, [path, other])
    if product == product2 or package == package2 or upgrade != upgrade2:
        faults.append(f"release {release} and 99.99: product codes {product}, {product2}, "
                      f"package codes {package}, {package2}, upgrade codes {upgrade}, {upgrade2}")


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


def check_program(program, workdir, faults):
    """The packaged program has the protections of posix.hardening."""
    path = os.path.join(workdir, "zdrv")
    with open(path, "wb") as out:
        out.write(program)
    result = run(["hardening-check", "--nofortify", "--nocfprotection", path])
    if result.returncode != 0:
        faults.append(f"hardening-check of the packaged zdrv:\n{result.stdout}")


def check_deb(path, release, workdir, faults):
    files = deb_files(path)
    if set(files) != DEB_FILES:
        faults.append(f"the package holds {sorted(files)}, expected {sorted(DEB_FILES)}")
    if "usr/bin/zdrv" in files:
        check_program(files["usr/bin/zdrv"], workdir, faults)
    if "usr/share/man/man1/zdrv.1.gz" in files:
        check_man_page(files["usr/share/man/man1/zdrv.1.gz"], workdir, faults)
    # debian/changelog repeats the release number of VERSION.
    version = run(["dpkg-deb", "--field", path, "Version"]).stdout.strip()
    if version != release:
        faults.append(f"the package is version {version!r}, VERSION reads {release!r}")
    depends = run(["dpkg-deb", "--field", path, "Depends"]).stdout
    if "libc6" not in depends:
        faults.append(f"Depends does not name the C library: {depends!r}")


def check_apt(dist, deb, said, faults):
    """The unsigned repository: no InRelease and no keyring, the package as built."""
    files = sorted(os.path.relpath(os.path.join(folder, name), dist)
                   for folder, _, names in os.walk(os.path.join(dist, "apt")) for name in names)
    arch = deb.rsplit("_", 1)[1].removesuffix(".deb")
    pooled = f"apt/pool/main/z/zdrv/{deb}"
    expected = sorted(["apt/zandrivo.sources", "apt/dists/stable/Release",
                       f"apt/dists/stable/main/binary-{arch}/Packages",
                       f"apt/dists/stable/main/binary-{arch}/Packages.gz", pooled])
    if files != expected:
        faults.append(f"dist/apt holds {files}, expected {expected}")
    elif not filecmp.cmp(os.path.join(dist, deb), os.path.join(dist, pooled), shallow=False):
        faults.append(f"the package in dist/apt/pool is not dist/{deb}")
    unsigned = [line for line in said.splitlines() if line.startswith("unsigned:")]
    if len(unsigned) != 1 or "apt repository" not in unsigned[0]:
        faults.append(f"make-packages did not say in one line that the apt repository is "
                      f"unsigned:\n{said}")


def check_sums(dist, faults):
    """SHA256SUMS lists every file in dist but itself and the apt repository."""
    names = sorted(os.path.relpath(os.path.join(folder, name), dist)
                   for folder, _, files in os.walk(dist) for name in files)
    names = [name for name in names if name != "SHA256SUMS" and not name.startswith("apt/")]
    sums = pathlib.Path(dist, "SHA256SUMS").read_text(encoding="utf-8")
    listed = sorted(line.split()[-1] for line in sums.splitlines())
    if listed != names:
        faults.append(f"SHA256SUMS lists {listed}, dist holds {names}")
    result = run(["sha256sum", "--check", "--quiet", "SHA256SUMS"], cwd=dist)
    if result.returncode != 0:
        faults.append(f"sha256sum --check:\n{result.stdout}{result.stderr}")


def check_manifests(dist, release, zip_name, msi_name, make_manifests, workdir, faults):
    """The manifests of winget and Scoop, as checked against the files beside them."""
    winget = WINGET.format(release)
    expected = [f"{winget}.installer.yaml", f"{winget}.locale.de-DE.yaml", f"{winget}.yaml",
                "scoop/zdrv.json"]
    try:
        manifests = read_manifests(dist)
    except ValueError as error:
        faults.append(str(error))
        return
    if sorted(manifests) != sorted(expected):
        faults.append(f"the manifests are {sorted(manifests)}, expected {sorted(expected)}")
        return
    installer, locale, version, scoop = (manifests[name] for name in expected)
    missing = [(kind, field) for kind, contents in [
        ("installer", installer), ("defaultLocale", locale), ("version", version),
        ("scoop", scoop), *[("Installers", item) for item in installer.get("Installers") or []]]
        for field in REQUIRED[kind] if contents.get(field) in (None, "", [])]
    if missing:
        faults.append(f"the manifests lack the fields {missing}")
        return
    check_manifest_hashes(dist, manifests, faults)

    url = RELEASE_URL.format(release)
    properties = dict(msi_table(os.path.join(dist, msi_name), "Property"))
    msi, zipped = (next((item for item in installer["Installers"]
                         if item["InstallerType"] == kind), {}) for kind in ("msi", "zip"))
    with zipfile.ZipFile(os.path.join(dist, zip_name)) as archive:
        members = archive.namelist()
    checkver = re.search(scoop["checkver"]["regex"], f'<a href="{release}/">{release}/</a>')
    # (what, found, expected)
    facts = [
        ("manifest types", [m["ManifestType"] for m in (installer, locale, version)],
         ["installer", "defaultLocale", "version"]),
        ("manifest versions of 1.9.0 or newer",
         {tuple(map(int, m["ManifestVersion"].split("."))) >= (1, 9, 0)
          for m in (installer, locale, version)}, {True}),
        ("identifiers", {m["PackageIdentifier"] for m in (installer, locale, version)},
         {"Zandrivo.zdrv"}),
        ("release numbers", [m["PackageVersion"] for m in (installer, locale, version)]
         + [scoop["version"]], [properties["ProductVersion"], release, release, release]),
        ("locales", [version["DefaultLocale"], locale["PackageLocale"]], ["de-DE", "de-DE"]),
        ("publisher and name", [locale["Publisher"], locale["PackageName"]],
         [properties["Manufacturer"], properties["ProductName"]]),
        # debian/copyright grants no license.
        ("licenses", [locale["License"], scoop["license"]], ["Proprietary", "Proprietary"]),
        ("installer addresses", [msi.get("InstallerUrl"), zipped.get("InstallerUrl"),
                                 scoop["url"]], [url + msi_name, url + zip_name, url + zip_name]),
        ("the installer's scope, architecture, command and upgrade",
         [msi.get(field) for field in ("Scope", "Architecture", "Commands", "UpgradeBehavior")],
         ["user", "x86", ["zdrv"], "install"]),
        ("the installer's silent switch", "/qn" in msi.get("InstallerSwitches", {}).get(
            "Silent", ""), True),
        ("the installer's product code", msi.get("ProductCode"), properties["ProductCode"]),
        ("the installer's Apps & Features entry", msi.get("AppsAndFeaturesEntries"),
         [{"DisplayName": properties["ProductName"], "Publisher": properties["Manufacturer"],
           "ProductCode": properties["ProductCode"],
           "UpgradeCode": properties["UpgradeCode"]}]),
        ("the zip as a portable installer",
         [zipped.get("NestedInstallerType"), zipped.get("NestedInstallerFiles")],
         ["portable", [{"RelativeFilePath": "zdrv.exe", "PortableCommandAlias": "zdrv"}]]),
        ("Scoop's program, one in the zip", [scoop["bin"], scoop["bin"] in members],
         ["zdrv.exe", True]),
        ("Scoop's address of a later release", scoop["autoupdate"]["url"].replace(
            "$version", "9.99"), RELEASE_URL.format("9.99") + zip_name.replace(release, "9.99")),
        ("Scoop's release in the listing above it", [scoop["checkver"]["url"] + f"{release}/",
                                                     checkver and checkver.group(1)],
         [url, release]),
    ]
    faults += [f"manifests: {what} {found!r}, expected {wanted!r}"
               for what, found, wanted in facts if found != wanted]

    # Another folder, another current directory, a second later: the same bytes.
    time.sleep(1.1)
    again = os.path.join(workdir, "manifests-again")
    os.makedirs(again)
    for name in (zip_name, msi_name):
        shutil.copy(os.path.join(dist, name), again)
    made = run([make_manifests, url, again, zip_name, msi_name], cwd=workdir)
    differ = [name for name in expected if made.returncode != 0
              or not filecmp.cmp(os.path.join(dist, name), os.path.join(again, name), False)]
    if differ:
        faults.append(f"make-manifests made other bytes of {differ} from the same files:\n"
                      f"{made.stderr}")


# The address given to a release, what scripts/release must say to it, and whether it
# must go on to build the programs.
RELEASE_URLS = [
    (None, r"release: no manifests for winget and Scoop \(ZDRV_RELEASE_URL.*", True),
    ("http://example.org/zdrv/", r"release: ZDRV_RELEASE_URL must be .*https://.*", False),
    ("https://example.org/zdrv?v=1", r"release: ZDRV_RELEASE_URL must be .*", False),
    ("https://example.org/zdrv/1.00/", r"", True),
]


def check_release_url(make_packages, win32_exe, dist, env, workdir, faults):
    """scripts/release says in one line that it writes no manifests without an address, and
    refuses one that is not an https:// folder before it builds anything; so does
    make-packages."""
    copy = release_copy(os.path.dirname(make_packages), workdir, dist)
    before = tree(os.path.join(copy, "dist"))
    for url, message, builds in RELEASE_URLS:
        url_env = dict(env, ZDRV_RELEASE_URL=url) if url else env
        result = run([os.path.join(copy, "scripts", "release")], env=url_env)
        said = (result.stdout + result.stderr).strip()
        built = os.path.exists(os.path.join(copy, "scripts", "build.ran"))
        if not re.fullmatch(message, said) or built != builds:
            faults.append(f"scripts/release with ZDRV_RELEASE_URL={url} said (status "
                          f"{result.returncode}, built: {built}), not one line /{message}/:\n"
                          f"{said}")
        if built:
            os.remove(os.path.join(copy, "scripts", "build.ran"))
    if not untouched(os.path.join(copy, "dist"), before):
        faults.append("scripts/release changed dist/")
    refused = run([make_packages, dist, win32_exe],
                  env=dict(env, ZDRV_RELEASE_URL=RELEASE_URLS[1][0]))
    if refused.returncode == 0 or "make-packages: ZDRV_RELEASE_URL must be" not in refused.stderr:
        faults.append(f"make-packages took ZDRV_RELEASE_URL={RELEASE_URLS[1][0]} (status "
                      f"{refused.returncode}):\n{refused.stderr}")


def main():
    make_packages, win32_exe, workdir = sys.argv[1:]
    release = (pathlib.Path(make_packages).parents[1] / "VERSION").read_text().split()[0]
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    dist = os.path.join(workdir, "dist")
    env = {key: value for key, value in os.environ.items()
           if key not in SIGNING and key != "ZDRV_RELEASE_URL"}
    env.update(DEB_BUILD_OPTIONS="nocheck", ZDRV_LOG=os.path.join(workdir, "make-packages.log"))
    made = run([make_packages, dist, win32_exe],
               env=dict(env, ZDRV_RELEASE_URL=RELEASE_URL.format(release)))
    if made.returncode != 0:
        print(f"make-packages failed (status {made.returncode}):\n{made.stderr}")
        return 1

    # The apt repository is not in SHA256SUMS: its InRelease signs it.
    names = sorted(set(os.listdir(dist)) - {"apt", "winget", "scoop"})
    kinds = ("-win32.zip", ".msi", ".dsc", ".tar.xz", ".deb")
    found = {kind: [name for name in names if name.endswith(kind)] for kind in kinds}
    faults = []
    if any(len(found[kind]) != 1 for kind in kinds) or len(names) != len(kinds) + 1:
        faults.append(f"dist holds {names}: expected one each of {kinds} and SHA256SUMS")
    else:
        check_sums(dist, faults)
        check_zip(os.path.join(dist, found["-win32.zip"][0]), win32_exe, faults)
        check_msi(os.path.join(dist, found[".msi"][0]), os.path.join(dist, found["-win32.zip"][0]),
                  release, os.path.join(os.path.dirname(make_packages), "make-msi"), workdir,
                  faults)
        check_deb(os.path.join(dist, found[".deb"][0]), release, workdir, faults)
        check_apt(dist, found[".deb"][0], made.stderr, faults)
        check_manifests(dist, release, found["-win32.zip"][0], found[".msi"][0],
                        os.path.join(os.path.dirname(make_packages), "make-manifests"), workdir,
                        faults)
        check_release_url(make_packages, win32_exe, dist, env, workdir, faults)
        # The source package (its tarball beside it) and the package built from it.
        result = run(["lintian", "--fail-on", "error,warning", found[".dsc"][0],
                      found[".deb"][0]], cwd=dist)
        if result.returncode != 0:
            faults.append(f"lintian (status {result.returncode}):\n{result.stdout}"
                          f"{result.stderr}")
    return report(faults)


if __name__ == "__main__":
    sys.exit(main())
