"""What the benchmarks share: building the Release tree they run, writing
and publishing releases, running one update in an Xvfb window with its
window-answer and memory figures, and leaving both sides of a comparison the
same page cache to start from, and the nginx mirror. bench_update, bench_far
and bench_repair import it."""

import ctypes
import os
import re
import select
import shutil
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.environ.get("BENCH_SOURCE", os.path.join(HERE, "..")))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
import vt3road  # noqa: E402

# Files of 1-16 KiB for the many-files release.
SMALL_MIN = 1024
SMALL_MAX = 16 * 1024
# The many small files are spread over this many folders.
SMALL_DIRS = 50
PING_INTERVAL = 0.05
RUN_TIMEOUT = 1800
MB = 1 << 20


def env_int(name, default):
    return int(os.environ.get(name, default))


# --- preparation -------------------------------------------------------------------

def install_packages(packages):
    subprocess.run(["bash", "-c", f'source "{SOURCE}/scripts/deps.sh" && vt3_install_deps {packages}'],
                   check=True)


def build(build_dir):
    env = dict(os.environ)
    env.setdefault("CCACHE_DIR", "/work/.ccache" if os.path.isdir("/work/.ccache") else
                   os.path.expanduser("~/.ccache"))
    env.setdefault("CCACHE_BASEDIR", os.path.dirname(SOURCE))
    subprocess.run(["cmake", "-S", SOURCE, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DVT3_BUILD_TESTS=OFF",
                    "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"], check=True, env=env, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j2", "--target", "vt3update", "vt3_tasklist", "vt3-publish",
                    "vt3-versiond", "vt3_translations"], check=True, env=env, stdout=subprocess.DEVNULL)


