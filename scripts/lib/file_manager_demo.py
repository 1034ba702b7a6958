#!/usr/bin/python3
"""The demo in a real file manager (Nautilus, Caja, Nemo, Dolphin or Thunar) with our module.

Run by `scripts/demo --file-manager NAME`, which has built the module and made
the sample sync folder. Two ways:

--picture OUT.png  under Xvfb, in private namespaces of its own (as root;
                   see file_manager_session.py): waits until every sample file
                   shows its emblem, opens the context menu of --menu-file and
                   its "Tarnwell" sub-menu through AT-SPI, checks that no
                   sample file's emblem lies under the menu (Dolphin's),
                   waits until the screen stops changing and saves it,
                   cropped to what the file manager drew.
--user-session     on the user's display ($DISPLAY or $WAYLAND_DISPLAY), with a
                   D-Bus session and HOME of its own, so that a file manager
                   already running is neither reused nor reconfigured. The
                   module is placed as the tests place it: Caja through
                   CAJA_EXTENSION_DIRS, Dolphin through QT_PLUGIN_PATH;
                   Nautilus and Nemo, whose folder is
                   fixed, by a bind mount, for which the caller has already
                   entered a private mount namespace (`unshare -m`). The
                   daemon sim runs on the fixed ports (the caller holds their
                   lock); each line typed on stdin goes to its control
                   ("set PATH N" pushes a change). Ends when the window closes.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import file_manager_session as fms  # noqa: E402


def parse_statuses(pairs):
    statuses = {}
    for pair in pairs:
        path, _, status = pair.rpartition("=")
        statuses[path] = int(status)
    return statuses


def screen_digest(session):
    """A digest of the screen's pixels (a PNG's own chunks change per shot)."""
    shot = session.screenshot("settling")
    rgb = subprocess.run(["convert", shot, "rgb:-"], check=True, capture_output=True).stdout
    os.unlink(shot)
    return hashlib.sha256(rgb).hexdigest()


def wait_until_settled(session):
    """Waits until two screenshots in a row are alike: the menu has been drawn."""
    last = [None]

    def settled():
        digest = screen_digest(session)
        alike, last[0] = digest == last[0], digest
        return alike
    fms.wait_for("the screen to settle", settled, step=0.3)


def save_cropped(shot, picture):
    """The screenshot cut down to what was drawn: the root window shows one
    colour around the window and its menus (the screen's bottom-right
    pixel), and no window manager draws a frame."""
    background = subprocess.run(["convert", shot, "-format", "%[pixel:p{w-1,h-1}]", "info:"],
                                check=True, capture_output=True, text=True).stdout.strip()
    subprocess.run(["convert", shot, "-bordercolor", background, "-border", "1", "-fuzz", "2%",
                    "-trim", "+repage", "-strip", picture], check=True)


def wait_for_folder(session):
    """Waits until the module asks the daemon about a file, which it does
    once the folder is shown: Dolphin looked for on AT-SPI before then often
    never appears there (see Session.dolphin_on_atspi)."""
    session.daemon.output.wait_for_line("the module to ask about a file",
                                        lambda line: line.startswith("request query_stat "))


def wait_for_sample_emblems(session, statuses):
    """Each sample file named in `statuses` shows its emblem alone."""
    for path, status in statuses.items():
        fms.wait_for_emblems(session, os.path.basename(path), {status})


def overlap(a, b):
    ax, ay, aw, ah = a
    bx, by, bw, bh = b
    return ax < bx + bw and bx < ax + aw and ay < by + bh and by < ay + ah


def check_emblems_beside_menu(session, statuses, entry):
    """The picture claims the emblems, so no sample file's emblem may lie
    under the open menu or sub-menu. Qt's menus open where they were asked
    for, which can be over a file; the GTK file managers place theirs
    themselves. Checked by the boxes AT-SPI reports, not by colour: Dolphin
    tints the selected file's emblem."""
    if session.name not in fms.QT:
        return
    menus = [fms.box_of(entry.parent)] + [
        fms.box_of(child) for child in (entry.getChildAtIndex(i) for i in range(entry.childCount))
        if child is not None and fms.is_showing(child)]
    for path in statuses:
        name = os.path.basename(path)
        emblem = fms.qt_emblem_box(fms.wait_for_cell(session, name))
        if any(overlap(emblem, menu) for menu in menus):
            raise fms.Failure(f"the open menu hides the emblem of {name}")


def close_root_notice(session):
    """Dolphin run as root (as under Xvfb here) opens with a notice that
    says so above the files; it is closed, as a person would, with its
    button, so that the picture shows the folder alone. The notice is
    there once the folder shows, or not at all."""
    label = fms.find(session.app(), lambda a: a.getRoleName() == "label"
                     and "root" in (a.name or "") and fms.is_showing(a))
    if label is None:
        return
    button = fms.find(label.parent, lambda a: a.getRoleName() == "push button"
                      and fms.is_showing(a))
    if button is None:
        return
    fms.do_action(button)

    def closed():
        try:
            return not fms.is_showing(label)
        except Exception:  # gone with the notice
            return True
    fms.wait_for("Dolphin's notice to close", closed)


