#!/usr/bin/python3
"""Makes the release signed with a code-signing certificate and an OpenPGP key made here
for this run only, in a temporary folder that is removed at the end, and checks both
signatures: zdrv.exe in the zip verifies against the certificate, names the program and
its web address, gives back the unsigned program when its signature is removed and comes
out the same when signed again; the installer holds that signed zdrv.exe, verifies against
the certificate, comes out the same when made and signed again, and no longer verifies
once one byte of its cabinet has changed; SHA256SUMS.asc verifies, and no longer does once
one byte of SHA256SUMS has changed.

Then the same key goes onto a throw-away SoftHSM token (SOFTHSM2_CONF in the temporary
folder): the release signed on the token is the release signed with the key file, byte
for byte, and its PIN is in no process's command line and in nothing said or logged. Each
fault of the token's set-up (a wrong PIN, a module that is missing or does not load, no
token, no such key, a certificate of another key) stops scripts/release before it builds
anything, with one line that names it; and neither such a fault nor one that strikes
while the release is being made changes dist/.

Usage: check_signed.py PACKAGING_DIR WIN32_EXE WORKDIR
Prints every check that does not hold; exit status 1 when there is one.
"""

import glob
import os
import pathlib
import re
import shutil
import sys
import tempfile
import threading
import zipfile

sys.dont_write_bytecode = True  # the tests leave the source tree as they found it
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from release_tools import make_openpgp_key, report, run, run_checked  # noqa: E402


def make_keys(keys, env):
    """A password-protected RSA key with a self-signed code-signing certificate, and an
    OpenPGP key in keys/gnupg; returns the signing variables of make-packages."""
    password = os.path.join(keys, "password")
    with open(password, "w", encoding="ascii") as out:
        out.write("wegwerf\n")
    key, cert = os.path.join(keys, "key.pem"), os.path.join(keys, "cert.pem")
    run_checked(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                 "-aes256", "-pass", f"file:{password}", "-out", key])
    run_checked(["openssl", "req", "-x509", "-new", "-key", key, "-passin", f"file:{password}",
                 "-subj", "/CN=Zandrivo-Werkstatt Test", "-days", "2",
                 "-addext", "extendedKeyUsage=codeSigning", "-out", cert])
    os.mkdir(env["GNUPGHOME"], 0o700)
    fingerprint = make_openpgp_key("Zandrivo Test", env)
    return {"ZDRV_SIGN_CERT": cert, "ZDRV_SIGN_KEY": key, "ZDRV_SIGN_PASS": password,
            "ZDRV_OPENPGP_KEY": fingerprint}


def check_exe(signed, packaging, win32_exe, env, workdir, faults):
    cert = env["ZDRV_SIGN_CERT"]
    verified = run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed])
    if verified.returncode != 0 or "Signature verification: ok" not in verified.stdout:
        faults.append(f"osslsigncode verify:\n{verified.stdout}{verified.stderr}")
    for wanted in ("Text description: Zandrivo", "URL description: https://zandrivo.example/"):
        if wanted not in verified.stdout:
            faults.append(f"the signature lacks {wanted!r}")

    unsigned = os.path.join(workdir, "unsigned.exe")
    run_checked(["osslsigncode", "remove-signature", "-in", signed, "-out", unsigned])
    if not same_bytes(unsigned, win32_exe):
        faults.append(f"without its signature, zdrv.exe is not {win32_exe}")

    again = os.path.join(workdir, "again.exe")
    run_checked([os.path.join(packaging, "sign-exe"), win32_exe, again], env=env)
    if not same_bytes(again, signed):
        faults.append("signing zdrv.exe again gave other bytes")


def check_msi(msi, signed_exe, packaging, env, workdir, faults):
    verified = run(["osslsigncode", "verify", "-CAfile", env["ZDRV_SIGN_CERT"], "-in", msi])
    if verified.returncode != 0 or "Signature verification: ok" not in verified.stdout:
        faults.append(f"osslsigncode verify of the installer:\n{verified.stdout}"
                      f"{verified.stderr}")
    files = os.path.join(workdir, "msi")
    run_checked(["msiextract", "-C", files, msi])
    exe = os.path.join(files, "Programs", "Zandrivo", "zdrv.exe")
    if not os.path.isfile(exe) or not same_bytes(exe, signed_exe):
        faults.append("the installer does not hold the zip's signed zdrv.exe")
        return

    unsigned, again = os.path.join(workdir, "unsigned.msi"), os.path.join(workdir, "again.msi")
    liesmich = os.path.join(files, "Programs", "Zandrivo", "LIESMICH.txt")
    run_checked([os.path.join(packaging, "make-msi"), unsigned, exe, liesmich], env=env)
    run_checked([os.path.join(packaging, "sign-exe"), unsigned, again], env=env)
    if not same_bytes(again, msi):
        faults.append("making and signing the installer again gave other bytes")

    # One byte of the cabinet (its header, in the stream's first sector) changed.
    with open(msi, "rb") as original:
        data = bytearray(original.read())
    data[data.index(b"MSCF") + 64] ^= 1
    changed = os.path.join(workdir, "changed.msi")
    with open(changed, "wb") as out:
        out.write(data)
    if run(["osslsigncode", "verify", "-CAfile", env["ZDRV_SIGN_CERT"], "-in", changed]
           ).returncode == 0:
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


# The token's PIN, and a wrong one: neither may appear in any output or command line.
PIN = "Zdrv-Pin-0815"
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
case "$*" in *.msi*) [ -z "$ZDRV_TEST_FAIL_MSI" ] || exit 1 ;; esac
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


