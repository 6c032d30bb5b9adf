// SPDX-License-Identifier: GPL-3.0-or-later
// The audio output: something that keeps asking the engine for blocks and
// sends them to the machine's sound server.  This is the small interface
// the rest of the sound system sees, so the streaming strategy can change
// without touching the synthesizer or the mixer.  Threads: every call from
// the UI thread; the output serves the engine on a thread of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class AudioEngine;

// Threads: every call from the UI thread; the output serves the engine on its own thread.
class AudioOutput {
public:
  virtual ~AudioOutput() = default;
  // Starts pulling blocks from `engine` (which must outlive the output or the
  // next stop()).  False when no output could be opened.
  virtual bool start(AudioEngine& engine) = 0;
  // Stops; when it returns the engine is no longer called.
  virtual void stop() = 0;
  // Still playing (the server may have gone away since start).
  virtual bool running() const = 0;
  // Time from a sample leaving the engine to the speaker, as the server reports it.
  virtual double latencyMs() = 0;
  // Frames the output refills at a time.
  virtual uint32_t periodFrames() const = 0;
  // Frames the output keeps queued at the server.
  virtual uint32_t queueFrames() const = 0;
  // Times the server ran out of data since start.
  virtual uint64_t underruns() const = 0;
  // A line about the stream for diagnostics and the benchmark.
  virtual std::string describe() const = 0;
  // One line for the user once it plays: the server and the period, e.g.
  // "sound through PipeWire 0.3.65, 256 frames at 48000 Hz (5.3 ms)".
  // Empty for outputs that are not the system's.
  virtual std::string announcement() const { return {}; }
  // The output also offers the MIDI port in the sound server's graph
  // (PipeWire's; a PulseAudio server has none).
  virtual bool offersMidiPort() const { return false; }
  // Whether the player is at the instrument (its window is the active one).
  // An output that pauses while idle does so only while the player is away,
  // and plays again at once when they come back.
  virtual void setPlayerPresent(bool /*present*/) {}
  // Why start() failed, or why the output stopped; empty when neither.
  const std::string& error() const { return error_; }

protected:
  std::string error_;
};

// The output the program uses: PipeWire's or PulseAudio's, as
// output_choice.h chooses.
std::unique_ptr<AudioOutput> makeDefaultAudioOutput();

}  // namespace platform
