# SPDX-License-Identifier: GPL-2.0-or-later
"""Runs the real tshark with the freshly built module, the way a user would.

The host ignores WIRESHARK_PLUGIN_DIR for root, so when the tests run as
root tshark is started as the unprivileged user 65534 with a HOME of its
own. The module, the captures and that HOME live in a private folder that
the test removes again; nothing is installed anywhere.
"""
import ipaddress
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET


def _tshark_major_minor():
    """The host's "4.4" from "TShark (Wireshark) 4.4.19 ...": the host loads plugins from
    <plugin dir>/<major.minor>/epan, and only those built for that release."""
    first = subprocess.run(["tshark", "--version"], capture_output=True, text=True,
                           check=True).stdout.splitlines()[0]
    return re.search(r"\b(\d+\.\d+)\.\d+", first).group(1)


MODULE = os.environ.get("KESTRUNE_MODULE", "")
HOST_MAJOR_MINOR = os.environ.get("KESTRUNE_HOST_VERSION") or _tshark_major_minor()


def _host_plugin_dir():
    """Where the host keeps its own plugins ("Global Plugins" in -G folders)."""
    folders = subprocess.run(["tshark", "-G", "folders"], capture_output=True, text=True).stdout
    found = re.search(r"^Global Plugins:\s*(\S+)", folders, re.M)
    return found.group(1) if found else ""


# The host's own plugin folder. Its codec modules are linked into the private
# folder, which replaces it, as a normal install would find them.
HOST_PLUGIN_DIR = os.environ.get("KESTRUNE_HOST_PLUGINDIR") or _host_plugin_dir()
UNPRIVILEGED = 65534
PORT = 4096
PEER_PORT = 31000


def as_ordinary_user(cmd):
    """The host ignores WIRESHARK_PLUGIN_DIR and personal plugins for root:
    as root, run the command as the unprivileged user instead."""
    if os.geteuid() == 0:
        return ["setpriv", f"--reuid={UNPRIVILEGED}", f"--regid={UNPRIVILEGED}", "--clear-groups",
                *cmd]
    return cmd


class Host:
    """A private plugin folder, home and scratch space for one test class."""

    def __init__(self, module=None, load_module=True, extra_modules=()):
        """load_module=False gives the same set-up with an empty plugin folder;
        extra_modules are loaded beside ours."""
        module = module or MODULE
        if load_module and (not module or not os.path.exists(module)):
            raise RuntimeError("KESTRUNE_MODULE must name the built module")
        self.root = tempfile.mkdtemp(prefix="kestrune-host-")
        os.chmod(self.root, 0o755)
        self.plugin_dir = os.path.join(self.root, "plugins")
        epan = os.path.join(self.plugin_dir, HOST_MAJOR_MINOR, "epan")
        os.makedirs(epan)
        if load_module:
            shutil.copy(module, os.path.join(epan, "simplekestrune.so"))
        for extra in extra_modules:
            shutil.copy(extra, epan)
        codecs = os.path.join(HOST_PLUGIN_DIR, "codecs")
        if HOST_PLUGIN_DIR and os.path.isdir(codecs):
            os.symlink(codecs, os.path.join(self.plugin_dir, HOST_MAJOR_MINOR, "codecs"))
        self.home = os.path.join(self.root, "home")
        os.makedirs(self.home)
        if os.geteuid() == 0:
            os.chown(self.home, UNPRIVILEGED, UNPRIVILEGED)

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.root, name)

    def preferences_file(self, text):
        folder = os.path.join(self.home, ".config", "wireshark")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "preferences"), "w") as f:
            f.write(text)
        if os.geteuid() == 0:
            for p in (os.path.join(self.home, ".config"), folder):
                os.chown(p, UNPRIVILEGED, UNPRIVILEGED)

    def command(self, *args, env=None, wrapper=()):
        """The command line and environment that run tshark with our module.

        wrapper goes before tshark (valgrind, for instance)."""
        cmd = as_ordinary_user([*wrapper, "tshark", *args])
        full_env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.home,
                    "WIRESHARK_PLUGIN_DIR": self.plugin_dir, "LC_ALL": "C.UTF-8"}
        full_env.update(env or {})
        return cmd, full_env

    def tshark(self, *args, env=None, check=True):
        cmd, full_env = self.command(*args, env=env)
        proc = subprocess.run(cmd, capture_output=True, text=True, env=full_env,
                              cwd=self.root, timeout=300)
        if check and proc.returncode != 0:
            raise AssertionError(f"{' '.join(args)} exited {proc.returncode}:\n{proc.stderr}")
        return proc

    def pdml(self, capture, *args):
        out = self.tshark("-r", capture, "-T", "pdml", *args).stdout
        return [Packet(p) for p in ET.fromstring(out).iter("packet")]

    def fields(self, capture, fields, *args):
        """One list of values for each frame, in the order the fields were named."""
        cmd = ["-r", capture, "-T", "fields", "-E", "separator=/t", "-E", "occurrence=f"]
        for f in fields:
            cmd += ["-e", f]
        out = self.tshark(*cmd, *args).stdout
        return [line.split("\t") for line in out.splitlines()]


