// SPDX-License-Identifier: GPL-3.0-or-later
// Every tone sounds from its note-on: the near-silent openings of the
// tones' samples are skipped, at 48 kHz and 44.1 kHz, without changing the
// note's peak, pitch or attack, and without touching other notes sounding on
// the same instance.  Rendered offline against the same soundfonts played
// from their samples' first frame.
#include "platform/audio/system/fluid_synth.h"
#include "sound_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

using namespace platform;
using namespace soundtest;

namespace {

constexpr float kThreshold = 1e-3f;   // -60 dBFS
constexpr double kWithinSeconds = 0.0026;

struct Family {
  std::unique_ptr<FluidSynth> trimmed, whole;   // lead-ins skipped / played
};

// One instrument of each kind per rate, for the whole program.
Family& family(uint32_t rate) {
  static std::map<uint32_t, Family> families;
  Family& f = families[rate];
  if (!f.trimmed) {
    FluidSynth::Options o;
    o.sampleRate = rate;
    std::string error;
    f.trimmed = FluidSynth::createInstrument(InstrumentFonts{}, o, &error);
    EXPECT_NE(f.trimmed, nullptr) << error;
    o.skipLeadIns = false;
    f.whole = FluidSynth::createInstrument(InstrumentFonts{}, o, &error);
    EXPECT_NE(f.whole, nullptr) << error;
  }
  return f;
}

FluidSynth::Options dryAt(uint32_t rate) {
  FluidSynth::Options o;
  o.sampleRate = rate;
  o.internalReverb = false;   // the engine's instances play dry
  return o;
}

std::vector<float> renderFor(FluidSynth& s, size_t frames) {
  std::vector<float> out(frames * 2);
  for (size_t done = 0; done < frames;) {
    const uint32_t n = uint32_t(std::min<size_t>(256, frames - done));
    s.render(out.data() + done * 2, n);
    done += n;
  }
  return out;
}

// A fresh dry sibling with `program` selected.
std::unique_ptr<FluidSynth> voiceOf(const FluidSynth& instrument, int program) {
  auto s = instrument.sibling(dryAt(instrument.sampleRate()));
  EXPECT_NE(s, nullptr);
  s->resetChannels();
  s->dispatch(programChange(program));
  return s;
}

// Both channels of one note struck at frame 0, the louder channel sample by
// sample kept (so that the onset and the steps are those of either side).
std::vector<float> strike(const FluidSynth& instrument, int program, int note, double seconds,
                          int velocity = 127) {
  auto s = voiceOf(instrument, program);
  s->dispatch(noteOn(note, velocity));
  const auto x = renderFor(*s, size_t(seconds * instrument.sampleRate()));
  std::vector<float> louder(x.size() / 2);
  for (size_t i = 0; i < louder.size(); ++i)
    louder[i] = std::fabs(x[2 * i]) >= std::fabs(x[2 * i + 1]) ? x[2 * i] : x[2 * i + 1];
  return louder;
}

size_t firstAbove(const std::vector<float>& x, float level) {
  for (size_t i = 0; i < x.size(); ++i)
    if (std::fabs(x[i]) > level) return i;
  return x.size();
}
size_t onset(const std::vector<float>& x) { return firstAbove(x, kThreshold); }

float largestStep(const std::vector<float>& x, size_t from, size_t to) {
  float step = std::fabs(x[from]);
  for (size_t i = from + 1; i < std::min(to, x.size()); ++i) step = std::max(step, std::fabs(x[i] - x[i - 1]));
  return step;
}

double dB(double ratio) { return 20.0 * std::log10(ratio); }

// The notes each tone is sent by the instrument, ends included: cells 72-84
// and frets up to 12, OPL.3 an octave above the other two.
std::vector<int> playedNotes(int program) {
  const int low = program == 116 ? 72 : 60;
  return {low, low + 5, low + 9, low + 14, low + 19, low + 24};
}

struct Onsets : ::testing::TestWithParam<uint32_t> {};

}  // namespace

