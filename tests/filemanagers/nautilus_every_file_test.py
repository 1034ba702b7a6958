#!/usr/bin/python3
"""When every emblem may have changed, real Nautilus asks again about every file.

The module hands "every file changed" (the daemon went away and came back)
over to Nautilus's GUI thread in slices, walking its map of the files
Nautilus asked about bucket by bucket. A walk that skips a bucket leaves
those files with the emblem of a daemon that is gone. Here Nautilus shows a
sync folder of 3,000 files; the daemon is replaced by one that gives every
file another status, and the new daemon must be asked about every one of the
3,000 files (Nautilus asked again, the plug-in held no status).

Runs inside in-private-namespaces.sh and dbus-run-session, on
its own Xvfb. Exit status 0 passed, 1 failed, 77 skipped (not root).
"""

import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time

# Xvfb's start and the failure type, shared with the tests in the real file managers.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "lib"))
from file_manager_session import Failure, start_xvfb  # noqa: E402

DEADLINE = 120.0  # seconds; the machine may be busy
FILES = 3000


class Daemon:
    """tarnwell-daemon-sim, with the paths it was asked about."""

    def __init__(self, program, root, status):
        self.asked = set()
        self.listening = threading.Event()
        self.process = subprocess.Popen(
            [program, "--root", root, "--default-status", str(status)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        threading.Thread(target=self._read, daemon=True).start()
        if not self.listening.wait(DEADLINE):
            raise Failure("the daemon did not listen")

    def _read(self):
        for line in self.process.stdout:
            if line.startswith("listening "):
                self.listening.set()
            elif line.startswith("request query_stat path="):
                self.asked.add(line.rstrip("\n").split("=", 1)[1])

    def wait_asked(self, what, paths):
        end = time.monotonic() + DEADLINE
        while not paths <= self.asked:
            if time.monotonic() > end:
                raise Failure(f"timed out waiting for {what}: {len(paths - self.asked)} of "
                              f"{len(paths)} never asked")
            time.sleep(0.1)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait(timeout=20)


def run(args, work):
    folder = os.path.join(work, "Sync", "many")
    os.makedirs(folder)
    os.makedirs(os.path.join(work, "home"))
    paths = set()
    for i in range(FILES):
        paths.add(os.path.join(folder, f"file{i:05}.txt"))
        with open(os.path.join(folder, f"file{i:05}.txt"), "w"):
            pass
    xvfb, display = start_xvfb()
    daemon, nautilus = None, None
    try:
        daemon = Daemon(args.daemon_sim, os.path.join(work, "Sync"), 1)
        env = dict(os.environ, DISPLAY=display, HOME=os.path.join(work, "home"),
                   XDG_RUNTIME_DIR=work, GSK_RENDERER="cairo",
                   XDG_DATA_DIRS=args.share + ":/usr/share")
        nautilus = subprocess.Popen(["nautilus", "--new-window", folder], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        daemon.wait_asked("Nautilus to ask about every file", paths)
        # The daemon goes away and another takes its port: every emblem may
        # have changed, and the plug-in holds no status any more.
        daemon.stop()
        daemon = Daemon(args.daemon_sim, os.path.join(work, "Sync"), 0)
        daemon.wait_asked("Nautilus to ask again about every file", paths)
        print(f"nautilus_every_file_test: passed: all {FILES} files asked again")
    finally:
        for process in (nautilus, daemon and daemon.process, xvfb):
            if process is not None and process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    process.kill()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--daemon-sim", required=True)
    parser.add_argument("--share", required=True, help="the build's share/ (its icon theme)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("nautilus_every_file_test: skipped: needs root for its private namespaces")
        return 77
    with tempfile.TemporaryDirectory(prefix="tarnwell-nautilus-") as work:
        try:
            run(args, work)
        except Failure as failure:
            print("nautilus_every_file_test: FAILED: " + str(failure), file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
