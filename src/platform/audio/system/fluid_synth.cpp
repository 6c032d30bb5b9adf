// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/system/fluid_synth.h"

#include "platform/audio/audio_thread/midi_message.h"
#include "platform/audio/audio_thread/room_reverb.h"
#include "platform/audio/system/soundfont_subset.h"
#include "platform/audio/system/tone_onsets.h"
#include "platform/startup_stamps.h"

#include <fluidsynth.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace platform {

namespace {

constexpr int kChannels = 16;
constexpr int kDrumChannel = 9;
constexpr int kGm = 0, kOpl3 = 1, kFontSlots = 2;
// renderWithSends() works through FluidSynth's planar buffers in chunks of
// this many frames.
constexpr uint32_t kChunk = 1024;
constexpr int kFluidBlockFrames = 64;   // FluidSynth renders in blocks of this many frames

// FluidSynth reports informational chatter and warnings (for instance that
// sample memory could not be pinned) on stderr.  Only errors matter to us,
// and those come back through the calls' results.
void quietFluidLogs() {
  static std::once_flag once;
  std::call_once(once, [] {
    fluid_set_log_function(FLUID_WARN, nullptr, nullptr);
    fluid_set_log_function(FLUID_INFO, nullptr, nullptr);
    fluid_set_log_function(FLUID_DBG, nullptr, nullptr);
  });
}

// The settings every instance shares; the caller adds its own.
fluid_settings_t* baseSettings(double sampleRate) {
  fluid_settings_t* s = new_fluid_settings();
  if (!s) return nullptr;
  fluid_settings_setnum(s, "synth.sample-rate", sampleRate);
  fluid_settings_setint(s, "synth.audio-channels", 1);
  fluid_settings_setint(s, "synth.audio-groups", 1);
  fluid_settings_setint(s, "synth.cpu-cores", 1);
  // Only the audio thread touches an instance once it plays, so FluidSynth's
  // API mutex would only cost time.
  fluid_settings_setint(s, "synth.threadsafe-api", 0);
  // Samples are read when a preset is first selected or pinned, not at
  // load: the instrument pins the few presets it plays and never selects
  // another one.
  fluid_settings_setint(s, "synth.dynamic-sample-loading", 1);
  return s;
}

bool hasPreset(fluid_sfont_t* sfont, int bank, int preset) {
  return sfont && fluid_sfont_get_preset(sfont, bank, preset) != nullptr;
}

}  // namespace

// The soundfonts of one instrument and its siblings.  A hidden synth that is
// never played loaded them and owns them: FluidSynth frees a synth's
// soundfonts with it, so every playing instance takes them off its own list
// before it goes, and this synth goes last.  Pinned presets stay loaded for
// as long as the soundfont lives, in whichever instance they are selected.
struct FluidSynth::Fonts {
  fluid_settings_t* settings = nullptr;
  fluid_synth_t* home = nullptr;
  std::array<fluid_sfont_t*, kFontSlots> sfont{};
  std::array<std::string, kFontSlots> path;
  // The id each playing instance gives soundfont k: they are added to every
  // instance in the same order, so the ids agree across the family.
  std::array<int, kFontSlots> id{};
  std::array<Tone, 128> map{};
  // Each program's tone as an index into kPrograms, and the tones' lead-ins.
  std::array<int8_t, 128> tone{};
  std::array<LeadIns, kPrograms.size()> leadIn{};

  ~Fonts() {
    if (home) delete_fluid_synth(home);   // unpins and frees the soundfonts
    if (settings) delete_fluid_settings(settings);
  }
};

std::unique_ptr<FluidSynth> FluidSynth::create(const std::string& path, const Options& options,
                                               std::string* error) {
  InstrumentFonts fonts;
  fonts.generalMidi = {path};
  fonts.opl3.clear();
  return createInstrument(fonts, options, error);
}

std::unique_ptr<FluidSynth> FluidSynth::createInstrument(const InstrumentFonts& fonts,
                                                         const Options& options,
                                                         std::string* error) {
  // The home synth reads and pins at any rate; the onsets need the instrument's.
  auto loaded = loadFonts(fonts, error);
  if (!loaded) return nullptr;
  return createInstrument(std::move(loaded), options, error);
}

