#!/usr/bin/python3
"""Makes the release signed with a code-signing certificate (issued by a test authority)
and an OpenPGP key made here for this run only, in a temporary folder that is removed at
the end, and checks both signatures: the release says in one line the day its signatures
stop verifying, as they have no time stamp; zdrv.exe in the zip verifies against the
certificate, names the program and its web address, gives back the unsigned program when
its signature is removed, comes out the same when signed again, and carries a time stamp
when signed with ZDRV_SIGN_TIMESTAMP_URL (a local RFC 3161 service, openssl ts); the
installer holds that signed zdrv.exe, verifies against the certificate, comes out the same
when made and signed again, and no longer verifies once one byte of its cabinet has changed; it holds the handler of Windows 11's first
menu, signed (and MENU_DLL once the signature is removed), and its sparse package;
SHA256SUMS.asc verifies, and no longer does once one byte of SHA256SUMS has changed; the
manifests of winget and Scoop give the SHA-256 of the signed zip and installer. The
sparse package (packaging/make-msix), signed: it verifies, and no longer does once one byte
of a logo has changed; it comes out the same when made and signed again; its Publisher is
the certificate's subject as Windows writes it; its zip entries are as MSIX readers accept
them, in the order MSIX writers put them, and its block map describes them exactly; its
manifest has the identity, dependency, capabilities, application, menu entries and COM
class the handler needs.
For certificates of other shapes, the package's Publisher is the subject as Windows writes
it and fits the pattern of the manifest's schema, or make-msix refuses the certificate.

Then the same key goes onto a throw-away SoftHSM token (SOFTHSM2_CONF in the temporary
folder), and the release is signed on it with time stamps: each signature carries one, and
the release is the release signed with the key file apart from the signatures (each file
the zip and the installer hold is the same once its signature is removed; every other
file but SHA256SUMS and its signature is the same); its PIN is in no process's command line
and in nothing said or logged. Each fault of the token's set-up (a wrong PIN, a module that
is missing or does not load, no token, no such key, a certificate of another key, a
time-stamping service that does not answer) stops scripts/release before it builds
anything, with one line that names it; and neither such a fault nor one that strikes
while the release is being made changes dist/.

Usage: check_signed.py PACKAGING_DIR WIN32_EXE WORKDIR MENU_DLL
Prints every check that does not hold; exit status 1 when there is one.
"""

import base64
import datetime
import glob
import hashlib
import http.server
import json
import os
import pathlib
import re
import secrets
import shutil
import struct
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ElementTree
import zipfile

sys.dont_write_bytecode = True  # the tests leave the source tree as they found it
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from release_tools import (check_manifest_hashes, make_openpgp_key,  # noqa: E402
                           read_manifests, release_copy, report, run, run_checked, tree,
                           untouched)


# The test certificate's subject, as openssl takes it (the most general part first), and as
# an MSIX manifest must name its publisher (the most specific part first, ", " between).
CERT_SUBJECT = "/C=DE/ST=Sachsen/L=Dresden/O=Zandrivo-Werkstatt/CN=Zandrivo-Werkstatt Test"
MSIX_PUBLISHER = "CN=Zandrivo-Werkstatt Test, O=Zandrivo-Werkstatt, L=Dresden, S=Sachsen, C=DE"
# Subjects of other shapes, as openssl -utf8 takes them ("\+" a plus in a value, "+"
# between the values of one part), each as Windows writes it and whether a package can name
# that as its Publisher.
CERT_SHAPES = [
    ("plain", "/CN=Zandrivo Test", "CN=Zandrivo Test", True),
    ("extended validation",
     "/jurisdictionC=DE/jurisdictionST=Sachsen/businessCategory=Private Organization"
     "/serialNumber=HRB 4711/C=DE/ST=Sachsen/L=Dresden/O=Zandrivo-Werkstatt GmbH"
     "/CN=Zandrivo-Werkstatt GmbH/emailAddress=signatur@zandrivo.example",
     "E=signatur@zandrivo.example, CN=Zandrivo-Werkstatt GmbH, O=Zandrivo-Werkstatt GmbH, "
     "L=Dresden, S=Sachsen, C=DE, SERIALNUMBER=HRB 4711, OID.2.5.4.15=Private Organization, "
     "OID.1.3.6.1.4.1.311.60.2.1.2=Sachsen, OID.1.3.6.1.4.1.311.60.2.1.3=DE", True),
    ("values to quote, each for another reason",
     '/C=DE/L=Görlitz/street=Hof=2/O=Müller, Söhne & Co./OU=Der "Laden"/OU=A\\+B/OU=Nr. #1'
     '/OU=<Signatur>/title=Leitung; Technik/CN= Zandrivo ',
     'CN=" Zandrivo ", T="Leitung; Technik", OU="<Signatur>", OU="Nr. #1", OU="A+B", '
     'OU="Der ""Laden""", O="Müller, Söhne & Co.", STREET="Hof=2", L=Görlitz, C=DE', True),
    ("several values in one part", "/O=Zandrivo-Werkstatt/CN=Zandrivo Test+OU=Signatur",
     "OU=Signatur + CN=Zandrivo Test, O=Zandrivo-Werkstatt", False),
]
# The Publisher pattern of Microsoft's manifest schema (ST_Publisher_2010_v2, shown on the
# schema reference's Identity page), as Python reads it: the schema's "." takes no line break.
_SCHEMA_PART = (r"(CN|L|O|OU|E|C|S|STREET|T|G|I|SN|DC|SERIALNUMBER|Description|PostalCode|"
                r"POBox|Phone|X21Address|dnQualifier|(OID\.(0|[1-9][0-9]*)(\.(0|[1-9][0-9]*))+))"
                r'=(([^,+="<>#;])+|"[^\r\n]*")')
