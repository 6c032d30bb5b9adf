// SPDX-License-Identifier: GPL-3.0-or-later
// The engine behind a deep queue, through a simulated sound server: every
// change is heard from just past where the server reads, a late change is
// played late but whole, a take is sample for sample what the server
// played, and a full pool gives up its quietest instance.
#include "mci_test_util.h"
#include "doubles/simulated_output.h"
#include "platform/audio/calls/sound_system.h"
#include "platform/waveaudio/mci_device.h"
#include "sound_test_util.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace platform;
using namespace soundtest;

namespace {

bool haveSoundfont() { return !existingSoundfonts(defaultSoundfontSearch()).empty(); }

// A sound system whose output is a simulated server.
struct Rig {
  SimulatedOutput* server = nullptr;
  std::unique_ptr<SoundSystem> sound;
  HMIDIOUT h = 0;

  explicit Rig(SimulatedOutput::Config config, int poolSize = 6, bool reverb = false) {
    SoundSystemOptions o;
    o.poolSize = poolSize;
    o.room = reverb;
    o.makeOutput = [this, config] {
      auto out = std::make_unique<SimulatedOutput>(config);
      server = out.get();
      return out;
    };
    sound = std::make_unique<SoundSystem>(o);
  }
  AudioEngine& engine() { return sound->engine(); }
  bool open() { return sound->midiOutOpen(&h, MIDI_MAPPER) == MMSYSERR_NOERROR; }
  void send(uint32_t msg) { ASSERT_EQ(sound->midiOutShortMsg(h, msg), MMSYSERR_NOERROR); }
  // As a tone change does it: close, open, the new program first.
  void toneChange(int program) {
    ASSERT_EQ(sound->midiOutClose(h), MMSYSERR_NOERROR);
    ASSERT_EQ(sound->midiOutOpen(&h, MIDI_MAPPER), MMSYSERR_NOERROR);
    send(programChange(program));
  }
  // Where a change handed over now will be heard: the audio thread wakes at
  // once and writes it this far into the server's stream.
  uint64_t changePoint(const SimulatedOutput::Config& c) const { return server->taken() + c.guardFrames; }
  std::vector<float> played() const { return server->played(); }
};

// The same note rendered offline on a fresh synthesizer from frame 0, with
// the room off in these comparisons (room_test.cpp hears the room behind a
// server).
// Largest difference between a[aFrom..] and b[bFrom..] over `frames` frames.
float maxDiff(const std::vector<float>& a, size_t aFrom, const std::vector<float>& b, size_t bFrom,
              size_t frames) {
  float d = 0.0f;
  for (size_t i = 0; i < frames * 2; ++i) d = std::max(d, std::fabs(a[aFrom * 2 + i] - b[bFrom * 2 + i]));
  return d;
}

struct ServerKind {
  const char* name;
  SimulatedOutput::Config config;
};

// A sink that rewinds (PulseAudio): changes 2 ms past the play position.
// A graph that pulls 1024-frame quanta it cannot give back (PipeWire in a
// virtual machine): changes a quantum past what it has pulled.
const ServerKind kServers[] = {
    {"Rewinding", {2048, 512, 88, 1}},
    {"Quantum", {4096, 1024, 1024 + 64, 1024}},
};

class Queue : public ::testing::TestWithParam<ServerKind> {
protected:
  void SetUp() override {
    if (!haveSoundfont()) GTEST_SKIP() << "no General MIDI soundfont installed";
  }
  const SimulatedOutput::Config& config() const { return GetParam().config; }
};

}  // namespace

// ---- strikes ----

TEST_P(Queue, AStrikeIsHeardFromJustPastTheServerPositionExactlyOnce) {
  const auto ref = offlineNote(24, 69, 40000);
  const size_t onset = firstSound(ref);
  ASSERT_LT(onset, 2000u);

  Rig rig(config());
  ASSERT_TRUE(rig.open());
  rig.send(programChange(24));
  rig.server->play(5000);
  const uint64_t at = rig.changePoint(config());
  rig.send(noteOn(69));
  rig.server->service();   // the wake-up
  rig.server->play(config().queueFrames + 40000);

  const auto out = rig.played();
  EXPECT_EQ(firstSound(out), at + onset) << "the note was queued behind " << rig.server->queuedEnd() - at;
  // Exactly the note, once: nothing added, nothing cut.
  EXPECT_EQ(maxDiff(out, at, ref, 0, 39000), 0.0f);
  EXPECT_EQ(rig.server->refusedFrames(), 0u);
  EXPECT_EQ(rig.server->underruns(), 0u);
  EXPECT_GT(rig.engine().framesRewritten(), 0u);
}

