// Which output the program plays through.
#include "platform/audio/system/audio_output.h"
#include "platform/audio/system/pulse_output.h"

namespace platform {

std::unique_ptr<AudioOutput> makeDefaultAudioOutput() {
  return std::make_unique<PulseOutput>(PulseOutput::configFromEnvironment());
}

}  // namespace platform
