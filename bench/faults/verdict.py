"""What a killed installation left in the program folder.

The program folder is compared without its backup folders and without the content of config.ini (which the
installation rewrites at its end, and to which a trial's rollback adds the failed version; it must be there,
and its version and failed version are reported). The files Qt's settings writer keeps beside config.ini
while it writes (its lock file and its temporary copy) belong to config.ini: a kill inside that write leaves
them behind, so they are left out of the comparison and reported. A backup folder is complete when it holds
every file of the old version byte for byte, config.ini included.
"""
import os
import re
import shutil

from demo_product import CONFIG_NAME, backup_folders, config_value, config_version, manifest

OLD_INTACT = "old version intact"
NEW_INTACT = "new version intact"
RECOVERABLE = "mixed, backup complete, recovered"
NOT_RECOVERABLE = "mixed, backup complete, NOT recoverable"
NOTHING_LOST = "mixed, no complete backup, nothing lost"
LOST = "LOST"
CLASSES = [OLD_INTACT, NEW_INTACT, RECOVERABLE, NOT_RECOVERABLE, NOTHING_LOST, LOST]
# Any of these is a fault of the updater.
FAILING = {NOT_RECOVERABLE, LOST}
CONFIG_SIDE_FILE = re.compile(r"^%s\.(lock|[A-Za-z0-9]{6})$" % re.escape(CONFIG_NAME))


class Verdict:
    def __init__(self, verdict, version, backups, lost_files=(), detail=""):
        self.verdict = verdict
        self.version = version
        # A rolled-back trial names the version it took back in config.ini, beside the old version's keys.
        self.failed_version = ""
        self.backups = backups
        self.lost_files = list(lost_files)
        self.detail = detail
        self.side_files = []


def take_config_side_files(program):
    side = sorted(path for path in program if CONFIG_SIDE_FILE.match(path))
    for path in side:
        del program[path]
    return side


def same_ignoring_config(found, expected):
    if found.keys() != expected.keys():
        return False
    return all(found[path] == expected[path] for path in expected if path != CONFIG_NAME)


def difference(found, expected):
    missing = sorted(expected.keys() - found.keys())
    extra = sorted(found.keys() - expected.keys())
    changed = sorted(p for p in expected.keys() & found.keys() if found[p] != expected[p])
    return "missing %d %s, extra %d %s, changed %d %s" % (
        len(missing), missing[:3], len(extra), extra[:3], len(changed), changed[:3])


def is_complete(backup, old):
    return all(backup.get(path) == digest for path, digest in old.items())


def lost_files(program, backups, old):
    """Old files that exist nowhere intact: not at their place in the program folder (where config.ini may
    hold any content) and not in any backup folder."""
    lost = []
    for path, digest in old.items():
        in_place = path in program and (path == CONFIG_NAME or program[path] == digest)
        if not in_place and not any(b.get(path) == digest for b in backups):
            lost.append(path)
    return lost


def copy_backup_back(product, backup):
    """What a person would do: empty the program folder except its backup folders, then copy the backup
    into it."""
    keep = set(backup_folders(product))
    for name in os.listdir(product):
        path = os.path.join(product, name)
        if path in keep:
            continue
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        else:
            os.remove(path)
    shutil.copytree(backup, product, symlinks=True, dirs_exist_ok=True)


def judge(product, old, new):
    """Classifies the folder; a mixed folder with a complete backup is put back from it (in place) and
    checked against the old version, config.ini content included."""
    program = manifest(product, skip_backups=True)
    side_files = take_config_side_files(program)
    verdict = classify(product, program, old, new)
    verdict.side_files = side_files
    verdict.failed_version = config_value(product, "FailedVersion")
    return verdict


def classify(product, program, old, new):
    version = config_version(product)
    folders = backup_folders(product)
    backups = [manifest(folder, skip_backups=False) for folder in folders]
    count = len(folders)
    if same_ignoring_config(program, old):
        return Verdict(OLD_INTACT, version, count)
    if same_ignoring_config(program, new):
        return Verdict(NEW_INTACT, version, count)
    against_old = difference(program, old)
    complete = [folder for folder, b in zip(folders, backups) if is_complete(b, old)]
    if complete:
        copy_backup_back(product, complete[0])
        restored = manifest(product, skip_backups=True)
        if restored == old:
            return Verdict(RECOVERABLE, version, count, detail=against_old)
        return Verdict(NOT_RECOVERABLE, version, count, detail="after copying back: " + difference(restored, old))
    lost = lost_files(program, backups, old)
    if lost:
        return Verdict(LOST, version, count, lost, detail=against_old)
    return Verdict(NOTHING_LOST, version, count, detail=against_old)
