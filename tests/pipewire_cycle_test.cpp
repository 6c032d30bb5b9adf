// SPDX-License-Identifier: GPL-3.0-or-later
// The engine behind a PipeWire graph in miniature (tests/doubles): every
// strike and wave command lands one period after its stamp, at its own
// frame wherever it falls in the cycle, never before the block being
// rendered, whatever period the graph runs at; a take is sample for sample
// what the graph was given; and a server that goes away is replaced after
// the next note, off the caller's thread, with the take going on.
#include "doubles/simulated_graph.h"
#include "platform/audio/audio_thread/graph_feed.h"
#include "mci_test_util.h"
#include "platform/audio/audio_thread/command_clock.h"
#include "platform/audio/calls/sound_system.h"
#include "platform/waveaudio/mci_device.h"
#include "sound_test_util.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <random>
#include <utility>

using namespace platform;
using namespace soundtest;

namespace {

constexpr uint32_t kPeriod = 128;
constexpr uint32_t kGraphRate = 48000;

bool haveSoundfont() { return !existingSoundfonts(defaultSoundfontSearch()).empty(); }

// A sound system at the graph's rate whose output is a simulated graph.
struct GraphRig {
  std::vector<SimulatedGraph*> graphs;   // every stream opened, in order; null once gone
  std::vector<std::vector<float>> past;  // what each stream gone was given
  std::unique_ptr<SoundSystem> sound;
  HMIDIOUT h = 0;
  bool serverAnswers = true;
  int opened = 0;   // outputs asked for
  uint32_t period = kPeriod;
  std::shared_future<void> gate;   // when valid, new streams answer only once it is ready

  explicit GraphRig(int poolSize = 6, bool room = false) {
    SoundSystemOptions o;
    o.sampleRate = kGraphRate;
    o.poolSize = poolSize;
    o.room = room;
    o.makeOutput = [this] {
      ++opened;
      auto g = std::make_unique<SimulatedGraph>(period, serverAnswers);
      if (gate.valid()) g->holdStartUntil(gate);
      if (serverAnswers) {
        // What it was given is kept when the sound system drops it (the
        // reopening thread drops the old stream before it asks for a new one).
        g->onGone = [this, at = graphs.size()](const SimulatedGraph& gone) {
          past.push_back(gone.given());
          graphs[at] = nullptr;
        };
        graphs.push_back(g.get());
      }
      return g;
    };
    sound = std::make_unique<SoundSystem>(o);
  }
  SimulatedGraph& graph() { return *graphs.back(); }
  AudioEngine& engine() { return sound->engine(); }
  bool open() { return sound->midiOutOpen(&h, MIDI_MAPPER) == MMSYSERR_NOERROR; }
  void send(uint32_t msg) { ASSERT_EQ(sound->midiOutShortMsg(h, msg), MMSYSERR_NOERROR); }
  // The note after the server went away: it opens a new stream.
  void sendAndReopen(uint32_t msg) {
    send(msg);
    sound->finishReopening();
  }
};

float maxDiff(const std::vector<float>& a, size_t aFrom, const std::vector<float>& b, size_t bFrom, size_t frames) {
  float d = 0.0f;
  for (size_t i = 0; i < frames * 2; ++i) d = std::max(d, std::fabs(a[aFrom * 2 + i] - b[bFrom * 2 + i]));
  return d;
}

double framesOf(int64_t ns) { return double(ns) * kGraphRate * 1e-9; }

class GraphCycle : public ::testing::Test {
protected:
  void SetUp() override {
    if (!haveSoundfont()) GTEST_SKIP() << "no General MIDI soundfont installed";
  }
};

}  // namespace

// ---- timed commands ----