TEST_P(Queue, AStrikeTheAudioThreadTakesLateIsHeardLateButWhole) {
  const auto ref = offlineNote(24, 69, 40000);
  const size_t onset = firstSound(ref);

  Rig rig(config());
  ASSERT_TRUE(rig.open());
  rig.send(programChange(24));
  rig.server->play(5000);
  rig.send(noteOn(69));
  // The audio thread is held up while the server plays on.
  rig.server->play(700, false);
  const uint64_t at = rig.changePoint(config());
  rig.server->service();
  rig.server->play(config().queueFrames + 40000);

  const auto out = rig.played();
  EXPECT_EQ(firstSound(out), at + onset);
  EXPECT_EQ(maxDiff(out, at, ref, 0, 39000), 0.0f);
  EXPECT_EQ(rig.server->refusedFrames(), 0u);
}

TEST_P(Queue, AStallThatDrainsTheQueueLosesNoStrike) {
  const auto ref = offlineNote(24, 72, 30000);
  const size_t onset = firstSound(ref);

  Rig rig(config());
  ASSERT_TRUE(rig.open());
  rig.send(programChange(24));
  rig.server->play(3000);
  rig.send(noteOn(72));
  rig.server->play(config().queueFrames * 2, false);   // longer than the queue: the server runs dry
  EXPECT_GE(rig.server->underruns(), 1u);
  const uint64_t at = rig.changePoint(config());
  rig.server->service();
  rig.server->play(config().queueFrames + 30000);

  const auto out = rig.played();
  EXPECT_EQ(firstSound(out), at + onset);
  EXPECT_EQ(maxDiff(out, at, ref, 0, 29000), 0.0f);
  EXPECT_EQ(rig.server->refusedFrames(), 0u);
}

// ---- the wave channel ----

TEST_P(Queue, TheWaveChannelStartsAndStopsAtTheEarlyPoint) {
  testing_support::ScratchDir dir;
  const size_t n = 700;
  std::vector<float> loop(n * 2), once(3000 * 2);
  for (size_t i = 0; i < loop.size(); ++i) loop[i] = 0.4f * float(std::sin(0.05 * double(i)));
  for (size_t i = 0; i < once.size(); ++i) once[i] = 0.3f * float(std::cos(0.021 * double(i)));
  ASSERT_TRUE(writeFloatWav(dir.path + "loop.wav", loop, 2, 44100));
  ASSERT_TRUE(writeFloatWav(dir.path + "once.wav", once, 2, 44100));

  Rig rig(config());
  auto& sound = *rig.sound;
  ASSERT_TRUE(sound.ensureOutput());
  rig.server->play(4000);

  const uint64_t start = rig.changePoint(config());
  ASSERT_EQ(sound.sndPlaySound((dir.path + "loop.wav").c_str(), SND_ASYNC | SND_LOOP), 1);
  rig.server->service();
  rig.server->play(9000);
  const uint64_t stop = rig.changePoint(config());
  ASSERT_EQ(sound.sndPlaySound(nullptr, SND_NODEFAULT), 1);
  rig.server->service();
  rig.server->play(7000);
  // A sound played once that a second one replaces before its end.
  const uint64_t first = rig.changePoint(config());
  ASSERT_EQ(sound.sndPlaySound((dir.path + "once.wav").c_str(), SND_ASYNC), 1);
  rig.server->service();
  rig.server->play(1000);
  const uint64_t second = rig.changePoint(config());
  ASSERT_EQ(sound.sndPlaySound((dir.path + "loop.wav").c_str(), SND_ASYNC | SND_LOOP), 1);
  rig.server->service();
  rig.server->play(config().queueFrames + 3000);

  const auto out = rig.played();
  ASSERT_GT(out.size() / 2, second + 2000);
  for (size_t f = 0; f < second + 2000; ++f) {
    float l = 0.0f, r = 0.0f;
    if (f >= start && f < stop) {
      l = loop[((f - start) % n) * 2];
      r = loop[((f - start) % n) * 2 + 1];
    } else if (f >= first && f < second) {
      l = once[(f - first) * 2];
      r = once[(f - first) * 2 + 1];
    } else if (f >= second) {
      l = loop[((f - second) % n) * 2];
      r = loop[((f - second) % n) * 2 + 1];
    }
    ASSERT_EQ(out[f * 2], l) << "frame " << f << " (loop " << start << "-" << stop << ", once from "
                             << first << ", loop again from " << second << ")";
    ASSERT_EQ(out[f * 2 + 1], r) << "frame " << f;
  }
  EXPECT_EQ(rig.server->refusedFrames(), 0u);
}

