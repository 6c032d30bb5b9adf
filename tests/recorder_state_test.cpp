// SPDX-License-Identifier: GPL-3.0-or-later
// The recorder's four states, their transitions and the failure of every
// wave-audio step, driven through the form's procedures and the strip's
// events against the recording test backend.

#include "recorder_test_util.h"

using namespace Module1;
using namespace rectest;

namespace {

class Recorder : public RecorderTest {};

// ---- from Empty ----

TEST_F(Recorder, RecFromEmptySilencesOpensAndRecordsWithoutAsking) {
  ASSERT_EQ(RecLook(), Look::Idle);
  form1().Bot_Rec();

  EXPECT_TRUE(SilencedFirst());
  EXPECT_EQ(b.mciCommands(), (Strings{kOpen, kRecord}));
  EXPECT_EQ(b.count("MsgBox"), 0);
  EXPECT_EQ(Recording, 1);
  EXPECT_EQ(HasTake, 0);
  EXPECT_EQ(RecLook(), Look::Recording);
}

TEST_F(Recorder, PlayAndStopRightAfterStartUp) {
  form1().Bot_Play();
  EXPECT_EQ(b.names(), (Strings{"Beep"}));

  b.clear();
  form1().Bot_Stop();
  EXPECT_EQ(b.names(), (Strings{"sndPlaySoundA"}));
  EXPECT_TRUE(SilencedFirst());
  EXPECT_EQ(Recording, 0);
  EXPECT_EQ(HasTake, 0);
}

// ---- storing a take ----

TEST_F(Recorder, StopStoresTheTakeInTheTemporaryFileAndClosesTheDevice) {
  form1().Bot_Rec();
  b.clear();
  form1().Bot_Stop();

  EXPECT_TRUE(SilencedFirst());
  EXPECT_EQ(b.mciCommands(), (Strings{kStop, kStore, kClose}));
  EXPECT_EQ(b.count("MsgBox"), 0);
  EXPECT_EQ(Recording, 0);
  EXPECT_EQ(HasTake, 1);
  EXPECT_EQ(RecLook(), Look::Idle);
  EXPECT_TRUE(b.files.count(kTemp));
}

TEST_F(Recorder, RecDuringATakeStoresItExactlyAsStopWould) {
  form1().Bot_Rec();
  b.clear();
  form1().Bot_Rec();

  EXPECT_TRUE(SilencedFirst());
  EXPECT_EQ(b.mciCommands(), (Strings{kStop, kStore, kClose}));
  EXPECT_EQ(b.count("MsgBox"), 0);
  EXPECT_EQ(Recording, 0);
  EXPECT_EQ(HasTake, 1);
  EXPECT_EQ(RecLook(), Look::Idle);
}

TEST_F(Recorder, PlayPlaysTheStoredTakeOnceInTheBackground) {
  StoreATake();
  form1().Bot_Play();
  ASSERT_EQ(b.names(), (Strings{"sndPlaySoundA"}));
  EXPECT_EQ(b.calls[0].text, kTemp);
  EXPECT_EQ(b.calls[0].flags, SND_ASYNC);
  EXPECT_EQ(Recording, 0);
  EXPECT_EQ(HasTake, 1);
}

// ---- over a stored take ----

TEST_F(Recorder, RecOverAStoredTakeAsksAndNoChangesNothing) {
  StoreATake();
  form1().Bot_Rec();

  EXPECT_TRUE(SilencedFirst());
  const auto boxes = b.callsTo("MsgBox");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, kAskOverwrite);
  EXPECT_EQ(boxes[0].value, vbYesNo + vbCritical + vbDefaultButton2);
  EXPECT_EQ(boxes[0].title, "Plinkora");
  EXPECT_TRUE(b.mciCommands().empty());
  EXPECT_EQ(Recording, 0);
  EXPECT_EQ(HasTake, 1);
  EXPECT_EQ(RecLook(), Look::Idle);

