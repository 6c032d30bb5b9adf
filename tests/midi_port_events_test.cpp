// SPDX-License-Identifier: GPL-3.0-or-later
// What the MIDI port is given, through the engine and a PipeWire graph in
// miniature (tests/doubles): every channel message the synth plays, at the
// frame where its sound starts in what the graph was given, and one
// note-off per note as it was heard: where its voices ended, before its key
// is struck again, at a close, when its instance is taken over.  Whichever
// of the audio node and the port runs first in a cycle, the graph gets the
// same sound and the port the same events; an unlinked port keeps nothing;
// a long strum loses nothing.  With the embedded synthesizer silenced the
// port still carries everything while the wave channel alone is heard.
#include "doubles/scripted_synth.h"
#include "doubles/simulated_graph.h"
#include "platform/audio/audio_thread/command_clock.h"
#include "platform/audio/audio_thread/midi_message.h"
#include "platform/audio/audio_thread/synth_pool.h"
#include "platform/audio/calls/sound_system.h"
#include "platform/real_backend.h"
#include "sound_test_util.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

using namespace platform;
using namespace soundtest;

namespace {

constexpr uint32_t kPeriod = 128;
constexpr uint32_t kGraphRate = 48000;
// A cycle this far ahead of every command: each lands at the start of the
// next block rendered.
constexpr int64_t kLate = 1000000000;

using PortEvent = SimulatedGraph::PortEvent;

bool isOn(const PortEvent& e) { return MidiMessage(e.packed).isNoteOn(); }
bool isOff(const PortEvent& e) { return MidiMessage(e.packed).isNoteOff(); }
int keyOf(const PortEvent& e) { return MidiMessage(e.packed).data1(); }

std::string describe(const std::vector<PortEvent>& events) {
  std::string s;
  for (const PortEvent& e : events) {
    char line[64];
    std::snprintf(line, sizeof line, "  %02x %d %d at %llu\n", MidiMessage(e.packed).status(),
                  MidiMessage(e.packed).data1(), MidiMessage(e.packed).data2(), (unsigned long long)e.frame);
    s += line;
  }
  return s;
}

// The engine with a pool of scripted synths behind a graph whose port is
// linked.
struct ScriptedRig {
  AudioEngine engine{kGraphRate};
  SynthPool pool{kGraphRate};
  std::vector<std::unique_ptr<ScriptedSynth>> synths;
  SimulatedGraph graph{kPeriod};

  explicit ScriptedRig(int instances = 4, bool portFirst = false) {
    for (int i = 0; i < instances; ++i) {
      synths.push_back(std::make_unique<ScriptedSynth>());
      pool.add(synths.back().get());
    }
    EXPECT_TRUE(graph.start(engine));
    graph.linkPort(true, portFirst);
    EXPECT_TRUE(engine.installSynth(&pool, false));
    EXPECT_TRUE(engine.attachSynth());
  }
  void send(uint32_t msg) { ASSERT_TRUE(engine.sendMidi(msg)); }
  // `n` cycles; what was sent lands at the start of the first.
  void cycles(int n) {
    for (int i = 0; i < n; ++i) graph.cycle(monotonicNs() + kLate);
  }
  // Until every note has ended and its instance rests.
  void runOut() { cycles(int(ScriptedSynth::lengthOf(127) / kPeriod) + 64); }
  const std::vector<PortEvent>& events() const { return graph.portEvents(); }
};

// The frame after the last one that sounds.
size_t lastSound(const std::vector<float>& stereo) {
  for (size_t f = stereo.size() / 2; f > 0; --f)
    if (stereo[(f - 1) * 2] != 0.0f) return f;
  return 0;
}

bool haveSoundfont() { return !existingSoundfonts(defaultSoundfontSearch()).empty(); }

// A sound system at the graph's rate whose output is a simulated graph with
// its port linked.
struct GraphRig {
  std::vector<SimulatedGraph*> graphs;
  std::unique_ptr<SoundSystem> sound;
  HMIDIOUT h = 0;
  bool portFirst = false;

