#!/usr/bin/env python3
"""Kill anywhere: the real vt3update in an Xvfb window is killed with
SIGKILL at several points of an update run, then started again; the second
run must leave the installation equal to the new release, and the files
the release does not touch as they were.

  test_kill.py --build APP_DIR [--fakeclient PATH] [--work DIR] [--case NAME]
"""

import hashlib
import os
import shutil
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vt3road  # noqa: E402
from vt3road import RoadError, check, wait_for  # noqa: E402

RELEASE_ID = "1733660000"
# Big enough that unpacking it and comparing it with the installed copy
# take a good part of a second, so a poll sees those steps under way.
BIG_NAME = "data/big.pak"
BIG_SIZE = 48 * 1024 * 1024
# Files of the installation that no release names.
UNTOUCHED = {
    "user/notes.txt": b"notes the user keeps beside the client\n",
    "logs/chat.log": b"2024-12-08 hello\n" * 50,
}
# Each unlink of a traced run waits this long (strace's fault injection):
# the end of a run removes the work directory file by file.
UNLINK_DELAY_US = 150000
# Likewise for each rename: installing a file is a few renames.
RENAME_DELAY_US = 300000


def big_content(seed):
    """Data of four bits per byte: it compresses to about half, so the
    download is quick and the unpacking has real work."""
    import random
    rng = random.Random(seed)
    table = bytes((ord("a") + (i % 16)) for i in range(256))
    return rng.randbytes(BIG_SIZE).translate(table)


class KillRoad(vt3road.Road):
    """The demo's releases plus one big file, whose copy in release A has
    the same size, so that installing B compares the two in full."""

    def __init__(self, *args, **kw):
        super().__init__(*args, **kw)
        self.big_a = big_content(1)
        self.big_b = big_content(2)
        self.wrapper = None

    def release_a(self):
        files = super().release_a()
        files[BIG_NAME] = self.big_a
        return files

    def release_b(self):
        files = super().release_b()
        files[BIG_NAME] = self.big_b
        return files

    def spawn(self, name, args, **kw):
        if self.wrapper and name.startswith("vt3update"):
            args = self.wrapper + args
        return super().spawn(name, args, **kw)

    def compare_with_b_ignoring(self, install, ignored):
        """compare_with_b, without the complaints about files of `ignored`."""
        return [p for p in self.compare_with_b(install) if not any(p.endswith(": " + rel) for rel in ignored)]


def updater_pid(proc):
    """The pid of vt3update itself, also when it runs under strace."""
    try:
        with open(f"/proc/{proc.pid}/task/{proc.pid}/children") as f:
            children = [int(c) for c in f.read().split()]
    except OSError:
        children = []
    for pid in children:
        try:
            if os.path.basename(os.readlink(f"/proc/{pid}/exe")) == "vt3update":
                return pid
        except OSError:
            continue
    return proc.pid


