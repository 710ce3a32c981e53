#!/usr/bin/env python3
"""End to end on Windows: the real vt3update.exe under Wine in an Xvfb
window, driven by xdotool, against vt3-versiond.exe and a python3 -m
http.server mirror serving a release made by vt3-publish.exe.

  test_wine.py --build BUILD_DIR --wine-run SCRIPT [--wineprefix DIR]
               [--fakeclient PATH] [--tasklist PATH] [--work DIR] [--case NAME]

Every Windows program runs through SCRIPT in a Wine prefix of the test's
own: --wineprefix (made on the first run and kept), else one below the work
folder. Wine gives the TEMP and TMP of the prefix's registry precedence over
those the environment hands over, so the test takes them out of its
prefix's registry; only then does each run get a temporary folder of its
own.

The standard user's cases run Wine as a Unix user without root's rights
(nobody through setpriv when the test runs as root, else the test's own
user) in a prefix of that user's own, so that a folder the user may not
write is really unwritable to the program. Wine keeps no access control
on its registry, so any user may hand a file to Windows' next start there:
a file in use whose removal could not be scheduled is not made here (the
record and its removal at the next start are tst_workdir's, under Wine).
"""

import glob
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from types import SimpleNamespace

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vt3road  # noqa: E402
from vt3road import CLIENT_NAME, RoadError, check, md5_of, read_text, wait_for  # noqa: E402

RELEASE_ID = "1733670000"
UPDATER = "vt3update.exe"
FINISHED_LINE = 'Update finished.Press "Start Voxtera3" run Voxtera3.'
SESSION_MANAGER = r"HKLM\System\CurrentControlSet\Control\Session Manager"
# How long the stand-in client and its copies run: longer than any case,
# which stops them itself.
CLIENT_SECONDS = "600"

# Taken out of the prefix's registry before the cases run: TEMP and TMP (see
# above), and whatever earlier runs left for Windows' next start, so that
# the cases see their own entries there.
PREFIX_SETTINGS = r"""REGEDIT4

[HKEY_CURRENT_USER\Environment]
"TEMP"=-
"TMP"=-

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Session Manager\Environment]
"TEMP"=-
"TMP"=-

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Session Manager]
"PendingFileRenameOperations"=-
"""


