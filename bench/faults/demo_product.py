"""The demo product the fault runs update: an old version laid out on disk, the package of the new version
(one that installs, and one whose extraction fails), and the file manifests the verdicts compare."""
import hashlib
import io
import os
import random
import shutil
import zipfile

BACKUP_MARKER = "_update_backup_"
CONFIG_NAME = "config.ini"
DAEMON = "QuillonServer/QuillonDaemon.exe"
SERVER = "QuillonServer/QuillonServer.exe"
FOLDER_COUNT = 20
SMALL_FILE_BYTES = (200, 16384)
# A few files of some megabytes, so that a kill can land in the middle of one file's copy.
LARGE_FILES = {"plugins/codec.dat": 3_000_000, "plugins/render.dat": 2_000_000, "media/intro.bin": 4_000_000}
# Shares of the old files that the new version changes and that it leaves alone.
CHANGED_SHARE = 0.9
NEW_FILE_SHARE = 0.05
# With --hidden: a hidden file of the old version that the new version replaces; first in the package, so
# that the failing package writes it before it fails.
HIDDEN_FILE = ".state/session.ini"
# The failing package holds a file where the old version has a folder that is not empty. The package is
# sound and passes every check; tar cannot replace the folder (as on Windows a file that another program
# holds open), writes the other entries, and fails. Placed at this share of the entries.
BLOCKED_FILE = "resources/group02/skins.dat"
BLOCKED_FOLDER_CONTENT = BLOCKED_FILE + "/default.skin"
BLOCKED_SHARE = 0.6
OLD_CONFIG = """[App]
Version=1.0.0
Language=en

[Network]
RelayPort=4819

[Update]
LastCheckTime=2024-05-01 09:00:00
LastPromptTime=2024-05-01 09:00:05
"""


def folder_names():
    tops = ["bin", "lib", "resources", "plugins", "data"]
    names = []
    for i in range(FOLDER_COUNT):
        name = "%s/group%02d" % (tops[i % len(tops)], i)
        # Some deeper folders, as real products have.
        names.append(name + "/nested/deep" if i % 5 == 4 else name)
    return names


class DemoProduct:
    """Old version, new version and packages, all from one seed; main_name is the main executable's file
    name (unique to the run of this script, so that killing it by image name touches nothing else)."""

    def __init__(self, root, standin, main_name, small_files, seed, hidden=False):
        self.hidden = hidden
        self.standin = standin
        self.main_name = main_name
        self.small_files = small_files
        self.rng = random.Random(seed)
        self.old_folder = os.path.join(root, "old-version")
        self.old = {}
        self.package_entries = {}
        self.new = {}

    def build(self):
        self._build_old()
        self._build_package_entries()
        self.new = dict(self.old)
        self.new.update({path: digest(data) for path, data in self.package_entries.items()})

    def package(self, entries=None):
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
            for path, data in (entries or self.package_entries).items():
                info = zipfile.ZipInfo(path, date_time=(2024, 6, 1, 12, 0, 0))
                info.external_attr = (0o755 if path.endswith(".exe") else 0o644) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                archive.writestr(info, data)
        return buffer.getvalue()

    def failing_package(self):
        items = list(self.package_entries.items())
        at = int(len(items) * BLOCKED_SHARE)
        return self.package(dict(items[:at] + [(BLOCKED_FILE, b"skins 2.0.0\n")] + items[at:]))

    def describe(self):
        folders = {os.path.dirname(path) for path in self.old} - {""}
        size = sum(os.path.getsize(os.path.join(self.old_folder, path)) for path in self.old)
        return "%d files (%d small ones) in %d folders, %.1f MB" % (len(self.old), self.small_files, len(folders),
                                                                    size / 1e6)

    def lay_out(self, folder):
        """A fresh copy of the old version."""
        shutil.copytree(self.old_folder, folder, symlinks=True)

    def _write_old(self, path, data):
        full = os.path.join(self.old_folder, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
        if path.endswith(".exe"):
            os.chmod(full, 0o755)
        self.old[path] = digest(data)

    def _standin_bytes(self, mark=b""):
        with open(self.standin, "rb") as f:
            return f.read() + mark

    def _build_old(self):
        shutil.rmtree(self.old_folder, ignore_errors=True)
        for path in (self.main_name, DAEMON, SERVER):
            self._write_old(path, self._standin_bytes())
        self._write_old(CONFIG_NAME, OLD_CONFIG.encode())
        self._write_old("readme.txt", b"Quillon 1.0.0\n")
        self._write_old(BLOCKED_FOLDER_CONTENT, b"skin 1.0.0\n")
        if self.hidden:
            self._write_old(HIDDEN_FILE, b"session state 1.0.0\n" * 50)
        folders = folder_names()
        for i in range(self.small_files):
            path = "%s/file%05d.dat" % (folders[i % len(folders)], i)
            self._write_old(path, self.rng.randbytes(self.rng.randint(*SMALL_FILE_BYTES)))
        for path, size in LARGE_FILES.items():
            self._write_old(path, self.rng.randbytes(size))

    def _build_package_entries(self):
        entries = {HIDDEN_FILE: b"session state 2.0.0\n" * 500} if self.hidden else {}
        for path in (self.main_name, DAEMON, SERVER):
            entries[path] = self._standin_bytes(b"\nQuillon 2.0.0\n")
        entries["readme.txt"] = b"Quillon 2.0.0\n"
        entries["release-notes.txt"] = b"Quillon 2.0.0\n- shared whiteboard\n"
        for path in sorted(self.old):
            if path.endswith(".dat") or path.endswith(".bin"):
                if self.rng.random() < CHANGED_SHARE:
                    size = LARGE_FILES.get(path) or self.rng.randint(*SMALL_FILE_BYTES)
                    entries[path] = self.rng.randbytes(size)
        for i in range(int(self.small_files * NEW_FILE_SHARE)):
            path = "features/whiteboard/part%02d/new%05d.dat" % (i % 4, i)
            entries[path] = self.rng.randbytes(self.rng.randint(*SMALL_FILE_BYTES))
        self.package_entries = entries


def digest(data):
    return hashlib.blake2b(data, digest_size=16).hexdigest()


def file_digest(path):
    with open(path, "rb") as f:
        return digest(f.read())


def manifest(folder, skip_backups):
    """Relative path -> digest of every file below folder, hidden ones included; with skip_backups, files
    whose path holds the backup marker are left out. Links are listed by their target's bytes."""
    found = {}
    for parent, dirs, files in os.walk(folder):
        relative_parent = os.path.relpath(parent, folder)
        if skip_backups:
            dirs[:] = [d for d in dirs if BACKUP_MARKER not in d]
        for name in files:
            relative = os.path.normpath(os.path.join(relative_parent, name))
            if skip_backups and BACKUP_MARKER in relative:
                continue
            try:
                found[relative] = file_digest(os.path.join(parent, name))
            except OSError:
                found[relative] = "unreadable"
    return found


def backup_folders(product):
    if not os.path.isdir(product):
        return []
    return sorted(os.path.join(product, name) for name in os.listdir(product) if BACKUP_MARKER in name)


def config_value(folder, key):
    """The value of the first line key=value in config.ini; '' without the file or the key."""
    try:
        with open(os.path.join(folder, CONFIG_NAME), encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith(key + "="):
                    return line.strip().split("=", 1)[1]
    except OSError:
        pass
    return ""


def config_version(folder):
    if not os.path.exists(os.path.join(folder, CONFIG_NAME)):
        return "missing"
    return config_value(folder, "Version") or "none"
