// SPDX-License-Identifier: GPL-3.0-or-later
// The instrument's tones through the embedded synthesizer, rendered offline:
// the pitch every tone gives a struck cell, where each program sounds from
// with and without the OPL3 soundfont, programs the instrument does not use,
// sibling instances, and the effect sends.
#include "platform/audio/system/fluid_synth.h"
#include "sound_test_util.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

using namespace platform;
using namespace soundtest;

namespace {


bool opl3Installed() { return !existingSoundfonts(defaultOpl3Search()).empty(); }

std::vector<float> renderSynth(FluidSynth& s, double seconds, uint32_t block = 256) {
  std::vector<float> out(size_t(seconds * kRate) * 2);
  for (size_t done = 0; done < out.size() / 2;) {
    const uint32_t n = uint32_t(std::min<size_t>(block, out.size() / 2 - done));
    s.render(out.data() + done * 2, n);
    done += n;
  }
  return out;
}

// One note struck on a fresh sibling that has `program` selected: the left
// channel of its first `seconds`.
std::vector<float> strike(const FluidSynth& family, int program, int note, double seconds = 0.6,
                          FluidSynth::Options options = {}) {
  auto s = family.sibling(options);
  EXPECT_NE(s, nullptr);
  if (!s) return {};
  s->resetChannels();
  s->dispatch(programChange(program));
  s->dispatch(noteOn(note));
  return channel(renderSynth(*s, seconds), 0);
}

double midiHz(double note) { return 440.0 * std::pow(2.0, (note - 69.0) / 12.0); }

struct Instrument : ::testing::Test {
  static inline std::unique_ptr<FluidSynth> instrument;
  static void SetUpTestSuite() {
    std::string error;
    instrument = FluidSynth::createInstrument(InstrumentFonts{}, FluidSynth::Options{}, &error);
    ASSERT_NE(instrument, nullptr) << error;
  }
  static void TearDownTestSuite() { instrument.reset(); }
};

}  // namespace

// A struck cell's note (the program's note number before its octave rule)
// sounds its pitch on all three tones: 116 is sent an octave higher than 24
// and 32, and its FM patch sounds an octave below the note it is sent, so
// all three give the same pitch.
TEST_F(Instrument, EveryToneSoundsTheStruckCellsPitch) {
  if (!opl3Installed()) GTEST_SKIP() << "the OPL3 FM soundfont is not installed";
  ASSERT_FALSE(instrument->opl3Path().empty());
  for (int program : FluidSynth::kPrograms) {
    for (int cell : {72, 76, 79, 81, 84, 89, 96}) {
      const int sent = cell - (program == 116 ? 0 : 12);
      const auto x = strike(*instrument, program, sent);
      ASSERT_GT(peak(x), 0.02f) << "program " << program << " note " << sent << " is silent";
      const double hz = pitchHz(x, 6615, 13230);
      ASSERT_GT(hz, 0.0) << "program " << program << " note " << sent << " has no pitch";
      const double cents = 1200.0 * std::log2(hz / midiHz(cell - 12));
      EXPECT_LT(std::fabs(cents), 35.0)
          << "program " << program << ", cell note " << cell << " (sent " << sent << "): " << hz
          << " Hz, " << cents << " cents off " << midiHz(cell - 12) << " Hz";
    }
  }
  // The octave rule by example: the cell A (note 81) is sent as 81 to OPL.3,
  // an octave below the note it is sent: 440 Hz, and as 69 to Nylon: 440 Hz.
  EXPECT_NEAR(pitchHz(strike(*instrument, 116, 69), 6615, 13230), 220.0, 2.2);
  EXPECT_NEAR(pitchHz(strike(*instrument, 116, 81), 6615, 13230), 440.0, 4.4);
  EXPECT_NEAR(pitchHz(strike(*instrument, 24, 69), 6615, 13230), 440.0, 4.4);
}

TEST_F(Instrument, ProgramsSoundFromTheirSoundfonts) {
  const FluidSynth::Tone nylon = instrument->toneOf(24), nylonB = instrument->toneOf(32);
  EXPECT_EQ(nylon.font, 0);
  EXPECT_EQ(nylon.preset, 24);
  EXPECT_EQ(nylonB.font, 0);
  EXPECT_EQ(nylonB.preset, 32);
  if (!opl3Installed()) GTEST_SKIP() << "the OPL3 FM soundfont is not installed";
  EXPECT_EQ(instrument->toneOf(116).font, 1);
  EXPECT_EQ(instrument->toneOf(116).preset, 116);

  // The same General MIDI soundfont without the OPL3 one: Nylon is the
  // very same sound, OPL.3 is not.
  std::string error;
  auto gmOnly = FluidSynth::create(instrument->soundfontPath(), FluidSynth::Options{}, &error);
  ASSERT_NE(gmOnly, nullptr) << error;
  EXPECT_TRUE(gmOnly->opl3Path().empty());
  EXPECT_EQ(gmOnly->toneOf(116).font, 0);
  EXPECT_EQ(strike(*gmOnly, 24, 69), strike(*instrument, 24, 69));
  const auto fm = spectrum(strike(*instrument, 116, 81), 2205, 8192);
  const auto gm = spectrum(strike(*gmOnly, 116, 81), 2205, 8192);
  EXPECT_GT(spectralDistance(fm, gm), 0.5);
}