def native(path):
    """A path as the programs under Wine see it: drive Z: is the root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineRoad(vt3road.Road):
    """The road with the Windows build: programs named .exe, each started
    through the wine-run script in the test's prefix. A case may add files
    to releases A and B (a_extra, b_extra) before it publishes its own B."""

    APP_FILES = vt3road.APP_FILES + (UPDATER,)
    # A fresh prefix starts its network services with the first program that
    # opens a socket; on a busy machine that took more than ten seconds.
    patience = 4

    def __init__(self, *args, **kw):
        super().__init__(*args, **kw)
        self.prefix = None
        self.a_extra, self.b_extra = {}, {}
        # Programs a case started from an installation.
        self.held = []

    def release_a(self):
        return {**super().release_a(), **self.a_extra}

    def release_b(self):
        return {**super().release_b(), **self.b_extra}

    def app_programs(self):
        tasklist = self.options.tasklist or os.path.join(self.build, "standins", "tasklist.exe")
        return [(UPDATER, self.tool_path(UPDATER)), ("tasklist.exe", tasklist)]

    def tool_command(self, name):
        return self.wine(self.tool_path(name + ".exe"))

    def native_path(self, path):
        return native(path)

    def wine(self, *args):
        return [self.options.wine_run, *args]

    def run_wine(self, *args, timeout=120):
        """Runs a Windows program to its end; returns its output."""
        # Into files, not pipes: the services Wine starts beside the first
        # program inherit its handles and keep a pipe open long after.
        with tempfile.TemporaryFile(dir=self.logs) as out, tempfile.TemporaryFile(dir=self.logs) as err:
            code = subprocess.run(self.wine(*args), stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                  timeout=timeout).returncode
            out.seek(0)
            err.seek(0)
            if code != 0:
                raise RoadError(f"{' '.join(args)} failed ({code}): {err.read().decode(errors='replace')[-2000:]}")
            return out.read().decode(errors="replace")

    # --- the prefix ---------------------------------------------------------
    def begin(self):
        self.prefix = os.path.abspath(self.options.wineprefix or os.path.join(self.work, "wineprefix"))
        # Every program started from here, the wine-run script included,
        # finds the prefix in the environment.
        os.environ.update(WINEPREFIX=self.prefix, VT3_WINEPREFIX=self.prefix)
        os.makedirs(self.prefix, exist_ok=True)
        # The first Windows program starts Wine's desktop, which draws every
        # later window on the display it found then; without one, windows
        # cannot be made at all.
        self.start_xvfb()
        # One server for the whole test saves starting one for each program,
        # and ending it ends whatever a failed case left running.
        self.spawn("wineserver", ["wineserver", "--foreground", "--persistent"])
        if not os.path.exists(os.path.join(self.prefix, "system.reg")):
            self.say(f"Making the Wine prefix {self.prefix}")
            self.run_wine("wineboot", "--init", timeout=300)
        settings = os.path.join(self.work, "prefix.reg")
        with open(settings, "w") as f:
            f.write(PREFIX_SETTINGS)
        self.run_wine("regedit", "/s", native(settings))

    def start_xvfb(self):
        if not self.display:
            super().start_xvfb()
            os.environ["DISPLAY"] = self.display
        return self.display

    def close(self):
        if getattr(self, "standard_user", None):
            self.standard_user.close()
        if self.prefix:
            try:
                subprocess.run(["wineserver", "--kill"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               timeout=60)
            except subprocess.TimeoutExpired:
                print("warning: wineserver --kill did not return", file=sys.stderr)
        super().close()

    def pending_deletions(self):
        """The paths Windows is to delete at its next start, lower case."""
        try:
            out = self.run_wine("reg", "query", SESSION_MANAGER, "/v", "PendingFileRenameOperations")
        except RoadError:
            return set()  # no such value
        m = re.search(r"PendingFileRenameOperations\s+REG_MULTI_SZ\s+(.*)", out)
        # Pairs of source and target, "\0" between the strings; an empty
        # target means the source is deleted.
        items = m.group(1).strip().split("\\0") + [""] if m else []
        return {items[i].lower().replace("\\??\\", "", 1) for i in range(0, len(items) - 1, 2)
                if items[i] and not items[i + 1]}

    # --- Windows processes ----------------------------------------------------
    def windows_env(self, tmpdir, client_log):
        # Wine hands WINE<NAME> over as <NAME> where it keeps <NAME> for itself.
        return {"WINETMP": native(tmpdir), "WINETEMP": native(tmpdir),
                "VT3_FAKECLIENT_LOG": native(client_log), "VT3_FAKECLIENT_SECONDS": CLIENT_SECONDS}

    def start_updater(self, install, tmpdir, client_log, name="vt3update"):
        os.makedirs(tmpdir, exist_ok=True)
        env = dict(os.environ, **self.windows_env(tmpdir, client_log), QT_FORCE_STDERR_LOGGING="1",
                   DISPLAY=self.display)
        env.pop("QT_QPA_PLATFORM", None)
        return self.spawn(name, self.wine(os.path.join(install, UPDATER)), cwd=install, env=env)

    def start_program(self, name, path, tmpdir, log):
        """A Windows program of the installation, logging like the stand-in
        client; waits until it runs."""
        os.makedirs(tmpdir, exist_ok=True)
        env = dict(os.environ, **self.windows_env(tmpdir, log))
        proc = self.spawn(name, self.wine(path), cwd=os.path.dirname(path), env=env)
        self.held.append(proc)
        wait_for(lambda: self.check_alive(proc) or "started pid=" in read_text(log), 30, f"{name} to run")
        return proc

    def wine_processes(self, image):
        """Pids of the processes of this prefix running a program of that
        file name: Wine puts the Windows command line in place of its own."""
        mark = f"WINEPREFIX={self.prefix}".encode()
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/environ", "rb") as f:
                    if mark not in f.read().split(b"\0"):
                        continue
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    argv0 = f.read().split(b"\0")[0].decode(errors="replace").strip('"')
            except OSError:
                continue
            if re.split(r"[\\/]", argv0)[-1].lower() == image.lower() and not self.zombie(int(entry)):
                found.append(int(entry))
        return found

    def stop_clients(self):
        # The client logs its Windows pid; its process here is found by name.
        for pid in self.wine_processes(CLIENT_NAME) if self.prefix else []:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                continue
            wait_for(lambda: self.zombie(pid), 10, f"client {pid} to stop")
        self.client_pids = []

    # --- the log of a run --------------------------------------------------------
    def run_log(self, install):
        """The log the last update run on `install` left in the prefix's
        %LOCALAPPDATA%, told from other runs' by its application directory."""
        header = ("Application directory: " + native(install)).lower()
        pattern = os.path.join(self.prefix, "drive_c", "users", "*", "AppData", "Local", "**", "vt3update.log*")
        for path in sorted(glob.glob(pattern, recursive=True), key=os.path.getmtime, reverse=True):
            text = read_text(path)
            if any(line.lower().endswith(header) for line in text.splitlines()[:8]):
                return text
        return ""


