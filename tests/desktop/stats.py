# SPDX-License-Identifier: GPL-3.0-or-later
"""What /proc tells about a process: memory lines of /proc/PID/status and
the CPU time of /proc/PID/stat."""
import os


def status_kb(key, pid="self"):
    """A "Key:  N kB" line of /proc/PID/status (key with its colon), in kB;
    -1 when absent."""
    try:
        with open("/proc/%s/status" % pid) as f:
            for line in f:
                if line.startswith(key):
                    return int(line[len(key):].split()[0])
    except (OSError, ValueError, IndexError):
        pass
    return -1


def stat_field(index, pid="self"):
    """Field index (1-based, as in proc(5)) of /proc/PID/stat, counted after
    the command name, which may hold spaces; -1 when absent."""
    try:
        with open("/proc/%s/stat" % pid) as f:
            text = f.read()
    except OSError:
        return -1
    rest = text[text.rfind(")") + 2:].split()
    i = index - 3
    return int(rest[i]) if 0 <= i < len(rest) else -1


def cpu_seconds(pid="self"):
    """User plus system CPU time so far, in seconds; -1 when unknown."""
    user, system = stat_field(14, pid), stat_field(15, pid)
    if user < 0 or system < 0:
        return -1.0
    return (user + system) / os.sysconf("SC_CLK_TCK")


def major_faults(pid="self"):
    return stat_field(12, pid)