class HostTestCase(unittest.TestCase):
    """A test class with its own private Host, made once for all its tests;
    with_probe loads the tests' probe module (tests/filter_probe.cpp) too."""

    with_probe = False

    @classmethod
    def setUpClass(cls):
        cls.host = Host(extra_modules=[os.environ["KESTRUNE_FILTER_PROBE"]]
                        if cls.with_probe else ())

    @classmethod
    def tearDownClass(cls):
        cls.host.close()


class Packet:
    """One PDML packet; items are looked up by field name."""

    def __init__(self, element):
        self.element = element

    def protocol(self, name):
        return self.element.find(f"proto[@name='{name}']")

    def has_protocol(self, name):
        return self.protocol(name) is not None


def item(element):
    """(name, showname, pos, size) of a PDML field or proto, the way a user reads it."""
    return (element.get("name"), element.get("showname"), int(element.get("pos")),
            int(element.get("size")))


def header(length, ptype, session_sequence, routing, codec, session_id, sequence, payload_size):
    """Six header bytes from field values."""
    w0 = (length & 0x7FF) | (ptype & 7) << 11 | int(session_sequence) << 14 | int(routing) << 15
    w1 = (codec & 0xF) | (session_id & 0xFFF) << 4
    w2 = (sequence & 0xFF) | (payload_size & 0xFF) << 8
    return struct.pack("<HHH", w0, w1, w2)


def _checksum(data):
    if len(data) % 2:
        data += b"\0"
    csum = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while csum >> 16:
        csum = (csum & 0xFFFF) + (csum >> 16)
    return ~csum & 0xFFFF


def _udp_frame(datagram, sport, dport, src="192.0.2.10", dst="192.0.2.20"):
    src, dst = ipaddress.ip_address(src), ipaddress.ip_address(dst)
    udp = struct.pack("!HHHH", sport, dport, 8 + len(datagram), 0) + datagram
    if src.version == 6:
        pseudo = src.packed + dst.packed + struct.pack("!IxxxB", len(udp), 17)
        udp = udp[:6] + struct.pack("!H", _checksum(pseudo + udp) or 0xFFFF) + udp[8:]
        ip = struct.pack("!IHBB", 6 << 28, len(udp), 17, 64) + src.packed + dst.packed
        return bytes.fromhex("020000000014" "02000000000a" "86dd") + ip + udp
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0x4000, 64, 17, 0,
                     src.packed, dst.packed)
    ip = ip[:10] + struct.pack("!H", _checksum(ip)) + ip[12:]
    return bytes.fromhex("020000000014" "02000000000a" "0800") + ip + udp


def icmp_unreachable(datagram, sport=PEER_PORT, dport=PORT):
    """An ICMP port unreachable from 192.0.2.20 back to 192.0.2.10, quoting
    the IPv4 packet that carried the datagram, as a router or host sends it."""
    quoted = _udp_frame(datagram, sport, dport)[14:]
    icmp = struct.pack("!BBHI", 3, 3, 0, 0) + quoted
    icmp = icmp[:2] + struct.pack("!H", _checksum(icmp)) + icmp[4:]
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(icmp), 0, 0, 64, 1, 0,
                     ipaddress.ip_address("192.0.2.20").packed,
                     ipaddress.ip_address("192.0.2.10").packed)
    ip = ip[:10] + struct.pack("!H", _checksum(ip)) + ip[12:]
    return bytes.fromhex("02000000000a" "020000000014" "0800") + ip + icmp


# Ethernet + IPv4 + UDP: where the datagram starts in each frame.
UDP_PAYLOAD_OFFSET = 14 + 20 + 8


def write_capture(path, datagrams):
    """Writes a pcap of UDP datagrams, readable by the tshark user.

    Each entry is bytes (sent to PORT) or a dict with "data" and optionally
    "sport", "dport", "src" and "dst" (IPv4 or IPv6 addresses), "time"
    (seconds from the start; otherwise frame i arrives at i ms) and "snaplen"
    (bytes of the datagram actually captured); or a dict with a whole
    Ethernet "frame" of its own (and "time").
    """
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for i, d in enumerate(datagrams):
            if isinstance(d, (bytes, bytearray)):
                d = {"data": bytes(d)}
            frame = d.get("frame") or _udp_frame(
                d["data"], d.get("sport", PEER_PORT), d.get("dport", PORT),
                d.get("src", "192.0.2.10"), d.get("dst", "192.0.2.20"))
            captured = frame
            if "snaplen" in d:
                captured = frame[:UDP_PAYLOAD_OFFSET + d["snaplen"]]
            usec = round(d["time"] * 1e6) if "time" in d else i * 1000
            f.write(struct.pack("<IIII", 1796428800 + usec // 1000000, usec % 1000000,
                                len(captured), len(frame)))
            f.write(captured)
    os.chmod(path, 0o644)
    return path


def read_capture(path):
    """(microseconds from the start, frame bytes) of each frame of a pcap
    written by write_capture or the capture generator."""
    frames = []
    with open(path, "rb") as f:
        f.read(24)
        while record := f.read(16):
            sec, usec, captured, _ = struct.unpack("<IIII", record)
            frames.append(((sec - 1796428800) * 1000000 + usec, f.read(captured)))
    return frames
