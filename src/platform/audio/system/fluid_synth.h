// SPDX-License-Identifier: GPL-3.0-or-later
// The embedded synthesizer: FluidSynth instances playing the instrument's
// tones from soundfonts that are loaded once per run.
//
// Tones.  A program change picks the preset its program maps to:
//   116 (OPL.3)   bank 0 preset 116 of the OPL3 FM soundfont, when installed
//   24 (Nylon)    bank 0 preset 24 of the General MIDI soundfont
//   32 (NylonB)   bank 0 preset 32 of the General MIDI soundfont
// Without the OPL3 soundfont, 116 too comes from the General MIDI one (and
// stderr says so once).  Every other program, and every channel after
// resetChannels(), plays the fallback tone: program 32's preset, a pitched
// string that rings until released, as a General MIDI device's default
// program does.  (The General MIDI default itself, the piano, is not kept:
// its samples would cost more memory than the three tones together.)  Bank
// select messages are taken but never change which preset a program plays.
//
// Onsets.  createInstrument() finds, for each key of the three tones, how
// much near-silence its sample opens with (tone_onsets.h), once, by playing
// the keys on a scratch instance; every note-on then starts its sample past
// that, on the voices that note-on made only (the channel's generator would
// move every voice of the channel, and a voice not yet rendered, such as
// another note of the same chord, would take it up).  The instrument and
// its siblings share the table.
//
// Footprint.  Soundfonts are loaded with dynamic sample loading: only the
// samples of the three mapped presets are read, at creation, and pinned in
// memory.  Since no message can select any other preset, nothing on the
// audio thread ever reads a file, and no message allocates.  Rendering
// allocates nothing either while the instance's own reverb and chorus are
// off; with either on (or with effect sends), Debian's FluidSynth runs its
// effects in an OpenMP region, which mallocs and frees a small team record
// on every render call.
//
// Instances.  createInstrument() loads the soundfonts; sibling() makes
// further, independent instances that play the same loaded soundfonts with
// the same program map and read no file.  The soundfonts are freed with the
// last instance, whatever the order in which instances go.
//
// Threading: loadFonts(), createInstrument() and sibling() run on any one
// thread at a time (the UI thread, or a helper that makes instances for the
// pool while it plays: making an instance touches nothing a playing sibling
// uses, see below).  Once an
// instance has been handed to the audio engine, every other call on it is
// made on the audio thread only, so FluidSynth's own API lock is switched off
// and nothing here ever waits.  Instances that share soundfonts also share
// the soundfonts' use counts, which note-ons and program changes update:
// play all of one family on the same thread.  A fresh instance (first or
// sibling) holds no preset on any channel, so creating one touches nothing
// that a playing sibling uses (but for writing into each shared soundfont
// the id it already has); its notes sound nothing until resetChannels() or
// a program change.  Destroying an instance gives back its presets and
// voices: do it on the UI thread once no thread renders it, and either while
// no sibling plays or after unsetPrograms() and with activeVoices() at 0.
#pragma once

#include "platform/audio/audio_thread/synth_instance.h"
#include "platform/audio/system/soundfont.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct _fluid_hashtable_t;
struct _fluid_synth_t;
struct _fluid_voice_t;

namespace platform {


// Where an instrument's soundfonts come from: the first of each list that
// loads.  The defaults are the fixed places the program looks in.
struct InstrumentFonts {
  std::vector<std::string> generalMidi = defaultSoundfontSearch();   // required
  std::vector<std::string> opl3 = defaultOpl3Search();   // optional: when none loads, all from GM
};

// Threads: made on the UI thread; once handed to the engine, the audio thread only.
class FluidSynth : public SynthInstance {
public:
  struct Options {
    uint32_t sampleRate = 44100;
    int polyphony = 64;          // voices; plucked notes die away, so this is plenty
    float gain = 0.3f;           // master gain: four strings at full velocity stay below clipping
    // FluidSynth's own effects in this instance.  The program plays its
    // instances dry and puts their sum through one shared room instead
    // (room_reverb.h); these are for FluidSynth on its own.
    bool internalReverb = true;
    bool internalChorus = false;
    int defaultReverbSend = 40;  // CC 91 given to every channel on reset
    // The internal reverb and chorus are not run; instead renderWithSends()
    // hands out the voices' mono reverb and chorus sends (each voice's
    // level: the preset's own and the channel's CC 91 / CC 93), for one
    // effects path shared by many instances.  render() then gives the dry
    // sound.  Costs about half of what running the effects does.
    bool effectSends = false;
    // createInstrument(): start every key of the tones past its sample's
    // near-silent opening.  Off, notes start at their samples' first frame.
    bool skipLeadIns = true;
  };

  // One program's place in the loaded soundfonts.
  struct Tone {
    int font = 0;      // 0: General MIDI, 1: OPL3
    int bank = 0;
    int preset = 0;
  };

