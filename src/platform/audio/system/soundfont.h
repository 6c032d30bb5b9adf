// SPDX-License-Identifier: GPL-3.0-or-later
// Where the synthesizer's instruments come from: the General MIDI soundfonts
// that Debian and its derivatives install, and the OPL3 FM soundfont, each
// looked for in a fixed order.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The places tried, first match wins.
inline constexpr std::array<std::string_view, 7> kSoundfontSearchOrder = {
    "/usr/share/sounds/sf2/default-GM.sf2",
    "/usr/share/sounds/sf3/default-GM.sf3",
    "/usr/share/sounds/sf2/FluidR3_GM.sf2",
    "/usr/share/sounds/sf3/FluidR3Mono_GM.sf3",
    "/usr/share/sounds/sf2/TimGM6mb.sf2",
    "/usr/share/soundfonts/default.sf2",
    "/usr/share/soundfonts/FluidR3_GM.sf2",
};

// The OPL3 FM soundfont (Debian's opl3-soundfont), which gives the first
// tone its sound when installed.
inline constexpr std::array<std::string_view, 1> kOpl3SoundfontSearchOrder = {
    "/usr/share/sounds/sf2/OPL-3_FM_128M.sf2",
};

// The fixed search order as a list (what a SoundSystem uses unless told otherwise).
std::vector<std::string> defaultSoundfontSearch();
std::vector<std::string> defaultOpl3Search();

// Candidates in order that exist as readable regular files (symbolic links
// followed).  Whether a file really is a soundfont is known only once the
// synthesizer loads it, so callers try them in this order.
std::vector<std::string> existingSoundfonts(const std::vector<std::string>& searchList);

}  // namespace platform
