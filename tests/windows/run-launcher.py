#!/usr/bin/python3
"""Drives the installed Windows launcher under Wine as a player would.

usage: run-launcher.py INSTALL_DIR STANDIN_EXE DLL_DIR

Needs an X server (run it under xvfb-run) and the Wine prefix in $WINEPREFIX. The
launcher runs with the windows platform and Wine's plain environment: no search path
to Qt, so the install folder must hold everything the launcher loads. DLL_DIR holds the
stand-ins for graphics DLLs that a player put in the game's folder
(graphics_dll.c). Each case prints
"ok - NAME" or "not ok - NAME: REASON"; the last line is "run-launcher: N passed, M
failed", and the exit status is 1 if any case failed.
"""

import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import time

from Xlib import X, XK, display
from Xlib.error import XError
from Xlib.ext import xtest
from Xlib.protocol import event

TITLE = "Quillmont Helper"
FIRST_START = (b'[rendering]\r\n'
               b'renderer/rendering_method="forward_plus"\r\n'
               b'renderer/rendering_method.windows="forward_plus"\r\n'
               b'rendering_device/driver="vulkan"\r\n'
               b'rendering_device/driver.windows="vulkan"\r\n')
STANDIN_LOG = "quillmont-standin.log"
NO_VULKAN = {"VK_ICD_FILENAMES": "/nonexistent.json"}
# Wine's drivers on Debian's software ones find all four; host variables take two away.
PROBES = [({}, "vulkan=found d3d12=found opengl3=found opengl3_angle=found"),
          (NO_VULKAN, "vulkan=missing d3d12=missing opengl3=found opengl3_angle=found"),
          ({"MESA_GL_VERSION_OVERRIDE": "3.0"}, "vulkan=found d3d12=found opengl3=missing opengl3_angle=missing")]
# Windows loads a DLL from the program's folder before its own; Wine, told so, too.
PREFER_FOLDER_DLLS = {"WINEDLLOVERRIDES": "d3d9,d3d11,dxgi,vulkan-1=n,b"}
# Stand-ins that record each process that loads them, in NAME.log beside them.
MARKERS = ("d3d9.dll", "d3d11.dll", "dxgi.dll")


class Failure(Exception):
    pass


def wait_for(what, condition, timeout):
    """Polls condition until it gives a true value, which is returned; fails after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise Failure("timed out after %gs waiting for %s" % (timeout, what))
        time.sleep(0.1)


def wine_user():
    """The user name that Wine gives the prefix's user folder, as Wine itself finds it."""
    return os.environ.get("USER") or pwd.getpwuid(os.getuid()).pw_name


def windows_path(path):
    """The path as a program under Wine sees it, through drive Z:."""
    return "Z:" + os.path.realpath(path).replace("/", "\\")


class Desktop:
    def __init__(self):
        self.display = display.Display()
        self.root = self.display.screen().root
        self.wm_protocols = self.display.intern_atom("WM_PROTOCOLS")
        self.wm_delete_window = self.display.intern_atom("WM_DELETE_WINDOW")
        self.net_wm_name = self.display.intern_atom("_NET_WM_NAME")
        self.utf8_string = self.display.intern_atom("UTF8_STRING")

    def viewable_windows(self, pid):
        """The mapped top-level windows that the Wine process pid shows."""
        windows = []
        for window in self.root.query_tree().children:
            try:
                if window.get_attributes().map_state != X.IsViewable:
                    continue
                prop = window.get_full_property(self.display.intern_atom("_NET_WM_PID"), X.AnyPropertyType)
                if prop is None or int(prop.value[0]) != pid:
                    continue
                geometry = window.get_geometry()
                if geometry.width > 1 and geometry.height > 1:
                    windows.append(window)
            except XError:
                continue  # gone while we looked
        return windows

    def title(self, window):
        prop = window.get_full_property(self.net_wm_name, self.utf8_string)
        if prop is not None:
            value = prop.value
            return value.decode("utf-8") if isinstance(value, bytes) else str(value)
        return window.get_wm_name()

    def point_at(self, window):
        """Moves the pointer over the window: with no window manager, keys go where it is."""
        geometry = window.get_geometry()
        origin = window.translate_coords(self.root, 0, 0)
        x = -origin.x + geometry.width // 2
        y = -origin.y + geometry.height // 2
        xtest.fake_input(self.display, X.MotionNotify, x=x, y=y)
        self.display.sync()

    def press(self, key):
        keycode = self.display.keysym_to_keycode(XK.string_to_keysym(key))
        xtest.fake_input(self.display, X.KeyPress, keycode)
        xtest.fake_input(self.display, X.KeyRelease, keycode)
        self.display.sync()

    def close(self, window):
        """Asks the window to close, as a window manager's close button does."""
        message = event.ClientMessage(window=window, client_type=self.wm_protocols,
                                      data=(32, [self.wm_delete_window, X.CurrentTime, 0, 0, 0]))
        window.send_event(message, event_mask=X.NoEventMask)
        self.display.sync()