  // Loads the General MIDI soundfont (the first of fonts.generalMidi that
  // loads) and the OPL3 one if one of fonts.opl3 loads, builds the program
  // map and pins its presets.  Null when FluidSynth cannot be set up, no
  // General MIDI soundfont loads or a mapped preset is missing; *error then
  // says why.
  static std::unique_ptr<FluidSynth> createInstrument(const InstrumentFonts& fonts,
                                                      const Options& options,
                                                      std::string* error = nullptr);
  // The same in two steps, for a soundfont read that may start before the
  // sample rate is known: loadFonts() reads the soundfonts and pins the
  // presets (no rate is needed for that), createInstrument() then finds the
  // onsets at the instrument's rate and makes it.  A loaded set makes one
  // instrument (and its siblings).  Either may run on any one thread.
  struct Fonts;   // the loaded soundfonts, shared by an instrument and its siblings
  static std::shared_ptr<Fonts> loadFonts(const InstrumentFonts& fonts, std::string* error = nullptr);
  static std::unique_ptr<FluidSynth> createInstrument(std::shared_ptr<Fonts> loaded, const Options& options,
                                                      std::string* error = nullptr);
  // The same with one General MIDI soundfont at `path` and no OPL3 one.
  static std::unique_ptr<FluidSynth> create(const std::string& path, const Options& options,
                                            std::string* error = nullptr);
  // Another instance on the same loaded soundfonts and program map, with its
  // own options (the sample rate must be the same).  Reads no file.  Null
  // when FluidSynth cannot start one; *error then says why.
  std::unique_ptr<FluidSynth> sibling(const Options& options, std::string* error = nullptr) const;

  ~FluidSynth();
  FluidSynth(const FluidSynth&) = delete;
  FluidSynth& operator=(const FluidSynth&) = delete;

  // The General MIDI soundfont, and the OPL3 one (empty when none loaded).
  const std::string& soundfontPath() const;
  const std::string& opl3Path() const;
  // Where program `program` (0..127) sounds from; unmapped programs give
  // the fallback tone's place.
  Tone toneOf(int program) const;
  // The programs with a preset of their own: 116, 24, 32.
  static constexpr std::array<int, 3> kPrograms = {116, 24, 32};
  static constexpr int kFallbackProgram = 32;
  // The sample frames a note-on of `key` skips on program `program`'s tone.
  int leadInFrames(int program, int key) const;
  uint32_t sampleRate() const { return sampleRate_; }
  const Options& options() const { return options_; }

  // ---- audio thread ----
  // Writes (not adds) `frames` frames of interleaved stereo.
  void render(float* interleaved, uint32_t frames) noexcept override;
  // With Options::effectSends: writes the dry sound as render() does and the
  // mono reverb and chorus sends (`frames` samples each; either may be
  // null).  Without it the sends are written as silence.
  void renderWithSends(float* interleaved, float* reverbSend, float* chorusSend,
                       uint32_t frames) noexcept;
  // Plays one packed channel voice message; malformed ones are ignored.
  // Program changes go through the program map.
  void dispatch(uint32_t packed) noexcept override;
  // Sustain and sostenuto off and every note released on every channel:
  // the notes die away through their own release.
  void releaseAll() noexcept override;
  // Every voice stopped at once.
  void silence() noexcept override;
  // The state a freshly opened device has: controllers reset, volume 100,
  // pan centre, default reverb send, the fallback tone on every channel,
  // pitch bend centred.  Voices that are still dying away keep going.
  void resetChannels() noexcept override;
  // Every channel without a preset (notes sound nothing until the next
  // program change or resetChannels()); voices still sounding go on.
  void unsetPrograms() noexcept;
  int activeVoices() const noexcept override;

private:
  FluidSynth() = default;
  static std::unique_ptr<FluidSynth> make(std::shared_ptr<Fonts> fonts, const Options& options,
                                          std::string* error);
  static bool measureLeadIns(const std::shared_ptr<Fonts>& fonts, const Options& options, std::string* error);
  void selectTone(int channel, int program) noexcept;
  void noteOn(int channel, int key, int velocity) noexcept;

  std::shared_ptr<Fonts> fonts_;
  _fluid_hashtable_t* settings_ = nullptr;   // fluid_settings_t
  _fluid_synth_t* synth_ = nullptr;
  Options options_;
  uint32_t sampleRate_ = 0;
  // Which of kPrograms' tones each channel plays; -1 for none.
  std::array<int8_t, 16> channelTone_;
  std::vector<_fluid_voice_t*> voices_;   // noteOn(): the playing voices, null-terminated
  unsigned lastNote_ = 0;                 // FluidSynth's number of the last note that made voices
  bool noted_ = false;
  std::vector<float> scratch_;   // renderWithSends(): planar dry and effect buffers
};

}  // namespace platform