def start_compositor(session):
    """GTK 4's popovers are windows with a transparent margin, which shows
    black unless something composites the screen: xcompmgr, where present."""
    if shutil.which("xcompmgr") is None:
        return
    session.processes.append(subprocess.Popen(
        ["xcompmgr"], env=dict(os.environ, DISPLAY=session.display),
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))


def picture(args, statuses):
    fms.enter_private_namespaces()
    with tempfile.TemporaryDirectory(prefix="tarnwell-fm-demo-") as work, \
            fms.Session(work, args.logs, args.daemon_sim, args.share) as session:
        start_compositor(session)
        session.start_daemon([args.sync], statuses)
        session.start_file_manager(args.file_manager, args.module_dir, args.sync)
        # Thunar draws no emblems: its picture shows the menu alone.
        if args.file_manager not in fms.MENU_ONLY_FILE_MANAGERS:
            wait_for_folder(session)
            if args.file_manager == "dolphin":
                close_root_notice(session)
            wait_for_sample_emblems(session, statuses)
        entry = fms.wait_for("the Tarnwell entry in the menu of " + args.menu_file,
                             lambda: fms.open_context_menu(session, args.menu_file))
        names, _ = fms.open_sub_menu(session, entry)
        print(f"  the Tarnwell sub-menu of {args.menu_file}: {', '.join(names)}")
        check_emblems_beside_menu(session, statuses, entry)
        wait_until_settled(session)
        save_cropped(session.screenshot("menu"), args.picture)


def forward_stdin(daemon):
    for line in sys.stdin:
        if line.strip():
            daemon.send(line.strip())


def remove_soon(folder):
    """Removes the folder, trying again while the session's services
    (gvfsd-metadata, the search indexer), which end after their bus, still
    write in it."""
    def removed():
        shutil.rmtree(folder, ignore_errors=True)
        return not os.path.exists(folder)
    try:
        fms.wait_for("the demo's HOME to be removed", removed, deadline=10)
    except fms.Failure:
        print(f"demo: left {folder} behind", file=sys.stderr)


def user_session(args, statuses):
    work = tempfile.mkdtemp(prefix="tarnwell-fm-demo-")
    try:
        run_in_user_session(args, statuses, work)
    finally:
        remove_soon(work)


def session_env(args, work, bus_address):
    """The user's display and locale; a HOME, config and D-Bus session of
    the demo's own; the build's icons first."""
    home = os.path.join(work, "home")
    os.makedirs(home)
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=home + "/.config",
               DBUS_SESSION_BUS_ADDRESS=bus_address,
               XAUTHORITY=os.environ.get("XAUTHORITY", os.path.expanduser("~/.Xauthority")),
               XDG_DATA_DIRS=args.share + ":" + os.environ.get(
                   "XDG_DATA_DIRS", "/usr/local/share:/usr/share"))
    # Under Xvfb or a remote X server GTK 4's GL renderer can hang on
    # "Loading..."; cairo draws the same everywhere, a little slower.
    env.setdefault("GSK_RENDERER", "cairo")
    env.update(fms.place_module(args.file_manager, args.module_dir, work))
    return env


def run_in_user_session(args, statuses, work):
    bus, address = fms.start_dbus_session()
    daemon = fms.Daemon(args.daemon_sim, [args.sync], statuses,
                        os.path.join(args.logs, "daemon.log"))
    fm = None
    try:
        daemon.start()
        env = session_env(args, work, address)
        with open(os.path.join(args.logs, args.file_manager + ".log"), "w") as log:
            fm = subprocess.Popen(fms.file_manager_command(args.file_manager, args.sync),
                                  env=env, stdout=log, stderr=subprocess.STDOUT)
        threading.Thread(target=forward_stdin, args=(daemon,), daemon=True).start()
        fm.wait()
    except KeyboardInterrupt:
        pass
    finally:
        for process in (fm, bus):
            if process is not None and process.poll() is None:
                process.terminate()
                process.wait()
        daemon.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--file-manager", required=True, choices=fms.FILE_MANAGERS + fms.MENU_ONLY_FILE_MANAGERS)
    parser.add_argument("--module-dir", required=True)
    parser.add_argument("--daemon-sim", required=True)
    parser.add_argument("--share", required=True, help="the build's share/ (its icons)")
    parser.add_argument("--sync", required=True, help="the sample sync folder")
    parser.add_argument("--status", action="append", default=[], help="PATH=N")
    parser.add_argument("--logs", required=True, help="folder for the logs")
    parser.add_argument("--menu-file", default="budget.xlsx")
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--picture", help="the PNG to save (under Xvfb)")
    mode.add_argument("--user-session", action="store_true")
    args = parser.parse_args()
    os.makedirs(args.logs, exist_ok=True)
    statuses = parse_statuses(args.status)
    try:
        if args.picture:
            picture(args, statuses)
        else:
            user_session(args, statuses)
    except fms.Failure as failure:
        print(f"demo: {args.file_manager}: {failure} (logs in {args.logs})", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
