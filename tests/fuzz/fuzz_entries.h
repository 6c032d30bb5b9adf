// SPDX-License-Identifier: GPL-3.0-or-later
// The fuzzing entry points, shared by the libFuzzer programs (clang build,
// scripts/fuzz.sh) and by the corpus replay test of the normal build.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzzing {

// Runs the input as MCI command strings, one a line, on a fresh wave-audio
// device whose take files go to a private scratch folder (also the current
// folder, so relative names land there).  Slashes in the input are replaced
// by '_', so no command can name a file outside the scratch folder.
int MciCommands(const uint8_t* data, std::size_t size);

// Loads the input as a sound file, the way the wave channel loads the start
// and loop sounds, and plays the start of it into a mix buffer.
int WaveFile(const uint8_t* data, std::size_t size);

}  // namespace fuzzing
