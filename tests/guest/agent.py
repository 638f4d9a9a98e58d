"""The agent in the test image's system (the emulated PC or the container): runs the
commands the host hands it, one file each.

In the emulated PC it is the first process (tests/guest/init starts it), so it also
collects the exit status of every orphaned process. The control folder, shared with the host, holds:

  ready            written once the agent runs
  jobs/N.job       a command from the host: {"argv", "cwd", "time_limit"} in JSON
  jobs/N.out       what the command writes to standard output and error, as it runs
  jobs/N.status    its exit status once it has ended (-9 when its time limit killed it)

The agent runs each job once, in the order the names sort.

A command runs in a session of its own; at its time limit the whole session is killed.
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

ENVIRONMENT = {
    "PATH": "/usr/sbin:/usr/bin:/sbin:/bin",
    "HOME": "/root",
    "USER": "root",
    "XDG_RUNTIME_DIR": "/run/user/0",
}
KILLED = -signal.SIGKILL


class Job:
    def __init__(self, order: Path):
        self.order = order
        request = json.loads(order.read_text())
        self.deadline = time.monotonic() + float(request["time_limit"])
        with open(order.with_suffix(".out"), "wb") as out:
            self.process = subprocess.Popen(
                request["argv"], cwd=request["cwd"], env=ENVIRONMENT, stdin=subprocess.DEVNULL,
                stdout=out, stderr=subprocess.STDOUT, start_new_session=True)

    def finish(self, status: int) -> None:
        report(self.order, status)


def report(order: Path, status: int) -> None:
    """Writes the job's status at once, so the host never reads half of it."""
    done = order.with_suffix(".status.tmp")
    done.write_text(str(status))
    done.rename(order.with_suffix(".status"))


def exit_status(wait_status: int) -> int:
    if os.WIFSIGNALED(wait_status):
        return -os.WTERMSIG(wait_status)
    return os.WEXITSTATUS(wait_status)


def collect_ended(running: dict[int, Job]) -> None:
    """Takes the status of every ended process: a job's is its answer, an orphan's is
    only collected."""
    while True:
        try:
            pid, wait_status = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return
        job = running.pop(pid, None)
        if job is not None:
            job.finish(exit_status(wait_status))


def kill_overdue(running: dict[int, Job]) -> None:
    now = time.monotonic()
    for pid, job in list(running.items()):
        if now > job.deadline:
            try:
                os.killpg(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            # The status must say that the limit ended it, whatever the process answers.
            del running[pid]
            job.finish(KILLED)


def serve(control: Path) -> None:
    jobs = control / "jobs"
    jobs.mkdir(exist_ok=True)
    (control / "ready").write_text(f"{time.monotonic():.1f}\n")
    print(f"guest agent: ready after {time.monotonic():.1f} s", flush=True)
    running: dict[int, Job] = {}
    seen: set[str] = set()
    while True:
        collect_ended(running)
        kill_overdue(running)
        for order in sorted(jobs.glob("*.job")):
            if order.name in seen:
                continue
            seen.add(order.name)
            try:
                job = Job(order)
            except (OSError, ValueError, KeyError) as error:
                order.with_suffix(".out").write_text(f"guest agent: cannot run: {error}\n")
                report(order, 127)
                continue
            running[job.process.pid] = job
        time.sleep(0.1)


if __name__ == "__main__":
    serve(Path(sys.argv[1]))
