// SPDX-License-Identifier: GPL-3.0-or-later
// One room on every output: the room answers each sound a fixed pre-delay
// later, behind a rewinding server's queue (its part rewritten with the
// rest when a strike lands in the queued audio) as in a graph's cycle, so
// one performance sounds the same on both; the room rings out and rests;
// and the reverb gives the same however its feed is cut or its state
// handed over.
#include "doubles/simulated_graph.h"
#include "doubles/simulated_output.h"
#include "platform/audio/audio_thread/midi_message.h"
#include "platform/audio/audio_thread/room_path.h"
#include "platform/audio/calls/sound_system.h"
#include "sound_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace platform;
using namespace soundtest;

namespace {

constexpr uint32_t kRoomRate = 48000;

float maxDiff(const std::vector<float>& a, const std::vector<float>& b, size_t frames) {
  float d = 0.0f;
  for (size_t i = 0; i < frames * 2; ++i) d = std::max(d, std::fabs(a[i] - b[i]));
  return d;
}

// Servers with a queue: rewinding ones whose queue is deeper and shallower
// than the pre-delay, and one that pulls quanta it cannot give back.
const SimulatedOutput::Config kQueues[] = {
    {2048, 512, 88, 1},
    {256, 128, 64, 1},
    {4096, 1024, 1024 + 64, 1024},
};

// Plays a list of events through one output: each at a frame the server
// decides (for a queue: just past what it has taken, reached at or after
// the frame asked for) or, for the graph, at the frame given.
struct Player {
  SimulatedOutput* queue = nullptr;
  SimulatedGraph* graph = nullptr;
  SimulatedOutput::Config config;

  // A new output: a server with a queue like `q`, or a graph when null.
  std::unique_ptr<AudioOutput> make(const SimulatedOutput::Config* q) {
    if (q) {
      auto out = std::make_unique<SimulatedOutput>(*q);
      queue = out.get();
      config = *q;
      return out;
    }
    auto g = std::make_unique<SimulatedGraph>(128);
    graph = g.get();
    config = {0, 128, 0, 1};
    return g;
  }
  // Brings the output to `frame`; gives the frame where an event sent now lands.
  uint64_t reach(uint64_t frame) {
    if (queue) {
      if (frame > queue->taken() + config.guardFrames) queue->play(frame - queue->taken() - config.guardFrames);
      queue->service();   // a round after every step, however short
      return queue->taken() + config.guardFrames;
    }
    // Cycles stamped far after every command: each lands at the start of
    // the first block rendered after it.
    const int64_t late = monotonicNs() + int64_t(1e12);
    while (graph->framesGiven() < frame)
      graph->cycle(late, uint32_t(std::min<uint64_t>(128, frame - graph->framesGiven())));
    return frame;
  }
  void sent() {
    if (queue) queue->service();
  }
  const std::vector<float>& heard(uint64_t frames) {
    reach(frames + config.queueFrames + config.pullFrames);
    return queue ? queue->played() : graph->given();
  }
};

// ---- a synth that clicks ----

// Answers each note-on with one click, the first frame it renders after it.
class ClickSynth : public SynthInstance {
public:
  void render(float* out, uint32_t frames) noexcept override {
    std::fill(out, out + size_t(frames) * 2, 0.0f);
    if (pending_ && frames > 0) out[0] = out[1] = kClick;
    pending_ = false;
  }
  void dispatch(uint32_t packed) noexcept override { pending_ |= MidiMessage(packed).isNoteOn(); }
  void releaseAll() noexcept override {}
  void silence() noexcept override { pending_ = false; }
  void resetChannels() noexcept override {}
  int activeVoices() const noexcept override { return pending_ ? 1 : 0; }
  static constexpr float kClick = 0.5f;

private:
  bool pending_ = false;
};

struct ClickRig {
  ClickSynth synths[2];
  SynthPool pool{kRoomRate};
  AudioEngine engine{kRoomRate};
  Player player;
  std::unique_ptr<AudioOutput> output;

  explicit ClickRig(const SimulatedOutput::Config* queue) : output(player.make(queue)) {
    for (ClickSynth& s : synths) pool.add(&s);
    engine.installSynth(&pool, true);
    engine.attachSynth();
    output->start(engine);
  }
  uint64_t click(uint64_t frame) {
    const uint64_t at = player.reach(frame);
    engine.sendMidi(noteOn(60));
    player.sent();
    return at;
  }
};

// What clicks at `clicks` and the room fed them `d` frames later sound like.
std::vector<float> clicksAndRoom(std::initializer_list<uint64_t> clicks, size_t frames, uint32_t d) {
  std::vector<float> sends(frames, 0.0f), want(frames * 2, 0.0f);
  for (uint64_t f : clicks) {
    sends[f + d] = ClickSynth::kClick * RoomPath::kSend;
    want[f * 2] = want[f * 2 + 1] = ClickSynth::kClick;
  }
  RoomReverb(kRoomRate).process(sends.data(), want.data(), uint32_t(frames));
  return want;
}

}  // namespace

