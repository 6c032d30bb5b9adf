// SPDX-License-Identifier: GPL-3.0-or-later
// Saving the stored take: the Save dialog request, the copy through the
// wave-audio device under the alias "Sound", and every way it can fail.
#include <map>

#include "recorder/save_dialog.h"
#include "recorder_test_util.h"

using namespace Module1;
using namespace rectest;

namespace {

const std::string kOpenSound = "open " + kTempQuoted + " alias Sound type waveaudio";
std::string SaveSound(const std::string& path) { return "save Sound \"" + path + "\""; }
const std::string kCloseSound = "close Sound";

class Saving : public RecorderTest {
protected:
  void SetUp() override {
    RecorderTest::SetUp();
    StoreATake();
  }
};

using SavingWithoutATake = RecorderTest;

TEST_F(SavingWithoutATake, SaysSoAndShowsNoDialog) {
  b.saveDialogAnswers = {"/out/x.wav"};
  form1().Bot_Save();
  EXPECT_EQ(OkBoxes(), (Strings{kNothingRecorded}));
  EXPECT_EQ(b.count("GetSaveFileNameA"), 0);
  EXPECT_TRUE(b.mciCommands().empty());

  // The same during the first take; recording goes on.
  form1().Bot_Rec();
  b.clear();
  form1().Bot_Save();
  EXPECT_EQ(OkBoxes(), (Strings{kNothingRecorded}));
  EXPECT_EQ(b.count("GetSaveFileNameA"), 0);
  EXPECT_TRUE(b.mciCommands().empty());
  EXPECT_EQ(Recording, 1);
  EXPECT_EQ(RecLook(), Look::Recording);
}

TEST_F(Saving, CopiesTheTakeThroughTheDeviceWithoutAnyMessage) {
  b.saveDialogAnswers = {"/my music/take one.wav"};
  form1().Bot_Save();
  EXPECT_EQ(b.names(), (Strings{"GetSaveFileNameA", "FileExists", "mciSendStringA", "mciSendStringA",
                                "mciSendStringA"}));
  EXPECT_EQ(b.mciCommands(), (Strings{kOpenSound, SaveSound("/my music/take one.wav"), kCloseSound}));
  EXPECT_EQ(SaveName, "/my music/take one.wav");
  EXPECT_TRUE(b.files.count("/my music/take one.wav"));
  EXPECT_EQ(HasTake, 1);
  EXPECT_EQ(Recording, 0);
}

TEST_F(Saving, TheSameTakeCanBeSavedTwiceAndStillPlays) {
  b.saveDialogAnswers = {"/out/a.wav", "/out/b"};
  form1().Bot_Save();
  form1().Bot_Save();
  EXPECT_EQ(b.mciCommands(), (Strings{kOpenSound, SaveSound("/out/a.wav"), kCloseSound, kOpenSound,
                                      SaveSound("/out/b"), kCloseSound}));
  EXPECT_EQ(b.count("MsgBox"), 0);
  EXPECT_TRUE(b.files.count(kTemp));
  b.clear();
  form1().Bot_Play();
  EXPECT_EQ(b.callsTo("sndPlaySoundA").at(0).text, kTemp);
}

TEST_F(Saving, TheDialogIsAskedForAsTheProgramAlwaysHas) {
  b.currentDir = "/home/player/曲";
  form1().Bot_Save();   // cancelled
  const OPENFILENAME& r = b.lastSaveRequest;
  EXPECT_EQ(r.lStructSize, 76u);
  EXPECT_EQ(r.hwndOwner, static_cast<HWND>(form1().winId()));
  EXPECT_NE(r.hwndOwner, 0);
  const char filter[] = "Waveファイル(*.WAV)\0*.wav\0全てのﾌｧｲﾙ(*.*)\0*.*\0";
  EXPECT_EQ(r.lpstrFilter, std::string(filter, sizeof filter - 1));
  EXPECT_EQ(r.nFilterIndex, 1u);
  EXPECT_EQ(r.lpstrFile, std::string(256, '\0'));
  EXPECT_EQ(r.nMaxFile, 256u);
  EXPECT_EQ(r.lpstrFileTitle, std::string(256, '\0'));
  EXPECT_EQ(r.nMaxFileTitle, 256u);
  EXPECT_EQ(r.lpstrInitialDir, "/home/player/曲");
  EXPECT_EQ(r.Flags, 0x81804u);
  EXPECT_EQ(r.Flags, OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY);
}

TEST_F(Saving, CancellingShowsNothingAndWritesNothing) {
  SaveName = "/earlier/choice.wav";
  form1().Bot_Save();
  EXPECT_EQ(b.names(), (Strings{"GetSaveFileNameA"}));
  EXPECT_EQ(SaveName, "");
}

TEST_F(Saving, AMissingTemporaryFileIsReportedAfterTheDialog) {
  b.files.erase(kTemp);
  b.saveDialogAnswers = {"/out/x.wav"};
  form1().Bot_Save();
  EXPECT_EQ(b.names(), (Strings{"GetSaveFileNameA", "FileExists", "MsgBox"}));
  EXPECT_EQ(OkBoxes(), (Strings{kNoTempFile}));
  EXPECT_FALSE(b.files.count("/out/x.wav"));
}

TEST_F(Saving, OpenFailureSaysOpenAndSendsNothingMore) {
  FailOn(kOpenSound);
  b.saveDialogAnswers = {"/out/x.wav"};
  form1().Bot_Save();
  EXPECT_EQ(b.mciCommands(), (Strings{kOpenSound}));
  EXPECT_EQ(OkBoxes(), (Strings{"open"}));
  EXPECT_FALSE(b.files.count("/out/x.wav"));
}

TEST_F(Saving, CloseFailureSaysCloseAfterTheFileWasWritten) {
  FailOn(kCloseSound);
  b.saveDialogAnswers = {"/out/x.wav"};
  form1().Bot_Save();
  EXPECT_EQ(b.mciCommands(), (Strings{kOpenSound, SaveSound("/out/x.wav"), kCloseSound}));
  EXPECT_EQ(OkBoxes(), (Strings{"close"}));
  EXPECT_TRUE(b.files.count("/out/x.wav"));
}

// The device as the real one behaves: an alias can be open only once.
class SavingWithAliases : public Saving {
protected:
  std::map<std::string, bool> open;
  std::string failingSave;