class Launcher:
    """One run of the launcher's .exe under Wine, in the given working folder."""

    def __init__(self, desktop, exe, cwd, extra_env=None):
        self.desktop = desktop
        env = {name: value for name, value in os.environ.items()
               if not name.startswith(("QT_", "WINEQT_")) and name not in ("WINEPATH", "WINEDLLPATH")}
        env.setdefault("WINEDEBUG", "-all")
        env.update(extra_env or {})
        self.output = tempfile.TemporaryFile()
        self.process = subprocess.Popen(["wine", exe], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                        stdout=self.output, stderr=subprocess.STDOUT)
        self.main_window = None

    def log(self):
        self.output.seek(0)
        return self.output.read().decode("utf-8", "replace")

    def windows(self):
        return self.desktop.viewable_windows(self.process.pid)

    def wait_for_main_window(self, timeout=60):
        def shown():
            if self.process.poll() is not None:
                raise Failure("launcher exited with status %d before its window appeared" % self.process.returncode)
            titled = [w for w in self.windows() if self.desktop.title(w) == TITLE]
            return titled[0] if titled else None
        self.main_window = wait_for("the window titled %r" % TITLE, shown, timeout)
        # Let Qt finish the first paint and give focus to the first widget.
        time.sleep(1.0)
        return self.main_window

    def dialogs(self):
        return [w for w in self.windows() if w.id != self.main_window.id]

    def answer_box(self, what):
        """Waits for a message box, presses its default button and waits until it has
        closed; returns the box's title."""
        box = wait_for(what, lambda: (self.dialogs() or [None])[0], 20)
        title = self.desktop.title(box)
        self.desktop.point_at(box)
        self.desktop.press("Return")
        wait_for("the box to close", lambda: not self.dialogs(), 20)
        return title

    def wait_for_exit(self, timeout=30):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("launcher still running %gs later" % timeout) from None

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)


