// SPDX-License-Identifier: GPL-3.0-or-later
// The main window: a fixed 345 x 288 picture of the instrument with the
// displays laid over it, the hidden frame sets they show, and Timer1.  Every
// handler of the window is a member; their bodies live with the subsystem that
// owns them (keys and mouse in play/, recorder and shutdown in recorder/ and
// app/, displays in ui/).
#pragma once

#include <QPixmap>
#include <QWidget>
#include <array>
#include <memory>

#include "app/module1.h"
#include "play/key_input.h"
#include "ui/picture_box.h"
#include "ui/vb_timer.h"

class QKeyEvent;

class Form1 : public QWidget {
  Q_OBJECT
public:
  static constexpr int kClientWidth = 345;
  static constexpr int kClientHeight = 288;

  Form1();
  ~Form1() override;

  // ---- displays ----
  std::array<PictureBox*, 12> Picture2{};     // note boxes 0..10; 11 unused, below the client area
  std::array<PictureBox*, 3> Pic_CnameH{};    // chord roots
  std::array<PictureBox*, 3> Pic_CName{};     // chord qualities
  std::array<PictureBox*, 2> Pic_Preset{};    // preset buttons
  PictureBox* Pic_TnInd = nullptr;            // tone indicator
  std::array<PictureBox*, 3> Pic_KeyInd{};    // 0 the lamp; 1 idle and 2 active frames
  std::array<PictureBox*, 4> Pic_RecBots{};   // Rec, Stop, Play, Save

  // ---- frame sets (outside the client area, never seen) ----
  std::array<PictureBox*, 12> PIC_IndSrc{};   // note names from C
  std::array<PictureBox*, 12> Pic_CNameHS{};  // chord roots from C
  std::array<PictureBox*, 4> Pic_CNameLS{};   // Maj., m, 7th, m7
  std::array<PictureBox*, 2> Pic_PreOn{};
  std::array<PictureBox*, 2> Pic_PreOff{};
  std::array<PictureBox*, 6> Pic_ToneName{};  // NylonB, NylonB lit, Nylon, Nylon lit, OPL.3, OPL.3 lit
  std::array<PictureBox*, 2> Pic_RecInd{};    // Rec idle, Rec recording

  VbTimer Timer1;

  // ---- event handlers ----
  void Form_KeyDown(Integer& KeyCode, Integer& Shift);
  void Form_KeyUp(Integer& KeyCode, Integer& Shift);
  void Form_QueryUnload(Integer& Cancel, Integer& UnloadMode);
  void Form_Unload(Integer& Cancel);
  void Picture2_MouseDown(Integer Index, Integer Button, Integer Shift, float X, float Y);
  void Picture2_MouseUp(Integer Index, Integer Button, Integer Shift, float X, float Y);
  void Pic_Preset_Click(Integer Index);
  void Pic_TnInd_MouseUp(Integer Button, Integer Shift, float X, float Y);
  void Pic_RecBots_Click(Integer Index);
  void Pic_RecBots_MouseDown(Integer Index, Integer Button, Integer Shift, float X, float Y);
  void Pic_RecBots_MouseUp(Integer Index, Integer Button, Integer Shift, float X, float Y);
  void Timer1_Timer();

  // What the close handlers have released already, so that their second run
  // changes nothing.
  struct Released {
    bool midi = false;
    bool take = false;
  } released;

  // ---- recorder procedures ----
  void Bot_Rec();
  void Bot_Stop();
  void Bot_Play();
  void Bot_Save();
  void Rec_StopSave();

  // The background picture (345 x 290, its last two rows below the client area).
  const QPixmap& background() const { return background_; }

  // Key events of the window and of every control in it arrive here first
  // (key preview); translated to virtual-key codes for the two key handlers.
  void keyEvent(QKeyEvent* e);
  KeyInput keyInput;   // what keyEvent remembers between events

protected:
  void paintEvent(QPaintEvent*) override;
  void closeEvent(QCloseEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void loadFrames();
  QPixmap background_;
};

// The one main window, created hidden on first use.
Form1& form1();
bool form1Exists();
// Destroys the window (the program is ending, or a test starts afresh).
void unloadForm1();
