#!/usr/bin/python3
"""The test image's system, in which the Wine tests run the 32-bit zdrv.exe where this
machine's Wine cannot: entered as a container where the kernel runs 32-bit code, booted in
an emulated PC where it does not.

  guest.py start [--container]
                     start it (building its image first when there is none) and wait
                     until its agent answers: as a container, or else as an emulated PC
  guest.py run [--time-limit S] -- COMMAND...
                     run COMMAND in it, in the current folder, show its output and end
                     with its status
  guest.py stop      end it

Both run the image of scripts/guest-image so that every start begins from the same clean
system, with the checkout at its own path, and hand their commands to the same agent
(tests/guest/agent.py) through a control folder.
- The container (tests/guest/container): the image mounted read-only under a throw-away
  layer in memory, in namespaces of its own (mount, PID, IPC, UTS, network), entered with
  bubblewrap. It runs at this machine's own speed.
- The emulated PC: QEMU's x86-64 system emulator, booted from the image with its disk as
  a snapshot, for a kernel that cannot run 32-bit code itself.
A watcher process ends either when the process that started it (CTest) has ended or the
time limit has passed, so nothing of it outlives the tests. The console, the container's
messages and the watcher's go to build/logs/guest.log.
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
# Where the container mounts its layers, inside its own mount namespace: from outside an
# empty folder.
MOUNTS = STATE / "container"
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


# ---- the system ---------------------------------------------------------------------------

def container_command(image: Path) -> list[str]:
    # A mount namespace of its own holds the image's mounts, which go with its last process.
    return ["unshare", "--mount", "--propagation", "private", "--",
            str(CHECKOUT / "tests" / "guest" / "container"), str(image / "root.img"),
            str(MOUNTS), str(CHECKOUT), str(CONTROL)]


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
    return pids if "system" in pids and alive(pids["system"]) else None


def system_name() -> str:
    pids = json.loads(PIDS.read_text()) if PIDS.is_file() else {}
    return pids.get("name", "the test system")


def watch(image: Path, owner: int, container: bool) -> int:
    """The watcher: runs the system until it ends by itself, its owner has ended or its
    time is up."""
    command = container_command(image) if container else qemu_command(image)
    with open(LOG, "ab") as log:
        system = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    name = "the container" if container else "the emulated PC"
    PIDS.write_text(json.dumps({"system": system.pid, "watcher": os.getpid(), "name": name}))
    stopping = False

    def stop(_signal=None, _frame=None):
        nonlocal stopping
        stopping = True

    signal.signal(signal.SIGTERM, stop)
    give_up = time.monotonic() + LIFETIME_SECONDS
    while system.poll() is None:
        reason = ("stopped" if stopping else
                  "the test run that started it has ended" if not alive(owner) else
                  f"its time of {LIFETIME_SECONDS // 60} minutes is up"
                  if time.monotonic() > give_up else None)
        if reason:
            with open(LOG, "a") as log:
                log.write(f"\nguest: ended: {reason}\n")
            system.terminate()
            try:
                system.wait(10)
            except subprocess.TimeoutExpired:
                system.kill()
                system.wait()
            break
        time.sleep(0.5)
    return 0


def start(container: bool) -> None:
    if running_pids():
        stop()
    image = Path(subprocess.run([str(CHECKOUT / "scripts" / "guest-image")], check=True,
                                stdout=subprocess.PIPE, text=True).stdout.strip())
    shutil.rmtree(CONTROL, ignore_errors=True)
    CONTROL.mkdir(parents=True)
    (CONTROL / "project").write_text(str(CHECKOUT))
    MOUNTS.mkdir(exist_ok=True)
    LOG.parent.mkdir(parents=True, exist_ok=True)
    LOG.write_text("")
    started = time.monotonic()
    # The watcher lives in a session of its own, so that it outlives this command; it
    # watches the process that called this one (CTest), not this one.
    way = ["--container"] if container else []
    subprocess.Popen([sys.executable, __file__, "watch", str(image), str(os.getppid()), *way],
                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, start_new_session=True)
    while not (CONTROL / "ready").is_file():
        if time.monotonic() - started > 5 and running_pids() is None:
            raise GuestError(f"{system_name()} has ended while starting:\n{log_tail()}")
        if time.monotonic() - started > BOOT_SECONDS:
            stop()
            raise GuestError(f"{system_name()} did not start within {BOOT_SECONDS} s:\n"
                             f"{log_tail()}")
        time.sleep(0.2)
    say(f"{system_name()} started in {time.monotonic() - started:.1f} s (image {image})")


def stop() -> None:
    pids = json.loads(PIDS.read_text()) if PIDS.is_file() else None
    if pids is None:
        return
    for name in ["watcher", "system"]:
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
    """Runs `command` in the test system and relays its output as it comes; its exit
    status."""
    if running_pids() is None:
        raise GuestError("the test system is not running: run the test guest.boot first "
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
            raise GuestError(f"{system_name()} has ended:\n{log_tail()}")
        if time.monotonic() > give_up:
            raise GuestError(f"{system_name()} does not answer")
        time.sleep(0.2)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    start_parser = commands.add_parser("start")
    start_parser.add_argument("--container", action="store_true")
    commands.add_parser("stop")
    run_parser = commands.add_parser("run")
    run_parser.add_argument("--time-limit", type=float, default=600)
    run_parser.add_argument("argv", nargs="+")
    watch_parser = commands.add_parser("watch")
    watch_parser.add_argument("image", type=Path)
    watch_parser.add_argument("owner", type=int)
    watch_parser.add_argument("--container", action="store_true")
    options = parser.parse_args()
    try:
        if options.command == "start":
            start(options.container)
        elif options.command == "stop":
            stop()
        elif options.command == "watch":
            return watch(options.image, options.owner, options.container)
        else:
            return run(options.argv, options.time_limit)
        return 0
    except (GuestError, subprocess.CalledProcessError) as error:
        print(f"guest: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
