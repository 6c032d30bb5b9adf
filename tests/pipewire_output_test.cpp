// SPDX-License-Identifier: GPL-3.0-or-later
// The PipeWire output's parts that need no server: which output is chosen,
// the missed-cycle watch, the data thread's figures, the server's clock
// settings, and a start with no server to answer.
#include "platform/audio/audio_thread/audio_engine.h"
#include "platform/audio/audio_thread/cycle_stats.h"
#include "platform/audio/audio_thread/cycle_watch.h"
#include "platform/audio/system/output_choice.h"
#include "platform/audio/system/pipewire_output.h"
#include "platform/audio/system/pipewire_settings.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

using namespace platform;

namespace {

class ScopedEnv {
public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
  }

private:
  const char* name_;
  std::optional<std::string> old_;
};

// Cycles of `frames` ticks at 48 kHz, each handed over `busyNs` after its start.
struct Graph {
  CycleWatch watch;
  uint64_t ticks = 0;
  int64_t ns = 1000000000;
  uint64_t seen = 0;   // missed cycles the watch reported, summed
  uint32_t cycle(uint32_t frames, int64_t busyNs = 100000, uint32_t skipped = 0) {
    ticks += uint64_t(frames) * skipped;
    ns += int64_t(frames) * skipped * 1000000000 / 48000;
    CycleWatch::Cycle c;
    c.ticks = ticks;
    c.frames = frames;
    c.rate = 48000;
    c.startNs = ns;
    c.doneNs = ns + busyNs;
    const uint32_t n = watch.cycle(c);
    seen += n;
    ticks += frames;
    ns += int64_t(frames) * 1000000000 / 48000;
    return n;
  }
  void seconds(double s, uint32_t frames = 128) {
    for (int i = 0; i < int(s * 48000 / frames); ++i) cycle(frames);
  }
};

}  // namespace

TEST(CycleWatch, CountsEveryCycleTheGraphRanWithoutUsAndEveryBlockHandedOverLate) {
  Graph g;
  g.seconds(2);
  EXPECT_EQ(g.watch.missed(), 0u);
  EXPECT_EQ(g.cycle(128, 100000, 3), 3u) << "the graph ran three cycles without us";
  EXPECT_EQ(g.watch.events(), 1u);
  g.seconds(1);
  EXPECT_EQ(g.cycle(128, 3000000), 1u) << "handed over after the period had ended";
  EXPECT_EQ(g.cycle(128, 2600000), 0u) << "inside its period, though late in it";
  EXPECT_EQ(g.watch.missed(), 4u);
  EXPECT_EQ(g.watch.events(), 2u);
  // A longer period is no miss by itself, nor a shorter one.
  g.seconds(1, 256);
  g.seconds(1, 512);
  g.seconds(1, 128);
  EXPECT_EQ(g.watch.missed(), 4u);
  EXPECT_EQ(g.cycle(128, 100000, 2), 2u);
  EXPECT_EQ(g.seen, g.watch.missed());
}

TEST(CycleWatch, AfterARestartTheGraphIsGivenTimeToSettle) {
  Graph g;
  g.seconds(1);
  g.watch.restart();
  g.cycle(256, 100000, 5);       // the jump of a paused stream waking up
  g.cycle(256, 100000, 2);
  g.cycle(256, 100000, 2);       // still settling
  EXPECT_EQ(g.watch.missed(), 0u);
  g.seconds(0.3, 256);
  EXPECT_EQ(g.cycle(256, 100000, 1), 1u);
  EXPECT_EQ(g.watch.missed(), 1u);
}

TEST(CycleStats, TheDataThreadsTimeIsToldAgainstEachCyclesOwnPeriod) {
  CycleStats stats;
  const int64_t p256 = 5333333, p128 = 2666666;
  for (int i = 0; i < 998; ++i) {
    CycleStats::Sample s;
    s.startNs = int64_t(i) * p256;
    s.entryNs = s.startNs + p256 / 10;   // woken a tenth of a period late
    s.doneNs = s.entryNs + p256 / 5;     // busy a fifth of it
    s.periodNs = p256;
    s.audible = true;
    s.faults = 0;
    stats.record(s);
  }
  // Two slow cycles at the shorter period: the same time is more of it.
  for (int i = 0; i < 2; ++i) {
    CycleStats::Sample s;
    s.entryNs = 100000;
    s.doneNs = s.entryNs + 4000000;   // 4 ms: 1.5 periods of 128 frames
    s.periodNs = p128;
    s.audible = true;
    s.faults = 3;
    stats.record(s);
  }
  CycleStats::Sample quiet;
  quiet.doneNs = 1000;
  quiet.periodNs = p256;
  stats.record(quiet);

  EXPECT_EQ(stats.cycles(true), 1000u);
  EXPECT_EQ(stats.cycles(false), 1u);
  EXPECT_NEAR(stats.percentile(true, 0, 0.5), 0.125, 1e-9);   // the bin above a tenth
  EXPECT_NEAR(stats.percentile(true, 1, 0.5), 0.21875, 1e-9); // ... above a fifth
  EXPECT_NEAR(stats.percentile(true, 1, 0.999), 1.53125, 1e-9);
  EXPECT_LT(stats.percentile(true, 1, 0.99), 0.25);
  EXPECT_EQ(stats.faults(), 6u);
  const std::string text = stats.summary();
  EXPECT_NE(text.find("6 page faults in 2 cycles"), std::string::npos) << text;
  EXPECT_NE(text.find("silent: 1 cycles"), std::string::npos) << text;
}