class Run:
    def __init__(self, install_dir, standin, dlls):
        self.install_dir = install_dir
        self.standin = standin
        self.dlls = dlls
        self.desktop = Desktop()
        prefix = os.environ["WINEPREFIX"]
        self.appdata = os.path.join(prefix, "drive_c", "users", wine_user(),
                                    "AppData", "Roaming")
        self.game_data = os.path.join(self.appdata, "Quillmont")
        self.passed = 0
        self.failed = 0

    def set_game_data(self, files):
        """Leaves the game data folder %APPDATA%\\Quillmont holding only the given files."""
        shutil.rmtree(self.game_data, ignore_errors=True)
        if files is not None:
            os.makedirs(self.game_data)
            for name in files:
                with open(os.path.join(self.game_data, name), "wb") as f:
                    f.write(b"kept by the game\r\n")

    def game_folder(self, with_launcher, with_standin, dlls=()):
        folder = tempfile.mkdtemp(prefix="quillmont-game.")
        if with_launcher:
            shutil.copytree(self.install_dir, folder, dirs_exist_ok=True)
        if with_standin:
            shutil.copy(self.standin, os.path.join(folder, "Quillmont.exe"))
        for name in dlls:
            shutil.copy(os.path.join(self.dlls, name), folder)
        return folder

    def start_in_game_folder(self, start, game_data, with_standin, extra_env=None, dlls=()):
        """The launcher dropped into a game folder, with its window shown."""
        self.set_game_data(game_data)
        folder = self.game_folder(with_launcher=True, with_standin=with_standin, dlls=dlls)
        launcher = start(os.path.join(folder, "QuillmontHelper.exe"), folder, extra_env)
        launcher.wait_for_main_window()
        return folder, launcher

    def case(self, name, body):
        launcher = None
        folder = None

        def start(exe, cwd, extra_env=None):
            nonlocal launcher, folder
            launcher = Launcher(self.desktop, exe, cwd, extra_env)
            folder = cwd
            return launcher
        try:
            body(start)
            self.passed += 1
            print("ok - %s" % name, flush=True)
        except Exception as failure:  # a broken case must not hide the ones after it
            self.failed += 1
            reason = str(failure) if isinstance(failure, Failure) else repr(failure)
            print("not ok - %s: %s" % (name, reason), flush=True)
            if launcher is not None:
                print("  launcher output:\n    " + launcher.log().strip().replace("\n", "\n    "), flush=True)
        finally:
            if launcher is not None:
                launcher.stop()
                # A stand-in started by mistake records into the folder: let it finish.
                try:
                    wait_for_standin_to_finish(folder)
                except Failure:
                    pass
            if folder is not None:
                shutil.rmtree(folder, ignore_errors=True)

    # Started in an empty folder, the window shows at its fixed size and the first
    # start's configuration is written in Windows' text form; closing writes nothing.
    def first_start(self, start):
        self.set_game_data(None)
        folder = tempfile.mkdtemp(prefix="quillmont-game.")
        launcher = start(os.path.join(self.install_dir, "QuillmontHelper.exe"), folder)
        window = launcher.wait_for_main_window()
        geometry = window.get_geometry()
        if (geometry.width, geometry.height) != (384, 320):
            raise Failure("window is %dx%d, not 384x320" % (geometry.width, geometry.height))
        expect_files(folder, ["override.cfg"])
        expect_bytes(os.path.join(folder, "override.cfg"), FIRST_START)
        self.desktop.close(window)
        expect_status(launcher.wait_for_exit(), 0)
        expect_files(folder, ["override.cfg"])
        expect_bytes(os.path.join(folder, "override.cfg"), FIRST_START)

    # Dropped into the game's folder, closing the window leaves the game unstarted.
    def close_starts_nothing(self, start):
        folder, launcher = self.start_in_game_folder(start, ["settings.cfg"], with_standin=True)
        self.desktop.close(launcher.main_window)
        expect_status(launcher.wait_for_exit(), 0)
        time.sleep(2.0)  # a game started by mistake would have recorded its start by now
        if os.path.exists(os.path.join(folder, STANDIN_LOG)):
            raise Failure("closing the window started the game")

    # With only the settings file in %APPDATA%\Quillmont, only Settings may be enabled.
    # The form's tab order is the driver choice, Game Version, Subscription, Settings,
    # start: the first Tab must pass over the two disabled buttons to Settings, whose
    # confirmed clear removes the file; disabled, it hands focus on to the start
    # button, which starts the game once and ends the launcher.
    def clear_settings_then_start(self, start):
        folder, launcher = self.start_in_game_folder(start, ["settings.cfg"], with_standin=True)
        desktop, window = self.desktop, launcher.main_window

        # Focus starts on the checked driver choice.
        desktop.point_at(window)
        desktop.press("Tab")
        desktop.press("space")
        launcher.answer_box("a confirmation box")
        settings = os.path.join(self.game_data, "settings.cfg")
        wait_for("the first enabled clear button to remove settings.cfg from %APPDATA%\\Quillmont",
                 lambda: not os.path.exists(settings), 10)

        # Settings is now disabled, and focus has moved on to the start button.
        desktop.point_at(window)
        desktop.press("space")
        expect_status(launcher.wait_for_exit(), 0)
        if "finished" in read_lines(os.path.join(folder, STANDIN_LOG)):
            raise Failure("the launcher waited for the game to end")
        wait_for("the game to start", lambda: read_lines(os.path.join(folder, STANDIN_LOG)), 20)
        wait_for_standin_to_finish(folder)
        record = read_lines(os.path.join(folder, STANDIN_LOG))
        expected = ["started argc=1 cwd=%s argv=Quillmont.exe" % windows_path(folder), "finished"]
        if record != expected:
            raise Failure("game record %r, expected %r" % (record, expected))

    # Without the game anywhere Windows looks, the start button warns and the launcher
    # stays open; once the game is in place, the same button starts it.
    def start_without_game_then_with(self, start):
        folder, launcher = self.start_in_game_folder(start, None, with_standin=False)
        desktop, window = self.desktop, launcher.main_window

        # No clear button is enabled: Tab goes from the driver choice to the start button.
        desktop.point_at(window)
        desktop.press("Tab")
        desktop.press("space")
        title = launcher.answer_box("a warning box")
        if title != TITLE:
            raise Failure("box titled %r, expected %r" % (title, TITLE))
        if launcher.process.poll() is not None:
            raise Failure("the launcher exited with status %d" % launcher.process.returncode)

        shutil.copy(self.standin, os.path.join(folder, "Quillmont.exe"))
        desktop.point_at(window)
        desktop.press("space")
        expect_status(launcher.wait_for_exit(), 0)
        wait_for("the game to start", lambda: read_lines(os.path.join(folder, STANDIN_LOG)), 20)
        wait_for_standin_to_finish(folder)
        if read_lines(os.path.join(folder, STANDIN_LOG)).count("finished") != 1:
            raise Failure("the game started more than once")

    # Each line's driver and middle field, in the table's order.
    def probe_drivers(self, extra_env, expected, folder=None):
        """Runs --probe-drivers of the launcher in folder (default: the install folder),
        checks each line's driver and status, and returns the details by driver."""
        folder = folder or self.install_dir
        result = subprocess.run(["wine", os.path.join(folder, "QuillmontHelper.exe"), "--probe-drivers"], cwd=folder,
                                env=dict(os.environ, **extra_env), capture_output=True, timeout=60)
        lines = [line.split("\t") for line in result.stdout.decode().splitlines()]
        got = " ".join("=".join(fields[:2]) for fields in lines)
        if (result.returncode, got) != (0, expected):
            raise Failure("status %d, probed %r, expected %r; answer:\n%s"
                          % (result.returncode, got, expected, result.stdout.decode().strip()))
        return {fields[0]: fields[2] for fields in lines}

    # Graphics DLLs in the game's folder never run in the window's process, whose start
    # would import them or whose first window would open Direct3D 9. The probe's
    # processes do load them, as the game would.
    def markers_stay_out_of_the_window(self, start):
        self.set_game_data(None)
        folder = self.game_folder(with_launcher=True, with_standin=False, dlls=MARKERS)
        launcher = start(os.path.join(folder, "QuillmontHelper.exe"), folder, PREFER_FOLDER_DLLS)
        launcher.wait_for_main_window()
        # Wine shows a process's Windows command line, which holds the folder's name.
        probe = os.path.basename(folder) + ".*--probe-drivers"
        wait_for("the probe to end", lambda: subprocess.run(["pgrep", "-f", probe], stdout=subprocess.DEVNULL).returncode,
                 30)
        self.desktop.close(launcher.main_window)
        expect_status(launcher.wait_for_exit(), 0)
        loads = {name: read_lines(os.path.join(folder, name + ".log"), "utf-16-le") for name in MARKERS}
        in_window = ["%s by %s" % (name, line) for name, lines in loads.items() for line in lines
                     if "--probe-drivers" not in line]
        if in_window:
            raise Failure("loaded into the window's process: %s" % in_window)
        if not loads["d3d11.dll"]:
            raise Failure("no probe loaded d3d11.dll from the game's folder")

    # A DLL from the game's folder that a driver loads is named, also one that the
    # driver's own DLL pulls in (Wine's d3d12.dll imports dxgi.dll).
    def probe_names_folder_dlls(self, _):
        folder = self.game_folder(with_launcher=True, with_standin=False, dlls=MARKERS)
        try:
            details = self.probe_drivers(PREFER_FOLDER_DLLS, "vulkan=found d3d12=unknown opengl3=found "
                                         "opengl3_angle=missing", folder)
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        for driver, dll in (("opengl3_angle", "d3d11.dll"), ("d3d12", "dxgi.dll")):
            if "%s from the game's folder" % dll not in details[driver]:
                raise Failure("%s: %r does not name %s from the game's folder" % (driver, details[driver], dll))

    # A DLL that floods its loader's output costs only the answers of the drivers that
    # load it (under Wine, DirectX 12 runs on Vulkan through vulkan-1.dll), at once rather
    # than at the deadline; the window neither waits for it nor is held by it at quit.
    def flooding_dll(self, start):
        folder, launcher = self.start_in_game_folder(start, None, with_standin=False, extra_env=PREFER_FOLDER_DLLS,
                                                     dlls=("vulkan-1.dll",))
        self.desktop.close(launcher.main_window)
        expect_status(launcher.wait_for_exit(timeout=5), 0)
        details = self.probe_drivers(PREFER_FOLDER_DLLS, "vulkan=unknown d3d12=unknown opengl3=found "
                                     "opengl3_angle=found", folder)
        if "more than 16 KiB" not in details["vulkan"]:
            raise Failure("vulkan: %r, not refused for its size" % details["vulkan"])

    # Without Vulkan, selected at a first start, once the probe has ended the start button
    # asks first; Cancel, the default, leaves the launcher open and starts nothing.
    def missing_driver_asks(self, start):
        folder, launcher = self.start_in_game_folder(start, None, with_standin=True, extra_env=NO_VULKAN)
        wait_for("the probe to end", lambda: subprocess.run(["pgrep", "-f", "--", "--probe-drivers"],
                                                         stdout=subprocess.DEVNULL).returncode, 30)
        time.sleep(0.5)  # for the launcher to read the answer
        self.desktop.point_at(launcher.main_window)
        self.desktop.press("Tab")  # from the driver choice to the start button
        self.desktop.press("space")
        if launcher.answer_box("the question") != TITLE:
            raise Failure("the question is not titled %r" % TITLE)
        time.sleep(2.0)  # a game started by mistake would have recorded its start by now
        if launcher.process.poll() is not None or os.path.exists(os.path.join(folder, STANDIN_LOG)):
            raise Failure("the launcher ended, or started the game")


