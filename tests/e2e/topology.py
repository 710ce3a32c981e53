"""Other hosts for the end-to-end tests: network namespaces of the test's
own, each reached from here over a veth pair on a private /30.

Names carry the test's pid, so test runs side by side never share one, and
everything made here is removed by close(), also after a failure; what a
killed run left behind is removed by the next one. Only addresses on
these links (and loopback) are ever contacted. Programs with a window stay
in our namespace: X servers of other namespaces may hold the same display
socket path."""

import os
import re
import subprocess

from vt3road import RoadError, stop_process

NAME_PATTERN = re.compile(r"vt3t-(\d+)-(\d+)")


class Unavailable(Exception):
    """The machine does not let us make network namespaces."""


def ip(*args, check=True):
    result = subprocess.run(["ip", *args], capture_output=True, text=True, timeout=30)
    if check and result.returncode != 0:
        raise RoadError(f"ip {' '.join(args)} failed: {result.stderr.strip()}")
    return result


def remove_leftovers():
    """Namespaces of earlier runs whose process is gone (killed by a
    time-out before it could clean up); their veth pairs go with them."""
    try:
        listed = ip("netns", "list", check=False).stdout
    except FileNotFoundError:
        return
    for line in listed.splitlines():
        fields = line.split()
        m = NAME_PATTERN.fullmatch(fields[0]) if fields else None
        if m and not os.path.exists(f"/proc/{m.group(1)}"):
            ip("netns", "del", fields[0], check=False)


class Namespace:
    made = 0

    def __init__(self, road):
        Namespace.made += 1
        self.road = road
        self.number = Namespace.made
        self.name = f"vt3t-{os.getpid()}-{self.number}"
        # Interface names have at most 15 characters.
        self.veth = f"v3t{os.getpid()}x{self.number}"
        self.procs = []
        self.exists = False

    def open(self):
        remove_leftovers()
        try:
            result = ip("netns", "add", self.name, check=False)
        except FileNotFoundError:
            raise Unavailable("the ip tool (iproute2) is not installed")
        if result.returncode != 0:
            raise Unavailable(f"'ip netns add' was refused ({result.stderr.strip()}); "
                              "network namespaces need root or CAP_NET_ADMIN")
        self.exists = True
        self.ip("link", "set", "lo", "up")
        return self

    def ip(self, *args):
        return ip("-n", self.name, *args)

    def link_here(self, here, there, prefix=30):
        """A veth pair: our end in the namespace we run in, with `here`; the
        other end in this namespace, with `there`."""
        ours, theirs = self.veth + "a", self.veth + "b"
        ip("link", "add", ours, "type", "veth", "peer", "name", theirs, "netns", self.name)
        ip("addr", "add", f"{here}/{prefix}", "dev", ours)
        ip("link", "set", ours, "up")
        self.ip("addr", "add", f"{there}/{prefix}", "dev", theirs)
        self.ip("link", "set", theirs, "up")
        return self

    def command(self, args):
        return ["ip", "netns", "exec", self.name, *args]

    def spawn(self, name, args, **kw):
        # ip execs the program itself, so the process is the program.
        proc = self.road.spawn(name, self.command(args), **kw)
        self.procs.append(proc)
        return proc

    def close(self):
        for proc in self.procs:
            stop_process(proc)
            if proc in self.road.procs:
                self.road.procs.remove(proc)
        self.procs = []
        if self.exists:
            # Deleting one end of a veth pair deletes both.
            ip("link", "del", self.veth + "a", check=False)
            ip("netns", "del", self.name, check=False)
            self.exists = False
