// SPDX-License-Identifier: GPL-3.0-or-later
// The beep and the modal message boxes.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include "platform/real_backend.h"

namespace platform {

void RealBackend::Beep() { QApplication::beep(); }

int RealBackend::MsgBox(const std::string& prompt, int buttons, const std::string& title) {
  QMessageBox box;
  box.setWindowTitle(QString::fromStdString(title));
  box.setText(QString::fromStdString(prompt));
  box.setIcon((buttons & vbCritical) ? QMessageBox::Critical : QMessageBox::NoIcon);
  if ((buttons & 0xF) == vbYesNo) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton((buttons & vbDefaultButton2) ? QMessageBox::No : QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes ? vbYes : vbNo;
  }
  box.setStandardButtons(QMessageBox::Ok);
  box.exec();
  return vbOK;
}

}  // namespace platform
