#!/usr/bin/env python3
"""End to end: the real vt3update in an Xvfb window, driven by xdotool,
against vt3-versiond and HTTP mirrors on 127.0.0.1 serving a release made
by vt3-publish.

  test_e2e.py --build APP_DIR [--fakeclient PATH] [--work DIR]
"""

import argparse
import os
import shutil
import sys
import tempfile
import traceback

# The source tree is no place for compiled modules.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vt3road  # noqa: E402
from vt3road import RoadError, wait_for  # noqa: E402

RELEASE_ID = "1733650000"
# ctest reports this exit status as a skipped test (SKIP_RETURN_CODE).
SKIPPED = 77


class Failure(Exception):
    pass


def check(condition, text):
    if not condition:
        raise Failure(text)


def finished(road, proc, tmpdir, install):
    """The run has finished: its work directory is gone and the listed file
    deleted, which the updater does as its last steps."""
    road.check_alive(proc)
    return not road.work_dirs(tmpdir) and not os.path.exists(os.path.join(install, road.RELEASE_B_DELETES[0]))


def prepare(road, name, mirror_root):
    base = os.path.join(road.work, name)
    install = os.path.join(base, "install")
    tmpdir = os.path.join(base, "tmp")
    client_log = os.path.join(base, "client.log")
    road.make_installation(install)
    return install, tmpdir, client_log


def case_full_update(road, mirror_root):
    install, tmpdir, client_log = prepare(road, "full", mirror_root)
    mirror, port = road.start_http_mirror(mirror_root)
    dead, live = road.dead_and_live_urls(port)
    road.write_mirrors(install, dead, live)
    check(dead < live, "the dead mirror must be tried first")

    proc = road.start_updater(install, tmpdir, client_log)
    window = vt3road.open_window(road, proc)
    vt3road.wait_version(road, proc)
    vt3road.start_update(road, proc, window, mirror.log_path, RELEASE_ID, 0)
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
    install, tmpdir, client_log = prepare(road, "resume", mirror_root)
    # Downloads go bin_win32 first, then common_client, each in key order:
    # codec.dll.z, vt3client_win32.exe.z, then data/smileys.dat.z.
    stall = f"/{RELEASE_ID}/common_client/data/smileys.dat.z"
    done_before = {f"/{RELEASE_ID}/bin_win32/codec.dll.z", f"/{RELEASE_ID}/bin_win32/vt3client_win32.exe.z"}
    server, port, log = road.start_stall_mirror(mirror_root, stall)
    dead, live = road.dead_and_live_urls(port)
    road.write_mirrors(install, dead, live)

    proc = road.start_updater(install, tmpdir, client_log, name="vt3update-broken")
    window = vt3road.open_window(road, proc)
    vt3road.wait_version(road, proc)
    vt3road.start_update(road, proc, window, log, RELEASE_ID, 0)
    wait_for(lambda: road.check_alive(proc) or stall in road.requests(log), 20, "the stalling request")
    code = vt3road.close_and_confirm(road, proc, window)
    check(code == 0, f"broken-off vt3update exited with {code}")
    first = road.requests(log)
    check(done_before <= set(first), f"first run fetched {first}")
    # One transfer at a time: nothing after the stalled file was asked for.
    check(first[-1] == stall, f"first run went on past the stalled file: {first}")
    check(len(road.work_dirs(tmpdir)) == 1, f"work directories after the break: {road.work_dirs(tmpdir)}")
    check(os.path.exists(os.path.join(install, road.RELEASE_B_DELETES[0])), "a broken run deleted files")

    proc = road.start_updater(install, tmpdir, client_log, name="vt3update-resumed")
    window = vt3road.open_window(road, proc)
    vt3road.wait_version(road, proc)
    vt3road.start_update(road, proc, window, log, RELEASE_ID, len(first))
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
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="the build's application folder")
    parser.add_argument("--fakeclient", help="the stand-in vt3client_win32.exe")
    parser.add_argument("--work", help="keep the run's files here instead of a temporary folder")
    args = parser.parse_args()
    vt3road.install_signal_handlers()

    for tool in ("Xvfb", "xdotool"):
        if not shutil.which(tool):
            print(f"SKIP: {tool} is not installed")
            print("0 passed, 0 failed, 1 skipped")
            return SKIPPED

    work = args.work or tempfile.mkdtemp(prefix="vt3-e2e-")
    road = vt3road.Road(args.build, work, fakeclient=args.fakeclient)
    passed = failed = 0
    try:
        mirror_root = os.path.join(work, "mirror")
        road.publish_b(mirror_root, RELEASE_ID)
        road.start_versiond(os.path.join(mirror_root, RELEASE_ID, "version.txt"))
        road.start_xvfb()
        for case in (case_full_update, case_resume):
            try:
                case(road, mirror_root)
                print(f"PASS: {case.__name__}")
                passed += 1
            except (Failure, RoadError) as e:
                print(f"FAIL: {case.__name__}: {e}")
                failed += 1
                shot = os.path.join(road.logs, case.__name__ + ".png")
                try:
                    road.screenshot(shot)
                    print(f"  screen at the failure: {shot}")
                except Exception:
                    pass
            except Exception:
                print(f"FAIL: {case.__name__}:")
                traceback.print_exc(file=sys.stdout)
                failed += 1
    except RoadError as e:
        print(f"FAIL: setup: {e}")
        failed += 1
    finally:
        vt3road.close_road(road, failed, work, args.work, tail=3000)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
