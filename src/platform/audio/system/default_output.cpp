// SPDX-License-Identifier: GPL-3.0-or-later
// Which output the program plays through: output_choice.h chooses anew at
// each opening (after a server went away another may answer).
#include "platform/audio/system/audio_output.h"
#include "platform/audio/system/output_choice.h"

namespace platform {

std::unique_ptr<AudioOutput> makeDefaultAudioOutput() { return makeAudioOutput(chooseAudioOutput()); }

}  // namespace platform
