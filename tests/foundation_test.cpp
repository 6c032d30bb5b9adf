// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up, the two MIDI messages, the chord table and the frets, through the
// recording test backend.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/module1.h"
#include "support/support.h"
#include "ui/form1.h"

using namespace Module1;
using testing_support::FreshProgram;

namespace {

constexpr uint32_t NoteOnMsg(int note) { return 0x7F0090u | (static_cast<uint32_t>(note) << 8); }

size_t IndexOf(const std::vector<platform::Call>& calls, const std::string& fn, const std::string& text = "") {
  for (size_t i = 0; i < calls.size(); ++i)
    if (calls[i].fn == fn && (text.empty() || calls[i].text == text)) return i;
  return calls.size();
}

}  // namespace

TEST(MidiMessages, NoteOnIsShiftedAnOctaveDownExceptForTone116) {
  FreshProgram p;
  PresetNo = 0;
  Set_StrNote();
  ASSERT_EQ(StrNote[1][0], 67);   // box 3

  ToneNo = 116;
  NoteNo = StrikeNote(3);
  Note_On();
  ToneNo = 24;
  Note_On();
  ToneNo = 32;
  Note_On();
  EXPECT_EQ(p.backend.midiMessages(),
            (std::vector<uint32_t>{NoteOnMsg(79), NoteOnMsg(67), NoteOnMsg(67)}));
  EXPECT_EQ(static_cast<uint32_t>(MidiMsg), NoteOnMsg(67));
}

TEST(MidiMessages, HighestCellWithTwelfthFretOnTone116SendsNote96) {
  FreshProgram p;
  PresetNo = 0;
  Set_StrNote();
  ToneNo = 116;
  FretKey[12] = 1;
  Set_HeldFret();
  NoteNo = StrikeNote(9);   // cell (2, 3), note 72
  EXPECT_EQ(NoteNo, 96);
  Note_On();
  EXPECT_EQ(p.backend.midiMessages().back(), NoteOnMsg(96));
}

TEST(MidiMessages, SetToneClosesReopensThenSendsTheProgramFirst) {
  FreshProgram p;
  hMidiOut = 7;
  ToneNo = 24;
  Set_Tone();
  ASSERT_EQ(p.backend.names(),
            (std::vector<std::string>{"midiOutClose", "midiOutOpen", "midiOutShortMsg"}));
  EXPECT_EQ(p.backend.calls[0].value, 7);              // the old handle is closed
  EXPECT_EQ(p.backend.calls[1].value, MIDI_MAPPER);   // the default synthesizer is reopened
  EXPECT_EQ(p.backend.calls[2].value, 24 * 256 + 192);
  EXPECT_EQ(p.backend.calls[2].flags, hMidiOut);      // ...on the new handle
  EXPECT_NE(hMidiOut, 7);
}

TEST(MidiMessages, AFailedReopenLeavesTheInstrumentMuteWithoutAMessage) {
  FreshProgram p;
  p.backend.midiOutOpenResults = {MMSYSERR_ALLOCATED};
  ToneNo = 32;
  Set_Tone();
  EXPECT_EQ(p.backend.count("MsgBox"), 0);
  EXPECT_EQ(p.backend.count("Beep"), 0);
}

TEST(ChordTable, BothPresetsFillEveryCell) {
  FreshProgram p;
  const Integer preset0[3][4] = {{69, 60, 64, 0}, {67, 60, 64, 69}, {69, 62, 66, 72}};
  const Integer preset1[3][4] = {{67, 61, 64, 0}, {67, 62, 67, 69}, {69, 62, 66, 71}};
  PresetNo = 1;
  Set_StrNote();
  for (int r = 0; r < 3; ++r)
    for (int s = 0; s < 4; ++s) EXPECT_EQ(StrNote[r][s], preset1[r][s]) << r << "," << s;
  PresetNo = 0;
  Set_StrNote();
  for (int r = 0; r < 3; ++r)
    for (int s = 0; s < 4; ++s) EXPECT_EQ(StrNote[r][s], preset0[r][s]) << r << "," << s;
  PresetNo = 5;   // no such preset: the table stays
  Set_StrNote();
  EXPECT_EQ(StrNote[2][3], 72);
}

TEST(ChordTable, BoxesMapToTheirCells) {
  const Cell expected[11] = {{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2},
                             {2, 0}, {2, 1}, {2, 2}, {2, 3}, {1, 3}};
  for (int k = 0; k < 11; ++k) {
    EXPECT_EQ(BoxCell(k).row, expected[k].row) << k;
    EXPECT_EQ(BoxCell(k).string, expected[k].string) << k;
  }
  EXPECT_EQ(BoxCell(11).row, -1);
  EXPECT_EQ(BoxCell(-1).row, -1);
}