SCHEMA_PUBLISHER = re.compile(f"{_SCHEMA_PART}(, {_SCHEMA_PART})*")
# What the release says when its signatures have no time stamp; {} is the day the
# certificate expires.
EXPIRY_NOTE = ("Ohne Zeitstempel: die Signaturen gelten nur bis zum Ablauf des Zertifikats am {} "
               "(ZDRV_SIGN_TIMESTAMP_URL nicht gesetzt)")
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
with open(os.path.join(SOURCE, "packaging", "context-menu.json"), encoding="utf-8") as table:
    MENU = json.load(table)
# The entries a signed package holds besides its own files, in the order MSIX writers put
# them last; the block map lists all others.
FOOTPRINT = ["AppxManifest.xml", "AppxBlockMap.xml", "[Content_Types].xml", "AppxSignature.p7x"]
MSIX_NAMESPACES = {
    "m": "http://schemas.microsoft.com/appx/manifest/foundation/windows10",
    "uap": "http://schemas.microsoft.com/appx/manifest/uap/windows10",
    "uap10": "http://schemas.microsoft.com/appx/manifest/uap/windows10/10",
    "desktop4": "http://schemas.microsoft.com/appx/manifest/desktop/windows10/4",
    "desktop5": "http://schemas.microsoft.com/appx/manifest/desktop/windows10/5",
    "com": "http://schemas.microsoft.com/appx/manifest/com/windows10",
    "rescap": "http://schemas.microsoft.com/appx/manifest/foundation/windows10/"
              "restrictedcapabilities",
    "b": "http://schemas.microsoft.com/appx/2010/blockmap",
}


def make_keys(keys, env):
    """A password-protected RSA key with a code-signing certificate that a test authority
    issued (the file holds both certificates), and an OpenPGP key in keys/gnupg; returns the
    signing variables of make-packages."""
    password = os.path.join(keys, "password")
    with open(password, "w", encoding="ascii") as out:
        out.write("wegwerf\n")
    key, cert = os.path.join(keys, "key.pem"), os.path.join(keys, "cert.pem")
    authority, authority_key = os.path.join(keys, "ca.pem"), os.path.join(keys, "ca.key")
    run_checked(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                 "ec_paramgen_curve:P-256", "-nodes", "-keyout", authority_key,
                 "-subj", "/CN=Zandrivo Test CA", "-days", "3", "-out", authority])
    run_checked(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                 "-aes256", "-pass", f"file:{password}", "-out", key])
    run_checked(["openssl", "req", "-x509", "-new", "-key", key, "-passin", f"file:{password}",
                 "-CA", authority, "-CAkey", authority_key, "-subj", CERT_SUBJECT, "-days", "2",
                 "-addext", "extendedKeyUsage=codeSigning", "-out", cert])
    with open(cert, "a", encoding="ascii") as chain, open(authority, encoding="ascii") as ca:
        chain.write(ca.read())
    os.mkdir(env["GNUPGHOME"], 0o700)
    fingerprint = make_openpgp_key("Zandrivo Test", env)
    return {"ZDRV_SIGN_CERT": cert, "ZDRV_SIGN_KEY": key, "ZDRV_SIGN_PASS": password,
            "ZDRV_OPENPGP_KEY": fingerprint}


def check_exe(signed, packaging, win32_exe, env, service, workdir, faults):
    verified = verify(signed, env, "zdrv.exe", faults)
    for wanted in ("Text description: Zandrivo", "URL description: https://zandrivo.example/"):
        if wanted not in verified.stdout:
            faults.append(f"the signature lacks {wanted!r}")

    with open(signed, "rb") as program:
        if without_signature(program.read(), workdir) != pathlib.Path(win32_exe).read_bytes():
            faults.append(f"without its signature, zdrv.exe is not {win32_exe}")

    again, stamped = os.path.join(workdir, "again.exe"), os.path.join(workdir, "stamped.exe")
    run_checked([os.path.join(packaging, "sign-exe"), win32_exe, again], env=env)
    if not same_bytes(again, signed):
        faults.append("signing zdrv.exe again gave other bytes")
    run_checked([os.path.join(packaging, "sign-exe"), win32_exe, stamped],
                env=dict(env, ZDRV_SIGN_TIMESTAMP_URL=service.url))
    verify(stamped, env, "zdrv.exe time-stamped with the key file", faults, service)