def read_lines(path, encoding="utf-8"):
    """The lines of a record, or none if nothing has written it (yet)."""
    try:
        with open(path, "rb") as f:
            return f.read().decode(encoding).splitlines()
    except FileNotFoundError:
        return []


def wait_for_standin_to_finish(folder, timeout=20):
    """Waits until every start of the stand-in in folder has been followed by its end."""
    def finished():
        record = read_lines(os.path.join(folder, STANDIN_LOG))
        return record.count("finished") == len(record) - record.count("finished")
    wait_for("the game to finish", finished, timeout)


def expect_files(folder, names):
    found = sorted(os.listdir(folder))
    if found != sorted(names):
        raise Failure("folder holds %s, expected %s" % (found, sorted(names)))


def expect_bytes(path, expected):
    with open(path, "rb") as f:
        content = f.read()
    if content != expected:
        raise Failure("%s holds %r, expected %r" % (os.path.basename(path), content, expected))


def expect_status(status, expected):
    if status != expected:
        raise Failure("launcher exited with status %d, expected %d" % (status, expected))


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    run = Run(*(os.path.realpath(a) for a in argv))
    run.case("first start in an empty folder: window, CR LF override.cfg, close", run.first_start)
    run.case("closing the window exits 0 and starts nothing", run.close_starts_nothing)
    run.case("only Settings enabled; start button starts the game once", run.clear_settings_then_start)
    run.case("without the game a warning, the launcher stays; then it starts the game",
             run.start_without_game_then_with)
    for env, expected in PROBES:
        setting = " ".join("%s=%s" % item for item in env.items()) or "no variable"
        run.case("--probe-drivers with %s" % setting, lambda _, e=env, x=expected: run.probe_drivers(e, x))
    run.case("without Vulkan the start button asks first; Cancel starts nothing", run.missing_driver_asks)
    run.case("d3d9, d3d11 and dxgi.dll in the game's folder: none loads into the window's process",
             run.markers_stay_out_of_the_window)
    run.case("--probe-drivers names d3d11.dll and dxgi.dll from the game's folder", run.probe_names_folder_dlls)
    run.case("a vulkan-1.dll that floods its output: refused at once, the window does not wait", run.flooding_dll)
    run.set_game_data(None)
    print("run-launcher: %d passed, %d failed" % (run.passed, run.failed), flush=True)
    return 1 if run.failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