def wait_finished(road, proc, install):
    """The run's log ends with the finishing line; it is written after the
    clear-up."""

    def finished():
        road.check_alive(proc)
        lines = road.run_log(install).splitlines()
        return lines and lines[-1].endswith(FINISHED_LINE)

    try:
        wait_for(finished, 120, "the update to finish", interval=0.5)
    except RoadError as e:
        raise RoadError(f"{e}; the run's log ends:\n" + "\n".join(road.run_log(install).splitlines()[-8:]))


def update(road, name, mirror_root, before=None):
    """A whole update run on a fresh installation of A whose mirror serves
    `mirror_root`; `before(install, tmpdir)` runs first. Returns what the
    checks need; the updater stays open on its finished run."""
    install, tmpdir, client_log = vt3road.prepare_run(road, name)
    mirror, port = road.start_http_mirror(mirror_root)
    road.write_mirrors(install, *road.dead_and_live_urls(port))
    held = before(install, tmpdir) if before else None
    proc, window = vt3road.start_run(road, install, tmpdir, client_log, "vt3update-" + name, mirror.log_path,
                                     RELEASE_ID, 0)
    wait_finished(road, proc, install)
    return SimpleNamespace(install=install, tmpdir=tmpdir, client_log=client_log, mirror=mirror, proc=proc,
                           window=window, held=held)


def close_finished(road, run):
    """A finished run's window closes without asking."""
    vt3road.close_window(road.display, run.window)
    check(vt3road.wait_exit(run.proc, 30) == 0, "the finished vt3update did not close")


def publish_variant(road, name, a_extra, b_extra):
    """Release B with files added, on a mirror folder of its own: the
    version server announces the same release everywhere."""
    road.a_extra, road.b_extra = a_extra, b_extra
    root = os.path.join(road.work, "mirror-" + name)
    road.publish_b(root, RELEASE_ID)
    return root


def case_full_update(road, mirror_root):
    run = update(road, "full", mirror_root)
    problems = road.compare_with_b(run.install)
    check(not problems, "installation is not release B: " + "; ".join(problems))
    check(road.work_dirs(run.tmpdir) == [], f"work directories left: {road.work_dirs(run.tmpdir)}")
    files = [p for p in road.requests(run.mirror.log_path) if not p.endswith("client_win32.ini")]
    fetched = sorted(p.split("/", 3)[3][:-len(".z")] for p in files)
    check(fetched == road.changed_in_b(), f"files fetched: {files}")

    def client():
        if road.client_started(run.client_log):
            return True
        road.press_last(run.proc, run.window, "alt+s")
        return False

    wait_for(client, 30, "the client to start after Alt+S", interval=1)
    code = vt3road.wait_exit(run.proc, 30)
    check(code == 0, f"vt3update exited with {code}")
    check(road.wine_processes(CLIENT_NAME), "the client did not outlive the updater")
    log = read_text(run.client_log)
    started = f"exe={native(run.install)}\\{CLIENT_NAME} ".lower()
    check(started in log.lower() and " args=0 " in log, f"client log: {log!r}")


