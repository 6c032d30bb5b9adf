// SPDX-License-Identifier: GPL-3.0-or-later
// The recorder on the real wave-audio device and audio engine, rendered
// offline: a take recorded from the engine's output is stored in a working
// folder whose name has a blank and Japanese characters, saved byte for byte
// to a chosen file, and a failed save neither leaves a half file behind nor
// blocks the saves after it.  Dialogs and message boxes come from the test
// backend.
#include <filesystem>
#include <fstream>

#include "mci_test_util.h"
#include "platform/waveaudio/mci_device.h"
#include "platform/audio/calls/sound_system.h"
#include "recorder_test_util.h"

using namespace Module1;
using rectest::Strings;

namespace {

namespace fs = std::filesystem;

// The test backend with the real device behind the MCI calls, the real wave
// channel behind sndPlaySoundA and the real file system behind FileExists
// and Kill.
class DeviceBackend : public platform::TestBackend {
public:
  explicit DeviceBackend(const std::string& scratch)
      : sound(platform::SoundSystemOptions::offline()), device(sound.tapHost(), scratch) {
    mciScript = [this](const std::string& command) { return device.sendString(command.c_str()); };
  }
  BOOL sndPlaySoundA(const char* name, uint32_t flags) override {
    TestBackend::sndPlaySoundA(name, flags);
    return sound.sndPlaySound(name, flags);
  }
  BOOL mciGetErrorStringA(MCIERROR code, char* text, uint32_t length) override {
    TestBackend::mciGetErrorStringA(code, text, length);
    return platform::WaveAudioDevice::errorString(code, text, length);
  }
  bool FileExists(const std::string& path) override {
    TestBackend::FileExists(path);
    std::error_code ec;
    return fs::is_regular_file(path, ec);
  }
  bool Kill(const std::string& path) override {
    TestBackend::Kill(path);
    std::error_code ec;
    return fs::remove(path, ec);
  }

  // Plays `seconds` of output as the audio thread would, and lets the take's
  // writer catch up.
  void render(double seconds) {
    constexpr uint32_t kBlock = 512;
    std::vector<float> block(2 * kBlock);
    const auto frames = static_cast<uint64_t>(seconds * sound.engine().sampleRate());
    for (uint64_t done = 0; done < frames; done += kBlock) sound.engine().render(block.data(), kBlock);
    device.flush();
  }

  platform::SoundSystem sound;
  platform::WaveAudioDevice device;
};

class RecorderOnDevice : public ::testing::Test {
protected:
  testing_support::FreshProgram program;
  testing_support::ScratchDir scratch;
  std::string winDir, outDir;
  std::unique_ptr<DeviceBackend> b;

  void SetUp() override {
    winDir = scratch.path + "作業 フォルダ/";
    outDir = scratch.path + "保存 先/";
    fs::create_directories(winDir);
    fs::create_directories(outDir);
    fs::create_directories(scratch.path + "takes");
    b = std::make_unique<DeviceBackend>(scratch.path + "takes");
    b->appPath = program.backend.appPath;
    b->install();
    WinDir = winDir;
    form1();
  }
  void TearDown() override { b.reset(); }

  // A take of the start sound playing for a second.
  void RecordATake() {
    form1().Bot_Rec();
    ASSERT_EQ(Recording, 1);
    sndPlaySoundA((AppDir + "start.wav").c_str(), SND_ASYNC);
    b->render(1.0);
    form1().Bot_Stop();
    ASSERT_EQ(b->messages(), Strings{});
    ASSERT_EQ(Recording, 0);
    ASSERT_EQ(HasTake, 1);
  }
};

TEST_F(RecorderOnDevice, ATakeIsStoredInTheWorkingFolderAndSavedByteForByte) {
  RecordATake();
  const std::string temp = winDir + "tempsound.wav";
  const auto wav = mci_test::readWav(temp);
  ASSERT_TRUE(wav.ok) << wav.error;
  EXPECT_EQ(wav.channels, 2);
  EXPECT_GE(wav.frames(), static_cast<uint64_t>(wav.rate * 0.9));
  int peak = 0;
  for (int16_t s : wav.samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
  EXPECT_GT(peak, 1000) << "the start sound is not in the take";

  const std::string target = outDir + "テイク 1.wav";
  b->saveDialogAnswers = {target};
  form1().Bot_Save();
  EXPECT_EQ(b->messages(), Strings{});
  EXPECT_EQ(mci_test::readBytes(target), mci_test::readBytes(temp));
  EXPECT_FALSE(mci_test::readBytes(target).empty());

  // An existing file is replaced; a name without extension is kept as typed.
  std::ofstream(outDir + "テイク 2") << "something else";
  b->saveDialogAnswers = {outDir + "テイク 2"};
  form1().Bot_Save();
  EXPECT_EQ(b->messages(), Strings{});
  EXPECT_EQ(mci_test::readBytes(outDir + "テイク 2"), mci_test::readBytes(temp));
}

TEST_F(RecorderOnDevice, AFailedSaveLeavesNoHalfFileAndLaterSavesWork) {
  RecordATake();
  // A folder stands where the file should go: the save cannot replace it.
  const std::string blocked = outDir + "blocked.wav";
  fs::create_directories(blocked);
  b->clear();
  b->saveDialogAnswers = {blocked};
  form1().Bot_Save();

  const Strings boxes = b->messages();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_FALSE(boxes[0].empty());
  EXPECT_EQ(boxes[1], blocked);
  EXPECT_EQ(boxes[2], "save");
  EXPECT_TRUE(fs::is_directory(blocked));
  EXPECT_EQ(mci_test::listDir(outDir), Strings{"blocked.wav"});

  b->clear();
  const std::string target = outDir + "after.wav";
  b->saveDialogAnswers = {target};
  form1().Bot_Save();
  EXPECT_EQ(b->messages(), Strings{});
  EXPECT_EQ(mci_test::readBytes(target), mci_test::readBytes(winDir + "tempsound.wav"));
}

TEST_F(RecorderOnDevice, ClosingDuringATakeDiscardsItAndDeletesTheStoredOne) {
  RecordATake();
  b->msgBoxAnswers = {vbYes};
  form1().Bot_Rec();
  ASSERT_EQ(Recording, 1);
  b->render(0.2);
  b->clear();

  Integer cancel = 0, mode = 0;
  form1().Form_QueryUnload(cancel, mode);
  form1().Form_Unload(cancel);
  EXPECT_FALSE(fs::exists(winDir + "tempsound.wav"));
  EXPECT_TRUE(fs::is_empty(winDir));
  EXPECT_EQ(b->messages(), Strings{});
  // The device no longer knows the take.
  EXPECT_NE(b->device.sendString("stop newSound"), 0u);
}

}  // namespace
