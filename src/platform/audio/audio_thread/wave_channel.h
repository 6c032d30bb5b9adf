// SPDX-License-Identifier: GPL-3.0-or-later
// The one wave-sound channel: sounds decoded on the UI thread (wave_file.h)
// and played by the audio thread, once or looping without a gap.
//
// Hand-over: the UI thread queues a pointer to a decoded buffer and keeps the
// buffer alive itself.  The audio thread publishes the id of every sound it
// has finished with (played out, replaced or stopped); sounds finish in the
// order they were started, so the UI thread frees every buffer up to that id
// on its next call.  The audio thread never allocates or frees.
//
// The engine renders ahead of what is heard, so the audio side is split in
// two: takeCommands() applies what the UI asked for and says whether the
// channel changed, and renderNext() writes the channel's next frames.  A
// change is heard from the engine's change point: the engine renders the
// channel anew from there.
#pragma once

#include "platform/audio/audio_thread/spsc_queue.h"
#include "platform/audio/audio_thread/wave_data.h"
#include "platform/audio/audio_thread/wake_signal.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

namespace platform {

// Threads: play/stop/stopIf/buffersHeld on the UI thread; takeCommands and
// renderNext on the audio thread; hasEnded and playingId on any.
class WaveChannel {
public:
  // `wake`, when given, is told after every queued command, so the audio
  // thread takes it at once rather than at its next block.
  explicit WaveChannel(uint32_t sampleRate, WakeSignal* wake = nullptr);
  ~WaveChannel();
  WaveChannel(const WaveChannel&) = delete;
  WaveChannel& operator=(const WaveChannel&) = delete;

  uint32_t sampleRate() const { return rate_; }

  // ---- UI thread ----
  struct Started {
    uint64_t id = 0;        // 0 when nothing was started
    double seconds = 0.0;   // length of one pass
  };
  // Ends whatever plays, then starts `data`.  False (and silence) when there
  // is nothing to play or the audio thread is not taking commands.
  bool play(std::shared_ptr<const WaveData> data, bool loop, Started* started = nullptr);
  // Ends whatever plays.  False only when the command could not be queued.
  bool stop();
  // Ends sound `id` if it is still the one playing (or queued to play).
  bool stopIf(uint64_t id);
  // True once the audio thread is done with sound `id`.
  bool hasEnded(uint64_t id) const;
  // The sound the audio thread plays now; 0 when silent.
  uint64_t playingId() const { return playing_.load(std::memory_order_acquire); }
  // Decoded buffers the UI side still keeps for the audio thread.
  size_t buffersHeld();

  // ---- audio thread ----
  // Applies the queued commands (those stamped at or before `upToNs`, see
  // command_clock.h).  True when what the channel plays changed (a sound
  // started, was replaced or stopped).
  bool takeCommands(int64_t upToNs = INT64_MAX) noexcept;
  bool commandsWaiting() const noexcept { return commands_.size() > 0; }
  // The stamp of the oldest queued command; false when none is queued.
  bool nextCommandTime(int64_t* ns) noexcept;
  // Writes (not adds) the channel's next `frames` frames; silence when idle.
  void renderNext(float* out, uint32_t frames) noexcept;
  // Audio side: a sound is playing.
  bool active() const noexcept { return data_ != nullptr; }

private:
  struct Command {
    enum Kind : uint8_t { Play, Stop, StopIf } kind = Stop;
    bool loop = false;
    uint64_t id = 0;
    const float* data = nullptr;
    uint64_t frames = 0;
    int64_t time = 0;   // monotonicNs() when queued
  };

  void reclaim();
  void finishCurrent() noexcept;

  bool push(const Command& c);

  const uint32_t rate_;
  WakeSignal* wake_;
  SpscQueue<Command, 64> commands_;

  // UI side
  uint64_t nextId_ = 0;
  std::deque<std::pair<uint64_t, std::shared_ptr<const WaveData>>> inFlight_;

  // audio side
  const float* data_ = nullptr;
  uint64_t frames_ = 0;
  uint64_t pos_ = 0;
  bool loop_ = false;
  uint64_t id_ = 0;

  // published by the audio thread
  std::atomic<uint64_t> lastEnded_{0};
  std::atomic<uint64_t> playing_{0};
};

}  // namespace platform