std::shared_ptr<FluidSynth::Fonts> FluidSynth::loadFonts(const InstrumentFonts& fonts, std::string* error) {
  quietFluidLogs();
  auto fail = [&](const std::string& why) -> std::shared_ptr<Fonts> {
    if (error) *error = why;
    return nullptr;
  };

  auto shared = std::make_shared<Fonts>();
  shared->settings = baseSettings(44100.0);
  if (!shared->settings) return fail("FluidSynth settings could not be created");
  fluid_settings_setint(shared->settings, "synth.polyphony", 1);
  fluid_settings_setint(shared->settings, "synth.reverb.active", 0);
  fluid_settings_setint(shared->settings, "synth.chorus.active", 0);
  shared->home = new_fluid_synth(shared->settings);
  if (!shared->home) return fail("FluidSynth could not be started");
  fluid_synth_t* home = shared->home;

  // Only the presets the tones play are loaded (soundfont_subset.h): the
  // rest of a soundfont's tables would cost megabytes and nothing plays them.
  if (fluid_sfloader_t* loader = subsetLoader(shared->settings)) fluid_synth_add_sfloader(home, loader);
  // A soundfont our reader cannot cut down is loaded whole, as FluidSynth takes it.
  auto load = [&](const std::string& path, const std::vector<SoundfontPreset>& presets, bool* lacks) {
    const SoundfontSubset subset = makeSubset(path, presets);
    *lacks = subset.lacksPreset;
    if (subset.lacksPreset) return int(FLUID_FAILED);
    return fluid_synth_sfload(home, subset.name.empty() ? path.c_str() : subset.name.c_str(), 0);
  };

  // The OPL3 soundfont first: whether it is there decides where 116 comes from.
  for (const std::string& path : existingSoundfonts(fonts.opl3)) {
    bool lacks = false;
    const int id = load(path, {{0, 116}}, &lacks);
    if (id == FLUID_FAILED) continue;
    fluid_sfont_t* sf = fluid_synth_get_sfont_by_id(home, id);
    if (hasPreset(sf, 0, 116)) {
      shared->sfont[kOpl3] = sf;
      shared->path[kOpl3] = path;
      break;
    }
    fluid_synth_sfunload(home, id, 0);
  }
  const bool opl3 = shared->sfont[kOpl3] != nullptr;

  std::string why = "no soundfont found";
  std::vector<SoundfontPreset> gmPresets;
  for (int program : kPrograms)
    if (program != 116 || !opl3) gmPresets.push_back({0, program});
  for (const std::string& path : existingSoundfonts(fonts.generalMidi)) {
    bool lacks = false;
    const int id = load(path, gmPresets, &lacks);
    if (id == FLUID_FAILED) {
      why = (lacks ? "the soundfont lacks the instrument's tones: " : "not a usable soundfont: ") + path;
      continue;
    }
    fluid_sfont_t* sf = fluid_synth_get_sfont_by_id(home, id);
    bool complete = true;
    for (const SoundfontPreset& p : gmPresets)
      if (!hasPreset(sf, p.bank, p.preset)) complete = false;
    if (complete) {
      shared->sfont[kGm] = sf;
      shared->path[kGm] = path;
      break;
    }
    why = "the soundfont lacks the instrument's tones: " + path;
    fluid_synth_sfunload(home, id, 0);
  }
  if (!shared->sfont[kGm]) return fail(why);
  startup::mark("soundfonts read");

  if (!fonts.opl3.empty() && !opl3) {
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
      std::fprintf(stderr,
                   "plinkora: the OPL3 FM soundfont (%s, Debian package opl3-soundfont) is not "
                   "installed; every tone comes from %s\n",
                   fonts.opl3.front().c_str(), shared->path[kGm].c_str());
  }

  // The program map: every program plays the fallback tone but those with a
  // preset of their own.
  auto toneFor = [&](int program) -> Tone {
    if (program == 116 && opl3) return {kOpl3, 0, 116};
    return {kGm, 0, program};
  };
  shared->map.fill(toneFor(kFallbackProgram));
  for (int program : kPrograms) shared->map[size_t(program)] = toneFor(program);
  for (size_t i = 0; i < kPrograms.size(); ++i) {
    if (kPrograms[i] == kFallbackProgram) shared->tone.fill(int8_t(i));   // first: the others overwrite
  }
  for (size_t i = 0; i < kPrograms.size(); ++i) shared->tone[size_t(kPrograms[i])] = int8_t(i);

  // Load the mapped presets' samples now and keep them, whatever channels
  // select or leave them later.
  for (int program : kPrograms) {
    const Tone t = shared->map[size_t(program)];
    if (fluid_synth_pin_preset(home, fluid_sfont_get_id(shared->sfont[size_t(t.font)]), t.bank,
                               t.preset) != FLUID_OK)
      return fail("the samples of program " + std::to_string(program) + " could not be loaded from " +
                  shared->path[size_t(t.font)]);
  }
  for (int k = 0; k < kFontSlots; ++k) shared->id[size_t(k)] = shared->sfont[size_t(k)] ? k + 1 : 0;
  startup::mark("samples pinned");
  return shared;
}

