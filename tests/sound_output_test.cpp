// SPDX-License-Identifier: GPL-3.0-or-later
// The audio output's buffering as the environment may tune it.
#include "platform/audio/system/pulse_output.h"

#include <gtest/gtest.h>

#include <cstdlib>

using platform::PulseOutput;

namespace {

struct Env {
  Env(const char* period, const char* periods) {
    set("PLINKORA_AUDIO_PERIOD", period);
    set("PLINKORA_AUDIO_PERIODS", periods);
  }
  ~Env() {
    unsetenv("PLINKORA_AUDIO_PERIOD");
    unsetenv("PLINKORA_AUDIO_PERIODS");
  }
  static void set(const char* name, const char* value) {
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
};

TEST(OutputBuffering, DefaultsUnlessTheEnvironmentAsksForSaneNumbers) {
  const PulseOutput::Config defaults;
  {
    Env env(nullptr, nullptr);
    const auto c = PulseOutput::configFromEnvironment();
    EXPECT_EQ(c.periodFrames, defaults.periodFrames);
    EXPECT_EQ(c.bufferPeriods, defaults.bufferPeriods);
  }
  {
    Env env("512", "4");
    const auto c = PulseOutput::configFromEnvironment();
    EXPECT_EQ(c.periodFrames, 512u);
    EXPECT_EQ(c.bufferPeriods, 4u);
  }
  // Out of range, not a number, trailing junk, empty: the defaults stay.
  for (const char* bad : {"0", "63", "5000", "-256", "abc", "256ms", ""}) {
    Env env(bad, bad);
    const auto c = PulseOutput::configFromEnvironment();
    EXPECT_EQ(c.periodFrames, defaults.periodFrames) << '"' << bad << '"';
    EXPECT_EQ(c.bufferPeriods, defaults.bufferPeriods) << '"' << bad << '"';
  }
}

}  // namespace