def verify(path, env, what, faults, service=None):
    """osslsigncode's verdict on the signature of `path`; a fault when it does not verify,
    or, with the time-stamping service, carries no time stamp of it that verifies."""
    command = ["osslsigncode", "verify", "-CAfile", env["ZDRV_SIGN_CERT"], "-in", path]
    wanted = {"Signature verification: ok"}
    if service:
        command[2:2] = ["-TSA-CAfile", service.cert]
        wanted.add("Timestamp Server Signature verification: ok")
    verified = run(command)
    if verified.returncode != 0 or not wanted <= set(verified.stdout.splitlines()):
        faults.append(f"osslsigncode verify of {what}:\n{verified.stdout}{verified.stderr}")
    return verified


def without_signature(data, workdir):
    """A signed program or package without its signature (osslsigncode remove-signature)."""
    signed, plain = os.path.join(workdir, "signed.bin"), os.path.join(workdir, "plain.bin")
    pathlib.Path(signed).write_bytes(data)
    if os.path.exists(plain):
        os.remove(plain)
    run_checked(["osslsigncode", "remove-signature", "-in", signed, "-out", plain])
    return pathlib.Path(plain).read_bytes()


class TimeStampService:
    """An RFC 3161 time-stamping service on 127.0.0.1, in a thread of its own: openssl ts
    answers each request, signed with a time-stamping certificate made for it (cert)."""

    def __init__(self, keys):
        folder = os.path.join(keys, "tsa")
        os.mkdir(folder)
        key, self.cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
        run_checked(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                     "-subj", "/CN=Zandrivo Test TSA", "-days", "2",
                     "-addext", "extendedKeyUsage=critical,timeStamping", "-out", self.cert])
        config = os.path.join(folder, "tsa.cnf")
        with open(config, "w", encoding="ascii") as out:
            out.write(f"[tsa]\ndefault_tsa = test\n[test]\nserial = {folder}/serial\n"
                      f"signer_cert = {self.cert}\nsigner_key = {key}\nsigner_digest = sha256\n"
                      "default_policy = 1.2.3.4.1\nother_policies = 1.2.3.4.2\n"
                      "digests = sha1, sha256, sha384, sha512\ness_cert_id_alg = sha256\n")
        with open(os.path.join(folder, "serial"), "w", encoding="ascii") as out:
            out.write("01\n")

        class Answer(http.server.BaseHTTPRequestHandler):
            def do_POST(self):  # noqa: N802 (http.server's name)
                query, reply = os.path.join(folder, "query"), os.path.join(folder, "reply")
                pathlib.Path(query).write_bytes(
                    self.rfile.read(int(self.headers["Content-Length"])))
                answered = run(["openssl", "ts", "-reply", "-config", config,
                                "-queryfile", query, "-out", reply])
                data = pathlib.Path(reply).read_bytes() if answered.returncode == 0 else b""
                self.send_response(200 if data else 500)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *_):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Answer)
        self.url = f"http://127.0.0.1:{self.server.server_port}/"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


def verifies_changed(path, marker, offset, env, workdir):
    """Whether the signature of `path` still verifies once one bit has changed, `offset`
    bytes after the first `marker`."""
    with open(path, "rb") as original:
        data = bytearray(original.read())
    data[data.index(marker) + offset] ^= 1
    changed = os.path.join(workdir, "changed-" + os.path.basename(path))
    with open(changed, "wb") as out:
        out.write(data)
    return run(["osslsigncode", "verify", "-CAfile", env["ZDRV_SIGN_CERT"], "-in", changed]
               ).returncode == 0


def check_signed_dll(signed, built, env, workdir, faults):
    verify(signed, env, "zdrv-menu.dll", faults)
    with open(signed, "rb") as handler:
        if without_signature(handler.read(), workdir) != pathlib.Path(built).read_bytes():
            faults.append(f"without its signature, the installer's zdrv-menu.dll is not {built}")