def tree(folder):
    """Every file and folder below folder: its mode, time and contents."""
    found = {}
    for top, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(top, name)
            info = os.lstat(path)
            data = pathlib.Path(path).read_bytes() if name in files else b""
            found[os.path.relpath(path, folder)] = (info.st_mode, info.st_mtime_ns, data)
    return found


def untouched(folder, before):
    """Whether folder is as tree gave before, with no new or old release of make-packages
    left beside it."""
    parent, name = os.path.split(folder)
    return tree(folder) == before and not glob.glob(os.path.join(parent, f".{name}-*"))


def release_copy(packaging, workdir, dist):
    """scripts/release in a folder of its own, with the previous release in its dist/,
    install-deps that finds everything there and a build that leaves a mark: a fault
    must stop it before that."""
    copy = os.path.join(workdir, "release")
    source = os.path.dirname(packaging)
    shutil.copytree(os.path.join(source, "scripts", "lib"), os.path.join(copy, "scripts", "lib"))
    shutil.copy(os.path.join(source, "scripts", "release"), os.path.join(copy, "scripts"))
    shutil.copytree(packaging, os.path.join(copy, "packaging"))
    shutil.copytree(dist, os.path.join(copy, "dist"))
    for name, body in (("install-deps", "exit 0"), ("build", 'touch "$0.ran"; exit 1')):
        with open(os.path.join(copy, "scripts", name), "w", encoding="ascii") as out:
            out.write(f"#!/bin/sh\n{body}\n")
        os.chmod(os.path.join(copy, "scripts", name), 0o755)
    # A clean checkout as far as release's look at git goes.
    run_checked(["git", "init", "-q", copy])
    with open(os.path.join(copy, ".gitignore"), "w", encoding="ascii") as out:
        out.write("*\n")
    return copy


def check_token(packaging, win32_exe, dist, env, keys, workdir, faults):
    token_env = stand_in(keys, dict(env, **make_token(keys, env)))
    token_dist = os.path.join(workdir, "dist-token")
    stop, seen = threading.Event(), set()
    watcher = threading.Thread(target=watch_command_lines, args=(PIN, stop, seen))
    watcher.start()
    try:
        made = run([os.path.join(packaging, "make-packages"), token_dist, win32_exe],
                   env=token_env)
    finally:
        stop.set()
        watcher.join()
    if made.returncode != 0:
        faults.append(f"make-packages with the key on the token failed:\n{made.stderr}")
        return
    files, token_files = tree(dist), tree(token_dist)
    differ = sorted(name for name in files.keys() | token_files.keys()
                    if files.get(name, ())[2:] != token_files.get(name, ())[2:])
    if differ:
        faults.append(f"the release signed on the token differs from the one signed with the "
                      f"key file in {differ}")
    with open(os.path.join(keys, "argv"), encoding="utf-8") as argv:
        calls = argv.read().splitlines()
    if len(calls) != 3 or not all(f"-key {TOKEN_KEY}" in call for call in calls):
        faults.append(f"osslsigncode was not called three times with the token's key: {calls}")
    seen.update(call for call in calls if PIN in call)
    with open(env["ZDRV_LOG"], encoding="utf-8") as log:
        said = made.stdout + made.stderr + log.read()
    if seen or PIN in said:
        faults.append(f"the PIN is in command lines {sorted(seen)} or in what was said")

    copy = release_copy(packaging, workdir, dist)
    # A fault that strikes after the zip was made, while the installer is being signed.
    before = tree(dist)
    failed = run([os.path.join(packaging, "make-packages"), dist, win32_exe],
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


def same_bytes(first, second):
    with open(first, "rb") as one, open(second, "rb") as other:
        return one.read() == other.read()


def main():
    packaging, win32_exe, workdir = sys.argv[1:]
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    dist = os.path.join(workdir, "dist")
    faults = []
    with tempfile.TemporaryDirectory(prefix="zdrv-keys-") as keys:
        env = dict(os.environ, GNUPGHOME=os.path.join(keys, "gnupg"), DEB_BUILD_OPTIONS="nocheck",
                   ZDRV_LOG=os.path.join(workdir, "make-packages.log"))
        env.pop("ZDRV_SIGN_TIMESTAMP_URL", None)
        env.pop("ZDRV_SIGN_PKCS11_MODULE", None)
        try:
            env.update(make_keys(keys, env))
            made = run([os.path.join(packaging, "make-packages"), dist, win32_exe], env=env)
            if made.returncode != 0:
                print(f"make-packages failed (status {made.returncode}):\n{made.stderr}")
                return 1
            zips = [name for name in os.listdir(dist) if name.endswith("-win32.zip")]
            signed = os.path.join(workdir, "zdrv.exe")
            with zipfile.ZipFile(os.path.join(dist, zips[0])) as archive, \
                    open(signed, "wb") as out:
                out.write(archive.read("zdrv.exe"))
            check_exe(signed, packaging, win32_exe, env, workdir, faults)
            msis = [name for name in os.listdir(dist) if name.endswith(".msi")]
            check_msi(os.path.join(dist, msis[0]), signed, packaging, env, workdir, faults)
            check_sums_signature(dist, env, workdir, faults)
            check_token(packaging, win32_exe, dist, env, keys, workdir, faults)
        except RuntimeError as error:
            faults.append(str(error))
        finally:
            run(["gpgconf", "--kill", "gpg-agent"], env=env)
    return report(faults)


if __name__ == "__main__":
    sys.exit(main())
