#!/usr/bin/env python3
"""Start-up benchmark: how long the launcher takes to put its window on screen.

Starts the launcher and a minimal Qt program of the same kind (the baseline) in turn,
each in a fresh working folder, and times every run from the moment the process is
spawned until the X server maps its top-level window. The map is seen as a MapNotify
event on the root window, selected before the process starts, so no polling delay
enters the figure. After a short settle time, during which the window paints itself,
the window is asked to close as a window manager would (WM_DELETE_WINDOW), the process
is reaped with wait4, and its peak resident memory is read from the rusage.

Runs under its own Xvfb on a free display unless --display names a server, which
should have no window manager: the events watched are those of windows that are
direct children of the root.

With --wine, both programs are Windows programs run through Wine, in the prefix
$WINEPREFIX. The Wine server that the warm-up runs start lingers for a few seconds
after each program, so that no timed run pays for starting it.

With --busy-disk, another process keeps the disk busy for the whole measurement: it
rewrites a large file beside the working folders and syncs it, over and over, so that
any sync the programs make waits behind it.

Needs python3-xlib (Debian: the system python3). Usually started through
bench/run-startup.sh, which builds the two programs first.
"""

import argparse
import os
import resource
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from Xlib import X, Xatom, display as xdisplay, error as xerror
from Xlib.protocol import event as xevent

GOAL_RATIO = 1.10

# A typical override.cfg, as the game's folder holds one once the launcher has run.
SEED_CONFIG = (
    b"; Engine overrides written by the launcher.\n"
    b"[rendering]\n"
    b"renderer/rendering_method=\"forward_plus\"\n"
    b"renderer/rendering_method.windows=\"forward_plus\"\n"
    b"rendering_device/driver=\"vulkan\"\n"
    b"rendering_device/driver.windows=\"vulkan\"\n"
)

GAME_DATA_FILES = ("settings.cfg", "version.dat", "subscription.dat")


class BenchError(Exception):
    pass


# The disk-busy writer, run as a process of its own: 64 MiB rewritten and synced in a
# loop until it is ended.
BUSY_WRITER = r"""
import os, sys
chunk = os.urandom(1 << 20)
with open(sys.argv[1], "wb") as f:
    while True:
        f.seek(0)
        for _ in range(64):
            f.write(chunk)
        f.flush()
        os.fsync(f.fileno())
"""


def start_busy_writer(folder):
    """Starts the writer on a file in folder; returns (process, file path)."""
    fd, path = tempfile.mkstemp(prefix="quillmont-busy-", dir=folder)
    os.close(fd)
    writer = subprocess.Popen([sys.executable, "-c", BUSY_WRITER, path],
                              stdin=subprocess.DEVNULL)
    # Let it get going, so that the first runs already meet a busy disk.
    time.sleep(1.0)
    if writer.poll() is not None:
        os.unlink(path)
        raise BenchError("the disk-busy writer did not start")
    return writer, path


def start_xvfb(log_path):
    """Starts Xvfb on a display number of its own choosing; returns (process, name)."""
    read_fd, write_fd = os.pipe()
    with open(log_path, "wb") as log:
        server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x1024x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_fd,), stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    os.close(write_fd)
    number = b""
    deadline = time.monotonic() + 15
    while not number.endswith(b"\n"):
        remaining = deadline - time.monotonic()
        if remaining <= 0 or not select.select([read_fd], [], [], remaining)[0]:
            break
        chunk = os.read(read_fd, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_fd)
    if not number.strip().isdigit():
        stop_process(server)
        raise BenchError(f"Xvfb did not start; see {log_path}")
    return server, ":" + number.strip().decode()


def stop_process(proc, grace=3.0):
    if proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


