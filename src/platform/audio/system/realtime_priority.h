// SPDX-License-Identifier: GPL-3.0-or-later
// Real-time scheduling for the audio thread, the way desktop programs get
// it: an ordinary user has no SCHED_FIFO by right, so when the kernel
// refuses it the system's RealtimeKit service (org.freedesktop.RealtimeKit1
// on the system D-Bus) is asked to grant it, and failing that the thread is
// made as nice as it may be.  Every failure is quiet: the thread simply
// keeps the priority it has.
#pragma once

#include <string>
#include <sys/types.h>

namespace platform {

// Makes thread `tid` of this process (a kernel thread id, as gettid()
// returns) SCHED_FIFO at `priority`, reset for children it forks: directly
// when the kernel allows it, else through RealtimeKit, which caps the
// priority at its MaxRealtimePriority and requires this process to carry an
// RLIMIT_RTTIME no larger than its RTTimeUSecMax (set here, for the whole
// process, when it is unlimited or larger).  When neither gives SCHED_FIFO
// the thread gets a raised nice level (RealtimeKit's MakeThreadHighPriority,
// else setpriority), if it can, and a short slice (shortenThreadSlice).
//
// True when the thread is SCHED_FIFO.  `how` (may be null) gets one line on
// what happened, e.g. "SCHED_FIFO 4 (RealtimeKit)" or
// "nice -11 (setpriority); no SCHED_FIFO: ...".  Talking to RealtimeKit
// takes at most about a second, usually a millisecond or two; it may be
// called from any thread (for itself or for another thread of the
// process), never prints, and needs no Qt.
bool raiseThreadToRealtime(pid_t tid, int priority, std::string* how);

// For a thread left in the ordinary (fair) class: asks the kernel for a
// short time slice (`sliceNs`, sched_setattr's sched_runtime), keeping its
// nice level.  The fair scheduler of Linux 6.12 and later lets a thread
// with a shorter slice preempt busy threads as soon as it wakes, so an audio
// thread without real-time priority still runs within a fraction of a
// millisecond of its wake-up on a loaded machine; older kernels take the
// call and ignore the slice.  True when the kernel reports the slice in
// force (/proc/self/task/TID/sched); `how` (may be null) gets one line.
bool shortenThreadSlice(pid_t tid, unsigned long long sliceNs, std::string* how);
// The slice the audio threads ask for (0.5 ms).
unsigned long long audioThreadSliceNs();

}  // namespace platform
