"""Checks of the fault runs' verdicts on hand-made program folders: each class must be reachable, a LOST
folder must be called so. Run with: python3 -m unittest discover -s bench/faults"""
import os
import shutil
import subprocess
import tempfile
import threading
import unittest

from demo_product import CONFIG_NAME, DAEMON, manifest
from updater_run import UpdaterRun
from verdict import LOST, NEW_INTACT, NOT_RECOVERABLE, NOTHING_LOST, OLD_INTACT, RECOVERABLE, judge

OLD = {CONFIG_NAME: b"[App]\nVersion=1.0.0\n", "Quillon.exe": b"old exe", "lib/a.dat": b"old a",
       "lib/deep/b.dat": b"old b"}
PACKAGE = {"Quillon.exe": b"new exe", "lib/a.dat": b"new a", "features/c.dat": b"new c"}
BACKUP = "_update_backup_20240601_120000"


def write(folder, files):
    for path, data in files.items():
        full = os.path.join(folder, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)


class VerdictTest(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        root = self.scratch.name
        write(os.path.join(root, "old"), OLD)
        write(os.path.join(root, "new"), {**OLD, **PACKAGE})
        self.old = manifest(os.path.join(root, "old"), skip_backups=True)
        self.new = manifest(os.path.join(root, "new"), skip_backups=True)
        self.folders = 0

    def tearDown(self):
        self.scratch.cleanup()

    def judge(self, program, backup=None):
        """Each call lays out a program folder of its own."""
        self.folders += 1
        self.product = os.path.join(self.scratch.name, "product%d" % self.folders)
        write(self.product, program)
        if backup is not None:
            write(os.path.join(self.product, BACKUP), backup)
        return judge(self.product, self.old, self.new)

    def test_classes(self):
        half_new = {**OLD, "Quillon.exe": b"new exe"}
        partial_backup = {k: v for k, v in OLD.items() if k != "lib/deep/b.dat"}
        wrong_backup = {**OLD, "lib/a.dat": b"damaged"}
        cases = [
            ("old, config rewritten", {**OLD, CONFIG_NAME: b"[App]\nVersion=2.0.0\n"}, None, OLD_INTACT),
            ("old beside a partial backup", OLD, partial_backup, OLD_INTACT),
            ("old, rolled back after its trial",
             {**OLD, CONFIG_NAME: OLD[CONFIG_NAME] + b"FailedVersion=2.0.0\nFailedTime=2024-06-01T12:00:00\n"},
             None, OLD_INTACT),
            ("new", {**OLD, **PACKAGE, CONFIG_NAME: b"x"}, None, NEW_INTACT),
            ("new, killed while config.ini was written", {**OLD, **PACKAGE, "config.ini.lock": b"4711"}, None,
             NEW_INTACT),
            ("old beside a stray copy of config.ini", {**OLD, "config.ini.old": b"x"}, None, NOTHING_LOST),
            ("half extracted, complete backup", half_new, OLD, RECOVERABLE),
            ("emptied by a restore, complete backup", {"features/c.dat": b"new c"}, OLD, RECOVERABLE),
            ("half extracted, no backup", half_new, None, LOST),
            ("half extracted, backup lacks the changed file", half_new,
             {k: v for k, v in OLD.items() if k != "Quillon.exe"}, LOST),
            ("half extracted, backup with a damaged copy", {**half_new, "lib/a.dat": b"new a"}, wrong_backup, LOST),
            ("config missing, no backup", {k: v for k, v in OLD.items() if k != CONFIG_NAME}, None, LOST),
            ("extra file only, no backup", {**OLD, "features/c.dat": b"new c"}, None, NOTHING_LOST),
            ("mixed, changed file kept in a partial backup", half_new, {"Quillon.exe": b"old exe"}, NOTHING_LOST),
        ]
        for name, program, backup, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.judge(program, backup).verdict, expected)

    def test_complete_backup_with_an_extra_file_does_not_put_the_old_version_back(self):
        verdict = self.judge({**OLD, "Quillon.exe": b"new exe"}, {**OLD, "stray.dat": b"x"})
        self.assertEqual(verdict.verdict, NOT_RECOVERABLE)

    def test_recovery_brings_back_the_old_bytes_and_keeps_the_backup(self):
        verdict = self.judge({"lib/a.dat": b"new a"}, OLD)
        self.assertEqual(verdict.verdict, RECOVERABLE)
        self.assertEqual(manifest(self.product, skip_backups=True), self.old)
        self.assertTrue(os.path.isdir(os.path.join(self.product, BACKUP)))

    def test_settings_side_files_are_reported(self):
        verdict = self.judge({**OLD, "config.ini.lock": b"4711", "config.ini.Ab12Cd": b""}, None)
        self.assertEqual((verdict.verdict, verdict.side_files),
                         (OLD_INTACT, ["config.ini.Ab12Cd", "config.ini.lock"]))

    def test_rolled_back_trial_reports_the_failed_version(self):
        verdict = self.judge({**OLD, CONFIG_NAME: OLD[CONFIG_NAME] + b"FailedVersion=2.0.0\n"}, None)
        self.assertEqual((verdict.verdict, verdict.failed_version), (OLD_INTACT, "2.0.0"))

    def test_lost_names_the_files(self):
        verdict = self.judge({**OLD, "lib/a.dat": b"half"}, None)
        self.assertEqual((verdict.verdict, verdict.lost_files), (LOST, ["lib/a.dat"]))


class DaemonCheckTest(unittest.TestCase):
    """After a recovery the daemon's "run" has returned but its service starts a moment later: the check
    waits for it instead of calling the run's daemon not started."""

    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.run = UpdaterRun(self.scratch.name, None, None, "")
        self.daemon = os.path.join(self.run.product_folder, DAEMON)
        os.makedirs(os.path.dirname(self.daemon))
        shutil.copy(shutil.which("sleep"), self.daemon)
        self.service = None

    def tearDown(self):
        if self.service is not None:
            self.service.kill()
            self.service.wait()
        self.scratch.cleanup()

    def start_service(self):
        """As the stand-in's service does: it runs, then records itself."""
        self.service = subprocess.Popen([self.daemon, "60"])
        with open(self.run.standin_log, "a", encoding="utf-8") as f:
            f.write("QuillonDaemon.exe\tservice\t%d\t%s\n" % (self.service.pid, os.path.dirname(self.daemon)))

    def test_service_started_after_the_recovery_returned(self):
        with open(self.run.standin_log, "w", encoding="utf-8") as f:
            f.write("QuillonDaemon.exe\trun\t1\t/\n")
        late = threading.Timer(0.5, self.start_service)
        late.start()
        try:
            state = self.run.daemon_state(1)
        finally:
            late.join()
        self.assertEqual(state, (True, True))

    def test_service_that_never_starts(self):
        self.assertEqual(self.run.daemon_state(0, limit=0.3), (False, False))


if __name__ == "__main__":
    unittest.main()