// ---- a tone change ----

TEST_P(Queue, AToneChangeReleasesTheNotesAtTheEarlyPoint) {
  const double rate = 44100.0;
  // Two identical runs; one changes the tone 0.3 s after the strike.
  auto run = [&](bool change, uint64_t* at) {
    Rig rig(config());
    EXPECT_TRUE(rig.open());
    rig.send(programChange(24));
    rig.server->play(2000);
    rig.send(noteOn(64));
    rig.server->service();
    rig.server->play(13000);
    *at = rig.changePoint(config());
    if (change) rig.toneChange(32);
    rig.server->service();
    rig.server->play(config().queueFrames + 30000);
    EXPECT_EQ(rig.server->refusedFrames(), 0u);
    return rig.played();
  };
  uint64_t at = 0, same = 0;
  const auto kept = run(false, &same);
  const auto changed = run(true, &at);
  ASSERT_EQ(at, same);

  EXPECT_EQ(maxDiff(changed, 0, kept, 0, at), 0.0f);   // untouched before the change point
  // From there the note fades, in the audio that was queued already too
  // (at least a queue less the guard and one refill step).
  const size_t queued = config().queueFrames - config().guardFrames - config().periodFrames;
  float worst = 0.0f;
  for (size_t k = 0; k < queued; ++k) {
    const float g = float(std::exp(-double(k) / (SynthPool::kReleaseSeconds * rate)));
    for (int c = 0; c < 2; ++c)
      worst = std::max(worst, std::fabs(changed[(at + k) * 2 + c] - g * kept[(at + k) * 2 + c]));
  }
  EXPECT_LT(worst, 1e-6f);
  EXPECT_GT(rms(channel(kept, 0), at + 13230, at + 17640), 0.002);
  EXPECT_LT(rms(channel(changed, 0), at + 13230, at + 17640), 0.05 * rms(channel(kept, 0), at + 13230, at + 17640));
}

TEST_P(Queue, ANoteAfterAToneChangePlaysTheNewProgramAtTheEarlyPoint) {
  const auto ref = offlineNote(32, 60, 30000);
  const size_t onset = firstSound(ref);
  Rig rig(config());
  ASSERT_TRUE(rig.open());
  rig.send(programChange(24));
  rig.server->play(1000);
  rig.toneChange(32);
  rig.server->service();
  rig.server->play(3000);
  const uint64_t at = rig.changePoint(config());
  rig.send(noteOn(60));
  rig.server->service();
  rig.server->play(config().queueFrames + 30000);
  const auto out = rig.played();
  EXPECT_EQ(firstSound(out), at + onset);
  EXPECT_EQ(maxDiff(out, at, ref, 0, 29000), 0.0f);
}

// ---- the recorder ----

