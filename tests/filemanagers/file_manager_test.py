#!/usr/bin/python3
"""The module in a real file manager (Nautilus, Caja, Nemo, Dolphin, Thunar), as a person sees it.

In its own namespaces, display, D-Bus session and HOME (see
scripts/lib/file_manager_session.py), with tarnwell-daemon-sim on a sync
folder, it checks: each status's emblem on its file; a status the daemon
changes changes the drawn emblem; the "Tarnwell" sub-menu's items for a file
and a folder, and a picked item reaching the daemon with its path; the daemon
stopped clears the emblems and restarted brings them back; "refresh_tw_root"
dropping the folder clears them; a file outside the folder has none.
Thunar draws no extension's emblems, so there only the menu is checked: its
items for a file and a folder in the sync folder and for a file outside it
(uploading it is all it offers), each picked item reaching the daemon with its
path, no emblem left in GVfs's metadata store, and the module loaded once for
Thunar's whole run.
Assertions come from what the daemon received, AT-SPI, and colours sampled
inside the boxes AT-SPI reports. Screenshots and logs are left in --out.

Exit status 0 passed, 1 failed, 77 skipped (not root: no namespaces).
"""

import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts", "lib"))
import file_manager_session as fms  # noqa: E402

STATUSES = {"uptodate.txt": 0, "syncing.txt": 1, "locked.txt": 2, "readonly.txt": 3}
FILE_MENU = ["Send by Email", "Get Share Link", "Browse File History"]
FOLDER_MENU = ["Send by Email", "Get Share Link", "Sync with Friends"]
OUTSIDE_FILE_MENU = ["Upload to Tarnwell"]


def make_tree(work):
    sync = os.path.join(work, "Sync")
    os.makedirs(os.path.join(sync, "Projects"))
    for name in STATUSES:
        with open(os.path.join(sync, name), "w") as f:
            f.write(name + "\n")
    with open(os.path.join(work, "outside.txt"), "w") as f:
        f.write("not synced\n")
    return sync


def check_emblems(session, expected, label):
    """Each file shows its status's emblem alone."""
    for name, statuses in expected.items():
        fms.wait_for_emblems(session, name, statuses, label)


def check_menu(session, daemon, name, path, wanted, pick, command):
    entry = fms.wait_for("the Tarnwell entry in the menu of " + name,
                         lambda: fms.open_context_menu(session, name))
    names, items = fms.open_sub_menu(session, entry)
    session.screenshot("menu-" + name)
    if names != wanted:
        raise fms.Failure(f"the sub-menu of {name} holds {names}, not {wanted}")
    fms.activate_item(items, names, pick)
    daemon.wait_for_request(f"{command} for {name}", command, path)
    fms.close_menus(session)


def gio(session, *words):
    """`gio` as the file manager sees the files: the run's HOME, hence its
    GVfs metadata store."""
    return subprocess.run(["gio", *words], env=dict(os.environ, HOME=session.home), check=True,
                          capture_output=True, text=True).stdout


def emblem_metadata(session, path):
    """The emblems GVfs's metadata store holds for the file: what Thunar
    would draw; empty when none."""
    info = gio(session, "info", "--attributes=metadata::emblems", path)
    return [line.strip() for line in info.splitlines() if "metadata::emblems" in line]


def check_no_emblem_metadata(session, paths):
    # The store's silence means something only if an emblem put there is read back.
    probe = os.path.join(session.home, "probe.txt")
    with open(probe, "w") as f:
        f.write("probe\n")
    gio(session, "set", "-t", "stringv", probe, "metadata::emblems", "emblem-default")
    if not emblem_metadata(session, probe):
        raise fms.Failure("GVfs's metadata store does not read back an emblem (is gvfs there?)")
    written = {path: emblem_metadata(session, path) for path in paths}
    written = {path: lines for path, lines in written.items() if lines}
    if written:
        raise fms.Failure(f"emblems were written into GVfs's metadata: {written}")


