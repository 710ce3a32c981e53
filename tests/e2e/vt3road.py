"""The road of one update, from outside: an installation of release A, a
release B made with vt3-publish, the version server, HTTP mirrors on
127.0.0.1, and the real vt3update in an X window driven by xdotool.

Shared by scripts/demo (which shows it) and the end-to-end tests (which
assert on it, through run_cases). Every process started here is stopped by Road.close()."""

import argparse
import ctypes
import hashlib
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback

VERSION_PORT = 17384
WINDOW_TITLE = "Voxtera3 Client Update"
QUESTION_TITLE = "Question"
CLIENT_NAME = "vt3client_win32.exe"
# Files of the updater itself; they are in the installation but in no release.
APP_FILES = ("vt3update", "tasklist.exe", "mirrors.ini", "trusted-keys.txt", "vt3update.state",
             "vt3update.version", "vt3update.manifest", "vt3update.manifest.sig", "vt3update.files")
APP_DIRS = ("translations",)

RELEASE_A_ID = "1733000000"
RELEASE_A_VERSION = "3.6.0"
RELEASE_B_VERSION = "3.6.1"


# ctest reports this exit status as a skipped test (SKIP_RETURN_CODE).
SKIPPED = 77


class RoadError(Exception):
    pass


class Failure(Exception):
    """A test's expectation that did not hold."""


def check(condition, text):
    if not condition:
        raise Failure(text)


def wait_for(condition, timeout, what, interval=0.1):
    """Polls `condition` until it returns something true; raises after
    `timeout` seconds, naming `what` was awaited."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise RoadError(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)


def stop_process(proc, grace=5):
    """Asks a process to end, and kills it when it has not after `grace` seconds."""
    if proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def md5_of(path):
    h = hashlib.md5()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def tree(root, skip_app=False, app_files=APP_FILES):
    """Relative path -> MD5 of every file below `root`; with `skip_app`,
    without the updater's own files (`app_files`, APP_DIRS)."""
    files = {}
    for base, dirs, names in os.walk(root):
        rel_base = os.path.relpath(base, root)
        if skip_app and rel_base == ".":
            dirs[:] = [d for d in dirs if d not in APP_DIRS]
        for name in names:
            rel = os.path.normpath(os.path.join(rel_base, name))
            if skip_app and rel in app_files:
                continue
            files[rel] = md5_of(os.path.join(base, name))
    return files


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


class XClientMessage(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int),
        ("serial", ctypes.c_ulong),
        ("send_event", ctypes.c_int),
        ("display", ctypes.c_void_p),
        ("window", ctypes.c_ulong),
        ("message_type", ctypes.c_ulong),
        ("format", ctypes.c_int),
        ("data", ctypes.c_long * 5),
    ]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessage), ("pad", ctypes.c_long * 24)]


