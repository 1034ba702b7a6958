#!/usr/bin/python3
"""What the module costs inside a real file manager, GNOME Files (Nautilus 43)
or Dolphin, in one run.

Runs inside a private D-Bus session and a private network namespace (for
Nautilus also a private mount namespace: tests/filemanagers/in-private-
namespaces.sh puts our module in its extension folder; Dolphin finds our
plug-ins through QT_PLUGIN_PATH). On its own Xvfb display, with a fresh
HOME, it starts tarnwell-daemon-sim with one sync folder, then one file
manager with the module's probe on (TARNWELL_FM_PROBE), and drives it
through four phases:

  open    folders of 10,000 files opened in turn outside any sync folder
          (the floor) and inside one, until the file manager has asked about
          every file and, inside, every file got its emblem;
  push    statuses pushed by the daemon one at a time, until the file manager
          asks about that file again (Dolphin: until the plug-in asks itself
          and hands Dolphin the new emblem, which Dolphin takes as it is);
  burst   40,000 notifications pushed as fast as the daemon sends them
          (with --lose, while the file manager is stopped, so that most are
          lost);
  stall   the daemon stopped (SIGSTOP) while a new folder opens inside the
          sync folder and notifications keep coming.

The file manager is then asked to quit, the probe writes what it kept, and
the figures are computed from it: the times of this script and of the probe
are both CLOCK_MONOTONIC. A hand-over's "own part" leaves out its calls into
the file manager (Nautilus: the lookup and invalidation, inside which it
asks again, calling our update_file_info, counted among those calls;
Dolphin: the overlaysChanged signal, whose slots are Dolphin's). The
per-call figures are Nautilus's update_file_info or Dolphin's getOverlays
(in the results, both under "update_file_info"). Prints one table and, with --json, writes the figures.
Exit status 0 ran (whatever the figures), 1 failed, 77 skipped (not root).
"""

import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

# Xvfb's start, the file managers' command lines and the failure type, shared
# with the tests in the real file managers.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts", "lib"))
from file_manager_session import (Failure, file_manager_command, place_module,  # noqa: E402
                                  start_xvfb)

DEADLINE = 120.0  # seconds, for anything awaited; the machine may be busy


class LineLog:
    """A process's output lines with the monotonic time each was read."""

    def __init__(self, stream):
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            with self.cond:
                self.lines.append((time.monotonic_ns(), line.rstrip("\n")))
                self.cond.notify_all()

    def wait(self, what, predicate, deadline=DEADLINE):
        """Waits until predicate(lines) is true; returns its value."""
        end = time.monotonic() + deadline
        with self.cond:
            while True:
                value = predicate(self.lines)
                if value:
                    return value
                left = end - time.monotonic()
                if left <= 0:
                    raise Failure("timed out waiting for " + what)
                self.cond.wait(min(left, 0.5))

    def settle(self, prefix, quiet_s):
        """Waits until no line starting with `prefix` came for quiet_s seconds."""
        def quiet(lines):
            last = next((t for t, l in reversed(lines) if l.startswith(prefix)), 0)
            return time.monotonic_ns() - last >= quiet_s * 1e9
        self.wait("the daemon to fall quiet", quiet, deadline=DEADLINE * 3)
        return time.monotonic_ns()


def count_from(lines, since_ns, match):
    return sum(1 for t, l in lines if t >= since_ns and match(l))


def make_folder(path, files):
    os.makedirs(path)
    for i in range(files):
        with open(os.path.join(path, f"file{i:05}.txt"), "w"):
            pass
    return path