  explicit GraphRig(bool heard = true, bool portFirstToo = false) : portFirst(portFirstToo) {
    SoundSystemOptions o;
    o.sampleRate = kGraphRate;
    o.poolSize = 6;
    o.room = false;
    o.synthHeard = heard;
    o.makeOutput = [this] {
      auto g = std::make_unique<SimulatedGraph>(kPeriod);
      g->linkPort(true, portFirst);
      graphs.push_back(g.get());
      return g;
    };
    sound = std::make_unique<SoundSystem>(o);
  }
  SimulatedGraph& graph() { return *graphs.back(); }
  bool open() { return sound->midiOutOpen(&h, MIDI_MAPPER) == MMSYSERR_NOERROR; }
  void send(uint32_t msg) { ASSERT_EQ(sound->midiOutShortMsg(h, msg), MMSYSERR_NOERROR); }
};

}  // namespace

// ---- note lengths, with notes whose end the test knows ----

TEST(PortNotes, ANoteEndsOnThePortWhereItsVoiceEndedInTheSound) {
  for (const bool portFirst : {false, true}) {
    ScriptedRig rig(4, portFirst);
    rig.cycles(3);
    rig.send(noteOn(60));
    rig.cycles(2);
    rig.send(noteOn(64));
    rig.runOut();
    const auto& ev = rig.events();
    ASSERT_EQ(ev.size(), 4u) << describe(ev);
    const uint64_t on60 = 3 * kPeriod, on64 = 5 * kPeriod;
    EXPECT_TRUE(isOn(ev[0]) && keyOf(ev[0]) == 60 && ev[0].frame == on60) << describe(ev);
    EXPECT_TRUE(isOn(ev[1]) && keyOf(ev[1]) == 64 && ev[1].frame == on64) << describe(ev);
    EXPECT_TRUE(isOff(ev[2]) && keyOf(ev[2]) == 60 && ev[2].frame == on60 + ScriptedSynth::lengthOf(60)) << describe(ev);
    EXPECT_TRUE(isOff(ev[3]) && keyOf(ev[3]) == 64 && ev[3].frame == on64 + ScriptedSynth::lengthOf(64)) << describe(ev);
    EXPECT_EQ(MidiMessage(ev[2].packed).status(), 0x80u);
    // Each where the sound says: it starts with the first note and ends
    // with the last, and the two overlap exactly between.
    const auto& out = rig.graph.given();
    EXPECT_EQ(firstSound(out), on60);
    EXPECT_EQ(lastSound(out), ev[3].frame);
    EXPECT_EQ(out[(ev[2].frame - 1) * 2], 2 * ScriptedSynth::kLevel);
    EXPECT_EQ(out[ev[2].frame * 2], ScriptedSynth::kLevel);
    for (const PortEvent& e : ev) {
      EXPECT_LT(e.offset, kPeriod);
      EXPECT_EQ(e.frame, e.cycle * kPeriod + e.offset);
    }
  }
}

TEST(PortNotes, AKeyStruckAgainEndsItsNoteThereThoughTheSynthLetsItRing) {
  ScriptedRig rig;
  rig.send(programChange(24));
  rig.send(noteOn(60));
  rig.cycles(7);
  rig.send(noteOn(60));
  rig.runOut();
  const auto& ev = rig.events();
  ASSERT_EQ(ev.size(), 5u) << describe(ev);
  EXPECT_EQ(MidiMessage(ev[0].packed).kind(), MidiMessage::Program);
  EXPECT_EQ(MidiMessage(ev[0].packed).data1(), 24);
  const uint64_t again = 7 * kPeriod;
  EXPECT_TRUE(isOn(ev[1]) && ev[1].frame == 0);
  EXPECT_TRUE(isOff(ev[2]) && ev[2].frame == again) << describe(ev);
  EXPECT_TRUE(isOn(ev[3]) && ev[3].frame == again) << describe(ev);
  EXPECT_TRUE(isOff(ev[4]) && ev[4].frame == again + ScriptedSynth::lengthOf(60)) << describe(ev);
  // The embedded synth does not cut the first note: both sound after the re-strike.
  EXPECT_EQ(rig.graph.given()[(again + 10) * 2], 2 * ScriptedSynth::kLevel);
}

