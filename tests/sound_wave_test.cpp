// SPDX-License-Identifier: GPL-3.0-or-later
// The wave-sound channel behind sndPlaySoundA, rendered offline: decoding,
// rate conversion, once / looping / synchronous play, replacing and stopping.
#include "platform/audio/calls/sound_system.h"
#include "sound_test_util.h"
#include "support/support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

using namespace platform;
using namespace soundtest;

namespace {

// A sound system with no output and no soundfont: the wave channel alone.
struct WaveFixture : ::testing::Test {
  testing_support::ScratchDir dir;
  SoundSystem sound{SoundSystemOptions::offline()};
  AudioEngine& engine = sound.engine();

  std::string path(const std::string& name) { return dir.path + name; }
};

// Distinct values in every frame so that a misplaced sample shows.
std::vector<float> pattern(size_t frames, int channels, float scale = 0.5f) {
  std::vector<float> x(frames * size_t(channels));
  for (size_t i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c)
      x[i * channels + c] = scale * float(std::sin(0.013 * double(i) * (c + 1) + 0.3 * c) *
                                          (0.5 + 0.5 * double(i % 97) / 97.0));
  return x;
}

std::vector<float> sine(double hz, int rate, size_t frames, float amp = 0.5f) {
  std::vector<float> x(frames);
  for (size_t i = 0; i < frames; ++i) x[i] = amp * float(std::sin(2 * M_PI * hz * double(i) / rate));
  return x;
}

}  // namespace

TEST_F(WaveFixture, AsyncSoundPlaysOnceExactlyThenSilence) {
  const auto src = pattern(3000, 2);
  ASSERT_TRUE(writeFloatWav(path("a.wav"), src, 2, 44100));

  EXPECT_EQ(sound.sndPlaySound(path("a.wav").c_str(), SND_ASYNC | SND_NODEFAULT), 1);
  const auto out = render(engine, 5000, 300);   // block size not dividing the sound
  for (size_t i = 0; i < 3000 * 2; ++i) ASSERT_EQ(out[i], src[i]) << "sample " << i;
  EXPECT_EQ(peak(out, 3000 * 2), 0.0f);
  EXPECT_EQ(engine.wave().playingId(), 0u);
  EXPECT_EQ(engine.wave().buffersHeld(), 0u);   // the finished sound's buffer is given back
}

TEST_F(WaveFixture, MonoPcm16GoesToBothSides) {
  const auto q = toPcm16(pattern(2000, 1, 0.9f));
  ASSERT_TRUE(writePcm16Wav(path("m.wav"), q, 1, 44100));
  ASSERT_EQ(sound.sndPlaySound(path("m.wav").c_str(), SND_ASYNC), 1);
  const auto out = render(engine, 2000, 256);
  for (size_t i = 0; i < 2000; ++i) {
    ASSERT_EQ(out[i * 2], float(q[i]) / 32768.0f) << "frame " << i;
    ASSERT_EQ(out[i * 2 + 1], out[i * 2]) << "frame " << i;
  }
}

TEST_F(WaveFixture, LoopRepeatsWithoutGapAtExactPositions) {
  const size_t n = 1000;
  const auto q = toPcm16(pattern(n, 1));
  ASSERT_TRUE(writePcm16Wav(path("loop.wav"), q, 1, 44100));
  ASSERT_EQ(sound.sndPlaySound(path("loop.wav").c_str(), SND_ASYNC | SND_LOOP), 1);
  const auto out = render(engine, n * 5 + 123, 333);
  for (size_t i = 0; i < n * 5 + 123; ++i) {
    const float want = float(q[i % n]) / 32768.0f;
    ASSERT_EQ(out[i * 2], want) << "frame " << i << " (pass " << i / n << ")";
    ASSERT_EQ(out[i * 2 + 1], want) << "frame " << i;
  }
  EXPECT_NE(engine.wave().playingId(), 0u);
}

