// SPDX-License-Identifier: GPL-3.0-or-later
// The PipeWire output's period policy, driven by scripted graph cycles: a
// machine that misses cycles at some periods and not at others, a player
// who plays and rests, another client holding the graph, and the periods
// the policy asks for in return.
#include "platform/audio/audio_thread/period_policy.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

using namespace platform;

namespace {

constexpr double kRate = 48000.0;

// A graph that runs at the period the policy asks for (unless another
// client holds it), on a machine that misses one cycle every so many
// seconds at some periods.
struct Script {
  PeriodPolicy policy;
  int64_t ns = 1000000000;
  std::map<uint32_t, double> missEvery;   // period -> seconds between misses; absent: it holds
  uint32_t heldByOther = 0;               // another client holds the graph at this period
  struct Step {
    double at;   // seconds since the start
    uint32_t period;
    PeriodPolicy::Change why;
    bool audible;
  };
  std::vector<Step> steps;
  double sinceMiss = 0;

  explicit Script(PeriodPolicy::Config config = {}) : policy(config) {}
  double now() const { return double(ns - 1000000000) * 1e-9; }
  uint32_t graphPeriod() const { return heldByOther ? heldByOther : policy.asked(); }

  // `seconds` of cycles, heard or not.
  void run(double seconds, bool audible) {
    const int64_t until = ns + int64_t(seconds * 1e9);
    while (ns < until) {
      const uint32_t period = graphPeriod();
      const double length = period / kRate;
      uint32_t missed = 0;
      const auto m = missEvery.find(period);
      if (m != missEvery.end() && m->second > 0) {
        sinceMiss += length;
        if (sinceMiss >= m->second) {
          sinceMiss = 0;
          missed = 1;
        }
      }
      PeriodPolicy::Cycle c;
      c.ns = ns;
      c.quantum = period;
      c.missed = missed;
      c.audible = audible;
      const PeriodPolicy::Change change = policy.cycle(c);
      if (change != PeriodPolicy::Change::None) steps.push_back({now(), policy.asked(), change, audible});
      ns += int64_t(length * 1e9);
    }
  }
  // One missed cycle now, at the graph's period.
  PeriodPolicy::Change miss(bool audible) {
    PeriodPolicy::Cycle c;
    c.ns = ns;
    c.quantum = graphPeriod();
    c.missed = 1;
    c.audible = audible;
    const PeriodPolicy::Change change = policy.cycle(c);
    if (change != PeriodPolicy::Change::None) steps.push_back({now(), policy.asked(), change, audible});
    ns += int64_t(c.quantum / kRate * 1e9);
    return change;
  }
  int count(PeriodPolicy::Change why) const {
    int n = 0;
    for (const Step& s : steps) n += s.why == why;
    return n;
  }
};

}  // namespace

TEST(PeriodPolicy, OnAMachineThatHoldsEveryPeriodItComesDownToTheShortestWhileNothingSounds) {
  Script s;
  EXPECT_EQ(s.policy.asked(), 256u) << "the start, before anything is known";
  s.run(60, true);
  EXPECT_EQ(s.policy.asked(), 256u) << "never tried shorter while something sounds";
  EXPECT_TRUE(s.steps.empty());
  s.run(1, false);
  ASSERT_EQ(s.steps.size(), 1u);
  EXPECT_EQ(s.steps[0].why, PeriodPolicy::Change::Trial);
  EXPECT_EQ(s.steps[0].period, 128u);
  // Played through its trial and on: kept, and it holds.
  s.run(30, true);
  s.run(60, true);
  s.run(30, false);
  EXPECT_EQ(s.policy.asked(), 128u);
  EXPECT_EQ(s.policy.held(), 128u);
  EXPECT_EQ(s.steps.size(), 1u);
  for (const auto& step : s.steps) EXPECT_FALSE(step.audible && step.why == PeriodPolicy::Change::Trial);
}

TEST(PeriodPolicy, HeardMissesLengthenThePeriodOnlyWhenTheyComeOftenAndSilentOnesNever) {
  PeriodPolicy::Config from256;   // nothing shorter to try in the rests
  from256.shortest = from256.start = 256;
  Script s(from256);
  s.run(30, true);   // 256 past its trial
  // Four misses in a minute while playing: stalls of the machine, let pass.
  for (int i = 0; i < 4; ++i) {
    s.run(12, true);
    EXPECT_EQ(s.miss(true), PeriodPolicy::Change::None);
  }
  s.run(25, true);
  EXPECT_EQ(s.miss(true), PeriodPolicy::Change::None) << "the first of these left the window";
  // Silent misses, however many, do not count.
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(s.miss(false), PeriodPolicy::Change::None);
    s.run(0.1, false);
  }
  EXPECT_EQ(s.policy.asked(), 256u);
  EXPECT_TRUE(s.steps.empty());

  // A fifth heard miss within a minute of four others: one step longer.
  Script t(from256);
  t.run(30, true);
  for (int i = 0; i < 4; ++i) {
    t.miss(true);
    t.run(5, true);
  }
  EXPECT_EQ(t.miss(true), PeriodPolicy::Change::Longer);
  EXPECT_EQ(t.policy.asked(), 512u);
  EXPECT_EQ(t.policy.failures(256), 1);
}

