// SPDX-License-Identifier: GPL-3.0-or-later
// The synthesizer path through the real FluidSynth and soundfont, rendered
// offline: pitch, program changes, opening and closing the device, the
// recorder's tap, and the soundfont search.
#include "platform/audio/audio_thread/midi_message.h"
#include "platform/audio/calls/sound_system.h"
#include "sound_test_util.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <thread>

using namespace platform;
using namespace soundtest;

namespace {


// An offline sound system with the device open.
struct Device : ::testing::Test {
  SoundSystem sound{SoundSystemOptions::offline()};
  AudioEngine& engine = sound.engine();
  HMIDIOUT h = 0;

  void SetUp() override {
    ASSERT_EQ(sound.midiOutOpen(&h, MIDI_MAPPER), MMSYSERR_NOERROR) << sound.lastError();
  }
  void send(uint32_t msg) { ASSERT_EQ(sound.midiOutShortMsg(h, msg), MMSYSERR_NOERROR); }
  void reopen() {
    ASSERT_EQ(sound.midiOutClose(h), MMSYSERR_NOERROR);
    ASSERT_EQ(sound.midiOutOpen(&h, MIDI_MAPPER), MMSYSERR_NOERROR);
  }
  // Silence everything and let the room die away before the next sound.
  void quiet() {
    send(controller(120, 0));
    render(engine, 44100 * 2, 512);
  }
  // Left channel of `seconds` after a program change and a note-on.
  std::vector<float> pluck(int program, int note, double seconds = 0.6) {
    send(programChange(program));
    send(noteOn(note));
    return channel(render(engine, size_t(seconds * kRate)), 0);
  }
};

class FixedOutput : public AudioOutput {
public:
  explicit FixedOutput(bool opens) : opens_(opens) {}
  bool start(AudioEngine&) override { return running_ = opens_; }
  void stop() override { running_ = false; }
  bool running() const override { return running_; }
  double latencyMs() override { return 0.0; }
  uint32_t periodFrames() const override { return 256; }
  uint32_t queueFrames() const override { return 512; }
  uint64_t underruns() const override { return 0; }
  std::string describe() const override { return "test output"; }

private:
  bool opens_;
  bool running_ = false;
};

}  // namespace

// ---- pitch and tone ----

TEST_F(Device, NoteOnSoundsAtItsPitch) {
  const auto a4 = pluck(24, 69);   // nylon guitar
  EXPECT_GT(peak(a4), 0.05f);
  EXPECT_NEAR(pitchHz(a4, 6615, 13230), 440.0, 4.4);
  quiet();
  const auto a5 = pluck(24, 81);
  EXPECT_NEAR(pitchHz(a5, 6615, 13230), 880.0, 8.8);
  quiet();
  const auto c5 = pluck(32, 72);   // the third tone, an octave step lower in the program
  EXPECT_NEAR(pitchHz(c5, 6615, 13230), 523.25, 5.2);
}

TEST_F(Device, ProgramChangeChangesTheSound) {
  auto shape = [&](int program) {
    quiet();
    const auto x = pluck(program, 72, 0.5);
    return spectrum(x, 2205, 8192);
  };
  const auto guitar = shape(24), guitarAgain = shape(24), other = shape(116);
  const double same = spectralDistance(guitar, guitarAgain);
  const double changed = spectralDistance(guitar, other);
  // The room's reverb tail differs a little between two plucks of one
  // program; two programs differ in every harmonic.
  EXPECT_LT(same, 0.25);
  EXPECT_GT(changed, 0.5);
  EXPECT_GT(changed, 5 * same);
}

TEST_F(Device, ChannelMessagesBeyondNoteOnAreHonoured) {
  // Note-off ends a sustained note early; volume 0 mutes; pitch bend bends.
  send(programChange(0));   // piano: rings for seconds unless released
  send(noteOn(60));
  const auto held = channel(render(engine, 44100), 0);
  quiet();
  send(noteOn(60));
  render(engine, 4410);
  send(0x80 | 60 << 8);   // note-off
  const auto released = channel(render(engine, 44100 - 4410), 0);
  EXPECT_LT(rms(released, 22050 - 4410, 44100 - 4410), 0.1 * rms(held, 22050, 44100));

  quiet();
  send(controller(7, 0));
  const auto muted = pluck(24, 69, 0.3);
  EXPECT_LT(peak(muted), 1e-3f);

  quiet();
  send(controller(7, 100));
  send(0xE0 | 0x7F << 8 | 0x7F << 16);   // bend fully up: two semitones
  const auto bent = pluck(24, 69);
  EXPECT_NEAR(pitchHz(bent, 6615, 13230), 493.88, 4.9);
}

