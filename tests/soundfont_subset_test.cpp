// SPDX-License-Identifier: GPL-3.0-or-later
// A soundfont cut down to a few presets: it sounds exactly as the whole
// file does for those presets, FluidSynth sees no other preset in it, and
// files that are not soundfonts, or lack a preset, or whose tables are
// damaged, give no subset (and no crash).
#include "platform/audio/system/soundfont.h"
#include "platform/audio/system/soundfont_subset.h"

#include <fluidsynth.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

using namespace platform;

namespace {

std::string generalMidi() {
  const auto found = existingSoundfonts(defaultSoundfontSearch());
  return found.empty() ? std::string() : found.front();
}

// A synth that loads `name` (through the subset loader when asked) and plays
// a chord on `program`: the first `frames` frames of its left channel.
struct Played {
  std::vector<float> left;
  int presets = 0;   // presets FluidSynth found in the file
  bool loaded = false;
};
Played play(const std::string& name, bool throughSubsets, int program, int frames) {
  Played out;
  fluid_set_log_function(FLUID_ERR, nullptr, nullptr);
  fluid_settings_t* settings = new_fluid_settings();
  fluid_settings_setint(settings, "synth.dynamic-sample-loading", 1);
  fluid_settings_setint(settings, "synth.reverb.active", 0);
  fluid_settings_setint(settings, "synth.chorus.active", 0);
  fluid_synth_t* synth = new_fluid_synth(settings);
  if (throughSubsets) fluid_synth_add_sfloader(synth, subsetLoader(settings));
  const int id = fluid_synth_sfload(synth, name.c_str(), 0);
  if (id != FLUID_FAILED) {
    out.loaded = true;
    fluid_sfont_t* sf = fluid_synth_get_sfont_by_id(synth, id);
    fluid_sfont_iteration_start(sf);
    while (fluid_sfont_iteration_next(sf)) ++out.presets;
    fluid_synth_program_select(synth, 0, id, 0, program);
    for (int note : {55, 62, 67, 74}) fluid_synth_noteon(synth, 0, note, 127);
    std::vector<float> l(static_cast<size_t>(frames)), r(static_cast<size_t>(frames));
    fluid_synth_write_float(synth, frames, l.data(), 0, 1, r.data(), 0, 1);
    out.left = l;
  }
  delete_fluid_synth(synth);
  delete_fluid_settings(settings);
  return out;
}

std::string scratchFile(const std::string& tag, const std::string& bytes) {
  const std::string path = ::testing::TempDir() + "subset_" + tag + "_" + std::to_string(::getpid());
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

}  // namespace

TEST(SoundfontSubset, SoundsAsTheWholeFileAndHoldsOnlyItsPresets) {
  const std::string gm = generalMidi();
  if (gm.empty()) GTEST_SKIP() << "no General MIDI soundfont installed";
  const SoundfontSubset subset = makeSubset(gm, {{0, 24}, {0, 32}});
  ASSERT_FALSE(subset.name.empty()) << subset.error;
  EXPECT_FALSE(subset.lacksPreset);
  // The same preset list gives the same name: nothing is read twice.
  EXPECT_EQ(makeSubset(gm, {{0, 24}, {0, 32}}).name, subset.name);

  for (int program : {24, 32}) {
    const Played whole = play(gm, false, program, 22050);
    const Played cut = play(subset.name, true, program, 22050);
    ASSERT_TRUE(whole.loaded);
    ASSERT_TRUE(cut.loaded);
    EXPECT_GT(whole.presets, 100);
    EXPECT_EQ(cut.presets, 2);
    float peak = 0.0f;
    for (float v : whole.left) peak = std::max(peak, std::abs(v));
    EXPECT_GT(peak, 0.01f) << "program " << program << " sounds";
    EXPECT_EQ(cut.left, whole.left) << "program " << program;
  }
  // The subset loader reads any other file as it is.
  EXPECT_TRUE(play(gm, true, 24, 64).loaded);
}

TEST(SoundfontSubset, AMissingPresetIsSaid) {
  const std::string gm = generalMidi();
  if (gm.empty()) GTEST_SKIP() << "no General MIDI soundfont installed";
  const SoundfontSubset subset = makeSubset(gm, {{0, 24}, {5, 127}});
  EXPECT_TRUE(subset.name.empty());
  EXPECT_TRUE(subset.lacksPreset);
  EXPECT_NE(subset.error.find("5:127"), std::string::npos) << subset.error;
}

TEST(SoundfontSubset, FilesThatAreNoSoundfontGiveNoSubset) {
  EXPECT_TRUE(makeSubset("/nonexistent/font.sf2", {{0, 0}}).name.empty());
  const std::string text = scratchFile("text", "not a soundfont at all, only words");
  const SoundfontSubset none = makeSubset(text, {{0, 0}});
  EXPECT_TRUE(none.name.empty());
  EXPECT_FALSE(none.lacksPreset);
  EXPECT_FALSE(none.error.empty());
  std::remove(text.c_str());

  // A file of the real soundfont's preset tables alone is cut down; with
  // its records' indices pointing past the tables' ends, or cut short, it
  // is refused, and never read out of bounds.
  const std::string gm = generalMidi();
  if (gm.empty()) return;
  std::ifstream in(gm, std::ios::binary);
  auto le32 = [](const char* p) {
    return uint32_t(uint8_t(p[0])) | uint32_t(uint8_t(p[1])) << 8 | uint32_t(uint8_t(p[2])) << 16 |
           uint32_t(uint8_t(p[3])) << 24;
  };
  std::string pdta;
  for (std::streamoff at = 12;;) {
    char chunk[12];
    in.seekg(at);
    ASSERT_TRUE(in.read(chunk, 12)) << "no preset tables in " << gm;
    const uint32_t size = le32(chunk + 4);
    if (std::string(chunk + 8, 4) == "pdta") {
      pdta.resize(8 + size);
      in.seekg(at);
      ASSERT_TRUE(in.read(pdta.data(), std::streamsize(pdta.size())));
      break;
    }
    at += 8 + size + (size & 1);
  }
  auto soundfont = [&](const std::string& tables) {
    std::string riff = "RIFF    sfbk" + tables;
    const uint32_t size = uint32_t(riff.size() - 8);
    for (int k = 0; k < 4; ++k) riff[4 + k] = char((size >> (8 * k)) & 0xFF);
    return riff;
  };
  const std::string tablesOnly = scratchFile("tables", soundfont(pdta));
  EXPECT_FALSE(makeSubset(tablesOnly, {{0, 24}}).name.empty());
  std::remove(tablesOnly.c_str());

  const size_t phdr = pdta.find("phdr");
  ASSERT_NE(phdr, std::string::npos);
  std::string damaged = pdta;
  const uint32_t size = le32(pdta.data() + phdr + 4);
  for (size_t rec = phdr + 8; rec + 38 <= phdr + 8 + size; rec += 38)
    damaged[rec + 24] = damaged[rec + 25] = '\xFF';
  const std::string bad = scratchFile("indices", soundfont(damaged));
  EXPECT_TRUE(makeSubset(bad, {{0, 24}}).name.empty());
  std::remove(bad.c_str());
  const std::string cut = scratchFile("short", soundfont(pdta.substr(0, phdr + 100)));
  EXPECT_TRUE(makeSubset(cut, {{0, 24}}).name.empty());
  std::remove(cut.c_str());
}