TEST(PortNotes, ACloseEndsEveryOpenNoteAtItsChangePointBeforeTheNewProgram) {
  ScriptedRig rig;
  rig.send(programChange(116));
  rig.send(noteOn(72));
  rig.cycles(2);
  rig.send(noteOn(76));
  rig.cycles(3);
  // A tone change: close, open, the new program.
  ASSERT_TRUE(rig.engine.detachSynth());
  ASSERT_TRUE(rig.engine.attachSynth());
  rig.send(programChange(24));
  rig.send(noteOn(60));
  rig.runOut();
  const auto& ev = rig.events();
  const uint64_t change = 5 * kPeriod;
  ASSERT_EQ(ev.size(), 8u) << describe(ev);
  EXPECT_TRUE(isOff(ev[3]) && keyOf(ev[3]) == 72 && ev[3].frame == change) << describe(ev);
  EXPECT_TRUE(isOff(ev[4]) && keyOf(ev[4]) == 76 && ev[4].frame == change) << describe(ev);
  EXPECT_EQ(MidiMessage(ev[5].packed).kind(), MidiMessage::Program);
  EXPECT_EQ(ev[5].frame, change);
  EXPECT_TRUE(isOn(ev[6]) && keyOf(ev[6]) == 60 && ev[6].frame == change);
  EXPECT_TRUE(isOff(ev[7]) && keyOf(ev[7]) == 60) << "the released notes are not ended twice";
  // Messages while closed go nowhere, on the port too.
  ASSERT_TRUE(rig.engine.detachSynth());
  EXPECT_FALSE(rig.engine.sendMidi(noteOn(62)));
  rig.runOut();
  EXPECT_EQ(rig.events().size(), 8u);
}

TEST(PortNotes, ANoteWhoseInstanceIsTakenOverEndsThereFirst) {
  ScriptedRig rig(2);
  rig.send(noteOn(60));
  rig.cycles(1);
  rig.send(noteOn(62));
  rig.cycles(1);
  rig.send(noteOn(64));   // the pool is full: the oldest of equals is taken over
  rig.runOut();
  EXPECT_EQ(rig.engine.synthSteals(), 1u);
  const auto& ev = rig.events();
  ASSERT_EQ(ev.size(), 6u) << describe(ev);
  EXPECT_TRUE(isOff(ev[2]) && keyOf(ev[2]) == 60 && ev[2].frame == 2 * kPeriod) << describe(ev);
  EXPECT_TRUE(isOn(ev[3]) && keyOf(ev[3]) == 64 && ev[3].frame == 2 * kPeriod) << describe(ev);
}

TEST(PortNotes, ALongStrumLosesNothingAndEveryNoteEndsOnce) {
  ScriptedRig rig(8);
  std::mt19937 rng(2512);
  int strikes = 0;
  for (int burst = 0; burst < 60; ++burst) {
    const int n = int(rng() % 12);
    for (int i = 0; i < n; ++i, ++strikes) rig.send(noteOn(int(40 + rng() % 50)));
    for (int c = int(rng() % 6); c >= 0; --c) rig.graph.cycle(monotonicNs() + kLate, uint32_t(16 + rng() % 1024));
  }
  // And 600 in one block, to a port whose buffer takes 100 events a cycle.
  rig.graph.linkPort(true, false, 100);
  for (int i = 0; i < 600; ++i, ++strikes) rig.send(noteOn(int(40 + i % 50)));
  rig.runOut();

  const auto& ev = rig.events();
  EXPECT_EQ(rig.graph.shared()->eventsLost(), 0u);
  int ons = 0;
  std::map<int, bool> open;
  for (size_t i = 0; i < ev.size(); ++i) {
    if (i > 0) ASSERT_LE(ev[i - 1].frame, ev[i].frame) << "event " << i << " out of order";
    const int k = keyOf(ev[i]);
    if (isOn(ev[i])) {
      ++ons;
      ASSERT_FALSE(open[k]) << "key " << k << " struck again with no note-off, event " << i;
      open[k] = true;
    } else {
      ASSERT_TRUE(isOff(ev[i]));
      ASSERT_TRUE(open[k]) << "a note-off for no open note, key " << k << ", event " << i;
      open[k] = false;
    }
  }
  EXPECT_EQ(ons, strikes);
  for (const auto& [k, o] : open) EXPECT_FALSE(o) << "key " << k << " never ended";
  EXPECT_GT(rig.graph.shared()->eventsLate(), 0u) << "the small buffer was never full";
}

TEST(PortNotes, WhicheverNodeRunsFirstTheGraphAndThePortGetTheSame) {
  ScriptedRig a(4, false), b(4, true);
  std::mt19937 rng(77);
  for (int step = 0; step < 80; ++step) {
    const uint32_t key = uint32_t(50 + rng() % 30);
    a.send(noteOn(int(key)));
    b.send(noteOn(int(key)));
    const int n = int(rng() % 8);
    a.cycles(n);
    b.cycles(n);
  }
  a.runOut();
  b.runOut();
  EXPECT_EQ(a.graph.given(), b.graph.given());
  ASSERT_EQ(a.events().size(), b.events().size());
  for (size_t i = 0; i < a.events().size(); ++i) {
    EXPECT_EQ(a.events()[i].frame, b.events()[i].frame) << i;
    EXPECT_EQ(a.events()[i].packed, b.events()[i].packed) << i;
  }
  EXPECT_GT(b.graph.shared()->portFirst(), 0u);
  EXPECT_EQ(a.graph.shared()->portFirst(), 0u);
}

