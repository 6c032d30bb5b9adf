// SPDX-License-Identifier: GPL-3.0-or-later
// A take of the wave-audio device on its own, with a tap host the test
// drives: its ring wraps without losing or repeating a frame, the writer can
// be asked to catch up while the audio thread pushes, and a write that fails
// is reported at stop and save until a fresh take starts.
#include "mci_test_util.h"
#include "support/support.h"

#include "platform/waveaudio/mci_messages.h"
#include "platform/waveaudio/mci_take.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace platform;
using mci_test::FakeHost;
using mci_test::holdsSignal;
using mci_test::readWav;
using mci_test::signalBlock;
using testing_support::ScratchDir;

namespace {

constexpr uint64_t kNoEnd = ~uint64_t{0};

class Take : public ::testing::Test {
protected:
  ScratchDir dir, scratch;
  FakeHost host{44100};
  mci::Take take{host, 1024};   // the smallest ring: it wraps every 1024 frames

  std::function<void()> flush = [this] { take.flush(); };

  void SetUp() override { ASSERT_EQ(take.createScratch(scratch.path), 0u); }
};

}  // namespace

// Blocks that do not divide the ring, each written out before the next: the
// ring wraps inside blocks and at their ends, and the file follows on.
TEST_F(Take, RingWrapsWithoutLosingOrRepeatingAFrame) {
  ASSERT_EQ(take.start(0, kNoEnd), 0u);
  uint64_t fed = 0;
  for (uint32_t n : {700u, 1000u, 1024u, 1u, 1023u, 333u, 999u}) {
    for (int round = 0; round < 5; ++round) {
      const auto block = signalBlock(fed, n);
      host.feed(block.data(), n);
      fed += n;
      take.flush();
    }
  }
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(take.stop(), 0u);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");   // nothing lost
  EXPECT_EQ(take.frames(), fed);
  ASSERT_EQ(take.save(dir.path + "wrap.wav"), 0u);
  EXPECT_TRUE(holdsSignal(readWav(dir.path + "wrap.wav"), 0, fed));
}

// The UI thread asks the writer to catch up while the audio thread pushes.
// Whatever the ring could not hold comes back as silence; every frame that
// is not silence is the signal's frame at its own place.
TEST_F(Take, FlushWhileTheAudioThreadPushes) {
  ASSERT_EQ(take.start(0, kNoEnd), 0u);
  constexpr uint64_t kTotal = 200 * 256;
  std::atomic<bool> done{false};
  std::thread audio([&] {
    for (uint64_t at = 0; at < kTotal; at += 256) {
      const auto block = signalBlock(at, 256);
      host.feed(block.data(), 256);
      if (at % 2048 == 0) std::this_thread::yield();
    }
    done = true;
  });
  while (!done) take.flush();
  audio.join();
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(take.stop(), 0u);
  ::testing::internal::GetCapturedStderr();   // frames may have been lost, and are said to be
  ASSERT_EQ(take.save(dir.path + "busy.wav"), 0u);

  const auto w = readWav(dir.path + "busy.wav");
  ASSERT_TRUE(w.ok) << w.error;
  ASSERT_EQ(w.frames(), kTotal);   // the take keeps its length in time
  uint64_t heard = 0;
  for (uint64_t f = 0; f < kTotal; ++f) {
    if (w.samples[2 * f] == 0 && w.samples[2 * f + 1] == 0) continue;
    ASSERT_EQ(w.samples[2 * f], mci_test::signalSample(f, 0)) << "frame " << f;
    ASSERT_EQ(w.samples[2 * f + 1], mci_test::signalSample(f, 1)) << "frame " << f;
    ++heard;
  }
  EXPECT_GE(heard, 1024u);
}

// The scratch file cannot grow past 64 KiB (the file size limit stands in
// for a full disk): stop and save say so, the take stays damaged while it is
// added to, and a take recorded afresh from its start is whole again.
TEST_F(Take, AFailedWriteIsReportedUntilAFreshTake) {
  fflush(nullptr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{64 * 1024, 64 * 1024};
    setrlimit(RLIMIT_FSIZE, &lim);
    bool ok = take.start(0, kNoEnd) == 0;
    mci_test::feedSignal(host, 0, 44100, flush, 1);   // 176 KB
    ok = ok && take.stop() == MCIERR_FILE_WRITE;
    ok = ok && take.save(dir.path + "broken.wav") == MCIERR_FILE_WRITE;
    ok = ok && ::access((dir.path + "broken.wav").c_str(), F_OK) != 0;
    // Recording on at its end keeps the damage; from the start it is gone.
    ok = ok && take.start(take.frames(), kNoEnd) == 0 && take.stop() == MCIERR_FILE_WRITE;
    ok = ok && take.start(0, kNoEnd) == 0;
    mci_test::feedSignal(host, 500, 4410, flush, 1);
    ok = ok && take.stop() == 0 && take.save(dir.path + "fresh.wav") == 0;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(holdsSignal(readWav(dir.path + "fresh.wav"), 500, 4410));
}

// A take records up to its end and no further, however the blocks fall.
TEST_F(Take, StopsByItselfAtItsEnd) {
  ASSERT_EQ(take.start(0, 1500), 0u);
  mci_test::feedSignal(host, 0, 5000, flush, 1);
  ASSERT_EQ(take.stop(), 0u);
  EXPECT_EQ(take.frames(), 1500u);
  ASSERT_EQ(take.save(dir.path + "end.wav"), 0u);
  EXPECT_TRUE(holdsSignal(readWav(dir.path + "end.wav"), 0, 1500));
}