TEST_F(GraphCycle, AStrikeLandsOnePeriodAfterItsKeyWhereverInTheCycleTheKeyFellAtThePeriodTheGraphRuns) {
  const auto ref = offlineNote(24, 69, 30000, kGraphRate);
  const size_t onset = firstSound(ref);
  ASSERT_LT(onset, 2000u);
  for (const auto& [period, phase] : {std::pair{kPeriod, 0.05}, {kPeriod, 0.37}, {kPeriod, 0.81}, {256u, 0.5},
                                      {512u, 0.2}, {1024u, 0.9}}) {
    GraphRig rig;
    rig.period = period;
    ASSERT_TRUE(rig.open());
    rig.send(programChange(24));
    SimulatedGraph& graph = rig.graph();
    graph.run(monotonicNs(), 12000);
    const uint64_t w0 = graph.framesGiven();

    const int64_t t0 = monotonicNs();
    rig.send(noteOn(69));
    const int64_t t1 = monotonicNs();
    // The cycle under way when the key came began `phase` of a period before it.
    const int64_t c0 = t0 - int64_t(phase * double(graph.periodNs()));
    graph.cycle(c0);
    EXPECT_EQ(firstSound(graph.given(), w0), SIZE_MAX) << "the strike came inside the cycle already rendered";
    graph.run(c0 + graph.periodNs(), 30000);

    const auto& out = graph.given();
    const size_t start = firstSound(out, w0) - onset;
    // The key's own frame, and one period after it.
    const double keyFrame = double(w0) + phase * period;
    EXPECT_NEAR(double(start) - keyFrame, double(period), 1.0 + framesOf(t1 - t0)) << "period " << period << ", phase " << phase;
    EXPECT_NE((start - w0) % period, 0u) << "quantised to a cycle's start, phase " << phase;
    EXPECT_EQ(maxDiff(out, start, ref, 0, 25000), 0.0f) << "the note whole, once, phase " << phase;
  }
}

TEST_F(GraphCycle, ALateCommandLandsAtTheStartOfItsBlockAndAnEarlyOneWaitsForItsOwn) {
  const auto ref = offlineNote(24, 64, 20000, kGraphRate);
  const size_t onset = firstSound(ref);
  {
    // The graph stalled: the first cycle after the key comes 20 ms late.
    GraphRig rig;
    ASSERT_TRUE(rig.open());
    rig.send(programChange(24));
    rig.graph().run(monotonicNs(), 6000);
    const uint64_t w0 = rig.graph().framesGiven();
    const int64_t t0 = monotonicNs();
    rig.send(noteOn(64));
    rig.graph().run(t0 + 20000000, 20000);
    EXPECT_EQ(firstSound(rig.graph().given(), w0), w0 + onset);
    EXPECT_EQ(maxDiff(rig.graph().given(), w0, ref, 0, 15000), 0.0f);
  }
  {
    // The graph's clock stands ten periods before the key: the strike
    // waits, silent, through ten blocks and lands in the eleventh.
    GraphRig rig;
    ASSERT_TRUE(rig.open());
    rig.send(programChange(24));
    rig.graph().run(monotonicNs(), 6000);
    const uint64_t w0 = rig.graph().framesGiven();
    const int64_t t0 = monotonicNs();
    rig.send(noteOn(64));
    const int64_t t1 = monotonicNs();
    rig.graph().run(t0 - 10 * rig.graph().periodNs(), 20000);
    const size_t start = firstSound(rig.graph().given(), w0) - onset;
    EXPECT_NEAR(double(start), double(w0 + 11 * kPeriod), 1.0 + framesOf(t1 - t0));
  }
}

