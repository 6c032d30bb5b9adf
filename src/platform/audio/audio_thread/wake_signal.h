// SPDX-License-Identifier: GPL-3.0-or-later
// A wake-up call from the UI thread to the audio thread: an eventfd that the
// output watches in its event loop.  notify() never blocks (the counter only
// saturates), so the UI thread may call it after every queued command.
#pragma once

namespace platform {

// Threads: notify on the UI thread (or any); fd and drain on the audio thread.
class WakeSignal {
public:
  WakeSignal();
  ~WakeSignal();
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  // The descriptor to watch for input; -1 when the system gave none (then
  // the audio thread takes commands at its next block, as it always does).
  int fd() const { return fd_; }

  void notify() noexcept;
  // Clears the pending wake-ups.
  void drain() noexcept;

private:
  int fd_;
};

}  // namespace platform