  // The stored take still plays.
  b.clear();
  form1().Bot_Play();
  ASSERT_EQ(b.count("sndPlaySoundA"), 1);
  EXPECT_EQ(b.calls[0].text, kTemp);
}

TEST_F(Recorder, YesStartsANewTakeWhileThePreviousOneStillPlaysAndSaves) {
  StoreATake();
  b.msgBoxAnswers = {vbYes};
  form1().Bot_Rec();
  EXPECT_EQ(b.mciCommands(), (Strings{kOpen, kRecord}));
  EXPECT_EQ(Recording, 1);
  EXPECT_EQ(HasTake, 1);
  EXPECT_EQ(RecLook(), Look::Recording);

  b.clear();
  form1().Bot_Play();
  ASSERT_EQ(b.names(), (Strings{"sndPlaySoundA"}));
  EXPECT_EQ(b.calls[0].text, kTemp);
  EXPECT_EQ(b.calls[0].flags, SND_ASYNC);

  b.clear();
  b.saveDialogAnswers = {"/out/previous.wav"};
  form1().Bot_Save();
  EXPECT_EQ(b.mciCommands(), (Strings{"open " + kTempQuoted + " alias Sound type waveaudio",
                                      "save Sound \"/out/previous.wav\"", "close Sound"}));
  EXPECT_EQ(b.count("MsgBox"), 0);
  EXPECT_EQ(Recording, 1);   // the new take goes on
  EXPECT_EQ(RecLook(), Look::Recording);

  // Stopping the new take replaces the stored one.
  b.clear();
  form1().Bot_Stop();
  EXPECT_EQ(b.mciCommands(), (Strings{kStop, kStore, kClose}));
  EXPECT_EQ(Recording, 0);
  EXPECT_EQ(HasTake, 1);
}

TEST_F(Recorder, StopWithAStoredTakeButNoOpenTakeOnlySilences) {
  StoreATake();
  form1().Bot_Stop();
  EXPECT_EQ(b.names(), (Strings{"sndPlaySoundA"}));
  EXPECT_EQ(HasTake, 1);
}

// ---- failures of Rec ----

TEST_F(Recorder, OpenFailureReportsAndLeavesNothingOpen) {
  FailOn(kOpen);
  form1().Bot_Rec();
  EXPECT_EQ(b.mciCommands(), (Strings{kOpen}));
  EXPECT_EQ(OkBoxes(), (Strings{kCannotOpen}));
  EXPECT_EQ(Recording, 0);
  EXPECT_EQ(HasTake, 0);
  EXPECT_EQ(RecLook(), Look::Idle);

  // Nothing is open, so Stop has nothing to store.
  b.clear();
  form1().Bot_Stop();
  EXPECT_TRUE(b.mciCommands().empty());
}

TEST_F(Recorder, RecordFailureLeavesTheDeviceOpenWithTheIdleLookUntilStop) {
  FailOn(kRecord);
  form1().Bot_Rec();
  EXPECT_EQ(b.mciCommands(), (Strings{kOpen, kRecord}));
  EXPECT_EQ(OkBoxes(), (Strings{kCannotRecord}));
  EXPECT_EQ(Recording, 1);
  EXPECT_EQ(HasTake, 0);
  EXPECT_EQ(RecLook(), Look::Idle);

  AllSucceed();
  b.clear();
  form1().Bot_Stop();
  EXPECT_EQ(b.mciCommands(), (Strings{kStop, kStore, kClose}));
  EXPECT_EQ(Recording, 0);
  EXPECT_EQ(HasTake, 1);
  EXPECT_EQ(RecLook(), Look::Idle);
}