class Nautilus:
    """GNOME Files: each folder opened in a new window of the one Nautilus."""

    name, title, call = "nautilus", "Nautilus", "update_file_info"
    asks_every_file = True

    def env(self, args):
        return {"GSK_RENDERER": "cairo"}  # the GL renderer sometimes hangs under Xvfb

    def open_command(self, run, folder):
        return file_manager_command(self.name, folder)

    def quit(self, run):
        subprocess.run(["nautilus", "--quit"], env=run.env, timeout=DEADLINE,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Dolphin:
    """Dolphin: each folder opened in a new tab of the one Dolphin, through
    the D-Bus service KDBusService registers for it. (A second `dolphin
    FOLDER` does not reach the first here: it starts a process of its own.)"""

    name, title, call = "dolphin", "Dolphin", "getOverlays"
    # Dolphin resolves every file's roles (our emblem among them) only in a
    # folder of at most 500 files; in a bigger one, those near what it shows.
    asks_every_file = False

    def env(self, args):
        return dict(place_module(self.name, args.module_dir, None), QT_QPA_PLATFORM="xcb")

    def dbus_call(self, run, path, method, *words):
        return ["gdbus", "call", "--session", "--dest", f"org.kde.dolphin-{run.fm.pid}",
                "--object-path", path, "--method", method] + list(words)

    def open_command(self, run, folder):
        # Returns once the tab exists; Dolphin takes URLs, not paths.
        return self.dbus_call(run, "/dolphin/Dolphin_1",
                              "org.kde.dolphin.MainWindow.openDirectories",
                              repr(["file://" + folder]), "false")

    def quit(self, run):
        # The event loop ends and aboutToQuit has the probe write its file (a
        # signal would end Dolphin before it does).
        subprocess.run(self.dbus_call(run, "/MainApplication",
                                      "org.qtproject.Qt.QCoreApplication.quit"),
                       env=run.env, timeout=DEADLINE,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


FILE_MANAGERS = {kind.name: kind for kind in (Nautilus, Dolphin)}


class Run:
    """The processes of one run and the times this script marked."""

    def __init__(self, args, work):
        self.args, self.work = args, work
        self.kind = FILE_MANAGERS[args.file_manager]()
        self.sync = os.path.join(work, "Sync")
        self.plain = os.path.join(work, "Plain")
        self.probe = os.path.join(work, "probe.txt")
        self.processes = []
        self.fm = None
        self.marks = {}

    def start(self):
        os.makedirs(os.path.join(self.work, "home"))
        warm = make_folder(os.path.join(self.sync, "warm"), 1)
        os.makedirs(self.plain)
        xvfb, display = start_xvfb()
        self.processes.append(xvfb)
        self.daemon = subprocess.Popen([self.args.daemon_sim, "--root", self.sync],
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                       bufsize=1)
        self.processes.append(self.daemon)
        self.log = LineLog(self.daemon.stdout)
        self.log.wait("the daemon to listen",
                      lambda ls: any(l.startswith("listening ") for _, l in ls))
        self.env = dict(os.environ, DISPLAY=display, HOME=os.path.join(self.work, "home"),
                        XDG_RUNTIME_DIR=self.work, XDG_DATA_DIRS=self.args.share + ":/usr/share",
                        TARNWELL_FM_PROBE=self.probe, **self.kind.env(self.args))
        fm_log = open(os.path.join(self.work, self.kind.name + ".log"), "w")
        self.fm = subprocess.Popen(file_manager_command(self.kind.name, warm), env=self.env,
                                   stdout=fm_log, stderr=subprocess.STDOUT)
        self.processes.append(self.fm)
        self.wait_queries(os.path.join(warm, ""), 1, 0)

    def wait_queries(self, prefix, count, since_ns):
        """Waits until the daemon was asked about `count` paths under prefix.
        Counts only the lines read since the last look: a count over every
        line at each line read took seconds of CPU for a folder of 10,000,
        taken from Nautilus and the daemon on a 2-CPU machine."""
        text = "request query_stat path=" + prefix
        seen = {"lines": 0, "found": 0}

        def enough(lines):
            for i in range(seen["lines"], len(lines)):
                t, line = lines[i]
                if t >= since_ns and line.startswith(text):
                    seen["found"] += 1
            seen["lines"] = len(lines)
            return seen["found"] >= count
        self.log.wait(f"{count} queries under {prefix}", enough)

    def update_calls(self):
        """How many times Nautilus called our update_file_info so far (the
        probe's count file, rewritten every 100 ms at most)."""
        try:
            with open(self.probe + ".count") as f:
                return int(f.read().strip() or 0)
        except FileNotFoundError:
            return 0

    def wait_update_calls(self, count, quiet_s=1.0):
        """Waits until Nautilus made `count` update_file_info calls in all, and
        then made none for quiet_s seconds."""
        end = time.monotonic() + DEADLINE
        last, since = self.update_calls(), time.monotonic()
        while last < count or time.monotonic() - since < quiet_s:
            if time.monotonic() > end:
                raise Failure(f"timed out waiting for {count} update_file_info calls ({last})")
            time.sleep(0.05)
            now = self.update_calls()
            if now != last:
                last, since = now, time.monotonic()

    def open_folder(self, path):
        started = time.monotonic_ns()
        subprocess.run(self.kind.open_command(self, path), env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=DEADLINE)
        return started

    def send(self, text):
        self.daemon.stdin.write(text)
        self.daemon.stdin.flush()

    def stop(self):
        if self.fm is not None and self.fm.poll() is None:
            self.kind.quit(self)
            try:
                self.fm.wait(timeout=60)
            except subprocess.TimeoutExpired:
                pass
        for process in reversed(self.processes):
            if process.poll() is None:
                if process is self.daemon:
                    process.send_signal(signal.SIGCONT)
                process.terminate()
        for process in reversed(self.processes):
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                process.kill()


def phase_open(run, rounds, files):
    """Opens fresh folders outside and inside the sync folder in turn."""
    opened = []
    for r in range(rounds):
        order = ("plain", "sync") if r % 2 == 0 else ("sync", "plain")
        for kind in order:
            base = run.plain if kind == "plain" else run.sync
            folder = make_folder(os.path.join(base, f"open{r}"), files)
            calls_before = run.update_calls()
            started = run.open_folder(folder)
            if kind == "sync":
                wanted = files if run.kind.asks_every_file else 1
                run.wait_queries(os.path.join(folder, ""), wanted, started)
                run.log.settle("request query_stat", 2)
            else:
                # Nothing outside a sync folder reaches the daemon: the probe
                # counts the file manager's calls instead, when it asks about
                # every file. Whether every file of this folder was among them
                # is checked from the probe afterwards.
                if run.kind.asks_every_file and os.path.exists(run.probe + ".count"):
                    run.wait_update_calls(calls_before + files)
                else:  # Dolphin asks about what it shows; an older module has no count
                    time.sleep(run.args.plain_settle)
            opened.append((kind, folder, started))
    return opened


def phase_push(run, folder, pushes):
    """Pushes one status at a time, each once the one before was asked again,
    to files the file manager asked about (a file it never asked about, it is
    never told about)."""
    query = "request query_stat path=" + os.path.join(folder, "file")
    files = sorted({l.split("path=", 1)[1] for _, l in run.log.lines if l.startswith(query)})
    pushed = []
    for i in range(pushes):
        path = files[(i * 37) % len(files)]
        started = time.monotonic_ns()
        run.send(f"set {path} 2\n")
        run.wait_queries(path, 1, started)
        asked = next(t for t, l in run.log.lines
                     if t >= started and l == "request query_stat path=" + path)
        pushed.append((path, started, asked))
        time.sleep(0.1)  # the next push comes into a quiet file manager
    return pushed


def phase_burst(run, folder, notifications, files, lose=False):
    """Sets every file of the folder several times over, as fast as possible.
    With `lose`, the file manager is stopped (SIGSTOP) until the daemon has
    sent the burst, so that its copy's receive queue overflows and
    notifications are lost, as on a machine too busy to read them."""
    statuses = (1, 2, 3, 0)
    lines = "".join(f"set {folder}/file{i % files:05}.txt {statuses[(i // files) % 4]}\n"
                    for i in range(notifications))
    started = time.monotonic_ns()
    if lose:
        run.fm.send_signal(signal.SIGSTOP)
    run.send(lines)
    try:
        run.log.wait("the burst to be sent",
                     lambda ls: count_from(ls, started, lambda l: l.startswith("notify ")) >=
                     notifications)
    finally:
        if lose:
            run.fm.send_signal(signal.SIGCONT)
    if lose:
        # The daemon heard nothing while the file manager was stopped: the
        # window lasts until the copy, told of the loss, has asked again.
        resumed = time.monotonic_ns()
        run.log.wait("a query after the loss", lambda ls: count_from(
            ls, resumed, lambda l: l.startswith("request query_stat")) > 0)
    ended = run.log.settle("request query_stat", 2)
    return started, ended


def add_files(folder, count, seconds):
    """Adds files to a folder the file manager shows, evenly over `seconds`."""
    started = time.monotonic()
    for i in range(count):
        with open(os.path.join(folder, f"new{i:05}.txt"), "w"):
            pass
        time.sleep(max(0.0, started + seconds * (i + 1) / count - time.monotonic()))


def phase_new_files(run, folder, count, seconds):
    """The floor of the stall: the same new files in a folder outside the sync folder."""
    started = time.monotonic_ns()
    add_files(folder, count, seconds)
    time.sleep(run.args.plain_settle / 2)
    return started, time.monotonic_ns()


def phase_stall(run, new_files_folder, folder, notifications, files, seconds):
    """Stops the daemon; files appear in a sync folder shown; notifications keep coming."""
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    started = time.monotonic_ns()
    run.daemon.send_signal(signal.SIGSTOP)
    adder = threading.Thread(target=add_files,
                             args=(new_files_folder, run.args.new_files, seconds / 2))
    adder.start()
    for i in range(notifications):
        message = f"refresh_stat\npath\t{folder}/file{i % files:05}.txt\ndone\n"
        sender.sendto(message.encode(), ("127.0.0.1", 19081))
        if i % 100 == 99:
            time.sleep(0.01)  # a daemon's steady stream, not one burst
    adder.join()
    time.sleep(max(0.0, seconds - (time.monotonic_ns() - started) / 1e9))
    ended = time.monotonic_ns()
    run.daemon.send_signal(signal.SIGCONT)
    sender.close()
    run.log.settle("request query_stat", 2)
    return started, ended


def read_probe(path):
    calls, ticks = [], []
    with open(path) as f:
        for line in f:
            fields = line.rstrip("\n").split(" ", 5)
            if fields[0] == "t":
                ticks.append((int(fields[1]), int(fields[2])))
            else:
                # (kind, start, duration, detail, path, cpu[, fm duration, fm cpu])
                rest = fields[5] if len(fields) > 5 else ""
                call = (fields[0], int(fields[1]), int(fields[2]), int(fields[4]),
                        rest if fields[0] == "u" else "", int(fields[3]))
                if fields[0] == "h":
                    call += tuple(int(v) for v in rest.split())
                calls.append(call)
    calls.sort(key=lambda c: c[1])
    return calls, ticks


def quantile(values, q):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))]