def case_client_running(road, mirror_root):
    install, tmpdir, client_log = vt3road.prepare_run(road, "running")
    mirror, port = road.start_http_mirror(mirror_root)
    road.write_mirrors(install, *road.dead_and_live_urls(port))
    road.start_program("client", os.path.join(install, CLIENT_NAME), tmpdir, client_log)
    proc = road.start_updater(install, tmpdir, client_log, name="vt3update-running")
    window = vt3road.open_window(road, proc)
    vt3road.wait_version(road, proc)

    def warning():
        road.check_alive(proc)
        box = road.find_window("Warning")
        if not box:
            road.press(window, "alt+u")
        return box

    box = wait_for(warning, 60, "the Warning box", interval=1)
    road.press(box, "Return")
    wait_for(lambda: not road.find_window("Warning"), 15, "the Warning box to close")
    got = road.requests(mirror.log_path)
    check(got == [], f"fetched with the client running: {got}")
    check(vt3road.close_and_confirm(road, proc, window) == 0, "vt3update did not close")


def case_self_replacement(road, mirror_root):
    with open(road.tool_path(UPDATER), "rb") as f:
        old = f.read()
    old_digest = hashlib.md5(old).hexdigest()
    root = publish_variant(road, "self", {}, {UPDATER: old + b"\n\0release B build of the updater\n"})
    run = update(road, "self", root)
    problems = road.compare_with_b(run.install)
    # All that may stay beside the new updater is the old one, still running.
    leftovers = [p.split(": ", 1)[1] for p in problems if p.startswith("unexpected: ")]
    check(len(leftovers) == len(problems), "installation is not release B: " + "; ".join(problems))
    for rel in leftovers:
        check(md5_of(os.path.join(run.install, rel)) == old_digest, f"left in the installation: {rel}")
    close_finished(road, run)

    # The next start of the updater, now B's, or else Windows' next start
    # removes the old copy.
    proc = road.start_updater(run.install, run.tmpdir, run.client_log, name="vt3update-self-next")
    window = vt3road.open_window(road, proc)
    paths = [os.path.join(run.install, rel) for rel in leftovers]
    try:
        wait_for(lambda: not any(os.path.exists(p) for p in paths), 15, "the old updater to go")
        how = "removed at the next start"
    except RoadError:
        pending = road.pending_deletions()
        left = [p for p in paths if os.path.exists(p) and native(p).lower() not in pending]
        check(not left, f"old copy of the updater stays in the installation: {left}")
        how = "to be removed at the restart"
    check(vt3road.close_and_confirm(road, proc, window) == 0, "the new vt3update did not close")
    return f"old copy {how}" if leftovers else "no old copy left"


