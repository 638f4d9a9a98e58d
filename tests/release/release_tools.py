"""What the checks of the release files share: running a tool, an OpenPGP key made for one
test run, a copy of scripts/release that builds nothing, a folder's contents, and the
manifests of winget and Scoop."""

import glob
import hashlib
import json
import os
import pathlib
import shutil
import subprocess

import yaml


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, check=False, **kwargs)


def run_checked(command, **kwargs):
    """The tool's output; RuntimeError with the end of what it said when it fails."""
    result = run(command, **kwargs)
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(command[:2])} failed (status {result.returncode}):\n"
                           f"{result.stdout[-3000:]}{result.stderr[-3000:]}")
    return result.stdout


def make_openpgp_key(name, env):
    """The fingerprint of a new signing key without a passphrase, in env's GNUPGHOME."""
    run_checked(["gpg", "--batch", "--passphrase", "", "--quick-gen-key",
                 f"{name} <test@zandrivo.example>", "ed25519", "sign", "never"], env=env)
    listing = run_checked(["gpg", "--batch", "--with-colons", "--list-secret-keys", name], env=env)
    return next(line.split(":")[9] for line in listing.splitlines() if line.startswith("fpr:"))


def report(faults):
    """Prints every check that did not hold; the exit status: 1 when there is one."""
    for fault in faults:
        print(fault)
    return 1 if faults else 0


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


def read_manifests(dist):
    """{path in dist: contents} of the manifests of winget and Scoop there; ValueError when
    one does not parse."""
    found = {}
    for path in sorted(glob.glob(os.path.join(dist, "winget", "**", "*"), recursive=True)
                       + glob.glob(os.path.join(dist, "scoop", "**", "*"), recursive=True)):
        if os.path.isfile(path):
            with open(path, encoding="utf-8") as manifest:
                try:
                    found[os.path.relpath(path, dist)] = (
                        json.load(manifest) if path.endswith(".json") else yaml.safe_load(manifest))
                except (json.JSONDecodeError, yaml.YAMLError) as error:
                    raise ValueError(f"{os.path.relpath(path, dist)} does not parse: {error}")
    return found


def check_manifest_hashes(dist, manifests, faults):
    """Each file a manifest names by its address is in dist, with the SHA-256 it gives."""
    named = [(path, installer["InstallerUrl"], installer["InstallerSha256"])
             for path, contents in manifests.items() if contents.get("ManifestType") == "installer"
             for installer in contents["Installers"]]
    named += [(path, contents["url"], contents["hash"])
              for path, contents in manifests.items() if path.startswith("scoop/")]
    if not named:
        faults.append(f"no manifest in {dist} names a file")
    for path, url, digest in named:
        file = pathlib.Path(dist, url.rsplit("/", 1)[-1])
        actual = hashlib.sha256(file.read_bytes()).hexdigest() if file.is_file() else "no file"
        if digest.lower() != actual:
            faults.append(f"{path} gives {digest} for {url}; {file.name} in dist: {actual}")
