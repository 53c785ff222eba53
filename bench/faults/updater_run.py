"""One installation of the demo product by the real updater, in a folder of its own: the product laid out
and running, the updater started on it, watched through its log, killed, and everything it started ended."""
import json
import os
import signal
import subprocess
import threading
import time

from demo_product import DAEMON, SERVER
from process_table import command_line, executable, has_ended, live_processes

INSTALL_START = "=== 开始执行安装（工作线程）==="
# The window's last line: it has handed the trial over to the watcher, which the trial step's kills hit.
TRIAL_START = "试用期监视程序已启动"
WATCH_OPTION = "--watch"
# Short, so that each run that reaches the trial stays short; the shipped build waits it in full.
TRIAL_SECONDS = 3
# The log line that opens each step. The installation's start opens the shutdown step.
STEP_MARKERS = [
    (INSTALL_START, "shutdown"),
    ("=== 开始关闭相关进程 ===", "shutdown"),
    ("创建备份到:", "backup"),
    ("=== 开始解压更新包 ===", "extraction"),
    ("开始更新配置文件:", "config"),
    ("=== 开始恢复备份 ===", "restore"),
    ("清理临时目录:", "clean-up"),
    (TRIAL_START, "trial"),
]
STEP_ANCHORS = {
    "shutdown": INSTALL_START,
    "backup": "创建备份到:",
    "extraction": "=== 开始解压更新包 ===",
    "config": "开始更新配置文件:",
    "restore": "=== 开始恢复备份 ===",
    "clean-up": "清理临时目录:",
    "trial": TRIAL_START,
}
# Logged two seconds after the window opened (the companion folder's removal): the start-up's recovery is over.
WINDOW_OPEN = "good"
RECOVERY_LIMIT_S = 120
BEFORE_INSTALL = "before the installation"
AFTER_END = "after the end"
# Qt names a QThread's native thread after its class: the installation's worker is the only one.
WORKER_THREAD_NAME = "QThread"
STANDIN_LIFETIME_S = "120"
START_TIMEOUT_S = 60
END_WAIT_S = 5
# After a recovery the daemon's "run" returns before its service has started: a run is judged once the
# service runs, or after this long.
DAEMON_START_LIMIT_S = 15
# The window counts down, starts the daemon and hands over to the watcher; the watcher waits out the trial.
TRIAL_END_LIMIT_S = 60 + TRIAL_SECONDS
POLL_S = 0.002
DAEMON_POLL_S = 0.1


class UpdaterLog:
    """The updater's standard error, line by line, each with the monotonic time it arrived."""

    def __init__(self, stream):
        self.lines = []
        self.changed = threading.Condition()
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for raw in stream:
            with self.changed:
                self.lines.append((time.monotonic(), raw.decode("utf-8", "replace").rstrip("\n")))
                self.changed.notify_all()
        with self.changed:
            self.lines.append((time.monotonic(), None))
            self.changed.notify_all()

    def wait_for(self, marker, timeout):
        """Arrival time of the first line holding marker; None when the log ends or the time is up first."""
        deadline = time.monotonic() + timeout
        seen = 0
        with self.changed:
            while True:
                for stamp, line in self.lines[seen:]:
                    if line is None:
                        return None
                    if marker in line:
                        return stamp
                seen = len(self.lines)
                remaining = deadline - time.monotonic()
                if remaining <= 0 or not self.changed.wait(remaining):
                    return None

    def text(self):
        with self.changed:
            return [line for _, line in self.lines if line is not None]

    def close(self):
        self.thread.join(END_WAIT_S)

    def last_step(self):
        step = BEFORE_INSTALL
        for line in self.text():
            for marker, name in STEP_MARKERS:
                if marker in line:
                    step = name
        return step

    def marker_times(self):
        """First arrival time of each step marker."""
        times = {}
        with self.changed:
            for stamp, line in self.lines:
                for marker, _ in STEP_MARKERS:
                    if line is not None and marker in line and marker not in times:
                        times[marker] = stamp
        return times


def worker_alive(pid):
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return False
    for task in tasks:
        try:
            with open("/proc/%d/task/%s/comm" % (pid, task)) as f:
                if f.read().strip() == WORKER_THREAD_NAME:
                    return True
        except OSError:
            continue
    return False


