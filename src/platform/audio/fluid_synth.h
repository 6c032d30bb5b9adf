// The embedded General MIDI synthesizer: one FluidSynth instance with one
// soundfont, loaded once and kept for the whole run.
//
// Threading: create() runs on the UI thread.  Once the synth has been handed
// to the audio engine, every other call is made on the audio thread only, so
// FluidSynth's own API lock is switched off and nothing here ever waits.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct _fluid_hashtable_t;
struct _fluid_synth_t;

namespace platform {

// A channel voice message as midiOutShortMsg packs it: status in bits 0-7,
// first data byte in bits 8-15, second in bits 16-23.  True for note-off,
// note-on, key pressure, controller, program change, channel pressure and
// pitch bend with data bytes below 0x80; false for system messages, bare
// data bytes and anything with a high bit set in a data byte it uses.
bool isChannelVoiceMessage(uint32_t packed) noexcept;

class FluidSynth {
public:
  struct Options {
    uint32_t sampleRate = 44100;
    int polyphony = 64;          // voices; plucked notes die away, so this is plenty
    float gain = 0.3f;           // master gain: four strings at full velocity stay below clipping
    bool reverb = true;          // a light room
    int defaultReverbSend = 40;  // CC 91 given to every channel on reset
  };

  // Loads the soundfont at `path`.  Null when FluidSynth cannot be set up or
  // the file is not a soundfont; *error then says why.
  static std::unique_ptr<FluidSynth> create(const std::string& path, const Options& options,
                                            std::string* error = nullptr);
  ~FluidSynth();
  FluidSynth(const FluidSynth&) = delete;
  FluidSynth& operator=(const FluidSynth&) = delete;

  const std::string& soundfontPath() const { return path_; }
  uint32_t sampleRate() const { return sampleRate_; }

  // ---- audio thread ----
  // Writes (not adds) `frames` frames of interleaved stereo.
  void render(float* interleaved, uint32_t frames) noexcept;
  // Plays one packed channel voice message; malformed ones are ignored.
  void dispatch(uint32_t packed) noexcept;
  // Sustain and sostenuto off and every note released on every channel:
  // the notes die away through their own release.
  void releaseAll() noexcept;
  // Every voice stopped at once.
  void silence() noexcept;
  // The state a freshly opened device has: controllers reset, volume 100,
  // pan centre, default reverb send, bank 0 program 0 (drum kit on channel
  // 10), pitch bend centred.  Voices that are still dying away keep going.
  void resetChannels() noexcept;
  int activeVoices() const noexcept;

private:
  FluidSynth() = default;
  _fluid_hashtable_t* settings_ = nullptr;   // fluid_settings_t
  _fluid_synth_t* synth_ = nullptr;
  int defaultReverbSend_ = 0;
  uint32_t sampleRate_ = 0;
  std::string path_;
};

}  // namespace platform