def write_mixed(path, size, rng):
    """Half random bytes, half a repeated text: compresses to about half."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    half = size // 2
    pattern = (f"{os.path.basename(path)} repetitive part of a release file\n" * 64).encode()
    with open(path, "wb") as f:
        left = half
        while left > 0:
            n = min(left, MB)
            f.write(rng.randbytes(n))
            left -= n
        left = size - half
        while left > 0:
            chunk = pattern * (min(left, MB) // len(pattern) + 1)
            f.write(chunk[:min(left, MB)])
            left -= min(left, MB)


class Release:
    def __init__(self, name, release_id, files):
        self.name = name
        self.id = release_id
        self.files = files  # install name -> size

    def source(self, work):
        return os.path.join(work, "src-" + self.name)


def make_release(work, publish, release, rng, changed_from=None, changed=()):
    """Writes the release's source files (or copies them from another
    release, changing the named ones) and publishes it."""
    src = release.source(work)
    shutil.rmtree(src, ignore_errors=True)
    for rel, size in release.files.items():
        target = os.path.join(src, rel)
        if changed_from and rel not in changed:
            os.makedirs(os.path.dirname(target), exist_ok=True)
            os.link(os.path.join(changed_from.source(work), rel), target)
        else:
            write_mixed(target, size, rng)
    mirror = os.path.join(work, "mirror")
    result = subprocess.run([publish, "--source", src, "--out", mirror, "--release-id", release.id, "--version",
                             "bench-" + release.name], capture_output=True, text=True)
    if result.returncode != 0:
        raise vt3road.RoadError(f"vt3-publish failed for {release.name}: {result.stderr}")


# --- measuring the window and the process ------------------------------------------------

class Pinger(threading.Thread):
    """Sends _NET_WM_PING to a window and records the longest time until
    its reply appears on the root window."""

    # Qt sends the reply to the root window for StructureNotify and
    # SubstructureRedirect; selecting the notify masks on the root sees it
    # without taking the window manager's place.
    STRUCTURE_NOTIFY_MASK = 1 << 17
    SUBSTRUCTURE_NOTIFY_MASK = 1 << 19
    CLIENT_MESSAGE = 33

    def __init__(self, display, window):
        super().__init__(daemon=True)
        self.display = display
        self.window = window
        self.stopping = threading.Event()
        self.longest = 0.0
        self.pings = 0
        self.error = None

    def run(self):
        try:
            self.loop()
        except Exception as e:  # reported by the caller
            self.error = e

    def loop(self):
        x11 = ctypes.CDLL("libX11.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XDefaultRootWindow.restype = ctypes.c_ulong
        x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
        x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                   ctypes.POINTER(vt3road.XEvent)]
        x11.XFlush.argtypes = [ctypes.c_void_p]
        x11.XPending.argtypes = [ctypes.c_void_p]
        x11.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.POINTER(vt3road.XEvent)]
        x11.XConnectionNumber.argtypes = [ctypes.c_void_p]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        dpy = x11.XOpenDisplay(self.display.encode())
        if not dpy:
            raise vt3road.RoadError(f"cannot open display {self.display}")
        try:
            root = x11.XDefaultRootWindow(dpy)
            protocols = x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
            ping = x11.XInternAtom(dpy, b"_NET_WM_PING", 0)
            x11.XSelectInput(dpy, root, self.STRUCTURE_NOTIFY_MASK | self.SUBSTRUCTURE_NOTIFY_MASK)
            fd = x11.XConnectionNumber(dpy)
            seq = 0
            while not self.stopping.is_set():
                seq += 1
                ev = vt3road.XEvent()
                ev.xclient.type = self.CLIENT_MESSAGE
                ev.xclient.window = self.window
                ev.xclient.message_type = protocols
                ev.xclient.format = 32
                ev.xclient.data[0] = ping
                ev.xclient.data[1] = seq
                ev.xclient.data[2] = self.window
                sent = time.monotonic()
                x11.XSendEvent(dpy, self.window, 0, 0, ctypes.byref(ev))
                x11.XFlush(dpy)
                answered = False
                while not answered and not self.stopping.is_set():
                    while x11.XPending(dpy):
                        got = vt3road.XEvent()
                        x11.XNextEvent(dpy, ctypes.byref(got))
                        c = got.xclient
                        if c.type == self.CLIENT_MESSAGE and c.message_type == protocols and \
                                c.data[0] == ping and c.data[1] == seq:
                            answered = True
                    if not answered:
                        select.select([fd], [], [], 0.01)
                if not answered:
                    break
                waited = time.monotonic() - sent
                self.pings += 1
                self.longest = max(self.longest, waited)
                self.stopping.wait(max(0.0, PING_INTERVAL - waited))
        finally:
            x11.XCloseDisplay(dpy)

    def finish(self):
        self.stopping.set()
        self.join(5)
        if self.error:
            raise self.error
        return self.longest


def mirror_files(work, release):
    top = os.path.join(work, "mirror", release.id)
    return [os.path.join(d, n) for d, _, names in os.walk(top) for n in names]


def warm_mirror(work, release):
    """Reads the release's files on the mirror into the page cache. This
    machine pages out file pages left alone for a minute, so whichever side
    went first after publishing the other releases would be served from
    disk while the other is served from memory. Returns the bytes read."""
    served = 0
    for path in mirror_files(work, release):
        with open(path, "rb", buffering=0) as f:
            while chunk := f.read(MB):
                served += len(chunk)
    return served


def prime_page_cache(work, size):
    """Writes and deletes a scratch file of `size` bytes. On this machine the
    first run to fill the page cache after publishing or after another
    release's row (whose files stay cached) pays for memory the host has not
    backed yet: writing 480 MB took 1.0 s there against 0.15 s once pages
    had been through the page cache and been freed again. The scratch file
    leaves each side such pages to write into."""
    scratch = os.path.join(work, "prime.scratch")
    zeros = bytes(8 * MB)
    with open(scratch, "wb", buffering=0) as f:
        for _ in range(0, size, len(zeros)):
            f.write(zeros)
    os.unlink(scratch)


def settle_disk(work, release):
    """Writes back what earlier steps left dirty (publishing writes
    gigabytes), so that neither side pays for the other's writeback, serves
    both sides the release from memory and leaves both the same kind of
    memory to write into."""
    os.sync()
    if os.environ.get("BENCH_DROP_CACHES") == "1":
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
    served = warm_mirror(work, release)
    # A little more than the side writes (downloads and unpacked files),
    # and below the share of memory at which the kernel starts writing
    # dirty pages back, so the scratch file never reaches the disk.
    prime_page_cache(work, (served + sum(release.files.values())) * 5 // 4)
    os.sync()
    time.sleep(0.5)


def status_kb(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


# --- one updater run ---------------------------------------------------------------------

def write_mirrors(install, url, parallel=None):
    """mirrors.ini with one mirror at `url`; `parallel` adds the group that
    sets how many files are fetched at once (a build that does not read it
    ignores it)."""
    text = f"[mirrors]\nsize=2\n1\\mirror=local\n\n[local]\nurl={url}\nretries=2\n"
    if parallel is not None:
        text += f"\n[transfers]\nparallel={parallel}\n"
    with open(os.path.join(install, "mirrors.ini"), "w") as f:
        f.write(text)


def make_installation(road, install, url, seed_from=None, parallel=None):
    if seed_from is None:
        shutil.rmtree(install, ignore_errors=True)
        os.makedirs(os.path.join(install, "translations"))
        for name in ("vt3update", "tasklist.exe"):
            shutil.copy2(road.tool_path(name), os.path.join(install, name))
        built = os.path.join(road.build, "translations")
        for name in os.listdir(built):
            if name.endswith(".qm"):
                shutil.copy2(os.path.join(built, name), os.path.join(install, "translations", name))
    write_mirrors(install, url, parallel)


def run_updater(road, work, release, install, mirror_log, on_clock=None):
    """One update run in the window; returns (seconds, idle kB, peak kB,
    longest unanswered ms, pings, request paths of the run). `on_clock` is
    called with "start" and "stop" where the clock starts and stops, for
    figures taken over the same stretch."""
    reply = os.path.join(work, "mirror", release.id, "version.txt")
    versiond, _ = road.start_versiond(reply)
    tmpdir = os.path.join(work, "tmp-" + release.name)
    shutil.rmtree(tmpdir, ignore_errors=True)
    home = os.path.join(work, "home")
    os.environ.update({"HOME": home, "XDG_DATA_HOME": os.path.join(home, "data"),
                       "XDG_CONFIG_HOME": os.path.join(home, "config")})
    since = len(vt3road.Road.requests(mirror_log))
    settle_disk(work, release)
    proc = road.start_updater(install, tmpdir, os.path.join(work, "client.log"), name="vt3update-" + release.name)
    try:
        window = vt3road.open_window(road, proc)
        vt3road.wait_version(road, proc)
        vt3road.settle()
        idle = status_kb(proc.pid, "VmRSS")
        pinger = Pinger(road.display, window)
        pinger.start()
        manifest = f"/{release.id}/client_win32.ini"
        started = None
        deadline = time.monotonic() + 30
        while started is None:
            road.check_alive(proc)
            # The clock starts at the key press itself: focusing the window
            # first is the bench's own round trip, not the updater's time.
            # Space on the focused Update button fires it as a click does;
            # Alt+U would first show the button held down for 100 ms.
            road.focus(window)
            if on_clock:
                on_clock("start")
            pressed = time.monotonic()
            road.press(window, "space", focus=False)
            for _ in range(20):
                if manifest in vt3road.Road.requests(mirror_log, since):
                    started = pressed
                    break
                time.sleep(0.025)
            if time.monotonic() > deadline:
                raise vt3road.RoadError("the update did not start")
        seen_work = False
        deadline = time.monotonic() + RUN_TIMEOUT
        while True:
            road.check_alive(proc)
            dirs = vt3road.Road.work_dirs(tmpdir) if os.path.isdir(tmpdir) else []
            if dirs:
                seen_work = True
            elif seen_work:
                break
            if time.monotonic() > deadline:
                raise vt3road.RoadError(f"{release.name}: the run did not finish")
            time.sleep(0.02)
        seconds = time.monotonic() - started
        if on_clock:
            on_clock("stop")
        peak = status_kb(proc.pid, "VmHWM")
        longest = pinger.finish()
        requests = vt3road.Road.requests(mirror_log, since)
    finally:
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        versiond.terminate()
        versiond.wait()
        road.procs = [p for p in road.procs if p not in (proc, versiond)]
    return seconds, idle, peak, longest * 1000.0, pinger.pings, requests


def check_installed(release, work, install):
    src = release.source(work)
    wrong = [rel for rel in release.files
             if vt3road.md5_of(os.path.join(install, rel)) != vt3road.md5_of(os.path.join(src, rel))] \
        if all(os.path.isfile(os.path.join(install, rel)) for rel in release.files) else ["missing files"]
    if wrong:
        raise vt3road.RoadError(f"{release.name}: installation differs from the release: {wrong[:5]}")


# --- the mirror ---------------------------------------------------------------------------

# Written as nginx's access log: end of the request (seconds since the
# epoch), its duration, the connection's serial number, the request line
# (which vt3road.Road.requests reads), status, body bytes.
LOG_FORMAT = '$msec $request_time $connection "$request" $status $body_bytes_sent'
LOG_LINE = re.compile(r'^(\d+\.\d+) (\d+\.\d+) (\d+) "GET (\S+) HTTP/[\d.]+" (\d+) (\d+)')


class Nginx:
    """nginx serving `root` on 127.0.0.1 from a prefix of its own."""

    def __init__(self, road, prefix, root):
        self.road = road
        self.prefix = prefix
        self.root = root
        self.log_path = os.path.join(prefix, "access.log")
        self.proc = None
        self.port = None

    def config(self, port):
        built = subprocess.run(["nginx", "-V"], capture_output=True, text=True).stderr
        # Only the modules built in know their temp path directive; each
        # would otherwise point into the system's folders.
        temps = "".join(f"    {kind}_temp_path {self.prefix}/tmp/{kind};\n"
                        for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi")
                        if f"--http-{kind.replace('_', '-')}-temp-path" in built)
        return f"""daemon off;