def check_msi(msi, signed_exe, menu_dll, packaging, env, workdir, faults):
    verify(msi, env, "the installer", faults)
    files = os.path.join(workdir, "msi")
    run_checked(["msiextract", "-C", files, msi])
    exe = os.path.join(files, "Programs", "Zandrivo", "zdrv.exe")
    if not os.path.isfile(exe) or not same_bytes(exe, signed_exe):
        faults.append("the installer does not hold the zip's signed zdrv.exe")
        return

    installed = os.path.join(files, "Programs", "Zandrivo")
    handler = [os.path.join(installed, MENU["handler_folder"], name)
               for name in ["zdrv-menu.dll", "zdrv-menu.msix"]]
    if not all(os.path.isfile(file) for file in handler):
        faults.append("the installer lacks the menu's handler or its package")
        return
    check_signed_dll(handler[0], menu_dll, env, workdir, faults)
    check_msix(handler[1], packaging, env, workdir, faults)

    unsigned, again = os.path.join(workdir, "unsigned.msi"), os.path.join(workdir, "again.msi")
    liesmich = os.path.join(installed, "LIESMICH.txt")
    run_checked([os.path.join(packaging, "make-msi"), "--menu-handler", *handler, unsigned, exe,
                 liesmich], env=env)
    run_checked([os.path.join(packaging, "sign-exe"), unsigned, again], env=env)
    if not same_bytes(again, msi):
        faults.append("making and signing the installer again gave other bytes")

    # One byte of the cabinet (its header, in the stream's first sector) changed.
    if verifies_changed(msi, b"MSCF", 64, env, workdir):
        faults.append("the installer's signature verifies a changed cabinet")


def check_sums_signature(dist, env, workdir, faults):
    sums, signature = os.path.join(dist, "SHA256SUMS"), os.path.join(dist, "SHA256SUMS.asc")
    verified = run(["gpg", "--batch", "--verify", signature, sums], env=env)
    if verified.returncode != 0:
        faults.append(f"gpg --verify SHA256SUMS.asc:\n{verified.stderr}")
    changed = os.path.join(workdir, "SHA256SUMS")
    with open(sums, "rb") as original:
        data = bytearray(original.read())
    data[0] ^= 1
    with open(changed, "wb") as out:
        out.write(data)
    if run(["gpg", "--batch", "--verify", signature, changed], env=env).returncode == 0:
        faults.append("SHA256SUMS.asc verifies a changed SHA256SUMS")