std::unique_ptr<FluidSynth> FluidSynth::createInstrument(std::shared_ptr<Fonts> loaded, const Options& options,
                                                         std::string* error) {
  if (!loaded) {
    if (error) *error = "no soundfonts were loaded";
    return nullptr;
  }
  if (options.skipLeadIns && !measureLeadIns(loaded, options, error)) return nullptr;
  startup::mark("onsets");
  return make(std::move(loaded), options, error);
}

// The tones' lead-ins, found on a scratch instance (a sibling in all but
// name) at the instrument's rate and gain, dry.
bool FluidSynth::measureLeadIns(const std::shared_ptr<Fonts>& fonts, const Options& options,
                                std::string* error) {
  Options dry;
  dry.sampleRate = options.sampleRate;
  dry.gain = options.gain;
  dry.polyphony = 16;
  dry.internalReverb = false;
  dry.internalChorus = false;
  auto scratch = make(fonts, dry, error);
  if (!scratch) return false;
  for (size_t i = 0; i < kPrograms.size(); ++i) {
    scratch->selectTone(0, kPrograms[i]);
    fonts->leadIn[i] = platform::findLeadIns(scratch->synth_, 0, options.sampleRate);
  }
  return true;
}

std::unique_ptr<FluidSynth> FluidSynth::sibling(const Options& options, std::string* error) const {
  if (options.sampleRate != sampleRate_) {
    if (error) *error = "a sibling must run at its instrument's sample rate";
    return nullptr;
  }
  return make(fonts_, options, error);
}

std::unique_ptr<FluidSynth> FluidSynth::make(std::shared_ptr<Fonts> fonts, const Options& options,
                                             std::string* error) {
  quietFluidLogs();
  auto fail = [&](const std::string& why) -> std::unique_ptr<FluidSynth> {
    if (error) *error = why;
    return nullptr;
  };

  std::unique_ptr<FluidSynth> self(new FluidSynth());
  self->channelTone_.fill(-1);
  self->settings_ = baseSettings(options.sampleRate);
  if (!self->settings_) return fail("FluidSynth settings could not be created");
  fluid_settings_t* s = self->settings_;
  fluid_settings_setint(s, "synth.polyphony", options.polyphony);
  fluid_settings_setnum(s, "synth.gain", options.gain);
  // With effect sends, both effects are switched on so that the voices feed
  // their sends, and their units are then stopped (below).
  fluid_settings_setint(s, "synth.reverb.active", options.internalReverb || options.effectSends ? 1 : 0);
  // FluidSynth's own reverb, when asked for, is the same room as the shared one.
  const RoomReverb::Settings room;
  fluid_settings_setnum(s, "synth.reverb.room-size", room.roomSize);
  fluid_settings_setnum(s, "synth.reverb.damp", room.damp);
  fluid_settings_setnum(s, "synth.reverb.width", room.width);
  fluid_settings_setnum(s, "synth.reverb.level", room.level);
  fluid_settings_setint(s, "synth.chorus.active", options.internalChorus || options.effectSends ? 1 : 0);

  self->synth_ = new_fluid_synth(s);
  if (!self->synth_) return fail("FluidSynth could not be started");
  fluid_synth_t* synth = self->synth_;
  // Room for every voice and the list's end.
  self->voices_.assign(size_t(fluid_synth_get_polyphony(synth)) + 1, nullptr);

  if (options.effectSends) {
    // FluidSynth 2.3 sends the voices' effect signals into its effect
    // buffers while its mixer has the effect on, and runs only the units
    // that are on: stopping every unit and then setting the mixer's flag
    // alone (the older whole-synth call) leaves the bare sends there.
    fluid_synth_reverb_on(synth, -1, 0);
    fluid_synth_chorus_on(synth, -1, 0);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    fluid_synth_set_reverb_on(synth, 1);
    fluid_synth_set_chorus_on(synth, 1);
#pragma GCC diagnostic pop
    self->scratch_.assign(size_t(kChunk) * 6, 0.0f);
  }

  // No channel may hold a preset when the shared soundfonts arrive: adding a
  // soundfont re-selects every channel's program, which would read unpinned
  // samples and touch use counts a playing sibling updates.
  for (int ch = 0; ch < kChannels; ++ch) fluid_synth_unset_program(synth, ch);
  for (int k = 0; k < kFontSlots; ++k) {
    fluid_sfont_t* sf = fonts->sfont[size_t(k)];
    if (!sf) continue;
    // Writes the id into the shared soundfont; every instance writes the
    // same one (see Fonts::id).
    if (fluid_synth_add_sfont(synth, sf) != fonts->id[size_t(k)]) {
      for (int j = 0; j <= k; ++j)
        if (fonts->sfont[size_t(j)]) fluid_synth_remove_sfont(synth, fonts->sfont[size_t(j)]);
      return fail("the soundfonts could not be shared");
    }
  }

  self->fonts_ = std::move(fonts);
  self->options_ = options;
  self->sampleRate_ = options.sampleRate;
  // Silence as long as the longest call, here on the creating thread:
  // FluidSynth clears as much of its mixing buffers as each call renders,
  // and their first touch costs a few hundred page faults (tenths of a
  // millisecond), which the audio thread would otherwise take the first
  // times this instance sounds.  A whole number of FluidSynth's blocks
  // keeps every later block where it was.
  static_assert(kChunk % kFluidBlockFrames == 0);
  std::vector<float> silence(size_t(kChunk) * 2);
  fluid_synth_write_float(synth, int(kChunk), silence.data(), 0, 2, silence.data(), 1, 2);
  return self;
}

