// SPDX-License-Identifier: GPL-3.0-or-later
// Starting the program on a damaged installation or machine, in-process with
// the real backend (message boxes and the beep recorded instead of shown):
// broken sound files, no soundfont, no sound server, no working folder.  Each
// start ends as it should, with the MIDI message where the instrument cannot
// sound, and the window closes cleanly.
#include "support/support.h"

#include "app/module1.h"
#include "platform/desktop/private_folder.h"
#include "platform/real_backend.h"
#include "platform/audio/calls/sound_system.h"
#include "ui/form1.h"
#include "ui/splash.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>

using namespace Module1;
using testing_support::ScratchDir;
namespace fs = std::filesystem;

namespace {

const std::string kNoMidi =
    "MIDIデバイスをオープン出来ません。MIDI音源が使えるか、他のアプリケーションがMIDI音源を使っていないか調べてください。";
const std::string kCannotOpenWave =
    "Waveオーディオを初期化できません。Waveオーディオが正しくセットアップされているか、他のアプリケーションがWaveオーディオを使っていないか調べてください。";

// The real backend with its message boxes and beep written down, the
// application folder where the test says, and the sound system the test asks
// for (offline unless told otherwise: no sound server needed).
class StartBackend : public platform::RealBackend {
public:
  std::string appPath;
  platform::SoundSystemOptions options = platform::SoundSystemOptions::offline();
  std::vector<std::string> events;   // "beep", or the text of a message box

  std::string App_Path() override { return appPath; }
  int MsgBox(const std::string& prompt, int, const std::string&) override {
    events.push_back(prompt);
    return vbOK;
  }
  void Beep() override { events.push_back("beep"); }

protected:
  std::unique_ptr<platform::SoundSystem> makeSoundSystem() override {
    return std::make_unique<platform::SoundSystem>(options);
  }
};

class ScopedEnv {
public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) setenv(name_.c_str(), old_->c_str(), 1);
    else unsetenv(name_.c_str());
  }

private:
  std::string name_;
  std::optional<std::string> old_;
};

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A PCM WAV of `frames` frames of a quiet tone, 16-bit mono at 8 kHz.
std::string TinyWav(uint32_t frames) {
  auto le = [](uint32_t v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
    return s;
  };
  std::string data;
  for (uint32_t i = 0; i < frames; ++i) data += le(static_cast<uint16_t>((i % 16) * 256), 2);
  return "RIFF" + le(36 + data.size(), 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(1, 2) +
         le(8000, 4) + le(16000, 4) + le(2, 2) + le(16, 2) + "data" + le(data.size(), 4) + data;
}

enum class Damage { Missing, Empty, RandomBytes, TruncatedHeader };

const char* Name(Damage d) {
  switch (d) {
    case Damage::Missing: return "missing";
    case Damage::Empty: return "empty";
    case Damage::RandomBytes: return "random bytes";
    default: return "truncated header";
  }
}

void DamageFile(const std::string& path, Damage d) {
  const std::string good = ReadBytes(path);
  switch (d) {
    case Damage::Missing: fs::remove(path); break;
    case Damage::Empty: WriteBytes(path, ""); break;
    case Damage::RandomBytes: {
      std::mt19937 rng(7);
      std::string noise(4096, '\0');
      for (char& c : noise) c = static_cast<char>(rng());
      WriteBytes(path, noise);
      break;
    }
    case Damage::TruncatedHeader: WriteBytes(path, good.substr(0, 30)); break;
  }
}

void Key(QEvent::Type type, int key) {
  QKeyEvent e(type, key, Qt::NoModifier);
  QCoreApplication::sendEvent(&form1(), &e);
}

// One start of the program: a copy of the program's data folder, a private
// working folder, fresh program state.
class BadStart : public ::testing::Test {
protected:
  void SetUp() override {
    testing_support::App();
    unloadForm1();
    ResetState();
    appDir = scratch.path + "app/";
    fs::remove_all(appDir);
    fs::create_directories(appDir);
    for (const auto& f : fs::directory_iterator(testing_support::DataDir()))
      fs::copy_file(f.path(), appDir + f.path().filename().string());
    // A short start sound: offline, nothing plays it, so its wait runs out.
    WriteBytes(appDir + "start.wav", TinyWav(400));
    cache.emplace("XDG_CACHE_HOME", scratch.path + "cache");
    temp.emplace("TMPDIR", scratch.path + "temp");
    backendPtr = std::make_unique<StartBackend>();
    backendPtr->appPath = appDir;
    backendPtr->options.syncMarginSeconds = 0.2;
  }
  void TearDown() override {
    if (form1Exists() && form1().isVisible()) form1().close();
    unloadForm1();
    ResetState();
    platform::setBackend(nullptr);
    backendPtr.reset();
  }

  bool Start() {
    platform::setBackend(&backend());
    return Main();
  }

  // The program is up: the window shows, the splash has gone, nothing was said.
  void ExpectRunning(bool started) {
    EXPECT_TRUE(started);
    ASSERT_TRUE(form1Exists());
    EXPECT_TRUE(form1().isVisible());
    EXPECT_EQ(frmSplash(), nullptr);
    EXPECT_EQ(backend().events, std::vector<std::string>{});
  }

  // The MIDI output could not be opened: one beep, the message, and the end.
  void ExpectMidiFailure(bool started) {
    EXPECT_FALSE(started);
    EXPECT_TRUE(StartFailed);   // the process ends with a failure status
    EXPECT_EQ(backend().events, (std::vector<std::string>{"beep", kNoMidi}));
    EXPECT_EQ(frmSplash(), nullptr);
    EXPECT_TRUE(!form1Exists() || !form1().isVisible());
  }

  // Closing the window releases everything and leaves no recording behind.
  void CloseCleanly() {
    ASSERT_TRUE(form1Exists());
    EXPECT_TRUE(form1().close());
    EXPECT_TRUE(form1().released.midi);
    EXPECT_FALSE(fs::exists(WinDir + "tempsound.wav"));
  }

  uint64_t WavePlaying() {
    std::vector<float> block(2 * 64);
    backend().sound().engine().render(block.data(), 64);
    return backend().sound().engine().wave().playingId();
  }

  ScratchDir scratch;
  std::string appDir;
  std::optional<ScopedEnv> cache, temp;
  std::unique_ptr<StartBackend> backendPtr;
  StartBackend& backend() { return *backendPtr; }
};

}  // namespace

