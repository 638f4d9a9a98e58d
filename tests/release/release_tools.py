"""What the checks of the release files share: running a tool, and an OpenPGP key made for
one test run."""

import subprocess


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
