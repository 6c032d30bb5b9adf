// SPDX-License-Identifier: GPL-3.0-or-later
// The wave-audio device through its command strings, with a tap host that
// the test drives: splitting, errors, recording, storing, copying, failures
// of the disk, error texts and random input.
#include "mci_test_util.h"
#include "support/support.h"

#include "platform/waveaudio/mci_device.h"
#include "platform/waveaudio/mci_parser.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <QDir>

#include <cmath>
#include <csignal>
#include <fstream>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace platform;
using mci_test::FakeHost;
using mci_test::readBytes;
using mci_test::readWav;
using mci_test::feedSignal;
using mci_test::holdsSignal;
using mci_test::signalBlock;
using mci_test::signalSample;
using testing_support::ScratchDir;

namespace {

const char* kOpenNew = "open  new alias newSound type waveaudio";
const char* kRecord = "record newSound from 0 to 600000 overwrite";

std::vector<std::string> texts(const std::vector<mci::Word>& words) {
  std::vector<std::string> out;
  for (const auto& w : words) out.push_back(w.text);
  return out;
}

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A small WAV with an extra chunk and an odd-sized tail, to be copied as it is.
std::string oddWav() {
  std::string riff = "WAVEfmt ";
  const char fmt[] = {16, 0, 0, 0, 1, 0, 1, 0, 0x40, 0x1F, 0, 0, (char)0x80, 0x3E, 0, 0, 2, 0, 16, 0};
  riff.append(fmt, sizeof fmt);
  riff += std::string("LIST\x05\0\0\0abcde\0", 14);
  riff += std::string("data\x06\0\0\0", 8) + std::string("\x01\x02\xff\xfe\x00\x7f", 6);
  const uint32_t size = static_cast<uint32_t>(riff.size());
  std::string out = "RIFF";
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(size >> (8 * i)));
  return out + riff;
}

class Mci : public ::testing::Test {
protected:
  ScratchDir dir;       // targets
  ScratchDir scratch;   // the device's scratch files
  FakeHost host{44100};
  std::unique_ptr<WaveAudioDevice> dev = std::make_unique<WaveAudioDevice>(host, scratch.path);

  MCIERROR send(const std::string& cmd) { return dev->sendString(cmd.c_str()); }
};

}  // namespace

// ---------------------------------------------------------------------------

TEST(MciWords, SplitsTheProgramsCommands) {
  std::vector<mci::Word> w;
  ASSERT_EQ(mci::splitWords(kOpenNew, w), 0u);
  EXPECT_EQ(texts(w), (std::vector<std::string>{"open", "new", "alias", "newSound", "type", "waveaudio"}));
  ASSERT_EQ(mci::splitWords(kRecord, w), 0u);
  EXPECT_EQ(texts(w), (std::vector<std::string>{"record", "newSound", "from", "0", "to", "600000", "overwrite"}));
  ASSERT_EQ(mci::splitWords("  \tsave   newSound\t/w/tempsound.wav  ", w), 0u);
  EXPECT_EQ(texts(w), (std::vector<std::string>{"save", "newSound", "/w/tempsound.wav"}));
  ASSERT_EQ(mci::splitWords("", w), 0u);
  EXPECT_TRUE(w.empty());
}

TEST(MciWords, QuotedWordsKeepBlanksAndLoseTheirQuotes) {
  std::vector<mci::Word> w;
  ASSERT_EQ(mci::splitWords("save Sound \"/home/a b/録音 テイク.wav\" wait", w), 0u);
  ASSERT_EQ(w.size(), 4u);
  EXPECT_EQ(w[2].text, "/home/a b/録音 テイク.wav");
  EXPECT_TRUE(w[2].quoted);
  EXPECT_FALSE(mci::isKeyword(w[2], "/home/a b/録音 テイク.wav"));
  EXPECT_TRUE(mci::isKeyword(w[3], "WAIT"));
  ASSERT_EQ(mci::splitWords("open \"\" alias x", w), 0u);
  EXPECT_EQ(w[1].text, "");

  EXPECT_EQ(mci::splitWords("save Sound \"/no/closing quote", w), MCIERR_NO_CLOSING_QUOTE);
  EXPECT_TRUE(w.empty());
  EXPECT_EQ(mci::splitWords("save Sound \"/a b\"c", w), MCIERR_EXTRA_CHARACTERS);
  EXPECT_EQ(mci::splitWords(std::string(mci::kMaxCommandLength + 1, 'a'), w), MCIERR_PARAM_OVERFLOW);
}

