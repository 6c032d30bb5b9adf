// SPDX-License-Identifier: GPL-3.0-or-later
// A sound server in miniature, driven by hand, for tests and benchmarks.
// It keeps every frame the engine gave it in a queue, takes frames from the
// queue as the caller lets it play (in pulls of pullFrames at a time, as a
// PipeWire graph pulls a quantum, or frame by frame, as a PulseAudio sink
// that rewinds behaves), accepts writes anywhere at or past what it has
// taken, and refuses (and counts) writes into what it has already taken.
// Everything it took is kept: that is what the speaker played.
//
// It serves the engine through the same OutputProtocol as the real outputs:
// its clock says a change is written guardFrames past what the server has
// taken, and the queue is topped up to queueFrames past the play position.
// One thread: the test's.
#pragma once

#include "platform/audio/audio_thread/output_protocol.h"
#include "platform/audio/system/audio_output.h"

#include <memory>
#include <string>

#include <cstdint>
#include <vector>

namespace platform {

class SimulatedOutput : public AudioOutput, private OutputProtocol::Writer {
public:
  struct Config {
    uint32_t queueFrames = 2048;
    uint32_t periodFrames = 512;
    uint32_t guardFrames = 88;
    uint32_t pullFrames = 1;
  };
  SimulatedOutput();
  explicit SimulatedOutput(Config config);

  bool start(AudioEngine& engine) override;   // fills the queue
  void stop() override { running_ = false; }
  bool running() const override { return running_; }
  double latencyMs() override;
  uint32_t periodFrames() const override { return config_.periodFrames; }
  uint32_t queueFrames() const override { return config_.queueFrames; }
  uint64_t underruns() const override { return underruns_; }
  std::string describe() const override;

  // One round of the audio thread, as a wake-up or a server request runs it.
  void service();
  // The server plays `frames` frames.  `serve`: the audio thread runs a
  // round after every period, as the server's requests make it; without it
  // the audio thread is stalled meanwhile.
  void play(uint64_t frames, bool serve = true);

  uint64_t playPosition() const { return read_; }
  // Frames the server has taken: nothing before this can change.
  uint64_t taken() const { return pulled_; }
  uint64_t queuedEnd() const { return end_; }
  // Every frame played so far, interleaved stereo.
  const std::vector<float>& played() const { return played_; }
  // Frames written into what the server had already taken.
  uint64_t refusedFrames() const { return refused_; }
  uint64_t rewrittenFrames() const { return rewritten_; }

private:
  uint32_t write(uint64_t at, uint32_t frames, const OutputProtocol::Frames& mix) noexcept override;

  Config config_;
  std::unique_ptr<OutputProtocol> protocol_;

  bool running_ = false;
  std::vector<float> queue_;    // every frame written, by frame
  std::vector<float> taken_;    // the frames taken, by frame
  std::vector<float> played_;
  std::vector<float> block_;
  uint64_t read_ = 0, pulled_ = 0, end_ = 0;
  uint64_t underruns_ = 0, refused_ = 0, rewritten_ = 0;
  bool dry_ = false;
};

}  // namespace platform
