#!/usr/bin/env python3
"""Kills the real updater with SIGKILL at random moments of many installations of a demo product and
classifies what each kill left in the program folder. Two kinds of runs: a package that installs, and a
package whose extraction fails (a file where the old version has a folder), so that the updater restores its
backup. The installing package is then on trial for a few seconds under the updater's watcher: the kills of
its last step hit the watcher alone.

Before the kills of each kind, three uninterrupted calibration runs measure how long each step takes (from
its first log line to the next step's, the worker's last step to the end of the worker thread, the trial from
the window's hand-over to the watcher's end). Each kill run then
picks a step (every step in turn, shuffled) and a uniformly random moment inside that step's span, counted
from the step's first log line as it arrives. The span is the median of every measurement so far: the kill
runs add those of the steps that ended before the aimed one, so that the spans follow the machine's load.
The step the kill really landed in is the last step log line the updater printed before it died.
"""
import argparse
import collections
import csv
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from demo_product import HIDDEN_FILE, DemoProduct
from updater_run import AFTER_END, BEFORE_INSTALL, INSTALL_START, STEP_ANCHORS, UpdaterRun
from verdict import CLASSES, FAILING, NEW_INTACT, OLD_INTACT, judge

PACKAGE = "/quillon-2.0.0.zip"
FAILING_PACKAGE = "/quillon-2.0.0-failing.zip"
SERVER_START_SECONDS = 10
CALIBRATION_RUNS = 3
# After each kill, what brings the folder back: the product starting the updater again, or --recover, once
# to its end or first killed within this many seconds and then run again.
RECOVERIES = ["restart", "--recover", "--recover killed, again"]
RECOVERY_WEIGHTS = [5, 3, 2]
RECOVER_KILL_WINDOW_S = 2.5
SHORT_CLASS = {
    "old version intact": "old",
    "new version intact": "new",
    "mixed, backup complete, recovered": "mixed+backup:recovered",
    "mixed, backup complete, NOT recoverable": "mixed+backup:NOT-recovered",
    "mixed, no complete backup, nothing lost": "mixed:nothing-lost",
    "LOST": "LOST",
}


class Kind:
    def __init__(self, name, path, steps, weighted, expected):
        self.name = name
        self.path = path
        self.steps = steps
        # The steps the kill moments are drawn from, in equal shares; a step listed twice gets twice as many.
        self.weighted = weighted
        self.expected = expected


KINDS = [
    Kind("installing package", PACKAGE, ["shutdown", "backup", "extraction", "config", "clean-up", "trial"],
         ["shutdown", "backup", "extraction", "config", "clean-up", "trial", "trial"], NEW_INTACT),
    Kind("failing extraction", FAILING_PACKAGE, ["shutdown", "backup", "extraction", "restore", "clean-up"],
         ["shutdown", "backup", "extraction", "restore", "restore", "clean-up"], OLD_INTACT),
]


class Tools:
    def __init__(self, build):
        self.updater = os.path.join(build, "src", "startup", "FarlinkUpdater")
        self.standin_bin = os.path.join(build, "tools", "bin")
        self.standin = os.path.join(self.standin_bin, "product-standin")
        self.testkit = os.path.join(self.standin_bin, "farlink-testkit")

    def missing(self):
        return [p for p in (self.updater, self.standin, os.path.join(self.standin_bin, "tar"),
                            os.path.join(self.standin_bin, "tasklist"),
                            os.path.join(self.standin_bin, "taskkill"), self.testkit) if not os.path.exists(p)]