TEST_F(GraphCycle, TheWaveChannelStartsAndStopsOnePeriodAfterItsCalls) {
  testing_support::ScratchDir dir;
  const size_t n = 701;
  std::vector<float> loop(n * 2);
  for (size_t i = 0; i < loop.size(); ++i) loop[i] = 0.4f * float(std::cos(0.05 * double(i / 2)));
  ASSERT_TRUE(writeFloatWav(dir.path + "loop.wav", loop, 2, kGraphRate));

  GraphRig rig;
  ASSERT_TRUE(rig.sound->ensureOutput());
  SimulatedGraph& graph = rig.graph();
  graph.run(monotonicNs(), 4000);
  const uint64_t w0 = graph.framesGiven();
  const int64_t t0 = monotonicNs();
  ASSERT_EQ(rig.sound->sndPlaySound((dir.path + "loop.wav").c_str(), SND_ASYNC | SND_LOOP), 1);
  const int64_t t1 = monotonicNs();
  const int64_t c0 = t0 - graph.periodNs() / 2;
  int64_t next = graph.run(c0, 20 * kPeriod);
  const uint64_t w1 = graph.framesGiven();
  // Stopped a quarter of a period into the cycle after the 20 above.
  const int64_t s0 = monotonicNs();
  ASSERT_EQ(rig.sound->sndPlaySound(nullptr, SND_NODEFAULT), 1);
  const int64_t s1 = monotonicNs();
  next = graph.run(s0 - graph.periodNs() / 4, 10 * kPeriod);
  (void)next;

  const auto& out = graph.given();
  const size_t start = firstSound(out, w0);
  EXPECT_NEAR(double(start), double(w0) + kPeriod * 1.5, 1.0 + framesOf(t1 - t0));
  size_t stop = start;
  while (stop < out.size() / 2 && (out[stop * 2] != 0.0f || out[stop * 2 + 1] != 0.0f)) ++stop;
  EXPECT_NEAR(double(stop), double(w1) + kPeriod * 1.25, 1.0 + framesOf(s1 - s0));
  for (size_t f = start; f < stop; ++f) {
    ASSERT_EQ(out[f * 2], loop[((f - start) % n) * 2]) << "frame " << f;
    ASSERT_EQ(out[f * 2 + 1], loop[((f - start) % n) * 2 + 1]) << "frame " << f;
  }
  EXPECT_EQ(firstSound(out, stop), SIZE_MAX) << "sound after the stop";
}

TEST_F(GraphCycle, ASecondNodeAskingInTheSameCycleGetsTheSameBlockAndTheEngineMovesOnOnce) {
  SoundSystemOptions o = SoundSystemOptions::offline();
  o.sampleRate = kGraphRate;
  o.poolSize = 4;
  SoundSystem sound(o);
  HMIDIOUT h = 0;
  ASSERT_EQ(sound.midiOutOpen(&h, MIDI_MAPPER), MMSYSERR_NOERROR);
  ASSERT_EQ(sound.midiOutShortMsg(h, programChange(24)), MMSYSERR_NOERROR);
  GraphFeed feed(sound.engine());
  const int64_t t = monotonicNs();
  ASSERT_EQ(sound.midiOutShortMsg(h, noteOn(69)), MMSYSERR_NOERROR);
  std::vector<float> first(256 * 2), second(256 * 2);
  float loudest = 0.0f;
  for (int i = 0; i < 60; ++i) {
    GraphFeed::Cycle c;
    c.position = 5000 + uint64_t(i) * 256;
    c.ns = t + int64_t(i) * 5333333;
    c.frames = 256;
    c.delayFrames = 256;
    ASSERT_EQ(feed.fill(c, first.data()), 256u);
    const uint64_t written = sound.engine().written();
    ASSERT_EQ(feed.fill(c, second.data()), 256u) << "cycle " << i;
    EXPECT_EQ(sound.engine().written(), written) << "rendered twice in cycle " << i;
    ASSERT_EQ(first, second) << "cycle " << i;
    for (float v : first) loudest = std::max(loudest, std::fabs(v));
  }
  EXPECT_EQ(sound.engine().written(), 60u * 256u);
  EXPECT_GT(loudest, 0.05f) << "the note was heard: the blocks compared held sound";
}

// ---- the recorder ----