class MapWatcher:
    """Reports the top-level windows that a given process maps on the X server."""

    def __init__(self, display_name):
        self.display = xdisplay.Display(display_name)
        self.root = self.display.screen().root
        self.net_wm_pid = self.display.intern_atom("_NET_WM_PID")
        self.wm_protocols = self.display.intern_atom("WM_PROTOCOLS")
        self.wm_delete_window = self.display.intern_atom("WM_DELETE_WINDOW")
        # Selected once, before any process is spawned, so that no map can be missed.
        self.root.change_attributes(event_mask=X.SubstructureNotifyMask)
        self.display.sync()

    def drain(self):
        """Discards the events of earlier runs."""
        self.display.sync()
        while self.display.pending_events():
            self.display.next_event()

    def window_pid(self, window):
        try:
            prop = window.get_full_property(self.net_wm_pid, Xatom.CARDINAL)
        except xerror.XError:
            return None
        return prop.value[0] if prop and len(prop.value) else None

    def wait_for_map(self, pid, deadline, exited):
        """Returns (monotonic ns at the MapNotify, window) for the first top-level,
        non-override-redirect window that process pid maps. Calls exited() while
        waiting and gives up when it returns true or the deadline passes."""
        fd = self.display.fileno()
        while True:
            while self.display.pending_events():
                ev = self.display.next_event()
                if ev.type != X.MapNotify or ev.override:
                    continue
                # Stamped before any further round trip to the server.
                stamp = time.perf_counter_ns()
                if self.window_pid(ev.window) == pid:
                    return stamp, ev.window
            if exited():
                raise BenchError("the process exited before mapping a window")
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise BenchError("no window was mapped in time")
            select.select([fd], [], [], min(remaining, 0.05))

    def pump(self, seconds):
        """Keeps reading events for a while, so that the server is never held up."""
        end = time.monotonic() + seconds
        fd = self.display.fileno()
        while (remaining := end - time.monotonic()) > 0:
            select.select([fd], [], [], remaining)
            while self.display.pending_events():
                self.display.next_event()

    def request_close(self, window):
        """Asks the window to close the way a window manager's close button does."""
        message = xevent.ClientMessage(
            window=window, client_type=self.wm_protocols,
            data=(32, [self.wm_delete_window, X.CurrentTime, 0, 0, 0]))
        try:
            window.send_event(message, event_mask=X.NoEventMask)
            self.display.flush()
        except xerror.XError:
            pass


def prepare_session(session_dir, display_name, wine):
    """The environment every run shares: a private home and data folders under
    session_dir, and the game's data folder with its three files, so that the
    launcher's existence tests find something. The user's own data is never used."""
    home = os.path.join(session_dir, "home")
    data_home = os.path.join(session_dir, "data")
    runtime = os.path.join(session_dir, "runtime")
    for path in (home, data_home):
        os.makedirs(path)
    os.mkdir(runtime, 0o700)
    game_data = os.path.join(data_home, "Quillmont")
    os.makedirs(game_data)
    for name in GAME_DATA_FILES:
        with open(os.path.join(game_data, name), "wb") as f:
            f.write(b"benchmark\n")
    env = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "LANG": os.environ.get("LANG", "C.UTF-8"),
        "DISPLAY": display_name,
        "HOME": home,
        "XDG_DATA_HOME": data_home,
        "XDG_CONFIG_HOME": os.path.join(home, ".config"),
        "XDG_CACHE_HOME": os.path.join(home, ".cache"),
        "XDG_RUNTIME_DIR": runtime,
        "QT_QPA_PLATFORM": "xcb",
    }
    if "LD_LIBRARY_PATH" in os.environ:
        env["LD_LIBRARY_PATH"] = os.environ["LD_LIBRARY_PATH"]
    if wine:
        env["WINEPREFIX"] = os.path.abspath(os.environ["WINEPREFIX"])
        env["WINEDEBUG"] = "-all"
    return env


def process_cpu_ms(pid):
    """CPU time that all threads of the process have used so far, in ms; None when
    the kernel does not say."""
    total = 0
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None
    return total / 1e6