def case_file_in_use(road, mirror_root):
    with open(road.fakeclient, "rb") as f:
        program = f.read()
    old_plugin = program + b"\n\0plugin of release A\n"
    root = publish_variant(road, "in-use", {"plugin.exe": old_plugin},
                           {"plugin.exe": program + b"\n\0plugin of release B\n"})

    def run_plugin(install, tmpdir):
        return road.start_program("plugin", os.path.join(install, "plugin.exe"), tmpdir,
                                  os.path.join(os.path.dirname(install), "plugin.log"))

    run = update(road, "in-use", root, before=run_plugin)
    check(run.held.poll() is None, "plugin.exe ended during the update; it was to stay in use")
    problems = road.compare_with_b(run.install)
    check(not problems, "installation is not release B: " + "; ".join(problems))

    # The old plugin.exe went aside into the work directory, which could
    # then not be removed: both are left to Windows' next start.
    work = road.work_dirs(run.tmpdir)
    check(len(work) == 1, f"work directories left: {work}")
    backup = os.path.join(run.tmpdir, work[0], "plugin.exe.bak")
    check(os.path.isfile(backup) and md5_of(backup) == hashlib.md5(old_plugin).hexdigest(),
          f"no backup of the old plugin.exe: {sorted(os.listdir(os.path.join(run.tmpdir, work[0])))}")
    line = f"{native(backup)} is still in use; it will be removed at the next restart.".lower()
    log = road.run_log(run.install)
    check(any(entry.lower().endswith(line) for entry in log.splitlines()),
          f"no line about the backup in the log:\n{log}")
    pending = road.pending_deletions()
    check(native(backup).lower() in pending, f"backup not to be removed at the restart: {sorted(pending)}")
    close_finished(road, run)


def run_command(road, install, tmpdir, client_log, *args):
    """vt3update.exe of the installation with command-line options, to its
    end; returns its exit code and what it printed."""
    env = dict(os.environ, **road.windows_env(tmpdir, client_log))
    os.makedirs(tmpdir, exist_ok=True)
    with tempfile.TemporaryFile(dir=road.logs) as out:
        code = subprocess.run(road.wine(os.path.join(install, UPDATER), *args), stdout=out, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL, cwd=install, env=env, timeout=180).returncode
        out.seek(0)
        return code, out.read().decode(errors="replace")


def case_verify_repair(road, mirror_root):
    """--verify and --repair of vt3update.exe after an update, with a
    program of the release running and so held open all the while."""
    with open(road.fakeclient, "rb") as f:
        plugin = f.read() + b"\n\0plugin of releases A and B\n"
    root = publish_variant(road, "verify", {"plugin.exe": plugin}, {"plugin.exe": plugin})

    def run_plugin(install, tmpdir):
        return road.start_program("plugin", os.path.join(install, "plugin.exe"), tmpdir,
                                  os.path.join(os.path.dirname(install), "plugin.log"))

    run = update(road, "verify", root, before=run_plugin)
    close_finished(road, run)
    command = lambda *args: run_command(road, run.install, run.tmpdir, run.client_log, *args)  # noqa: E731
    code, said = command("--verify")
    check(code == 0, f"--verify after the update: exit {code}, {said!r}")

    with open(os.path.join(run.install, "readme.txt"), "ab") as f:
        f.write(b"changed by someone\n")
    os.remove(os.path.join(run.install, "data", "smileys.dat"))
    code, said = command("--verify", "--full")
    lines = [line for line in said.splitlines() if line.startswith(("missing:", "modified:", "extra:"))]
    check(code == 2 and lines == ["missing: data\\smileys.dat", "modified: readme.txt"],
          f"--verify of the damage: exit {code}, {said!r}")

    before = road.requests(run.mirror.log_path)
    code, said = command("--repair", "--quiet")
    check(code == 0 and "2 file(s) repaired." in said, f"--repair: exit {code}, {said!r}")
    fetched = sorted(p for p in road.requests(run.mirror.log_path)[len(before):] if not p.endswith(".ini"))
    check(fetched == [f"/{RELEASE_ID}/common_client/data/smileys.dat.z", f"/{RELEASE_ID}/common_client/readme.txt.z"],
          f"--repair fetched {fetched}")
    check(run.held.poll() is None, "plugin.exe ended; it was to stay in use")
    code, said = command("--verify", "--full")
    check(code == 0, f"--verify after the repair: exit {code}, {said!r}")


