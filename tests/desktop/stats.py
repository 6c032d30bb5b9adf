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


POLICIES = {0: "SCHED_OTHER", 1: "SCHED_FIFO", 2: "SCHED_RR", 3: "SCHED_BATCH", 5: "SCHED_IDLE", 6: "SCHED_DEADLINE"}


def threads(pid):
    """Each thread of pid as (tid, name, policy, real-time priority), from
    /proc/PID/task/*/stat (proc(5) fields 40 and 41); [] when it is gone."""
    out = []
    try:
        tids = sorted(int(t) for t in os.listdir("/proc/%d/task" % pid))
    except OSError:
        return out
    for tid in tids:
        try:
            with open("/proc/%d/task/%d/comm" % (pid, tid)) as f:
                name = f.read().strip()
        except OSError:
            continue
        rtprio, policy = stat_field(40, "%d/task/%d" % (pid, tid)), stat_field(41, "%d/task/%d" % (pid, tid))
        if policy < 0:
            continue
        out.append((tid, name, POLICIES.get(policy & ~0x40000000, str(policy)), rtprio))
    return out


def scheduling(pid):
    """One line: the real-time threads of pid with their policy and
    priority, then the names of those in the ordinary class."""
    ts = threads(pid)
    if not ts:
        return "unknown (not running)"
    rt = ["%s %s %d" % (name, policy, prio) for _tid, name, policy, prio in ts
          if policy in ("SCHED_FIFO", "SCHED_RR")]
    other = [name for _tid, name, policy, _prio in ts if policy not in ("SCHED_FIFO", "SCHED_RR")]
    return "; ".join((rt or ["no real-time thread"]) +
                     (["%s: %s" % ("the others" if rt else "all", ", ".join(other))] if other else []))