TEST_F(Device, MalformedMessagesAreIgnored) {
  EXPECT_TRUE(MidiMessage(programChange(116)).isChannelVoice());
  EXPECT_TRUE(MidiMessage(programChange(24) | 0xFF0000).isChannelVoice());   // unused byte not looked at
  EXPECT_TRUE(MidiMessage(noteOn(96, 127, 15)).isChannelVoice());
  EXPECT_FALSE(MidiMessage(0x45).isChannelVoice());                // no status byte
  EXPECT_FALSE(MidiMessage(0xFF).isChannelVoice());                // system reset
  EXPECT_FALSE(MidiMessage(0xF8).isChannelVoice());                // clock
  EXPECT_FALSE(MidiMessage(0x90 | 0x80 << 8).isChannelVoice());    // data byte with the high bit
  EXPECT_FALSE(MidiMessage(noteOn(60) | 0x800000).isChannelVoice());

  send(programChange(24));
  for (uint32_t bad : {0x45u, 0xF8u, 0x90u | 0xC5u << 8 | 0x7Fu << 16, 0x90u | 60u << 8 | 0xFFu << 16})
    EXPECT_EQ(sound.midiOutShortMsg(h, bad), MMSYSERR_NOERROR);   // taken, and dropped
  EXPECT_FALSE(engine.sendMidi(0x90u | 60u << 8 | 0xFFu << 16));
  EXPECT_LT(peak(render(engine, 8820)), 1e-6f);
}

// ---- opening and closing ----

