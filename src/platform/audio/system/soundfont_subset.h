// SPDX-License-Identifier: GPL-3.0-or-later
// A soundfont with only the presets the instrument plays.
//
// FluidSynth builds, for every preset of a soundfont it loads, every zone
// with a full set of generators, whether the preset is ever played or not:
// about 9 MB for the General MIDI soundfont and 4 MB for the OPL3 one, where
// the three tones need a few hundred kilobytes.  So the soundfont is shown
// to FluidSynth's own loader as a file whose preset tables (the "pdta" list:
// presets, instruments, zones, sample headers) hold only the chosen presets,
// the instruments they use and those instruments' samples, renumbered.
// Everything before the tables (the header, the INFO list and the sample
// data) is the file as it stands, read from the file itself, so the sample
// offsets keep their meaning and sample data is read only when a preset is
// pinned, as before.
//
// makeSubset() reads the file's tables and registers the cut-down file
// under a name of its own; loading that name through subsetLoader() reads
// it.  The file must stay as it is while the name is in use.
#pragma once

#include <string>
#include <vector>

struct _fluid_sfloader_t;
struct _fluid_hashtable_t;

namespace platform {

struct SoundfontPreset {
  int bank = 0;
  int preset = 0;
};

struct SoundfontSubset {
  std::string name;      // what to load through subsetLoader(); empty when none was made
  bool lacksPreset = false;   // the file is a soundfont but one of the presets is not in it
  std::string error;     // why no name was made
};

// Threads: any (the registry of names is locked).  Reads the soundfont at
// `path` and registers its subset with `presets`.
SoundfontSubset makeSubset(const std::string& path, const std::vector<SoundfontPreset>& presets);

// Threads: any.  A FluidSynth loader (a default soundfont loader for
// `settings`, reading through the subsets) for fluid_synth_add_sfloader().
// Every other name it reads as the plain file, as FluidSynth's own loader does.
_fluid_sfloader_t* subsetLoader(_fluid_hashtable_t* settings);

}  // namespace platform