TEST_F(GraphCycle, ATakeIsSampleForSampleWhatTheGraphWasGiven) {
  testing_support::ScratchDir dir, scratch;
  std::vector<float> loop(1234 * 2), once(5000 * 2);
  for (size_t i = 0; i < loop.size(); ++i) loop[i] = 0.3f * float(std::sin(0.031 * double(i)));
  for (size_t i = 0; i < once.size(); ++i) once[i] = 0.5f * float(std::sin(0.011 * double(i)));
  ASSERT_TRUE(writeFloatWav(dir.path + "loop.wav", loop, 2, kGraphRate));
  ASSERT_TRUE(writeFloatWav(dir.path + "once.wav", once, 2, kGraphRate));

  GraphRig rig(4, true);   // a small pool, so that notes are taken over; the room on
  ASSERT_TRUE(rig.open());
  rig.send(programChange(116));
  WaveAudioDevice device(rig.sound->tapHost(), scratch.path);
  SimulatedGraph& graph = rig.graph();
  graph.run(monotonicNs(), 3000);
  ASSERT_EQ(device.sendString("open  new alias newSound type waveaudio"), 0u);
  ASSERT_EQ(device.sendString("record newSound from 0 to 600000 overwrite"), 0u);
  const uint64_t takeStart = rig.engine().finalFrames();

  std::mt19937 rng(20261208);
  const int tones[] = {116, 24, 32};
  int strikes = 0;
  const uint32_t sizes[] = {kPeriod, kPeriod, kPeriod, 2 * kPeriod, 77, 1024};
  for (int step = 0; step < 400; ++step) {
    const int what = int(rng() % 100);
    if (what < 50) {
      rig.send(noteOn(int(60 + rng() % 25), 127));
      ++strikes;
    } else if (what < 58) {
      ASSERT_EQ(rig.sound->midiOutClose(rig.h), MMSYSERR_NOERROR);
      ASSERT_TRUE(rig.open());
      rig.send(programChange(tones[rng() % 3]));
    } else if (what < 66) {
      rig.sound->sndPlaySound((dir.path + "loop.wav").c_str(), SND_ASYNC | SND_LOOP);
    } else if (what < 72) {
      rig.sound->sndPlaySound((dir.path + "once.wav").c_str(), SND_ASYNC);
    } else if (what < 80) {
      rig.sound->sndPlaySound(nullptr, SND_NODEFAULT);
    }
    // A few cycles, each begun up to two periods before now: commands land
    // inside blocks, at their starts, or wait for a later one.
    for (int c = int(rng() % 12); c >= 0; --c)
      graph.cycle(monotonicNs() - int64_t(rng() % uint64_t(2 * graph.periodNs())), sizes[rng() % 6]);
    if (step % 40 == 39) device.flush();
  }
  ASSERT_EQ(device.sendString("stop newSound"), 0u);
  const uint64_t takeEnd = rig.engine().finalFrames();
  const std::string target = dir.path + "take.wav";
  ASSERT_EQ(device.sendString(("save newSound " + target).c_str()), 0u);
  ASSERT_EQ(device.sendString("close newSound"), 0u);

  const auto& out = graph.given();
  ASSERT_LE(takeEnd, out.size() / 2);
  const auto w = mci_test::readWav(target);
  ASSERT_TRUE(w.ok) << w.error;
  ASSERT_EQ(w.samples.size(), (takeEnd - takeStart) * 2);
  size_t loud = 0;
  for (size_t i = 0; i < w.samples.size(); ++i) {
    const int16_t heard = int16_t(std::lrint(std::clamp(out[takeStart * 2 + i], -1.0f, 1.0f) * 32767.0f));
    ASSERT_EQ(w.samples[i], heard) << "sample " << i << " of the take (frame " << takeStart + i / 2 << ")";
    loud += std::abs(heard) > 3000;
  }
  EXPECT_GT(loud, w.samples.size() / 20);
  EXPECT_GT(strikes, 150);
  EXPECT_GT(rig.engine().synthSteals(), 0u);
}

// ---- losing the server ----