TEST(PortNotes, AnUnlinkedPortKeepsNothingAndALinkedOneGetsWhatComesAfter) {
  ScriptedRig rig;
  rig.graph.linkPort(false);
  for (int i = 0; i < 50; ++i) {
    rig.send(noteOn(60 + i % 7));
    rig.cycles(3);
  }
  EXPECT_TRUE(rig.events().empty());
  EXPECT_GT(rig.graph.shared()->eventsUnheard(), 50u);
  EXPECT_FALSE(rig.graph.shared()->portListening());
  rig.graph.linkPort(true);
  rig.cycles(1);
  EXPECT_TRUE(rig.graph.shared()->portListening());
  rig.send(noteOn(90));
  rig.cycles(1);
  const auto& ev = rig.events();
  const auto on90 = std::find_if(ev.begin(), ev.end(), [](const PortEvent& e) { return isOn(e) && keyOf(e) == 90; });
  ASSERT_NE(on90, ev.end()) << describe(ev);
  EXPECT_EQ(on90->frame % kPeriod, 0u);
  EXPECT_TRUE(std::none_of(ev.begin(), on90, isOn)) << "a note from before the link came through";
  EXPECT_EQ(rig.graph.shared()->eventsLost(), 0u);
}

TEST(PortNotes, AReaderThatJoinsGetsThePresentProgramFirstUnlessItsCycleBringsOne) {
  for (const bool portFirst : {false, true}) {
    ScriptedRig rig(4, portFirst);
    rig.graph.linkPort(false, portFirst);
    rig.send(programChange(116));
    rig.send(noteOn(72));
    rig.cycles(4);
    ASSERT_TRUE(rig.events().empty());
    // Linked: the first cycle it runs in starts with the tone that plays.
    rig.graph.linkPort(true, portFirst);
    rig.cycles(2);
    rig.send(noteOn(76));
    rig.cycles(1);
    {
      const auto& ev = rig.events();
      ASSERT_EQ(ev.size(), 2u) << describe(ev);
      EXPECT_EQ(ev[0].packed, programChange(116)) << describe(ev);
      EXPECT_EQ(ev[0].frame, 4 * kPeriod);
      EXPECT_TRUE(isOn(ev[1]) && keyOf(ev[1]) == 76 && ev[1].frame == 6 * kPeriod) << describe(ev);
    }
    EXPECT_EQ(rig.graph.shared()->programsResent(), 1u) << "sent again while the reader stayed";

    // Unlinked and linked again in the cycle of a tone change: its own
    // program change is the one sent, where it lands.
    rig.graph.linkPort(false, portFirst);
    rig.cycles(3);
    ASSERT_TRUE(rig.engine.detachSynth());
    ASSERT_TRUE(rig.engine.attachSynth());
    rig.send(programChange(24));
    rig.graph.linkPort(true, portFirst);
    rig.cycles(1);
    const auto& ev = rig.events();
    ASSERT_GE(ev.size(), 3u) << describe(ev);
    const auto programs = std::count_if(ev.begin() + 2, ev.end(), [](const PortEvent& e) {
      return MidiMessage(e.packed).kind() == MidiMessage::Program;
    });
    EXPECT_EQ(programs, 1) << describe(ev);
    EXPECT_EQ(ev.back().packed, programChange(24)) << describe(ev);
    EXPECT_EQ(ev.back().frame, 10 * kPeriod);
    EXPECT_EQ(rig.graph.shared()->programsResent(), 1u);
  }
}

