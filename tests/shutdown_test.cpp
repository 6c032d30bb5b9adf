// SPDX-License-Identifier: GPL-3.0-or-later
// Closing the main window: the release sequence of both close events, in
// every recorder state, and closing the real window.
#include "recorder_test_util.h"

using namespace Module1;
using namespace rectest;

namespace {

class Shutdown : public RecorderTest {
protected:
  void CloseEvents() {
    Integer cancel = 0, mode = 0;
    form1().Form_QueryUnload(cancel, mode);
    EXPECT_EQ(cancel, 0);
    form1().Form_Unload(cancel);
    EXPECT_EQ(cancel, 0);
  }
  // What the first run did, in order.
  Strings Steps() const {
    Strings out;
    for (const auto& c : b.calls) {
      if (c.fn == "midiOutClose") out.push_back("midiOutClose " + std::to_string(c.value));
      else if (c.fn == "sndPlaySoundA") out.push_back(c.isNull && c.flags == SND_NODEFAULT ? "silence" : "play");
      else if (c.fn == "mciSendStringA") out.push_back(c.text);
      else if (c.fn == "FileExists") out.push_back("exists? " + c.text);
      else if (c.fn == "Kill") out.push_back("kill " + c.text);
      else out.push_back(c.fn);
    }
    return out;
  }
};

TEST_F(Shutdown, RightAfterStartUpReleasesMidiAndSoundAndDeletesNothing) {
  Integer cancel = 0, mode = 0;
  form1().Form_QueryUnload(cancel, mode);
  EXPECT_EQ(cancel, 0);
  EXPECT_EQ(Steps(), (Strings{"midiOutClose 801", "silence", "exists? " + kTemp}));
  EXPECT_EQ(b.count("MsgBox"), 0);
}

TEST_F(Shutdown, DuringATakeTheTakeIsAbandonedAndTheEarlierTakeDeleted) {
  StoreATake();
  b.msgBoxAnswers = {vbYes};
  form1().Bot_Rec();
  LoopOn = 1;
  b.clear();

  Integer cancel = 0, mode = 1;
  form1().Form_QueryUnload(cancel, mode);
  EXPECT_EQ(cancel, 0);
  EXPECT_EQ(Steps(), (Strings{"midiOutClose 801", "silence", kStop, kClose, "exists? " + kTemp,
                              "kill " + kTemp}));
  EXPECT_FALSE(b.files.count(kTemp));
  EXPECT_EQ(b.count("MsgBox"), 0);
  // Nothing of the shared state changes.
  EXPECT_EQ(Recording, 1);
  EXPECT_EQ(HasTake, 1);
  EXPECT_EQ(LoopOn, 1);
}

TEST_F(Shutdown, AfterAFailedRecordTheOpenDeviceIsStoppedAndClosed) {
  FailOn(kRecord);
  form1().Bot_Rec();
  AllSucceed();
  b.clear();
  CloseEvents();
  EXPECT_EQ(b.mciCommands(), (Strings{kStop, kClose}));
  EXPECT_FALSE(b.files.count(kTemp));
  EXPECT_EQ(b.count("MsgBox"), 0);
}

TEST_F(Shutdown, AStoredTakeIsDeletedWithoutAQuestion) {
  StoreATake();
  CloseEvents();
  EXPECT_TRUE(b.mciCommands().empty());
  EXPECT_EQ(b.count("Kill"), 1);
  EXPECT_FALSE(b.files.count(kTemp));
  EXPECT_EQ(b.count("MsgBox"), 0);
  EXPECT_EQ(HasTake, 1);
}

TEST_F(Shutdown, TheSecondRunHasNoFurtherEffect) {
  StoreATake();
  form1().Bot_Rec();   // answered No: nothing opened
  b.msgBoxAnswers = {vbYes};
  form1().Bot_Rec();
  ASSERT_EQ(Recording, 1);

  Integer cancel = 0, mode = 0;
  form1().Form_QueryUnload(cancel, mode);
  b.clear();
  form1().Form_Unload(cancel);
  EXPECT_EQ(cancel, 0);
  EXPECT_EQ(b.count("midiOutClose"), 0);
  EXPECT_TRUE(b.mciCommands().empty());
  EXPECT_EQ(b.count("Kill"), 0);
  EXPECT_EQ(b.count("MsgBox"), 0);
  EXPECT_EQ(Recording, 1);
}

TEST_F(Shutdown, ClosingTheWindowRunsBothEventsAndTheWindowGoes) {
  StoreATake();
  form1().show();
  ASSERT_TRUE(form1().isVisible());
  b.clear();

  EXPECT_TRUE(form1().close());
  EXPECT_FALSE(form1().isVisible());
  EXPECT_EQ(b.count("midiOutClose"), 1);
  EXPECT_EQ(b.count("FileExists"), 2);   // once per event
  EXPECT_EQ(b.count("Kill"), 1);
  EXPECT_FALSE(b.files.count(kTemp));
  EXPECT_EQ(b.count("MsgBox"), 0);
}

}  // namespace