TEST_F(Device, HandlesDeviceIdsAndStaleHandles) {
  HMIDIOUT other = 0;
  EXPECT_NE(h, 0);
  EXPECT_EQ(sound.midiOutOpen(&other, 0), MMSYSERR_ALLOCATED);   // already open
  EXPECT_EQ(sound.midiOutShortMsg(h + 1, noteOn(60)), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(sound.midiOutClose(h + 1), MMSYSERR_INVALHANDLE);

  const HMIDIOUT old = h;
  EXPECT_EQ(sound.midiOutClose(h), MMSYSERR_NOERROR);
  EXPECT_EQ(sound.midiOutClose(h), MMSYSERR_INVALHANDLE);          // closed already
  EXPECT_EQ(sound.midiOutShortMsg(old, noteOn(60)), MMSYSERR_INVALHANDLE);

  EXPECT_EQ(sound.midiOutOpen(&other, 3), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(sound.midiOutOpen(&other, -2), MMSYSERR_BADDEVICEID);
  EXPECT_NE(sound.midiOutOpen(nullptr, MIDI_MAPPER), MMSYSERR_NOERROR);
  EXPECT_EQ(sound.midiOutOpen(&other, 0), MMSYSERR_NOERROR);
  EXPECT_NE(other, 0);
  EXPECT_NE(other, old);                                            // a fresh handle
  EXPECT_EQ(sound.midiOutShortMsg(old, noteOn(60)), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(sound.midiOutShortMsg(other, noteOn(60)), MMSYSERR_NOERROR);
  EXPECT_EQ(sound.soundfontLoads(), 1);
}

TEST_F(Device, MessagesWhileClosedAreSilent) {
  const HMIDIOUT old = h;
  ASSERT_EQ(sound.midiOutClose(h), MMSYSERR_NOERROR);
  render(engine, 44100 * 4, 512);   // whatever rang has died away by now
  EXPECT_FALSE(engine.synthRendering());
  EXPECT_EQ(sound.midiOutShortMsg(old, programChange(24)), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(sound.midiOutShortMsg(old, noteOn(69)), MMSYSERR_INVALHANDLE);
  EXPECT_FALSE(engine.sendMidi(noteOn(69)));
  const uint64_t dispatched = engine.midiDispatched();
  EXPECT_EQ(peak(render(engine, 22050)), 0.0f);
  EXPECT_EQ(engine.midiDispatched(), dispatched);
}

TEST_F(Device, CloseLetsRingingNotesDieAwayWithoutAClick) {
  send(programChange(0));
  for (int note : {60, 64, 67}) send(noteOn(note));
  const auto before = channel(render(engine, 13230), 0);
  ASSERT_EQ(sound.midiOutClose(h), MMSYSERR_NOERROR);
  const auto after = channel(render(engine, size_t(4 * kRate)), 0);

  auto maxStep = [](const std::vector<float>& x, size_t from, size_t to) {
    float m = 0.0f;
    for (size_t i = from + 1; i < to; ++i) m = std::max(m, std::fabs(x[i] - x[i - 1]));
    return m;
  };
  std::vector<float> joined(before.end() - 882, before.end());
  joined.insert(joined.end(), after.begin(), after.begin() + 882);
  // No jump at the close, and the chord fades rather than stops.
  EXPECT_LE(maxStep(joined, 0, joined.size()), 1.5f * maxStep(before, before.size() - 4410, before.size()));
  EXPECT_GT(rms(after, 0, 441), 0.3 * rms(before, before.size() - 441, before.size()));
  EXPECT_LT(rms(after, 22050, 26460), 0.1 * rms(before, before.size() - 4410, before.size()));
  // And then the synthesizer rests in true silence.
  EXPECT_EQ(peak(after, size_t(3.5 * kRate)), 0.0f);
  EXPECT_FALSE(engine.synthRendering());
}

TEST_F(Device, AnOpenDeviceRestsWhenSilentAndWakesForTheNextNote) {
  send(programChange(24));
  send(noteOn(69));
  render(engine, 512, 512);
  EXPECT_TRUE(engine.synthRendering());
  // The note is stopped and the room's reverb dies away; then the synth is
  // not rendered.
  send(controller(120, 0));
  const auto tail = channel(render(engine, size_t(4 * kRate), 512), 0);
  EXPECT_GT(peak(tail, 0, 4410), 1e-4f);   // the reverb still rings at first
  EXPECT_FALSE(engine.synthRendering());
  EXPECT_EQ(peak(tail, tail.size() - 4410), 0.0f);

  // The next note sounds in the very next block, at its pitch.
  send(noteOn(69));
  const auto x = channel(render(engine, 26460, 512), 0);
  EXPECT_TRUE(engine.synthRendering());
  EXPECT_GT(peak(x, 0, 512), 0.01f);
  EXPECT_NEAR(pitchHz(x, 6615, 13230), 440.0, 4.4);
}

TEST_F(Device, ReopenStartsFromACleanState) {
  send(programChange(116));
  send(controller(7, 10));
  send(0xE0 | 0x7F << 8 | 0x7F << 16);
  reopen();
  send(noteOn(69));   // no program change: the device's default (piano), unbent, full volume
  const auto x = channel(render(engine, 26460), 0);
  EXPECT_NEAR(pitchHz(x, 6615, 13230), 440.0, 4.4);
  EXPECT_GT(peak(x), 0.05f);
  quiet();
  const auto piano = pluck(0, 69, 0.6);
  EXPECT_LT(spectralDistance(spectrum(x, 2205, 8192), spectrum(piano, 2205, 8192)), 0.25);
}

TEST_F(Device, CloseAndOpenKeepTheLoopRunningAndTheSoundfontLoaded) {
  testing_support::ScratchDir dir;
  const size_t n = 700;
  std::vector<float> loop(n * 2);
  for (size_t i = 0; i < loop.size(); ++i) loop[i] = 0.4f * float(std::sin(0.05 * double(i)));
  ASSERT_TRUE(writeFloatWav(dir.path + "loop.wav", loop, 2, 44100));
  ASSERT_EQ(sound.sndPlaySound((dir.path + "loop.wav").c_str(), SND_ASYNC | SND_LOOP), 1);

  std::vector<float> out;
  for (int round = 0; round < 6; ++round) {
    const auto part = render(engine, 1111, 256);
    out.insert(out.end(), part.begin(), part.end());
    reopen();   // as a tone change does
    send(programChange(round % 2 ? 24 : 116));
  }
  // The synth plays no note, so the output is the loop itself (the room
  // reverb idles a few millionths above zero), without a gap at any reopen.
  for (size_t i = 0; i < out.size() / 2; ++i) {
    ASSERT_NEAR(out[i * 2], loop[(i % n) * 2], 1e-6) << "frame " << i;
    ASSERT_NEAR(out[i * 2 + 1], loop[(i % n) * 2 + 1], 1e-6) << "frame " << i;
  }
  EXPECT_EQ(sound.soundfontLoads(), 1);
}

// ---- the recorder's tap ----

namespace {
struct CollectingTap : AudioTap {
  std::vector<float> got;
  int calls = 0;
  void onMix(const float* x, uint32_t frames) noexcept override {
    got.insert(got.end(), x, x + size_t(frames) * 2);
    ++calls;
  }
};
}  // namespace

TEST_F(Device, TapHearsExactlyTheOutputFromTheBlockAfterAttach) {
  testing_support::ScratchDir dir;
  std::vector<float> loud(2 * 3000, 0.95f);   // loud enough for the sum to clip
  ASSERT_TRUE(writeFloatWav(dir.path + "loud.wav", loud, 2, 44100));
  send(programChange(24));
  send(noteOn(69));
  ASSERT_EQ(sound.sndPlaySound((dir.path + "loud.wav").c_str(), SND_ASYNC | SND_LOOP), 1);

  TapHost& host = sound.tapHost();
  EXPECT_EQ(host.sampleRate(), 44100u);
  CollectingTap tap;
  render(engine, 2000, 250);
  host.attachTap(&tap);
  std::vector<float> sent;
  for (uint32_t block : {256u, 77u, 512u, 1u, 300u, 1024u}) {
    std::vector<float> b(size_t(block) * 2);
    engine.render(b.data(), block);
    sent.insert(sent.end(), b.begin(), b.end());
  }
  host.detachTap(&tap);
  render(engine, 2000);
  EXPECT_EQ(tap.calls, 6);
  ASSERT_EQ(tap.got.size(), sent.size());
  EXPECT_EQ(tap.got, sent);
  // What the tap hears is the clipped mix: the note's crests are cut at 1.
  EXPECT_LE(*std::max_element(sent.begin(), sent.end()), 1.0f);
  EXPECT_GT(std::count(sent.begin(), sent.end(), 1.0f), 10);
}

TEST(EngineTap, AfterDetachTheAudioThreadNeverTouchesTheTap) {
  AudioEngine engine;
  std::atomic<bool> run{true};
  std::thread audio([&] {
    std::vector<float> block(64 * 2);
    while (run.load()) engine.render(block.data(), 64);
  });
  struct GuardTap : AudioTap {
    std::atomic<bool> allowed{false};
    std::atomic<int> calls{0}, violations{0};
    void onMix(const float*, uint32_t) noexcept override {
      ++calls;
      if (!allowed.load()) ++violations;
    }
  } tap;
  for (int i = 0; i < 2000; ++i) {
    tap.allowed = true;
    engine.attachTap(&tap);
    // Let the audio thread render while the tap is on (it may not have been
    // scheduled at all on a busy machine); the first iterations wait for a
    // whole block, the rest only yield, to race attach and detach.
    if (i < 50) {
      const uint64_t seen = engine.blocksRendered();
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
      while (engine.blocksRendered() < seen + 2 && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    } else {
      std::this_thread::yield();
    }
    engine.detachTap(&tap);
    tap.allowed = false;
  }
  run = false;
  audio.join();
  EXPECT_GT(tap.calls.load(), 0);
  EXPECT_EQ(tap.violations.load(), 0);
}

// ---- finding the soundfont ----

TEST(Soundfonts, SearchOrderIsFixed) {
  const std::vector<std::string> want = {
      "/usr/share/sounds/sf2/default-GM.sf2",     "/usr/share/sounds/sf3/default-GM.sf3",
      "/usr/share/sounds/sf2/FluidR3_GM.sf2",     "/usr/share/sounds/sf3/FluidR3Mono_GM.sf3",
      "/usr/share/sounds/sf2/TimGM6mb.sf2",       "/usr/share/soundfonts/default.sf2",
      "/usr/share/soundfonts/FluidR3_GM.sf2"};
  EXPECT_EQ(defaultSoundfontSearch(), want);
}

TEST(Soundfonts, OnlyExistingFilesInTheirOrder) {
  testing_support::ScratchDir dir;
  std::ofstream(dir.path + "b.sf2") << "x";
  std::ofstream(dir.path + "c.sf2") << "x";
  std::ofstream(dir.path + "empty.sf2").close();
  ASSERT_EQ(::mkdir((dir.path + "dir.sf2").c_str(), 0700), 0);
  const auto found = existingSoundfonts({dir.path + "missing.sf2", dir.path + "c.sf2",
                                         dir.path + "dir.sf2", dir.path + "empty.sf2",
                                         dir.path + "b.sf2"});
  EXPECT_EQ(found, (std::vector<std::string>{dir.path + "c.sf2", dir.path + "b.sf2"}));
}

TEST(Soundfonts, AFileThatIsNoSoundfontIsPassedOver) {
  const auto installed = existingSoundfonts(defaultSoundfontSearch());
  if (installed.empty()) GTEST_SKIP() << "no General MIDI soundfont installed";
  testing_support::ScratchDir dir;
  std::ofstream(dir.path + "fake.sf2") << "RIFF....not a soundfont at all";
  SoundSystemOptions options = SoundSystemOptions::offline();
  options.soundfonts = {dir.path + "fake.sf2", installed.front()};
  SoundSystem sound(options);
  HMIDIOUT h = 0;
  EXPECT_EQ(sound.midiOutOpen(&h, MIDI_MAPPER), MMSYSERR_NOERROR);
  EXPECT_EQ(sound.soundfontPath(), installed.front());
}

TEST(Soundfonts, NoSoundfontMeansTheDeviceDoesNotOpen) {
  testing_support::ScratchDir dir;
  std::ofstream(dir.path + "fake.sf2") << "not a soundfont";
  SoundSystemOptions options = SoundSystemOptions::offline();
  options.soundfonts = {dir.path + "missing.sf2", dir.path + "fake.sf2"};
  SoundSystem sound(options);
  HMIDIOUT h = 0;
  EXPECT_NE(sound.midiOutOpen(&h, MIDI_MAPPER), MMSYSERR_NOERROR);
  EXPECT_EQ(h, 0);
  EXPECT_FALSE(sound.lastError().empty());
  EXPECT_EQ(sound.midiOutShortMsg(h, noteOn(60)), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(sound.soundfontLoads(), 0);
}

TEST(SoundOutput, NoOutputMeansNothingOpensOrPlays) {
  testing_support::ScratchDir dir;
  ASSERT_TRUE(writeFloatWav(dir.path + "a.wav", std::vector<float>(200, 0.5f), 2, 44100));
  SoundSystemOptions options;
  int made = 0;
  options.makeOutput = [&] {
    ++made;
    return std::make_unique<FixedOutput>(false);
  };
  SoundSystem sound(options);
  HMIDIOUT h = 0;
  EXPECT_NE(sound.midiOutOpen(&h, MIDI_MAPPER), MMSYSERR_NOERROR);
  EXPECT_EQ(h, 0);
  EXPECT_EQ(sound.sndPlaySound((dir.path + "a.wav").c_str(), SND_ASYNC), 0);
  EXPECT_EQ(sound.output(), nullptr);
  EXPECT_GE(made, 2);   // every call tries again: a sound server may have come up since
  EXPECT_EQ(sound.soundfontLoads(), 0);   // no time spent loading for a device that cannot play
}

TEST(SoundOutput, OutputStartsOnceAndStays) {
  testing_support::ScratchDir dir;
  ASSERT_TRUE(writeFloatWav(dir.path + "a.wav", std::vector<float>(200, 0.5f), 2, 44100));
  SoundSystemOptions options;
  int made = 0;
  options.makeOutput = [&] {
    ++made;
    return std::make_unique<FixedOutput>(true);
  };
  SoundSystem sound(options);
  EXPECT_EQ(sound.output(), nullptr);   // nothing starts before sound is needed
  EXPECT_EQ(sound.sndPlaySound((dir.path + "a.wav").c_str(), SND_ASYNC), 1);
  HMIDIOUT h = 0;
  ASSERT_EQ(sound.midiOutOpen(&h, MIDI_MAPPER), MMSYSERR_NOERROR);
  ASSERT_EQ(sound.midiOutClose(h), MMSYSERR_NOERROR);
  ASSERT_EQ(sound.midiOutOpen(&h, MIDI_MAPPER), MMSYSERR_NOERROR);
  EXPECT_EQ(made, 1);
  ASSERT_NE(sound.output(), nullptr);
  EXPECT_TRUE(sound.output()->running());
}