TEST(PortNotes, ACycleThePortMissedSendsTheProgramAgainOnlyWhenItChangedOne) {
  for (const bool portFirst : {false, true}) {
    ScriptedRig rig(4, portFirst);
    rig.send(programChange(116));
    rig.cycles(2);
    // The port's node late for two quiet cycles: its reader lost nothing.
    rig.graph.missPortCycles(2);
    rig.cycles(3);
    rig.send(noteOn(76));
    rig.cycles(1);
    {
      const auto& ev = rig.events();
      ASSERT_EQ(ev.size(), 2u) << describe(ev);
      EXPECT_EQ(ev[0].packed, programChange(116)) << describe(ev);
      EXPECT_TRUE(isOn(ev[1]) && keyOf(ev[1]) == 76 && ev[1].frame == 5 * kPeriod) << describe(ev);
      EXPECT_EQ(rig.graph.shared()->programsResent(), 0u);
    }
    // Late for the cycle of a tone change: the next cycle it runs in opens
    // with the new program, so its reader does not go on with the old tone.
    ASSERT_TRUE(rig.engine.detachSynth());
    ASSERT_TRUE(rig.engine.attachSynth());
    rig.send(programChange(24));
    rig.graph.missPortCycles(1);
    rig.cycles(2);
    const auto& ev = rig.events();
    ASSERT_GE(ev.size(), 3u) << describe(ev);
    EXPECT_EQ(ev.back().packed, programChange(24)) << describe(ev);
    EXPECT_EQ(ev.back().frame, 7 * kPeriod);
    EXPECT_EQ(rig.graph.shared()->programsResent(), 1u);
    EXPECT_GT(rig.graph.shared()->eventsUnheard(), 0u);
  }
}

// ---- the real synthesizer ----

class PortSound : public ::testing::Test {
protected:
  void SetUp() override {
    if (!haveSoundfont()) GTEST_SKIP() << "no General MIDI soundfont installed";
  }
};

TEST_F(PortSound, EachNoteOnStandsWhereItsSoundStartsInWhatTheGraphWasGiven) {
  const auto ref = offlineNote(24, 69, 20000, kGraphRate);
  const size_t onset = firstSound(ref);
  ASSERT_LT(onset, 2000u);
  for (const bool portFirst : {false, true}) {
    for (const double phase : {0.1, 0.62}) {
      GraphRig rig(true, portFirst);
      ASSERT_TRUE(rig.open());
      rig.send(programChange(24));
      SimulatedGraph& graph = rig.graph();
      graph.run(monotonicNs(), 4000);
      const uint64_t w0 = graph.framesGiven();
      const int64_t t0 = monotonicNs();
      rig.send(noteOn(69));
      graph.run(t0 - int64_t(phase * double(graph.periodNs())), 20000);

      const auto& ev = graph.portEvents();
      ASSERT_EQ(ev.size(), 2u) << describe(ev);
      EXPECT_EQ(ev[0].packed, programChange(24));
      EXPECT_LT(ev[0].frame, w0);
      ASSERT_TRUE(isOn(ev[1]) && keyOf(ev[1]) == 69);
      EXPECT_EQ(ev[1].packed, noteOn(69));
      EXPECT_EQ(ev[1].frame + onset, firstSound(graph.given(), w0)) << "phase " << phase;
      EXPECT_NE(ev[1].offset, 0u) << "quantised to a cycle's start";
    }
  }
}

TEST_F(PortSound, AToneChangeEndsTheRingingNotesThenSendsItsProgram) {
  GraphRig rig;
  ASSERT_TRUE(rig.open());
  rig.send(programChange(24));
  rig.send(noteOn(67));
  rig.send(noteOn(72));
  rig.graph().run(monotonicNs(), 6000);
  ASSERT_EQ(rig.sound->midiOutClose(rig.h), MMSYSERR_NOERROR);
  ASSERT_TRUE(rig.open());
  rig.send(programChange(32));
  rig.graph().run(monotonicNs(), 3000);
  const auto& ev = rig.graph().portEvents();
  ASSERT_EQ(ev.size(), 6u) << describe(ev);
  EXPECT_TRUE(isOff(ev[3]) && keyOf(ev[3]) == 67) << describe(ev);
  EXPECT_TRUE(isOff(ev[4]) && keyOf(ev[4]) == 72) << describe(ev);
  EXPECT_EQ(ev[5].packed, programChange(32));
  // Both notes end where the close lands; the program comes at or after it
  // (each call lands at the frame of its own moment).
  EXPECT_EQ(ev[3].frame, ev[4].frame);
  EXPECT_LE(ev[4].frame, ev[5].frame);
}