// ---- the pre-delay ----

// Two clicks, the second in the room's answer to the first (and, behind a
// queue, in audio already queued with the room in it): every output plays
// the clicks and exactly the reverb of them, a pre-delay later.
TEST(Room, AnswersEverySoundAPreDelayLaterOnEveryOutput) {
  RoomPath probe(kRoomRate);
  const uint32_t d = probe.preDelayFrames();
  EXPECT_GE(d, kRoomRate / 100);
  EXPECT_LE(d, kRoomRate / 40);
  // The reverb's own first echo, for a click fed straight in.
  std::vector<float> in(4000, 0.0f), echo(8000, 0.0f);
  in[0] = 1.0f;
  RoomReverb(kRoomRate).process(in.data(), echo.data(), 4000);
  const size_t firstEcho = firstSound(echo);
  ASSERT_LT(firstEcho, 4000u);

  const SimulatedOutput::Config* outputs[] = {&kQueues[0], &kQueues[1], &kQueues[2], nullptr};
  for (const auto* queue : outputs) {
    const std::string which = queue ? "queue of " + std::to_string(queue->queueFrames) : "graph";
    ClickRig rig(queue);
    const uint64_t a = rig.click(6000), b = rig.click(a + 2500);
    const size_t frames = b + 60000;
    const auto& out = rig.player.heard(frames);

    const auto want = clicksAndRoom({a, b}, frames, d);
    EXPECT_EQ(firstSound(out, a + 1), a + d + firstEcho) << which;
    EXPECT_LT(maxDiff(out, want, frames), 1e-7f) << which;
    EXPECT_GT(peak(channel(out, 0), b + d, b + d + 20000), 1e-3f) << which;
  }
}

// A stall drains the queue while the room rings: the server plays silence,
// and the room goes on after the gap where it stood, as the instruments do.
TEST(Room, StandsStillThroughAStallThatDrainsTheQueue) {
  ClickRig rig(&kQueues[0]);
  const uint32_t d = RoomPath(kRoomRate).preDelayFrames();
  const uint64_t at = rig.click(3000);
  rig.player.reach(at + 5000);
  const uint64_t end = rig.player.queue->queuedEnd();
  rig.player.queue->play(2 * kQueues[0].queueFrames, false);
  ASSERT_GE(rig.player.queue->underruns(), 1u);
  const uint64_t resume = rig.player.queue->taken() + kQueues[0].guardFrames;
  rig.player.queue->service();   // the audio thread wakes again
  const auto& out = rig.player.heard(resume + 30000);

  const auto want = clicksAndRoom({at}, end + 30000, d);
  EXPECT_EQ(maxDiff(out, want, end), 0.0f);
  EXPECT_EQ(firstSound(out, end), resume);
  float worst = 0.0f;
  for (size_t i = 0; i < 30000 * 2; ++i) worst = std::max(worst, std::fabs(out[resume * 2 + i] - want[end * 2 + i]));
  EXPECT_EQ(worst, 0.0f);
  EXPECT_GT(peak(channel(out, 0), resume, resume + 10000), 1e-4f);
}

// The room rests once it has rung out, and not before: a graph can tell
// silence from it.
TEST(Room, RingsOutAndRests) {
  for (const auto* queue : {&kQueues[0], static_cast<const SimulatedOutput::Config*>(nullptr)}) {
    ClickRig rig(queue);
    const uint64_t at = rig.click(3000);
    uint64_t rest = 0, heardRinging = 0;
    for (uint64_t f = at + 256; f < at + 5 * kRoomRate && !rest; f += 256) {
      rig.player.reach(f);
      if (!rig.engine.synthRendering()) rest = rig.engine.written();
      else if (f > at + kRoomRate / 2) heardRinging = f;
    }
    ASSERT_GT(rest, 0u) << "the room never rested";
    EXPECT_GT(heardRinging, 0u) << "rested before half a second";
    const auto& out = rig.player.heard(rest + kRoomRate);
    EXPECT_GT(peak(channel(out, 0), at + 1, at + kRoomRate / 2), 1e-3f);
    EXPECT_LT(peak(channel(out, 0), rest - kRoomRate / 10, rest), 1e-6f) << "cut off while ringing";
    EXPECT_EQ(firstSound(out, rest), SIZE_MAX);
  }
}