def size_of(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return -1


def md5(data):
    return hashlib.md5(data).hexdigest()


def files_below(root):
    """Relative paths of the files below root; the tree may be shrinking."""
    found = set()
    for base, _, names in os.walk(root):
        found.update(os.path.relpath(os.path.join(base, n), root) for n in names)
    return found


# --- the points -------------------------------------------------------------------
# Each returns (mirror rules, wrapper or None, predicate factory). The
# predicate gets (road, install, tmpdir, log) and is true at the moment to kill.

def manifest_path():
    return f"/{RELEASE_ID}/client_win32.ini"


# The key presses that start a run return some time after the manifest
# request; holding back the first file until then lets the poll see every
# later step from its start.
SETTLE_HOLD = [f"/{RELEASE_ID}/bin_win32/codec.dll.z=1.5"]


def point_manifest(road, mirror_root):
    """While the manifest arrives: a part of it is on disk."""
    drips = [f"{manifest_path()}=48:150"]

    def ready(install, tmpdir, log):
        return manifest_path() in road.requests(log) and size_of(os.path.join(tmpdir, "client_win32.ini")) > 0

    def describe(install, tmpdir):
        return f"manifest in the temp folder: {size_of(os.path.join(tmpdir, 'client_win32.ini'))} bytes"

    return drips, [], None, ready, describe


def point_between_downloads(road, mirror_root):
    """The first file complete, the next one asked for and still empty."""
    first = os.path.join(mirror_root, RELEASE_ID, "bin_win32", "codec.dll.z")
    second = f"/{RELEASE_ID}/bin_win32/{vt3road.CLIENT_NAME}.z"
    holds = [f"{second}=20"]

    def work(tmpdir):
        dirs = road.work_dirs(tmpdir)
        return os.path.join(tmpdir, dirs[0]) if dirs else None

    def ready(install, tmpdir, log):
        w = work(tmpdir)
        return (w and second in road.requests(log) and size_of(os.path.join(w, "codec.dll.z")) == size_of(first)
                and size_of(os.path.join(w, vt3road.CLIENT_NAME + ".z")) == 0)

    def describe(install, tmpdir):
        w = work(tmpdir)
        return f"work directory {os.path.basename(w)}: {sorted(files_below(w))}"

    return [], holds, None, ready, describe


def point_unpacking(road, mirror_root):
    """Half of the big file unpacked in the work directory."""

    # The file is unpacked under a hidden name beside its own and renamed
    # once whole.
    unpacking = os.path.join(os.path.dirname(BIG_NAME), f".{os.path.basename(BIG_NAME)}.vt3-unpack")

    def ready(install, tmpdir, log):
        for d in road.work_dirs(tmpdir):
            if 0 < size_of(os.path.join(tmpdir, d, unpacking)) < BIG_SIZE:
                return True
        return False

    def describe(install, tmpdir):
        sizes = [size_of(os.path.join(tmpdir, d, unpacking)) for d in road.work_dirs(tmpdir)]
        return f"unpacked {BIG_NAME}: {sizes} of {BIG_SIZE} bytes"

    return [], SETTLE_HOLD, None, ready, describe


def rename_delay_wrapper():
    strace = usable_strace()
    if not strace:
        return None
    return [strace, "-f", "-qq", "-o", "/dev/null", "-e", "trace=rename,renameat,renameat2",
            "-e", f"inject=rename,renameat,renameat2:delay_exit={RENAME_DELAY_US}"]


def point_between_installs(road, mirror_root):
    """The first file (codec.dll) in place, the rest not yet. Every file is
    staged beside its destination before the first is put in place, which
    then takes a few renames per file."""
    wrapper = rename_delay_wrapper()
    if not wrapper:
        return None
    readme_a = md5(road.release_a()["readme.txt"])

    def ready(install, tmpdir, log):
        return os.path.exists(os.path.join(install, "codec.dll"))

    def describe(install, tmpdir):
        state = vt3road.tree(install, skip_app=True)
        return ("codec.dll installed, readme.txt " + ("still A" if state.get("readme.txt") == readme_a else "B") +
                f", {BIG_NAME} " + ("A" if state.get(BIG_NAME) == md5(road.big_a) else
                                    "B" if state.get(BIG_NAME) == md5(road.big_b) else "absent") +
                "; hidden names: " + str(sorted(p for p in state if os.path.basename(p).startswith("."))))

    return [], SETTLE_HOLD, wrapper, ready, describe


def usable_strace():
    """strace, when it is installed and this machine lets it trace."""
    strace = shutil.which("strace")
    if not strace:
        return None
    try:
        ok = subprocess.run([strace, "-qq", "-o", "/dev/null", "true"], timeout=10).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        ok = False
    return strace if ok else None


def point_inside_install(road, mirror_root):
    """The installed big file moved aside, the new one not yet in its place."""
    wrapper = rename_delay_wrapper()
    if not wrapper:
        return None
    folder = os.path.dirname(BIG_NAME)

    def aside(install):
        names = os.listdir(os.path.join(install, folder))
        return sorted(n for n in names if n.startswith("."))

    def ready(install, tmpdir, log):
        return not os.path.exists(os.path.join(install, BIG_NAME)) and bool(aside(install))

    def describe(install, tmpdir):
        return f"{BIG_NAME} absent, beside it {aside(install)}"

    return [], SETTLE_HOLD, wrapper, ready, describe


def point_completion(road, mirror_root):
    """Every file installed, the work directory partly removed."""
    strace = usable_strace()
    if not strace:
        return None
    wrapper = [strace, "-f", "-qq", "-o", "/dev/null", "-e", "trace=unlink,unlinkat",
               "-e", f"inject=unlink,unlinkat:delay_exit={UNLINK_DELAY_US}"]
    client_b = md5(road.release_b()[vt3road.CLIENT_NAME])
    client_size = len(road.release_b()[vt3road.CLIENT_NAME])
    seen = {}

    def ready(install, tmpdir, log):
        dirs = road.work_dirs(tmpdir)
        if not dirs:
            return False
        w = os.path.join(tmpdir, dirs[0])
        now = files_below(w)
        if "files" not in seen:
            path = os.path.join(install, vt3road.CLIENT_NAME)
            if size_of(path) == client_size and vt3road.md5_of(path) == client_b:
                seen["files"] = now
            return False
        return bool(now) and len(now) < len(seen["files"])

    def describe(install, tmpdir):
        dirs = road.work_dirs(tmpdir)
        left = sorted(files_below(os.path.join(tmpdir, dirs[0]))) if dirs else []
        return (f"work directory left with {left}; old_plugin.dll " +
                ("still there" if os.path.exists(os.path.join(install, "old_plugin.dll")) else "deleted"))

    return [], SETTLE_HOLD, wrapper, ready, describe


POINTS = [
    ("during the manifest", point_manifest),
    ("between downloads", point_between_downloads),
    ("during unpacking", point_unpacking),
    ("between installs", point_between_installs),
    ("inside one install", point_inside_install),
    ("during completion", point_completion),
]


def run_point(road, mirror_root, index, title, make):
    made = make(road, mirror_root)
    if made is None:
        return "skipped (strace is not installed or may not trace here)"
    drips, holds, wrapper, ready, describe = made
    install, tmpdir, client_log = vt3road.prepare_run(road, f"point{index}")
    for rel, data in UNTOUCHED.items():
        vt3road.write(os.path.join(install, rel), data)
    untouched_before = {rel: md5(data) for rel, data in UNTOUCHED.items()}

    mirror, port, log = road.start_drip_mirror(mirror_root, f"mirror{index}", drips, holds)
    with open(os.path.join(install, "mirrors.ini"), "w") as f:
        f.write(f"[mirrors]\nsize=2\n1\\mirror=local\n\n[local]\nurl=http://127.0.0.1:{port}/\nretries=1\n")

    road.wrapper = wrapper
    proc, window = vt3road.start_run(road, install, tmpdir, client_log, f"vt3update-{index}-killed", log,
                                     RELEASE_ID, 0)
    road.wrapper = None
    wait_for(lambda: road.check_alive(proc) or ready(install, tmpdir, log), 60, f"the point {title!r}",
             interval=0.002)
    os.kill(updater_pid(proc), signal.SIGKILL)
    vt3road.wait_exit(proc, 15)
    state = describe(install, tmpdir)
    first_requests = road.requests(log)

    proc, window = vt3road.start_run(road, install, tmpdir, client_log, f"vt3update-{index}-again", log,
                                     RELEASE_ID, len(first_requests))

    def finished():
        road.check_alive(proc)
        return not os.path.exists(os.path.join(install, "old_plugin.dll")) and \
            not road.compare_with_b_ignoring(install, UNTOUCHED)

    wait_for(finished, 60, "the second run to finish")
    time.sleep(0.3)
    leftovers = road.work_dirs(tmpdir)
    vt3road.close_window(road.display, window)
    vt3road.wait_exit(proc, 15)
    mirror.terminate()

    problems = road.compare_with_b_ignoring(install, UNTOUCHED)
    check(not problems, f"after the kill {title} ({state}) the installation is not release B: " +
          "; ".join(problems))
    check(os.access(os.path.join(install, vt3road.CLIENT_NAME), os.X_OK), "the client is no longer executable")
    after = vt3road.tree(install)
    for rel, digest in untouched_before.items():
        check(after.get(rel) == digest, f"{rel} changed")
    refetched = [p for p in road.requests(log, len(first_requests)) if not p.endswith("client_win32.ini")]
    return f"killed with {state}; the second run fetched {len(refetched)} files" + \
        (f"; work directories left: {leftovers}" if leftovers else "")



def stop_leftovers(road):
    """A failed point may leave its updater and mirror running."""
    for proc in list(road.procs):
        if proc.name.startswith(("vt3update", "mirror")) and proc.poll() is None:
            proc.kill()
            proc.wait()
    road.stop_clients()


def main():
    cases = [(title, lambda road, mirror_root, index=index, title=title, make=make:
              run_point(road, mirror_root, index, title, make))
             for index, (title, make) in enumerate(POINTS)]
    return vt3road.run_cases(__doc__, cases, RELEASE_ID, road_class=KillRoad, prefix="vt3-kill-", tail=2000,
                             after_case=stop_leftovers)


if __name__ == "__main__":
    sys.exit(main())