TEST_F(GraphCycle, TheNoteAfterTheServerWentAwayOpensANewStreamAndTheTakeGoesOn) {
  testing_support::ScratchDir dir, scratch;
  GraphRig rig;
  ASSERT_TRUE(rig.open());
  rig.send(programChange(24));
  WaveAudioDevice device(rig.sound->tapHost(), scratch.path);
  rig.graph().run(monotonicNs(), 4800);
  ASSERT_EQ(device.sendString("open  new alias newSound type waveaudio"), 0u);
  ASSERT_EQ(device.sendString("record newSound from 0 to 600000 overwrite"), 0u);
  const uint64_t takeStart = rig.engine().finalFrames();
  rig.send(noteOn(60));
  rig.graph().run(monotonicNs(), 9600);

  rig.graphs[0]->lose();
  EXPECT_FALSE(rig.sound->output()->running());
  rig.sendAndReopen(noteOn(67));   // the next note opens a new stream
  ASSERT_EQ(rig.graphs.size(), 2u);
  ASSERT_TRUE(rig.sound->output()->running());
  rig.graph().run(monotonicNs(), 9600);

  ASSERT_EQ(device.sendString("stop newSound"), 0u);
  const uint64_t takeEnd = rig.engine().finalFrames();
  const std::string target = dir.path + "take.wav";
  ASSERT_EQ(device.sendString(("save newSound " + target).c_str()), 0u);

  // The take is the old stream's frames, then the new one's, with no gap.
  ASSERT_EQ(rig.past.size(), 1u);
  std::vector<float> both = rig.past[0];
  both.insert(both.end(), rig.graphs[1]->given().begin(), rig.graphs[1]->given().end());
  ASSERT_LE(takeEnd, both.size() / 2);
  const auto w = mci_test::readWav(target);
  ASSERT_TRUE(w.ok) << w.error;
  ASSERT_EQ(w.samples.size(), (takeEnd - takeStart) * 2);
  for (size_t i = 0; i < w.samples.size(); ++i)
    ASSERT_EQ(w.samples[i], int16_t(std::lrint(std::clamp(both[takeStart * 2 + i], -1.0f, 1.0f) * 32767.0f)))
        << "sample " << i;
  EXPECT_GT(peak(channel(rig.graphs[1]->given(), 0)), 0.01f) << "the note after the loss was not heard";
}

TEST_F(GraphCycle, WithNoServerNotesAreTakenAndAnotherStreamIsTriedAtMostOnceASecond) {
  GraphRig rig;
  ASSERT_TRUE(rig.open());
  rig.graph().run(monotonicNs(), 2000);
  rig.serverAnswers = false;
  rig.graph().lose();
  const int before = rig.opened;
  rig.sendAndReopen(noteOn(60));   // tries a new stream, which fails
  EXPECT_EQ(rig.opened, before + 1);
  EXPECT_EQ(rig.sound->output(), nullptr);
  for (int i = 0; i < 20; ++i) rig.sendAndReopen(noteOn(62));
  EXPECT_EQ(rig.opened, before + 1) << "a server that does not answer is not asked at every note";
  EXPECT_FALSE(rig.sound->lastError().empty());
}

TEST_F(GraphCycle, ALostStreamIsLookedForAgainWithoutWaitingForANote) {
  GraphRig rig;
  rig.sound->keepOutput();   // nothing has played yet: no stream is asked for
  EXPECT_EQ(rig.opened, 0);
  ASSERT_TRUE(rig.open());
  rig.graph().run(monotonicNs(), 2000);
  rig.sound->keepOutput();   // the stream plays: nothing to do
  EXPECT_FALSE(rig.sound->reopening());
  EXPECT_EQ(rig.opened, 1);

  rig.graphs[0]->lose();
  rig.sound->keepOutput();   // the server went away: a new stream, with no note sent
  rig.sound->finishReopening();
  EXPECT_EQ(rig.opened, 2);
  ASSERT_EQ(rig.graphs.size(), 2u);
  ASSERT_TRUE(rig.sound->output() && rig.sound->output()->running());
  EXPECT_EQ(rig.engine().midiDispatched(), 0u);
  // The first note after it sounds on the new stream at once.
  rig.send(noteOn(67));
  rig.graph().run(monotonicNs(), 4800);
  EXPECT_GT(peak(channel(rig.graph().given(), 0)), 0.01f);
}

