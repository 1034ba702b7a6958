#!/usr/bin/python3
"""When every emblem may have changed, real Nautilus asks again about every
file whose emblem may now differ, and about no other.

The module hands "every file changed" (the daemon went away and came back)
over to Nautilus's GUI thread in slices, walking its map of the files
Nautilus asked about bucket by bucket. A walk that skips a bucket leaves
those files with the emblem of a daemon that is gone. Here Nautilus shows a
sync folder of 3,000 files; the daemon is replaced by one that gives every
file another status, and the new daemon must be asked about every one of the
3,000 files (Nautilus asked again, the plug-in held no status).

Two more folders lie in the first daemon's roots but not in the second's:
"left": each of its files that showed an emblem must be asked again (by the
module's probe, TARNWELL_FM_PROBE, written when Nautilus quits) and end
without one; "quiet", whose files showed none, shows none still and must not
be asked again: tens of thousands of such files re-asked held Nautilus for
seconds. A file of "left" whose answer had not been shown when the daemon
went is one more that showed none.

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
SIDE_FILES = 300  # in each of "left" and "quiet"
NO_EMBLEM = 9  # a status the plug-in shows no emblem for


class Daemon:
    """tarnwell-daemon-sim, with the paths it was asked about."""

    def __init__(self, program, roots, status, extra=()):
        self.asked = set()
        self.listening = threading.Event()
        self.process = subprocess.Popen(
            [program, "--default-status", str(status)] +
            [arg for root in roots for arg in ("--root", root)] + list(extra),
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


def make_files(folder, count):
    os.makedirs(folder)
    paths = set()
    for i in range(count):
        paths.add(os.path.join(folder, f"file{i:05}.txt"))
        with open(os.path.join(folder, f"file{i:05}.txt"), "w"):
            pass
    return paths


def last_answers(probe, since_ns):
    """path -> (emblem in the last answer before since_ns, answered after since_ns,
    emblem in the last answer), from the probe."""
    answers = {}
    with open(probe) as f:
        for line in f:
            fields = line.rstrip("\n").split(" ", 5)
            if fields[0] == "u":
                start, emblem, path = int(fields[1]), fields[4] == "1", fields[5]
                before, after, _ = answers.get(path, (False, False, False))
                if start < since_ns:
                    before = emblem
                answers[path] = (before, after or start >= since_ns, emblem)
    return answers


def wait_until_quiet(count_file, quiet_s=2.0):
    """Waits until Nautilus's count of update_file_info calls (the probe
    rewrites it every 100 ms while it changes) stays the same for quiet_s."""
    end = time.monotonic() + DEADLINE
    last, since = None, time.monotonic()
    while time.monotonic() - since < quiet_s:
        if time.monotonic() > end:
            raise Failure("timed out waiting for Nautilus to stop asking")
        with open(count_file) as f:
            count = f.read().strip()
        if count != last:
            last, since = count, time.monotonic()
        time.sleep(0.1)


def check_sides(probe, switched_ns, paths, left, quiet):
    answers = last_answers(probe, switched_ns)
    unasked = [p for p in paths if not answers.get(p, (False, False))[1]]
    if unasked:
        raise Failure(f"Nautilus was not asked again about {len(unasked)} of {len(paths)} "
                      f"files, e.g. {sorted(unasked)[0]}")
    shown = [p for p in left if answers.get(p, (False,))[0]]
    if not shown:
        raise Failure(f"none of the {len(left)} files of the folder that lost its root "
                      "showed an emblem before the daemon went")
    stale = [p for p in shown if answers[p][1:] != (True, False)]
    if stale:
        raise Failure(f"{len(stale)} of {len(shown)} files that lost their root kept their "
                      f"emblem or were not asked again, e.g. {sorted(stale)[0]}")
    unshown = set(left) - set(shown)
    asked = [p for p in quiet | unshown if answers.get(p, (False, True))[1]]
    if asked:
        raise Failure(f"{len(asked)} files outside every root that showed no emblem were "
                      f"asked again, e.g. {sorted(asked)[0]}")
    return len(shown)


def run(args, work):
    folder = os.path.join(work, "Sync", "many")
    os.makedirs(os.path.join(work, "home"))
    paths = make_files(folder, FILES)
    left = make_files(os.path.join(work, "Left"), SIDE_FILES)
    quiet = make_files(os.path.join(work, "Quiet"), SIDE_FILES)
    probe = os.path.join(work, "probe.txt")
    xvfb, display = start_xvfb()
    daemon, nautilus = None, None
    try:
        daemon = Daemon(args.daemon_sim, [os.path.join(work, d) for d in ("Sync", "Left", "Quiet")],
                        1, [a for p in sorted(quiet) for a in ("--status", f"{p}={NO_EMBLEM}")])
        env = dict(os.environ, DISPLAY=display, HOME=os.path.join(work, "home"),
                   XDG_RUNTIME_DIR=work, GSK_RENDERER="cairo",
                   XDG_DATA_DIRS=args.share + ":/usr/share", TARNWELL_FM_PROBE=probe)
        nautilus = subprocess.Popen(["nautilus", "--new-window", folder], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Once the first Nautilus serves its folder, the next windows are its
        # own (asked for earlier, a second Nautilus would start).
        daemon.wait_asked("Nautilus to ask about every file", paths)
        for side in ("Left", "Quiet"):
            subprocess.run(["nautilus", "--new-window", os.path.join(work, side)], env=env,
                           check=True, timeout=DEADLINE,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        daemon.wait_asked("Nautilus to ask about the files of its other windows", left | quiet)
        # The daemon goes away and another takes its port: every emblem may
        # have changed, and the plug-in holds no status any more.
        daemon.stop()
        switched_ns = time.monotonic_ns()
        daemon = Daemon(args.daemon_sim, [os.path.join(work, "Sync")], 0)
        daemon.wait_asked("the new daemon to be asked about every file", paths)
        # The module asks the daemon ahead of Nautilus about a folder's files,
        # so the daemon's questions do not show that Nautilus asked again:
        # the probe does, once Nautilus has stopped asking.
        wait_until_quiet(probe + ".count")
        subprocess.run(["nautilus", "--quit"], env=env, timeout=DEADLINE,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        nautilus.wait(timeout=DEADLINE)
        shown = check_sides(probe, switched_ns, paths, left, quiet)
        print(f"nautilus_every_file_test: passed: all {FILES} files asked again, "
              f"the {shown} that lost their root and an emblem too, none of those "
              "that showed nothing")
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
