"""Driving a real file manager with our module, as a person would, for tests and scripts.

A Session runs, as root, in private mount and network namespaces of its own
(enter_private_namespaces re-runs the calling program inside them): its own
Xvfb display, its own D-Bus session, a fresh HOME, tarnwell-daemon-sim on the
run's own loopback (where the daemon's fixed ports are free), and one file
manager (nautilus, caja, nemo or dolphin) that loads only our module, from a
private extension folder. It reads the screen through AT-SPI (python3-pyatspi) and
screenshots: a file's cell found by its name and its box, an emblem's colour
sampled inside that box, the "Tarnwell" sub-menu opened and picked through
AT-SPI. Nothing is found by fixed coordinates and every wait is for an event
with a generous deadline.

Usage:
    enter_private_namespaces()          # first thing in main()
    with Session(work_dir, out_dir, daemon_sim, share_dir) as s:
        s.start_daemon([sync], {path: 1})
        s.start_file_manager("caja", module_dir, sync)
        cell = s.wait_for_cell("report.txt")
        ...
"""

import os
import queue
import shutil
import subprocess
import sys
import threading
import time

DEADLINE = 60.0  # seconds; the machine may be busy
NAMESPACE_MARK = "TARNWELL_FM_SESSION_NAMESPACES"

# The discs of the emblems under icons/scalable/emblems, by status.
EMBLEM_COLOURS = {
    0: (0x2F, 0x9E, 0x59),  # up to date
    1: (0x3B, 0x82, 0xD6),  # syncing
    2: (0xD0, 0x66, 0x1F),  # locked
    3: (0x74, 0x84, 0x9A),  # read-only
}
FILE_MANAGERS = ("nautilus", "caja", "nemo", "dolphin")
# Thunar draws no extension's emblems: only its menu can be seen.
MENU_ONLY_FILE_MANAGERS = ("thunar",)


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


def enter_private_namespaces():
    """Re-runs this program (as root) in its own mount and network namespaces."""
    if os.environ.get(NAMESPACE_MARK) == "1":
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        return
    os.environ[NAMESPACE_MARK] = "1"
    os.execvp("unshare", ["unshare", "-m", "-n", "--propagation", "private",
                          sys.executable] + sys.argv)


class LineReader:
    """Collects a process's output lines on a thread, for waiting on them."""

    def __init__(self, stream, log=None):
        self.lines = queue.Queue()
        self.seen = []
        self.log = log
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            if self.log is not None:
                self.log.write(line)
                self.log.flush()
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

    def drain(self):
        """The lines that came since the last wait, without waiting."""
        taken = []
        while True:
            try:
                taken.append(self.lines.get_nowait())
            except queue.Empty:
                self.seen.extend(taken)
                return taken


# --- Screen: display, screenshots, colours ---

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


def start_dbus_session():
    """A private session bus; returns the process and its address."""
    read_end, write_end = os.pipe()
    bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork",
                            "--print-address=" + str(write_end)],
                           pass_fds=[write_end], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as lines:
        address = lines.readline().strip()
    if not address:
        raise Failure("dbus-daemon did not start")
    return bus, address


