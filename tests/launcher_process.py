#!/usr/bin/env python3
"""The built launcher as a real X11 program: its window as the X server sees it, closing
it through the window system, starting the game with the start button, the warnings it
shows when that or saving the driver fails, and where it finds the game's data.

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

    def start_launcher(self, *arguments, program_name=LAUNCHER):
        with open(self.stderr_path, "wb") as stderr:
            self.process = subprocess.Popen([program_name, *arguments], executable=LAUNCHER,
                                            cwd=self.game_folder, env=self.env,
                                            stdin=subprocess.DEVNULL,
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

    def wait_for_main_window(self, windows_shown=1):
        """The launcher's window, once it and windows_shown - 1 others are mapped."""
        def shown():
            self.assertIsNone(self.process.poll(), "the launcher exited before showing its window")
            windows = self.launcher_windows()
            if len(windows) != windows_shown:
                return None
            main = [w for w in windows if w.get_geometry().width == 384]
            return main[0] if len(main) == 1 else None
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

    def type_keys(self, window, *keys):
        """Focuses the window and types the keys, each a key name or a tuple of names
        held together."""
        window.set_input_focus(X.RevertToParent, X.CurrentTime)
        self.display.sync()
        time.sleep(0.3)

        def key(name, press):
            code = self.display.keysym_to_keycode(XK.string_to_keysym(name))
            xtest.fake_input(self.display, X.KeyPress if press else X.KeyRelease, code)
            self.display.sync()
            time.sleep(0.05)
        for combination in keys:
            names = combination if isinstance(combination, tuple) else (combination,)
            for name in names:
                key(name, True)
            for name in reversed(names):
                key(name, False)
            time.sleep(0.2)

    def press_start_button(self, window):
        """The first radio button has the focus, the clear buttons are disabled without
        game data, so going back one step wraps round to the start button."""
        self.type_keys(window, ("Shift_L", "Tab"), "space")

    def wait_for_box(self, main_window):
        """The launcher's one other window, a message box, checked for its title."""
        def shown():
            self.assertIsNone(self.process.poll(), "the launcher exited instead of showing a box")
            boxes = [w for w in self.launcher_windows() if w.id != main_window.id]
            return boxes[0] if len(boxes) == 1 else None
        box = wait_until(shown, WINDOW_TIMEOUT, "a message box")
        self.assertEqual(self.title_of(box), TITLE)
        time.sleep(0.3)
        return box

    def answer_box(self, main_window, box):
        """Presses the box's default button and waits until only the window is left."""
        self.type_keys(box, "Return")
        wait_until(lambda: [w.id for w in self.launcher_windows()] == [main_window.id],
                   WINDOW_TIMEOUT, "the box to close")

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

    def test_start_without_game_warns_and_stays_for_another_try(self):
        self.start_launcher()
        window = self.wait_for_main_window()

        self.press_start_button(window)
        self.answer_box(window, self.wait_for_box(window))
        self.assertEqual(self.stand_in_starts(), [], "a program from PATH was started")

        write_stand_in(self.game_folder, "game")
        self.type_keys(window, "space")  # the start button has kept the focus
        status, _ = self.wait_for_exit()
        self.assertEqual(status, 0, self.stderr())
        wait_until(self.stand_in_starts, 5.0, "the game to start")
        starts = self.stand_in_starts()
        self.assertEqual(len(starts), 1, starts)
        self.assertTrue(starts[0][0].startswith("start game "), starts[0][0])

    def test_unsaved_driver_is_reported_once_the_window_shows(self):
        os.mkdir(os.path.join(self.game_folder, "override.cfg"))
        self.start_launcher()
        window = self.wait_for_main_window(windows_shown=2)
        self.answer_box(window, self.wait_for_box(window))
        self.close_through_window_system(window)
        status, _ = self.wait_for_exit()
        self.assertEqual(status, 0, self.stderr())

    def test_game_data_folder_ignores_program_name_and_relative_data_home(self):
        """A confirmed clear of the settings removes the game's file, never the decoy
        where a launcher misled by its name or its environment would look."""
        base = self.temp.name
        cases = {
            "empty program name": ("", self.data_home, None, os.path.join(base, "Quillmont")),
            "relative XDG_DATA_HOME": (LAUNCHER, "data", os.path.join(base, "home"),
                                       os.path.join(self.game_folder, "data", "Quillmont")),
        }
        for name, (program_name, data_home, home, decoy) in cases.items():
            with self.subTest(name):
                self.env["XDG_DATA_HOME"] = data_home
                if home:
                    self.env["HOME"] = home
                game_data = os.path.join(home or self.data_home, *([".local", "share"] if home else []),
                                         "Quillmont")
                for folder in (game_data, decoy):
                    os.makedirs(folder, exist_ok=True)
                    with open(os.path.join(folder, "settings.cfg"), "w") as f:
                        f.write("fullscreen=true\n")
                self.start_launcher(program_name=program_name)
                window = self.wait_for_main_window()
                self.type_keys(window, "Tab", "space")  # the settings' clear button
                self.answer_box(window, self.wait_for_box(window))
                self.assertFalse(os.path.exists(os.path.join(game_data, "settings.cfg")))
                self.assertTrue(os.path.exists(os.path.join(decoy, "settings.cfg")))
                self.close_through_window_system(window)
                status, _ = self.wait_for_exit()
                self.assertEqual(status, 0, self.stderr())

if __name__ == "__main__":
    unittest.main(verbosity=2)