TEST_F(BadStart, ADamagedStartSoundIsSkipped) {
  for (Damage d : {Damage::Missing, Damage::Empty, Damage::RandomBytes, Damage::TruncatedHeader}) {
    SCOPED_TRACE(Name(d));
    TearDown();
    SetUp();
    WriteBytes(appDir + "start.wav", ReadBytes(testing_support::DataDir() + "start.wav"));
    DamageFile(appDir + "start.wav", d);
    ExpectRunning(Start());
    EXPECT_EQ(WavePlaying(), 0u);
    CloseCleanly();
  }
}

TEST_F(BadStart, ADamagedLoopSoundIsNotPlayedAndNotReported) {
  for (Damage d : {Damage::Missing, Damage::Empty, Damage::RandomBytes, Damage::TruncatedHeader}) {
    SCOPED_TRACE(Name(d));
    TearDown();
    SetUp();
    DamageFile(appDir + "3crap2.wav", d);
    ExpectRunning(Start());
    Key(QEvent::KeyPress, Qt::Key_Left);
    Key(QEvent::KeyRelease, Qt::Key_Left);
    EXPECT_EQ(LoopOn, 1);
    EXPECT_EQ(WavePlaying(), 0u);
    EXPECT_EQ(backend().events, std::vector<std::string>{});
    CloseCleanly();
  }
}

TEST_F(BadStart, TheLoopSoundPlaysWhenItIsWhole) {
  ExpectRunning(Start());
  Key(QEvent::KeyPress, Qt::Key_Left);
  EXPECT_NE(WavePlaying(), 0u);
  CloseCleanly();
}

TEST_F(BadStart, NoSoundfontIsTheMidiFailure) {
  backend().options.soundfonts = {scratch.path + "nowhere.sf2"};
  ExpectMidiFailure(Start());

  TearDown();
  SetUp();
  const std::string junk = scratch.path + "junk.sf2";
  WriteBytes(junk, "RIFF\x10\0\0\0sfbkLIST not really a soundfont");
  backend().options.soundfonts = {junk};
  ExpectMidiFailure(Start());
}

TEST_F(BadStart, NoSoundServerIsTheMidiFailure) {
  ScopedEnv server("PULSE_SERVER", "unix:" + scratch.path + "no-server/native");
  backend().options = platform::SoundSystemOptions{};   // the real output
  ExpectMidiFailure(Start());
}

TEST_F(BadStart, WithoutAWorkingFolderTheInstrumentPlaysAndRecordingSaysItCannot) {
  WriteBytes(scratch.path + "blocked", "");
  cache.emplace("XDG_CACHE_HOME", scratch.path + "blocked");
  temp.emplace("TMPDIR", scratch.path + "blocked");
  ExpectRunning(Start());
  EXPECT_EQ(WinDir, std::string(platform::kNoWorkingFolder));

  Key(QEvent::KeyPress, Qt::Key_Z);
  Key(QEvent::KeyRelease, Qt::Key_Z);
  EXPECT_EQ(backend().events, std::vector<std::string>{kCannotOpenWave});
  EXPECT_EQ(Recording, 0);
  CloseCleanly();
  for (const auto& f : fs::recursive_directory_iterator(scratch.path))
    EXPECT_EQ(f.path().filename().string().rfind("plinkora-take", 0), std::string::npos) << f.path();
}

// The sound made ahead on a helper thread, as the program starts it while Qt
// opens its window system: its failures still end the start with the MIDI
// message, and a whole installation still starts.
TEST_F(BadStart, ASoundPreparedAheadStartsAsTheFirstCallWould) {
  backend().prepareSound();
  ExpectRunning(Start());
  EXPECT_EQ(backend().sound().soundfontLoads(), 1);
  CloseCleanly();
}

TEST_F(BadStart, ASoundPreparedAheadWithoutASoundfontIsTheMidiFailure) {
  backend().options.soundfonts = {scratch.path + "nowhere.sf2"};
  backend().prepareSound();
  ExpectMidiFailure(Start());
}

TEST_F(BadStart, ASoundPreparedAheadWithoutASoundServerIsTheMidiFailure) {
  ScopedEnv server("PULSE_SERVER", "unix:" + scratch.path + "no-server/native");
  backend().options = platform::SoundSystemOptions{};   // the real output
  backend().prepareSound();
  ExpectMidiFailure(Start());
}
