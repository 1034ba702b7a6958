#!/usr/bin/python3
"""The module in real GNOME Files (Nautilus 43), read as a person sees it.

Runs inside a private D-Bus session and private mount and network namespaces
(in-private-namespaces.sh puts our module in Nautilus's extension folder and
gives the run its own loopback, where the daemon's fixed ports are free). On
its own Xvfb display, with a fresh HOME, it starts tarnwell-daemon-sim with
one sync folder holding one file, then Nautilus on that folder, and checks:
the daemon is asked for the file's status; the file's grid cell, found
through AT-SPI by its name, shows an emblem image in the colour of "syncing";
after the daemon pushes a new status, the emblem turns to the colour of "up
to date". Every wait is for an event, with a generous deadline; nothing is
found by fixed coordinates. The screenshots are left in --out.

Exit status 0 passed, 1 failed, 77 skipped (not root: no namespaces).
"""

import argparse
import os
import queue
import subprocess
import sys
import tempfile
import threading
import time

DEADLINE = 60.0  # seconds; the machine may be busy
SYNCING = (0x3B, 0x82, 0xD6)   # emblem-tarnwell-syncing's disc
UP_TO_DATE = (0x2F, 0x9E, 0x59)  # emblem-tarnwell-uptodate's disc


class Failure(Exception):
    pass


def wait_for(what, predicate, deadline=DEADLINE, step=0.1):
    """Polls `predicate` until it returns something true; fails after `deadline`."""
    end = time.monotonic() + deadline
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise Failure("timed out waiting for " + what)
        time.sleep(step)


class LineReader:
    """Collects a process's output lines on a thread, for waiting on them."""

    def __init__(self, stream):
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            self.lines.put(line.rstrip("\n"))

    def wait_for_line(self, what, match, deadline=DEADLINE):
        end = time.monotonic() + deadline
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, end - time.monotonic()))
            except queue.Empty:
                raise Failure("timed out waiting for " + what) from None
            self.seen.append(line)
            if match(line):
                return line


def start_xvfb():
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
        pass_fds=[write_end], stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as numbers:
        number = numbers.readline().strip()  # written once the server accepts clients
    if not number:
        raise Failure("Xvfb did not start")
    return xvfb, ":" + number


def screenshot(display, path):
    subprocess.run(["import", "-display", display, "-window", "root", path], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def pixels(path, box):
    """The RGB pixels of the screenshot inside box (x, y, width, height)."""
    x, y, width, height = box
    ppm = subprocess.run(["convert", path, "-crop", f"{width}x{height}+{x}+{y}", "+repage",
                          "ppm:-"], check=True, capture_output=True).stdout
    # P6 header: magic, width, height, maxval, each followed by whitespace.
    fields, pos = [], 0
    while len(fields) < 4:
        while ppm[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not ppm[pos:pos + 1].isspace():
            pos += 1
        fields.append(ppm[start:pos])
    data = ppm[pos + 1:]
    return [tuple(data[i:i + 3]) for i in range(0, len(data) - 2, 3)]


def near(pixel, colour, tolerance=40):
    return all(abs(a - b) <= tolerance for a, b in zip(pixel, colour))


def count_colour(pixel_list, colour):
    return sum(1 for p in pixel_list if near(p, colour))


def find_cell(pyatspi, name):
    """Nautilus's grid cell named after the file, or None."""
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is None or app.name != "org.gnome.Nautilus":
            continue
        found = pyatspi.findDescendant(
            app, lambda a: a.getRoleName() == "table cell" and a.name == name)
        if found is not None:
            return found
    return None


def images_in(pyatspi, cell):
    return pyatspi.findAllDescendants(cell, lambda a: a.getRole() == pyatspi.ROLE_IMAGE)


def box_of(pyatspi, accessible):
    extents = accessible.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return extents.x, extents.y, extents.width, extents.height


def run(args, work):
    home = os.path.join(work, "home")
    sync = os.path.join(work, "Sync")
    os.makedirs(home)
    os.makedirs(sync)
    file_name = "report.txt"
    file_path = os.path.join(sync, file_name)
    with open(file_path, "w") as f:
        f.write("quarterly figures\n")
    processes = []
    try:
        xvfb, display = start_xvfb()
        processes.append(xvfb)
        daemon = subprocess.Popen(
            [args.daemon_sim, "--root", sync, "--status", file_path + "=1"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        processes.append(daemon)
        daemon_out = LineReader(daemon.stdout)
        daemon_out.wait_for_line("the daemon to listen", lambda l: l.startswith("listening "))

        env = dict(os.environ, DISPLAY=display, HOME=home, XDG_RUNTIME_DIR=work,
                   GSK_RENDERER="cairo", GTK_A11Y="atspi", NO_AT_BRIDGE="0",
                   XDG_DATA_DIRS=args.share + ":/usr/share")
        fm_log = open(os.path.join(args.out, "nautilus.log"), "w")
        nautilus = subprocess.Popen(["nautilus", "--new-window", sync], env=env,
                                    stdout=fm_log, stderr=subprocess.STDOUT)
        processes.append(nautilus)

        # What the daemon received: the module's copy of the core asked.
        daemon_out.wait_for_line("Nautilus's module to ask for the file's status",
                                 lambda l: l == "request query_stat path=" + file_path)

        os.environ["DISPLAY"] = display
        import pyatspi  # needs the run's session bus, so only now

        # The emblem as drawn: an image beside the file's own picture.
        cell = wait_for("the file's cell with an emblem",
                        lambda: (lambda c: c if c is not None and len(images_in(pyatspi, c)) >= 2
                                 else None)(find_cell(pyatspi, file_name)))
        emblem = [i for i in images_in(pyatspi, cell) if i.name != "GtkPicture"]
        if not emblem:
            raise Failure("the file's cell holds no emblem image")
        cell_box = box_of(pyatspi, cell)
        shot = os.path.join(args.out, "nautilus-syncing.png")

        def shows(colour, other):
            screenshot(display, shot)
            seen = pixels(shot, cell_box)
            return count_colour(seen, colour) >= 10 and count_colour(seen, other) == 0

        wait_for("the syncing emblem's colour in the file's cell",
                 lambda: shows(SYNCING, UP_TO_DATE))

        # The daemon pushes a new status: the module is told, invalidates the
        # file's extension info, and Nautilus draws the new emblem.
        daemon.stdin.write(f"set {file_path} 0\n")
        daemon.stdin.flush()
        daemon_out.wait_for_line("the status to be asked again",
                                 lambda l: l == "request query_stat path=" + file_path)
        shot = os.path.join(args.out, "nautilus-up-to-date.png")
        wait_for("the up-to-date emblem's colour in the file's cell",
                 lambda: shows(UP_TO_DATE, SYNCING))
        print("nautilus_smoke_test: passed; screenshots in " + args.out)
    finally:
        for process in reversed(processes):
            if process.poll() is None:
                process.terminate()
        for process in reversed(processes):
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                process.kill()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--daemon-sim", required=True)
    parser.add_argument("--share", required=True, help="the build's share/ (its icon theme)")
    parser.add_argument("--out", required=True, help="folder for screenshots and logs")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("nautilus_smoke_test: skipped: needs root for its private namespaces")
        return 77
    os.makedirs(args.out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="tarnwell-nautilus-") as work:
        try:
            run(args, work)
        except Failure as failure:
            print("nautilus_smoke_test: FAILED: " + str(failure), file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