def screenshot(display, path):
    subprocess.run(["import", "-display", display, "-window", "root", path], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def pixels(path, box):
    """The RGB pixels of the screenshot inside box (x, y, width, height)."""
    x, y, width, height = box
    ppm = subprocess.run(["convert", path, "-crop", f"{width}x{height}+{x}+{y}", "+repage",
                          "-depth", "8", "ppm:-"], check=True, capture_output=True).stdout
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


def near(pixel, colour, tolerance=24):
    return all(abs(a - b) <= tolerance for a, b in zip(pixel, colour))


def count_colour(pixel_list, colour):
    return sum(1 for p in pixel_list if near(p, colour))


def emblem_colours_in(pixel_list, least=10):
    """The statuses whose emblem colour shows at least `least` times."""
    return {status for status, colour in EMBLEM_COLOURS.items()
            if count_colour(pixel_list, colour) >= least}


# --- AT-SPI: applications, cells, boxes, actions ---

def atspi():
    import pyatspi  # needs the run's session bus, so imported late
    return pyatspi


def application(name):
    """The accessible application whose name is `name` (or starts with it)."""
    desktop = atspi().Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name is not None and app.name.lower().endswith(name):
            return app
    return None


def box_of(accessible):
    """The accessible's box (x, y, width, height) on the screen."""
    extents = accessible.queryComponent().getExtents(atspi().DESKTOP_COORDS)
    return extents.x, extents.y, extents.width, extents.height


def is_showing(accessible):
    return accessible.getState().contains(atspi().STATE_SHOWING)


def find(root, predicate):
    try:
        return atspi().findDescendant(root, predicate)
    except Exception:  # an accessible went away while it was walked
        return None


def find_all(root, predicate):
    try:
        return atspi().findAllDescendants(root, predicate)
    except Exception:
        return []


def do_action(accessible, names=("click", "activate", "press", "Press", "ShowMenu")):
    """Runs the accessible's first action among `names`."""
    actions = accessible.queryAction()
    for i in range(actions.nActions):
        if actions.getName(i) in names:
            actions.doAction(i)
            return
    raise Failure(f"{accessible.name!r} has no action among {names}")


# --- The daemon simulator ---

class Daemon:
    """tarnwell-daemon-sim on the run's loopback; its output is what it received."""

    def __init__(self, program, roots, statuses, log_path):
        self.program, self.roots, self.statuses = program, roots, statuses
        self.log = open(log_path, "a")
        self.process = None
        self.output = None

    def start(self):
        command = [self.program]
        for root in self.roots:
            command += ["--root", root]
        for path, status in self.statuses.items():
            command += ["--status", f"{path}={status}"]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, bufsize=1)
        self.output = LineReader(self.process.stdout, self.log)
        self.output.wait_for_line("the daemon to listen", lambda l: l.startswith("listening "))

    def send(self, line):
        """A control command ("set PATH N", "roots DIR...", "notify ...")."""
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def set_status(self, path, status):
        self.statuses[path] = status
        self.send(f"set {path}\t{status}" if " " in path else f"set {path} {status}")

    def wait_for_request(self, what, name, path=None, deadline=DEADLINE):
        wanted = "request " + name + ("" if path is None else " path=" + path)
        return self.output.wait_for_line(what, lambda l: l == wanted, deadline)

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.send("quit")
            self.process.wait(timeout=DEADLINE)
        self.process = None


# --- The file managers ---

def library_dir():
    return subprocess.run(["pkg-config", "--variable=libdir", "gio-2.0"], check=True,
                          capture_output=True, text=True).stdout.strip()


def place_module(name, module_dir, work):
    """Makes the file manager load only the modules in `module_dir` (this
    process's mount namespace is private); returns extra environment."""
    lib = library_dir()
    if name == "nautilus":
        subprocess.run(["mount", "--bind", module_dir, lib + "/nautilus/extensions-4"], check=True)
        return {}
    if name == "caja":
        return {"CAJA_EXTENSION_DIRS": module_dir}
    if name == "dolphin":
        # The folder holding kf5/overlayicon and kf5/kfileitemaction.
        return {"QT_PLUGIN_PATH": module_dir}
    if name == "thunar":
        # libthunarx ignores THUNARX_DIRS: its one folder is replaced.
        subprocess.run(["mount", "--bind", module_dir, lib + "/thunarx-3"], check=True)
        return {}
    # Nemo's folder does not exist after install: a copy of its library
    # folder with the extension folder added is mounted over the original.
    # An extension folder that a package made (ours among them) is left out
    # of the copy, so that only the module under test loads.
    copy = os.path.join(work, "nemo-lib")
    if not os.path.isdir(copy):
        shutil.copytree(lib + "/nemo", copy, symlinks=True,
                        ignore=shutil.ignore_patterns("extensions-3.0"))
        shutil.copytree(module_dir, os.path.join(copy, "extensions-3.0"))
        subprocess.run(["mount", "--bind", copy, lib + "/nemo"], check=True)
    return {}


def file_manager_command(name, folder):
    if name == "nautilus":
        return ["nautilus", "--new-window", folder]
    if name == "caja":
        return ["caja", "--no-desktop", "--browser", folder]
    if name == "dolphin":
        return ["dolphin", "--new-window", folder]
    if name == "thunar":
        return ["thunar", folder]
    return ["nemo", "--no-desktop", folder]


# Nemo's grid icons report no box through AT-SPI (their extents are
# uninitialised memory), so Nemo shows its folders as a list, whose rows do,
# at the list's standard zoom, where the emblem is drawn on the file's
# picture. The run's settings are a key file in its fresh HOME.
NEMO_SETTINGS = """[org/nemo/preferences]
default-folder-viewer='list-view'
[org/nemo/list-view]
default-zoom-level='standard'
"""