FluidSynth::~FluidSynth() {
  if (synth_) {
    // Take the shared soundfonts off this synth before it goes, or FluidSynth
    // would free them with it.  The programs go first, so that taking them
    // off selects nothing.
    for (int ch = 0; ch < kChannels; ++ch) fluid_synth_unset_program(synth_, ch);
    if (fonts_)
      for (fluid_sfont_t* sf : fonts_->sfont)
        if (sf) fluid_synth_remove_sfont(synth_, sf);
    delete_fluid_synth(synth_);
  }
  if (settings_) delete_fluid_settings(settings_);
}

const std::string& FluidSynth::soundfontPath() const { return fonts_->path[kGm]; }
const std::string& FluidSynth::opl3Path() const { return fonts_->path[kOpl3]; }

FluidSynth::Tone FluidSynth::toneOf(int program) const {
  return fonts_->map[size_t(std::clamp(program, 0, 127))];
}

int FluidSynth::leadInFrames(int program, int key) const {
  return fonts_->leadIn[size_t(fonts_->tone[size_t(std::clamp(program, 0, 127))])][size_t(std::clamp(key, 0, 127))];
}

void FluidSynth::selectTone(int channel, int program) noexcept {
  const Tone& t = fonts_->map[size_t(program & 0x7F)];
  fluid_synth_program_select(synth_, channel, fonts_->id[size_t(t.font)], t.bank, t.preset);
  channelTone_[size_t(channel)] = fonts_->tone[size_t(program & 0x7F)];
}

void FluidSynth::noteOn(int channel, int key, int velocity) noexcept {
  fluid_synth_noteon(synth_, channel, key, velocity);
  const int tone = channelTone_[size_t(channel)];
  if (tone < 0) return;
  // The voices this note-on made carry the newest note number: FluidSynth
  // numbers notes in order.  None newer than the last note's means it made
  // none (a key outside every zone) or filed them under an older number (a
  // key held by sostenuto), and nothing is touched.
  fluid_synth_get_voicelist(synth_, voices_.data(), int(voices_.size()), -1);
  bool any = false;
  unsigned newest = 0;
  for (fluid_voice_t* const* v = voices_.data(); *v; ++v) {
    const unsigned id = fluid_voice_get_id(*v);
    if (!any || int(id - newest) > 0) newest = id;
    any = true;
  }
  if (!any || (noted_ && int(newest - lastNote_) <= 0)) return;
  noted_ = true;
  lastNote_ = newest;
  const int32_t start = fonts_->leadIn[size_t(tone)][size_t(key)];
  if (start == 0) return;
  // Added to the voices' own start (the zone's offset, the channel's), on
  // these voices only: they have not rendered yet, so they begin there.
  for (fluid_voice_t* const* v = voices_.data(); *v; ++v) {
    if (fluid_voice_get_id(*v) != newest) continue;
    fluid_voice_gen_incr(*v, GEN_STARTADDROFS, float(start));
    fluid_voice_update_param(*v, GEN_STARTADDROFS);
  }
  // The voices' changes are queued for the renderer and handed over when a
  // call into the synth returns; this cheap one does it now.
  fluid_synth_get_gen(synth_, channel, GEN_STARTADDROFS);
}