def case_signed_check(road, mirror_root):
    """--check of an installation that trusts a version key: the answer of
    vt3-versiond.exe signed with it is taken; an unsigned one is refused."""
    install, tmpdir, client_log = vt3road.prepare_run(road, "signed-check")
    key = road.make_version_key(os.path.join(road.work, "signed-check", "version-key"), install)
    reply_file = os.path.join(mirror_root, RELEASE_ID, "version.txt")

    def check_with(sign_key):
        # The test's own version server gives way to one of the case's.
        vt3road.stop_process(road.versiond)
        road.versiond, _ = road.start_versiond(reply_file, sign_key=sign_key)
        return run_command(road, install, tmpdir, client_log, "--check")

    code, said = check_with(key)
    check(code == 2 and f"Announced release: {RELEASE_ID}" in said, f"signed answer: exit {code}, {said!r}")
    code, said = check_with(None)
    check(code == 4 and "could not be verified" in said, f"unsigned answer: exit {code}, {said!r}")


# The user without root's rights who runs the standard user's cases.
NOBODY = 65534
NO_WRITE_LINE = "No write access to {}: updating this installation needs an administrator. Nothing was fetched."


class StandardUser:
    """Wine as a user who may write only its own folders, in a prefix of its
    own below the work folder; made on first use, its server ended with the
    road's."""

    def __init__(self, road):
        self.road = road
        self.as_root = os.geteuid() == 0
        self.home = os.path.join(road.work, "standard-user")
        self.prefix = os.path.join(self.home, "prefix")
        os.makedirs(self.prefix, exist_ok=True)
        if self.as_root:
            # The way down to its folders: the work folder is the test's.
            os.chmod(road.work, 0o755)
            self.give(self.home)
        self.env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "QT_QPA_PLATFORM")}
        self.env.update(HOME=self.home, WINEPREFIX=self.prefix, VT3_WINEPREFIX=self.prefix)
        self.run(["wineboot", "--init"], self.home, timeout=300)
        settings = os.path.join(self.home, "prefix.reg")
        with open(settings, "w") as f:
            f.write(PREFIX_SETTINGS)
        self.give(settings)
        self.run(["regedit", "/s", native(settings)], self.home)

    def give(self, path):
        """Makes `path` and what is below it the user's."""
        if not self.as_root:
            return
        for base, dirs, files in os.walk(path):
            for name in [base] + [os.path.join(base, n) for n in dirs + files]:
                os.chown(name, NOBODY, NOBODY)

    def drop(self):
        """What runs a command as the user."""
        return ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups"] if self.as_root else []

    def command(self, args):
        return self.drop() + [self.road.options.wine_run, *args]

    def run(self, args, cwd, extra_env=None, timeout=120):
        """Runs a Windows program as the user; returns (exit code, output)."""
        with tempfile.TemporaryFile() as out:
            code = subprocess.run(self.command(args), cwd=cwd, env=dict(self.env, **(extra_env or {})), stdout=out,
                                  stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, timeout=timeout).returncode
            out.seek(0)
            return code, out.read().decode(errors="replace")

    def close(self):
        subprocess.run(self.drop() + ["wineserver", "--kill"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)


def standard_user(road):
    if road.options.no_standard_user:
        return None
    if os.geteuid() == 0 and not shutil.which("setpriv"):
        return None
    if not getattr(road, "standard_user", None):
        road.standard_user = StandardUser(road)
    return road.standard_user


def one_mirror(install, port):
    with open(os.path.join(install, "mirrors.ini"), "w") as f:
        f.write(f"[mirrors]\nsize=2\n1\\mirror=local\n\n[local]\nurl=http://127.0.0.1:{port}/\nretries=1\n")


TLS_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support", "tls")
NGINX_CONF = """daemon off;
master_process off;
worker_processes 1;
pid {base}/nginx.pid;
error_log {base}/error.log warn;
events {{ worker_connections 256; }}
http {{
    log_format mirror '$server_protocol "GET $uri HTTP"';
    access_log {base}/access.log mirror;
    client_body_temp_path {base}/tmp; proxy_temp_path {base}/tmp; fastcgi_temp_path {base}/tmp;
    uwsgi_temp_path {base}/tmp; scgi_temp_path {base}/tmp;
    server {{
        listen 127.0.0.1:{port} ssl http2;
        ssl_certificate {tls}/server-trusted.pem;
        ssl_certificate_key {tls}/server-trusted.key;
        root {root};
    }}
}}
"""


def start_http2_mirror(road, root):
    """nginx over HTTPS with http2 on and the test CA's certificate, serving
    `root`; its log names the protocol of every answer."""
    base = os.path.join(road.work, "nginx")
    os.makedirs(os.path.join(base, "tmp"), exist_ok=True)
    port = vt3road.free_port()
    conf = os.path.join(base, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF.format(base=base, port=port, tls=TLS_DIR, root=root))
    proc = road.spawn("nginx", [shutil.which("nginx") or "/usr/sbin/nginx", "-p", base, "-c", conf])
    wait_for(lambda: road.check_alive(proc) or road.port_open(port), 10, "nginx to listen")
    return port, os.path.join(base, "access.log")


def trusting_test_ca(road, command):
    """`command` in a mount namespace whose /etc/ssl/certs also holds the
    test CA. Wine fills Windows' root store from there, and the updater
    trusts that store alone; the host's own is not touched."""
    certs = os.path.join(road.work, "certs")
    if not os.path.isdir(certs):
        shutil.copytree("/etc/ssl/certs", certs, symlinks=True)
        with open(os.path.join(TLS_DIR, "ca-trusted.pem")) as ca, \
                open(os.path.join(certs, "ca-certificates.crt"), "a") as bundle:
            bundle.write("\n" + ca.read())
    return ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
            'mount --bind "$0" /etc/ssl/certs && exec "$@"', certs, *command]