TEST(Frets, TheHighestHeldFretWinsAndReleasesFallBack) {
  FreshProgram p;
  FretKey[3] = 1;
  Set_HeldFret();
  EXPECT_EQ(HeldFret, 3);
  FretKey[7] = 1;
  Set_HeldFret();
  EXPECT_EQ(HeldFret, 7);
  FretKey[7] = 0;
  Set_HeldFret();
  EXPECT_EQ(HeldFret, 3);
  FretKey[3] = 0;
  Set_HeldFret();
  EXPECT_EQ(HeldFret, 0);
}

TEST(Frets, APresetChangeKeepsTheHeldFret) {
  FreshProgram p;
  FretKey[5] = 1;
  Set_HeldFret();
  PresetNo = 1;
  Set_StrNote();
  EXPECT_EQ(HeldFret, 5);
  EXPECT_EQ(StrikeNote(0), 67 + 12 + 5);
}

TEST(StartUp, SetsTheStateAndSendsProgram116BeforeTheSplash) {
  FreshProgram p;
  p.backend.windowsDirectory = "/home/me/.cache/plinkora";
  ASSERT_TRUE(Main());
  EXPECT_EQ(AppDir, p.backend.appPath);
  EXPECT_EQ(WinDir, "/home/me/.cache/plinkora/");
  EXPECT_EQ(PresetNo, 0);
  EXPECT_EQ(ToneNo, 116);
  EXPECT_EQ(StrNote[2][3], 72);
  EXPECT_EQ(Recording, 0);
  EXPECT_EQ(HasTake, 0);

  const auto& calls = p.backend.calls;
  const size_t open = IndexOf(calls, "midiOutOpen");
  const size_t firstMsg = IndexOf(calls, "midiOutShortMsg");
  const size_t splash = IndexOf(calls, "sndPlaySoundA", AppDir + "start.wav");
  ASSERT_LT(open, calls.size());
  ASSERT_LT(splash, calls.size());
  EXPECT_EQ(calls[open].value, MIDI_MAPPER);
  EXPECT_LT(open, firstMsg);
  EXPECT_LT(firstMsg, splash);
  EXPECT_EQ(p.backend.midiMessages().front(), 116u * 256 + 192);
  EXPECT_EQ(calls[splash].flags, SND_SYNC);
  EXPECT_TRUE(form1().isVisible());
}

TEST(StartUp, FoldersAtTheRootGetNoSecondSlash) {
  FreshProgram p;
  p.backend.windowsDirectory = "/";
  p.backend.appPath = "/";
  ASSERT_TRUE(Main());
  EXPECT_EQ(AppDir, "/");
  EXPECT_EQ(WinDir, "/");
}

TEST(StartUp, NoMidiOutputBeepsSaysSoAndEndsWithoutAWindow) {
  FreshProgram p;
  p.backend.midiOutOpenResults = {MMSYSERR_NODRIVER};
  EXPECT_FALSE(Main());
  EXPECT_TRUE(StartFailed);
  EXPECT_EQ(p.backend.count("Beep"), 1);
  ASSERT_EQ(p.backend.count("MsgBox"), 1);
  const auto box = p.backend.callsTo("MsgBox").front();
  EXPECT_EQ(box.text,
            "MIDIデバイスをオープン出来ません。MIDI音源が使えるか、"
            "他のアプリケーションがMIDI音源を使っていないか調べてください。");
  EXPECT_EQ(box.value, vbOKOnly);
  EXPECT_EQ(box.title, "Plinkora");
  // The beep comes before the box, and nothing is played or sent after it.
  const auto names = p.backend.names();
  EXPECT_LT(std::find(names.begin(), names.end(), "Beep"), std::find(names.begin(), names.end(), "MsgBox"));
  EXPECT_EQ(names.back(), "MsgBox");
  EXPECT_EQ(p.backend.count("midiOutShortMsg"), 0);
  EXPECT_EQ(p.backend.count("sndPlaySoundA"), 0);
  EXPECT_FALSE(form1Exists() && form1().isVisible());
}

TEST(StartUp, ASecondCopyEndsSilently) {
  FreshProgram p;
  p.backend.prevInstance = true;
  EXPECT_FALSE(Main());
  EXPECT_FALSE(StartFailed);   // not a failure: the first copy plays on
  EXPECT_TRUE(p.backend.calls.empty());
  EXPECT_FALSE(form1Exists());
}