TEST_F(WaveFixture, ResampledLoopStaysContinuousAcrossWraps) {
  // 45 whole cycles of 441 Hz at 22050 Hz: the loop is a seamless sine, and
  // so must the converted output be, wraps included.
  const size_t n = 2250;
  ASSERT_TRUE(writePcm16Wav(path("l22.wav"), toPcm16(sine(441.0, 22050, n, 0.6f)), 1, 22050));
  ASSERT_EQ(sound.sndPlaySound(path("l22.wav").c_str(), SND_ASYNC | SND_LOOP), 1);
  const size_t frames = n * 2 * 4;   // four passes at 44.1 kHz
  const auto out = channel(render(engine, frames, 256), 0);
  double worst = 0.0;
  for (size_t i = 0; i < frames; ++i) {
    const double want = 0.6 * std::sin(2 * M_PI * 441.0 * double(i) / 44100.0);
    worst = std::max(worst, std::fabs(out[i] - want));
  }
  EXPECT_LT(worst, 2e-3);   // PCM16 rounding and the converter's ripple, no click
}

TEST_F(WaveFixture, ConversionKeepsPitchAndLength) {
  struct Case {
    int rate;
    bool stereo;
    bool floatFormat;
  };
  for (const Case c : {Case{22050, false, false}, Case{48000, true, true}, Case{48000, false, false},
                       Case{22050, true, true}}) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz " << (c.stereo ? "stereo " : "mono ")
                                    << (c.floatFormat ? "float" : "PCM16"));
    const size_t n = size_t(c.rate) / 2;   // half a second
    const auto tone = sine(1000.0, c.rate, n, 0.5f);
    std::vector<float> data;
    for (size_t i = 0; i < n; ++i) {
      data.push_back(tone[i]);
      if (c.stereo) data.push_back(0.0f);   // right side silent
    }
    const std::string file = path("tone" + std::to_string(c.rate) + ".wav");
    const int ch = c.stereo ? 2 : 1;
    ASSERT_TRUE(c.floatFormat ? writeFloatWav(file, data, ch, c.rate)
                              : writePcm16Wav(file, toPcm16(data), ch, c.rate));
    ASSERT_EQ(sound.sndPlaySound(file.c_str(), SND_ASYNC), 1);
    const auto out = render(engine, 30000, 512);
    const auto left = channel(out, 0), right = channel(out, 1);
    EXPECT_NEAR(pitchHz(left, 2000, 8192), 1000.0, 5.0);
    EXPECT_NEAR(rms(left, 2000, 18000), 0.5 / std::sqrt(2.0), 0.01);
    if (c.stereo) EXPECT_LT(peak(right), 1e-3f);
    else EXPECT_EQ(peak(right), peak(left));
    // It lasts as long as the file: half a second at 44.1 kHz, then silence.
    EXPECT_GT(rms(left, 21000, 22000), 0.3);
    EXPECT_LT(peak(left, 22050 + 40), 1e-6f);
  }
}

TEST_F(WaveFixture, StartingASoundEndsThePreviousOne) {
  const auto a = pattern(4000, 2, 0.3f);
  const auto b = pattern(1500, 2, -0.7f);
  ASSERT_TRUE(writeFloatWav(path("a.wav"), a, 2, 44100));
  ASSERT_TRUE(writeFloatWav(path("b.wav"), b, 2, 44100));
  ASSERT_EQ(sound.sndPlaySound(path("a.wav").c_str(), SND_ASYNC | SND_LOOP), 1);
  render(engine, 1000);
  ASSERT_EQ(sound.sndPlaySound(path("b.wav").c_str(), SND_ASYNC), 1);
  const auto out = render(engine, 3000, 256);
  for (size_t i = 0; i < 1500 * 2; ++i) ASSERT_EQ(out[i], b[i]) << "sample " << i;
  EXPECT_EQ(peak(out, 1500 * 2), 0.0f);   // the loop did not come back
}

