// SPDX-License-Identifier: GPL-3.0-or-later
// The splash window: the title picture, no title bar, not in the taskbar,
// centred on the screen.
#pragma once

#include <QPixmap>
#include <QWidget>

class FrmSplash : public QWidget {
  Q_OBJECT
public:
  static constexpr int kClientWidth = 344;
  static constexpr int kClientHeight = 147;
  FrmSplash();
  const QPixmap& picture() const { return picture_; }

protected:
  void paintEvent(QPaintEvent*) override;

private:
  QPixmap picture_;
};

// The splash while it exists (between load and unload in Show_Splash).
FrmSplash* frmSplash();