def open_figure(calls, kind, folder, started, expected):
    """ms from opening until every file was asked about (and, inside, had its
    emblem); `expected` files, or, when None, those the file manager asked
    about. Returns the figure, the files done and the files asked about."""
    prefix = folder + "/file"  # not the files added later in the run
    done, asked = {}, set()
    for c in calls:
        if c[0] == "u" and c[1] >= started and c[4].startswith(prefix):
            asked.add(c[4])
            if c[4] not in done and (kind == "plain" or c[3] == 1):
                done[c[4]] = c[1] + c[2]
    if not done or len(done) < (len(asked) if expected is None else expected):
        return None, len(done), len(asked)
    return (max(done.values()) - started) / 1e6, len(done), len(asked)


def push_figures(calls, pushed):
    """Per push: ms until the file manager asked again, and the steps on the way there:
    until the daemon was asked for the new status, and until the next hand-over."""
    figures = []
    for path, started, queried in pushed:
        asked = next((c[1] for c in calls if c[0] == "u" and c[1] >= started and c[4] == path),
                     None)
        handed = next((c[1] for c in calls if c[0] == "h" and c[1] >= queried), None)
        if asked is not None:
            figures.append({"ms": (asked - started) / 1e6, "query_ms": (queried - started) / 1e6,
                            "hand_over_ms": None if handed is None else (handed - started) / 1e6})
    return figures