TEST_F(WaveFixture, NullNameStopsWhateverPlays) {
  ASSERT_TRUE(writeFloatWav(path("a.wav"), pattern(500, 2), 2, 44100));
  ASSERT_EQ(sound.sndPlaySound(path("a.wav").c_str(), SND_ASYNC | SND_LOOP), 1);
  EXPECT_GT(peak(render(engine, 2000)), 0.1f);
  EXPECT_EQ(sound.sndPlaySound(nullptr, SND_NODEFAULT), 1);
  EXPECT_EQ(peak(render(engine, 2000)), 0.0f);
  // Stopping a silent channel is fine too.
  EXPECT_EQ(sound.sndPlaySound(nullptr, SND_NODEFAULT), 1);
  EXPECT_EQ(engine.wave().buffersHeld(), 0u);
}

TEST_F(WaveFixture, UnplayableFilesPlayNothingAndFail) {
  {
    std::ofstream junk(path("junk.wav"), std::ios::binary);
    for (int i = 0; i < 4096; ++i) junk.put(char((i * 37) & 0xFF));
  }
  std::ofstream(path("empty.wav")).close();
  ASSERT_EQ(::mkdir(path("folder.wav").c_str(), 0700), 0);
  ASSERT_TRUE(writeFloatWav(path("loop.wav"), pattern(500, 2), 2, 44100));

  for (const std::string name : {"missing.wav", "junk.wav", "empty.wav", "folder.wav"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(sound.sndPlaySound(path("loop.wav").c_str(), SND_ASYNC | SND_LOOP), 1);
    render(engine, 512);
    EXPECT_EQ(sound.sndPlaySound(path(name).c_str(), SND_ASYNC | SND_NODEFAULT), 0);
    EXPECT_EQ(sound.sndPlaySound(path(name).c_str(), SND_ASYNC), 0);   // no default sound either
    // The channel was taken over: the loop is gone and nothing replaces it.
    EXPECT_EQ(peak(render(engine, 2048)), 0.0f);
  }
}

TEST_F(WaveFixture, OddSamplesAreTamed) {
  // Non-finite samples become silence; the mix is clipped to [-1, 1].
  std::vector<float> odd = {0.25f, std::nanf(""), 1.5f, -3.0f, INFINITY, 0.5f, -0.5f, 2.0f};
  ASSERT_TRUE(writeFloatWav(path("odd.wav"), odd, 2, 44100));
  ASSERT_EQ(sound.sndPlaySound(path("odd.wav").c_str(), SND_ASYNC), 1);
  const auto out = render(engine, 4, 4);
  const std::vector<float> want = {0.25f, 0.0f, 1.0f, -1.0f, 0.0f, 0.5f, -0.5f, 1.0f};
  EXPECT_EQ(out, want);
}

TEST_F(WaveFixture, ChangedFileIsReadAgain) {
  // The recorder rewrites its take under the same name between plays.
  ASSERT_TRUE(writeFloatWav(path("take.wav"), pattern(800, 2, 0.2f), 2, 44100));
  ASSERT_EQ(sound.sndPlaySound(path("take.wav").c_str(), SND_ASYNC), 1);
  render(engine, 1000);
  const auto second = pattern(1200, 2, -0.4f);
  ASSERT_TRUE(writeFloatWav(path("take.wav"), second, 2, 44100));
  ASSERT_EQ(sound.sndPlaySound(path("take.wav").c_str(), SND_ASYNC), 1);
  const auto out = render(engine, 1200);
  for (size_t i = 0; i < second.size(); ++i) ASSERT_EQ(out[i], second[i]) << "sample " << i;
}

TEST_F(WaveFixture, SynchronousPlayReturnsWhenTheSoundHasEnded) {
  // An audio thread that renders at the output's pace.
  std::atomic<bool> run{true};
  std::thread audio([&] {
    std::vector<float> block(256 * 2);
    auto next = std::chrono::steady_clock::now();
    while (run.load()) {
      engine.render(block.data(), 256);
      next += std::chrono::microseconds(5805);
      std::this_thread::sleep_until(next);
    }
  });
  const size_t frames = 13230;   // 0.3 s
  ASSERT_TRUE(writeFloatWav(path("s.wav"), pattern(frames, 2), 2, 44100));
  const auto t0 = std::chrono::steady_clock::now();
  const uint64_t before = engine.framesRendered();
  const BOOL ok = sound.sndPlaySound(path("s.wav").c_str(), SND_SYNC);
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const uint64_t rendered = engine.framesRendered() - before;
  run = false;
  audio.join();
  EXPECT_EQ(ok, 1);
  EXPECT_GE(rendered, frames);        // the whole sound went through the engine first
  EXPECT_GT(took, 0.25);
  EXPECT_LT(took, 0.3 + 0.5);   // well before the give-up margin
  EXPECT_EQ(engine.wave().playingId(), 0u);
}

TEST_F(WaveFixture, SynchronousPlayWithoutOutputGivesUpInTime) {
  SoundSystemOptions options = SoundSystemOptions::offline();
  options.syncMarginSeconds = 0.5;
  SoundSystem stalled(options);
  const size_t frames = 8820;   // 0.2 s, and nobody renders
  ASSERT_TRUE(writeFloatWav(path("s.wav"), pattern(frames, 2), 2, 44100));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(stalled.sndPlaySound(path("s.wav").c_str(), SND_SYNC), 0);
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(took, 0.2 + 0.5 - 0.01);
  EXPECT_LT(took, 2.0);
  // The call gave the sound up: it does not start late when rendering resumes.
  EXPECT_EQ(peak(render(stalled.engine(), 4096)), 0.0f);
}

TEST_F(WaveFixture, LoopFlagNeverBlocks) {
  // A loop never ends by itself, so even without SND_ASYNC the call returns at once.
  ASSERT_TRUE(writeFloatWav(path("l.wav"), pattern(441, 2), 2, 44100));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(sound.sndPlaySound(path("l.wav").c_str(), SND_LOOP), 1);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 0.2);
  EXPECT_GT(peak(render(engine, 2000)), 0.1f);
}

