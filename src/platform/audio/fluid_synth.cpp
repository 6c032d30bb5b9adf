#include "platform/audio/fluid_synth.h"

#include <fluidsynth.h>

#include <mutex>

namespace platform {

namespace {

constexpr int kChannels = 16;
constexpr int kDrumChannel = 9;

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

}  // namespace

bool isChannelVoiceMessage(uint32_t packed) noexcept {
  const uint32_t status = packed & 0xFF;
  const uint32_t d1 = (packed >> 8) & 0xFF;
  const uint32_t d2 = (packed >> 16) & 0xFF;
  if (status < 0x80 || status >= 0xF0) return false;
  if (d1 & 0x80) return false;
  switch (status & 0xF0) {
    case 0xC0:
    case 0xD0:
      return true;   // one data byte; the second is not looked at
    default:
      return (d2 & 0x80) == 0;
  }
}

std::unique_ptr<FluidSynth> FluidSynth::create(const std::string& path, const Options& options,
                                               std::string* error) {
  quietFluidLogs();
  auto fail = [&](const std::string& why) -> std::unique_ptr<FluidSynth> {
    if (error) *error = why;
    return nullptr;
  };

  std::unique_ptr<FluidSynth> self(new FluidSynth());
  self->settings_ = new_fluid_settings();
  if (!self->settings_) return fail("FluidSynth settings could not be created");
  fluid_settings_t* s = self->settings_;
  fluid_settings_setnum(s, "synth.sample-rate", options.sampleRate);
  fluid_settings_setint(s, "synth.polyphony", options.polyphony);
  fluid_settings_setnum(s, "synth.gain", options.gain);
  fluid_settings_setint(s, "synth.audio-channels", 1);
  fluid_settings_setint(s, "synth.audio-groups", 1);
  fluid_settings_setint(s, "synth.cpu-cores", 1);
  // Only the audio thread touches the synth once it plays, so FluidSynth's
  // API mutex would only cost time.
  fluid_settings_setint(s, "synth.threadsafe-api", 0);
  // All samples in memory up front: nothing is read from disk while playing.
  fluid_settings_setint(s, "synth.dynamic-sample-loading", 0);
  fluid_settings_setint(s, "synth.reverb.active", options.reverb ? 1 : 0);
  fluid_settings_setnum(s, "synth.reverb.room-size", 0.35);
  fluid_settings_setnum(s, "synth.reverb.damp", 0.4);
  fluid_settings_setnum(s, "synth.reverb.width", 0.8);
  fluid_settings_setnum(s, "synth.reverb.level", 0.5);
  fluid_settings_setint(s, "synth.chorus.active", 0);

  self->synth_ = new_fluid_synth(s);
  if (!self->synth_) return fail("FluidSynth could not be started");
  if (fluid_synth_sfload(self->synth_, path.c_str(), 1) == FLUID_FAILED)
    return fail("not a usable soundfont: " + path);

  self->path_ = path;
  self->sampleRate_ = options.sampleRate;
  self->defaultReverbSend_ = options.defaultReverbSend;
  self->resetChannels();
  return self;
}

FluidSynth::~FluidSynth() {
  if (synth_) delete_fluid_synth(synth_);
  if (settings_) delete_fluid_settings(settings_);
}

void FluidSynth::render(float* interleaved, uint32_t frames) noexcept {
  fluid_synth_write_float(synth_, static_cast<int>(frames), interleaved, 0, 2, interleaved, 1, 2);
}

void FluidSynth::dispatch(uint32_t packed) noexcept {
  if (!isChannelVoiceMessage(packed)) return;
  const int status = packed & 0xFF;
  const int ch = status & 0x0F;
  const int d1 = (packed >> 8) & 0x7F;
  const int d2 = (packed >> 16) & 0x7F;
  switch (status & 0xF0) {
    case 0x80: fluid_synth_noteoff(synth_, ch, d1); break;
    case 0x90:
      if (d2 == 0) fluid_synth_noteoff(synth_, ch, d1);   // velocity 0 is a note-off
      else fluid_synth_noteon(synth_, ch, d1, d2);
      break;
    case 0xA0: fluid_synth_key_pressure(synth_, ch, d1, d2); break;
    case 0xB0: fluid_synth_cc(synth_, ch, d1, d2); break;
    case 0xC0: fluid_synth_program_change(synth_, ch, d1); break;
    case 0xD0: fluid_synth_channel_pressure(synth_, ch, d1); break;
    case 0xE0: fluid_synth_pitch_bend(synth_, ch, d1 | (d2 << 7)); break;
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
    fluid_synth_cc(synth_, ch, 91, defaultReverbSend_);
    fluid_synth_cc(synth_, ch, 93, 0);
    fluid_synth_pitch_bend(synth_, ch, 8192);
    if (ch != kDrumChannel) fluid_synth_bank_select(synth_, ch, 0);
    fluid_synth_program_change(synth_, ch, 0);
  }
}

int FluidSynth::activeVoices() const noexcept { return fluid_synth_get_active_voice_count(synth_); }

}  // namespace platform