TEST_F(PortSound, ANewStreamAfterTheServerWentAwayCarriesThePortOn) {
  GraphRig rig;
  ASSERT_TRUE(rig.open());
  rig.send(programChange(24));
  rig.send(noteOn(60));
  rig.graph().run(monotonicNs(), 4800);
  rig.graph().lose();
  rig.send(noteOn(67));   // opens a new stream, with its port, on a thread of its own
  rig.sound->finishReopening();
  ASSERT_EQ(rig.graphs.size(), 2u);
  rig.graph().run(monotonicNs(), 4800);
  // The new stream's reader first learns the present tone, then the note.
  const auto& ev = rig.graph().portEvents();
  ASSERT_GE(ev.size(), 2u) << describe(ev);
  EXPECT_EQ(ev[0].packed, programChange(24)) << describe(ev);
  EXPECT_EQ(ev[0].frame, 0u);
  EXPECT_TRUE(isOn(ev[1]) && keyOf(ev[1]) == 67) << describe(ev);
  EXPECT_EQ(rig.graph().shared()->eventsLost(), 0u);
}

TEST_F(PortSound, SilencedTheSynthPlaysNothingButTheWaveChannelWhileThePortCarriesAll) {
  testing_support::ScratchDir dir;
  const size_t n = 701;
  std::vector<float> loop(n * 2);
  for (size_t i = 0; i < loop.size(); ++i) loop[i] = 0.3f * float(std::cos(0.05 * double(i / 2)));
  ASSERT_TRUE(writeFloatWav(dir.path + "loop.wav", loop, 2, kGraphRate));

  GraphRig rig(false);
  ASSERT_TRUE(rig.open());
  rig.send(programChange(24));
  for (int k = 0; k < 6; ++k) rig.send(noteOn(60 + k));
  rig.graph().run(monotonicNs(), 9600);
  EXPECT_EQ(firstSound(rig.graph().given()), SIZE_MAX) << "the silenced synth was heard";
  EXPECT_GT(rig.sound->engine().instancesSounding(), 0) << "its notes should still run";

  const uint64_t w0 = rig.graph().framesGiven();
  ASSERT_EQ(rig.sound->sndPlaySound((dir.path + "loop.wav").c_str(), SND_ASYNC | SND_LOOP), 1);
  rig.send(noteOn(72));
  rig.graph().run(monotonicNs(), 9600);
  const auto& out = rig.graph().given();
  const size_t start = firstSound(out, w0);
  ASSERT_NE(start, SIZE_MAX) << "the wave channel was not heard";
  for (size_t f = start; f < out.size() / 2; ++f)
    ASSERT_EQ(out[f * 2], loop[((f - start) % n) * 2]) << "frame " << f << ": more than the loop";

  const auto& ev = rig.graph().portEvents();
  int ons = 0;
  for (const PortEvent& e : ev) ons += isOn(e);
  EXPECT_EQ(ons, 7) << describe(ev);
  EXPECT_EQ(ev.front().packed, programChange(24));
}

TEST(PortOption, TheBackendSilencesTheEmbeddedSynthOnlyWhenAsked) {
  for (const bool heard : {true, false}) {
    RealBackend backend;
    backend.setSynthHeard(heard);
    EXPECT_EQ(backend.sound().engine().synthHeard(), heard);
  }
}

TEST_F(PortSound, EveryTonesNoteEndsOnThePortWhenItsVoiceEndsAfterItsLastAudibleSample) {
  // OPL.3 notes end after about 8 s, NylonB after 7.5 s, Nylon after 33 s.
  for (const int tone : {116, 24, 32}) {
    GraphRig rig;
    ASSERT_TRUE(rig.open());
    rig.send(programChange(tone));
    rig.send(noteOn(tone == 116 ? 79 : 67));
    SimulatedGraph& g = rig.graph();
    g.run(monotonicNs(), kGraphRate * 40);
    const auto& ev = g.portEvents();
    ASSERT_EQ(ev.size(), 3u) << "tone " << tone << "\n" << describe(ev);
    ASSERT_TRUE(isOff(ev[2])) << "tone " << tone;
    const auto& out = g.given();
    size_t audible = 0;   // the frame after the last one above -90 dBFS
    for (size_t f = 0; f < out.size() / 2; ++f)
      if (std::fabs(out[f * 2]) >= 3e-5f || std::fabs(out[f * 2 + 1]) >= 3e-5f) audible = f + 1;
    EXPECT_GE(ev[2].frame, audible) << "tone " << tone << ": ended on the port while still heard";
    EXPECT_GT(ev[2].frame, ev[1].frame + kGraphRate) << "tone " << tone << ": ended long before it died away";
    EXPECT_EQ(rig.sound->engine().instancesSounding(), 0) << "tone " << tone << ": its voice had not ended";
  }
}
