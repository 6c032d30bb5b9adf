// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/waveaudio/mci_take.h"

#include "platform/waveaudio/mci_messages.h"
#include "platform/waveaudio/mci_wav.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace platform::mci {
namespace {

int16_t toPcm16(float x) {
  if (!(x == x)) return 0;  // NaN
  x = std::clamp(x, -1.0f, 1.0f);
  return static_cast<int16_t>(std::lrintf(x * 32767.0f));
}

std::size_t roundUpPow2(std::size_t n) {
  std::size_t p = 1024;
  while (p < n && p < (std::size_t{1} << 30)) p <<= 1;
  return p;
}

MCIERROR savingError(int err, bool readFailed) {
  if (readFailed) return MCIERR_FILE_READ;
  switch (err) {
    case ENOSPC: case EFBIG: case EDQUOT: case EIO: return MCIERR_FILE_WRITE;
    case ENOMEM: return MCIERR_OUT_OF_MEMORY;
    default: return MCIERR_FILE_NOT_SAVED;
  }
}

}  // namespace

MCIERROR saveReplacing(const std::string& path, const void* header, std::size_t headerLen,
                       int srcFd, uint64_t length, const char* who) {
  bool readFailed = false;
  const int err = writeFileReplacing(path, header, headerLen, srcFd, 0, length, &readFailed);
  if (!err) return 0;
  std::fprintf(stderr, "plinkora: %s: cannot save %s: %s\n", who, path.c_str(), std::strerror(err));
  return savingError(err, readFailed);
}

// ---------------------------------------------------------------------------

TakeRing::TakeRing(std::size_t frames)
    : capacity_(roundUpPow2(frames)),
      mask_(capacity_ - 1),
      buffer_(new int16_t[capacity_ * kTakeChannels]()) {}  // zeroed: no page faults later

uint64_t TakeRing::room() const noexcept {
  return capacity_ - (head() - tail_.load(std::memory_order_acquire));
}

uint64_t TakeRing::run(uint64_t pos, uint64_t upTo) const noexcept {
  return std::min<uint64_t>(upTo - pos, capacity_ - slot(pos));
}

// ---------------------------------------------------------------------------

Take::Take(TapHost& host, std::size_t ringFrames)
    : host_(host), rate_(host.sampleRate()), ring_(ringFrames) {}

Take::~Take() {
  stop();
  if (fd_ >= 0) ::close(fd_);
}

MCIERROR Take::createScratch(const std::string& folder) {
  std::string name = folder + (folder.empty() || folder.back() != '/' ? "/" : "") +
                     "plinkora-take-XXXXXX";
  fd_ = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd_ < 0) {
    std::fprintf(stderr, "plinkora: recorder: cannot create a scratch file in %s: %s\n",
                 folder.c_str(), std::strerror(errno));
    return MCIERR_FILE_WRITE;
  }
  ::unlink(name.c_str());
  return 0;
}

MCIERROR Take::start(uint64_t fromFrame, uint64_t endFrame) {
  if (fromFrame == 0) out_.error = 0;  // nothing of a damaged take is kept
  if (fromFrame < frames_ &&
      ::ftruncate(fd_, static_cast<off_t>(fromFrame * kTakeBytesPerFrame)) != 0)
    return MCIERR_FILE_WRITE;
  frames_ = fromFrame;
  out_.written = fromFrame;
  out_.pendingGap.reset();
  position_ = fromFrame;
  endFrame_ = std::max(fromFrame, endFrame);
  gapOpen_ = 0;
  lost_.store(0, std::memory_order_relaxed);
  quit_ = false;
  wake_ = false;
  // Creating the thread hands out_ over to it; attachTap hands over the
  // audio thread's fields.
  try {
    writer_ = std::thread([this] { writerLoop(); });
  } catch (const std::system_error&) {
    return MCIERR_OUT_OF_MEMORY;
  }
  host_.attachTap(this);
  recording_ = true;
  return 0;
}

