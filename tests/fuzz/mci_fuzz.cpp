// SPDX-License-Identifier: GPL-3.0-or-later
#include "fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzzing::MciCommands(data, size);
}