def check_msix(package, packaging, env, workdir, faults):
    unsigned, again = os.path.join(workdir, "unsigned.msix"), os.path.join(workdir, "again.msix")
    run_checked([os.path.join(packaging, "make-msix"), unsigned, env["ZDRV_SIGN_CERT"]], env=env)
    run_checked([os.path.join(packaging, "sign-exe"), unsigned, again], env=env)
    if not same_bytes(again, package):
        faults.append("making and signing the package again gave other bytes")
    verify(package, env, "the package", faults)
    if verifies_changed(package, b"IDAT", 8, env, workdir):  # the first logo's image data
        faults.append("the package's signature verifies a changed logo")
    with open(package, "rb") as signed:
        data = signed.read()
    # Every entry, the signature's too, carries the release time: the last commit's.
    epoch = int(run_checked(["git", "-C", packaging, "log", "-1", "--format=%ct"]))
    release_time = time.gmtime(epoch)[:5] + (time.gmtime(epoch)[5] // 2 * 2,)
    with zipfile.ZipFile(package) as archive:
        check_msix_entries(archive, data, release_time, faults)
        check_block_map(archive, data, faults)
        check_manifest(archive, faults)


def check_msix_entries(archive, data, release_time, faults):
    """What MSIX readers accept: stored or deflated, "version needed" 2.0 or 4.5, no
    encryption, data descriptor or reserved flag; intact data (a stored
    [Content_Types].xml that osslsigncode rewrote deflated would fail its CRC)."""
    names = [info.filename for info in archive.infolist()]
    if names[-len(FOOTPRINT):] != FOOTPRINT:
        faults.append(f"the package's entries end {names[-len(FOOTPRINT):]}, not {FOOTPRINT}")
    for info in archive.infolist():
        # The local header: version needed, flags, method.
        version, flags, method = struct.unpack_from("<HHH", data, info.header_offset + 4)
        if method not in (0, 8) or version not in (20, 45) or flags & 0xF049:
            faults.append(f"{info.filename}: method {method}, version {version}, flags {flags:#x}")
    dates = {info.filename: info.date_time for info in archive.infolist()
             if info.date_time != release_time}
    if dates:
        faults.append(f"entries not dated at the release time: {dates}")
    damaged = archive.testzip()
    if damaged is not None:
        faults.append(f"the package's entry {damaged} is damaged")


def check_block_map(archive, data, faults):
    """Every entry but the footprint files, with its size, the length of its local header
    and a SHA-256 of each 64 KiB of its data; nothing else."""
    block_map = ElementTree.fromstring(archive.read("AppxBlockMap.xml"))
    mapped = {}
    for file in block_map.findall("b:File", MSIX_NAMESPACES):
        name = file.get("Name").replace("\\", "/")
        info = archive.getinfo(name)
        content = archive.read(name)
        name_length, extra_length = struct.unpack_from("<HH", data, info.header_offset + 26)
        hashes = [block.get("Hash") for block in file.findall("b:Block", MSIX_NAMESPACES)]
        mapped[name] = ((int(file.get("Size")), int(file.get("LfhSize")), hashes),
                        (len(content), 30 + name_length + extra_length,
                         [base64.b64encode(hashlib.sha256(content[at:at + 65536]).digest())
                          .decode("ascii") for at in range(0, len(content), 65536)]))
    for name, (described, actual) in mapped.items():
        if described != actual:
            faults.append(f"the block map describes {name} as {described}, not {actual}")
    unmapped = set(archive.namelist()) - set(FOOTPRINT[1:])
    if set(mapped) != unmapped:
        faults.append(f"the block map lists {sorted(mapped)}, the package holds {sorted(unmapped)}")
    if block_map.get("HashMethod") != "http://www.w3.org/2001/04/xmlenc#sha256":
        faults.append(f"block map hash method {block_map.get('HashMethod')}")


def check_manifest(archive, faults):
    manifest = ElementTree.fromstring(archive.read("AppxManifest.xml"))

    def one(path):
        found = manifest.findall(path, MSIX_NAMESPACES)
        if len(found) != 1:
            faults.append(f"the manifest has {len(found)} elements {path}")
            return ElementTree.Element("missing")
        return found[0]

    identity = one("m:Identity")
    major, minor = (int(part) for part in open(os.path.join(SOURCE, "VERSION")).read().split()[0]
                    .split("."))
    expected = {
        "Identity": ((identity.get("Publisher"), identity.get("Version"),
                      identity.get("ProcessorArchitecture")),
                     (MSIX_PUBLISHER, f"{major}.{minor}.0.0", "x64")),
        "AllowExternalContent": (one("m:Properties/uap10:AllowExternalContent").text, "true"),
        "TargetDeviceFamily": (one("m:Dependencies/m:TargetDeviceFamily").attrib.get("Name"),
                               "Windows.Desktop"),
        "MinVersion": (one("m:Dependencies/m:TargetDeviceFamily").get("MinVersion"),
                       "10.0.22000.0"),
        "capabilities": (sorted(c.get("Name") for c in manifest.findall(
            "m:Capabilities/rescap:Capability", MSIX_NAMESPACES)),
            ["runFullTrust", "unvirtualizedResources"]),
    }
    application = one("m:Applications/m:Application")
    visual = one("m:Applications/m:Application/uap:VisualElements")
    trust = "{%s}" % MSIX_NAMESPACES["uap10"]
    expected["application"] = ((application.get(trust + "TrustLevel"),
                                application.get(trust + "RuntimeBehavior"),
                                visual.get("AppListEntry")), ("mediumIL", "win32App", "none"))
    menus = application.findall(
        "m:Extensions/desktop4:Extension[@Category='windows.fileExplorerContextMenus']/"
        "desktop4:FileExplorerContextMenus/desktop5:ItemType", MSIX_NAMESPACES)
    expected["menu entries"] = (
        [(item.get("Type"), [verb.get("Clsid") for verb in item.findall("desktop5:Verb",
                                                                         MSIX_NAMESPACES)])
         for item in menus],
        [(file_type, [MENU["handler_clsid"]]) for file_type in MENU["file_types"]])
    classes = application.findall(
        "m:Extensions/com:Extension[@Category='windows.comServer']/com:ComServer/"
        "com:SurrogateServer/com:Class", MSIX_NAMESPACES)
    expected["COM class"] = ([(c.get("Id"), c.get("Path"), c.get("ThreadingModel"))
                              for c in classes],
                             [(MENU["handler_clsid"], "zdrv-menu.dll", "STA")])
    logos = [manifest.find("m:Properties/m:Logo", MSIX_NAMESPACES).text,
             visual.get("Square150x150Logo"), visual.get("Square44x44Logo")]
    expected["logos in the package, as PNG"] = (
        [archive.read(logo.replace("\\", "/"))[:8] if logo and logo.replace("\\", "/") in
         archive.namelist() else None for logo in logos], [b"\x89PNG\r\n\x1a\n"] * 3)
    for what, (actual, wanted) in expected.items():
        if actual != wanted:
            faults.append(f"manifest {what}: {actual!r}, expected {wanted!r}")


# The token's PIN, and a wrong one: neither may appear in any output or command line. The
# PIN is drawn anew for each run, since the watcher reads every process's command line: a
# run of this check in another checkout puts its own PIN on softhsm2-util's.
PIN = f"Zdrv-Pin-{secrets.token_hex(4)}"
WRONG_PIN = "Falsch-4711"
TOKEN_KEY = "pkcs11:token=zdrv-test;object=zdrv-signing"
# Faults of a token set-up, each made from the good one by these variables (a value
# starting with "/" is relative to the temporary folder), and the one line scripts/release
# must then say.
TOKEN_FAULTS = [
    ("wrong PIN", {"ZDRV_SIGN_PASS": "/wrong-pin"}, r"wrong PIN for pkcs11:"),
    ("missing module", {"ZDRV_SIGN_PKCS11_MODULE": "/missing.so"},
     r"missing\.so, which does not exist"),
    ("module that does not load", {"ZDRV_SIGN_PKCS11_MODULE": "/cert.pem"},
     r"module .*cert\.pem does not load: invalid ELF header"),
    ("no token", {"ZDRV_SIGN_KEY": "pkcs11:token=absent;object=zdrv-signing"},
     r"no token matches pkcs11:token=absent"),
    ("no such key", {"ZDRV_SIGN_KEY": "pkcs11:token=zdrv-test;object=absent"},
     r"no private key pkcs11:token=zdrv-test;object=absent on the token"),
    ("certificate of another key", {"ZDRV_SIGN_CERT": "/other.pem"},
     r"the certificate .*other\.pem does not belong to the key pkcs11:"),
    ("time-stamping service that does not answer",
     {"ZDRV_SIGN_TIMESTAMP_URL": "http://127.0.0.1:1/"},
     r"no time stamp from http://127\.0\.0\.1:1/ \(ZDRV_SIGN_TIMESTAMP_URL\)"),
]


def make_token(keys, env):
    """The code-signing key of make_keys on a new SoftHSM token, and a certificate of
    another key; returns the signing variables for the token."""
    conf = os.path.join(keys, "softhsm2.conf")
    os.mkdir(os.path.join(keys, "tokens"))
    with open(conf, "w", encoding="ascii") as out:
        out.write(f"directories.tokendir = {keys}/tokens\nobjectstore.backend = file\n")
    env = dict(env, SOFTHSM2_CONF=conf)
    plain = os.path.join(keys, "plain.pem")
    run_checked(["openssl", "pkcs8", "-topk8", "-nocrypt", "-in", env["ZDRV_SIGN_KEY"],
                 "-passin", f"file:{env['ZDRV_SIGN_PASS']}", "-out", plain])
    run_checked(["softhsm2-util", "--init-token", "--free", "--label", "zdrv-test",
                 "--pin", PIN, "--so-pin", "12345678"], env=env)
    run_checked(["softhsm2-util", "--import", plain, "--token", "zdrv-test",
                 "--label", "zdrv-signing", "--id", "01", "--pin", PIN], env=env)
    os.remove(plain)
    run_checked(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                 "-nodes", "-keyout", os.path.join(keys, "other.key"), "-subj", "/CN=Other",
                 "-days", "2", "-out", os.path.join(keys, "other.pem")])
    for name, pin in (("pin", PIN), ("wrong-pin", WRONG_PIN)):
        with open(os.path.join(keys, name), "w", encoding="ascii") as out:
            out.write(pin + "\n")
    module = (glob.glob("/usr/lib/softhsm/libsofthsm2.so")
              + glob.glob("/usr/lib/*/softhsm/libsofthsm2.so"))[0]
    return {"SOFTHSM2_CONF": conf, "ZDRV_SIGN_KEY": TOKEN_KEY,
            "ZDRV_SIGN_PKCS11_MODULE": module, "ZDRV_SIGN_PASS": os.path.join(keys, "pin")}


