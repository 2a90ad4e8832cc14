# SPDX-License-Identifier: GPL-2.0-or-later
"""Installing: the Debian package, built by the `deb` target and checked
with dpkg-deb, and a user's own `cmake --install` into the personal folder.

The install test changes the machine (it installs into the host's system
plugin folder, then removes the package again), so it runs only when
KESTRUNE_TEST_DEB_INSTALL=1.
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "host"))
from harness import HOST_MAJOR_MINOR, as_ordinary_user  # noqa: E402

BUILD_DIR = os.environ.get("KESTRUNE_BUILD_DIR", "")
SOURCE_DIR = os.environ.get("KESTRUNE_SOURCE_DIR", "")
SAMPLE = os.environ.get("KESTRUNE_SAMPLE", "")
PACKAGE = "wireshark-plugin-simplekestrune"


def run(*cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, check=True, **kw).stdout


def host_plugin_dir():
    return run("pkg-config", "--variable=plugindir", "wireshark").strip() + "/epan"


def host_library_package():
    """The Debian package and version of the libwireshark we build against."""
    libdir = run("pkg-config", "--variable=libdir", "wireshark").strip()
    owner = run("dpkg-query", "-S", os.path.realpath(f"{libdir}/libwireshark.so"))
    name = owner.split(":")[0]
    return name, run("dpkg-query", "-W", "-f=${Version}", name)


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        run("cmake", "--build", BUILD_DIR, "--target", "deb")
        debs = glob.glob(os.path.join(BUILD_DIR, "deb", f"{PACKAGE}_*.deb"))
        assert len(debs) == 1, debs
        cls.deb = debs[0]

    def field(self, name):
        return run("dpkg-deb", "-f", self.deb, name).strip()

    def test_control_fields(self):
        self.assertEqual(self.field("Package"), PACKAGE)
        # The suffix names the release, as the host library's own version does
        # ("4.0.17-0+deb12u3" in Debian 12; unstable's carries no number).
        name, version = host_library_package()
        release = re.search(r"\+deb(\d+)u", version)
        suffix = f"~deb{release.group(1)}" if release else "~sid"
        self.assertEqual(self.field("Version"), "1.10.11.22" + suffix)
        self.assertEqual(self.field("Architecture"), run("dpkg", "--print-architecture").strip())
        # The module's one library beyond the host's: libsndfile, for the audio export.
        packaged = os.path.join(tempfile.mkdtemp(), "contents")
        run("dpkg-deb", "-x", self.deb, packaged)
        needed = run("readelf", "-dW", packaged + host_plugin_dir() + "/simplekestrune.so")
        shutil.rmtree(os.path.dirname(packaged))
        sndfile = ", libsndfile1" if "[libsndfile.so.1]" in needed else ""
        self.assertEqual(self.field("Depends"), f"{name} (= {version}){sndfile}")

    def test_contents(self):
        listing = run("dpkg-deb", "-c", self.deb).splitlines()
        files = sorted(line.split()[-1].lstrip(".") for line in listing if not line.startswith("d"))
        doc = f"/usr/share/doc/{PACKAGE}"
        # The guide with its pictures, where the README's links point.
        guide = [f"{doc}/docs/{os.path.basename(page)}" for pattern in ("*.md", "*.png")
                 for page in glob.glob(os.path.join(SOURCE_DIR, "docs", pattern))]
        self.assertIn(f"{doc}/docs/listening.md", guide)
        self.assertEqual(files, sorted([f"{host_plugin_dir()}/simplekestrune.so",
                                        f"{doc}/README.md", f"{doc}/copyright", *guide]))

    def test_packaged_module_is_a_loadable_plugin(self):
        with tempfile.TemporaryDirectory() as tmp:
            run("dpkg-deb", "-x", self.deb, tmp)
            module = tmp + host_plugin_dir() + "/simplekestrune.so"
            exports = run("nm", "-D", "--defined-only", module)
            for symbol in ("plugin_version", "plugin_want_major", "plugin_want_minor",
                           "plugin_register"):
                self.assertIn(f" {symbol}\n", exports)

    @unittest.skipUnless(os.environ.get("KESTRUNE_TEST_DEB_INSTALL") == "1",
                         "changes the machine; set KESTRUNE_TEST_DEB_INSTALL=1 to run")
    def test_install_use_and_remove(self):
        self.assertNotEqual(subprocess.run(["dpkg-query", "-W", PACKAGE],
                                           capture_output=True).returncode, 0,
                            "the package is installed already")
        module = f"{host_plugin_dir()}/simplekestrune.so"
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        run("apt-get", "install", "-y", "-q", os.path.abspath(self.deb), env=env)
        try:
            self.assertTrue(os.path.exists(module))
            plugins = run("tshark", "-G", "plugins")
            self.assertIn(f"simplekestrune.so\t1.10.11.22\tdissector\t{module}", plugins)
            decoded = run("tshark", "-r", SAMPLE, "-c", "1")
            self.assertIn("SimpleKestrune", decoded)
        finally:
            run("apt-get", "remove", "--purge", "-y", "-q", PACKAGE, env=env)
        self.assertFalse(os.path.exists(module))
        self.assertFalse(os.path.exists(f"/usr/share/doc/{PACKAGE}"))
        self.assertNotIn("simplekestrune", run("tshark", "-G", "plugins"))


class PersonalInstall(unittest.TestCase):
    def test_user_build_installs_where_this_host_looks(self):
        """A plain build and install with HOME pointing at a fresh folder: the
        module must land in the folder this host release reads, and load."""
        home = tempfile.mkdtemp(prefix="kestrune-home-")
        try:
            os.chmod(home, 0o755)
            env = dict(os.environ, HOME=home)
            build = os.path.join(home, "build")
            run("cmake", "-S", SOURCE_DIR, "-B", build, env=env)
            run("cmake", "--build", build, "--target", "simplekestrune", env=env)
            run("cmake", "--install", build, env=env)
            module = f"{home}/.local/lib/wireshark/plugins/{HOST_MAJOR_MINOR}/epan/simplekestrune.so"
            self.assertTrue(os.path.exists(module))
            # The host reads personal plugins only for ordinary users.
            plugins = run(*as_ordinary_user(["tshark", "-G", "plugins"]), env={"PATH": os.environ["PATH"], "HOME": home})
            self.assertIn(f"simplekestrune.so\t1.10.11.22\tdissector\t{module}\n", plugins)
        finally:
            shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