TEST(InstrumentFontsMissing, AMissingOpl3SoundfontMeansEveryToneFromGeneralMidiAndOneLine) {
  testing_support::ScratchDir dir;
  std::ofstream(dir.path + "broken.sf2") << "RIFF....not a soundfont";
  InstrumentFonts fonts;
  fonts.opl3 = {dir.path + "missing.sf2", dir.path + "broken.sf2"};
  ::testing::internal::CaptureStderr();
  std::string error;
  auto first = FluidSynth::createInstrument(fonts, FluidSynth::Options{}, &error);
  auto second = FluidSynth::createInstrument(fonts, FluidSynth::Options{}, &error);
  const std::string said = ::testing::internal::GetCapturedStderr();
  ASSERT_NE(first, nullptr) << error;
  ASSERT_NE(second, nullptr) << error;
  EXPECT_TRUE(first->opl3Path().empty());
  for (int program : FluidSynth::kPrograms) EXPECT_EQ(first->toneOf(program).font, 0) << program;

  // FluidSynth's own complaint about the broken file may be there too; ours
  // comes once, however many instruments are made.
  size_t ours = 0;
  for (size_t at = said.find("plinkora: "); at != std::string::npos; at = said.find("plinkora: ", at + 1))
    ++ours;
  EXPECT_EQ(ours, 1u) << said;
  EXPECT_NE(said.find("missing.sf2"), std::string::npos) << said;
  EXPECT_NE(said.find("opl3-soundfont"), std::string::npos) << said;

  // Still the instrument plays its tones, all from the General MIDI soundfont.
  const auto x = strike(*first, 24, 69);
  EXPECT_NEAR(pitchHz(x, 6615, 13230), 440.0, 4.4);
}

TEST(InstrumentFontsMissing, NoUsableGeneralMidiSoundfontIsAnError) {
  testing_support::ScratchDir dir;
  std::ofstream(dir.path + "fake.sf2") << "not a soundfont";
  InstrumentFonts fonts;
  fonts.generalMidi = {dir.path + "missing.sf2", dir.path + "fake.sf2"};
  std::string error;
  EXPECT_EQ(FluidSynth::createInstrument(fonts, FluidSynth::Options{}, &error), nullptr);
  EXPECT_FALSE(error.empty());
  fonts.generalMidi.clear();
  error.clear();
  EXPECT_EQ(FluidSynth::createInstrument(fonts, FluidSynth::Options{}, &error), nullptr);
  EXPECT_FALSE(error.empty());
}

// No message selects a preset outside the map: other programs, the state
// after a reset and bank selects all end on a pinned preset, sample for
// sample the sound of the program they stand for.
TEST_F(Instrument, ProgramsOutsideTheMapPlayTheFallbackTone) {
  const auto fallback = strike(*instrument, FluidSynth::kFallbackProgram, 64);
  ASSERT_GT(peak(fallback), 0.02f);
  for (int program : {0, 1, 57, 115, 117, 127}) {
    EXPECT_EQ(instrument->toneOf(program).preset, instrument->toneOf(FluidSynth::kFallbackProgram).preset);
    EXPECT_EQ(strike(*instrument, program, 64), fallback) << "program " << program;
  }

  auto s = instrument->sibling({});
  s->resetChannels();   // no program change: the fallback
  s->dispatch(noteOn(64));
  EXPECT_EQ(channel(renderSynth(*s, 0.6), 0), fallback);

  // A bank select does not move a program off its preset.
  const auto nylon = strike(*instrument, 24, 64);
  s = instrument->sibling({});
  s->resetChannels();
  s->dispatch(controller(0, 1));
  s->dispatch(controller(32, 0));
  s->dispatch(programChange(24));
  s->dispatch(noteOn(64));
  EXPECT_EQ(channel(renderSynth(*s, 0.6), 0), nylon);

  // A fresh sibling has no preset anywhere until a reset or program change.
  s = instrument->sibling({});
  s->dispatch(noteOn(64));
  EXPECT_EQ(s->activeVoices(), 0);
  EXPECT_LT(peak(renderSynth(*s, 0.2)), 1e-6f);   // the idle room hums far below hearing
  // unsetPrograms() brings that state back; notes already sounding go on.
  s->resetChannels();
  s->dispatch(noteOn(64));
  renderSynth(*s, 0.05);
  s->unsetPrograms();
  EXPECT_GT(s->activeVoices(), 0);
  s->silence();
  renderSynth(*s, 0.05);
  s->dispatch(noteOn(64));
  EXPECT_EQ(s->activeVoices(), 0);
}