TEST(PipeWireClock, TheLongestPeriodTheGraphMayRunAtIsWhatTheServerSays) {
  PipeWireClock c;   // PipeWire's defaults
  EXPECT_EQ(c.longestPeriodFor(0), 1024u) << "nothing asked: the default quantum";
  EXPECT_EQ(c.longestPeriodFor(256), 256u);
  EXPECT_EQ(c.longestPeriodFor(8192), 2048u) << "cut to the largest period";
  c.minQuantum = 1024;   // as inside a virtual machine PipeWire recognises
  EXPECT_EQ(c.longestPeriodFor(256), 1024u);
  c.forceQuantum = 64;
  EXPECT_EQ(c.longestPeriodFor(256), 64u);

  EXPECT_EQ(parseLatencyFrames("1024/48000", 48000), 1024u);
  EXPECT_EQ(parseLatencyFrames("512/44100", 48000), 557u);
  EXPECT_EQ(parseLatencyFrames("256", 48000), 256u);
  for (const char* bad : {"", "x", "256/", "/48000", "256/0", "256 frames"})
    EXPECT_EQ(parseLatencyFrames(bad, 48000), 0u) << '"' << bad << '"';

  testing_support::ScratchDir dir;
  ScopedEnv noServer("PIPEWIRE_RUNTIME_DIR", (dir.path + "nowhere").c_str());
  ScopedEnv noRemote("PIPEWIRE_REMOTE", nullptr);
  const PipeWireClock none = readPipeWireClock(200);
  EXPECT_FALSE(none.answered);
  EXPECT_EQ(none.longestPeriodFor(0), 1024u);
}

TEST(OutputChoice, TheEnvironmentForcesAServerAndAnythingElseLeavesTheChoiceToTheProgram) {
  EXPECT_EQ(outputRequest(nullptr), OutputRequest::Automatic);
  EXPECT_EQ(outputRequest(""), OutputRequest::Automatic);
  EXPECT_EQ(outputRequest("pipewire"), OutputRequest::PipeWire);
  EXPECT_EQ(outputRequest("pulse"), OutputRequest::Pulse);
  for (const char* other : {"PipeWire", "alsa", "pulseaudio", " pulse"})
    EXPECT_EQ(outputRequest(other), OutputRequest::Unknown) << other;

  testing_support::ScratchDir dir;
  ScopedEnv noServer("PIPEWIRE_RUNTIME_DIR", (dir.path + "nowhere").c_str());
  ScopedEnv noRemote("PIPEWIRE_REMOTE", nullptr);
  EXPECT_FALSE(probePipeWire(200).answered);
  {
    ScopedEnv env("PLINKORA_AUDIO_OUTPUT", nullptr);
    const OutputChoice c = chooseAudioOutput();
    EXPECT_FALSE(c.pipewire) << "no PipeWire server answers: PulseAudio as before";
    EXPECT_EQ(c.rate, 44100u);
  }
  {
    ScopedEnv env("PLINKORA_AUDIO_OUTPUT", "pipewire");
    const OutputChoice c = chooseAudioOutput();
    EXPECT_TRUE(c.pipewire && c.forced);
    EXPECT_EQ(c.rate, 48000u);
    EXPECT_NE(dynamic_cast<PipeWireOutput*>(makeAudioOutput(c).get()), nullptr);
  }
  {
    ScopedEnv env("PLINKORA_AUDIO_OUTPUT", "oss");
    const OutputChoice c = chooseAudioOutput();
    EXPECT_FALSE(c.pipewire || c.forced);
  }
  {
    ScopedEnv env("PLINKORA_PIPEWIRE_QUANTUM", "256");
    EXPECT_EQ(PipeWireOutput::configFromEnvironment().forceQuantum, 256u);
  }
  for (const char* bad : {"8", "9000", "256 frames", ""}) {
    ScopedEnv env("PLINKORA_PIPEWIRE_QUANTUM", bad);
    EXPECT_EQ(PipeWireOutput::configFromEnvironment().forceQuantum, 0u) << '"' << bad << '"';
  }
  for (const char* value : {"0", "1", "", "no"}) {
    ScopedEnv env("PLINKORA_MIDI_PORT", value);
    EXPECT_EQ(PipeWireOutput::configFromEnvironment().midiPort, std::string(value) != "0") << '"' << value << '"';
  }
  {
    ScopedEnv env("PLINKORA_MIDI_PORT", nullptr);
    EXPECT_TRUE(PipeWireOutput::configFromEnvironment().midiPort);
  }
}

TEST(PipeWireOutput, WithNoServerStartSaysSoAndLeavesNothingRunning) {
  testing_support::ScratchDir dir;
  ScopedEnv noServer("PIPEWIRE_RUNTIME_DIR", (dir.path + "nowhere").c_str());
  ScopedEnv noRemote("PIPEWIRE_REMOTE", nullptr);
  AudioEngine engine(48000);
  PipeWireOutput out;
  EXPECT_FALSE(out.start(engine));
  EXPECT_FALSE(out.running());
  EXPECT_NE(out.error().find("no PipeWire server"), std::string::npos) << out.error();
  out.stop();
  EXPECT_EQ(engine.written(), 0u);
}