TEST(PeriodPolicy, APeriodThatFailsItsTrialsIsTriedLessAndLessOftenAndThenGivenUp) {
  Script s;
  s.missEvery[128] = 1.5;   // this machine misses 128-frame cycles every 1.5 s
  s.run(30, true);          // starting at 256, which holds
  s.run(600, false);        // a long rest
  // Every trial was silent and went straight back to 256.
  std::vector<double> trials;
  for (const auto& step : s.steps) {
    EXPECT_FALSE(step.audible);
    if (step.why == PeriodPolicy::Change::Trial) trials.push_back(step.at);
  }
  EXPECT_EQ(s.count(PeriodPolicy::Change::BackUp), 3);
  ASSERT_EQ(trials.size(), 3u) << "given up after three failures";
  // Each failed at its second miss (one silent miss a trial may have).
  EXPECT_NEAR(trials[1] - trials[0], 30 + 3.0, 1.0);
  EXPECT_NEAR(trials[2] - trials[1], 60 + 3.0, 1.0);
  EXPECT_TRUE(s.policy.givenUp(128));
  EXPECT_EQ(s.policy.asked(), 256u);
  // Playing after it: 256 all along.
  s.run(120, true);
  EXPECT_EQ(s.policy.asked(), 256u);
  EXPECT_EQ(s.policy.held(), 256u);
}

TEST(PeriodPolicy, ASilentTrialIsJudgedAsTheMachineIsOneMissPassesTwoFail) {
  // A machine that misses a 128-frame cycle every 15 s holds it well
  // enough (a stall now and then): the try keeps it.
  Script holds;
  holds.missEvery[128] = 15.0;
  holds.run(30, true);
  holds.run(45, false);
  EXPECT_EQ(holds.policy.asked(), 128u);
  EXPECT_EQ(holds.count(PeriodPolicy::Change::BackUp), 0);
  EXPECT_EQ(holds.policy.failures(128), 0);
  // One that misses every 8 s has two misses in a trial: back to 256.
  Script fails;
  fails.missEvery[128] = 8.0;
  fails.run(30, true);
  fails.run(20, false);
  EXPECT_EQ(fails.policy.asked(), 256u);
  ASSERT_EQ(fails.count(PeriodPolicy::Change::BackUp), 1);
  EXPECT_NEAR(fails.steps.back().at - fails.steps.front().at, 16.0, 0.5) << "at its second miss";
  EXPECT_EQ(fails.policy.failures(128), 1);
}

TEST(PeriodPolicy, AMissHeardDuringATrialSendsThePeriodBackAtOnce) {
  Script s;
  s.run(30, true);
  s.run(0.1, false);
  ASSERT_EQ(s.policy.asked(), 128u);
  s.run(2, true);   // the player starts again inside the trial
  EXPECT_EQ(s.miss(true), PeriodPolicy::Change::BackUp);
  EXPECT_EQ(s.policy.asked(), 256u);
  EXPECT_EQ(s.policy.failures(128), 1);
  s.run(20, false);
  EXPECT_EQ(s.policy.asked(), 256u) << "not tried again before its wait is over";
  s.run(15, false);
  EXPECT_EQ(s.policy.asked(), 128u);
}

TEST(PeriodPolicy, AfterABadMinuteAPeriodThatHeldComesBack) {
  Script s;
  s.run(90, true);   // 256 holds
  EXPECT_EQ(s.policy.held(), 256u);
  s.missEvery[128] = 1.0;   // 128 never does: given up
  s.run(400, false);
  ASSERT_TRUE(s.policy.givenUp(128));
  // Three bad minutes, one after another, each with a rest after it.
  for (int minute = 0; minute < 3; ++minute) {
    s.missEvery[256] = 5.0;
    s.run(60, true);
    EXPECT_EQ(s.policy.asked(), 512u) << "minute " << minute;
    s.missEvery.erase(256);
    s.run(30, true);
    s.run(620, false);   // the machine is quiet again; the player rests
    EXPECT_EQ(s.policy.asked(), 256u) << "back down after minute " << minute;
  }
  EXPECT_FALSE(s.policy.givenUp(256));
  EXPECT_GE(s.policy.failures(256), 3);
}

TEST(PeriodPolicy, MissesWhileTheProgramStartsAreNotHeldAgainstAPeriod) {
  Script s;
  s.run(0.6, true);
  EXPECT_EQ(s.miss(true), PeriodPolicy::Change::BackUp) << "the first period is on trial";
  EXPECT_EQ(s.policy.asked(), 512u);
  EXPECT_EQ(s.policy.failures(256), 0);
  // Heard misses at the longer period while still starting: not counted.
  for (int i = 0; i < 8; ++i) {
    s.run(0.5, true);
    EXPECT_EQ(s.miss(true), PeriodPolicy::Change::None);
  }
  s.run(1, true);
  s.run(0.1, false);
  EXPECT_EQ(s.policy.asked(), 256u) << "tried again at the first rest";
  // Misses in the first half second after a change are the graph changing step.
  EXPECT_EQ(s.miss(false), PeriodPolicy::Change::None);
  s.run(0.1, false);
  EXPECT_EQ(s.miss(false), PeriodPolicy::Change::None);
  EXPECT_EQ(s.policy.asked(), 256u);
}

TEST(PeriodPolicy, APeriodSetByAnotherClientIsNotJudged) {
  Script s;
  s.run(30, true);
  s.heldByOther = 128;   // another client holds the graph shorter than asked
  for (int i = 0; i < 10; ++i) {
    s.run(1, true);
    s.miss(true);
  }
  EXPECT_EQ(s.policy.asked(), 256u) << "asking longer would not change the graph";
  s.heldByOther = 1024;   // or longer (a smallest period of the server's)
  s.run(1, false);
  EXPECT_EQ(s.policy.asked(), 256u) << "no trial while the graph does not run at our period";
  EXPECT_EQ(s.policy.failures(256), 0);
  s.heldByOther = 0;
  s.run(1, false);
  EXPECT_EQ(s.policy.asked(), 128u);
}
