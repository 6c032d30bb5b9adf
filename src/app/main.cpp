// SPDX-License-Identifier: GPL-3.0-or-later
// The program: the real backend under the windows, then Main.
#include <QApplication>
#include <QProxyStyle>
#include <cstdio>

#include "app/command_line.h"
#include "app/display_platform.h"
#include "app/display_reach.h"
#include "app/module1.h"
#include "app/signals.h"
#include "platform/desktop/x11_keyboard.h"
#include "platform/real_backend.h"
#include "platform/startup_stamps.h"
#include "ui/form1.h"

namespace {

// Message boxes show their buttons as plain words, without icons.
class PlainButtonsStyle : public QProxyStyle {
public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* ret) const override {
    if (hint == SH_DialogButtonBox_ButtonsHaveIcons) return 0;
    return QProxyStyle::styleHint(hint, option, widget, ret);
  }
};

}  // namespace

int main(int argc, char** argv) {
  platform::startup::mark("main");
  const app::CommandLine options = app::ReadCommandLine(argc, argv);
  if (options.exitStatus) return *options.exitStatus;
  display_platform::apply();
  display_platform::Reach reach = display_platform::TryReach(options.platform, options.display);
  if (!reach.unreachable.empty()) {
    std::fprintf(stderr, "plinkora: %s\n", reach.unreachable.c_str());
    return 1;
  }
  platform::startup::mark("display check");
  platform::RealBackend backend;
  // One copy per user: a second one ends here, silently, before it opens a
  // window or reaches a sound server (Main asks again and finds the lock
  // this copy holds).  The first starts its sound while Qt opens the
  // window system.
  if (backend.App_PrevInstance()) return 0;
  backend.setSynthHeard(!options.externalSynth);
  backend.prepareSound();
  QApplication app(argc, argv);
  // Qt is connected now; until then the check's connection kept the X
  // server from resetting under it.
  reach.held.release();
  QGuiApplication::setDesktopFileName(QStringLiteral("io.github.plinkora.Plinkora"));
  QApplication::setStyle(new PlainButtonsStyle);
  QApplication::setApplicationName(QStringLiteral("Plinkora"));
  platform::setBackend(&backend);
  platform::UseDetectableAutoRepeat();
  app::EndOnSignals(app);
  platform::startup::mark("qt");

  int status = 0;
  if (!Module1::Main()) status = Module1::StartFailed && !app::EndRequested() ? 1 : 0;
  else if (!app::EndRequested()) {
    platform::startup::report();
    status = QApplication::exec();
  }
  // A signal whose notice the event loops had no time to read.
  if (app::EndRequested()) app::EndNow();
  unloadForm1();
  platform::setBackend(nullptr);
  return status;
}