// ---- one performance, every output ----

class Performance : public ::testing::TestWithParam<SimulatedOutput::Config> {};

// Overlapping strikes on the real synthesizer with the room on, each
// landing at the same frame on both outputs (behind a queue, inside the
// audio already queued).
TEST_P(Performance, SoundsTheSameThroughAQueueAndThroughAGraph) {
  if (existingSoundfonts(defaultSoundfontSearch()).empty()) GTEST_SKIP() << "no General MIDI soundfont installed";
  const SimulatedOutput::Config config = GetParam();
  const std::pair<uint64_t, int> plan[] = {{5000, 64}, {7000, 67},  {9300, 71}, {9800, 76},
                                           {16000, 60}, {17000, 81}, {19500, 72}};
  const size_t frames = 19500 + 4 * kRoomRate;

  std::vector<uint64_t> landed;   // where the queue put each strike; the graph follows
  auto perform = [&](bool graph, bool room, uint64_t* rewritten) {
    Player player;
    SoundSystemOptions o;
    o.sampleRate = kRoomRate;
    o.poolSize = 8;
    o.room = room;
    o.makeOutput = [&] { return player.make(graph ? nullptr : &config); };
    SoundSystem sound(o);
    HMIDIOUT h = 0;
    EXPECT_EQ(sound.midiOutOpen(&h, MIDI_MAPPER), MMSYSERR_NOERROR);
    sound.midiOutShortMsg(h, programChange(24));
    for (size_t i = 0; i < std::size(plan); ++i) {
      const uint64_t at = player.reach(landed.size() > i ? landed[i] : plan[i].first);
      if (landed.size() <= i) landed.push_back(at);
      sound.midiOutShortMsg(h, noteOn(plan[i].second));
      player.sent();
    }
    std::vector<float> out = player.heard(frames);
    *rewritten = sound.engine().framesRewritten();
    if (player.queue) EXPECT_EQ(player.queue->refusedFrames(), 0u);
    out.resize(frames * 2);
    return out;
  };
  uint64_t rewritten = 0, none = 0;
  const auto queued = perform(false, true, &rewritten);
  const auto graph = perform(true, true, &none);
  const auto dry = perform(true, false, &none);
  EXPECT_GT(rewritten, 0u);

  EXPECT_LT(maxDiff(queued, graph, frames), 1e-6f);
  // The room is in it: the tail after the last strike differs from the dry
  // sound by more than rounding.
  std::vector<float> wet(frames);
  for (size_t f = 0; f < frames; ++f) wet[f] = graph[f * 2] - dry[f * 2];
  EXPECT_GT(rms(wet, landed.back(), frames), 1e-4);
}

INSTANTIATE_TEST_SUITE_P(Queues, Performance, ::testing::ValuesIn(kQueues),
                         [](const auto& info) { return "Queue" + std::to_string(info.param.queueFrames); });

// ---- the reverb ----

// Fed in pieces of any size, or handed over to another reverb part way
// (as the room is when it runs again), the reverb gives the same.
TEST(RoomReverbState, TheSameWhateverThePiecesAndAfterAHandOver) {
  std::mt19937 rng(7);
  const uint32_t frames = 60000;
  std::vector<float> in(frames, 0.0f);
  for (uint32_t f = 1000; f < 9000; ++f) in[f] = 0.3f * float(std::sin(0.02 * f)) * float(rng() % 100) / 100.0f;
  in[40000] = 0.5f;   // after the room has rested

  std::vector<float> whole(frames * 2, 0.0f), pieces(frames * 2, 0.0f);
  RoomReverb one(kRoomRate), a(kRoomRate), b(kRoomRate);
  one.process(in.data(), whole.data(), frames);
  RoomReverb* feeding = &a;
  for (uint32_t f = 0; f < frames;) {
    const uint32_t n = std::min<uint32_t>(frames - f, 1 + rng() % 3000);
    feeding->process(in.data() + f, pieces.data() + size_t(f) * 2, n);
    f += n;
    if (rng() % 4 == 0) {   // the other one takes over
      RoomReverb* other = feeding == &a ? &b : &a;
      other->assign(*feeding);
      feeding = other;
    }
  }
  EXPECT_EQ(whole, pieces);
  EXPECT_GT(peak(channel(whole, 0), 40000, 45000), 1e-4f);
}