def window_figures(calls, ticks, started, ended):
    inside = [c for c in calls if started <= c[1] <= ended]
    # A hand-over's own time leaves out its calls into the file manager (in
    # Nautilus the lookup and the invalidation, and the update_file_info calls
    # it makes from inside them, which count as calls of their own; in Dolphin
    # the overlaysChanged signal). The file manager's part is measured by the
    # clock only: the own part has no CPU time.
    inside += [("o", c[1], c[2] - c[6], c[3], c[4], float("nan")) for c in inside
               if c[0] == "h"]
    late = [lateness / 1e6 for deadline, lateness in ticks if started <= deadline <= ended]
    figures = {"ticks": len(late), "tick_p99_ms": quantile(late, 0.99),
               "tick_worst_ms": max(late, default=float("nan"))}
    for kind, name in (("u", "update_file_info"), ("h", "hand_over"), ("o", "hand_over_own")):
        durations = [c[2] / 1e3 for c in inside if c[0] == kind]
        cpu = [c[5] / 1e3 for c in inside if c[0] == kind and c[5] == c[5]]
        figures[name] = {"calls": len(durations), "p50_us": quantile(durations, 0.5),
                         "p999_us": quantile(durations, 0.999),
                         "worst_us": max(durations, default=float("nan")),
                         "cpu_p999_us": quantile(cpu, 0.999),
                         "cpu_worst_us": max(cpu, default=float("nan"))}
    figures["hand_over"]["files"] = sum(c[3] for c in inside if c[0] == "h")
    per_file = [c[2] / c[3] / 1e3 for c in inside if c[0] == "o" and c[3] > 0]
    figures["hand_over_own"]["per_file_p50_us"] = quantile(per_file, 0.5)
    return figures