def close_window(display, window):
    """Asks a window to close as a window manager's close button does
    (WM_DELETE_WINDOW); this xdotool can only destroy or kill windows."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.POINTER(XEvent)]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    dpy = x11.XOpenDisplay(display.encode())
    if not dpy:
        raise RoadError(f"cannot open display {display}")
    try:
        ev = XEvent()
        ev.xclient.type = 33  # ClientMessage
        ev.xclient.window = window
        ev.xclient.message_type = x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
        ev.xclient.format = 32
        ev.xclient.data[0] = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
        ev.xclient.data[1] = 0  # CurrentTime
        x11.XSendEvent(dpy, window, 0, 0, ctypes.byref(ev))
        x11.XFlush(dpy)
    finally:
        x11.XCloseDisplay(dpy)


class Road:
    # The updater's own files in an installation; a subclass for another
    # platform names its programs otherwise.
    APP_FILES = APP_FILES
    # How many times the usual time a program of the build may take to start
    # and answer: under an emulator they start slower.
    patience = 1

    def __init__(self, build_dir, work_dir, fakeclient=None, say=print):
        self.build = os.path.abspath(build_dir)
        self.work = os.path.abspath(work_dir)
        self.fakeclient = fakeclient or os.path.join(self.build, "fakeclient", CLIENT_NAME)
        self.say = say
        self.procs = []
        self.client_pids = []
        self.display = None
        self.logs = os.path.join(self.work, "logs")
        os.makedirs(self.logs, exist_ok=True)
        self.tool_path = lambda name: os.path.join(self.build, name)

    # --- the programs of the build ------------------------------------------
    def app_programs(self):
        """(name in the installation, file of the build) of the updater and
        of each program it brings along, the updater first."""
        return [(name, self.tool_path(name)) for name in ("vt3update", "tasklist.exe")]

    def tool_command(self, name):
        """The command that runs a tool of the build."""
        return [self.tool_path(name)]

    def native_path(self, path):
        """`path` as the build's programs spell it."""
        return path

    def begin(self):
        """Prepares what the programs of the build need before any runs;
        run_cases calls it first."""

    # --- processes -------------------------------------------------------
    def spawn(self, name, args, **kw):
        out = open(os.path.join(self.logs, name + ".log"), "wb")
        proc = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                start_new_session=True, **kw)
        proc.log_path = out.name
        proc.name = name
        self.procs.append(proc)
        return proc

    def stop_clients(self):
        """Stops the stand-in clients the updater started: a client still
        running would make the next update refuse to start."""
        for pid in self.client_pids:
            try:
                os.kill(pid, signal.SIGTERM)
            except (ProcessLookupError, PermissionError):
                continue
            wait_for(lambda: not os.path.exists(f"/proc/{pid}") or self.zombie(pid), 5, f"client {pid} to stop")
        self.client_pids = []

    @staticmethod
    def zombie(pid):
        try:
            with open(f"/proc/{pid}/stat") as f:
                return f.read().rsplit(")", 1)[1].split()[0] == "Z"
        except OSError:
            return True

    def close(self):
        try:
            self.stop_clients()
        except RoadError as e:
            print(f"warning: {e}", file=sys.stderr)
        for proc in reversed(self.procs):
            stop_process(proc)
        self.procs = []

    def check_alive(self, proc):
        if proc.poll() is not None:
            raise RoadError(f"{proc.name} exited with {proc.returncode}; see {proc.log_path}")

    # --- releases ----------------------------------------------------------
    def release_a(self):
        """The installed release: A's files, as an old installer left them."""
        with open(self.fakeclient, "rb") as f:
            client = f.read()
        return {
            CLIENT_NAME: client,
            "readme.txt": b"Voxtera 3 release A\n",
            "license.txt": b"Voxtera 3 licence text, unchanged between releases.\n",
            "data/sounds.dat": b"A" * 4096,
            "data/smileys.dat": b"smileys of release A\n",
            "old_plugin.dll": b"plugin that release B drops\n",
            "settings.cfg": b"[user]\nname=demo\n",
        }

    def release_b(self):
        """The published release: some files replaced, some added, the
        licence unchanged; old_plugin.dll deleted, settings.cfg kept."""
        with open(self.fakeclient, "rb") as f:
            client = f.read()
        return {
            # A program tolerates bytes after its end; they make B's copy differ.
            CLIENT_NAME: client + b"\n\0release B build marker\n",
            "readme.txt": b"Voxtera 3 release B: faster login, new themes.\n",
            "license.txt": b"Voxtera 3 licence text, unchanged between releases.\n",
            "data/sounds.dat": b"B" * 4096,
            "data/smileys.dat": b"smileys of release A\n",
            "data/themes/dark.theme": b"background=#202020\n" * 200,
            "codec.dll": bytes(range(256)) * 64,
        }

    def changed_in_b(self):
        """B's files that an installation of A lacks or holds otherwise:
        the only ones an update from A fetches."""
        a = self.release_a()
        return sorted(rel for rel, data in self.release_b().items() if a.get(rel) != data)

    RELEASE_B_DELETES = ("old_plugin.dll",)
    RELEASE_B_KEEPS = ("settings.cfg",)

    def make_installation(self, install, updater=None):
        if os.path.exists(install):
            shutil.rmtree(install)
        for rel, data in self.release_a().items():
            write(os.path.join(install, rel), data)
        os.chmod(os.path.join(install, CLIENT_NAME), 0o755)
        # The updater's own files: the build's application folder.
        for index, (name, built) in enumerate(self.app_programs()):
            source = updater if updater and index == 0 else built
            shutil.copy2(source, os.path.join(install, name))
        os.makedirs(os.path.join(install, "translations"))
        built = os.path.join(self.build, "translations")
        for name in os.listdir(built):
            if name.endswith(".qm"):
                shutil.copy2(os.path.join(built, name), os.path.join(install, "translations", name))

    def make_signing_key(self, keys_dir, install):
        """A key pair made with vt3-publish keygen; the installation trusts it."""
        result = subprocess.run(self.tool_command("vt3-publish") + ["keygen", "--out", self.native_path(keys_dir)],
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise RoadError(f"vt3-publish keygen failed ({result.returncode}):\n{result.stderr}")
        shutil.copy2(os.path.join(keys_dir, "vt3-signing.pub"), os.path.join(install, "trusted-keys.txt"))
        return os.path.join(keys_dir, "vt3-signing.key"), result.stdout

    def make_version_key(self, keys_dir, install):
        """A version key made with vt3-publish keygen --role version; the
        installation trusts it for the version server's answers."""
        result = subprocess.run(self.tool_command("vt3-publish") + ["keygen", "--out", self.native_path(keys_dir),
                                                                    "--role", "version"],
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise RoadError(f"vt3-publish keygen --role version failed ({result.returncode}):\n{result.stderr}")
        with open(os.path.join(keys_dir, "vt3-version.pub"), "rb") as pub, \
                open(os.path.join(install, "trusted-keys.txt"), "ab") as trusted:
            trusted.write(pub.read())
        return os.path.join(keys_dir, "vt3-version.key")

    def publish_b(self, mirror_root, release_id, sign_key=None, previous=None):
        source = os.path.join(self.work, "release-b")
        if os.path.exists(source):
            shutil.rmtree(source)
        for rel, data in self.release_b().items():
            write(os.path.join(source, rel), data)
        os.chmod(os.path.join(source, CLIENT_NAME), 0o755)
        args = self.tool_command("vt3-publish") + [
            "--source", self.native_path(source), "--out", self.native_path(mirror_root),
            "--release-id", release_id, "--version", RELEASE_B_VERSION]
        for p in self.RELEASE_B_DELETES:
            args += ["--delete", p]
        for p in self.RELEASE_B_KEEPS:
            args += ["--keep", p]
        if sign_key:
            args += ["--sign-key", self.native_path(sign_key)]
        if previous:
            args += ["--previous", self.native_path(previous)]
        result = subprocess.run(args, capture_output=True, text=True)
        if result.returncode != 0:
            raise RoadError(f"vt3-publish failed ({result.returncode}):\n{result.stderr}")
        return source, result.stdout

    # --- servers -----------------------------------------------------------
    def start_versiond(self, reply_file, host="127.0.0.1", spawn=None, sign_key=None):
        """Starts vt3-versiond on the version port of `host` (through
        `spawn`, for a server on another host), signing its answers with
        `sign_key` when given; another version server (a test run
        elsewhere) may hold the port for a while."""
        spawn = spawn or self.spawn
        with open(reply_file, "rb") as f:
            expected = f.read().strip()
        signing = ["--sign-key", self.native_path(sign_key)] if sign_key else []
        deadline = time.monotonic() + 30
        while True:
            proc = spawn("versiond", self.tool_command("vt3-versiond") + [
                "--reply-file", self.native_path(reply_file), "--bind", host, "--port", str(VERSION_PORT)] + signing)

            def answers():
                if proc.poll() is not None:
                    return "exited"
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                    s.settimeout(0.3)
                    s.sendto(b"3", (host, VERSION_PORT))
                    try:
                        got = s.recvfrom(2048)[0]
                    except OSError:
                        return None
                # Ours, not another server's that still holds the port. A
                # signed answer carries its time and signature after a ",".
                record = got.strip().split(b",")[0] if sign_key and b",t=" in got else got.strip()
                return got if record == expected and proc.poll() is None else None

            reply = wait_for(answers, 10 * self.patience, "vt3-versiond to answer")
            if reply != "exited":
                return proc, reply.decode("utf-8", "replace")
            if proc in self.procs:
                self.procs.remove(proc)
            if time.monotonic() > deadline:
                raise RoadError(f"vt3-versiond could not start: {read_text(proc.log_path).strip()}")
            time.sleep(0.5)

    def wait_http(self, proc, port, host="127.0.0.1"):
        def up():
            self.check_alive(proc)
            try:
                with socket.create_connection((host, port), timeout=0.3):
                    return True
            except OSError:
                return False

        wait_for(up, 10, f"the mirror on port {port}")

    def start_http_mirror(self, root, host="127.0.0.1", spawn=None):
        """The real static server, as a maker would run it (through `spawn`,
        on another host)."""
        spawn = spawn or self.spawn
        for _ in range(5):
            port = free_port()
            proc = spawn(f"mirror-{port}", [sys.executable, "-m", "http.server", "--bind", host,
                                            "--directory", root, str(port)])
            try:
                self.wait_http(proc, port, host)
                return proc, port
            except RoadError:
                if proc.poll() is None:
                    raise
        raise RoadError("could not start python3 -m http.server")

    def start_drip_mirror(self, root, name, drips=(), holds=(), stalls=()):
        """A mirror of our own (dripserver.py) that is slow or stalls on
        chosen paths and logs every request; returns (process, port, log)."""
        port_file = os.path.join(self.work, name + ".port")
        log = os.path.join(self.logs, name + "-requests.log")
        for f in (port_file, log):
            if os.path.exists(f):
                os.remove(f)
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "dripserver.py")
        args = [sys.executable, script, "--directory", root, "--port-file", port_file, "--log", log]
        for option, rules in (("--drip", drips), ("--hold", holds), ("--stall", stalls)):
            for rule in rules:
                args += [option, rule]
        proc = self.spawn(name, args)

        def port():
            self.check_alive(proc)
            return os.path.exists(port_file) and int(open(port_file).read())

        p = wait_for(port, 10, f"the mirror {name}")
        self.wait_http(proc, p)
        return proc, p, log

    def start_stall_mirror(self, root, stall_path):
        return self.start_drip_mirror(root, "stall", stalls=[stall_path])

    @staticmethod
    def dead_and_live_urls(live_port):
        """A closed port for the dead mirror, chosen so that its URL sorts
        first: the updater tries mirrors in URL order."""
        live = f"http://127.0.0.1:{live_port}/"
        for _ in range(100):
            dead = f"http://127.0.0.1:{free_port()}/"
            if dead < live:
                return dead, live
        # Every free port sorted after the live one: a lower port nobody has.
        for candidate in range(1024, live_port):
            dead = f"http://127.0.0.1:{candidate}/"
            if dead < live and not Road.port_open(candidate):
                return dead, live
        raise RoadError("found no closed port whose URL sorts before the mirror's")

    @staticmethod
    def port_open(port):
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return True
        except OSError:
            return False

    @staticmethod
    def write_mirrors(install, dead_url, live_url, parallel=None):
        """parallel: [transfers] parallel=, left to the updater's default
        when None."""
        text = ("[mirrors]\nsize=3\n1\\mirror=dead\n2\\mirror=local\n\n"
                f"[dead]\nurl={dead_url}\nretries=1\n\n"
                f"[local]\nurl={live_url}\nretries=2\n")
        if parallel is not None:
            text += f"\n[transfers]\nparallel={parallel}\n"
        with open(os.path.join(install, "mirrors.ini"), "w") as f:
            f.write(text)
        return text

    # --- the window ----------------------------------------------------------
    def start_xvfb(self):
        r, w = os.pipe()
        proc = self.spawn("xvfb", ["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                          pass_fds=(w,))
        os.close(w)
        number = b""
        deadline = time.monotonic() + 15
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(r, 16)
            if not chunk:
                break
            number += chunk
        os.close(r)
        if not number.strip():
            raise RoadError(f"Xvfb did not start; see {proc.log_path}")
        self.display = ":" + number.decode().strip()
        return self.display

    def xdotool(self, *args, check=True):
        env = dict(os.environ, DISPLAY=self.display)
        result = subprocess.run(["xdotool", *args], capture_output=True, text=True, env=env, timeout=30)
        if check and result.returncode != 0:
            raise RoadError(f"xdotool {' '.join(args)} failed: {result.stderr.strip()}")
        return result.stdout

    def find_window(self, title):
        out = self.xdotool("search", "--onlyvisible", "--name", f"^{re.escape(title)}$", check=False)
        ids = out.split()
        return int(ids[-1]) if ids else None

    def focus(self, window):
        self.xdotool("windowfocus", "--sync", str(window))

    def press(self, window, keys, focus=True):
        if focus:
            self.focus(window)
        self.xdotool("key", "--clearmodifiers", keys)

    def press_last(self, proc, window, keys):
        """Presses a key that makes the program quit: the window may be
        gone by the time the key is pressed again."""
        if proc.poll() is not None:
            return
        try:
            self.press(window, keys)
        except (RoadError, subprocess.TimeoutExpired):
            if proc.poll() is None:
                raise

    def screenshot(self, path, window=None):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        env = dict(os.environ, DISPLAY=self.display)
        target = str(window) if window else "root"
        subprocess.run(["import", "-window", target, path], check=True, env=env, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    @staticmethod
    def data_dir(install):
        """The user's data folder of an installation's runs (XDG_DATA_HOME)."""
        return os.path.join(os.path.dirname(install), "data")

    def disk_log(self, install):
        return os.path.join(self.data_dir(install), "vt3update", "vt3update.log")

    def start_updater(self, install, tmpdir, client_log, name="vt3update", args=(), display=True):
        os.makedirs(tmpdir, exist_ok=True)
        env = dict(os.environ)
        env.pop("QT_QPA_PLATFORM", None)
        if not display:
            env.pop("DISPLAY", None)
            env.pop("WAYLAND_DISPLAY", None)
        env.update({"TMPDIR": tmpdir, "VT3_FAKECLIENT_LOG": client_log, "VT3_FAKECLIENT_SECONDS": "4",
                    "QT_FORCE_STDERR_LOGGING": "1", "XDG_DATA_HOME": self.data_dir(install)})
        if self.display and display:
            env["DISPLAY"] = self.display
        return self.spawn(name, [os.path.join(install, "vt3update"), *args], cwd=install, env=env)

    def client_started(self, client_log):
        """Pid of the client once its start line is in the log."""
        if not os.path.exists(client_log):
            return None
        with open(client_log) as f:
            m = re.search(r"started pid=(\d+)", f.read())
        if not m:
            return None
        pid = int(m.group(1))
        if pid not in self.client_pids:
            self.client_pids.append(pid)
        return pid

    @staticmethod
    def requests(log_path, start=0):
        """Request paths the mirror logged, from line `start` on."""
        if not os.path.exists(log_path):
            return []
        with open(log_path, errors="replace") as f:
            lines = f.read().splitlines()[start:]
        return [m.group(1) for m in (re.search(r'"GET (\S+) HTTP', line) for line in lines) if m]

    @staticmethod
    def work_dirs(tmpdir):
        return sorted(d for d in os.listdir(tmpdir) if d.startswith("voxtera_temp_"))

    # --- verdicts -----------------------------------------------------------
    def compare_with_b(self, install):
        """Differences between the installation and release B, as texts;
        empty when the installation is release B."""
        problems = []
        expected = {rel: hashlib.md5(data).hexdigest() for rel, data in self.release_b().items()}
        # A release may carry a file of the updater's own; it is then compared.
        actual = tree(install, skip_app=True, app_files=tuple(set(self.APP_FILES) - set(expected)))
        for rel, digest in sorted(expected.items()):
            if rel not in actual:
                problems.append(f"missing: {rel}")
            elif actual[rel] != digest:
                problems.append(f"differs from release B: {rel}")
        for rel in self.RELEASE_B_DELETES:
            if rel in actual:
                problems.append(f"not deleted: {rel}")
        kept = tree(install)
        for rel in self.RELEASE_B_KEEPS:
            if rel not in kept or kept[rel] != hashlib.md5(self.release_a()[rel]).hexdigest():
                problems.append(f"not kept as it was: {rel}")
        for rel in sorted(set(actual) - set(expected) - set(self.RELEASE_B_KEEPS)):
            problems.append(f"unexpected: {rel}")
        return problems

    @staticmethod
    def changes(before, after):
        lines = []
        for rel in sorted(set(before) | set(after)):
            if rel not in before:
                lines.append(f"  added     {rel}")
            elif rel not in after:
                lines.append(f"  deleted   {rel}")
            elif before[rel] != after[rel]:
                lines.append(f"  replaced  {rel}")
            else:
                lines.append(f"  unchanged {rel}")
        return lines


def install_signal_handlers():
    """Turns the usual stop signals into an exception so `finally` blocks
    stop the processes."""

    def stop(signum, frame):
        raise SystemExit(128 + signum)

    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, stop)


# --- one run in a headless window ------------------------------------------------

def read_text(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def open_window(road, proc):
    def window():
        road.check_alive(proc)
        return road.find_window(WINDOW_TITLE)

    return wait_for(window, 20 * road.patience, "the updater's window")


def wait_version(road, proc):
    """Waits for the version client's reply line on the updater's debug
    output; returns False when it did not show (the run still goes on:
    the update key is pressed until the button takes it)."""
    try:
        wait_for(lambda: road.check_alive(proc) or "reply:" in read_text(proc.log_path), 12 * road.patience,
                 "the version reply")
        return True
    except RoadError:
        return False


def start_update(road, proc, window, mirror_log, release_id, since):
    """Presses Alt+U until the mirror has seen the manifest request: the
    button takes the key only once the version has been shown."""
    manifest = f"/{release_id}/client_win32.ini"

    def started():
        road.check_alive(proc)
        if manifest in road.requests(mirror_log, since):
            return True
        road.press(window, "alt+u")
        return False

    wait_for(started, 20 * road.patience, "the update to start (manifest request on the mirror)", interval=0.5)


def start_run(road, install, tmpdir, client_log, name, mirror_log, release_id, since):
    """Starts the updater on an installation, waits for its window and the
    version, and presses the update key until the manifest is asked for;
    returns (process, window)."""
    proc = road.start_updater(install, tmpdir, client_log, name=name)
    window = open_window(road, proc)
    wait_version(road, proc)
    start_update(road, proc, window, mirror_log, release_id, since)
    return proc, window


def settle():
    # A state change on disk is seen before the window has painted it.
    time.sleep(0.5)


def close_and_confirm(road, proc, window):
    """Closes the window during a run and answers the abort question Yes."""
    close_window(road.display, window)

    def question():
        road.check_alive(proc)
        return road.find_window(QUESTION_TITLE)

    box = wait_for(question, 10, "the abort question")
    road.press(box, "alt+y")
    return wait_exit(proc, 15)


def wait_exit(proc, timeout):
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        raise RoadError(f"{proc.name} did not exit within {timeout} s")


# --- the demo -----------------------------------------------------------------------

def demo(build_dir, demo_dir, headless, quiet=False):
    install_signal_handlers()
    demo_dir = os.path.abspath(demo_dir)
    if os.path.exists(demo_dir):
        shutil.rmtree(demo_dir)
    road = Road(build_dir, demo_dir)
    install = os.path.join(demo_dir, "install")
    mirror_root = os.path.join(demo_dir, "mirror")
    tmpdir = os.path.join(demo_dir, "tmp")
    screens = os.path.join(demo_dir, "screens")
    client_log = os.path.join(demo_dir, "client.log")
    release_id = str(int(time.time()))
    try:
        road.make_installation(install)
        before = tree(install, skip_app=True)
        print(f"Installation of release A ({RELEASE_A_VERSION}) in {install}")
        sign_key, keygen = road.make_signing_key(os.path.join(demo_dir, "keys"), install)
        print(f"\nSigning key made with vt3-publish keygen; {install}/trusted-keys.txt trusts it:")
        print(keygen.rstrip())
        # Release A's files as its installer left them: B brings patches
        # from them beside its full files.
        release_a = os.path.join(demo_dir, "release-a")
        for rel, data in road.release_a().items():
            write(os.path.join(release_a, rel), data)
        source, summary = road.publish_b(mirror_root, release_id, sign_key, previous=release_a)
        print(f"\nPublished release B ({RELEASE_B_VERSION}) with vt3-publish --previous {release_a}:")
        print(summary.rstrip())
        reply_file = os.path.join(mirror_root, release_id, "version.txt")
        _, reply = road.start_versiond(reply_file)
        print(f"\nvt3-versiond on UDP port {VERSION_PORT} answers: {reply}")
        mirror, port = road.start_http_mirror(mirror_root)
        dead, live = road.dead_and_live_urls(port)
        text = road.write_mirrors(install, dead, live)
        print(f"python3 -m http.server serves {mirror_root} at {live}")
        print(f"mirrors.ini (the first mirror is dead, to show the fail-over):\n{text}")

        mirror_log = mirror.log_path
        if quiet:
            print("Unattended: vt3update --update --quiet --start-client, with no display at all;"
                  " its log lines follow.")
            proc = road.start_updater(install, tmpdir, client_log, args=("--update", "--quiet", "--start-client"),
                                      display=False)
            code = wait_exit(proc, 120)
            print(read_text(proc.log_path).rstrip())
            wait_for(lambda: road.client_started(client_log), 15, "the client to start")
        elif headless:
            road.start_xvfb()
            print(f"No display wanted: running under Xvfb {road.display}, keys pressed with xdotool.")
            proc = road.start_updater(install, tmpdir, client_log)
            window = open_window(road, proc)
            wait_version(road, proc)
            settle()
            road.screenshot(os.path.join(screens, "1-version.png"), window)
            start_update(road, proc, window, mirror_log, release_id, 0)
            road.press(window, "alt+d")
            settle()
            road.screenshot(os.path.join(screens, "2-log.png"), window)
            wait_for(lambda: road.check_alive(proc) or (not road.work_dirs(tmpdir) and not os.path.exists(
                os.path.join(install, road.RELEASE_B_DELETES[0]))), 60, "the update to finish")
            settle()
            road.screenshot(os.path.join(screens, "3-finished.png"), window)

            def client():
                if road.client_started(client_log):
                    return True
                road.press_last(proc, window, "alt+s")
                return False

            try:
                wait_for(client, 15, "the client to start (Alt+S)", interval=0.5)
            except RoadError as e:
                print(f"demo: {e}", file=sys.stderr)
            code = wait_exit(proc, 15)
            print(f"Screenshots: {screens}/1-version.png 2-log.png 3-finished.png")
        else:
            print("Press Update in the window, then Start Voxtera3 when it has finished.")
            proc = road.start_updater(install, tmpdir, client_log)
            code = proc.wait()
            road.client_started(client_log)

        print(f"\nvt3update exited with {code}.")
        print("Requests the mirror served:")
        for path in road.requests(mirror_log):
            print(f"  GET {path}")
        pid = road.client_started(client_log)
        print("The client started: " + (read_text(client_log).strip() if pid else "no"))
        if not pid:
            installed = os.path.join(install, CLIENT_NAME)
            if os.path.exists(installed) and not os.access(installed, os.X_OK):
                print(f"  ({installed} is not executable)")
        print("\nWhat changed in the installation:")
        print("\n".join(road.changes(before, tree(install, skip_app=True))))
        problems = road.compare_with_b(install)
        if problems:
            print("\nThe installation is NOT release B:\n  " + "\n  ".join(problems))
            return 1
        if code != 0 or not pid:
            print("\nThe installation is release B, but the updater or the client did not finish as expected.")
            return 1
        print(f"\nThe installation in {install} is now release B.")
        return 0
    except RoadError as e:
        print(f"demo: {e}", file=sys.stderr)
        if road.display:
            shot = os.path.join(screens, "failed.png")
            road.screenshot(shot)
            print(f"demo: the screen at that moment: {shot}", file=sys.stderr)
        print(f"demo: logs of every process in {road.logs}", file=sys.stderr)
        return 1
    finally:
        road.close()


def close_road(road, failed, work, keep_work, tail=3000):
    """Stops what the road started; after a failure prints the tail of every
    log it kept, else removes the work folder unless asked to keep it."""
    road.close()
    if failed:
        print(f"Logs kept in {road.logs}")
        for name in sorted(n for n in os.listdir(road.logs) if n.endswith(".log")):
            print(f"--- {name}")
            print(read_text(os.path.join(road.logs, name))[-tail:])
    elif not keep_work:
        shutil.rmtree(work, ignore_errors=True)


# --- the end-to-end tests' driver ----------------------------------------------------

def hold_display(display):
    """Keeps a connection to the X server for the whole test: an X server
    starts over when its last client goes, and an updater that closed or
    was killed may be the last one, so the next start could find no
    display."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    connection = x11.XOpenDisplay(display.encode())
    if not connection:
        raise RoadError(f"cannot open display {display}")
    return connection


def prepare_run(road, name, updater=None):
    """A fresh installation of release A below the work folder (with
    `updater` as its vt3update, when given); returns (installation, TMPDIR
    of the run, the client's log)."""
    base = os.path.join(road.work, name)
    install = os.path.join(base, "install")
    road.make_installation(install, updater)
    return install, os.path.join(base, "tmp"), os.path.join(base, "client.log")


def run_cases(doc, cases, release_id, road_class=Road, prefix="vt3-e2e-", tail=3000, after_case=None,
              options=None):
    """The command line of an end-to-end test: release B published under
    release_id, the version server and Xvfb started, then every case as
    (title, function(road, mirror_root)). A case returning a text starting
    with "skipped" counts as skipped; any other text is shown with the pass.
    `options(parser)` adds a test's own options; the road finds them all in
    road.options. Returns the exit status."""
    parser = argparse.ArgumentParser(description=doc)
    parser.add_argument("--build", required=True, help="the build's application folder")
    parser.add_argument("--fakeclient", help="the stand-in vt3client_win32.exe")
    parser.add_argument("--work", help="keep the run's files here instead of a temporary folder")
    parser.add_argument("--case", help="run only the cases whose title contains this")
    parser.add_argument("--topology-updater", help="vt3update built to ask the version server at --topology-server")
    parser.add_argument("--topology-server", default="10.217.0.1", help="first address of a private /30")
    if options:
        options(parser)
    args = parser.parse_args()
    install_signal_handlers()

    for tool in ("Xvfb", "xdotool"):
        if not shutil.which(tool):
            print(f"SKIP: {tool} is not installed")
            print("0 passed, 0 failed, 1 skipped")
            return SKIPPED

    work = args.work or tempfile.mkdtemp(prefix=prefix)
    road = road_class(args.build, work, fakeclient=args.fakeclient)
    road.topology_updater, road.topology_server = args.topology_updater, args.topology_server
    road.options = args
    passed = failed = skipped = 0
    try:
        road.begin()
        mirror_root = os.path.join(work, "mirror")
        road.publish_b(mirror_root, release_id)
        road.versiond, _ = road.start_versiond(os.path.join(mirror_root, release_id, "version.txt"))
        road.start_xvfb()
        road.held_display = hold_display(road.display)
        for title, case in cases:
            if args.case and args.case not in title:
                continue
            started = time.monotonic()
            try:
                result = case(road, mirror_root)
                if result and result.startswith("skipped"):
                    print(f"SKIP: {title}: {result}")
                    skipped += 1
                else:
                    detail = f": {result}" if result else ""
                    print(f"PASS: {title}{detail} ({time.monotonic() - started:.1f} s)")
                    passed += 1
            except Exception as e:
                if isinstance(e, (Failure, RoadError)):
                    print(f"FAIL: {title}: {e}")
                else:
                    print(f"FAIL: {title}:")
                    traceback.print_exc(file=sys.stdout)
                failed += 1
                shot = os.path.join(road.logs, title.replace(" ", "_") + ".png")
                try:
                    road.screenshot(shot)
                    print(f"  screen at the failure: {shot}")
                except Exception:
                    pass
            finally:
                if after_case:
                    after_case(road)
    except RoadError as e:
        print(f"FAIL: setup: {e}")
        failed += 1
    finally:
        close_road(road, failed, work, args.work, tail=tail)
    print(f"{passed} passed, {failed} failed, {skipped} skipped")
    return 1 if failed else 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="Runs the update demo.")
    parser.add_argument("--build", required=True)
    parser.add_argument("--dir", required=True)
    parser.add_argument("--headless", action="store_true")
    parser.add_argument("--quiet", action="store_true", help="update with vt3update --update --quiet, no window")
    a = parser.parse_args()
    sys.exit(demo(a.build, a.dir, a.headless or not os.environ.get("DISPLAY"), a.quiet))
