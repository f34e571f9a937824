"""kelvane-grab as a user runs it on the built-in simulated bus: what it
writes, where it keeps settings, and the exit code and reason of each
failure. Usage: kelvane_grab_test.py PATH-TO-kelvane-grab"""
import fcntl
import os
import struct
import subprocess
import sys
import tempfile
import unittest

TOOL = None
COLOUR = "Kestrel Optics KC-640C - 10472"


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(26)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", path
    width, height, depth, kind = struct.unpack(">IIBB", head[16:26])
    return width, height, {0: 1, 2: 3}[kind]


class KelvaneGrab(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.cwd = self.dir.name

    def tearDown(self):
        self.dir.cleanup()

    def run_tool(self, *args):
        return subprocess.run([TOOL, *args], cwd=self.cwd, capture_output=True, text=True, timeout=120)

    def files(self):
        return sorted(os.listdir(self.cwd))

    def test_failures_exit_with_a_code_and_say_why(self):
        # (arguments, exit code, text the reason must hold)
        cases = [
            (["--bogus"], 2, "--bogus"),
            (["--count", "abc"], 2, "abc"),
            (["--count", "-1"], 2, "negative"),
            (["--size", "640x480"], 2, "--format"),
            (["--format", "YUY2", "--size", "640"], 2, "WIDTHxHEIGHT"),
            (["--set", "Gain"], 2, "NAME=VALUE"),
            (["--set", "Gain=twelve"], 2, "32-bit integer"),
            (["--grey", "--color"], 2, "excludes"),
            (["--settings", "/no/such/dir"], 2, "/no/such/dir"),
            (["--library", "/no/such/libkelvane.so"], 3, "cannot load the library"),
            (["--camera", "No Such Camera"], 3, "the cameras are 0: " + COLOUR),
            (["--camera", "7"], 3, "no camera '7'"),
            (["--formats", "nobody"], 3, "no camera 'nobody'"),
            (["--format", "MJPG"], 3, "has no format MJPG; it offers YUY2, UYVY"),
            (["--format", "NOPE"], 3, "has no format NOPE"),
            (["--format", "UYVY", "--size", "800x600"], 3, "its sizes are 640x480, 320x240"),
            (["--format", "RAW8", "--size", "641x480"], 3, "8x2 to 1024x768 in steps of 8x2"),
            (["--format", "Y444", "--rate", "60"], 3, "no 60 fps in Y444"),
            (["--format", "UYVY", "--size", "320x240", "--rate", "45"], 3, "not 45"),
            (["--set", "NoSuchProp=1"], 3, "unknown property NoSuchProp"),
            (["--set", "Gain=100000"], 3, "refuses Gain=100000: its range is 0..24"),
            (["--camera", "2", "--set", "Zoom=1"], 3, "has no property Zoom"),
            (["--set", "PixelSize=12"], 3, "refuses PixelSize=12"),
            (["--count", "2", "--out", "/no/such/dir/x-"], 1, "cannot write /no/such/dir/x-1.png: No such file"),
        ]
        for args, code, reason in cases:
            with self.subTest(args=args):
                result = self.run_tool(*args)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(reason, result.stderr)
                if code != 1:
                    self.assertEqual(self.files(), [], "a failed run leaves no file behind")

    def test_grabs_the_readme_files_and_counts_only_grabs(self):
        result = self.run_tool()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.files(), ["kelvane-1.png", "kelvane-2.png", "kelvane-3.png"])
        self.assertEqual(png_size(os.path.join(self.cwd, "kelvane-1.png")), (640, 480, 3))
        self.assertIn("images 3/3", result.stdout)
        self.assertEqual(result.stderr, "", "library messages only with --verbose")
        verbose = self.run_tool("--no-png", "--count", "1", "--verbose")
        self.assertIn("Kelvane: using the simulated bus", verbose.stderr)

    def test_format_holds_for_one_run_unless_a_settings_directory_is_named(self):
        result = self.run_tool("--format", "Y444", "--grey", "--count", "1", "--out", "y444-")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(png_size(os.path.join(self.cwd, "y444-1.png")), (160, 120, 1))
        plain = self.run_tool("--count", "1", "--out", "plain-")
        self.assertEqual(png_size(os.path.join(self.cwd, "plain-1.png")), (640, 480, 3))
        self.assertNotIn("Kelvane.ini", self.files())

        settings = os.path.join(self.cwd, "settings")
        os.mkdir(settings)
        self.run_tool("--settings", settings, "--camera", "No Such Camera")
        self.assertFalse(os.path.exists(os.path.join(settings, "Kelvane.ini")), "no section for a missing camera")
        kept = self.run_tool("--settings", settings, "--format", "UYVY", "--size", "320x240", "--set", "Gain=7",
                             "--count", "0")
        self.assertEqual(kept.returncode, 0, kept.stderr)
        again = self.run_tool("--settings", settings, "--count", "1", "--out", "again-", "--properties")
        self.assertEqual(png_size(os.path.join(self.cwd, "again-1.png")), (320, 240, 3))
        self.assertRegex(again.stdout, r"Gain\s+7\s")
        with open(os.path.join(settings, "Kelvane.ini")) as f:
            text = f.read()
        self.assertEqual(text.count("[" + COLOUR + "]"), 1, text)
        self.assertNotIn("[No Such Camera]", text)

    def test_a_camera_held_by_another_process_names_the_process(self):
        locks = os.environ["KELVANE_LOCK_DIR"]
        os.makedirs(locks, exist_ok=True)
        with open(os.path.join(locks, "MARLUNE : KELVANE MUX.0.0"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            lock.write("%d\n" % os.getpid())
            lock.flush()
            for args in (["--count", "1"], ["--format", "YUY2"]):
                with self.subTest(args=args):
                    result = self.run_tool(*args)
                    self.assertEqual(result.returncode, 3)
                    self.assertIn("camera in use by process %d" % os.getpid(), result.stderr)

    def test_lists_cameras_and_formats(self):
        listed = self.run_tool("--list")
        self.assertEqual(listed.returncode, 0)
        self.assertIn("0: " + COLOUR + "\n", listed.stdout)
        formats = self.run_tool("--formats", "0")
        self.assertEqual(formats.returncode, 0, formats.stderr)
        self.assertIn("RAW8     8x2 to 1024x768 in steps of 8x2, 7.50 to 15.00 fps", formats.stdout)
        helped = self.run_tool("--help")
        self.assertEqual((helped.returncode, helped.stderr), (0, ""))
        self.assertIn("--formats", helped.stdout)
        self.assertRegex(self.run_tool("--version").stdout, r"^kelvane-grab \d+\.\d+\.\d+\n")

    def test_continuous_mode_keeps_every_image_it_counts(self):
        result = self.run_tool("--continuous", "--count", "30", "--grey", "--out", "c-")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(len([f for f in self.files() if f.startswith("c-")]), 30)
        self.assertIn("images 30/30", result.stdout)


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main()
