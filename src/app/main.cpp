// The program: the real backend under the windows, then Main.
#include <QApplication>

#include "app/module1.h"
#include "platform/real_backend.h"
#include "ui/form1.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Plinkora"));
  platform::RealBackend backend;
  platform::setBackend(&backend);

  int status = 0;
  if (Module1::Main()) status = QApplication::exec();
  unloadForm1();
  platform::setBackend(nullptr);
  return status;
}
