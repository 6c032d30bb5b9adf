// The one wave-sound channel: WAV files decoded on the UI thread, converted
// once to the engine's format (interleaved stereo float at its rate) and
// played by the audio thread, once or looping without a gap.
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

#include "platform/audio/spsc_queue.h"
#include "platform/audio/wake_signal.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace platform {

struct WaveData {
  std::vector<float> samples;   // interleaved stereo at the engine's rate
  uint64_t frames = 0;
  uint32_t sourceRate = 0;
  int sourceChannels = 0;
  bool truncated = false;       // longer than the channel keeps; only the start is kept
  double seconds(uint32_t rate) const { return rate ? double(frames) / rate : 0.0; }
};

// Longest sound the channel keeps in memory; longer files play their start.
constexpr double kMaxWaveSeconds = 600.0;
// Lowest sample rate of a sound file that is played; a lower one is taken
// for a damaged header.
constexpr uint32_t kMinWaveRate = 1000;

// Decodes any sound file libsndfile reads (PCM or float WAV, mono, stereo or
// more channels, any rate): mono goes to both sides, more than two channels
// keep the first two, non-finite samples become silence.  `forLoop` makes
// the converted sound wrap around seamlessly at its ends.  Null when the file
// is missing, not a regular file, not a readable sound, recorded at less than
// kMinWaveRate, or too big for memory (*error says why).
std::shared_ptr<const WaveData> loadWave(const std::string& path, uint32_t targetRate,
                                         bool forLoop, std::string* error = nullptr);

// Band-limited (Kaiser-windowed sinc, 16 zero crossings) sample-rate
// conversion of interleaved stereo.  Plain conversion gives
// ceil(frames * outRate / inRate) frames; `circular` treats the input as one
// period of an endless loop and gives round(frames * outRate / inRate)
// frames that repeat seamlessly.
std::vector<float> resampleStereo(const std::vector<float>& in, uint32_t inRate,
                                  uint32_t outRate, bool circular);

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
  // Ends whatever plays, then starts the file.  False (and silence) when the
  // file cannot be played or the audio thread is not taking commands.
  bool play(const std::string& path, bool loop, Started* started = nullptr);
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
  // Decoded files kept for the next play of the same file.
  size_t cachedFiles() const { return cache_.size(); }

  // ---- audio thread ----
  // Applies the queued commands.  True when what the channel plays changed
  // (a sound started, was replaced or stopped).
  bool takeCommands() noexcept;
  // Writes (not adds) the channel's next `frames` frames; silence when idle.
  void renderNext(float* out, uint32_t frames) noexcept;
  // Takes the queued commands, then adds the channel's next `frames` frames to `out`.
  void mixInto(float* out, uint32_t frames) noexcept;
  // Audio side: a sound is playing.
  bool active() const noexcept { return data_ != nullptr; }

private:
  struct Command {
    enum Kind : uint8_t { Play, Stop, StopIf } kind = Stop;
    bool loop = false;
    uint64_t id = 0;
    const float* data = nullptr;
    uint64_t frames = 0;
  };
  struct CacheEntry {
    int64_t size = 0;
    int64_t mtimeNs = 0;
    uint64_t lastUse = 0;
    std::shared_ptr<const WaveData> data;
  };

  void reclaim();
  std::shared_ptr<const WaveData> cachedLoad(const std::string& path, bool loop);
  void finishCurrent() noexcept;

  bool push(const Command& c);

  const uint32_t rate_;
  WakeSignal* wake_;
  SpscQueue<Command, 64> commands_;

  // UI side
  uint64_t nextId_ = 0;
  uint64_t useCounter_ = 0;
  std::deque<std::pair<uint64_t, std::shared_ptr<const WaveData>>> inFlight_;
  std::map<std::pair<std::string, bool>, CacheEntry> cache_;

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
