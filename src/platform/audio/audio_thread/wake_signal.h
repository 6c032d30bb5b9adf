// A wake-up call from the UI thread to the audio thread: an eventfd that the
// output watches in its event loop.  notify() never blocks (the counter only
// saturates), so the UI thread may call it after every queued command.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace platform {

class WakeSignal {
public:
  WakeSignal() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~WakeSignal() {
    if (fd_ >= 0) ::close(fd_);
  }
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  // The descriptor to watch for input; -1 when the system gave none (then
  // the audio thread takes commands at its next block, as it always does).
  int fd() const { return fd_; }

  // Any thread.
  void notify() noexcept {
    if (fd_ < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
  }
  // Audio thread: clears the pending wake-ups.
  void drain() noexcept {
    if (fd_ < 0) return;
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(fd_, &count, sizeof count);
  }

private:
  int fd_;
};

}  // namespace platform