TEST_F(Recorder, RecordFailureOverAStoredTakeThenRecStoresTheEmptyTake) {
  StoreATake();
  b.msgBoxAnswers = {vbYes};
  FailOn(kRecord);
  form1().Bot_Rec();
  EXPECT_EQ(b.messages(), (Strings{kAskOverwrite, kCannotRecord}));
  EXPECT_EQ(Recording, 1);
  EXPECT_EQ(HasTake, 1);
  EXPECT_EQ(RecLook(), Look::Idle);

  AllSucceed();
  b.clear();
  form1().Bot_Rec();   // no question: a take is open
  EXPECT_EQ(b.count("MsgBox"), 0);
  EXPECT_EQ(b.mciCommands(), (Strings{kStop, kStore, kClose}));
  EXPECT_EQ(Recording, 0);
}

// ---- failures of storing, each step in turn, from either take-open state ----

struct StoreFailure {
  std::string command;
  std::string message;
  Strings sent;          // the commands sent up to and including the failure
  bool tempWritten;      // the new take reached the temporary file
};

class StoreFailures : public RecorderTest, public ::testing::WithParamInterface<std::tuple<StoreFailure, bool>> {};

TEST_P(StoreFailures, LeaveTheTakeOpenAndAFurtherStopStartsAgainFromStop) {
  const auto& [failure, overStoredTake] = GetParam();
  if (overStoredTake) {
    StoreATake();   // the previous take, in the temporary file
    b.msgBoxAnswers = {vbYes};
  }
  form1().Bot_Rec();
  ASSERT_EQ(Recording, 1);
  const Integer takeBefore = HasTake;

  // Only the new take's store can create the temporary file.
  if (!overStoredTake) ASSERT_FALSE(b.files.count(kTemp));

  b.clear();
  FailOn(failure.command);
  form1().Bot_Stop();
  EXPECT_TRUE(SilencedFirst());
  EXPECT_EQ(b.mciCommands(), failure.sent);
  EXPECT_EQ(OkBoxes(), (Strings{failure.message}));
  EXPECT_EQ(Recording, 1);
  EXPECT_EQ(HasTake, takeBefore);
  EXPECT_EQ(RecLook(), Look::Recording);
  EXPECT_EQ(b.files.count(kTemp) == 1, failure.tempWritten || overStoredTake);

  // Play still sees only what was stored before.
  b.clear();
  form1().Bot_Play();
  EXPECT_EQ(b.count("Beep"), overStoredTake ? 0 : 1);

  // Rec repeats the whole sequence, as Stop does.
  AllSucceed();
  b.clear();
  form1().Bot_Rec();
  EXPECT_EQ(b.mciCommands(), (Strings{kStop, kStore, kClose}));
  EXPECT_EQ(b.count("MsgBox"), 0);
  EXPECT_EQ(Recording, 0);
  EXPECT_EQ(HasTake, 1);
  EXPECT_EQ(RecLook(), Look::Idle);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, StoreFailures,
    ::testing::Combine(
        ::testing::Values(StoreFailure{kStop, kCannotStop, {kStop}, false},
                          StoreFailure{kStore, kCannotStore, {kStop, kStore}, false},
                          StoreFailure{kClose, kCannotClose, {kStop, kStore, kClose}, true}),
        ::testing::Bool()),
    [](const auto& info) {
      const std::string step = std::get<0>(info.param).command == kStop    ? "Stop"
                               : std::get<0>(info.param).command == kStore ? "Store"
                                                                           : "Close";
      return step + (std::get<1>(info.param) ? "OverStoredTake" : "FirstTake");
    });

// ---- the loop sound ----

class RecorderKeys : public RecorderTest {
protected:
  static void Press(Integer vk) {
    Integer code = vk, shift = 0;
    form1().Form_KeyDown(code, shift);
    code = vk;
    form1().Form_KeyUp(code, shift);
  }
  // The wave-sound calls made, as "stop", "loop" or "play <file>".
  Strings Sounds() const {
    Strings out;
    for (const auto& c : b.callsTo("sndPlaySoundA")) {
      if (c.isNull) out.push_back("stop");
      else if (c.flags & SND_LOOP) out.push_back("loop");
      else out.push_back("play " + c.text);
    }
    return out;
  }
  static constexpr Integer kLeft = 37, kZ = 90, kX = 88, kC = 67;
};