TEST_P(Onsets, EveryToneSoundsFromItsNoteOnWithItsOwnPeakPitchAndAttack) {
  const uint32_t rate = GetParam();
  Family& f = family(rate);
  ASSERT_NE(f.trimmed, nullptr);
  ASSERT_NE(f.whole, nullptr);
  const size_t within = size_t(kWithinSeconds * rate);
  const size_t attack = size_t(0.001 * rate);
  int lateBefore = 0;
  for (int program : FluidSynth::kPrograms) {
    for (int note : playedNotes(program)) {
      SCOPED_TRACE("program " + std::to_string(program) + ", note " + std::to_string(note) + ", " +
                   std::to_string(rate) + " Hz");
      const auto before = strike(*f.whole, program, note, 0.6);
      const auto after = strike(*f.trimmed, program, note, 0.6);
      const size_t t0 = onset(before), t1 = onset(after);
      ASSERT_LT(t0, before.size()) << "silent";
      if (t0 > within) ++lateBefore;
      EXPECT_LE(t1, within) << "first sound at " << 1000.0 * double(t1) / rate << " ms (was "
                            << 1000.0 * double(t0) / rate << " ms)";
      EXPECT_LE(t1, t0);

      EXPECT_NEAR(dB(peak(after) / peak(before)), 0.0, 1.0) << "peak";

      const double rateD = double(rate);
      const double hz0 = pitchHz(before, size_t(0.15 * rateD), size_t(0.3 * rateD), rateD);
      const double hz1 = pitchHz(after, size_t(0.15 * rateD), size_t(0.3 * rateD), rateD);
      ASSERT_GT(hz0, 0.0);
      EXPECT_LT(std::fabs(1200.0 * std::log2(hz1 / hz0)), 5.0) << hz0 << " Hz before, " << hz1 << " after";

      // No click: the note opens below the threshold, and up to 1 ms past
      // where it reaches -40 dBFS it steps no further from sample to sample
      // than the attack played from the sample's first frame does in its
      // first few milliseconds.
      EXPECT_LT(std::fabs(after[0]), kThreshold);
      const size_t a0 = firstAbove(before, 0.01f), a1 = firstAbove(after, 0.01f);
      const float stepBefore = largestStep(before, 0, a0 + 3 * attack);
      const float stepAfter = largestStep(after, 0, a1 + attack);
      EXPECT_LE(stepAfter, stepBefore * 1.12f + 1e-4f) << "steps " << stepAfter << " vs " << stepBefore;
    }
  }
  // The samples do open late: without skipping, notes of OPL.3 (where
  // installed) and Nylon start after the limit.
  EXPECT_GE(lateBefore, 4);

  // A softer strike keeps its attack too: its lead-in is, if anything,
  // longer than the full velocity's the offsets were found at.
  for (int program : FluidSynth::kPrograms) {
    const int note = playedNotes(program)[2];
    const auto before = strike(*f.whole, program, note, 0.6, 50);
    const auto after = strike(*f.trimmed, program, note, 0.6, 50);
    EXPECT_NEAR(dB(peak(after) / peak(before)), 0.0, 1.0) << "program " << program;
    EXPECT_LE(onset(after), onset(before)) << "program " << program;
    EXPECT_LT(std::fabs(after[0]), kThreshold) << "program " << program;
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, Onsets, ::testing::Values(48000u, 44100u),
                         [](const auto& info) { return std::to_string(info.param) + "Hz"; });

// Notes sharing an instance each keep their own start: a chord, and a note
// struck while another with a different offset has only just begun, sound
// as the same notes struck on instances of their own.
TEST(OnsetsSharedInstance, NotesOnOneInstanceKeepTheirOwnStarts) {
  Family& f = family(48000);
  ASSERT_NE(f.trimmed, nullptr);
  const FluidSynth& instrument = *f.trimmed;
  for (int program : FluidSynth::kPrograms) {
    // The two played notes whose offsets differ most.
    const auto notes = playedNotes(program);
    int a = notes.front(), b = notes.front();
    for (int n = notes.front(); n <= notes.back(); ++n) {
      if (instrument.leadInFrames(program, n) < instrument.leadInFrames(program, a)) a = n;
      if (instrument.leadInFrames(program, n) > instrument.leadInFrames(program, b)) b = n;
    }
    for (const auto& [first, second] : {std::pair{a, b}, std::pair{b, a}}) {
      for (const uint32_t gap : {0u, 64u, 4800u}) {
        SCOPED_TRACE("program " + std::to_string(program) + ": " + std::to_string(first) + " then " +
                     std::to_string(second) + " after " + std::to_string(gap) + " frames");
        const size_t frames = 9600;
        auto both = voiceOf(instrument, program), one = voiceOf(instrument, program),
             other = voiceOf(instrument, program);
        both->dispatch(noteOn(first));
        one->dispatch(noteOn(first));
        auto mixed = renderFor(*both, gap);
        auto alone = renderFor(*other, gap);   // silent so far
        const auto firstAlone = renderFor(*one, frames);
        both->dispatch(noteOn(second));
        other->dispatch(noteOn(second));
        const auto rest = renderFor(*both, frames - gap), secondRest = renderFor(*other, frames - gap);
        mixed.insert(mixed.end(), rest.begin(), rest.end());
        alone.insert(alone.end(), secondRest.begin(), secondRest.end());
        float worst = 0.0f;
        for (size_t i = 0; i < mixed.size(); ++i)
          worst = std::max(worst, std::fabs(mixed[i] - (firstAlone[i] + alone[i])));
        EXPECT_LT(worst, 1e-4f);
      }
    }
  }
}
