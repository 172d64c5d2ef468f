#!/usr/bin/env python3
"""The built launcher as a real X11 program: its window as the X server sees it, closing
it through the window system, and starting the game with the start button.

Usage: launcher_process.py PATH_TO_LAUNCHER

Needs an X server in DISPLAY (an Xvfb without a window manager is enough) and
python3-xlib. Exits with 77, the skip code registered with CTest, when either is
missing. Every wait is bounded, and every process started here is ended by its id.
"""

import os
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest

SKIP = 77
TITLE = "Quillmont Helper"
WINDOW_TIMEOUT = 30.0  # a sanitizer build starts slowly
EXIT_TIMEOUT = 15.0

if len(sys.argv) < 2:
    sys.exit(__doc__)
LAUNCHER = os.path.abspath(sys.argv.pop(1))

if not os.environ.get("DISPLAY"):
    print("SKIP: no X server (DISPLAY is not set); run under xvfb-run")
    sys.exit(SKIP)
try:
    from Xlib import X, XK, Xatom, display, error, protocol
    from Xlib.ext import xtest
except ImportError:
    print("SKIP: python3-xlib is not installed")
    sys.exit(SKIP)

# A stand-in for the game: records how it was started, then stays alive for a while.
STAND_IN = """#!/bin/sh
{{
  echo "start {tag} pid=$$"
  echo "cwd=$(pwd -P)"
  echo "argc=$#"
  for argument in "$@"; do echo "arg=$argument"; done
}} >> "$STAND_IN_LOG"
exec sleep 5
"""


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(0.05)


def write_stand_in(folder, tag):
    path = os.path.join(folder, "Quillmont.exe")
    with open(path, "w") as f:
        f.write(STAND_IN.format(tag=tag))
    os.chmod(path, 0o755)
    return path


def snapshot(folder, ignore=()):
    """Every file below folder with its bytes and modification time."""
    files = {}
    for root, dirs, names in os.walk(folder):
        for name in dirs + names:
            path = os.path.join(root, name)
            if path in ignore:
                continue
            info = os.lstat(path)
            content = None
            if stat.S_ISREG(info.st_mode):
                with open(path, "rb") as f:
                    content = f.read()
            files[os.path.relpath(path, folder)] = (content, info.st_mtime_ns)
    return files


