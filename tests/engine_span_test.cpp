// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's rings are as deep as the queue its output keeps, no deeper:
// behind a simulated PulseAudio server, every queue the environment may ask
// for (the default 3 x 1024 frames, the deepest 8192, the shallowest 2 x 64)
// plays a performance, room included, sample for sample as the 16384-frame
// rings every output had before; and a PipeWire cycle longer than the span
// is rendered in pieces, as a longer span renders it whole.
#include "doubles/simulated_graph.h"
#include "doubles/simulated_output.h"
#include "platform/audio/audio_thread/command_clock.h"
#include "platform/audio/calls/sound_system.h"
#include "platform/audio/system/pipewire_output.h"
#include "platform/audio/system/pulse_output.h"
#include "sound_test_util.h"

#include <gtest/gtest.h>

using namespace platform;
using namespace soundtest;

namespace {

bool haveSoundfont() { return !existingSoundfonts(defaultSoundfontSearch()).empty(); }

struct Heard {
  std::vector<float> played;
  uint64_t underruns = 0, refused = 0;
  uint64_t leastQueued = UINT64_MAX;   // the shallowest the queue was after a round
};

// A performance behind a simulated server whose queue is `config`, with
// the engine's span `span`: what the server played.
Heard behindQueue(const SimulatedOutput::Config& config, uint32_t span) {
  SimulatedOutput* server = nullptr;
  SimulatedOutput** out = &server;
  SoundSystemOptions o;
  o.poolSize = 6;
  o.room = true;
  o.spanFrames = span;
  o.makeOutput = [config, out] {
    auto made = std::make_unique<SimulatedOutput>(config);
    *out = made.get();
    return made;
  };
  SoundSystem sound(o);
  HMIDIOUT h = 0;
  EXPECT_EQ(sound.midiOutOpen(&h, MIDI_MAPPER), MMSYSERR_NOERROR);
  EXPECT_EQ(sound.engine().spanFrames(), FrameRing::sizeFor(span));
  Heard heard;
  sound.midiOutShortMsg(h, programChange(24));
  server->play(3000);
  for (int k = 0; k < 12; ++k) {
    sound.midiOutShortMsg(h, noteOn(50 + 3 * k));
    server->service();
    heard.leastQueued = std::min(heard.leastQueued, server->queuedEnd() - server->playPosition());
    server->play(700 + 450 * uint64_t(k % 5));
    if (k == 6) {   // a tone change, as the arrow keys make it
      sound.midiOutClose(h);
      sound.midiOutOpen(&h, MIDI_MAPPER);
      sound.midiOutShortMsg(h, programChange(116));
    }
  }
  server->play(40000);
  heard.played = server->played();
  heard.underruns = server->underruns();
  heard.refused = server->refusedFrames();
  sound.midiOutClose(h);
  return heard;
}

}  // namespace

TEST(EngineSpan, RingsAsDeepAsTheQueueCarryEveryQueueTheEnvironmentMayAskFor) {
  if (!haveSoundfont()) GTEST_SKIP() << "no General MIDI soundfont installed";
  struct Case {
    const char* name;
    uint32_t period, periods;
    uint32_t guard, pull;
  };
  const Case cases[] = {
      {"default, 3 x 1024", 1024, 3, 88, 1},
      {"deepest, 8 x 1024", 1024, 8, 88, 1},
      {"deepest, 2 x 4096", 4096, 2, 88, 1},
      {"shallowest, 2 x 64", 64, 2, 32, 1},
      {"PipeWire's PulseAudio service, 3 x 1024 in quanta of 1024", 1024, 3, 1024 + 64, 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PulseOutput::Config pulse;
    pulse.periodFrames = c.period;
    pulse.bufferPeriods = c.periods;
    const uint32_t queue = pulse.queueFrames();
    SimulatedOutput::Config config{queue, c.period, c.guard, c.pull};
    const uint32_t span = AudioEngine::spanFor(queue);
    EXPECT_LE(span, AudioEngine::kSpanFrames);
    if (queue <= 4096) EXPECT_LT(span, AudioEngine::kSpanFrames);

    const Heard small = behindQueue(config, span);
    const Heard large = behindQueue(config, AudioEngine::kSpanFrames);
    EXPECT_EQ(small.underruns, 0u);
    EXPECT_EQ(small.refused, 0u);
    // The queue was kept as deep as asked, right after each round.
    EXPECT_GE(small.leastQueued, uint64_t(queue) - c.period) << "of " << queue;
    EXPECT_GT(peak(small.played), 0.05f);
    ASSERT_EQ(small.played.size(), large.played.size());
    EXPECT_TRUE(small.played == large.played) << "the smaller rings played something else";
  }
}

TEST(EngineSpan, AGraphCycleLongerThanTheSpanIsRenderedInPieces) {
  if (!haveSoundfont()) GTEST_SKIP() << "no General MIDI soundfont installed";
  auto play = [](uint32_t span) {
    SoundSystemOptions o;
    o.sampleRate = 48000;
    o.poolSize = 6;
    o.room = true;
    o.spanFrames = span;
    SimulatedGraph* graph = nullptr;
    o.makeOutput = [&graph] {
      auto g = std::make_unique<SimulatedGraph>(1024);
      graph = g.get();
      return g;
    };
    SoundSystem sound(o);
    HMIDIOUT h = 0;
    EXPECT_EQ(sound.midiOutOpen(&h, MIDI_MAPPER), MMSYSERR_NOERROR);
    sound.midiOutShortMsg(h, programChange(24));
    // Cycle times long after the commands' stamps: each lands at the start
    // of the next block, in either engine alike.
    int64_t t = monotonicNs() + 10'000'000'000;
    for (int k = 0; k < 6; ++k) {
      sound.midiOutShortMsg(h, noteOn(55 + 4 * k));
      // A graph forced to 8192-frame quanta (PLINKORA_PIPEWIRE_QUANTUM).
      EXPECT_EQ(graph->cycle(t, 8192), 8192u);
      t += 200'000'000;
    }
    return graph->given();
  };
  const auto pieces = play(AudioEngine::spanFor(PipeWireOutput::kLongest));
  const auto whole = play(AudioEngine::kSpanFrames);
  EXPECT_GT(peak(pieces), 0.05f);
  ASSERT_EQ(pieces.size(), 6u * 8192u * 2u);
  EXPECT_TRUE(pieces == whole);
}
