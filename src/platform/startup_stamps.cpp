// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/startup_stamps.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace platform::startup {

namespace {

struct Mark {
  std::atomic<const char*> step{nullptr};
  double ms = 0.0;
};
constexpr int kMarks = 32;
Mark marks[kMarks];
std::atomic<int> taken{0};
std::atomic<bool> reported{false};

double nowMs() noexcept {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

}  // namespace

void mark(const char* step) noexcept {
  const double ms = nowMs();
  const int i = taken.fetch_add(1, std::memory_order_relaxed);
  if (i >= kMarks) return;
  marks[i].ms = ms;
  marks[i].step.store(step, std::memory_order_release);   // published with its time
}

void report() {
  const char* wanted = std::getenv("PLINKORA_STARTUP_STAMPS");
  if (!wanted || !*wanted || *wanted == '0') return;
  if (reported.exchange(true)) return;
  std::string line = "plinkora: start-up stamps (ms, CLOCK_MONOTONIC):";
  const int n = std::min(taken.load(std::memory_order_acquire), kMarks);
  for (int i = 0; i < n; ++i) {
    const char* step = marks[i].step.load(std::memory_order_acquire);
    if (!step) continue;   // still being written by another thread
    char item[96];
    std::snprintf(item, sizeof item, " %s=%.1f", step, marks[i].ms);
    line += item;
  }
  std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace platform::startup