class LauncherProcessTest(unittest.TestCase):
    def setUp(self):
        self.display = display.Display()
        self.atom = self.display.intern_atom
        self.temp = tempfile.TemporaryDirectory(prefix="quillmont-process-")
        self.addCleanup(self.temp.cleanup)
        base = self.temp.name
        self.game_folder = os.path.join(base, "game")
        self.data_home = os.path.join(base, "data")
        self.decoy_folder = os.path.join(base, "decoy")
        runtime = os.path.join(base, "runtime")
        for folder in (self.game_folder, self.data_home, self.decoy_folder, runtime):
            os.mkdir(folder)
        os.chmod(runtime, 0o700)
        self.log = os.path.join(base, "stand-in.log")
        self.process = None
        self.stderr_path = os.path.join(base, "launcher.stderr")
        self.env = dict(os.environ)
        self.env.update({
            "QT_QPA_PLATFORM": "xcb",
            "XDG_DATA_HOME": self.data_home,
            "XDG_CONFIG_HOME": os.path.join(base, "config"),
            "XDG_CACHE_HOME": os.path.join(base, "cache"),
            "XDG_RUNTIME_DIR": runtime,
            "STAND_IN_LOG": self.log,
            # No session bus: the launcher needs none, and without one libdbus would try
            # to start a bus daemon on this X display for every run.
            "DBUS_SESSION_BUS_ADDRESS": "disabled:",
            # A program of the game's name earlier on PATH must never be the one started.
            "PATH": self.decoy_folder + os.pathsep + os.environ.get("PATH", ""),
        })
        write_stand_in(self.decoy_folder, "decoy")

    def tearDown(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=EXIT_TIMEOUT)
        for record in self.stand_in_starts():
            pid = int(record[0].split("pid=")[1])
            try:
                # Only while that id is still a stand-in of this case.
                with open("/proc/%d/environ" % pid, "rb") as f:
                    if ("STAND_IN_LOG=" + self.log).encode() in f.read().split(b"\0"):
                        os.kill(pid, signal.SIGKILL)
            except (FileNotFoundError, ProcessLookupError):
                pass
        self.display.close()

    # --- the launcher and its window ---------------------------------------------------

    def start_launcher(self, *arguments):
        with open(self.stderr_path, "wb") as stderr:
            self.process = subprocess.Popen([LAUNCHER, *arguments], cwd=self.game_folder,
                                            env=self.env, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=stderr)

    def launcher_windows(self):
        """The mapped top-level windows of the launcher process (there is no window
        manager, so they are children of the root window)."""
        windows = []
        pid_atom = self.atom("_NET_WM_PID")
        for window in self.display.screen().root.query_tree().children:
            try:
                pid = window.get_full_property(pid_atom, Xatom.CARDINAL)
                if not pid or pid.value[0] != self.process.pid:
                    continue
                if window.get_attributes().map_state == X.IsViewable:
                    windows.append(window)
            except error.BadWindow:
                continue  # gone while looking
        return windows

    def title_of(self, window):
        name = window.get_full_property(self.atom("_NET_WM_NAME"), self.atom("UTF8_STRING"))
        return name.value.decode("utf-8") if name else window.get_wm_name()

    def wait_for_main_window(self):
        def shown():
            self.assertIsNone(self.process.poll(), "the launcher exited before showing its window")
            windows = self.launcher_windows()
            return windows[0] if len(windows) == 1 else None
        window = wait_until(shown, WINDOW_TIMEOUT, "the launcher's window")
        self.assertEqual(self.title_of(window), TITLE)
        geometry = window.get_geometry()
        self.assertEqual((geometry.width, geometry.height), (384, 320))
        hints = window.get_wm_normal_hints()
        self.assertEqual((hints.min_width, hints.min_height, hints.max_width, hints.max_height),
                         (384, 320, 384, 320), "the window system may not resize it")
        time.sleep(0.3)  # let the first paint and the start-up writes settle
        return window

    def close_through_window_system(self, window):
        message = protocol.event.ClientMessage(
            window=window, client_type=self.atom("WM_PROTOCOLS"),
            data=(32, [self.atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0]))
        window.send_event(message, event_mask=X.NoEventMask)
        self.display.flush()

    def press_start_button(self, window):
        """Focuses the window and presses the start button with the keyboard: the first
        radio button has the focus, the clear buttons are disabled without game data,
        so going back one step wraps round to the start button."""
        window.set_input_focus(X.RevertToParent, X.CurrentTime)
        self.display.sync()
        time.sleep(0.3)

        def key(name, press):
            code = self.display.keysym_to_keycode(XK.string_to_keysym(name))
            xtest.fake_input(self.display, X.KeyPress if press else X.KeyRelease, code)
            self.display.sync()
            time.sleep(0.05)
        key("Shift_L", True)
        key("Tab", True)
        key("Tab", False)
        key("Shift_L", False)
        time.sleep(0.2)
        key("space", True)
        key("space", False)

    def wait_for_exit(self, watch_windows=False):
        """The exit status; with watch_windows, also every top-level window the launcher
        showed meanwhile."""
        seen = set()
        deadline = time.monotonic() + EXIT_TIMEOUT
        while self.process.poll() is None:
            if time.monotonic() > deadline:
                raise AssertionError("the launcher did not exit within %.0f s" % EXIT_TIMEOUT)
            if watch_windows:
                seen.update(w.id for w in self.launcher_windows())
            time.sleep(0.02)
        return self.process.returncode, seen

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    # --- the stand-in game -------------------------------------------------------------

    def stand_in_starts(self):
        """One list of lines for each start of a stand-in, in order."""
        if not os.path.exists(self.log):
            return []
        starts = []
        with open(self.log) as f:
            for line in f.read().splitlines():
                if line.startswith("start "):
                    starts.append([])
                if starts:
                    starts[-1].append(line)
        return starts

    # --- the cases ---------------------------------------------------------------------

    def test_closing_ends_cleanly_and_starts_nothing(self):
        write_stand_in(self.game_folder, "game")
        self.start_launcher()
        window = self.wait_for_main_window()
        written = snapshot(self.temp.name, ignore=[self.stderr_path])

        self.close_through_window_system(window)
        status, _ = self.wait_for_exit()
        self.assertEqual(status, 0, self.stderr())
        after = snapshot(self.temp.name, ignore=[self.stderr_path])
        changed = sorted(p for p in set(written) | set(after) if written.get(p) != after.get(p))
        self.assertEqual(changed, [], "files written on exit")
        time.sleep(0.3)
        self.assertEqual(self.stand_in_starts(), [], "closing the window started a program")

    def test_start_in_empty_folder_with_foreign_arguments(self):
        self.start_launcher("--foo", "bar", "baz")
        window = self.wait_for_main_window()
        self.assertEqual(os.listdir(self.game_folder), ["override.cfg"])
        with open(os.path.join(self.game_folder, "override.cfg"), "rb") as f:
            self.assertIn(b'rendering_device/driver="vulkan"', f.read().splitlines())

        self.close_through_window_system(window)
        status, _ = self.wait_for_exit()
        self.assertEqual(status, 0, self.stderr())

    def test_start_button_starts_the_game_once(self):
        write_stand_in(self.game_folder, "game")
        self.start_launcher()
        window = self.wait_for_main_window()
        config = snapshot(self.game_folder)["override.cfg"]

        self.press_start_button(window)
        status, _ = self.wait_for_exit()
        self.assertEqual(status, 0, self.stderr())
        wait_until(self.stand_in_starts, 5.0, "the game to start")
        time.sleep(0.5)  # room for a second start, which must not come
        starts = self.stand_in_starts()
        self.assertEqual(len(starts), 1, starts)
        self.assertEqual(starts[0][1:], ["cwd=" + os.path.realpath(self.game_folder), "argc=0"])
        self.assertTrue(starts[0][0].startswith("start game "), starts[0][0])
        # The key presses reached the start button and no radio button.
        self.assertEqual(snapshot(self.game_folder)["override.cfg"], config)

        # Detached: the game outlives the launcher.
        pid = int(starts[0][0].split("pid=")[1])
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        self.assertNotEqual(state, "Z", "the game is no longer running")

    def test_start_button_without_game_closes_silently(self):
        self.start_launcher()
        window = self.wait_for_main_window()

        self.press_start_button(window)
        status, seen = self.wait_for_exit(watch_windows=True)
        self.assertEqual(status, 0, self.stderr())
        self.assertLessEqual(seen, {window.id}, "another window appeared")
        self.assertEqual(self.stderr(), "")
        time.sleep(0.3)
        self.assertEqual(self.stand_in_starts(), [], "a program from PATH was started")


if __name__ == "__main__":
    unittest.main(verbosity=2)
