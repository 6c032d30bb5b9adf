// The program: the real backend under the windows, then Main.
#include <unistd.h>

#include <QApplication>
#include <QProxyStyle>
#include <QSocketNotifier>
#include <csignal>

#include "app/module1.h"
#include "platform/real_backend.h"
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

// A logout or a kill ends the program as closing the window does: the close
// handlers run, so the sound stops and the temporary take is deleted.
int signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  [[maybe_unused]] auto n = write(signalPipe[1], &c, 1);
}

void CloseOnSignals(QApplication& app) {
  if (pipe(signalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
  QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
    char c;
    [[maybe_unused]] auto n = read(signalPipe[0], &c, 1);
    if (form1Exists()) form1().close();
    QCoreApplication::quit();
  });
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QGuiApplication::setDesktopFileName(QStringLiteral("io.github.plinkora.Plinkora"));
  QApplication::setStyle(new PlainButtonsStyle);
  QApplication::setApplicationName(QStringLiteral("Plinkora"));
  platform::RealBackend backend;
  platform::setBackend(&backend);
  CloseOnSignals(app);

  int status = 0;
  if (Module1::Main()) status = QApplication::exec();
  unloadForm1();
  platform::setBackend(nullptr);
  return status;
}