def case_http2_mirror(road, mirror_root):
    """A whole --update --quiet run of vt3update.exe from nginx over HTTPS
    with HTTP/2 on: every answer in HTTP/2, each file fetched once."""
    if os.geteuid() != 0 or not shutil.which("unshare"):
        return "skipped: the test CA reaches Wine's root store through a mount namespace, which needs root"
    if not (shutil.which("nginx") or os.path.exists("/usr/sbin/nginx")):
        return "skipped: nginx is not installed (Debian package nginx)"
    install, tmpdir, client_log = vt3road.prepare_run(road, "http2")
    port, log = start_http2_mirror(road, mirror_root)
    with open(os.path.join(install, "mirrors.ini"), "w") as f:
        f.write(f"[mirrors]\nsize=2\n1\\mirror=h2\n\n[h2]\nurl=https://127.0.0.1:{port}/\nretries=1\n")
    env = dict(os.environ, **road.windows_env(tmpdir, client_log))
    with tempfile.TemporaryFile(dir=road.logs) as out:
        command = trusting_test_ca(road, road.wine(os.path.join(install, UPDATER), "--update", "--quiet"))
        code = subprocess.run(command, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, cwd=install,
                              env=env, timeout=180).returncode
        out.seek(0)
        said = out.read().decode(errors="replace")
    check(code == 0, f"vt3update --update --quiet exited with {code}:\n{said[-2000:]}")
    problems = road.compare_with_b(install)
    check(not problems, "installation is not release B: " + "; ".join(problems))
    with open(log) as f:
        answers = f.read().splitlines()
    protocols = {line.split(" ", 1)[0] for line in answers}
    check(protocols == {"HTTP/2.0"}, f"protocols nginx logged: {protocols}")
    files = sorted(p for p in road.requests(log) if not p.endswith("client_win32.ini"))
    fetched = sorted(p.split("/", 3)[3][:-len(".z")] for p in files)
    check(fetched == road.changed_in_b(), f"files fetched: {files}")