def start_server(tools, work, files):
    """Serves the packages with the tests' loopback server on 127.0.0.1, on a port the system picks."""
    served = os.path.join(work, "served")
    os.makedirs(served, exist_ok=True)
    paths = []
    for name, body in files.items():
        paths.append(os.path.join(served, name.lstrip("/")))
        with open(paths[-1], "wb") as f:
            f.write(body)
    port_file = os.path.join(served, "port")
    server = subprocess.Popen([tools.testkit, "serve", port_file, "0"] + paths, stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + SERVER_START_SECONDS
    while not os.path.exists(port_file):
        if server.poll() is not None or time.monotonic() > deadline:
            server.kill()
            raise RuntimeError("the package server did not start")
        time.sleep(0.05)
    with open(port_file) as f:
        return server, int(f.read())


class Bench:
    def __init__(self, args, tools, product, base_url):
        self.args = args
        self.tools = tools
        self.product = product
        self.base_url = base_url
        self.rng = random.Random(args.seed)
        self.rows = []
        # Kind name -> step -> measured spans in seconds.
        self.spans = {}
        self.counter = 0
        self.faults = 0

    def new_run(self, kind, label):
        self.counter += 1
        folder = os.path.join(self.args.work, "runs", "%03d-%s" % (self.counter, label))
        os.makedirs(folder)
        return UpdaterRun(folder, self.product, self.tools, self.base_url + kind.path)

    def finish(self, run, verdict, keep):
        """Keeps the folder of a run worth a look (with the updater's log), removes the others."""
        if keep:
            with open(os.path.join(run.folder, "updater-log.txt"), "w", encoding="utf-8") as f:
                f.write("\n".join(run.log.text() if run.log else []) + "\n")
            print("    kept for a look: %s" % run.folder)
            if verdict is not None and verdict.lost_files:
                print("    lost files (%d): %s" % (len(verdict.lost_files), verdict.lost_files[:5]))
            if verdict is not None and verdict.detail:
                print("    %s" % verdict.detail)
        else:
            shutil.rmtree(run.folder)

    def observe(self, kind, times, worker_end, trial_end, before):
        """Adds the spans of the steps that ended, up to (not including) the step before. A step ends where
        the next one begins; the worker's last step ends with the worker thread (the window's countdown and
        the daemon's start that follow are no step of the installation), the trial with its watcher."""
        starts = [times.get(STEP_ANCHORS[step]) for step in kind.steps]
        ends = starts[1:] + [worker_end]
        if "trial" in kind.steps:
            ends[kind.steps.index("trial") - 1:] = [worker_end, trial_end]
        for i, step in enumerate(kind.steps[: kind.steps.index(before)] if before else kind.steps):
            if starts[i] is not None and ends[i] is not None:
                self.spans[kind.name][step].append(ends[i] - starts[i])

    def span(self, kind, step):
        return statistics.median(self.spans[kind.name][step])

    def calibrate(self, kind, number):
        """One run without a kill: it must end as designed, its trial (when it has one) over, with the daemon
        running; returns whether it ran at all."""
        run = self.new_run(kind, "calibration")
        trial = "trial" in kind.steps
        daemon = False
        try:
            run.prepare()
            run.start()
            measured = run.run_through(trial)
            if measured is not None:
                # Without a trial the updater was killed before its restart: the recovery ends the run.
                if not trial:
                    run.recover()
                daemon = run.daemon_state(0)[1]
        finally:
            run.end_processes()
        if measured is None:
            print("calibration %d of '%s': the installation never started" % (number, kind.name))
            self.faults += 1
            self.finish(run, None, keep=True)
            return False
        verdict = judge(run.product_folder, self.product.old, self.product.new)
        times, end, trial_end = measured
        self.observe(kind, times, end, trial_end, None)
        trial_over = not trial or trial_end is not None
        ok = verdict.verdict == kind.expected and verdict.backups == 0 and daemon and trial_over
        print("calibration %d, %s: installation %.2f s,%s ending '%s', config.ini Version=%s, backup folders %d, "
              "daemon %s%s" % (
                  number, kind.name, end - times[INSTALL_START],
                  (" trial over %.2f s after the hand-over," % (trial_end - times[STEP_ANCHORS["trial"]])
                   if trial and trial_over else " trial NOT over," if trial else ""),
                  verdict.verdict, verdict.version, verdict.backups, "running" if daemon else "NOT running",
                  "" if ok else "  FAILED: expected '%s', no backup folder, the daemon running%s" % (
                      kind.expected, " and the trial over" if trial else "")))
        self.faults += not ok
        self.finish(run, verdict, keep=not ok)
        return True

    def print_spans(self, kind, when):
        print("    step spans %s, median (measurements):" % when + ",".join(
            " %s %.3f s (%d)" % (step, self.span(kind, step), len(self.spans[kind.name][step]))
            for step in kind.steps))

    def kill_run(self, kind, aim, number):
        delay = self.rng.uniform(0.0, self.span(kind, aim))
        run = self.new_run(kind, kind.path.strip("/").replace(".zip", ""))
        recovery, problem, daemon, alive, waited = "", "", False, False, 0.0
        try:
            run.prepare()
            run.start()
            outcome = run.kill_watcher_at(delay) if aim == "trial" else run.kill_at(STEP_ANCHORS[aim], delay)
            if outcome is not None:
                records_before = len(run.standin_records())
                recovery, problem = self.recover_after_kill(run)
                daemon, alive = run.daemon_state(records_before)
                waited = run.daemon_wait_s
        finally:
            run.end_processes()
        if outcome is None:
            print("[%s %02d/%02d] aim %s: the step never started" % (kind.name, number, self.args.runs, aim))
            self.faults += 1
            self.finish(run, None, keep=True)
            return
        landed, late = outcome
        self.observe(kind, run.log.marker_times(), None, None, aim)
        verdict = judge(run.product_folder, self.product.old, self.product.new)
        side = " + " + ",".join(verdict.side_files) if verdict.side_files else ""
        failed = ", FailedVersion=%s" % verdict.failed_version if verdict.failed_version else ""
        whole = (verdict.verdict in (OLD_INTACT, NEW_INTACT) and verdict.backups == 0 and (daemon or alive)
                 and not problem)
        service = ("running, waited %.1f s" % waited if waited else "running") if alive else (
            "started, ended since" if daemon else "NOT running")
        print("[%s %02d/%02d] aim %-10s +%.3f s -> landed %-10s then %-23s %s (config %s%s%s, marker entries %d, "
              "daemon %s)%s%s" % (
                  kind.name, number, self.args.runs, aim, delay, landed, recovery, verdict.verdict, verdict.version,
                  failed, side, verdict.backups, service, "" if whole else "  NOT WHOLE",
                  " " + problem if problem else ""))
        self.record(kind, aim, delay, late, landed, verdict, recovery, (daemon, alive, waited), whole, problem)
        failing = verdict.verdict in FAILING or not whole
        self.faults += failing
        self.finish(run, verdict, keep=failing)

    def recover_after_kill(self, run):
        """Returns the way the folder was recovered and what went wrong on that way ('' when nothing)."""
        how = self.rng.choices(RECOVERIES, weights=RECOVERY_WEIGHTS)[0]
        if how == "restart":
            return how, "" if run.restart_as_product() else "the window never opened"
        if how != "--recover":
            run.recover(kill_after=self.rng.uniform(0.0, RECOVER_KILL_WINDOW_S))
        code = run.recover()
        return how, "" if code == 0 else "--recover exit code %s" % code

    def record(self, kind, aim, delay, late, landed, verdict, recovery, daemon_check, whole, problem):
        daemon, alive, waited = daemon_check
        self.rows.append({
            "kind": kind.name, "aim": aim, "delay_s": "%.4f" % delay, "late_ms": "%.2f" % (late * 1000),
            "landed": landed, "recovery": recovery, "whole": whole, "daemon_started": daemon, "daemon_alive": alive,
            "daemon_wait_s": "%.2f" % waited,
            "problem": problem, "verdict": verdict.verdict, "config_version": verdict.version,
            "failed_version": verdict.failed_version,
            "config_side_files": " ".join(verdict.side_files), "backup_folders": verdict.backups,
            "lost_files": " ".join(verdict.lost_files), "difference": verdict.detail,
        })

    def run_kind(self, kind):
        started = time.monotonic()
        self.spans[kind.name] = {step: [] for step in kind.steps}
        if not all([self.calibrate(kind, number) for number in range(1, CALIBRATION_RUNS + 1)]):
            return
        self.print_spans(kind, "after calibration")
        aims = [kind.weighted[i % len(kind.weighted)] for i in range(self.args.runs)]
        self.rng.shuffle(aims)
        for number, aim in enumerate(aims, 1):
            self.kill_run(kind, aim, number)
        self.print_spans(kind, "after the kills")
        print("%s: %d kills in %.0f s" % (kind.name, self.args.runs, time.monotonic() - started))

    def report(self, kind):
        rows = [r for r in self.rows if r["kind"] == kind.name]
        steps = kind.steps + [s for s in (BEFORE_INSTALL, AFTER_END) if any(r["landed"] == s for r in rows)]
        # Old, new and the failing classes always show; the others when they occurred.
        columns = [c for c in CLASSES
                   if c in (OLD_INTACT, NEW_INTACT) or c in FAILING or any(r["verdict"] == c for r in rows)]
        print("\n%s: %d kills, by the step they landed in" % (kind.name, len(rows)))
        header = "    %-24s" % "step" + "".join("%*s" % (len(SHORT_CLASS[c]) + 2, SHORT_CLASS[c]) for c in columns)
        print(header + "  total")
        for step in steps + ["all"]:
            chosen = [r for r in rows if step in ("all", r["landed"])]
            counts = collections.Counter(r["verdict"] for r in chosen)
            print("    %-24s" % step + "".join("%*d" % (len(SHORT_CLASS[c]) + 2, counts[c]) for c in columns)
                  + "%7d" % len(chosen))
        versions = collections.Counter((r["verdict"], r["config_version"]) for r in rows)
        print("    config.ini Version by class: " + "; ".join(
            "%s %s x%d" % (SHORT_CLASS[v], version, n) for (v, version), n in sorted(versions.items())))
        late = sorted(float(r["late_ms"]) for r in rows)
        if late:
            print("    kill later than the drawn moment: median %.2f ms, at most %.2f ms" % (
                late[len(late) // 2], late[-1]))
        left = sum(1 for r in rows if r["backup_folders"])
        print("    runs that left a backup folder, journal or lock inside the program folder: %d" % left)
        print("    daemon neither running nor started again: %d (not running at the check: %d); recovery "
              "problems: %d" % (sum(1 for r in rows if not (r["daemon_started"] or r["daemon_alive"])),
                                sum(1 for r in rows if not r["daemon_alive"]), sum(1 for r in rows if r["problem"])))
        waits = [float(r["daemon_wait_s"]) for r in rows if float(r["daemon_wait_s"]) > 0]
        print("    daemon's service not yet running when the recovery was over: %d (waited at most %.2f s)" % (
            len(waits), max(waits, default=0.0)))
        print("    rolled back after their trial (config.ini FailedVersion): %d" % sum(
            1 for r in rows if r["failed_version"]))
        for how in RECOVERIES:
            chosen = [r for r in rows if r["recovery"] == how]
            print("    after %-24s whole %d of %d" % (how + ":", sum(1 for r in chosen if r["whole"]), len(chosen)))
        side = sum(1 for r in rows if r["config_side_files"])
        print("    runs that left config.ini's lock or temporary file beside it: %d" % side)

    def write_csv(self):
        path = os.path.join(self.args.work, "results.csv")
        with open(path, "w", newline="", encoding="utf-8") as f:
            writer = csv.DictWriter(f, fieldnames=list(self.rows[0].keys()) if self.rows else ["kind"])
            writer.writeheader()
            writer.writerows(self.rows)
        print("every kill: %s" % path)


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=50, help="kills of each kind (default 50)")
    parser.add_argument("--files", type=int, default=2000, help="small files in the demo product (default 2000)")
    parser.add_argument("--build", required=True, help="build folder with FarlinkUpdater and the stand-ins")
    parser.add_argument("--work", help="work folder (default: a new one under $TMPDIR or /var/tmp)")
    parser.add_argument("--seed", type=int, help="random seed (default: from the clock; printed)")
    parser.add_argument("--hidden", action="store_true",
                        help="give the product a hidden file (%s) that the new version replaces" % HIDDEN_FILE)
    args = parser.parse_args()
    if args.seed is None:
        args.seed = int(time.time())
    if args.work is None:
        args.work = tempfile.mkdtemp(prefix="farlink-faults.", dir=os.environ.get("TMPDIR") or "/var/tmp")
    return args


def main():
    args = parse_arguments()
    tools = Tools(os.path.abspath(args.build))
    if tools.missing():
        print("not built: %s" % ", ".join(tools.missing()), file=sys.stderr)
        return 2
    started = time.monotonic()
    product = DemoProduct(args.work, tools.standin, "QuillonF%d.exe" % os.getpid(), args.files, args.seed,
                          args.hidden)
    product.build()
    package, failing = product.package(), product.failing_package()
    print("seed %d, work folder %s" % (args.seed, args.work))
    print("demo product: %s; package %d entries, %.1f MB; failing package %.1f MB" % (
        product.describe(), len(product.package_entries), len(package) / 1e6, len(failing) / 1e6))
    server, port = start_server(tools, args.work, {PACKAGE: package, FAILING_PACKAGE: failing})
    bench = Bench(args, tools, product, "http://127.0.0.1:%d" % port)
    try:
        for kind in KINDS:
            bench.run_kind(kind)
    finally:
        server.kill()
        server.wait()
    for kind in KINDS:
        bench.report(kind)
    bench.write_csv()
    shutil.rmtree(product.old_folder)
    print("\n%d kills in %.1f min; faults (lost, not recoverable, or no kill): %d" % (
        len(bench.rows), (time.monotonic() - started) / 60, bench.faults))
    return 1 if bench.faults else 0


if __name__ == "__main__":
    sys.exit(main())
