#!/usr/bin/env python3
"""End to end: the real vt3update in an Xvfb window, driven by xdotool,
against vt3-versiond and HTTP mirrors on 127.0.0.1 serving a release made
by vt3-publish.

  test_e2e.py --build APP_DIR [--fakeclient PATH] [--work DIR]
"""

import os
import sys

# The source tree is no place for compiled modules.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vt3road  # noqa: E402
from vt3road import check, wait_for  # noqa: E402

RELEASE_ID = "1733650000"


def finished(road, proc, tmpdir, install):
    """The run has finished: its work directory is gone and the listed file
    deleted, which the updater does as its last steps."""
    road.check_alive(proc)
    return not road.work_dirs(tmpdir) and not os.path.exists(os.path.join(install, road.RELEASE_B_DELETES[0]))


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
    # Each release file fetched exactly once, from the live mirror.
    got = road.requests(mirror.log_path)
    files = [p for p in got if not p.endswith("client_win32.ini")]
    check(len(files) == len(set(files)) == len(road.release_b()), f"files fetched: {got}")
    mirror.terminate()


def case_resume(road, mirror_root):
    install, tmpdir, client_log = vt3road.prepare_run(road, "resume")
    # Downloads go bin_win32 first, then common_client, each in key order:
    # codec.dll.z, vt3client_win32.exe.z, then data/smileys.dat.z.
    stall = f"/{RELEASE_ID}/common_client/data/smileys.dat.z"
    done_before = {f"/{RELEASE_ID}/bin_win32/codec.dll.z", f"/{RELEASE_ID}/bin_win32/vt3client_win32.exe.z"}
    server, port, log = road.start_stall_mirror(mirror_root, stall)
    dead, live = road.dead_and_live_urls(port)
    road.write_mirrors(install, dead, live)

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
    expected = len(road.release_b()) - len(done_before)
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


def main():
    cases = [("case_full_update", case_full_update), ("case_resume", case_resume)]
    return vt3road.run_cases(__doc__, cases, RELEASE_ID, prefix="vt3-e2e-", tail=3000)


if __name__ == "__main__":
    sys.exit(main())