TEST(MciWords, Integers) {
  uint32_t v = 7;
  EXPECT_EQ(mci::parseInteger({"600000"}, v), 0u);
  EXPECT_EQ(v, 600000u);
  EXPECT_EQ(mci::parseInteger({"4294967295"}, v), 0u);
  EXPECT_EQ(v, 4294967295u);
  for (const char* bad : {"", "-1", "4294967296", "12a", "1.5", "99999999999", " 1"})
    EXPECT_EQ(mci::parseInteger({bad}, v), MCIERR_BAD_INTEGER) << bad;
}

// ---------------------------------------------------------------------------

TEST_F(Mci, CommandErrorsAreCodesNotCrashes) {
  EXPECT_EQ(dev->sendString(nullptr), MCIERR_NULL_PARAMETER_BLOCK);
  EXPECT_EQ(send(""), MCIERR_MISSING_COMMAND_STRING);
  EXPECT_EQ(send("   "), MCIERR_MISSING_COMMAND_STRING);
  writeFile(dir.path + "text.wav", "this is not a wave file at all");
  const std::pair<std::string, MCIERROR> beforeOpen[] = {
      {"frobnicate newSound", MCIERR_UNRECOGNIZED_COMMAND},
      {kRecord, MCIERR_INVALID_DEVICE_NAME},   // record before open
      {"stop newSound", MCIERR_INVALID_DEVICE_NAME},
      {"save newSound " + dir.path + "x.wav", MCIERR_INVALID_DEVICE_NAME},
      {"close newSound", MCIERR_INVALID_DEVICE_NAME},
      {"close", MCIERR_MISSING_DEVICE_NAME},
      {"open new type waveaudio", MCIERR_NEW_REQUIRES_ALIAS},
      {"open new alias x", MCIERR_DEVICE_TYPE_REQUIRED},
      {"open new alias x type sequencer", MCIERR_INVALID_DEVICE_NAME},
      {"open new alias", MCIERR_MISSING_PARAMETER},
      {"open new alias x type waveaudio loudly", MCIERR_UNRECOGNIZED_KEYWORD},
      {"open new alias x alias y type waveaudio", MCIERR_DUPLICATE_FLAGS},
      {"open new alias x type waveaudio buffer", MCIERR_MISSING_PARAMETER},
      {"open new alias x type waveaudio buffer soon", MCIERR_BAD_INTEGER},
      {"open " + dir.path + "missing.wav alias Sound type waveaudio", MCIERR_FILE_NOT_FOUND},
      {"open " + dir.path + "text.wav alias Sound type waveaudio", MCIERR_INVALID_FILE},
      {"open " + dir.path + " alias Sound type waveaudio", MCIERR_INVALID_FILE}};   // a folder
  for (const auto& [command, code] : beforeOpen) EXPECT_EQ(send(command), code) << command;

  // The buffer size is read and let be, as often as it is given.
  ASSERT_EQ(send("open new alias buffered type waveaudio buffer 4 buffer 6"), 0u);
  ASSERT_EQ(send(kOpenNew), 0u);
  const std::pair<std::string, MCIERROR> afterOpen[] = {
      {"open new alias NEWSOUND type waveaudio", MCIERR_DUPLICATE_ALIAS},
      {"record newSound from", MCIERR_MISSING_PARAMETER},
      {"record newSound from -5", MCIERR_BAD_INTEGER},
      {"record newSound to 600000x", MCIERR_BAD_INTEGER},
      {"record newSound from 0 from 0", MCIERR_DUPLICATE_FLAGS},
      {"record newSound from 500 to 100", MCIERR_OUTOFRANGE},
      {"record newSound from 1000 to 2000 overwrite", MCIERR_OUTOFRANGE},   // past the end
      {"record newSound sideways", MCIERR_UNRECOGNIZED_KEYWORD},
      {"save newSound", MCIERR_FILENAME_REQUIRED}};
  for (const auto& [command, code] : afterOpen) EXPECT_EQ(send(command), code) << command;
  for (const char* other : {"play newSound", "status newSound mode", "seek newSound to start",
                            "pause newSound", "resume newSound", "set newSound time format ms"})
    EXPECT_EQ(send(other), MCIERR_UNSUPPORTED_FUNCTION) << other;
  EXPECT_EQ(send("play nobody"), MCIERR_INVALID_DEVICE_NAME);
  EXPECT_FALSE(host.tapped());

  char ret[8] = "junk";
  EXPECT_EQ(dev->sendString("close newSound", ret, sizeof ret), 0u);
  EXPECT_STREQ(ret, "");
  EXPECT_EQ(send("close newSound"), MCIERR_INVALID_DEVICE_NAME);  // close twice
}

