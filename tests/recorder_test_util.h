// SPDX-License-Identifier: GPL-3.0-or-later
// Shared by the recorder and shutdown tests: a fresh program with its main
// window, a working folder with a blank in its name, and the texts the
// recorder shows.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/module1.h"
#include "support/support.h"
#include "ui/form1.h"

namespace rectest {

inline const std::string kWinDir = "/win folder/";
inline const std::string kTemp = kWinDir + "tempsound.wav";
inline const std::string kTempQuoted = "\"" + kTemp + "\"";

inline const std::string kOpen = "open  new alias newSound type waveaudio";
inline const std::string kRecord = "record newSound from 0 to 600000 overwrite";
inline const std::string kStop = "stop newSound";
inline const std::string kStore = "save newSound " + kTempQuoted;
inline const std::string kClose = "close newSound";

inline const std::string kAskOverwrite = "既に演奏が録音されています。上書きしますか。";
inline const std::string kCannotOpen =
    "Waveオーディオを初期化できません。Waveオーディオが正しくセットアップされているか、"
    "他のアプリケーションがWaveオーディオを使っていないか調べてください。";
inline const std::string kCannotRecord =
    "Waveオーディオを録音できません。Waveオーディオが正しくセットアップされているか、"
    "他のアプリケーションがWaveオーディオを使っていないか調べてください。";
inline const std::string kCannotStop =
    "録音を停止できません。Waveオーディオが正しくセットアップされているか、"
    "他のアプリケーションがWaveオーディオを使っていないか、ディスクに空きはあるか調べてください。";
inline const std::string kCannotStore =
    "テンポラリファイルをセーブできません。Waveオーディオが正しくセットアップされているか、"
    "他のアプリケーションがWaveオーディオを使っていないか、ディスクに空きはあるか調べてください。";
inline const std::string kCannotClose =
    "デバイスを終了できません。プリンコラを終了し、Waveオーディオが正しくセットアップされているか、"
    "他のアプリケーションがWaveオーディオを使っていないか調べてください。";
inline const std::string kNothingRecorded = "まだ録音されていません";
inline const std::string kNoTempFile = "テンポラリファイルがありません。ディスクに空きはあるか調べてください。";

enum class Look { Idle, Recording, Other };

class RecorderTest : public ::testing::Test {
protected:
  testing_support::FreshProgram program;
  platform::TestBackend& b = program.backend;

  void SetUp() override {
    Module1::WinDir = kWinDir;
    Module1::hMidiOut = 0x321;
    form1();
    ASSERT_FALSE(form1().Pic_RecInd[0]->picture().isNull());
    ASSERT_FALSE(form1().Pic_RecInd[1]->picture().isNull());
    ASSERT_NE(form1().Pic_RecInd[0]->picture().cacheKey(), form1().Pic_RecInd[1]->picture().cacheKey());
    b.clear();
  }

  static Look RecLook() {
    const qint64 key = form1().Pic_RecBots[0]->picture().cacheKey();
    if (key == form1().Pic_RecInd[0]->picture().cacheKey()) return Look::Idle;
    if (key == form1().Pic_RecInd[1]->picture().cacheKey()) return Look::Recording;
    return Look::Other;
  }

  // Every MCI command equal to `command` fails with `code`.
  void FailOn(const std::string& command, MCIERROR code = 263) {
    b.mciScript = [command, code](const std::string& c) { return c == command ? code : 0u; };
  }
  void AllSucceed() { b.mciScript = nullptr; }

  // A take recorded and stored; the log is cleared afterwards.
  void StoreATake() {
    form1().Bot_Rec();
    form1().Bot_Stop();
    ASSERT_EQ(Module1::HasTake, 1);
    ASSERT_EQ(Module1::Recording, 0);
    ASSERT_TRUE(b.files.count(kTemp));
    b.clear();
  }

  // The message boxes shown, each checked to be OK-only, without icon, with
  // the program's title.
  std::vector<std::string> OkBoxes() const {
    std::vector<std::string> texts;
    for (const auto& c : b.callsTo("MsgBox")) {
      EXPECT_EQ(c.value, vbOKOnly) << c.text;
      EXPECT_EQ(c.title, "Plinkora") << c.text;
      texts.push_back(c.text);
    }
    return texts;
  }

  bool SilencedFirst() const {
    return !b.calls.empty() && b.calls.front().fn == "sndPlaySoundA" && b.calls.front().isNull &&
           b.calls.front().flags == SND_NODEFAULT;
  }
};

using Strings = std::vector<std::string>;

}  // namespace rectest