def check_loaded_once(session):
    """Thunar unloads a module as soon as it has listed its types unless the
    module asks to stay, shutting our core down under its threads and starting
    it again: ours is started once and never shut down while Thunar runs."""
    with open(os.path.join(session.out, session.name + ".log")) as f:
        log = f.read()
    starts = log.count("Extension initializing...")
    stops = log.count("Extension shutting down...")
    if (starts, stops) != (1, 0):
        raise fms.Failure(f"the module was started {starts} times and shut down {stops} times")


def check_menu_only(session, daemon, sync, work):
    """The sub-menu where the file manager has no emblems to show."""
    daemon.wait_for_request("the module to connect", "get_tw_roots")
    check_menu(session, daemon, "locked.txt", os.path.join(sync, "locked.txt"), FILE_MENU,
               "Get Share Link", "publish_obj")
    check_menu(session, daemon, "Projects", os.path.join(sync, "Projects"), FOLDER_MENU,
               "Sync with Friends", "invite_friends")
    fms.open_parent_folder(session, sync)
    check_menu(session, daemon, "outside.txt", os.path.join(work, "outside.txt"),
               OUTSIDE_FILE_MENU, "Upload to Tarnwell", "upload_files")
    paths = [os.path.join(sync, n) for n in [*STATUSES, "Projects"]]
    check_no_emblem_metadata(session, [*paths, os.path.join(work, "outside.txt")])
    check_loaded_once(session)


def check_emblems_and_menu(session, daemon, sync, work):
    shown = {name: {status} for name, status in STATUSES.items()}
    daemon.wait_for_request("the module to ask", "query_stat", os.path.join(sync, "syncing.txt"))
    check_emblems(session, shown, "statuses")

    daemon.set_status(os.path.join(sync, "syncing.txt"), 0)
    check_emblems(session, dict(shown, **{"syncing.txt": {0}}), "pushed")

    check_menu(session, daemon, "locked.txt", os.path.join(sync, "locked.txt"), FILE_MENU,
               "Get Share Link", "publish_obj")
    check_menu(session, daemon, "Projects", os.path.join(sync, "Projects"), FOLDER_MENU,
               "Sync with Friends", "invite_friends")

    none = {name: set() for name in STATUSES}
    daemon.stop()
    check_emblems(session, none, "daemon-stopped")
    daemon.start()
    check_emblems(session, dict(shown, **{"syncing.txt": {0}}), "daemon-back")

    daemon.send("roots " + os.path.join(work, "elsewhere"))
    check_emblems(session, none, "root-dropped")

    fms.open_parent_folder(session, sync)
    fms.wait_for_emblems(session, "outside.txt", set(), "outside")


def run(args, work):
    sync = make_tree(work)
    with fms.Session(work, args.out, args.daemon_sim, args.share) as session:
        daemon = session.start_daemon(
            [sync], {os.path.join(sync, n): s for n, s in STATUSES.items()})
        session.start_file_manager(args.file_manager, args.module_dir, sync)
        if args.file_manager in fms.MENU_ONLY_FILE_MANAGERS:
            check_menu_only(session, daemon, sync, work)
        else:
            check_emblems_and_menu(session, daemon, sync, work)
        restarts = f" (started again {session.restarts}x)" if session.restarts else ""
    print(f"file_manager_test {args.file_manager}: passed{restarts}; screenshots in {args.out}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--file-manager", required=True,
                        choices=fms.FILE_MANAGERS + fms.MENU_ONLY_FILE_MANAGERS)
    parser.add_argument("--module-dir", required=True, help="the folder holding our module")
    parser.add_argument("--daemon-sim", required=True)
    parser.add_argument("--share", required=True, help="the build's share/ (its icon theme)")
    parser.add_argument("--out", required=True, help="folder for screenshots and logs")
    args = parser.parse_args()
    # The file manager ignores a relative folder in XDG_DATA_DIRS, and with
    # it our emblems' icons: every emblem check would fail as "none shown".
    for name in ("module_dir", "daemon_sim", "share", "out"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    if os.geteuid() != 0:
        print("file_manager_test: skipped: needs root for its private namespaces")
        return 77
    fms.enter_private_namespaces()
    os.makedirs(args.out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="tarnwell-fm-") as work:
        try:
            run(args, work)
        except fms.Failure as failure:
            print(f"file_manager_test {args.file_manager}: FAILED: {failure}", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