def stand_in(keys, env):
    """env with an osslsigncode first on PATH that records its arguments in keys/argv, then
    runs the real one, unless it is to sign an installer and ZDRV_TEST_FAIL_MSI is set."""
    folder = os.path.join(keys, "bin")
    os.mkdir(folder)
    with open(os.path.join(folder, "osslsigncode"), "w", encoding="ascii") as out:
        out.write(f"""#!/bin/sh
printf '%s\\n' "$*" >>'{keys}/argv'
case "$*" in *.msi | *.msi\\ *) [ -z "$ZDRV_TEST_FAIL_MSI" ] || exit 1 ;; esac
exec '{shutil.which("osslsigncode")}' "$@"
""")
    os.chmod(os.path.join(folder, "osslsigncode"), 0o755)
    return dict(env, PATH=f"{folder}:{env['PATH']}")


def watch_command_lines(secret, stop, seen):
    """Until stop is set, reads every process's command line and keeps those with secret."""
    while not stop.is_set():
        for path in glob.glob("/proc/[0-9]*/cmdline"):
            try:
                with open(path, "rb") as cmdline:
                    data = cmdline.read()
            except OSError:
                continue
            if secret.encode() in data:
                seen.add(data.replace(b"\0", b" ").decode(errors="replace"))


def check_token(packaging, win32_exe, menu_dll, dist, env, service, keys, workdir, faults):
    token_env = stand_in(keys, dict(env, ZDRV_SIGN_TIMESTAMP_URL=service.url,
                                    **make_token(keys, env)))
    token_dist = os.path.join(workdir, "dist-token")
    stop, seen = threading.Event(), set()
    watcher = threading.Thread(target=watch_command_lines, args=(PIN, stop, seen))
    watcher.start()
    try:
        made = run([os.path.join(packaging, "make-packages"), token_dist, win32_exe, menu_dll],
                   env=token_env)
    finally:
        stop.set()
        watcher.join()
    if made.returncode != 0:
        faults.append(f"make-packages with the key on the token failed:\n{made.stderr}")
        return
    check_time_stamped(dist, token_dist, env, service, workdir, faults)
    if EXPIRY_NOTE.split(":")[0] in made.stderr:
        faults.append(f"the time-stamped release said when its signatures expire:\n{made.stderr}")
    with open(os.path.join(keys, "argv"), encoding="utf-8") as argv:
        calls = argv.read().splitlines()
    # The check of the set-up, zdrv.exe, the menu's handler and package, the installer.
    if len(calls) != 5 or not all(f"-key {TOKEN_KEY}" in call for call in calls):
        faults.append(f"osslsigncode was not called five times with the token's key: {calls}")
    seen.update(call for call in calls if PIN in call)
    with open(env["ZDRV_LOG"], encoding="utf-8") as log:
        said = made.stdout + made.stderr + log.read()
    if seen or PIN in said:
        faults.append(f"the PIN is in command lines {sorted(seen)} or in what was said")

    copy = release_copy(packaging, workdir, dist)
    # A fault that strikes after the zip was made, while the installer is being signed.
    before = tree(dist)
    failed = run([os.path.join(packaging, "make-packages"), dist, win32_exe, menu_dll],
                 env=dict(token_env, ZDRV_TEST_FAIL_MSI="1"))
    if failed.returncode == 0 or not untouched(dist, before):
        faults.append(f"signing the installer failed (status {failed.returncode}), and dist/ "
                      f"changed or the release was made anyway")

    before = tree(os.path.join(copy, "dist"))
    for what, changes, message in TOKEN_FAULTS:
        changed = {name: keys + value if value.startswith("/") else value
                   for name, value in changes.items()}
        result = run([os.path.join(copy, "scripts", "release")],
                     env=dict(token_env, SOURCE_DATE_EPOCH="1700000000", **changed))
        said = (result.stdout + result.stderr).strip()
        if result.returncode == 0 or not re.fullmatch(rf"sign-exe: .*{message}.*", said):
            faults.append(f"{what}: scripts/release said (status {result.returncode}), not "
                          f"one line /{message}/:\n{said}")
        if PIN in said or WRONG_PIN in said:
            faults.append(f"{what}: scripts/release said the PIN")
        if os.path.exists(os.path.join(copy, "scripts", "build.ran")):
            os.remove(os.path.join(copy, "scripts", "build.ran"))
            faults.append(f"{what}: scripts/release built the programs before it failed")
        if not untouched(os.path.join(copy, "dist"), before):
            faults.append(f"{what}: scripts/release changed dist/")


