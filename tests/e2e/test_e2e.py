#!/usr/bin/env python3
"""End to end: the real vt3update in an Xvfb window, driven by xdotool,
against vt3-versiond and HTTP mirrors on 127.0.0.1 serving a release made
by vt3-publish.

  test_e2e.py --build APP_DIR [--fakeclient PATH] [--work DIR]
              [--topology-updater PATH --topology-server ADDRESS]

The topology cases put the version server and a mirror on another host (a
network namespace) and run an updater built to ask that address.
"""

import os
import re
import socket
import sys

# The source tree is no place for compiled modules.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import topology  # noqa: E402
import vt3road  # noqa: E402
from vt3road import check, wait_for  # noqa: E402

RELEASE_ID = "1733650000"


def finished(road, proc, tmpdir, install):
    """The run has finished: its work directory is gone and the listed file
    deleted, which the updater does as its last steps."""
    road.check_alive(proc)
    return not road.work_dirs(tmpdir) and not os.path.exists(os.path.join(install, road.RELEASE_B_DELETES[0]))


FINISHED_LINE = 'Update finished.Press "Start Voxtera3" run Voxtera3.'


def check_disk_log(road, install):
    """The run's copy of the window's log: a header naming the release,
    plain text lines with timestamps, the last one the finishing line."""
    text = vt3road.read_text(road.disk_log(install))
    lines = text.splitlines()
    check(lines and all(re.match(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\S* ", line) for line in lines),
          f"disk log lines without timestamps: {text!r}")
    texts = [line.split(" ", 1)[1] for line in lines]
    check(texts[0].startswith("vt3update ") and f"Release: {RELEASE_ID}" in texts[:6],
          f"disk log header: {texts[:6]}")
    check(texts[-1] == FINISHED_LINE and not any("<" in t for t in texts), f"disk log: {texts}")


def case_full_update(road, mirror_root):
    install, tmpdir, client_log = vt3road.prepare_run(road, "full")
    mirror, port = road.start_http_mirror(mirror_root)
    dead, live = road.dead_and_live_urls(port)
    road.write_mirrors(install, dead, live)
    check(dead < live, "the dead mirror must be tried first")

    proc, window = vt3road.start_run(road, install, tmpdir, client_log, "vt3update", mirror.log_path,
                                     RELEASE_ID, 0)
    wait_for(lambda: finished(road, proc, tmpdir, install), 60, "the update to finish")

    problems = road.compare_with_b(install)
    check(not problems, "installation is not release B: " + "; ".join(problems))
    check(road.work_dirs(tmpdir) == [], "work directory left behind")
    check(not os.path.exists(os.path.join(tmpdir, "client_win32.ini")), "manifest left in the temp directory")
    check_disk_log(road, install)

    def client():
        if road.client_started(client_log):
            return True
        # The updater quits as it starts the client, maybe before the
        # client has written its line.
        road.press_last(proc, window, "alt+s")
        return False

    wait_for(client, 15, "the client to start after Alt+S", interval=0.5)
    code = vt3road.wait_exit(proc, 15)
    check(code == 0, f"vt3update exited with {code}")
    road.stop_clients()
    log = vt3road.read_text(client_log)
    # The client that ran is the installed one, started without arguments.
    check(f"exe={os.path.join(install, vt3road.CLIENT_NAME)} " in log and "args=0 " in log, f"client log: {log!r}")
    # Each changed release file fetched exactly once, from the live mirror;
    # the files A already holds as B has them not at all.
    got = road.requests(mirror.log_path)
    files = [p for p in got if not p.endswith("client_win32.ini")]
    # "/<release id>/<group>/<install name>.z"
    fetched = sorted(p.split("/", 3)[3][:-len(".z")] for p in files)
    check(len(files) == len(set(files)) and fetched == road.changed_in_b(), f"files fetched: {got}")
    mirror.terminate()


def case_resume(road, mirror_root):
    install, tmpdir, client_log = vt3road.prepare_run(road, "resume")
    # Downloads go bin_win32 first, then common_client, each in key order:
    # codec.dll.z, vt3client_win32.exe.z, then data/sounds.dat.z (the
    # unchanged data/smileys.dat before it is not fetched).
    stall = f"/{RELEASE_ID}/common_client/data/sounds.dat.z"
    done_before = {f"/{RELEASE_ID}/bin_win32/codec.dll.z", f"/{RELEASE_ID}/bin_win32/vt3client_win32.exe.z"}
    server, port, log = road.start_stall_mirror(mirror_root, stall)
    dead, live = road.dead_and_live_urls(port)
    # One file at a time, so that the break falls exactly on the stalled
    # file; tst_network resumes a run broken with several transfers at once.
    road.write_mirrors(install, dead, live, parallel=1)

    proc, window = vt3road.start_run(road, install, tmpdir, client_log, "vt3update-broken", log,
                                     RELEASE_ID, 0)
    wait_for(lambda: road.check_alive(proc) or stall in road.requests(log), 20, "the stalling request")
    code = vt3road.close_and_confirm(road, proc, window)
    check(code == 0, f"broken-off vt3update exited with {code}")
    first = road.requests(log)
    check(done_before <= set(first), f"first run fetched {first}")
    # One transfer at a time: nothing after the stalled file was asked for.
    check(first[-1] == stall, f"first run went on past the stalled file: {first}")
    check(len(road.work_dirs(tmpdir)) == 1, f"work directories after the break: {road.work_dirs(tmpdir)}")
    check(os.path.exists(os.path.join(install, road.RELEASE_B_DELETES[0])), "a broken run deleted files")

    proc, window = vt3road.start_run(road, install, tmpdir, client_log, "vt3update-resumed", log,
                                     RELEASE_ID, len(first))
    wait_for(lambda: finished(road, proc, tmpdir, install), 60, "the resumed update to finish")
    second = road.requests(log, len(first))
    check(not (done_before & set(second)), f"the resumed run fetched complete files again: {second}")
    check(stall in second, f"the resumed run did not fetch the broken file: {second}")
    expected = len(road.changed_in_b()) - len(done_before)
    check(len([p for p in second if not p.endswith("client_win32.ini")]) == expected,
          f"the resumed run fetched {second}")
    problems = road.compare_with_b(install)
    check(not problems, "installation is not release B: " + "; ".join(problems))
    check(road.work_dirs(tmpdir) == [], "work directory left behind after the resumed run")
    # A finished run closes without the question.
    vt3road.close_window(road.display, window)
    code = vt3road.wait_exit(proc, 15)
    check(code == 0, f"resumed vt3update exited with {code}")
    server.terminate()


# --- the deployment topology: the version server and the mirror on another host ---

def case_topology_update(road, mirror_root, topo):
    """The version server and the mirrors on another host; the updater here
    holds 17384 itself, as on a user's machine, and must take the reply
    that comes from the server's 17384 to its own; its mirror redirects
    every request to another. The installation trusts a version key, and
    the server signs its answers with it."""
    host = topo.host()
    install, tmpdir, client_log = vt3road.prepare_run(road, "topology", topo.updater)
    version_key = road.make_version_key(os.path.join(road.work, "topology", "version-key"), install)
    versiond, _ = road.start_versiond(os.path.join(mirror_root, RELEASE_ID, "version.txt"), topo.server,
                                      spawn=host.spawn, sign_key=version_key)
    mirror, port = road.start_http_mirror(mirror_root, topo.server, spawn=host.spawn)
    # The mirror the updater knows has moved: every request is redirected
    # to the real one. A closed port on that host comes first, so the run
    # also fails over across the link.
    moved_port = vt3road.free_port()
    moved = host.spawn("moved-mirror", [sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                                     "redirectserver.py"),
                                        "--bind", topo.server, "--port", str(moved_port),
                                        "--to", f"http://{topo.server}:{port}/"])
    road.wait_http(moved, moved_port, topo.server)
    road.write_mirrors(install, f"http://{topo.server}:1/", f"http://{topo.server}:{moved_port}/")

    proc = road.start_updater(install, tmpdir, client_log, name="vt3update-topology")
    window = vt3road.open_window(road, proc)
    check(vt3road.wait_version(road, proc), "the updater took no version reply from the other host")
    # The server writes its log a moment later.
    asked = f" {topo.client}:{vt3road.VERSION_PORT} "
    wait_for(lambda: asked in vt3road.read_text(versiond.log_path), 5,
             f"the server to log our request from port {vt3road.VERSION_PORT}")
    vt3road.start_update(road, proc, window, mirror.log_path, RELEASE_ID, 0)
    wait_for(lambda: finished(road, proc, tmpdir, install), 60, "the update to finish")
    problems = road.compare_with_b(install)
    check(not problems, "installation is not release B: " + "; ".join(problems))
    redirected, served = road.requests(moved.log_path), road.requests(mirror.log_path)
    # Files fetched at once reach the two servers in any order. The moved
    # mirror closes its connection after every answer; a request the
    # network library sent as it closed is sent again, and redirected twice.
    check(set(redirected) == set(served) and len(served) == len(road.changed_in_b()) + 1,
          f"redirected {redirected}, served {served}")
    check_disk_log(road, install)
    vt3road.close_window(road.display, window)
    check(vt3road.wait_exit(proc, 15) == 0, "vt3update did not close after the update")


def case_topology_echo(road, mirror_root, topo):
    """The server's address is one of this machine's own (our end of the
    link) and nothing answers there: the updater reads its own request back
    and must not take it for a reply; a real reply from this machine is
    still taken."""
    topo.namespace().link_here(topo.server, topo.client)
    install, tmpdir, client_log = vt3road.prepare_run(road, "topology-echo", topo.updater)
    proc = road.start_updater(install, tmpdir, client_log, name="vt3update-echo")
    window = vt3road.open_window(road, proc)
    wait_for(lambda: road.check_alive(proc) or "own request:" in vt3road.read_text(proc.log_path), 12,
             "the updater to read its own request back")
    check("reply:" not in vt3road.read_text(proc.log_path), "the own request was taken for a reply")
    reply = f"{RELEASE_ID}#{vt3road.RELEASE_B_VERSION}"
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.sendto(reply.encode(), (topo.server, vt3road.VERSION_PORT))
    wait_for(lambda: road.check_alive(proc) or "reply:" in vt3road.read_text(proc.log_path), 12, "the reply")
    replies = [line for line in vt3road.read_text(proc.log_path).splitlines() if "reply:" in line]
    check(len(replies) == 1 and reply in replies[0], f"replies taken: {replies}")
    check(vt3road.close_and_confirm(road, proc, window) == 0, "vt3update did not close")


class Topology:
    """The namespaces of the topology cases; `server` is the address the
    updater under test was built to ask."""

    def __init__(self, road, updater, server):
        self.road, self.updater, self.server = road, updater, server
        # The other end of the server's /30.
        parts = server.split(".")
        self.client = ".".join(parts[:3] + [str(int(parts[3]) + 1)])
        self.made = []

    def namespace(self):
        ns = topology.Namespace(self.road).open()
        self.made.append(ns)
        return ns

    def host(self):
        return self.namespace().link_here(self.client, self.server)

    def close(self):
        for ns in reversed(self.made):
            ns.close()
        self.made = []


def in_topology(case):
    """Runs a topology case in namespaces of its own, removed afterwards;
    skipped where the machine refuses namespaces."""

    def run(road, mirror_root):
        if not road.topology_updater:
            return "skipped: no updater built for the topology (--topology-updater)"
        # The server on this host holds 17384 here; on a user's machine
        # nothing does, and these cases need it that way.
        if road.versiond.poll() is None:
            road.versiond.terminate()
            road.versiond.wait(10)
        topo = Topology(road, road.topology_updater, road.topology_server)
        try:
            case(road, mirror_root, topo)
        except topology.Unavailable as e:
            return f"skipped: {e}"
        finally:
            topo.close()

    return run


def main():
    # The topology cases come last: they stop the version server on this host.
    cases = [("case_full_update", case_full_update), ("case_resume", case_resume),
             ("case_topology_update", in_topology(case_topology_update)),
             ("case_topology_echo", in_topology(case_topology_echo))]
    return vt3road.run_cases(__doc__, cases, RELEASE_ID, prefix="vt3-e2e-", tail=3000)


if __name__ == "__main__":
    sys.exit(main())
