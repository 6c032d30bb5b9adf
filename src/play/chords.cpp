// SPDX-License-Identifier: GPL-3.0-or-later
// The chord table of the two presets, and the frets.
#include "app/module1.h"

namespace Module1 {
namespace {

// [preset][row][string]; cell (0, 3) has no box and is never played.
constexpr Integer kPresets[2][3][4] = {
    {{69, 60, 64, 0}, {67, 60, 64, 69}, {69, 62, 66, 72}},
    {{67, 61, 64, 0}, {67, 62, 67, 69}, {69, 62, 66, 71}},
};

}  // namespace

void Set_StrNote() {
  if (PresetNo != 0 && PresetNo != 1) return;
  for (int row = 0; row < 3; ++row)
    for (int string = 0; string < 4; ++string)
      StrNote[row][string] = kPresets[PresetNo][row][string];
}

void Set_HeldFret() {
  for (int n = 12; n >= 1; --n) {
    if (FretKey[n] == 1) {
      HeldFret = static_cast<Integer>(n);
      return;
    }
  }
  HeldFret = 0;
}

Long StrikeNote(int box) {
  const Cell c = BoxCell(box);
  if (c.row < 0) return 0;
  return StrNote[c.row][c.string] + 12 + HeldFret;
}

}  // namespace Module1