TEST(WaveChannelQueue, BuffersComeBackToTheUiSideOnly) {
  // Many replacements in a row: every buffer the audio thread let go of is
  // freed by the UI side on its next call, none while still in use.
  WaveChannel wave(44100);
  auto data = std::make_shared<WaveData>();
  data->samples.assign(2 * 100, 0.25f);
  data->frames = 100;
  std::weak_ptr<const WaveData> watch = data;
  std::vector<float> block(2 * 64, 0.0f);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(wave.play(data, true));
  data.reset();
  wave.takeCommands();
  wave.renderNext(block.data(), 64);
  EXPECT_FALSE(watch.expired());   // the last one still plays
  EXPECT_EQ(wave.buffersHeld(), 1u);
  EXPECT_EQ(block[0], 0.25f);
  ASSERT_TRUE(wave.stop());
  wave.takeCommands();
  wave.renderNext(block.data(), 64);
  EXPECT_EQ(wave.buffersHeld(), 0u);
  EXPECT_TRUE(watch.expired());
}

TEST(WaveChannelQueue, FullQueueRefusesInsteadOfBlocking) {
  WaveChannel wave(44100);   // nobody mixes: commands pile up
  int accepted = 0;
  while (wave.stop() && accepted < 1000) ++accepted;
  EXPECT_GT(accepted, 8);
  EXPECT_LT(accepted, 1000);
  std::vector<float> block(2 * 16, 0.0f);
  wave.takeCommands();   // the audio thread catches up
  EXPECT_TRUE(wave.stop());
}