def check_time_stamped(dist, stamped_dist, env, service, workdir, faults):
    """The time-stamped release is the release apart from the signatures, and each of its
    signatures carries a time stamp of the service."""
    files, stamped_files = tree(dist), tree(stamped_dist)
    differ = {name for name in files.keys() | stamped_files.keys()
              if files.get(name, ())[2:] != stamped_files.get(name, ())[2:]}
    signed = {name for name in files if name.endswith((".zip", ".msi"))}
    # What names the signed files by their hashes differs with them, and must name the
    # time-stamped ones.
    manifests = read_manifests(stamped_dist)
    check_manifest_hashes(stamped_dist, manifests, faults)
    unexplained = differ - signed - set(manifests) - {"SHA256SUMS", "SHA256SUMS.asc"}
    if unexplained:
        faults.append(f"the time-stamped release signed on the token differs from the one "
                      f"signed with the key file in {sorted(unexplained)}")
    for name in signed:
        if name.endswith(".msi"):
            verify(os.path.join(stamped_dist, name), env, f"the time-stamped {name}", faults,
                   service)
        held = held_files(os.path.join(dist, name), workdir)
        stamped_held = held_files(os.path.join(stamped_dist, name), workdir)
        for inner in [inner for inner in stamped_held if inner.endswith((".exe", ".dll", ".msix"))]:
            pathlib.Path(workdir, "stamped.bin").write_bytes(stamped_held[inner])
            verify(os.path.join(workdir, "stamped.bin"), env, f"{inner} in the time-stamped "
                   f"{name}", faults, service)
            stamped_held[inner] = without_signature(stamped_held[inner], workdir)
            if inner in held:
                held[inner] = without_signature(held[inner], workdir)
        if held != stamped_held:
            faults.append(f"without their signatures, the files in the time-stamped {name} "
                          f"are not those of the release signed without time stamps")


def held_files(path, workdir):
    """The files a zip or an installer holds, by name."""
    if path.endswith(".zip"):
        with zipfile.ZipFile(path) as archive:
            return {name: archive.read(name) for name in archive.namelist()}
    folder = tempfile.mkdtemp(dir=workdir)
    run_checked(["msiextract", "-C", folder, path])
    return {os.path.relpath(file, folder): pathlib.Path(file).read_bytes()
            for file in glob.glob(os.path.join(folder, "**"), recursive=True)
            if os.path.isfile(file)}


