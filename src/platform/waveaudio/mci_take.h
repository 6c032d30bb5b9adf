// SPDX-License-Identifier: GPL-3.0-or-later
// A take of the wave-audio device: the tap on the audio engine's output mix,
// its ring, the writer thread and the private scratch file that holds the
// frames recorded so far (16-bit stereo at the engine's rate).
//
// Three threads meet here, each on its own side:
//   - the UI thread runs every member function but onMix();
//   - the audio thread runs onMix() between attachTap and detachTap, and only
//     converts the block and pushes it into the lock-free ring;
//   - the writer thread, started by start() and joined by stop(), drains the
//     ring into the scratch file.
// When the ring is full the frames that do not fit are dropped, counted and
// recorded as a gap; the writer leaves a gap as silence, so the rest of the
// take keeps its place in time.
#pragma once

#include "platform/audio/audio_thread/audio_tap.h"
#include "platform/audio/audio_thread/spsc_queue.h"
#include "platform/winapi.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace platform::mci {

constexpr uint32_t kTakeChannels = 2;
constexpr uint32_t kTakeBytesPerFrame = kTakeChannels * sizeof(int16_t);

// Writes path whole or not at all (write-then-rename, see writeFileReplacing):
// header, then length bytes of srcFd from its start.  who names the writer in
// the stderr line of a failure.  Returns 0 or the MCIERR_ code of the failure.
MCIERROR saveReplacing(const std::string& path, const void* header, std::size_t headerLen,
                       int srcFd, uint64_t length, const char* who);

// The take's ring of 16-bit stereo frames, from the audio thread (the only
// producer) to the writer thread (the only consumer).  Positions count frames
// pushed since the ring was made and never wrap; only slot() folds them into
// the buffer.
class TakeRing {
public:
  // frames: rounded up to a power of two, at least 1024.
  explicit TakeRing(std::size_t frames);

  // Producer side.
  uint64_t head() const noexcept { return head_.load(std::memory_order_relaxed); }
  uint64_t room() const noexcept;   // frames that can be pushed now
  int16_t* frame(uint64_t pos) noexcept { return &buffer_[slot(pos) * kTakeChannels]; }
  void publish(uint64_t head) noexcept { head_.store(head, std::memory_order_release); }

  // Consumer side.
  uint64_t pushed() const noexcept { return head_.load(std::memory_order_acquire); }
  uint64_t tail() const noexcept { return tail_.load(std::memory_order_relaxed); }
  // Frames from pos on that lie in one piece of the buffer, at most upTo - pos.
  uint64_t run(uint64_t pos, uint64_t upTo) const noexcept;
  const int16_t* frame(uint64_t pos) const noexcept { return &buffer_[slot(pos) * kTakeChannels]; }
  void release(uint64_t tail) noexcept { tail_.store(tail, std::memory_order_release); }

private:
  std::size_t slot(uint64_t pos) const noexcept { return static_cast<std::size_t>(pos) & mask_; }

  const std::size_t capacity_;
  const std::size_t mask_;
  std::unique_ptr<int16_t[]> buffer_;
  alignas(64) std::atomic<uint64_t> head_{0};   // frames pushed (audio thread)
  alignas(64) std::atomic<uint64_t> tail_{0};   // frames written (writer thread)
};

// UI thread, except onMix() (audio thread); the writer thread is internal.
class Take final : public AudioTap {
public:
  Take(TapHost& host, std::size_t ringFrames);
  ~Take() override;
  Take(const Take&) = delete;
  Take& operator=(const Take&) = delete;

  // Creates the scratch file in folder, deleted from the folder at once so
  // that nothing is left behind whatever happens to the program.
  MCIERROR createScratch(const std::string& folder);

  bool recording() const { return recording_; }
  uint32_t rate() const { return rate_; }
  uint64_t frames() const { return frames_; }   // while stopped

  // Starts recording at fromFrame (the take is cut there) up to endFrame.
  MCIERROR start(uint64_t fromFrame, uint64_t endFrame);
  // Ends the recording: no frame after this call is taken, every frame taken
  // before it is in the scratch file when it returns.
  MCIERROR stop();
  // Blocks until everything the tap has captured so far is in the scratch
  // file.  Recording goes on.
  void flush();
  // Writes the take as a WAV file at path (stops it first if it is running).
  MCIERROR save(const std::string& path);

  void onMix(const float* interleaved, uint32_t frames) noexcept override;

private:
  struct Gap {
    uint64_t at;      // ring position of the first frame after the gap
    uint64_t frames;  // frames missing
  };
  // What the writer thread owns from start() until stop() has joined it; the
  // UI thread reads and resets it only while no writer runs.
  struct WriterState {
    uint64_t written = 0;   // frames placed in the file so far
    int error = 0;          // errno of the first failed write, kept until a fresh take
    std::optional<Gap> pendingGap;
  };

  void writerLoop();
  void drain();
  void writeRing(uint64_t upTo);

  TapHost& host_;
  const uint32_t rate_;
  TakeRing ring_;
  int fd_ = -1;

  // UI thread.
  bool recording_ = false;
  uint64_t frames_ = 0;   // frames in the scratch file while stopped
  std::thread writer_;

  WriterState out_;

  // Audio thread while the tap is attached (set by start() before attachTap,
  // read back by stop() after detachTap).
  uint64_t position_ = 0;   // frame of the take the next block starts at
  uint64_t endFrame_ = 0;   // recording ends by itself here
  uint64_t gapOpen_ = 0;    // frames dropped since the last push
  std::atomic<uint64_t> lost_{0};
  SpscQueue<Gap, 256> gaps_;   // audio thread -> writer thread

  // Waking the writer and waiting for it.
  std::mutex m_;
  std::condition_variable cv_;
  std::condition_variable drainedCv_;
  bool quit_ = false;
  bool wake_ = false;
  uint64_t drainedTo_ = 0;
};

}  // namespace platform::mci
