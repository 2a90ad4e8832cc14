# SPDX-License-Identifier: GPL-2.0-or-later
"""Moving the binding with the port preference, and Decode As."""
import unittest

from harness import HOST_MAJOR_MINOR, HostTestCase, write_capture

DATAGRAM = bytes.fromhex("090831000703aabbcc")
PORTS = [4096, 5000, 6000, 0, 31001]
PREF = "simplekestrune.udp.selvagrid_port"
# Another protocol to decode our port as: 3.4 does not offer the plain data
# dissector for UDP ports (4.0 does); its daytime dissector takes any bytes.
OTHER_PROTOCOL = "data" if tuple(map(int, HOST_MAJOR_MINOR.split("."))) >= (4, 0) else "daytime"


class PortPreference(HostTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # One datagram to each port, always from the same ephemeral port.
        cls.capture = write_capture(cls.host.path("ports.pcap"),
                                    [{"data": DATAGRAM, "dport": p} for p in PORTS])

    def decoded_ports(self, *args):
        out = self.host.tshark("-r", self.capture, "-T", "fields", "-e", "udp.dstport",
                               "-e", "_ws.col.Protocol", *args).stdout
        return [int(port) for port, proto in (l.split("\t") for l in out.splitlines())
                if proto == "SimpleKestrune"]

    def test_default_port(self):
        self.assertEqual(self.decoded_ports(), [4096])

    def test_option_moves_the_binding(self):
        self.assertEqual(self.decoded_ports("-o", f"{PREF}:5000"), [5000])
        self.assertEqual(self.decoded_ports("-o", f"{PREF}:5000", "-o", f"{PREF}:6000"), [6000])

    def test_same_value_given_twice_keeps_one_binding(self):
        self.assertEqual(self.decoded_ports("-o", f"{PREF}:6000", "-o", f"{PREF}:6000"), [6000])
        self.assertEqual(self.decoded_ports("-o", f"{PREF}:4096"), [4096])

    def test_port_zero_matches_no_ordinary_datagram(self):
        self.assertEqual(self.decoded_ports("-o", f"{PREF}:0"), [])

    def test_preferences_file(self):
        try:
            self.host.preferences_file(f"{PREF}: 6000\n")
            self.assertEqual(self.decoded_ports(), [6000])
            # The command line still wins over the file.
            self.assertEqual(self.decoded_ports("-o", f"{PREF}:5000"), [5000])
        finally:
            self.host.preferences_file("")

    def test_unknown_preference_is_refused(self):
        proc = self.host.tshark("-r", self.capture, "-o", "simplekestrune.udp.port:5000",
                                check=False)
        self.assertNotEqual(proc.returncode, 0)

    def test_decode_as_by_dissector_name(self):
        self.assertEqual(self.decoded_ports("-d", "udp.port==31001,simplekestrune"), [4096, 31001])
        self.assertEqual(self.decoded_ports("-d", f"udp.port==4096,{OTHER_PROTOCOL}"), [])


if __name__ == "__main__":
    unittest.main()
