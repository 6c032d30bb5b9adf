// SPDX-License-Identifier: GPL-3.0-or-later
// The recorder: a take is recorded by the wave-audio device under the alias
// "newSound", stored in the temporary file WinDir + "tempsound.wav", played
// back from there and copied to a file of the player's choice under the alias
// "Sound".  Recording and HasTake (Module1) are the recorder's whole state.
#include <string>

#include "app/module1.h"
#include "recorder/save_dialog.h"
#include "ui/form1.h"

using namespace Module1;

namespace {

const char* const kTempFile = "tempsound.wav";

const char* const kAskOverwrite = "既に演奏が録音されています。上書きしますか。";
const char* const kCannotOpen =
    "Waveオーディオを初期化できません。Waveオーディオが正しくセットアップされているか、他のアプリケーションがWaveオーディオを使っていないか調べてください。";
const char* const kCannotRecord =
    "Waveオーディオを録音できません。Waveオーディオが正しくセットアップされているか、他のアプリケーションがWaveオーディオを使っていないか調べてください。";
const char* const kCannotStop =
    "録音を停止できません。Waveオーディオが正しくセットアップされているか、他のアプリケーションがWaveオーディオを使っていないか、ディスクに空きはあるか調べてください。";
const char* const kCannotStore =
    "テンポラリファイルをセーブできません。Waveオーディオが正しくセットアップされているか、他のアプリケーションがWaveオーディオを使っていないか、ディスクに空きはあるか調べてください。";
const char* const kCannotClose =
    "デバイスを終了できません。プリンコラを終了し、Waveオーディオが正しくセットアップされているか、他のアプリケーションがWaveオーディオを使っていないか調べてください。";
const char* const kNothingRecorded = "まだ録音されていません";
const char* const kNoTempFile = "テンポラリファイルがありません。ディスクに空きはあるか調べてください。";

std::string TempPath() { return WinDir + kTempFile; }

// Paths go into MCI commands in double quotes: the command parser would split
// an unquoted path at its first blank.
std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

MCIERROR Mci(const std::string& command) {
  return mciSendStringA(command.c_str(), nullptr, 0, 0);
}

void Tell(const std::string& text) { MsgBox(text, vbOKOnly, App_Title()); }

void StopAnySound() { sndPlaySoundA(nullptr, SND_NODEFAULT); }

}  // namespace

void Form1::Bot_Rec() {
  StopAnySound();   // playback and the loop sound; LoopOn stays as it is

  // Rec during a take ends and stores it, as Stop does.
  if (Recording != 0) {
    Rec_StopSave();
    return;
  }

  if (HasTake == 1) {
    if (MsgBox(kAskOverwrite, vbYesNo + vbCritical + vbDefaultButton2, "Plinkora") != vbYes) return;
  }

  // Two blanks after "open"; the device takes any run of blanks as one.
  if (Mci(std::string("open ") + " new alias newSound type waveaudio") != 0) {
    Tell(kCannotOpen);
    return;
  }
  Recording = 1;

  // Ten minutes at most; the device stops by itself at the end.
  if (Mci("record newSound from 0 to 600000 overwrite") != 0) {
    // The device stays open: the next Rec or Stop closes it.
    Tell(kCannotRecord);
    return;
  }
  Pic_RecBots[0]->setPicture(Pic_RecInd[1]->picture());
}

void Form1::Bot_Stop() {
  StopAnySound();
  if (Recording == 1) Rec_StopSave();
}

void Form1::Bot_Play() {
  if (HasTake == 0) {
    Beep();
    return;
  }
  // Plays once in the background; replaces whatever sound was playing.
  sndPlaySoundA(TempPath().c_str(), SND_ASYNC);
}

// Stops the open take, stores it over the temporary file and closes the
// device.  A failed step leaves the take open (Recording 1, recording look),
// so the next Stop or Rec starts again from the stop command.
void Form1::Rec_StopSave() {
  if (Mci("stop newSound") != 0) {
    Tell(kCannotStop);
    return;
  }
  if (Mci("save newSound " + Quoted(TempPath())) != 0) {
    Tell(kCannotStore);
    return;
  }
  if (Mci("close newSound") != 0) {
    Tell(kCannotClose);
    return;
  }
  HasTake = 1;
  Recording = 0;
  Pic_RecBots[0]->setPicture(Pic_RecInd[0]->picture());
}

// Copies the stored take to a file the player names.  The recorder's state is
// left alone: a take being recorded goes on, and the stored one stays.
void Form1::Bot_Save() {
  if (HasTake == 0) {
    Tell(kNothingRecorded);
    return;
  }

  std::string filter;
  for (const char* text : {"Waveファイル(*.WAV)", "*.wav", "全てのﾌｧｲﾙ(*.*)", "*.*"}) {
    filter += text;
    filter.push_back('\0');
  }
  SaveName = modCmOpen::Show_SaveDialog(static_cast<HWND>(winId()), filter, CurDir());
  if (SaveName.empty()) return;

  if (!FileExists(TempPath())) {
    Tell(kNoTempFile);
    return;
  }
  if (Mci("open " + Quoted(TempPath()) + " alias Sound type waveaudio") != 0) {
    Tell("open");
    return;
  }
  if (const MCIERROR err = Mci("save Sound " + Quoted(SaveName)); err != 0) {
    char text[1024] = {};
    mciGetErrorStringA(err, text, sizeof text);
    text[sizeof text - 1] = '\0';
    Tell(text);
    Tell(SaveName);
    Tell("save");
    // Release the alias, or every later save would fail to open it.
    Mci("close Sound");
    return;
  }
  if (Mci("close Sound") != 0) {
    Tell("close");
    return;
  }
  HasTake = 1;
}
