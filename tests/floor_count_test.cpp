// SPDX-License-Identifier: GPL-3.0-or-later
// The floor client's count of missed graph cycles and the rule read off its
// runs (bench/floor_count.h).
#include "floor_count.h"

#include <gtest/gtest.h>

using floorbench::FloorCount;
using floorbench::FloorRun;
using floorbench::shortestHeld;

namespace {

// Feeds calls at the given graph-clock ticks, each cycle `frames` long.
void feed(FloorCount& c, std::initializer_list<uint64_t> ticks, uint32_t frames, int64_t wakeNs = 50000) {
  for (uint64_t t : ticks) c.cycle(t, frames, wakeNs);
}

}  // namespace

TEST(FloorCount, CyclesJumpedOverAreMissedAndTheLongestGapKept) {
  FloorCount c;
  feed(c, {1000, 1256, 1512}, 256);
  EXPECT_EQ(c.missed(), 0u);
  EXPECT_EQ(c.longestGap(), 1u);
  feed(c, {2280}, 256);          // three cycles on: two missed
  feed(c, {2536, 3048}, 256);    // then one more skipped
  EXPECT_EQ(c.cycles(), 6u);
  EXPECT_EQ(c.missed(), 3u);
  EXPECT_EQ(c.gaps(), 2u);
  EXPECT_EQ(c.longestGap(), 3u);
}

TEST(FloorCount, AClockThatWobblesOrAPeriodThatChangesIsNoMiss) {
  FloorCount c;
  // A driver whose steps are a few frames off, and the graph moving from
  // 256 to 128 frames: the step after the change is the old length.
  feed(c, {0, 258, 510, 766}, 256);
  feed(c, {1022, 1150, 1278}, 128);
  EXPECT_EQ(c.missed(), 0u);
  EXPECT_EQ(c.minFrames(), 128u);
  EXPECT_EQ(c.maxFrames(), 256u);
  // Half a cycle late rounds to a whole one passed; a cycle and a half to two.
  feed(c, {1278 + 128 + 60}, 128);
  EXPECT_EQ(c.missed(), 0u);
  feed(c, {1466 + 128 + 64}, 128);
  EXPECT_EQ(c.missed(), 1u);
}

TEST(FloorCount, WakeUpDelaysByShare) {
  FloorCount c;
  EXPECT_EQ(c.wakeMs(0.99), 0.0);
  uint64_t t = 0;
  for (int i = 0; i < 998; ++i) c.cycle(t += 128, 128, 30000);   // 0.03 ms
  c.cycle(t += 128, 128, 2000000);                               // 2 ms
  c.cycle(t += 128, 128, 900000000);                             // far past the last bin
  EXPECT_NEAR(c.wakeMs(0.5), 0.04, 1e-9);
  EXPECT_NEAR(c.wakeMs(0.998), 0.04, 1e-9);
  EXPECT_NEAR(c.wakeMs(0.999), 2.01, 1e-9);
  EXPECT_NEAR(c.wakeMs(1.0), 50.0, 1e-9);
  EXPECT_EQ(c.missed(), 0u);
}

TEST(FloorRule, TheShortestPeriodWithAtMostTheMissesAllowedAMinute) {
  auto run = [](uint32_t period, uint64_t missed, double seconds, uint32_t ran = 0) {
    FloorRun r;
    r.period = period;
    r.missed = missed;
    r.seconds = seconds;
    r.ranMin = r.ranMax = ran ? ran : period;
    return r;
  };
  // Counted a minute at a time: 3 in 120 s holds, 3 in 60 s does not.
  EXPECT_EQ(shortestHeld({run(512, 0, 60), run(128, 51, 60), run(256, 3, 120)}, 2), 256u);
  EXPECT_EQ(shortestHeld({run(512, 0, 60), run(128, 51, 60), run(256, 3, 60)}, 2), 512u);
  // A run the graph held at another period (a server's lower limit) says
  // nothing about the period asked for.
  EXPECT_EQ(shortestHeld({run(128, 0, 60, 1024), run(256, 0, 60, 1024), run(1024, 1, 60)}, 2), 1024u);
  EXPECT_EQ(shortestHeld({run(128, 9, 60), run(256, 0, 0)}, 2), 0u);
  EXPECT_EQ(shortestHeld({}, 2), 0u);
}