void FluidSynth::render(float* interleaved, uint32_t frames) noexcept {
  fluid_synth_write_float(synth_, static_cast<int>(frames), interleaved, 0, 2, interleaved, 1, 2);
}

void FluidSynth::renderWithSends(float* interleaved, float* reverbSend, float* chorusSend,
                                 uint32_t frames) noexcept {
  if (!options_.effectSends) {
    render(interleaved, frames);
    if (reverbSend) std::memset(reverbSend, 0, sizeof(float) * frames);
    if (chorusSend) std::memset(chorusSend, 0, sizeof(float) * frames);
    return;
  }
  float* left = scratch_.data();
  float* right = left + kChunk;
  float* fx[4] = {right + kChunk, right + 2 * kChunk, right + 3 * kChunk, right + 4 * kChunk};
  float* out[2] = {left, right};
  for (uint32_t done = 0; done < frames;) {
    const uint32_t n = std::min(kChunk, frames - done);
    // fluid_synth_process adds to what the buffers hold.
    std::memset(left, 0, sizeof(float) * kChunk * 6);
    fluid_synth_process(synth_, int(n), 4, fx, 2, out);
    float* o = interleaved + size_t(done) * 2;
    for (uint32_t i = 0; i < n; ++i) {
      o[2 * i] = left[i];
      o[2 * i + 1] = right[i];
    }
    // The sends are mono, in the left half of each effect's pair.
    if (reverbSend) std::memcpy(reverbSend + done, fx[0], sizeof(float) * n);
    if (chorusSend) std::memcpy(chorusSend + done, fx[2], sizeof(float) * n);
    done += n;
  }
}

void FluidSynth::dispatch(uint32_t packed) noexcept {
  const MidiMessage m(packed);
  if (!m.isChannelVoice()) return;
  const int ch = m.channel(), d1 = m.data1(), d2 = m.data2();
  switch (m.kind()) {
    case MidiMessage::NoteOff: fluid_synth_noteoff(synth_, ch, d1); break;
    case MidiMessage::NoteOn:
      if (m.isNoteOff()) fluid_synth_noteoff(synth_, ch, d1);
      else noteOn(ch, d1, d2);
      break;
    case MidiMessage::KeyPressure: fluid_synth_key_pressure(synth_, ch, d1, d2); break;
    case MidiMessage::Controller: fluid_synth_cc(synth_, ch, d1, d2); break;
    case MidiMessage::Program: selectTone(ch, d1); break;
    case MidiMessage::ChannelPressure: fluid_synth_channel_pressure(synth_, ch, d1); break;
    case MidiMessage::PitchBend: fluid_synth_pitch_bend(synth_, ch, m.bend()); break;
  }
}

void FluidSynth::releaseAll() noexcept {
  for (int ch = 0; ch < kChannels; ++ch) {
    fluid_synth_cc(synth_, ch, 64, 0);   // sustain pedal up
    fluid_synth_cc(synth_, ch, 66, 0);   // sostenuto up
  }
  fluid_synth_all_notes_off(synth_, -1);
}

void FluidSynth::silence() noexcept { fluid_synth_all_sounds_off(synth_, -1); }

void FluidSynth::resetChannels() noexcept {
  for (int ch = 0; ch < kChannels; ++ch) {
    fluid_synth_cc(synth_, ch, 121, 0);  // reset all controllers
    fluid_synth_cc(synth_, ch, 7, 100);
    fluid_synth_cc(synth_, ch, 10, 64);
    fluid_synth_cc(synth_, ch, 91, options_.defaultReverbSend);
    fluid_synth_cc(synth_, ch, 93, 0);
    fluid_synth_pitch_bend(synth_, ch, 8192);
    if (ch != kDrumChannel) fluid_synth_bank_select(synth_, ch, 0);
    selectTone(ch, kFallbackProgram);
  }
}

void FluidSynth::unsetPrograms() noexcept {
  for (int ch = 0; ch < kChannels; ++ch) fluid_synth_unset_program(synth_, ch);
  channelTone_.fill(-1);
}

int FluidSynth::activeVoices() const noexcept { return fluid_synth_get_active_voice_count(synth_); }

}  // namespace platform