TEST_F(Mci, OnlyOneTakeRecordsAtATime) {
  ASSERT_EQ(send(kOpenNew), 0u);
  ASSERT_EQ(send("open new alias other type waveaudio"), 0u);
  ASSERT_EQ(send(kRecord), 0u);
  EXPECT_EQ(send("record other"), MCIERR_WAVE_INPUTSINUSE);
  EXPECT_EQ(send("stop newSound"), 0u);
  EXPECT_EQ(send("record other"), 0u);
  EXPECT_EQ(send("close all"), 0u);
  EXPECT_FALSE(host.tapped());
  EXPECT_EQ(send("close other"), MCIERR_INVALID_DEVICE_NAME);
}

// ---------------------------------------------------------------------------

TEST_F(Mci, RecordsExactlyWhatFlowsBetweenRecordAndStop) {
  ASSERT_EQ(send(kOpenNew), 0u);
  feedSignal(host, 0, 3000);            // before record: not in the take
  ASSERT_EQ(send(kRecord), 0u);
  EXPECT_TRUE(host.tapped());
  feedSignal(host, 3000, 44100);
  ASSERT_EQ(send("stop newSound"), 0u);
  EXPECT_FALSE(host.tapped());
  feedSignal(host, 47100, 5000);        // after stop: not in the take either
  const std::string target = dir.path + "tempsound.wav";
  ASSERT_EQ(send("save newSound " + target), 0u);
  ASSERT_EQ(send("close newSound"), 0u);

  const auto w = readWav(target);
  EXPECT_EQ(w.rate, 44100);
  EXPECT_EQ(w.channels, 2);
  EXPECT_EQ(w.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  EXPECT_TRUE(holdsSignal(w, 3000, 44100));
  EXPECT_EQ(readBytes(target).size(), 44u + 44100u * 4);
  EXPECT_TRUE(mci_test::listDir(scratch.path).empty());
}

// The scratch file on one file system and the target on another: the data
// still gets copied whole.
TEST_F(Mci, StoresAcrossFileSystems) {
  struct stat shm {}, tmp {};
  if (::stat("/dev/shm", &shm) != 0 || ::stat(dir.path.c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev)
    GTEST_SKIP() << "no second file system at hand";
  const std::string shmScratch = "/dev/shm/plinkora-mci-test-" + std::to_string(::getpid());
  std::filesystem::create_directory(shmScratch);
  dev = std::make_unique<WaveAudioDevice>(host, shmScratch);
  ASSERT_EQ(send(kOpenNew), 0u);
  ASSERT_EQ(send(kRecord), 0u);
  feedSignal(host, 0, 300000, [&] { dev->flush(); });
  ASSERT_EQ(send("save newSound " + dir.path + "x.wav"), 0u);
  dev.reset();
  EXPECT_TRUE(mci_test::listDir(shmScratch).empty());
  std::filesystem::remove_all(shmScratch);
  EXPECT_TRUE(holdsSignal(readWav(dir.path + "x.wav"), 0, 300000));
}

TEST_F(Mci, SamplesOutsideFullScaleAreClipped) {
  ASSERT_EQ(send(kOpenNew), 0u);
  ASSERT_EQ(send(kRecord), 0u);
  const float block[] = {1.5f, -3.0f, 1.0f, -1.0f, std::nanf(""), 0.0f, 0.25f, -0.25f};
  host.feed(block, 4);
  ASSERT_EQ(send("save newSound " + dir.path + "clip.wav"), 0u);   // stops first
  const auto w = readWav(dir.path + "clip.wav");
  ASSERT_TRUE(w.ok) << w.error;
  ASSERT_EQ(w.frames(), 4u);
  EXPECT_EQ(w.samples[0], 32767);
  EXPECT_LE(w.samples[1], -32767);
  EXPECT_EQ(w.samples[2], 32767);
  EXPECT_LE(w.samples[3], -32767);
  EXPECT_EQ(w.samples[4], 0);
  EXPECT_EQ(w.samples[5], 0);
  EXPECT_NEAR(w.samples[6], 8192, 1);
  EXPECT_NEAR(w.samples[7], -8192, 1);
}

TEST_F(Mci, SaveWhileRecordingStopsTheTakeAndRecordFromZeroStartsAgain) {
  ASSERT_EQ(send(kOpenNew), 0u);
  ASSERT_EQ(send(kRecord), 0u);
  feedSignal(host, 0, 1000);
  ASSERT_EQ(send("save newSound " + dir.path + "a.wav"), 0u);
  EXPECT_FALSE(host.tapped());
  feedSignal(host, 1000, 1000);
  ASSERT_EQ(send("save newSound " + dir.path + "b.wav"), 0u);
  EXPECT_TRUE(holdsSignal(readWav(dir.path + "a.wav"), 0, 1000));
  EXPECT_TRUE(holdsSignal(readWav(dir.path + "b.wav"), 0, 1000));

  // Recording on at the end of the take adds to it; from 0 overwrite replaces it.
  ASSERT_EQ(send("record newSound"), 0u);
  feedSignal(host, 1000, 500);
  ASSERT_EQ(send("stop newSound"), 0u);
  ASSERT_EQ(send("save newSound " + dir.path + "c.wav"), 0u);
  EXPECT_TRUE(holdsSignal(readWav(dir.path + "c.wav"), 0, 1500));
  ASSERT_EQ(send(kRecord), 0u);
  feedSignal(host, 9000, 700);
  ASSERT_EQ(send("stop newSound"), 0u);
  ASSERT_EQ(send("save newSound " + dir.path + "d.wav"), 0u);
  EXPECT_TRUE(holdsSignal(readWav(dir.path + "d.wav"), 9000, 700));
  // An empty take is still a valid file.
  ASSERT_EQ(send("open new alias empty type waveaudio"), 0u);
  ASSERT_EQ(send("save empty " + dir.path + "e.wav"), 0u);
  EXPECT_TRUE(holdsSignal(readWav(dir.path + "e.wav"), 0, 0));
}

TEST_F(Mci, TakeStopsByItselfAtTenMinutes) {
  ASSERT_EQ(send(kOpenNew), 0u);
  ASSERT_EQ(send(kRecord), 0u);
  const uint64_t tenMinutes = 600000ull * 44100 / 1000;
  const uint64_t total = tenMinutes + 5 * 44100;
  constexpr uint32_t kBlock = 4096;
  for (uint64_t done = 0; done < total; done += kBlock) {
    const auto block = signalBlock(done, kBlock);
    host.feed(block.data(), kBlock);
    if ((done / kBlock) % 16 == 15) dev->flush();  // faster than real time: let the writer keep up
  }
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(send("stop newSound"), 0u);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // nothing was lost
  const std::string target = dir.path + "long.wav";
  ASSERT_EQ(send("save newSound " + target), 0u);
  ASSERT_EQ(send("close newSound"), 0u);
  const std::vector<char> bytes = readBytes(target);
  ASSERT_EQ(bytes.size(), 44 + tenMinutes * 4);
  EXPECT_EQ(mci_test::le32(bytes, 40), tenMinutes * 4);
  // The first and last frames are the signal's, not padding.
  auto sampleAt = [&](std::size_t at) {
    return static_cast<int16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8);
  };
  EXPECT_EQ(sampleAt(44), signalSample(0, 0));
  EXPECT_EQ(sampleAt(bytes.size() - 4), signalSample(tenMinutes - 1, 0));
  EXPECT_EQ(sampleAt(bytes.size() - 2), signalSample(tenMinutes - 1, 1));
}

TEST_F(Mci, AudioThreadRunningAlongsideLosesAndRepeatsNothing) {
  std::atomic<bool> run{true};
  std::atomic<uint64_t> fed{0};
  std::thread audio([&] {
    uint64_t next = 0;
    while (run) {
      const auto block = signalBlock(next, 256);
      host.feed(block.data(), 256);
      next += 256;
      fed = next;
      std::this_thread::sleep_for(std::chrono::microseconds(300));  // about 20x real time
    }
  });
  while (fed < 10000) std::this_thread::yield();
  ASSERT_EQ(send(kOpenNew), 0u);
  ASSERT_EQ(send(kRecord), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(send("stop newSound"), 0u);
  run = false;
  audio.join();
  ASSERT_EQ(send("save newSound " + dir.path + "live.wav"), 0u);

  const auto w = readWav(dir.path + "live.wav");
  ASSERT_TRUE(w.ok);
  ASSERT_GT(w.frames(), 10000u);
  // Find where the take starts in the signal (the first frame is a multiple
  // of the block size), then every frame must follow on.
  uint64_t first = 0;
  while (first < fed && !(signalSample(first, 0) == w.samples[0] && signalSample(first, 1) == w.samples[1]))
    first += 256;
  EXPECT_TRUE(holdsSignal(w, first, w.frames()));
}

TEST_F(Mci, SlowWriterLosesFramesAsSilenceAndSaysSo) {
  dev = std::make_unique<WaveAudioDevice>(host, scratch.path, 1024);
  ASSERT_EQ(send(kOpenNew), 0u);
  ASSERT_EQ(send(kRecord), 0u);
  const auto big = signalBlock(0, 5000);   // more than the ring holds in one go
  host.feed(big.data(), 5000);
  dev->flush();
  feedSignal(host, 5000, 1000);
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(send("stop newSound"), 0u);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("3976 frames"), std::string::npos) << log;
  ASSERT_EQ(send("save newSound " + dir.path + "gap.wav"), 0u);

  const auto w = readWav(dir.path + "gap.wav");
  ASSERT_EQ(w.frames(), 6000u);   // the take keeps its length in time
  mci_test::Wav head = w, tail = w;
  head.samples.assign(w.samples.begin(), w.samples.begin() + 2 * 1024);
  tail.samples.assign(w.samples.begin() + 2 * 5000, w.samples.end());
  EXPECT_TRUE(holdsSignal(head, 0, 1024));
  EXPECT_TRUE(holdsSignal(tail, 5000, 1000));
  for (std::size_t i = 2 * 1024; i < 2 * 5000; ++i) ASSERT_EQ(w.samples[i], 0) << i;
}

TEST_F(Mci, ClosingOrDestroyingMidTakeReleasesEverything) {
  ASSERT_EQ(send(kOpenNew), 0u);
  ASSERT_EQ(send(kRecord), 0u);
  feedSignal(host, 0, 10000);
  ASSERT_EQ(send("close newSound"), 0u);
  EXPECT_FALSE(host.tapped());
  ASSERT_EQ(send(kOpenNew), 0u);        // the alias is free again
  ASSERT_EQ(send(kRecord), 0u);
  feedSignal(host, 0, 10000);
  dev.reset();
  EXPECT_FALSE(host.tapped());
  EXPECT_EQ(host.attaches, host.detaches);
  EXPECT_TRUE(mci_test::listDir(scratch.path).empty());
}

// ---------------------------------------------------------------------------

TEST_F(Mci, SavingAnOpenedFileCopiesItByteForByte) {
  const std::string source = dir.path + "tempsound.wav";
  writeFile(source, oddWav());
  const std::string folder = dir.path + "演奏 の 録音/";
  std::filesystem::create_directory(folder);
  const std::string target = folder + "今日の テイク.wav";
  writeFile(target, "old content that must go");

  ASSERT_EQ(send("open " + source + " alias Sound type waveaudio"), 0u);
  ASSERT_EQ(send("save Sound " + quoted(target)), 0u);
  ASSERT_EQ(send("close Sound"), 0u);
  EXPECT_EQ(readBytes(target), readBytes(source));
  EXPECT_EQ(mci_test::listDir(folder), std::vector<std::string>{"今日の テイク.wav"});

  // An unquoted path with a space is two words: refused, nothing written.
  ASSERT_EQ(send("open " + quoted(source) + " alias Sound type waveaudio"), 0u);
  EXPECT_NE(send("save Sound " + folder + "other name.wav"), 0u);
  EXPECT_EQ(mci_test::listDir(folder).size(), 1u);
  // The copy is of the file as opened, even when a new take replaces it meanwhile.
  ASSERT_EQ(send(kOpenNew), 0u);
  ASSERT_EQ(send("save newSound " + source), 0u);
  ASSERT_EQ(send("save Sound " + quoted(folder + "again.wav")), 0u);
  const std::string original = oddWav();
  EXPECT_EQ(readBytes(folder + "again.wav"), std::vector<char>(original.begin(), original.end()));
}

TEST_F(Mci, SavingWhereNothingCanBeWrittenFailsCleanly) {
  ASSERT_EQ(send(kOpenNew), 0u);
  EXPECT_NE(send("save newSound " + dir.path + "no/such/folder/x.wav"), 0u);
  EXPECT_NE(send("save newSound " + dir.path), 0u);                    // a folder
  std::filesystem::create_directory(dir.path + "taken.wav");
  EXPECT_NE(send("save newSound " + dir.path + "taken.wav"), 0u);      // a folder by that name
  EXPECT_EQ(mci_test::listDir(dir.path), std::vector<std::string>{"taken.wav"});
}

// A store or copy that runs out of room (the file size limit stands in for a
// full disk) leaves the previous file whole and no temporary file behind.
TEST_F(Mci, FailedStoreKeepsThePreviousTake) {
  const std::string target = dir.path + "tempsound.wav";
  ASSERT_EQ(send(kOpenNew), 0u);
  ASSERT_EQ(send(kRecord), 0u);
  feedSignal(host, 0, 4410);
  ASSERT_EQ(send("stop newSound"), 0u);
  ASSERT_EQ(send("save newSound " + target), 0u);
  ASSERT_EQ(send("close newSound"), 0u);
  const std::vector<char> before = readBytes(target);

  for (const char* what : {"store", "copy"}) {
    fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      FakeHost childHost;
      WaveAudioDevice child(childHost, scratch.path);
      child.sendString(kOpenNew);
      child.sendString(kRecord);
      feedSignal(childHost, 100000, 44100);   // 176 KB
      child.sendString("stop newSound");
      std::signal(SIGXFSZ, SIG_IGN);
      rlimit lim{64 * 1024, 64 * 1024};
      setrlimit(RLIMIT_FSIZE, &lim);
      bool ok;
      if (std::string(what) == "store") {
        ok = child.sendString(("save newSound " + target).c_str()) == MCIERR_FILE_WRITE;
      } else {
        ok = child.sendString(("open " + target + " alias Sound type waveaudio").c_str()) == 0;
        lim = {1024, 1024};   // less than the take
        setrlimit(RLIMIT_FSIZE, &lim);
        ok = ok && child.sendString(("save Sound " + dir.path + "copy.wav").c_str()) == MCIERR_FILE_WRITE;
        ok = ok && child.sendString(("save Sound " + target).c_str()) == MCIERR_FILE_WRITE;
      }
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << what;
    EXPECT_EQ(readBytes(target), before) << what;
    EXPECT_EQ(mci_test::listDir(dir.path), std::vector<std::string>{"tempsound.wav"}) << what;
  }
  EXPECT_TRUE(holdsSignal(readWav(target), 0, 4410));
}

// ---------------------------------------------------------------------------

TEST(MciErrorText, EveryCodeHasAJapaneseText) {
  auto isJapanese = [](const std::string& s) {
    QString q = QString::fromUtf8(s.c_str());
    if (q.toUtf8().toStdString() != s) return false;   // valid UTF-8
    return std::any_of(q.begin(), q.end(), [](QChar c) { return c.unicode() >= 0x3040 && c.unicode() <= 0x9FFF; });
  };
  char buf[1024];
  const MCIERROR returned[] = {
      MCIERR_UNRECOGNIZED_KEYWORD, MCIERR_UNRECOGNIZED_COMMAND, MCIERR_INVALID_DEVICE_NAME,
      MCIERR_OUT_OF_MEMORY, MCIERR_DEVICE_OPEN, MCIERR_CANNOT_LOAD_DRIVER, MCIERR_MISSING_COMMAND_STRING,
      MCIERR_PARAM_OVERFLOW, MCIERR_BAD_INTEGER, MCIERR_MISSING_PARAMETER, MCIERR_UNSUPPORTED_FUNCTION,
      MCIERR_FILE_NOT_FOUND, MCIERR_INTERNAL, MCIERR_CANNOT_USE_ALL, MCIERR_EXTENSION_NOT_FOUND,
      MCIERR_OUTOFRANGE, MCIERR_FLAGS_NOT_COMPATIBLE, MCIERR_FILE_NOT_SAVED, MCIERR_DEVICE_TYPE_REQUIRED,
      MCIERR_DUPLICATE_ALIAS, MCIERR_MISSING_DEVICE_NAME, MCIERR_NO_CLOSING_QUOTE, MCIERR_DUPLICATE_FLAGS,
      MCIERR_INVALID_FILE, MCIERR_NULL_PARAMETER_BLOCK, MCIERR_NEW_REQUIRES_ALIAS, MCIERR_FILENAME_REQUIRED,
      MCIERR_EXTRA_CHARACTERS, MCIERR_WAVE_INPUTSINUSE, MCIERR_FILE_READ, MCIERR_FILE_WRITE};
  for (MCIERROR code : returned) {
    EXPECT_EQ(WaveAudioDevice::errorString(code, buf, sizeof buf), 1) << code;
    EXPECT_TRUE(isJapanese(buf)) << code;
  }
  for (MCIERROR code = 0; code < 400; ++code) {
    std::memset(buf, 'x', sizeof buf);
    const BOOL known = WaveAudioDevice::errorString(code, buf, sizeof buf);
    EXPECT_TRUE(isJapanese(buf)) << code;       // unknown codes get a generic text
    if (code > 0 && code < MCIERR_BASE) EXPECT_EQ(known, 0) << code;
  }
  EXPECT_EQ(WaveAudioDevice::errorString(99999, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, WaveAudioDevice::errorText(99999));
  EXPECT_EQ(WaveAudioDevice::errorString(MCIERR_FILE_WRITE, nullptr, 100), 0);
  EXPECT_EQ(WaveAudioDevice::errorString(MCIERR_FILE_WRITE, buf, 0), 0);
}

TEST(MciErrorText, ShortBuffersGetAWholeCharacterPrefix) {
  const std::string full = WaveAudioDevice::errorText(MCIERR_FILE_WRITE);
  for (uint32_t len = 1; len < full.size() + 3; ++len) {
    std::vector<char> buf(len + 8, '#');
    ASSERT_EQ(WaveAudioDevice::errorString(MCIERR_FILE_WRITE, buf.data(), len), 1);
    for (std::size_t i = len; i < buf.size(); ++i) ASSERT_EQ(buf[i], '#') << "overrun at " << len;
    const std::string got(buf.data());
    ASSERT_LT(got.size(), len);
    ASSERT_EQ(full.compare(0, got.size(), got), 0);
    ASSERT_EQ(QString::fromUtf8(got.c_str()).toUtf8().toStdString(), got) << "cut character at " << len;
  }
}

// ---------------------------------------------------------------------------

// Random bytes, then random sentences of the device's own words, with audio
// flowing: every answer is 0 or a code with a text, and nothing is written
// outside the folder the sentences name.
TEST_F(Mci, RandomCommandsNeverCrash) {
  std::mt19937 rng(20240611);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  char buf[256];
  int succeeded = 0;
  auto check = [&](const std::string& cmd) {
    const MCIERROR r = send(cmd);
    if (r != 0) ASSERT_EQ(WaveAudioDevice::errorString(r, buf, sizeof buf), 1) << r << " for " << cmd;
    succeeded += r == 0;
  };
  for (int i = 0; i < 3000; ++i) {
    std::string s(pick(80), '\0');
    for (char& c : s) c = static_cast<char>(1 + pick(255));
    check(s);
  }
  const std::vector<std::string> verbs = {"open", "record", "stop", "save", "close", "play", "status"};
  const std::vector<std::string> names = {"new", "newSound", "Sound", "all", "take.wav", "\"a b.wav\"",
                                          "NEWSOUND", "waveaudio!take.wav", "録音.wav", "\"\""};
  const std::vector<std::string> vocab = {
      "alias", "type", "waveaudio", "from", "to", "overwrite", "insert", "wait", "notify", "test",
      "newSound", "Sound", "0", "600000", "10", "-1", "99999999999", "\"", "\"\"", "\"a b.wav\"",
      "take.wav", "x.WAV", " ", "\t", "録音.wav", "\"録 音.wav\"", "buffer", "shareable"};
  const QString cwd = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(dir.path)));
  uint64_t next = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string s;
    if (pick(4) == 0) {   // a command of the program's, with one word changed
      const std::vector<std::string> good = {kOpenNew, kRecord, "stop newSound", "save newSound take.wav",
                                             "close newSound", "open take.wav alias Sound type waveaudio",
                                             "save Sound \"a b.wav\"", "close Sound"};
      std::vector<mci::Word> w;
      mci::splitWords(good[pick(good.size())], w);
      if (pick(3) == 0) w[pick(w.size())].text = vocab[pick(vocab.size())];
      for (const auto& word : w) s += word.text + " ";
    } else {
      s = verbs[pick(verbs.size())] + " " + names[pick(names.size())];
      for (std::size_t n = pick(6); n > 0; --n) s += (pick(4) ? " " : "") + vocab[pick(vocab.size())];
    }
    check(s);
    const auto block = signalBlock(next, 64);
    host.feed(block.data(), 64);
    next += 64;
    if (HasFatalFailure()) break;
  }
  EXPECT_GT(succeeded, 1000);   // the sentences do reach the device's work
  dev.reset();
  QDir::setCurrent(cwd);
  EXPECT_FALSE(host.tapped());
  EXPECT_TRUE(mci_test::listDir(scratch.path).empty());
  for (const auto& name : mci_test::listDir(dir.path))
    EXPECT_EQ(name.rfind(".plinkora-save-", 0), std::string::npos) << name;
}
