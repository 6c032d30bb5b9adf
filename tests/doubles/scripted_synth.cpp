// SPDX-License-Identifier: GPL-3.0-or-later
#include "doubles/scripted_synth.h"

#include "platform/audio/audio_thread/midi_message.h"

namespace platform {

void ScriptedSynth::render(float* out, uint32_t frames) noexcept {
  for (uint32_t i = 0; i < frames; ++i) {
    const float v = left_ > 0 ? kLevel : 0.0f;
    out[i * 2] = out[i * 2 + 1] = v;
    if (left_ > 0) --left_;
  }
}

void ScriptedSynth::dispatch(uint32_t packed) noexcept {
  const MidiMessage m(packed);
  if (m.isNoteOn()) {
    key_ = m.data1();
    left_ = base_ + uint32_t(key_) * perKey_;
  } else if (m.isNoteOff()) {
    if (m.data1() == key_) cut();
  } else if (m.kind() == MidiMessage::Program) {
    program_ = m.data1();
  }
}

}  // namespace platform
