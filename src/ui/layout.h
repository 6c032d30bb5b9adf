// SPDX-License-Identifier: GPL-3.0-or-later
// Where the displays stand on the panel, in client pixels.  The window is
// created with them there, and opening the window places them again.
#pragma once

namespace layout {

struct Rect { int left, top, width, height; };

constexpr Rect kNoteBox[11] = {
    {136, 216, 33, 33}, {176, 216, 33, 33}, {216, 216, 33, 33},   // bottom line
    {136, 176, 33, 33}, {176, 176, 33, 33}, {216, 176, 33, 33},   // middle line
    {136, 136, 33, 33}, {176, 136, 33, 33}, {216, 136, 33, 33},   // top line
    {256, 136, 33, 33}, {256, 216, 33, 33},                       // fourth column
};
constexpr Rect kChordRoot[3] = {{56, 136, 33, 33}, {56, 176, 33, 33}, {56, 216, 33, 33}};
constexpr Rect kChordQuality[3] = {{88, 136, 40, 33}, {88, 176, 40, 33}, {88, 216, 40, 33}};
constexpr Rect kPreset[2] = {{56, 112, 113, 17}, {176, 112, 113, 17}};
constexpr Rect kToneIndicator = {296, 232, 41, 17};
constexpr Rect kKeyLamp = {0, 264, 9, 17};
constexpr Rect kRecorderButton[4] = {
    {16, 264, 73, 17}, {96, 264, 73, 17}, {176, 264, 73, 17}, {256, 264, 73, 17}};

}  // namespace layout
