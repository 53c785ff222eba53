"""The few facts about live processes the fault runs need, read from /proc."""
import os

DELETED_SUFFIX = " (deleted)"


def executable(pid):
    """Full path of the process's executable ('' when unreadable); a replaced file keeps its path."""
    try:
        path = os.readlink("/proc/%d/exe" % pid)
    except OSError:
        return ""
    return path[: -len(DELETED_SUFFIX)] if path.endswith(DELETED_SUFFIX) else path


def parent_and_state(pid):
    """Parent pid and state letter; (None, 'X') for a process that is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[1]), fields[0]
    except (OSError, IndexError, ValueError):
        return None, "X"


def has_ended(pid):
    """Gone, or a zombie waiting for its parent."""
    return parent_and_state(pid)[1] in ("Z", "X")


def live_processes():
    """Pid -> parent pid of every process that has not ended."""
    table = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            parent, state = parent_and_state(int(entry))
            if parent is not None and state != "Z":
                table[int(entry)] = parent
    return table


def command_line(pid):
    """The process's arguments, the program first ([] when gone or unreadable)."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return [part.decode("utf-8", "replace") for part in f.read().split(b"\0")[:-1]]
    except OSError:
        return []