TEST_F(RecorderKeys, RecAndStopSilenceTheLoopButLeaveLoopOnSoTheNextLeftOnlySwitchesItOff) {
  Press(kLeft);
  ASSERT_EQ(LoopOn, 1);
  Press(kC);   // no take: only a beep, the loop goes on
  EXPECT_EQ(b.count("Beep"), 1);
  EXPECT_EQ(Sounds(), (Strings{"loop"}));

  b.clear();
  Press(kZ);
  EXPECT_EQ(Recording, 1);
  EXPECT_EQ(LoopOn, 1);
  Press(kX);
  EXPECT_EQ(HasTake, 1);
  EXPECT_EQ(LoopOn, 1);
  EXPECT_EQ(Sounds(), (Strings{"stop", "stop"}));

  b.clear();
  Press(kLeft);   // already silent: switches the loop off
  EXPECT_EQ(LoopOn, 0);
  Press(kLeft);   // and this one starts it again
  EXPECT_EQ(LoopOn, 1);
  EXPECT_EQ(Sounds(), (Strings{"stop", "loop"}));
}

TEST_F(RecorderKeys, PlaybackOfTheTakeReplacesTheLoop) {
  StoreATake();
  Press(kLeft);
  Press(kC);
  EXPECT_EQ(Sounds(), (Strings{"loop", "play " + kTemp}));
  EXPECT_EQ(LoopOn, 1);

  b.clear();
  Press(kLeft);   // stops the playback, the loop stays off
  EXPECT_EQ(LoopOn, 0);
  Press(kLeft);
  EXPECT_EQ(LoopOn, 1);
  EXPECT_EQ(Sounds(), (Strings{"stop", "loop"}));
}

TEST_F(RecorderKeys, ARecorderActionHappensOnReleaseOnlyOncePerPress) {
  Integer code = kZ, shift = 0;
  for (int i = 0; i < 5; ++i) {   // held: the key repeats
    code = kZ;
    form1().Form_KeyDown(code, shift);
    EXPECT_EQ(form1().Pic_RecBots[0]->borderStyle(), 1);
  }
  EXPECT_TRUE(b.mciCommands().empty());
  code = kZ;
  form1().Form_KeyUp(code, shift);
  EXPECT_EQ(form1().Pic_RecBots[0]->borderStyle(), 0);
  EXPECT_EQ(b.mciCommands(), (Strings{kOpen, kRecord}));
}

// ---- the button strip ----

TEST_F(Recorder, StripShowsThePressedLookWhileHeldAndClicksRunTheProcedures) {
  for (Integer i = 0; i < 4; ++i) {
    for (Integer button : {1, 2, 4}) {
      form1().Pic_RecBots_MouseDown(i, button, 0, 3, 3);
      EXPECT_EQ(form1().Pic_RecBots[i]->borderStyle(), 1);
      form1().Pic_RecBots_MouseUp(i, button, 0, 3, 3);
      EXPECT_EQ(form1().Pic_RecBots[i]->borderStyle(), 0);
    }
  }
  EXPECT_TRUE(b.calls.empty());

  form1().Pic_RecBots_Click(2);   // Play, no take
  EXPECT_EQ(b.names(), (Strings{"Beep"}));
  form1().Pic_RecBots_Click(0);   // Rec
  EXPECT_EQ(Recording, 1);
  form1().Pic_RecBots_Click(1);   // Stop
  EXPECT_EQ(HasTake, 1);
  EXPECT_EQ(Recording, 0);
  b.clear();
  form1().Pic_RecBots_Click(3);   // Save: the dialog
  EXPECT_EQ(b.count("GetSaveFileNameA"), 1);
  b.clear();
  form1().Pic_RecBots_Click(4);
  form1().Pic_RecBots_Click(-1);
  EXPECT_TRUE(b.calls.empty());
}

}  // namespace
