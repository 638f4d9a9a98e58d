#!/usr/bin/python3
"""The emulated PC in which the Wine tests run the 32-bit zdrv.exe on a machine whose
kernel cannot run 32-bit code.

  guest.py start     boot it (building its image first when there is none) and wait
                     until its agent answers
  guest.py run [--time-limit S] -- COMMAND...
                     run COMMAND in it, in the current folder, show its output and end
                     with its status
  guest.py stop      turn it off

The PC is QEMU's x86-64 system emulator, booted
from the image of scripts/guest-image with its disk as a snapshot, so every boot starts
from the same clean system. The checkout is shared at its own path. A watcher process
turns the PC off when the process that started it (CTest) has ended or the time limit
has passed, so nothing of it outlives the tests. Its console and the watcher's messages
go to build/logs/guest.log.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

CHECKOUT = Path(__file__).resolve().parents[2]
LOG = CHECKOUT / "build" / "logs" / "guest.log"
STATE = CHECKOUT / "build" / "guest"
CONTROL = STATE / "control"
PIDS = STATE / "pids.json"

MEMORY_MIB = 4096
CPUS = 2
BOOT_SECONDS = 300
LIFETIME_SECONDS = 90 * 60  # CI's limit for a whole test run
KERNEL_COMMAND_LINE = "console=ttyS0 root=/dev/vda rw init=/sbin/zdrv-guest-init panic=1 quiet"


class GuestError(Exception):
    pass


def say(text: str) -> None:
    print(f"guest: {text}", flush=True)


def log_tail(lines: int = 15) -> str:
    if not LOG.is_file():
        return ""
    tail = LOG.read_text(errors="replace").splitlines()[-lines:]
    return "\n".join(f"    {line}" for line in tail)


# ---- the PC -----------------------------------------------------------------------------

def qemu_command(image: Path) -> list[str]:
    share = "local,security_model=none,path={},mount_tag={}"
    return [
        "qemu-system-x86_64", "-nodefaults", "-no-user-config", "-display", "none",
        # The emulator's own translation (TCG), which needs nothing of the machine. Wine's
        # processes die in a guest kernel oops with SMAP on.
        "-accel", "tcg,thread=multi", "-cpu", "max,-smap",
        "-smp", str(CPUS), "-m", str(MEMORY_MIB), "-no-reboot",
        "-kernel", str(image / "vmlinuz"), "-initrd", str(image / "initrd.img"),
        "-append", KERNEL_COMMAND_LINE,
        "-drive", f"file={image / 'root.img'},format=raw,if=virtio,snapshot=on",
        "-virtfs", share.format(CONTROL, "control"),
        "-virtfs", share.format(CHECKOUT, "project"),
        "-serial", "stdio",
    ]


def alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    # A process that has ended but whose status nobody collected yet is gone too.
    try:
        return Path(f"/proc/{pid}/stat").read_text().split(") ")[-1][0] != "Z"
    except FileNotFoundError:
        return False


def running_pids() -> dict | None:
    if not PIDS.is_file():
        return None
    pids = json.loads(PIDS.read_text())
    return pids if alive(pids["qemu"]) else None


def watch(image: Path, owner: int) -> int:
    """The watcher: runs the PC until it turns itself off, its owner has ended or its
    time is up."""
    with open(LOG, "ab") as log:
        qemu = subprocess.Popen(qemu_command(image), stdin=subprocess.DEVNULL, stdout=log,
                                stderr=log)
    PIDS.write_text(json.dumps({"qemu": qemu.pid, "watcher": os.getpid()}))
    stopping = False

    def stop(_signal=None, _frame=None):
        nonlocal stopping
        stopping = True

    signal.signal(signal.SIGTERM, stop)
    give_up = time.monotonic() + LIFETIME_SECONDS
    while qemu.poll() is None:
        reason = ("stopped" if stopping else
                  "the test run that started it has ended" if not alive(owner) else
                  f"its time of {LIFETIME_SECONDS // 60} minutes is up"
                  if time.monotonic() > give_up else None)
        if reason:
            with open(LOG, "a") as log:
                log.write(f"\nguest: turned off: {reason}\n")
            qemu.terminate()
            try:
                qemu.wait(10)
            except subprocess.TimeoutExpired:
                qemu.kill()
                qemu.wait()
            break
        time.sleep(0.5)
    return 0


def start() -> None:
    if running_pids():
        stop()
    image = Path(subprocess.run([str(CHECKOUT / "scripts" / "guest-image")], check=True,
                                stdout=subprocess.PIPE, text=True).stdout.strip())
    shutil.rmtree(CONTROL, ignore_errors=True)
    CONTROL.mkdir(parents=True)
    (CONTROL / "project").write_text(str(CHECKOUT))
    LOG.parent.mkdir(parents=True, exist_ok=True)
    LOG.write_text("")
    started = time.monotonic()
    # The watcher lives in a session of its own, so that it outlives this command; it
    # watches the process that called this one (CTest), not this one.
    subprocess.Popen([sys.executable, __file__, "watch", str(image), str(os.getppid())],
                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, start_new_session=True)
    while not (CONTROL / "ready").is_file():
        if time.monotonic() - started > 5 and running_pids() is None:
            raise GuestError(f"the emulated PC has ended while booting:\n{log_tail()}")
        if time.monotonic() - started > BOOT_SECONDS:
            stop()
            raise GuestError(f"the emulated PC did not boot within {BOOT_SECONDS} s:\n"
                             f"{log_tail()}")
        time.sleep(0.2)
    say(f"booted in {time.monotonic() - started:.1f} s (image {image})")


def stop() -> None:
    pids = json.loads(PIDS.read_text()) if PIDS.is_file() else None
    if pids is None:
        return
    for name in ["watcher", "qemu"]:
        if alive(pids[name]):
            os.kill(pids[name], signal.SIGTERM)
        give_up = time.monotonic() + 20
        while alive(pids[name]) and time.monotonic() < give_up:
            time.sleep(0.1)
        if alive(pids[name]):
            os.kill(pids[name], signal.SIGKILL)
    PIDS.unlink()


# ---- commands -----------------------------------------------------------------------------

def run(command: list[str], time_limit: float) -> int:
    """Runs `command` in the PC and relays its output as it comes; its exit status."""
    if running_pids() is None:
        raise GuestError("the emulated PC is not running: run the test guest.boot first "
                         "(or tests/guest/guest.py start)")
    order = CONTROL / "jobs" / f"{time.time_ns()}-{os.getpid()}.job"
    pending = order.with_suffix(".pending")
    pending.write_text(json.dumps({"argv": command, "cwd": os.getcwd(),
                                   "time_limit": time_limit}))
    pending.rename(order)
    output, status = order.with_suffix(".out"), order.with_suffix(".status")
    shown = 0
    give_up = time.monotonic() + time_limit + 60
    while True:
        ended = status.is_file()
        if output.is_file():
            with open(output, "rb") as out:
                out.seek(shown)
                chunk = out.read()
            shown += len(chunk)
            sys.stdout.buffer.write(chunk)
            sys.stdout.flush()
        if ended:
            code = int(status.read_text())
            if code == -signal.SIGKILL:
                raise GuestError(f"killed at its time limit of {time_limit:.0f} s")
            return code if code >= 0 else 128 - code
        if running_pids() is None:
            raise GuestError(f"the emulated PC has ended:\n{log_tail()}")
        if time.monotonic() > give_up:
            raise GuestError("the emulated PC does not answer")
        time.sleep(0.2)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("start")
    commands.add_parser("stop")
    run_parser = commands.add_parser("run")
    run_parser.add_argument("--time-limit", type=float, default=600)
    run_parser.add_argument("argv", nargs="+")
    watch_parser = commands.add_parser("watch")
    watch_parser.add_argument("image", type=Path)
    watch_parser.add_argument("owner", type=int)
    options = parser.parse_args()
    try:
        if options.command == "start":
            start()
        elif options.command == "stop":
            stop()
        elif options.command == "watch":
            return watch(options.image, options.owner)
        else:
            return run(options.argv, options.time_limit)
        return 0
    except (GuestError, subprocess.CalledProcessError) as error:
        print(f"guest: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