TEST_P(Queue, ATakeIsSampleForSampleWhatTheServerPlayed) {
  testing_support::ScratchDir dir, scratch;
  const size_t n = 1234;
  std::vector<float> loop(n * 2), once(5000 * 2);
  for (size_t i = 0; i < loop.size(); ++i) loop[i] = 0.3f * float(std::sin(0.031 * double(i)));
  for (size_t i = 0; i < once.size(); ++i) once[i] = 0.5f * float(std::sin(0.011 * double(i)));
  ASSERT_TRUE(writeFloatWav(dir.path + "loop.wav", loop, 2, 44100));
  ASSERT_TRUE(writeFloatWav(dir.path + "once.wav", once, 2, 44100));

  Rig rig(config(), 4, true);   // a small pool, so that notes are taken over; the room on
  ASSERT_TRUE(rig.open());
  rig.send(programChange(116));
  WaveAudioDevice device(rig.sound->tapHost(), scratch.path);
  rig.server->play(3000);
  ASSERT_EQ(device.sendString("open  new alias newSound type waveaudio"), 0u);
  ASSERT_EQ(device.sendString("record newSound from 0 to 600000 overwrite"), 0u);
  const uint64_t takeStart = rig.engine().finalFrames();

  std::mt19937 rng(20261208);
  auto chance = [&](int percent) { return int(rng() % 100) < percent; };
  const int tones[] = {116, 24, 32};
  int tone = 116, strikes = 0;
  for (int step = 0; step < 400; ++step) {
    const int what = int(rng() % 100);
    if (what < 50) {
      rig.send(noteOn(int(60 + rng() % 25), 127));
      ++strikes;
    } else if (what < 58) {
      tone = tones[rng() % 3];
      rig.toneChange(tone);
    } else if (what < 66) {
      rig.sound->sndPlaySound((dir.path + "loop.wav").c_str(), SND_ASYNC | SND_LOOP);
    } else if (what < 72) {
      rig.sound->sndPlaySound((dir.path + "once.wav").c_str(), SND_ASYNC);
    } else if (what < 80) {
      rig.sound->sndPlaySound(nullptr, SND_NODEFAULT);
    }
    if (chance(85)) rig.server->service();           // woken at once, or left for its next round
    rig.server->play(1 + rng() % 1500, !chance(5));   // now and then a stall
    if (step % 40 == 39) device.flush();
  }
  ASSERT_EQ(device.sendString("stop newSound"), 0u);
  const uint64_t takeEnd = rig.engine().finalFrames();
  rig.server->play(config().queueFrames + config().pullFrames + 1000);
  const std::string target = dir.path + "take.wav";
  ASSERT_EQ(device.sendString(("save newSound " + target).c_str()), 0u);
  ASSERT_EQ(device.sendString("close newSound"), 0u);

  const auto out = rig.played();
  ASSERT_LE(takeEnd, out.size() / 2);
  const auto w = mci_test::readWav(target);
  ASSERT_TRUE(w.ok) << w.error;
  ASSERT_EQ(w.samples.size(), (takeEnd - takeStart) * 2);
  // 16-bit as the recorder stores it.
  std::vector<int16_t> heard;
  for (size_t i = takeStart * 2; i < takeEnd * 2; ++i)
    heard.push_back(int16_t(std::lrint(std::clamp(out[i], -1.0f, 1.0f) * 32767.0f)));
  size_t loud = 0;
  for (size_t i = 0; i < heard.size(); ++i) {
    ASSERT_EQ(w.samples[i], heard[i]) << "sample " << i << " of the take (frame " << takeStart + i / 2 << ")";
    loud += std::abs(heard[i]) > 3000;
  }
  EXPECT_GT(loud, heard.size() / 20);   // notes and sounds were heard
  EXPECT_GT(strikes, 150);
  EXPECT_EQ(rig.server->refusedFrames(), 0u);
  EXPECT_GT(rig.engine().synthSteals(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Servers, Queue, ::testing::ValuesIn(kServers),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- a full pool ----

// Four notes on a pool of four, one of them soft; a fifth note takes the
// soft one's instance and leaves the other three alone.
TEST(Pool, AFullPoolTakesTheQuietestInstance) {
  if (!haveSoundfont()) GTEST_SKIP() << "no General MIDI soundfont installed";
  const int notes[] = {60, 64, 67, 71};
  auto run = [&](int soft, bool withSoft, uint64_t* steals) {
    SoundSystemOptions o = SoundSystemOptions::offline();
    o.poolSize = 4;
    o.room = false;
    SoundSystem s(o);
    HMIDIOUT h = 0;
    EXPECT_EQ(s.midiOutOpen(&h, MIDI_MAPPER), MMSYSERR_NOERROR);
    s.midiOutShortMsg(h, programChange(24));
    std::vector<float> out;
    for (int i = 0; i < 4; ++i) {
      if (i != soft || withSoft) s.midiOutShortMsg(h, noteOn(notes[i], i == soft ? 25 : 127));
      const auto part = render(s.engine(), 3000);
      out.insert(out.end(), part.begin(), part.end());
    }
    s.midiOutShortMsg(h, noteOn(74));
    const auto part = render(s.engine(), 30000);
    out.insert(out.end(), part.begin(), part.end());
    *steals = s.engine().synthSteals();
    return out;
  };
  for (int soft : {1, 3}) {
    uint64_t stealsWith = 0, stealsWithout = 0;
    const auto with = run(soft, true, &stealsWith);
    const auto without = run(soft, false, &stealsWithout);
    EXPECT_EQ(stealsWith, 1u) << "soft note " << soft;
    EXPECT_EQ(stealsWithout, 0u);
    // Until the fifth note the soft one sounds; from it on, the rest alone.
    EXPECT_GT(maxDiff(with, 12000 - 1000, without, 12000 - 1000, 1000), 1e-3f);
    EXPECT_LT(maxDiff(with, 12000 + 64, without, 12000 + 64, 29000), 1e-6f) << "soft note " << soft;
  }
}