def case_read_only_for_standard_user(road, mirror_root):
    user = standard_user(road)
    if not user:
        return "skipped: running as root without setpriv, there is no user to whom a folder is unwritable"
    install, tmpdir, _ = vt3road.prepare_run(road, "read-only")
    mirror, port = road.start_http_mirror(mirror_root)
    one_mirror(install, port)
    os.makedirs(tmpdir)
    user.give(tmpdir)
    # As under Program Files: there to read and run, not to write.
    for base, dirs, files in os.walk(install):
        os.chmod(base, 0o555)
        for name in files:
            os.chmod(os.path.join(base, name), 0o444)
    try:
        code, out = user.run([os.path.join(install, UPDATER), "--update", "--quiet"], install,
                             {"WINETMP": native(tmpdir), "WINETEMP": native(tmpdir)})
    finally:
        for base, dirs, files in os.walk(install):
            os.chmod(base, 0o755)
    check(code == 6, f"vt3update --update --quiet exited with {code}:\n{out[-2000:]}")
    line = NO_WRITE_LINE.format(native(install)).lower()
    check(any(entry.lower().endswith(line) for entry in out.splitlines()), f"no line naming the folder:\n{out}")
    check(road.requests(mirror.log_path) == [], f"the mirror was asked: {road.requests(mirror.log_path)}")
    check(road.work_dirs(tmpdir) == [], f"work directories made: {road.work_dirs(tmpdir)}")


def case_first_install_for_standard_user(road, mirror_root):
    user = standard_user(road)
    if not user:
        return "skipped: running as root without setpriv, there is no user to whom a folder is unwritable"
    base = os.path.join(road.work, "first-install")
    install, tmpdir = os.path.join(base, "install"), os.path.join(base, "tmp")
    client_log = os.path.join(base, "client.log")
    os.makedirs(install)
    os.makedirs(tmpdir)
    # Nothing but what a publisher hands out.
    shutil.copy2(road.tool_path(UPDATER), os.path.join(install, UPDATER))
    mirror, port = road.start_http_mirror(mirror_root)
    one_mirror(install, port)
    user.give(base)
    code, out = user.run([os.path.join(install, UPDATER), "--update", "--quiet", "--start-client"], install,
                         {"WINETMP": native(tmpdir), "WINETEMP": native(tmpdir),
                          "VT3_FAKECLIENT_LOG": native(client_log), "VT3_FAKECLIENT_SECONDS": "5"})
    check(code == 0, f"vt3update --update --quiet --start-client exited with {code}:\n{out[-2000:]}")
    for rel, data in road.release_b().items():
        path = os.path.join(install, rel)
        check(os.path.isfile(path) and md5_of(path) == hashlib.md5(data).hexdigest(), f"not installed as in B: {rel}")
    wait_for(lambda: "started pid=" in read_text(client_log), 30, "the client to start")


def after_case(road):
    road.a_extra, road.b_extra = {}, {}
    road.stop_clients()
    for proc in road.held:
        vt3road.stop_process(proc)
    road.held = []


def options(parser):
    parser.add_argument("--wine-run", required=True, help="the script that runs a Windows program under Wine")
    parser.add_argument("--wineprefix", help="the test's own Wine prefix, made when missing and kept")
    parser.add_argument("--tasklist", help="the process list stand-in built for Windows")
    parser.add_argument("--no-standard-user", action="store_true",
                        help="skip the cases that need a user without root's rights")


def main():
    for tool in ("wine", "wineserver"):
        if not shutil.which(tool):
            print(f"SKIP: {tool} is not installed")
            print("0 passed, 0 failed, 1 skipped")
            return vt3road.SKIPPED
    cases = [("case_full_update", case_full_update), ("case_client_running", case_client_running),
             ("case_self_replacement", case_self_replacement), ("case_file_in_use", case_file_in_use),
             ("case_verify_repair", case_verify_repair),
             ("case_read_only_for_standard_user", case_read_only_for_standard_user),
             ("case_first_install_for_standard_user", case_first_install_for_standard_user),
             ("case_signed_check", case_signed_check), ("case_http2_mirror", case_http2_mirror)]
    return vt3road.run_cases(__doc__, cases, RELEASE_ID, road_class=WineRoad, prefix="vt3-wine-", tail=3000,
                             after_case=after_case, options=options)


if __name__ == "__main__":
    sys.exit(main())