# Thunar's icon view exposes no files through AT-SPI, its list view a table
# cell per column of each row. Thunar reads its settings from xfconfd, which
# the session bus starts; the view is set in the channel's file in the fresh
# HOME's configuration folder.
THUNAR_SETTINGS = """<?xml version="1.0" encoding="UTF-8"?>
<channel name="thunar" version="1.0">
  <property name="default-view" type="string" value="ThunarDetailsView"/>
  <property name="last-view" type="string" value="ThunarDetailsView"/>
</channel>
"""


def thunar_settings(env):
    """Writes Thunar's settings into the run's HOME and has the session bus
    start its services (xfconfd, GVfs's metadata store) with that HOME, not
    the caller's: whatever they write stays in the run."""
    channels = os.path.join(env["XDG_CONFIG_HOME"], "xfce4", "xfconf", "xfce-perchannel-xml")
    os.makedirs(channels, exist_ok=True)
    with open(os.path.join(channels, "thunar.xml"), "w") as f:
        f.write(THUNAR_SETTINGS)
    names = ("HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_DATA_DIRS", "DISPLAY")
    subprocess.run(["dbus-update-activation-environment"] + [f"{n}={env[n]}" for n in names],
                   check=True, env=env)


def file_manager_env(name, display, home, runtime, share):
    config = os.path.join(home, ".config")
    env = dict(os.environ, DISPLAY=display, HOME=home, XDG_RUNTIME_DIR=runtime,
               GTK_A11Y="atspi", NO_AT_BRIDGE="0", GTK_MODULES="gail:atk-bridge",
               XDG_DATA_DIRS=share + ":/usr/share", XDG_CONFIG_HOME=config)
    if name == "nautilus":
        env["GSK_RENDERER"] = "cairo"  # the GL renderer sometimes hangs under Xvfb
    if name == "dolphin":
        # Qt's AT-SPI bridge stays off unless a desktop asks for it.
        env.update(QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1",
                   QT_QPA_PLATFORM="xcb")
    if name == "nemo":
        settings = os.path.join(config, "glib-2.0", "settings")
        os.makedirs(settings, exist_ok=True)
        with open(os.path.join(settings, "keyfile"), "w") as f:
            f.write(NEMO_SETTINGS)
        env["GSETTINGS_BACKEND"] = "keyfile"
    if name == "thunar":
        thunar_settings(env)
    return env


# AT-SPI application names and the role of a file's cell in the grid view.
APP_NAMES = {"nautilus": "nautilus", "caja": "caja", "nemo": "nemo", "dolphin": "dolphin",
             "thunar": "thunar"}
CELL_ROLES = {"table cell", "icon", "list item"}


