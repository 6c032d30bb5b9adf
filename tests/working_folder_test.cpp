// SPDX-License-Identifier: GPL-3.0-or-later
// The private working folder and the files the program keeps in it: the
// folder is made 0700 and tightened when looser, a link or another user's
// folder is never used, and a link planted at the name of a file that the
// program writes or deletes there is replaced or removed, never followed.
#include "mci_test_util.h"
#include "support/support.h"

#include "platform/waveaudio/mci_device.h"
#include "platform/desktop/private_folder.h"
#include "platform/real_backend.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace platform;
using testing_support::ScratchDir;
namespace fs = std::filesystem;

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

bool IsLink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs with XDG_CACHE_HOME and TMPDIR pointed elsewhere, restored afterwards.
class FolderEnvironment {
public:
  FolderEnvironment(const std::string& cache, const std::string& temp) {
    Save("XDG_CACHE_HOME", cache);
    Save("TMPDIR", temp);
  }
  ~FolderEnvironment() {
    for (auto& [name, value] : saved_) {
      if (value) setenv(name.c_str(), value->c_str(), 1);
      else unsetenv(name.c_str());
    }
  }

private:
  void Save(const std::string& name, const std::string& value) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    setenv(name.c_str(), value.c_str(), 1);
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

std::string WorkingFolderOf(RealBackend& backend) {
  char buffer[1024] = {};
  backend.GetWindowsDirectoryA(buffer, sizeof buffer);
  return buffer;
}

}  // namespace

TEST(WorkingFolder, IsMadePrivateAndTightenedWhenLooser) {
  ScratchDir scratch;
  const std::string fresh = scratch.path + "a/b/plinkora";
  ASSERT_TRUE(MakePrivateFolder(fresh + "/"));
  EXPECT_EQ(ModeOf(fresh), 0700u);

  const std::string loose = scratch.path + "loose";
  ASSERT_EQ(::mkdir(loose.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(loose.c_str(), 02777), 0);
  WriteText(loose + "/kept", "take");
  ASSERT_TRUE(MakePrivateFolder(loose));
  EXPECT_EQ(ModeOf(loose), 0700u);
  EXPECT_EQ(ReadText(loose + "/kept"), "take");   // tightened, not emptied
}

TEST(WorkingFolder, ALinkOrAFileIsNeverUsed) {
  ScratchDir scratch;
  const std::string target = scratch.path + "elsewhere";
  ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
  const std::string link = scratch.path + "plinkora";
  fs::create_directory_symlink(target, link);
  EXPECT_FALSE(MakePrivateFolder(link));
  EXPECT_FALSE(MakePrivateFolder(link + "/"));
  EXPECT_EQ(ModeOf(target), 0755u);   // the link's target is not tightened either

  WriteText(scratch.path + "file", "");
  EXPECT_FALSE(MakePrivateFolder(scratch.path + "file"));
  EXPECT_FALSE(MakePrivateFolder(""));
}

TEST(WorkingFolder, AFolderOfAnotherUserIsNeverUsed) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
  ScratchDir scratch;
  const std::string theirs = scratch.path + "theirs";
  ASSERT_EQ(::mkdir(theirs.c_str(), 0777), 0);
  ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(theirs.c_str(), 0777), 0);
  EXPECT_FALSE(MakePrivateFolder(theirs));
  EXPECT_EQ(ModeOf(theirs), 0777u);
}

TEST(WorkingFolder, FallsBackToTheTempFolderAndThenToNone) {
  ScratchDir scratch;
  const std::string cache = scratch.path + "cache";
  const std::string temp = scratch.path + "temp";
  const std::string uid = std::to_string(::geteuid());
  EXPECT_EQ(PrivateWorkingFolder(cache, temp), cache + "/plinkora/");

  // A link where the cache folder would be: the temp folder is used instead.
  fs::remove_all(cache + "/plinkora");
  fs::create_directory_symlink(scratch.path, cache + "/plinkora");
  EXPECT_EQ(PrivateWorkingFolder(cache, temp), temp + "/plinkora-" + uid + "/");

  // Neither can be a folder: nothing can be written anywhere.
  const std::string file = scratch.path + "a-file";
  WriteText(file, "");
  EXPECT_EQ(PrivateWorkingFolder(file, file), std::string(kNoWorkingFolder));
  EXPECT_FALSE(MakePrivateFolder(std::string(kNoWorkingFolder) + "x"));
}

