// SPDX-License-Identifier: GPL-3.0-or-later
// The wave-audio device on the real audio engine and synthesizer, rendered
// offline: a take holds exactly what the output got, at the right pitch, and
// stops by itself at ten minutes.
#include "mci_test_util.h"
#include "support/support.h"

#include "platform/waveaudio/mci_device.h"
#include "platform/audio/calls/sound_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace platform;
using mci_test::readWav;
using testing_support::ScratchDir;

namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kBlock = 512;

uint32_t shortMsg(uint8_t status, uint8_t d1, uint8_t d2 = 0) {
  return status | uint32_t{d1} << 8 | uint32_t{d2} << 16;
}

int16_t pcm16(float x) { return static_cast<int16_t>(std::lrint(std::clamp(x, -1.0f, 1.0f) * 32767.0f)); }

// The fundamental of x (mono) between lo and hi Hz, by autocorrelation.
double pitch(const std::vector<double>& x, double rate, double lo, double hi) {
  const int minLag = static_cast<int>(rate / hi), maxLag = static_cast<int>(rate / lo) + 1;
  std::vector<double> r(maxLag + 2, 0.0);
  for (int lag = minLag - 1; lag <= maxLag + 1; ++lag) {
    double s = 0;
    for (std::size_t i = 0; i + lag < x.size(); ++i) s += x[i] * x[i + lag];
    r[lag] = s;
  }
  int best = minLag;
  for (int lag = minLag; lag <= maxLag; ++lag)
    if (r[lag] > r[best]) best = lag;
  // Parabolic interpolation around the peak.
  const double a = r[best - 1], b = r[best], c = r[best + 1];
  const double shift = (a - 2 * b + c) != 0 ? 0.5 * (a - c) / (a - 2 * b + c) : 0.0;
  return rate / (best + shift);
}

class MciEngine : public ::testing::Test {
protected:
  void SetUp() override {
    sound = std::make_unique<SoundSystem>(SoundSystemOptions::offline());
    if (sound->midiOutOpen(&midi, MIDI_MAPPER) != MMSYSERR_NOERROR)
      GTEST_SKIP() << "no soundfont: " << sound->lastError();
    device = std::make_unique<WaveAudioDevice>(sound->tapHost(), scratch.path);
  }
  void TearDown() override {
    device.reset();
    if (sound) sound->midiOutClose(midi);
  }
  // Renders frames of output the way the audio thread would, keeping them.
  void render(uint64_t frames, std::vector<float>* keep = nullptr) {
    std::vector<float> block(2 * kBlock);
    for (uint64_t done = 0; done < frames; done += kBlock) {
      sound->engine().render(block.data(), kBlock);
      if (keep) keep->insert(keep->end(), block.begin(), block.end());
    }
  }

  ScratchDir scratch, dir;
  std::unique_ptr<SoundSystem> sound;
  std::unique_ptr<WaveAudioDevice> device;
  HMIDIOUT midi = 0;
};

}  // namespace

TEST_F(MciEngine, TakeHoldsWhatTheOutputGotAtTheRightPitch) {
  ASSERT_EQ(sound->midiOutShortMsg(midi, shortMsg(0xC0, 24)), MMSYSERR_NOERROR);  // Nylon
  render(kRate / 10);
  ASSERT_EQ(device->sendString("open  new alias newSound type waveaudio"), 0u);
  ASSERT_EQ(device->sendString("record newSound from 0 to 600000 overwrite"), 0u);
  std::vector<float> heard;
  render(kRate / 10, &heard);
  ASSERT_EQ(sound->midiOutShortMsg(midi, shortMsg(0x90, 69, 127)), MMSYSERR_NOERROR);
  render(2 * kRate, &heard);
  ASSERT_EQ(device->sendString("stop newSound"), 0u);
  render(kRate / 10);   // after stop: not in the take
  const std::string target = dir.path + "tempsound.wav";
  ASSERT_EQ(device->sendString(("save newSound " + target).c_str()), 0u);
  ASSERT_EQ(device->sendString("close newSound"), 0u);

  const auto w = readWav(target);
  ASSERT_TRUE(w.ok) << w.error;
  EXPECT_EQ(w.rate, static_cast<int>(kRate));
  EXPECT_EQ(w.channels, 2);
  ASSERT_EQ(w.samples.size(), heard.size());
  for (std::size_t i = 0; i < heard.size(); ++i)
    ASSERT_EQ(w.samples[i], pcm16(heard[i])) << "sample " << i;

  // A4 sounds 0.1 s into the take; look at the next second of its left channel.
  std::vector<double> note;
  for (std::size_t f = kRate / 10 + kRate / 20; f < kRate / 10 + kRate; ++f) note.push_back(w.samples[2 * f]);
  const double peak = *std::max_element(note.begin(), note.end());
  ASSERT_GT(peak, 1000) << "the note is not heard in the take";
  EXPECT_NEAR(pitch(note, kRate, 300, 600), 440.0, 4.4);
}

TEST_F(MciEngine, TakeRunningPastTenMinutesHoldsExactlyTenMinutes) {
  ASSERT_EQ(device->sendString("open  new alias newSound type waveaudio"), 0u);
  ASSERT_EQ(device->sendString("record newSound from 0 to 600000 overwrite"), 0u);
  ASSERT_EQ(sound->midiOutShortMsg(midi, shortMsg(0xC0, 24)), MMSYSERR_NOERROR);  // Nylon rings past 5 s
  const uint64_t tenMinutes = 600000ull * kRate / 1000;
  const uint64_t total = tenMinutes + 3 * kRate;
  std::vector<float> block(2 * kBlock);
  std::vector<float> last;   // the blocks around the ten-minute mark
  for (uint64_t done = 0; done < total; done += kBlock) {
    if (done % (5 * kRate) < kBlock)   // a note every 5 s keeps the take from being silence
      sound->midiOutShortMsg(midi, shortMsg(0x90, 57 + static_cast<uint8_t>(done / (5 * kRate) % 12), 100));
    sound->engine().render(block.data(), kBlock);
    if (done + 4 * kBlock >= tenMinutes && done < tenMinutes) last.insert(last.end(), block.begin(), block.end());
    if ((done / kBlock) % 64 == 63) device->flush();   // let the writer keep up with offline rendering
  }
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(device->sendString("stop newSound"), 0u);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");   // nothing lost
  const std::string target = dir.path + "long.wav";
  ASSERT_EQ(device->sendString(("save newSound " + target).c_str()), 0u);

  const std::vector<char> bytes = mci_test::readBytes(target);
  ASSERT_EQ(bytes.size(), 44 + tenMinutes * 4);
  EXPECT_EQ(mci_test::le32(bytes, 40), tenMinutes * 4);
  // The end of the file is the output up to the ten-minute mark, frame for frame.
  const uint64_t lastStart = (tenMinutes - 1) / kBlock * kBlock - 3 * kBlock;
  const std::size_t tailFrames = static_cast<std::size_t>(tenMinutes - lastStart);
  ASSERT_LE(tailFrames * 2, last.size());
  bool audible = false;
  for (std::size_t i = 0; i < tailFrames * 2; ++i) {
    const std::size_t at = 44 + static_cast<std::size_t>(lastStart) * 4 + 2 * i;
    const int16_t s = static_cast<int16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8);
    ASSERT_EQ(s, pcm16(last[i])) << "sample " << i;
    audible = audible || s != 0;
  }
  EXPECT_TRUE(audible);
}