TEST_F(Instrument, SiblingsPlayOnTheirOwnAndOutliveEachOther) {
  auto a = instrument->sibling({});
  auto b = a->sibling({});   // a sibling's sibling is one of the family too
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->soundfontPath(), instrument->soundfontPath());
  EXPECT_EQ(b->opl3Path(), instrument->opl3Path());
  FluidSynth::Options other;
  other.sampleRate = 48000;
  std::string error;
  EXPECT_EQ(instrument->sibling(other, &error), nullptr);
  EXPECT_FALSE(error.empty());

  a->resetChannels();
  b->resetChannels();
  a->dispatch(programChange(116));
  a->dispatch(noteOn(81));
  // b hears nothing of a's note, and keeps its own program.
  EXPECT_LT(peak(renderSynth(*b, 0.3)), 1e-6f);
  EXPECT_EQ(b->activeVoices(), 0);
  EXPECT_GT(a->activeVoices(), 0);
  b->dispatch(programChange(24));
  b->dispatch(noteOn(69));
  auto bx = channel(renderSynth(*b, 0.6), 0);
  EXPECT_NEAR(pitchHz(bx, 6615, 13230), 440.0, 4.4);

  // A family member made first, the instrument itself included, may go
  // first: the others keep their soundfonts and pinned samples.
  auto instrumentCopy = FluidSynth::createInstrument(InstrumentFonts{}, FluidSynth::Options{}, &error);
  ASSERT_NE(instrumentCopy, nullptr) << error;
  auto c = instrumentCopy->sibling({});
  c->resetChannels();
  c->dispatch(programChange(32));
  c->dispatch(noteOn(60));
  renderSynth(*c, 0.1);
  instrumentCopy.reset();
  auto d = c->sibling({});
  const auto cx = channel(renderSynth(*c, 0.5), 0);
  EXPECT_NEAR(pitchHz(cx, 4410, 13230), midiHz(60), midiHz(60) * 0.02);
  c.reset();
  d->resetChannels();
  d->dispatch(programChange(116));
  d->dispatch(noteOn(81));
  const auto dx = channel(renderSynth(*d, 0.6), 0);
  if (opl3Installed()) EXPECT_NEAR(pitchHz(dx, 6615, 13230), 440.0, 4.4);
  else EXPECT_GT(peak(dx), 0.02f);
}

TEST_F(Instrument, EffectSendsCarryTheRoomOutsideTheInstance) {
  FluidSynth::Options dryOptions;
  dryOptions.internalReverb = false;
  dryOptions.internalChorus = false;
  FluidSynth::Options sendOptions = dryOptions;
  sendOptions.effectSends = true;
  auto dry = instrument->sibling(dryOptions);
  auto sends = instrument->sibling(sendOptions);
  for (auto* s : {dry.get(), sends.get()}) {
    s->resetChannels();
    s->dispatch(controller(91, 127));
    s->dispatch(controller(93, 100));
    s->dispatch(programChange(24));
    s->dispatch(noteOn(69));
  }
  const size_t frames = size_t(0.5 * kRate);
  const auto plain = renderSynth(*dry, 0.5, 300);
  std::vector<float> out(frames * 2), reverb(frames), chorus(frames);
  for (size_t done = 0; done < frames;) {
    const uint32_t n = uint32_t(std::min<size_t>(1500, frames - done));   // beyond one internal chunk
    sends->renderWithSends(out.data() + done * 2, reverb.data() + done, chorus.data() + done, n);
    done += n;
  }
  // The dry sound is the instance without effects, sample for sample.
  EXPECT_EQ(out, plain);
  // The sends follow the dry sound (mono), scaled by the channel's levels.
  double dot = 0, sd = 0, sr = 0;
  for (size_t i = 0; i < frames; ++i) {
    const double m = double(out[2 * i]) + out[2 * i + 1];
    dot += m * reverb[i];
    sd += m * m;
    sr += double(reverb[i]) * reverb[i];
  }
  ASSERT_GT(sr, 0.0);
  EXPECT_GT(dot / std::sqrt(sd * sr), 0.9);
  EXPECT_GT(peak(chorus), 1e-3f);

  // The channel's reverb level (CC 91) sets the send; the dry sound stays.
  auto less = instrument->sibling(sendOptions);
  less->resetChannels();
  less->dispatch(controller(91, 0));
  less->dispatch(controller(93, 100));
  less->dispatch(programChange(24));
  less->dispatch(noteOn(69));
  std::vector<float> q(frames * 2), qr(frames), qc(frames);
  less->renderWithSends(q.data(), qr.data(), qc.data(), uint32_t(frames));
  EXPECT_EQ(q, plain);
  EXPECT_GT(rms(reverb, 0, frames), 1.5 * rms(qr, 0, frames));

  // Without effectSends the sends are silence and the sound is render()'s.
  auto room = instrument->sibling({});
  auto room2 = instrument->sibling({});
  for (auto* s : {room.get(), room2.get()}) {
    s->resetChannels();
    s->dispatch(programChange(24));
    s->dispatch(noteOn(69));
  }
  std::vector<float> r1(4410 * 2), rr(4410, 1.0f), rc(4410, 1.0f);
  room->renderWithSends(r1.data(), rr.data(), rc.data(), 4410);
  EXPECT_EQ(r1, renderSynth(*room2, 0.1));
  EXPECT_EQ(peak(rr), 0.0f);
  EXPECT_EQ(peak(rc), 0.0f);
}
