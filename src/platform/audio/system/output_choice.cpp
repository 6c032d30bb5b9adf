// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/system/output_choice.h"

#include "platform/audio/system/pipewire_output.h"
#include "platform/audio/system/pulse_output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {

OutputRequest outputRequest(const char* value) {
  if (!value || !*value) return OutputRequest::Automatic;
  if (std::strcmp(value, "pipewire") == 0) return OutputRequest::PipeWire;
  if (std::strcmp(value, "pulse") == 0) return OutputRequest::Pulse;
  return OutputRequest::Unknown;
}

bool pipewireSocketMayExist() {
  const char* remote = std::getenv("PIPEWIRE_REMOTE");
  const char* name = remote && *remote ? remote : "pipewire-0";
  if (name[0] == '/') return access(name, F_OK) == 0;
  // Where libpipewire looks: PIPEWIRE_RUNTIME_DIR, else XDG_RUNTIME_DIR, else USERPROFILE.
  const char* dir = nullptr;
  for (const char* var : {"PIPEWIRE_RUNTIME_DIR", "XDG_RUNTIME_DIR", "USERPROFILE"}) {
    const char* v = std::getenv(var);
    if (v && *v) {
      dir = v;
      break;
    }
  }
  if (!dir) return remote && *remote;   // a remote of another kind: let PipeWire say
  struct stat st {};
  return ::stat((std::string(dir) + "/" + name).c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

OutputChoice chooseAudioOutput() {
  const char* value = std::getenv("PLINKORA_AUDIO_OUTPUT");
  OutputRequest request = outputRequest(value);
  if (request == OutputRequest::Unknown) {
    static std::once_flag warned;
    std::call_once(warned, [value] {
      std::fprintf(stderr, "plinkora: PLINKORA_AUDIO_OUTPUT=%s is neither pipewire nor pulse; choosing by itself\n",
                   value);
    });
    request = OutputRequest::Automatic;
  }
  OutputChoice choice;
  choice.forced = request != OutputRequest::Automatic;
  if (request == OutputRequest::Pulse) return choice;
  // No PipeWire socket where a client would look for it: nothing to ask.
  if (request == OutputRequest::Automatic && !pipewireSocketMayExist()) return choice;
  const PipeWireProbe probe = probePipeWire();
  choice.pipewire = request == OutputRequest::PipeWire || (probe.answered && probe.hasSink);
  if (choice.pipewire) choice.rate = probe.rate ? probe.rate : 48000;
  return choice;
}

uint32_t queueFramesOf(const OutputChoice& choice) {
  if (choice.pipewire)
    return std::max(PipeWireOutput::kLongest, PipeWireOutput::configFromEnvironment().forceQuantum);
  return PulseOutput::configFromEnvironment().queueFrames();
}

std::unique_ptr<AudioOutput> makeAudioOutput(const OutputChoice& choice) {
  if (choice.pipewire) return std::make_unique<PipeWireOutput>(PipeWireOutput::configFromEnvironment());
  return std::make_unique<PulseOutput>(PulseOutput::configFromEnvironment());
}

}  // namespace platform