TEST(WorkingFolder, TheRealBackendTakesItFromTheUsersCacheFolder) {
  testing_support::App();
  ScratchDir scratch;
  {
    FolderEnvironment env(scratch.path + "cache", scratch.path + "temp");
    RealBackend backend;
    EXPECT_EQ(WorkingFolderOf(backend), scratch.path + "cache/plinkora/");
    EXPECT_EQ(ModeOf(scratch.path + "cache/plinkora"), 0700u);
  }
  {
    WriteText(scratch.path + "blocked", "");
    FolderEnvironment env(scratch.path + "blocked", scratch.path + "blocked");
    RealBackend backend;
    EXPECT_EQ(WorkingFolderOf(backend), std::string(kNoWorkingFolder));
    EXPECT_FALSE(backend.App_PrevInstance());   // no lock can be taken: the program runs
  }
}

TEST(WorkingFolder, OneCopyRunsAndALeftoverLockFileNeverStopsTheNext) {
  testing_support::App();
  ScratchDir scratch;
  FolderEnvironment env(scratch.path + "cache", scratch.path + "temp");
  const std::string lock = scratch.path + "cache/plinkora/plinkora.lock";
  {
    RealBackend first;
    EXPECT_FALSE(first.App_PrevInstance());
    RealBackend second;
    EXPECT_TRUE(second.App_PrevInstance());
    EXPECT_TRUE(fs::exists(lock));
    EXPECT_EQ(ModeOf(lock) & 0077, 0u);   // nobody else may read or write it
  }
  // A clean end takes the lock file away with it.
  EXPECT_FALSE(fs::exists(lock));
  // A copy that crashed leaves its file behind, maybe garbled (a full disk).
  WriteText(lock, "\x01garbage, not a process id");
  RealBackend next;
  EXPECT_FALSE(next.App_PrevInstance());
  RealBackend another;
  EXPECT_TRUE(another.App_PrevInstance());   // and the lock on it holds
}

TEST(WorkingFolder, PlantedLinksAreNotFollowed) {
  testing_support::App();
  ScratchDir scratch;
  FolderEnvironment env(scratch.path + "cache", scratch.path + "temp");
  RealBackend backend;
  const std::string folder = WorkingFolderOf(backend);
  ASSERT_EQ(folder, scratch.path + "cache/plinkora/");
  const std::string victim = scratch.path + "victim";
  WriteText(victim, "precious");
  ASSERT_EQ(::chmod(victim.c_str(), 0646), 0);

  // The lock file: taken without writing through a link at its name.
  fs::create_symlink(victim, folder + "plinkora.lock");
  EXPECT_FALSE(backend.App_PrevInstance());
  EXPECT_EQ(ReadText(victim), "precious");
  EXPECT_EQ(ModeOf(victim), 0646u);
  EXPECT_FALSE(IsLink(folder + "plinkora.lock"));
  RealBackend second;
  EXPECT_TRUE(second.App_PrevInstance());   // and it really is held

  // The temporary recording: stored over a link, which the take replaces.
  const std::string temp = folder + "tempsound.wav";
  fs::create_symlink(victim, temp);
  mci_test::FakeHost host(8000);
  {
    WaveAudioDevice device(host, folder);
    ASSERT_EQ(device.sendString("open new alias newSound type waveaudio"), 0u);
    ASSERT_EQ(device.sendString("record newSound"), 0u);
    const auto block = mci_test::signalBlock(0, 800);
    host.feed(block.data(), 800);
    ASSERT_EQ(device.sendString(("save newSound \"" + temp + "\"").c_str()), 0u);
    ASSERT_EQ(device.sendString("close newSound"), 0u);
  }
  EXPECT_EQ(ReadText(victim), "precious");
  EXPECT_FALSE(IsLink(temp));
  EXPECT_EQ(mci_test::readWav(temp).frames(), 800u);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(ModeOf(temp), 0666 & ~mask) << "mode " << std::oct << ModeOf(temp);   // not the victim's
  // Only the store is left: no scratch file of the take stays behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);

  // Deleting the temporary recording removes a link, not what it points to.
  fs::remove(temp);
  fs::create_symlink(victim, temp);
  EXPECT_TRUE(backend.Kill(temp));
  EXPECT_FALSE(fs::exists(fs::symlink_status(temp)));
  EXPECT_EQ(ReadText(victim), "precious");
}