def run_once(watcher, program, env, args):
    """One start: returns (ms from spawn to map, CPU ms to map, peak RSS in KiB)."""
    workdir = tempfile.mkdtemp(prefix="quillmont-startup-", dir=args.workdir_root)
    try:
        if not args.empty_folder:
            with open(os.path.join(workdir, "override.cfg"), "wb") as f:
                f.write(SEED_CONFIG)
        log_path = os.path.join(workdir, "output.log")
        with open(log_path, "wb") as log:
            watcher.drain()
            start = time.perf_counter_ns()
            proc = subprocess.Popen((["wine"] if args.wine else []) + [program], cwd=workdir, env=env,
                                    stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        status = None

        def exited():
            nonlocal status
            if status is None:
                pid, st, usage = os.wait4(proc.pid, os.WNOHANG)
                if pid:
                    status = (st, usage)
            return status is not None

        def wait_exit(seconds):
            deadline = time.monotonic() + seconds
            while not exited() and time.monotonic() < deadline:
                time.sleep(0.005)
            return exited()

        closed = False
        try:
            mapped, window = watcher.wait_for_map(
                proc.pid, time.monotonic() + args.timeout, exited)
            cpu = process_cpu_ms(proc.pid)
            watcher.pump(args.settle / 1000)
            if not exited():
                watcher.request_close(window)
            closed = wait_exit(5)
        finally:
            # Also reached when no window appeared: never leave the process behind.
            if not exited():
                proc.terminate()
                if not wait_exit(3):
                    proc.kill()
                    wait_exit(60)
            if not exited():
                raise BenchError("the process could not be ended")
            proc.returncode = os.waitstatus_to_exitcode(status[0])
        if not closed and not args.allow_kill:
            raise BenchError("the window did not close on WM_DELETE_WINDOW")
        if closed and proc.returncode != 0:
            with open(log_path, "rb") as f:
                output = f.read().decode(errors="replace")
            raise BenchError(f"exited with {proc.returncode}:\n{output}")
        return (mapped - start) / 1e6, cpu, status[1].ru_maxrss
    except BenchError as e:
        raise BenchError(f"{program} in {workdir}: {e}") from None
    finally:
        if not args.keep:
            shutil.rmtree(workdir, ignore_errors=True)


def summarise(values):
    return statistics.median(values), min(values), max(values)


def load_average():
    try:
        with open("/proc/loadavg") as f:
            return float(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def print_table(results, args, display_name, loads):
    time_goal = args.time_goal
    names = ("launcher", "baseline")
    print(f"Start-up to mapped window, {args.runs} runs each, alternating "
          f"(X server {display_name}, settle {args.settle} ms, "
          f"{'empty folder' if args.empty_folder else 'folder with override.cfg'} "
          f"in {args.workdir_root or tempfile.gettempdir()}"
          f"{', disk kept busy by another writer' if args.busy_disk else ''}"
          f"{', under Wine' if args.wine else ''})")
    if args.runs < 20:
        print("Fewer than 20 runs each: a quick look, not a measurement.")
    if None not in loads:
        # The benchmark itself keeps about one process running.
        busy = max(loads) > 1.5
        print(f"Load average {loads[0]:.2f} before, {loads[1]:.2f} after, on {os.cpu_count()} "
              f"processors" + (": other work competed for the processors, which stretches "
                               "the wall times more than the CPU times." if busy else "."))
    print()
    # Wall time is what the goals are about. The CPU time that the process has used by
    # the time its map is seen, from the kernel's scheduler statistics, is shown beside
    # it: it moves much less than the wall time when other programs compete for the
    # processors, which helps to tell a real difference from a busy machine.
    blocks = (("time to map (ms)", 0, 1), ("CPU to map (ms)", 1, 1), ("peak RSS (MiB)", 2, 1024))
    print(f"{'':<20}" + "   ".join(f"{title:^24}" for title, _, _ in blocks))
    print(f"{'':<20}" + "   ".join(f"{'median':>8}{'min':>8}{'max':>8}" for _ in blocks))
    medians = {}
    for name in names:
        cells = []
        for title, index, scale in blocks:
            values = [run[index] for run in results[name]]
            if None in values:
                medians[name, index] = None
                cells.append(f"{'n/a':>8}{'':16}")
                continue
            stats = summarise([v / scale for v in values])
            medians[name, index] = stats[0]
            cells.append("".join(f"{v:8.1f}" for v in stats))
        print(f"{name:<20}" + "   ".join(cells))
    ratios = []
    for _, index, _ in blocks:
        launcher, baseline = medians["launcher", index], medians["baseline", index]
        ratios.append(launcher / baseline if launcher is not None and baseline else None)
    print(f"{'launcher/baseline':<20}" + "   ".join(
        f"{r:8.3f}{'':16}" if r is not None else f"{'n/a':>8}{'':16}" for r in ratios))
    time_ratio, _, rss_ratio = ratios

    def verdict(ratio, goal):
        return f"{'met' if ratio <= goal else 'MISSED'} <= {goal:.2f}"
    print(f"{'goal':<20}{verdict(time_ratio, time_goal):>16}{'':8}   {'':24}   "
          f"{verdict(rss_ratio, GOAL_RATIO):>16}")

    # The peak that Linux reports for a child also counts the memory of the process it
    # was forked from, carried over at exec: it means nothing unless the child outgrew
    # this driver.
    own = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    smallest = min(run[2] for name in names for run in results[name])
    if smallest <= own * 1.2:
        print(f"warning: this driver's own peak ({own / 1024:.1f} MiB) is close to the "
              f"smallest measured peak; the memory figures may be its own", file=sys.stderr)
    return time_ratio <= time_goal and rss_ratio <= GOAL_RATIO


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--launcher", required=True, help="the launcher's executable")
    parser.add_argument("--baseline", required=True, help="the baseline's executable")
    parser.add_argument("-n", "--runs", type=int, default=20,
                        help="timed runs of each program (default 20)")
    parser.add_argument("--warmup", type=int, default=2,
                        help="untimed runs of each program first (default 2)")
    parser.add_argument("--settle", type=int, default=300,
                        help="ms to let the window paint before closing it (default 300)")
    parser.add_argument("--timeout", type=float, default=20,
                        help="seconds to wait for a window (default 20)")
    parser.add_argument("--display", help="use this X server instead of starting Xvfb")
    parser.add_argument("--workdir-root",
                        help="make the working folders here (default: the system's temporary "
                             "folder); the launcher's writes end in fdatasync, whose cost "
                             "depends on the file system")
    parser.add_argument("--empty-folder", action="store_true",
                        help="start in an empty folder instead of one with override.cfg")
    parser.add_argument("--busy-disk", action="store_true",
                        help="keep the disk busy meanwhile: another process rewrites and syncs "
                             "a 64 MiB file in a loop beside the working folders")
    parser.add_argument("--wine", action="store_true",
                        help="the programs are Windows programs: run them through Wine, in the "
                             "prefix $WINEPREFIX")
    parser.add_argument("--time-goal", type=float, default=GOAL_RATIO,
                        help=f"the goal for the ratio of the times to map (default {GOAL_RATIO})")
    parser.add_argument("--allow-kill", action="store_true",
                        help="accept runs that had to be ended with SIGTERM")
    parser.add_argument("--keep", action="store_true",
                        help="keep the temporary folders, for inspection")
    args = parser.parse_args()
    if args.runs < 1 or args.warmup < 0 or args.settle < 0:
        parser.error("runs must be positive, warmup and settle not negative")
    programs = {"launcher": os.path.abspath(args.launcher),
                "baseline": os.path.abspath(args.baseline)}
    for path in programs.values():
        if not (os.path.isfile(path) if args.wine else os.access(path, os.X_OK)):
            parser.error(f"not an executable: {path}")
    if args.wine and "WINEPREFIX" not in os.environ:
        parser.error("--wine needs WINEPREFIX")

    session_dir = tempfile.mkdtemp(prefix="quillmont-startup-session-")
    server = None
    busy_writer, busy_file = None, None
    try:
        if args.busy_disk:
            busy_writer, busy_file = start_busy_writer(args.workdir_root or tempfile.gettempdir())
        display_name = args.display
        if display_name is None:
            server, display_name = start_xvfb(os.path.join(session_dir, "xvfb.log"))
        env = prepare_session(session_dir, display_name, args.wine)
        watcher = MapWatcher(display_name)
        results = {name: [] for name in programs}
        load_before = load_average()
        # Strictly alternating, so that a slow spell of the machine hits both alike.
        for i in range(args.warmup + args.runs):
            for name in ("launcher", "baseline"):
                measurement = run_once(watcher, programs[name], env, args)
                if i >= args.warmup:
                    results[name].append(measurement)
        met = print_table(results, args, display_name, (load_before, load_average()))
    except BenchError as e:
        print(f"startup.py: {e}", file=sys.stderr)
        return 2
    finally:
        if busy_writer is not None:
            stop_process(busy_writer)
            os.unlink(busy_file)
        if server is not None:
            stop_process(server)
        if not args.keep:
            shutil.rmtree(session_dir, ignore_errors=True)
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