class Session:
    """One run: display, bus, HOME, daemon and file manager; ended by close()."""

    def __init__(self, work, out, daemon_sim, share):
        self.work, self.out, self.daemon_sim, self.share = work, out, daemon_sim, share
        self.home = os.path.join(work, "home")
        os.makedirs(self.home, exist_ok=True)
        os.makedirs(out, exist_ok=True)
        self.processes = []
        self.daemon = None
        self.name = None
        self.fm = None
        self.launch = None
        self.restarts = 0
        self.focus = None  # FocusEvents, made when a Qt menu is first opened
        self.on_atspi = False
        self.shots = 0
        self.cells = {}  # file name -> its cell, as wait_for_cell last found it
        # The session bus, and the accessibility bus it starts, keep their
        # sockets in XDG_RUNTIME_DIR: runs side by side would share them.
        os.environ["XDG_RUNTIME_DIR"] = work
        xvfb, self.display = start_xvfb()
        self.processes.append(xvfb)
        bus, address = start_dbus_session()
        self.processes.append(bus)
        # pyatspi, imported later in this process, talks over this bus.
        os.environ.update(DISPLAY=self.display, DBUS_SESSION_BUS_ADDRESS=address)

    def __enter__(self):
        return self

    def __exit__(self, *unused):
        self.close()

    def start_daemon(self, roots, statuses):
        self.daemon = Daemon(self.daemon_sim, roots, dict(statuses),
                             os.path.join(self.out, "daemon.log"))
        self.daemon.start()
        return self.daemon

    def start_file_manager(self, name, module_dir, folder):
        self.name = name
        env = file_manager_env(name, self.display, self.home, self.work, self.share)
        env.update(place_module(name, module_dir, self.work))
        log = open(os.path.join(self.out, name + ".log"), "w")
        self.launch = (file_manager_command(name, folder), env, log)
        self.fm = subprocess.Popen(self.launch[0], env=env, stdout=log, stderr=subprocess.STDOUT)

    def relaunch(self):
        """Ends the file manager and starts it again, as start_file_manager did."""
        self.fm.terminate()
        self.fm.wait(timeout=DEADLINE)
        command, env, log = self.launch
        log.write("--- started again: it never appeared on AT-SPI ---\n")
        log.flush()
        self.fm = subprocess.Popen(command, env=env, stdout=log, stderr=subprocess.STDOUT)
        self.restarts += 1

    def app(self):
        if self.name == "dolphin" and not self.on_atspi:
            self.on_atspi = bool(self.dolphin_on_atspi())
        return wait_for(self.name + " on AT-SPI", lambda: application(APP_NAMES[self.name]))

    def dolphin_on_atspi(self, tries=6):
        """Dolphin on AT-SPI. Qt's bridge registers the application with
        AT-SPI's registry once, at start. Asked while Dolphin is still
        starting, AT-SPI often never hears of it (2 starts in 8, more on a
        busy machine; no client sees it, a fresh one neither): call this
        once Dolphin shows its folder (it asked the daemon about a file),
        after which 8 starts in 8 registered. A start still unregistered
        after a while is given up and Dolphin started again; the count is
        in self.restarts."""
        for _ in range(tries - 1):
            try:
                return wait_for("dolphin on AT-SPI", lambda: application("dolphin"), DEADLINE / 6)
            except Failure:
                self.relaunch()
        return wait_for("dolphin on AT-SPI", lambda: application("dolphin"))

    def screenshot(self, label):
        self.shots += 1
        path = os.path.join(self.out, f"{self.name}-{self.shots:02d}-{label}.png")
        screenshot(self.display, path)
        return path

    def close(self):
        if self.daemon is not None:
            try:
                self.daemon.stop()
            except (Failure, OSError, subprocess.TimeoutExpired):
                pass
        if self.fm is not None:
            self.processes.append(self.fm)
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
        for process in reversed(self.processes):
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


# --- Cells, emblems and menus of the running file manager ---

def xdotool(display, *words):
    subprocess.run(["xdotool"] + list(words), check=True, env=dict(os.environ, DISPLAY=display))


def centre(box):
    x, y, width, height = box
    return x + width // 2, y + height // 2


def cell_named(app, name):
    """The file manager's cell of the file `name` in its view, or None."""
    return find(app, lambda a: a.name == name and a.getRoleName() in CELL_ROLES
                and "Component" in a.get_interfaces() and box_of(a)[2] > 0)


def emblem_box(cell):
    """Where the emblem is drawn: the upper half of the file's picture, whose
    right edge the emblem sits on. Without a picture box (Nautilus), the
    upper half of the cell. In a list (Nemo's), the name's cell follows the
    picture's in one compound cell: the row from the list's left edge to the
    name's text."""
    x, y, width, height = box_of(cell)
    if cell.parent.getRoleName() == "table cell" and "Text" in cell.get_interfaces():
        table = cell.parent.parent
        left = box_of(table)[0]
        text = cell.queryText()
        text_x = text.getRangeExtents(0, text.characterCount, atspi().DESKTOP_COORDS)[0]
        return left, y, max(1, min(text_x, x + width) - left), height
    if "Image" in cell.get_interfaces():
        ix, iy, iw, ih = cell.queryImage().getImageExtents(atspi().DESKTOP_COORDS)
        if iw > 0 and ih > 0:
            x, y, width, height = ix, iy, iw, ih
    return x + width // 2, max(0, y - height // 8), width // 2 + width // 8, height // 2 + height // 8


def is_selected(accessible):
    states = accessible.getState()
    if states.contains(atspi().STATE_SELECTED) or states.contains(atspi().STATE_FOCUSED):
        return True
    parent = accessible.parent
    return ("Selection" in parent.get_interfaces()
            and parent.querySelection().isChildSelected(accessible.getIndexInParent()))


