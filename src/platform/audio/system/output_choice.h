// SPDX-License-Identifier: GPL-3.0-or-later
// Which sound server the program plays through.  A PipeWire server that
// answers and has an audio sink gets the native PipeWire output
// (pipewire_output.h); otherwise PulseAudio does, as it always has (a real
// PulseAudio keeps its queued, rewritten path; pulse_output.h).
// PLINKORA_AUDIO_OUTPUT=pipewire or =pulse forces one; any other value is
// warned about once and the choice is made as without it.
//
// Threads: the UI thread (the sound system, before and at each opening).
#pragma once

#include "platform/audio/system/audio_output.h"
#include "platform/audio/system/pipewire_settings.h"

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

enum class OutputRequest { Automatic, PipeWire, Pulse, Unknown };
// What PLINKORA_AUDIO_OUTPUT's value (null when unset) asks for.
OutputRequest outputRequest(const char* value);

struct OutputChoice {
  bool pipewire = false;
  bool forced = false;
  uint32_t rate = 44100;   // the engine's rate: the graph's under PipeWire
};
// Whether a PipeWire socket is where libpipewire would connect
// (PIPEWIRE_REMOTE in PIPEWIRE_RUNTIME_DIR or XDG_RUNTIME_DIR): without one
// no PipeWire server can answer, and it is not asked.
bool pipewireSocketMayExist();
// Reads PLINKORA_AUDIO_OUTPUT and asks PipeWire (when its socket is there).
OutputChoice chooseAudioOutput();
std::unique_ptr<AudioOutput> makeAudioOutput(const OutputChoice& choice);
// The most frames the chosen output keeps replaceable at once: PulseAudio's
// queue (PLINKORA_AUDIO_PERIOD x _PERIODS), or under PipeWire, which keeps
// none, the longest period the stream asks for (or the forced quantum).
uint32_t queueFramesOf(const OutputChoice& choice);

}  // namespace platform
