// SPDX-License-Identifier: GPL-3.0-or-later
// A synth pool that starts small and grows as the playing needs it: it
// plays a performance exactly as a pool made whole at once does, stealing
// no note while instances are still being made (with the time between
// strikes a player leaves); it stays as it is when no more instances can
// be made; and a sound system can go while its pool is growing.
#include "platform/audio/calls/sound_system.h"
#include "sound_test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace platform;
using namespace soundtest;

namespace {

bool haveSoundfont() { return !existingSoundfonts(defaultSoundfontSearch()).empty(); }

SoundSystemOptions pool(int most, int initial, int early, int spare) {
  SoundSystemOptions o = SoundSystemOptions::offline();
  o.poolSize = most;
  o.initialInstances = initial;
  o.earlyInstances = early;
  o.spareInstances = spare;
  o.room = false;
  return o;
}

// Waits (at most 5 s) until the pool's helper has made all it was asked for.
void settle(const SoundSystem& sound) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!sound.poolSettled() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Strums of four notes, a tenth of a second apart, every note left ringing;
// after each strum's first block the player's pace leaves the helper time.
// (Four notes at once from a pool with six silent instances: none is
// stolen while more are made.)
std::vector<float> perform(SoundSystem& sound, int strums, int* mostSounding) {
  HMIDIOUT h = 0;
  EXPECT_EQ(sound.midiOutOpen(&h, MIDI_MAPPER), MMSYSERR_NOERROR);
  sound.midiOutShortMsg(h, programChange(24));
  // The splash's time: the first instances made at once have joined.
  settle(sound);
  std::vector<float> out = render(sound.engine(), 256);
  const size_t gap = size_t(kRate / 10);
  for (int s = 0; s < strums; ++s) {
    for (int k = 0; k < 4; ++k) sound.midiOutShortMsg(h, noteOn(52 + 5 * k + s % 7));
    auto first = render(sound.engine(), 256);
    settle(sound);
    auto rest = render(sound.engine(), gap - 256);
    out.insert(out.end(), first.begin(), first.end());
    out.insert(out.end(), rest.begin(), rest.end());
    *mostSounding = std::max(*mostSounding, sound.engine().instancesSounding());
  }
  auto tail = render(sound.engine(), gap * 4);
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

}  // namespace

TEST(PoolGrowth, AGrowingPoolPlaysEveryNoteAsAWholePoolDoes) {
  if (!haveSoundfont()) GTEST_SKIP() << "no General MIDI soundfont installed";
  SoundSystem whole(pool(24, 24, 0, 6));
  SoundSystem growing(pool(24, 2, 4, 6));   // as the program starts it
  int wholeMost = 0, growingMost = 0;
  const auto a = perform(whole, 5, &wholeMost);
  const auto b = perform(growing, 5, &growingMost);

  // Twenty notes ring at once: the growing pool made what they needed.
  EXPECT_GE(growingMost, 16);
  EXPECT_EQ(growingMost, wholeMost);
  EXPECT_EQ(growing.engine().synthSteals(), 0u);
  EXPECT_EQ(whole.engine().synthSteals(), 0u);
  EXPECT_GE(growing.poolInstances(), size_t(growingMost));
  EXPECT_LE(growing.poolInstances(), 24u);
  ASSERT_EQ(a.size(), b.size());
  float diff = 0.0f, loud = 0.0f;
  for (size_t i = 0; i < a.size(); ++i) {
    diff = std::max(diff, std::fabs(a[i] - b[i]));
    loud = std::max(loud, std::fabs(a[i]));
  }
  EXPECT_GT(loud, 0.05f);
  // The same notes on the same frames; only the order of the sum differs.
  EXPECT_LT(diff, 1e-5f);
}

TEST(PoolGrowth, AnIdlePoolKeepsWhatItStartedWith) {
  if (!haveSoundfont()) GTEST_SKIP() << "no General MIDI soundfont installed";
  SoundSystem sound(pool(32, 2, 4, 6));
  HMIDIOUT h = 0;
  ASSERT_EQ(sound.midiOutOpen(&h, MIDI_MAPPER), MMSYSERR_NOERROR);
  sound.midiOutShortMsg(h, programChange(116));
  settle(sound);
  render(sound.engine(), 4096);
  settle(sound);
  EXPECT_EQ(sound.poolInstances(), 6u);   // 2 at first and 4 at once, no more without a note
  // One strike leaves five silent instances, fewer than six: four more.
  sound.midiOutShortMsg(h, noteOn(72));
  render(sound.engine(), 256);
  settle(sound);
  EXPECT_EQ(sound.poolInstances(), 10u);
}

TEST(PoolGrowth, WhenNoMoreInstancesCanBeMadeNotesTakeOverTheQuietest) {
  if (!haveSoundfont()) GTEST_SKIP() << "no General MIDI soundfont installed";
  SoundSystemOptions o = pool(16, 2, 0, 6);
  int made = 0;
  o.makeSibling = [&made](const FluidSynth& first, const FluidSynth::Options& options) {
    return ++made <= 3 ? first.sibling(options) : nullptr;   // FluidSynth gives up after 3
  };
  SoundSystem sound(o);
  int most = 0;
  const auto out = perform(sound, 3, &most);
  EXPECT_EQ(sound.poolInstances(), 4u);   // the first, one sibling at once, two from the helper
  EXPECT_EQ(most, 4);
  EXPECT_GT(sound.engine().synthSteals(), 0u);
  EXPECT_GT(peak(out), 0.05f);
}

TEST(PoolGrowth, ASoundSystemGoesWhileItsPoolGrows) {
  if (!haveSoundfont()) GTEST_SKIP() << "no General MIDI soundfont installed";
  for (int round = 0; round < 3; ++round) {
    SoundSystem sound(pool(32, 2, 8, 1));
    HMIDIOUT h = 0;
    ASSERT_EQ(sound.midiOutOpen(&h, MIDI_MAPPER), MMSYSERR_NOERROR);
    sound.midiOutShortMsg(h, noteOn(60));
    render(sound.engine(), 512);
    // Destroyed at once: the helper may be in the middle of its batch.
  }
}