def select_cell(session, cell):
    """Selects the file, through the view's selection where it offers one."""
    parent = cell.parent
    if "Selection" in parent.get_interfaces():
        parent.querySelection().clearSelection()
        parent.querySelection().selectChild(cell.getIndexInParent())
    else:
        xdotool(session.display, "mousemove", *map(str, centre(box_of(cell))), "click", "1")


# GTK 4 (Nautilus) reports no "showing" or "selected" state: its popover
# menus are in the tree while closed, and a sub-menu is a page of the same
# popover, after the item that opens it and a header item of the same name.
GTK4 = {"nautilus"}


def shown(session, accessible):
    return session.name in GTK4 or is_showing(accessible)


def find_in_menus(session, predicate):
    """The first accessible in an open menu for which `predicate` holds, or
    None. GTK 3 opens a pop-up menu in a window of its own, after the main
    window among the application's children: searched newest window first,
    it is found without a walk over the main window's tree (seconds over
    D-Bus in Caja). GTK 4's popovers are inside the main window."""
    app = session.app()
    if session.name in GTK4:
        return find(app, predicate)
    try:
        windows = [app.getChildAtIndex(i) for i in reversed(range(app.childCount))]
    except Exception:  # a window went away meanwhile
        return None
    for window in windows:
        found = find(window, predicate) if window is not None else None
        if found is not None:
            return found
    return None


def showing_menu_entry(session, text):
    """The shown entry `text` that opens a sub-menu, in any popup, or None."""
    return find_in_menus(session, lambda a: a.name == text and shown(session, a)
                         and a.getRoleName() in ("menu", "menu item"))


def sub_menu_items(session, entry):
    """The names of a sub-menu's items in order, and the items."""
    if session.name in GTK4:
        popover = entry.parent
        while popover.getRoleName() != "menu" and popover.parent is not None:
            popover = popover.parent
        items = find_all(popover, lambda a: a.getRoleName() == "menu item")
        names = [a.name for a in items]
        start = len(names) - names[::-1].index(entry.name)  # after the page's header
        items = items[start:] if names.count(entry.name) > 1 else []
        # The page ends where its box does: other popovers' items follow.
        items = [a for a in items if items and a.parent == items[0].parent]
    else:
        items = find_all(entry, lambda a: a.getRoleName() == "menu item" and a.name
                         and is_showing(a))
    return [a.name for a in items], items


def still_the_cell(cell, name):
    """Whether an accessible found before is still the shown cell of `name`."""
    try:
        return cell.name == name and box_of(cell)[2] > 0
    except Exception:  # gone with its view
        return False


def wait_for_cell(session, name):
    """The cell of `name`: the one found before while it still is, since a
    walk of the file manager's whole tree over D-Bus takes seconds (Caja's
    menus are in it) and each check of an emblem needs the cell."""
    cell = session.cells.get(name)
    if cell is None or not still_the_cell(cell, name):
        cell = wait_for(f"the cell of {name}", lambda: cell_named(session.app(), name))
        session.cells[name] = cell
    return cell


def emblems_shown(session, name, label="emblems"):
    """The statuses whose emblem colour shows at the corner of the file's picture."""
    cell = wait_for_cell(session, name)
    if session.name in QT:
        pointer_off_window(session)  # Qt pales the picture under the pointer
        box = qt_emblem_box(cell)
    else:
        box = emblem_box(cell)
    return emblem_colours_in(pixels(session.screenshot(label), box))


def wait_for_emblems(session, name, wanted, label="emblems"):
    """Waits until exactly the statuses `wanted` (a set, maybe empty) show."""
    seen = []

    def shows():
        seen[:] = [emblems_shown(session, name, label)]
        return seen[0] == wanted
    try:
        wait_for(f"{name} to show the emblems of {sorted(wanted)}", shows)
    except Failure as failure:
        raise Failure(f"{failure}; it shows {sorted(seen[0]) if seen else '?'}") from None


# The last item of a file's context menu, there whatever the extensions add.
MENU_ENDS = ("Properties", "Properties...")


def open_context_menu(session, name, entry_text="Tarnwell"):
    """Opens the file's context menu and returns its entry `entry_text`
    (None when the menu shows but has no such entry)."""
    if session.name in QT:
        return open_qt_context_menu(session, name, entry_text)
    cell = wait_for_cell(session, name)
    # The keyboard goes where the pointer is (no window manager runs).
    xdotool(session.display, "mousemove", *map(str, centre(box_of(cell))))
    select_cell(session, cell)
    if session.name not in GTK4:
        wait_for(f"{name} to be selected", lambda: is_selected(wait_for_cell(session, name)))
    xdotool(session.display, "key", "shift+F10")
    wait_for("the context menu", lambda: find_in_menus(session, lambda a: a.getRoleName() in (
        "menu", "menu item") and shown(session, a) and a.name in (entry_text, *MENU_ENDS)))
    return showing_menu_entry(session, entry_text)