master_process on;
worker_processes 1;
pid {self.prefix}/nginx.pid;
error_log {self.prefix}/error.log warn;
events {{
    worker_connections 1024;
}}
http {{
    log_format bench '{LOG_FORMAT}';
    access_log {self.log_path} bench;
{temps}    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    tcp_nodelay on;
    keepalive_timeout 75s;
    keepalive_requests 1000000;
    server {{
        listen 127.0.0.1:{port};
        root {self.root};
    }}
}}
"""

    def start(self):
        shutil.rmtree(self.prefix, ignore_errors=True)
        os.makedirs(os.path.join(self.prefix, "tmp"))
        command = ["nginx", "-p", self.prefix, "-c", os.path.join(self.prefix, "nginx.conf"),
                   "-e", os.path.join(self.prefix, "error.log")]
        if os.geteuid() == 0:
            # Not the system's server: an instance of nobody's, which can
            # read the mirror and write only its own prefix.
            for base, dirs, files in os.walk(self.prefix):
                for name in [base] + [os.path.join(base, n) for n in dirs + files]:
                    os.chown(name, 65534, 65534)
            command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"] + command
            # vt3-publish leaves a release's folder to its owner alone.
            for base, dirs, files in os.walk(self.root):
                os.chmod(base, 0o755)
                for name in files:
                    os.chmod(os.path.join(base, name), 0o644)
        for _ in range(5):
            port = vt3road.free_port()
            with open(os.path.join(self.prefix, "nginx.conf"), "w") as f:
                f.write(self.config(port))
            proc = self.road.spawn(f"nginx-{port}", command)
            try:
                self.road.wait_http(proc, port)
                self.proc, self.port = proc, port
                return port
            except vt3road.RoadError:
                if proc.poll() is None:
                    raise
                self.road.procs.remove(proc)
        raise vt3road.RoadError(f"nginx did not start; see {self.prefix}/error.log")

    def lines(self):
        with open(self.log_path, errors="replace") as f:
            return f.read().splitlines()

    def entries(self, start):
        """(end, duration, connection, path, status, bytes) of each request
        logged from line `start` on."""
        out = []
        for line in self.lines()[start:]:
            m = LOG_LINE.match(line)
            if m:
                out.append((float(m.group(1)), float(m.group(2)), int(m.group(3)), m.group(4),
                            int(m.group(5)), int(m.group(6))))
        return out