def drive(run, args):
    """All phases in one file manager; returns the marks the figures are cut by."""
    run.start()
    marks = {"open": phase_open(run, args.rounds, args.files)}
    last_sync = [folder for kind, folder, _ in marks["open"] if kind == "sync"][-1]
    marks["push"] = phase_push(run, last_sync, args.pushes)
    idle_start = time.monotonic_ns()
    time.sleep(args.idle)
    marks["idle"] = (idle_start, time.monotonic_ns())
    marks["burst"] = phase_burst(run, last_sync, args.burst, args.files, args.lose)
    last_plain = [folder for kind, folder, _ in marks["open"] if kind == "plain"][-1]
    marks["new_files"] = phase_new_files(run, last_plain, args.new_files, args.stall_seconds / 2)
    marks["stall"] = phase_stall(run, last_sync, last_sync, args.stall_notifications,
                                 args.files, args.stall_seconds)
    return marks


def figures_of(calls, ticks, marks, files, every):
    result = {"open": [], "push_ms": push_figures(calls, marks["push"]), "files": files}
    for kind, folder, started in marks["open"]:
        ms, done, asked = open_figure(calls, kind, folder, started, files if every else None)
        result["open"].append({"kind": kind, "ms": ms, "files_done": done, "files_asked": asked})
    for phase in ("idle", "burst", "new_files", "stall"):
        result[phase] = window_figures(calls, ticks, *marks[phase])
    everything = window_figures(calls, ticks, 0, 2**63)
    result["whole_run"] = everything
    return result