  void SetUp() override {
    Saving::SetUp();
    b.mciScript = [this](const std::string& c) -> MCIERROR {
      if (c == kOpenSound) {
        if (open["Sound"]) return 289;   // alias in use
        open["Sound"] = true;
        return 0;
      }
      if (c == kCloseSound) {
        if (!open["Sound"]) return 263;
        open["Sound"] = false;
        return 0;
      }
      if (!failingSave.empty() && c == SaveSound(failingSave)) return 286;
      return 0;
    };
  }
};

TEST_F(SavingWithAliases, SaveFailureShowsTheErrorThePathAndSaveThenReleasesTheAlias) {
  failingSave = "/locked/x.wav";
  b.saveDialogAnswers = {"/locked/x.wav"};
  form1().Bot_Save();

  EXPECT_EQ(b.mciCommands(), (Strings{kOpenSound, SaveSound("/locked/x.wav"), kCloseSound}));
  const auto err = b.callsTo("mciGetErrorStringA");
  ASSERT_EQ(err.size(), 1u);
  EXPECT_EQ(err[0].value, 286);
  EXPECT_EQ(OkBoxes(), (Strings{"MCI error 286", "/locked/x.wav", "save"}));
  EXPECT_FALSE(b.files.count("/locked/x.wav"));
  EXPECT_FALSE(open["Sound"]);

  // A later save works.
  b.clear();
  b.saveDialogAnswers = {"/out/y.wav"};
  form1().Bot_Save();
  EXPECT_EQ(b.count("MsgBox"), 0);
  EXPECT_EQ(b.mciCommands(), (Strings{kOpenSound, SaveSound("/out/y.wav"), kCloseSound}));
  EXPECT_TRUE(b.files.count("/out/y.wav"));
}

// ---- the dialog wrapper on its own ----

TEST_F(Saving, ShowSaveDialogReturnsThePathUpToItsFirstNulOrNothing) {
  b.saveDialogAnswers = {std::string("/out/picked.wav\0junk", 20), ""};
  EXPECT_EQ(modCmOpen::Show_SaveDialog(42, std::string("a\0b\0", 4), "/start"), "/out/picked.wav");
  EXPECT_EQ(b.lastSaveRequest.hwndOwner, 42);
  EXPECT_EQ(b.lastSaveRequest.lpstrFilter, std::string("a\0b\0", 4));
  EXPECT_EQ(b.lastSaveRequest.lpstrInitialDir, "/start");
  EXPECT_EQ(modCmOpen::Show_SaveDialog(42, std::string("a\0b\0", 4), "/start"), "");
  EXPECT_EQ(b.count("MsgBox"), 0);
}

}  // namespace
