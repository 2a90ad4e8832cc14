# SPDX-License-Identifier: GPL-2.0-or-later
"""The built module as a file: hardening, exports, and a quiet start-up."""
import os
import re
import shutil
import subprocess
import unittest

from harness import HOST_MAJOR_MINOR, HostTestCase, MODULE

LOADER_EXPORTS = {"plugin_version", "plugin_want_major", "plugin_want_minor", "plugin_register",
                  "plugin_reg_handoff"}
# From 4.2 on the loader also asks the module what kind of plugin it is.
if tuple(map(int, HOST_MAJOR_MINOR.split("."))) >= (4, 2):
    LOADER_EXPORTS.add("plugin_describe")


def run(*cmd):
    return subprocess.run(cmd, capture_output=True, text=True, check=True).stdout


class Hardening(unittest.TestCase):
    def test_relro_bind_now_and_no_executable_stack(self):
        segments = run("readelf", "-lW", MODULE)
        self.assertRegex(segments, r"GNU_RELRO")
        stack = re.search(r"GNU_STACK(?:\s+\S+){5}\s+(\S+)", segments)
        self.assertIsNotNone(stack, segments)
        self.assertEqual(stack.group(1), "RW")
        dynamic = run("readelf", "-dW", MODULE)
        self.assertRegex(dynamic, r"\(FLAGS\)\s+BIND_NOW|\(FLAGS_1\)\s+Flags:.*\bNOW\b")

    def test_compiled_with_stack_protector_fortify_and_optimisation(self):
        switches = run("readelf", "-p", ".GCC.command.line", MODULE)
        self.assertIn("-fstack-protector-strong", switches)
        self.assertRegex(switches, r"-O[23s]\b")
        # The compiler's own view, recorded in the module at build time.
        self.assertIn("simplekestrune-build: fortify=2 optimize=1 ssp-strong=3",
                      run("strings", "-a", MODULE))

    def test_only_the_loader_exports_are_visible(self):
        symbols = run("nm", "-D", "--defined-only", MODULE).split("\n")
        names = {line.split()[-1] for line in symbols if line.strip()}
        self.assertEqual(names, LOADER_EXPORTS)


class QuietStartup(HostTestCase):
    """Loading the module adds nothing to stderr (as root the host prints its
    usual notice; these runs are unprivileged, so stderr must be empty)."""

    def test_glossaries_and_a_decode_print_nothing_on_stderr(self):
        sample = self.host.path("sample.pcap")
        shutil.copy(os.environ["KESTRUNE_SAMPLE"], sample)
        os.chmod(sample, 0o644)
        for args in (["-G", "fields"], ["-G", "plugins"], ["-r", sample], ["-r", sample, "-V"]):
            proc = self.host.tshark(*args)
            self.assertEqual(proc.stderr, "", args)


if __name__ == "__main__":
    unittest.main()