def median(values):
    values = sorted(v for v in values if v is not None)
    return values[len(values) // 2] if values else float("nan")


def unmeasured(result):
    """The figures the probe's records left empty: each phase must have seen
    the file manager's calls, a hand-over and the main loop's timer."""
    missing = [f"open {o['kind']}" for o in result["open"] if o["ms"] is None]
    if not result["push_ms"]:
        missing.append("push")
    whole = result["whole_run"]
    missing += [name for name in ("update_file_info", "hand_over") if whole[name]["calls"] == 0]
    missing += [f"{phase} ticks" for phase in ("idle", "burst", "new_files", "stall")
                if result[phase]["ticks"] == 0]
    return missing


def table(result, kind):
    rows, title = [], kind.title
    plain = median([o["ms"] for o in result["open"] if o["kind"] == "plain"])
    sync = median([o["ms"] for o in result["open"] if o["kind"] == "sync"])
    incomplete = [o for o in result["open"] if o["ms"] is None]
    asked = median([o["files_asked"] for o in result["open"]])
    shown = "" if asked == result["files"] else f" ({title} asks about {asked:,} of them)"
    rows.append((f"open {result['files']:,} files in a sync folder, until every emblem is set"
                 + shown,
                 f"median {sync:,.0f} ms", f"{plain:,.0f} ms (outside)", f"{sync / plain:.2f}x",
                 "<= 1.15x", "yes" if sync / plain <= 1.15 and not incomplete else "NO"))
    push = [p["ms"] for p in result["push_ms"]]
    rows.append((f"status pushed -> {title} asks again", f"median {median(push):.2f} ms, "
                 f"worst {max(push, default=float('nan')):.2f} ms", f"{len(push)} pushes", "-",
                 "median <= 5 ms", "yes" if push and median(push) <= 5 else "NO"))
    floors = {"burst": ("idle", "idle"), "stall": ("new_files", "same files outside")}
    for phase, label in (("burst", "burst of notifications"), ("stall", "daemon stalled"),
                         ("whole_run", "whole run")):
        w = result[phase]
        for name, text in (("update_file_info", kind.call),
                           ("hand_over", f"hand-over, whole ({title}'s work inside)"),
                           ("hand_over_own", "hand-over, our own part")):
            c = w[name]
            met = c["calls"] == 0 or c["p999_us"] <= 50
            cpu = ("" if c["cpu_p999_us"] != c["cpu_p999_us"] else
                   f"; CPU p99.9 {c['cpu_p999_us']:.1f} us, worst {c['cpu_worst_us']:,.0f} us")
            if "per_file_p50_us" in c:
                cpu += f"; per file p50 {c['per_file_p50_us']:.1f} us"
            rows.append((f"{label}: {text}", f"p50 {c['p50_us']:.1f} us, p99.9 "
                         f"{c['p999_us']:.1f} us, worst {c['worst_us']:,.0f} us" + cpu,
                         f"{c['calls']:,} calls", "-", "p99.9 <= 50 us", "yes" if met else "NO"))
        if phase in floors:
            key, text = floors[phase]
            floor = result[key]["tick_p99_ms"]
            rows.append((f"{label}: main-loop timer lateness",
                         f"p99 {w['tick_p99_ms']:.2f} ms, worst {w['tick_worst_ms']:.1f} ms",
                         f"{text} p99 {floor:.2f} ms", f"{w['tick_p99_ms'] / floor:.1f}x",
                         "p99 <= 16 ms", "yes" if w["tick_p99_ms"] <= 16 else "NO"))
    header = ("benchmark", "figure", "floor", "ratio", "goal", "met")
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    line = lambda r: "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))
    for o in incomplete:
        print(f"warning: {o['kind']} folder: only {o['files_done']} files done")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--file-manager", choices=sorted(FILE_MANAGERS), default="nautilus")
    parser.add_argument("--module-dir", help="Dolphin: the folder of kf5/overlayicon")
    parser.add_argument("--daemon-sim", required=True)
    parser.add_argument("--share", required=True, help="the build's share/ (its icon theme)")
    parser.add_argument("--json", help="file for the figures")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--files", type=int, default=10000)
    parser.add_argument("--pushes", type=int, default=40)
    parser.add_argument("--burst", type=int, default=40000)
    parser.add_argument("--idle", type=float, default=3.0)
    parser.add_argument("--lose", action="store_true",
                        help="stop the file manager while the burst is sent, so that "
                        "notifications are lost (the main loop's worst then holds the stop)")
    parser.add_argument("--plain-settle", type=float, default=10.0,
                        help="the stall's floor waits half this many seconds after adding "
                        "its files; with a module without the probe's count file, the open "
                        "floor waits this long")
    parser.add_argument("--stall-seconds", type=float, default=8.0)
    parser.add_argument("--stall-notifications", type=int, default=5000)
    parser.add_argument("--new-files", type=int, default=2000)
    parser.add_argument("--keep", help="copy the probe file and the file manager's log here")
    parser.add_argument("--check", action="store_true",
                        help="exit 1 when the probe left a figure unmeasured (for a test)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("file_manager_bench: skipped: needs root for its private namespaces")
        return 77
    with tempfile.TemporaryDirectory(prefix="tarnwell-fm-bench-") as work:
        run = Run(args, work)
        try:
            marks = drive(run, args)
        except Failure as failure:
            print("file_manager_bench: FAILED: " + str(failure), file=sys.stderr)
            return 1
        finally:
            run.stop()
            if args.keep:
                os.makedirs(args.keep, exist_ok=True)
                for name in ("probe.txt", run.kind.name + ".log"):
                    if os.path.exists(os.path.join(work, name)):
                        subprocess.run(["cp", os.path.join(work, name), args.keep])
        if not os.path.exists(run.probe):
            print("file_manager_bench: FAILED: the probe wrote nothing", file=sys.stderr)
            return 1
        calls, ticks = read_probe(run.probe)
        result = figures_of(calls, ticks, marks, args.files, run.kind.asks_every_file)
    table(result, run.kind)
    missing = unmeasured(result)
    if args.check and missing:
        print("file_manager_bench: FAILED: not measured: " + ", ".join(missing), file=sys.stderr)
        return 1
    if args.json:
        with open(args.json, "w") as f:
            json.dump(dict(result, marks=marks), f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