def end_by_pid(pids):
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + END_WAIT_S
    while any(not has_ended(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.01)


class UpdaterRun:
    def __init__(self, folder, product, tools, url):
        self.folder = folder
        self.product_folder = os.path.join(folder, "product")
        self.programdata = os.path.join(folder, "programdata")
        self.standin_log = os.path.join(folder, "standin-log.txt")
        # In the temporary folder, as the product hands it over: the updater deletes it and its companion
        # folder only there.
        self.info = os.path.join(folder, "tmp", "quillon-update.json")
        self.product = product
        self.tools = tools
        self.url = url
        self.started = []
        self.updater = None
        self.log = None
        # How long the last daemon check waited for the service to run.
        self.daemon_wait_s = 0.0

    def environment(self):
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env.update({
            "PATH": os.pathsep.join([self.tools.standin_bin, env.get("PATH", "")]),
            "PROGRAMDATA": self.programdata,
            "TMPDIR": os.path.join(self.folder, "tmp"),
            "QT_QPA_PLATFORM": "offscreen",
            "LC_ALL": "C.UTF-8",
            "FARLINK_STANDIN_LOG": self.standin_log,
            "FARLINK_STANDIN_LIFETIME_S": STANDIN_LIFETIME_S,
            # The daemon and the server have fixed image names: the stand-ins' taskkill and tasklist
            # see only this run's program folder, never the processes of other work on the machine.
            "FARLINK_STANDIN_SCOPE": self.product_folder,
        })
        return env

    def prepare(self):
        """The old version laid out and running, and the update information written."""
        for sub in ("programdata", "tmp"):
            os.makedirs(os.path.join(self.folder, sub))
        self.product.lay_out(self.product_folder)
        env = self.environment()
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        main = os.path.join(self.product_folder, self.product.main_name)
        server = os.path.join(self.product_folder, SERVER)
        self.started.append(subprocess.Popen([main], cwd=self.product_folder, start_new_session=True, **quiet))
        self.started.append(subprocess.Popen([server], cwd=os.path.dirname(server), start_new_session=True,
                                             **quiet))
        daemon = os.path.join(self.product_folder, DAEMON)
        subprocess.run([daemon, "run"], cwd=os.path.dirname(daemon), check=True, timeout=END_WAIT_S, **quiet)
        self.write_info()

    def write_info(self):
        """The update information as the product hands it over, with its companion folder."""
        main = os.path.join(self.product_folder, self.product.main_name)
        os.makedirs(self.info[: -len(".json")], exist_ok=True)
        with open(self.info, "w", encoding="utf-8") as f:
            json.dump({"app_path": main, "new_version": "2.0.0", "download_url": self.url,
                       "memo": "Quillon 2.0.0", "trial_seconds": TRIAL_SECONDS}, f)

    def restart_as_product(self):
        """Starts the updater again as the product would (mode auto: the window waits for Update Now), lets
        its start-up recovery run, and ends it once the window has been open for two seconds. Returns
        whether the window came."""
        self.write_info()
        self.start(mode="auto")
        opened = self.log.wait_for(WINDOW_OPEN, RECOVERY_LIMIT_S) is not None
        self._kill_updater()
        return opened

    def recover(self, kill_after=None):
        """FarlinkUpdater --recover <main executable>, to its end or killed (with what it started) after
        kill_after seconds. Returns the exit code, or None when it was killed or did not end in time."""
        main = os.path.join(self.product_folder, self.product.main_name)
        process = subprocess.Popen([self.tools.updater, "--recover", main], stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=self.environment(),
                                   start_new_session=True)
        try:
            code = process.wait(kill_after if kill_after is not None else RECOVERY_LIMIT_S)
            return code
        except subprocess.TimeoutExpired:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            process.wait()
            return None

    def standin_records(self):
        try:
            with open(self.standin_log, encoding="utf-8", errors="replace") as f:
                return [line.split("\t") for line in f]
        except OSError:
            return []

    def daemon_state(self, records_before, limit=DAEMON_START_LIMIT_S):
        """(started, alive): whether a daemon service was started after the first records_before stand-in
        records, and whether one of this run's program folder runs, waiting up to limit seconds for one to
        run. A trial's commit keeps the service the window started, so alive alone is a running daemon.
        Other jobs on the machine that end processes by the daemon's fixed image name can end it in
        between; started does not depend on them."""
        began = time.monotonic()
        self.daemon_wait_s = 0.0
        while True:
            started, alive = self._daemon_now(records_before)
            if alive or self.daemon_wait_s >= limit:
                return started, alive
            time.sleep(DAEMON_POLL_S)
            self.daemon_wait_s = time.monotonic() - began

    def _daemon_now(self, records_before):
        daemon = os.path.join(self.product_folder, DAEMON)
        records = self.standin_records()
        services = [int(fields[2]) for fields in records if len(fields) > 2 and fields[1] == "service" and
                    fields[2].isdigit()]
        started = any(len(fields) > 2 and fields[1] == "service" for fields in records[records_before:])
        alive = any(not has_ended(pid) and executable(pid) == daemon for pid in services)
        return started, alive

    def start(self, mode="manual"):
        self.updater = subprocess.Popen([self.tools.updater, "-i", self.info, "-m", mode],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, env=self.environment(), start_new_session=True)
        self.log = UpdaterLog(self.updater.stderr)

    def kill_at(self, anchor, delay):
        """Kills the updater and the tools it runs (its whole process group, at once) delay seconds after
        the anchor line. Returns the step the kill landed in and how late it came (seconds), or None when
        the anchor never came."""
        stamp = self.log.wait_for(anchor, START_TIMEOUT_S)
        if stamp is None:
            return None
        time.sleep(max(0.0, stamp + delay - time.monotonic()))
        alive = worker_alive(self.updater.pid)
        late = time.monotonic() - (stamp + delay)
        self._kill_updater()
        return (self.log.last_step() if alive else AFTER_END), late

    def kill_watcher_at(self, delay):
        """Kills the trial's watcher, it alone (the product it started keeps running), delay seconds after
        the window handed the trial over. Returns the step the kill landed in ("trial", or after the end when
        the watcher had ended) and how late it came, or None when the trial never began."""
        stamp = self.log.wait_for(TRIAL_START, START_TIMEOUT_S + TRIAL_END_LIMIT_S)
        if stamp is None:
            return None
        time.sleep(max(0.0, stamp + delay - time.monotonic()))
        watchers = self.watchers()
        late = time.monotonic() - (stamp + delay)
        end_by_pid(watchers)
        return ("trial" if watchers else AFTER_END), late

    def watchers(self):
        """The updater processes watching this run's main program."""
        main = os.path.join(self.product_folder, self.product.main_name)
        return [pid for pid in live_processes() if command_line(pid)[1:] == [WATCH_OPTION, main]]

    def run_through(self, trial):
        """Lets the installation run to its end. With trial, the window goes on to hand over to the watcher
        and the watcher to the trial's end; without, the updater is killed before it restarts the product.
        Returns the marker times, the worker's end and the trial's end (None without trial, or when it did
        not come in time), or None when the installation never started."""
        if self.log.wait_for(INSTALL_START, START_TIMEOUT_S) is None:
            return None
        # The worker printed that line, so it runs; it ends with its final signal.
        while worker_alive(self.updater.pid):
            time.sleep(POLL_S)
        end = time.monotonic()
        if not trial:
            self._kill_updater()
            return self.log.marker_times(), end, None
        trial_end = None
        if self.log.wait_for(TRIAL_START, TRIAL_END_LIMIT_S) is not None:
            deadline = time.monotonic() + TRIAL_END_LIMIT_S
            while self.watchers() and time.monotonic() < deadline:
                time.sleep(DAEMON_POLL_S)
            trial_end = None if self.watchers() else time.monotonic()
        return self.log.marker_times(), end, trial_end

    def _kill_updater(self):
        try:
            os.killpg(self.updater.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.updater.wait()
        self.log.close()

    def end_processes(self):
        """Ends what the run started: the product processes it launched, those the stand-ins recorded with
        an executable in this run's program folder, a watcher still at work, and the updater's process group
        if it still runs."""
        if self.updater is not None and self.updater.poll() is None:
            self._kill_updater()
        pids = [p.pid for p in self.started] + self.watchers()
        pids += [pid for pid in self._recorded_pids()
                 if executable(pid).startswith(self.product_folder + "/")]
        end_by_pid(sorted(set(pids)))
        for process in self.started:
            process.wait()

    def _recorded_pids(self):
        try:
            with open(self.standin_log, encoding="utf-8", errors="replace") as f:
                return [int(fields[2]) for fields in (line.split("\t") for line in f)
                        if len(fields) > 2 and fields[2].isdigit()]
        except OSError:
            return []