def open_sub_menu(session, entry):
    """Opens the sub-menu of `entry`; returns its items' names and accessibles."""
    do_action(entry)
    return wait_for("the sub-menu's items", lambda: (lambda found: found if found[0] else None)(
        sub_menu_items(session, entry)))


def activate_item(items, names, wanted):
    do_action(items[names.index(wanted)])


def open_parent_folder(session, folder):
    """Shows the folder holding `folder` (which the file manager shows)."""
    if session.name in QT:
        # A click on its breadcrumb, which acts on the mouse alone (Qt
        # windows take no keys without a window manager).
        parent = os.path.basename(os.path.dirname(folder))
        button = wait_for("the breadcrumb of " + parent, lambda: find(
            session.app(), lambda a: a.name == parent and a.getRoleName() == "push button"))
        xdotool(session.display, "mousemove", *map(str, centre(box_of(button))), "click", "1")
    else:
        xdotool(session.display, "key", "alt+Up")


def close_menus(session):
    for _ in range(3):
        xdotool(session.display, "key", "Escape")


# --- Qt (Dolphin) ---

# Qt's bridge leaves pop-up menus out of the application's children on
# AT-SPI: a menu is found through the focus its first item takes. A menu
# item's sub-menu is its child once open.
QT = {"dolphin"}


class FocusEvents:
    """The accessibles that took the focus, as Qt's bridge reports them."""

    def __init__(self):
        self.sources = []
        atspi().Registry.registerEventListener(self._on_event, "object:state-changed:focused")

    def _on_event(self, event):
        if event.detail1:
            self.sources.append(event.source)

    def latest(self, predicate):
        """The last focused accessible for which `predicate` holds, or None."""
        from gi.repository import GLib
        context = GLib.MainContext.default()
        while context.iteration(False):  # delivers the events that came
            pass
        for source in reversed(self.sources):
            try:
                if predicate(source):
                    return source
            except Exception:  # gone since (a closed menu)
                continue
        return None


def pointer_off_window(session):
    """Moves the pointer just past the window's lower right corner."""
    frame = wait_for("the window", lambda: find(session.app(), lambda a: a.getRoleName() == "frame"))
    x, y, width, height = box_of(frame)
    xdotool(session.display, "mousemove", str(x + width + 4), str(y + height + 4))


def qt_emblem_box(cell):
    """Where Dolphin's icon view draws the emblem: on the lower right of the
    file's picture, clear of the page's grey lines above it and of the name
    below it."""
    x, y, width, height = box_of(cell)
    return x + width * 9 // 16, y + height // 2, width // 4, height // 4


def qt_name_point(cell):
    """A point on the file's name, below its picture in Dolphin's icon view:
    a menu opened there hangs below the row's emblems, not over them."""
    x, y, width, height = box_of(cell)
    return x + width // 2, y + height * 7 // 8


def open_qt_context_menu(session, name, entry_text):
    """Right-clicks the file's name, focuses the menu's first item with the
    keyboard (the menu holds it) and returns its entry `entry_text`."""
    if session.focus is None:
        session.focus = FocusEvents()
    cell = wait_for_cell(session, name)
    select_cell(session, cell)
    wait_for(f"{name} to be selected", lambda: is_selected(wait_for_cell(session, name)))
    session.focus.sources.clear()
    xdotool(session.display, "mousemove", *map(str, qt_name_point(cell)), "click", "3")
    item = wait_for("the context menu", lambda: qt_menu_item(session))
    menu = item.parent
    entries = [menu.getChildAtIndex(i) for i in range(menu.childCount)]
    return next((e for e in entries if e is not None and e.name == entry_text
                 and is_showing(e)), None)


def qt_menu_item(session):
    """A focused item of a shown pop-up menu; presses Down until one is."""
    item = session.focus.latest(lambda a: a.getRoleName() == "menu item" and is_showing(a)
                                and a.parent.getRoleName() == "popup menu")
    if item is None:
        xdotool(session.display, "key", "Down")
    return item