TEST_F(GraphCycle, NotesWhileALostStreamIsReopenedAreNotHeldUpAndSoundOnTheNewOne) {
  GraphRig rig;
  ASSERT_TRUE(rig.open());
  rig.send(programChange(24));
  rig.sound->setPlayerPresent(false);   // the window is not the active one
  EXPECT_FALSE(rig.graph().playerPresent());
  rig.graph().run(monotonicNs(), 4800);

  std::promise<void> serverAnswers;
  rig.gate = serverAnswers.get_future().share();
  rig.graphs[0]->lose();
  // The server is slow to answer: the notes go on being taken, and only
  // one new stream is asked for.
  rig.send(noteOn(67));
  EXPECT_TRUE(rig.sound->reopening()) << "the note waited for the new stream";
  for (int i = 0; i < 5; ++i) rig.send(noteOn(60 + i));
  EXPECT_TRUE(rig.sound->ensureOutput()) << "a wave sound or a tone change does not wait either";
  EXPECT_TRUE(rig.sound->reopening());
  serverAnswers.set_value();
  rig.sound->finishReopening();
  EXPECT_EQ(rig.opened, 2);
  ASSERT_EQ(rig.graphs.size(), 2u);
  ASSERT_TRUE(rig.sound->output() && rig.sound->output()->running());
  EXPECT_FALSE(rig.graph().playerPresent()) << "the new stream knows the player is away";
  rig.sound->setPlayerPresent(true);
  EXPECT_TRUE(rig.graph().playerPresent());

  // The notes kept are heard on the new stream.
  const int64_t t = monotonicNs();
  rig.graph().run(t, 9600);
  EXPECT_GT(peak(channel(rig.graph().given(), 0)), 0.05f);
  EXPECT_EQ(rig.engine().midiDispatched(), 7u) << "the program change and the six notes";
}

TEST_F(GraphCycle, TheLoopStoppedWhileALostStreamIsReopenedStaysStopped) {
  testing_support::ScratchDir dir;
  std::vector<float> loop(900 * 2, 0.25f);
  ASSERT_TRUE(writeFloatWav(dir.path + "loop.wav", loop, 2, kGraphRate));
  GraphRig rig;
  ASSERT_EQ(rig.sound->sndPlaySound((dir.path + "loop.wav").c_str(), SND_ASYNC | SND_LOOP), 1);
  rig.graph().run(monotonicNs(), 4800);
  ASSERT_GT(peak(channel(rig.graph().given(), 0)), 0.2f);

  std::promise<void> serverAnswers;
  rig.gate = serverAnswers.get_future().share();
  rig.graphs[0]->lose();
  EXPECT_TRUE(rig.sound->ensureOutput());   // the lost stream is being reopened ...
  ASSERT_TRUE(rig.sound->reopening());
  EXPECT_EQ(rig.sound->sndPlaySound(nullptr, SND_NODEFAULT), 1);   // ... when the loop is switched off
  serverAnswers.set_value();
  rig.sound->finishReopening();
  ASSERT_EQ(rig.graphs.size(), 2u);
  const int64_t t = monotonicNs();
  rig.graph().run(t, 48000);
  const auto& out = rig.graph().given();
  size_t loopLike = 0;   // frames exactly as the loop's, on both channels
  for (size_t f = 0; f < out.size() / 2; ++f) loopLike += out[f * 2] == 0.25f && out[f * 2 + 1] == 0.25f;
  // The stop lands one period after its call, so at most that much is heard.
  EXPECT_LE(loopLike, kPeriod) << "the loop went on after it was switched off";
}