MCIERROR Take::stop() {
  if (!recording_) return 0;
  host_.detachTap(this);  // from here on the tap's fields are ours again
  {
    std::lock_guard lock(m_);
    quit_ = true;
  }
  cv_.notify_one();
  writer_.join();         // and from here on out_ is ours again
  recording_ = false;

  out_.written += gapOpen_;  // frames lost at the very end: silence as well
  gapOpen_ = 0;
  if (!out_.error &&
      ::ftruncate(fd_, static_cast<off_t>(out_.written * kTakeBytesPerFrame)) != 0)
    out_.error = errno;
  frames_ = out_.written;

  if (const uint64_t lost = lost_.load(std::memory_order_relaxed)) {
    std::fprintf(stderr,
                 "plinkora: recorder: the disk writer fell behind; %llu frames (%.3f s) of the "
                 "take were lost and left silent\n",
                 static_cast<unsigned long long>(lost), static_cast<double>(lost) / rate_);
  }
  if (out_.error) {
    std::fprintf(stderr, "plinkora: recorder: cannot write the take: %s\n",
                 std::strerror(out_.error));
    return MCIERR_FILE_WRITE;
  }
  return 0;
}

void Take::flush() {
  if (!recording_) return;
  const uint64_t target = ring_.pushed();
  std::unique_lock lock(m_);
  wake_ = true;
  cv_.notify_one();
  drainedCv_.wait(lock, [&] { return drainedTo_ >= target || quit_; });
}

MCIERROR Take::save(const std::string& path) {
  if (const MCIERROR err = stop()) return err;
  if (out_.error) return MCIERR_FILE_WRITE;
  const uint64_t bytes = frames_ * kTakeBytesPerFrame;
  const auto header = pcmWavHeader(rate_, kTakeChannels, 16, static_cast<uint32_t>(bytes));
  return saveReplacing(path, header.data(), header.size(), fd_, bytes, "recorder");
}

// Audio thread.
void Take::onMix(const float* interleaved, uint32_t frames) noexcept {
  if (!interleaved || frames == 0 || position_ >= endFrame_) return;
  const uint64_t want = std::min<uint64_t>(frames, endFrame_ - position_);
  const uint64_t head = ring_.head();
  uint64_t take = std::min(want, ring_.room());
  if (take > 0 && gapOpen_ > 0) {
    if (gaps_.push(Gap{head, gapOpen_}))
      gapOpen_ = 0;
    else
      take = 0;  // the gap must be told before the frames after it
  }
  for (uint64_t i = 0; i < take; ++i) {
    int16_t* out = ring_.frame(head + i);
    out[0] = toPcm16(interleaved[2 * i]);
    out[1] = toPcm16(interleaved[2 * i + 1]);
  }
  ring_.publish(head + take);
  if (want > take) {
    gapOpen_ += want - take;
    lost_.fetch_add(want - take, std::memory_order_relaxed);
  }
  position_ += want;
}

// ---- writer thread ----

void Take::writerLoop() {
  std::unique_lock lock(m_);
  for (;;) {
    cv_.wait_for(lock, std::chrono::milliseconds(10), [&] { return quit_ || wake_; });
    wake_ = false;
    const bool quitting = quit_;
    lock.unlock();
    drain();
    lock.lock();
    drainedTo_ = ring_.tail();
    drainedCv_.notify_all();
    if (quitting) return;
  }
}

// Everything the tap has pushed so far goes to the file.
void Take::drain() {
  const uint64_t head = ring_.pushed();
  for (;;) {
    if (!out_.pendingGap) {
      Gap g;
      if (gaps_.pop(g)) out_.pendingGap = g;
    }
    if (!out_.pendingGap || out_.pendingGap->at > head) break;
    writeRing(out_.pendingGap->at);
    out_.written += out_.pendingGap->frames;  // a hole in the file, read back as zeros
    out_.pendingGap.reset();
  }
  writeRing(head);
}

void Take::writeRing(uint64_t upTo) {
  for (uint64_t tail = ring_.tail(); tail < upTo;) {
    const uint64_t n = ring_.run(tail, upTo);
    if (!out_.error) {
      const char* p = reinterpret_cast<const char*>(std::as_const(ring_).frame(tail));
      std::size_t len = static_cast<std::size_t>(n * kTakeBytesPerFrame);
      off_t off = static_cast<off_t>(out_.written * kTakeBytesPerFrame);
      while (len > 0) {
        const ssize_t w = ::pwrite(fd_, p, len, off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
          out_.error = w < 0 ? errno : EIO;
          break;
        }
        p += w;
        off += w;
        len -= static_cast<std::size_t>(w);
      }
    }
    out_.written += n;
    tail += n;
    ring_.release(tail);
  }
}

}  // namespace platform::mci
