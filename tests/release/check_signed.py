#!/usr/bin/python3
"""Makes the release signed with a code-signing certificate and an OpenPGP key made here
for this run only, in a temporary folder that is removed at the end, and checks both
signatures: zdrv.exe in the zip verifies against the certificate, names the program and
its web address, gives back the unsigned program when its signature is removed and comes
out the same when signed again; the installer holds that signed zdrv.exe, verifies against
the certificate, comes out the same when made and signed again, and no longer verifies
once one byte of its cabinet has changed; SHA256SUMS.asc verifies, and no longer does once
one byte of SHA256SUMS has changed.

Usage: check_signed.py PACKAGING_DIR WIN32_EXE WORKDIR
Prints every check that does not hold; exit status 1 when there is one.
"""

import os
import shutil
import sys
import tempfile
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
        except RuntimeError as error:
            faults.append(str(error))
        finally:
            run(["gpgconf", "--kill", "gpg-agent"], env=env)
    return report(faults)


if __name__ == "__main__":
    sys.exit(main())
