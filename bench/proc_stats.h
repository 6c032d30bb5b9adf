// SPDX-License-Identifier: GPL-3.0-or-later
// What /proc tells about a process, for the benchmarks: memory lines of
// /proc/PID/status and counters of /proc/PID/stat.  "self" is this process.
#pragma once

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>
#include <string>

namespace proc {

// A "Key:  N kB" line of /proc/PID/status (key given with its colon), in kB;
// -1 when absent.
inline long statusKb(const char* key, const std::string& pid = "self") {
  std::ifstream in("/proc/" + pid + "/status");
  std::string line;
  const std::size_t n = std::strlen(key);
  while (std::getline(in, line))
    if (line.compare(0, n, key) == 0) return std::strtol(line.c_str() + n, nullptr, 10);
  return -1;
}

// Field `index` (1-based, as in proc(5)) of /proc/PID/stat; -1 when absent.
// Fields are counted after the command name, which may hold spaces.
inline long long statField(int index, const std::string& pid = "self") {
  std::ifstream in("/proc/" + pid + "/stat");
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = all.rfind(')');
  if (close == std::string::npos || close + 2 > all.size()) return -1;
  std::istringstream rest(all.substr(close + 2));
  std::string field;
  for (int i = 3; rest >> field; ++i)
    if (i == index) return std::atoll(field.c_str());
  return -1;
}

// Major page faults so far (pages read back from disk).
inline long long majorFaults(const std::string& pid = "self") { return statField(12, pid); }

// User plus system CPU time so far, in seconds.
inline double cpuSeconds(const std::string& pid = "self") {
  const long long user = statField(14, pid), system = statField(15, pid);
  if (user < 0 || system < 0) return -1.0;
  return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

}  // namespace proc