def check_expiry_note(said, env, service, faults):
    """The release without time stamps names the day its certificate expires; a release
    signed with a self-signed certificate (the time-stamping service's) says nothing."""
    end = run_checked(["openssl", "x509", "-noout", "-enddate", "-in", env["ZDRV_SIGN_CERT"]])
    day = datetime.datetime.strptime(end.strip().removeprefix("notAfter="),
                                     "%b %d %H:%M:%S %Y GMT").strftime("%d.%m.%Y")
    self_signed = run(["bash", "-c", '. "$0"; signing_expiry_note',
                       os.path.join(SOURCE, "scripts", "lib", "signing.sh")],
                      env=dict(env, ZDRV_SIGN_CERT=service.cert))
    notes = [line for line in said.splitlines() if line.startswith("Ohne Zeitstempel")]
    if notes != [EXPIRY_NOTE.format(day)]:
        faults.append(f"the release signed without time stamps said {notes}, not "
                      f"{EXPIRY_NOTE.format(day)!r}")
    if self_signed.returncode != 0 or self_signed.stderr:
        faults.append(f"signed with a self-signed certificate, the release said (status "
                      f"{self_signed.returncode}): {self_signed.stderr}")


def check_publishers(packaging, workdir, faults):
    """For each shape of subject, the package's Publisher is the subject as Windows writes it
    and fits the schema's pattern; or make-msix refuses the certificate, naming that form."""
    for what, subject, windows, accepted in CERT_SHAPES:
        cert, package = os.path.join(workdir, "shape.pem"), os.path.join(workdir, "shape.msix")
        run_checked(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                     "ec_paramgen_curve:P-256", "-nodes", "-keyout", os.path.join(workdir,
                     "shape.key"), "-utf8", "-subj", subject, "-days", "2", "-out", cert])
        made = run([os.path.join(packaging, "make-msix"), package, cert])
        if not accepted:
            if made.returncode == 0 or repr(windows) not in made.stderr:
                faults.append(f"make-msix took the certificate ({what}) whose subject Windows "
                              f"writes {windows!r} (status {made.returncode}): {made.stderr}")
            continue
        if made.returncode != 0:
            faults.append(f"make-msix refused the certificate ({what}):\n{made.stderr}")
            continue
        with zipfile.ZipFile(package) as archive:
            identity = ElementTree.fromstring(archive.read("AppxManifest.xml")).find(
                "m:Identity", MSIX_NAMESPACES)
        name = identity.get("Publisher")
        if name != windows or not SCHEMA_PUBLISHER.fullmatch(name):
            faults.append(f"the package's Publisher ({what}) is {name!r}, not {windows!r}, or "
                          f"does not fit the schema's pattern")


def same_bytes(first, second):
    with open(first, "rb") as one, open(second, "rb") as other:
        return one.read() == other.read()


def main():
    packaging, win32_exe, workdir, menu_dll = sys.argv[1:]
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    dist = os.path.join(workdir, "dist")
    faults = []
    with tempfile.TemporaryDirectory(prefix="zdrv-keys-") as keys:
        env = dict(os.environ, GNUPGHOME=os.path.join(keys, "gnupg"), DEB_BUILD_OPTIONS="nocheck",
                   ZDRV_LOG=os.path.join(workdir, "make-packages.log"),
                   ZDRV_RELEASE_URL="https://example.org/zdrv/")
        env.pop("ZDRV_SIGN_TIMESTAMP_URL", None)
        env.pop("ZDRV_SIGN_PKCS11_MODULE", None)
        service = None
        try:
            service = TimeStampService(keys)
            env.update(make_keys(keys, env))
            made = run([os.path.join(packaging, "make-packages"), dist, win32_exe, menu_dll],
                       env=env)
            if made.returncode != 0:
                print(f"make-packages failed (status {made.returncode}):\n{made.stderr}")
                return 1
            check_expiry_note(made.stderr, env, service, faults)
            zips = [name for name in os.listdir(dist) if name.endswith("-win32.zip")]
            signed = os.path.join(workdir, "zdrv.exe")
            with zipfile.ZipFile(os.path.join(dist, zips[0])) as archive, \
                    open(signed, "wb") as out:
                out.write(archive.read("zdrv.exe"))
            check_exe(signed, packaging, win32_exe, env, service, workdir, faults)
            msis = [name for name in os.listdir(dist) if name.endswith(".msi")]
            check_msi(os.path.join(dist, msis[0]), signed, menu_dll, packaging, env, workdir,
                      faults)
            check_sums_signature(dist, env, workdir, faults)
            check_manifest_hashes(dist, read_manifests(dist), faults)
            check_token(packaging, win32_exe, menu_dll, dist, env, service, keys, workdir,
                        faults)
            check_publishers(packaging, workdir, faults)
        except (RuntimeError, ValueError) as error:
            faults.append(str(error))
        finally:
            if service:
                service.stop()
            run(["gpgconf", "--kill", "gpg-agent"], env=env)
    return report(faults)


if __name__ == "__main__":
    sys.exit(main())
