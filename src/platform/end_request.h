// SPDX-License-Identifier: GPL-3.0-or-later
// The request to end the program at once, as a logout or a kill makes it.
// Set from a signal handler, so it is a lock-free flag and nothing more; the
// UI thread's long waits (the start sound) look at it and give up early.
#pragma once

#include <atomic>

namespace platform {

inline std::atomic<bool> endRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

inline void RequestEnd() { endRequested.store(true, std::memory_order_relaxed); }
inline bool EndRequested() { return endRequested.load(std::memory_order_relaxed); }

}  // namespace platform
