// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/command_line.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>
#include <vector>

#ifndef PLINKORA_VERSION
#define PLINKORA_VERSION "unknown"
#endif

namespace app {
namespace {

// Options QGuiApplication, QApplication and the xcb plugin act on.  The
// parser only has to let them through (QApplication reads them from argv);
// -platform and -display are shown in --help, the rest are accepted quietly.
const char* const kQtOptionsWithValue[] = {
    "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "geometry",
    "qwindowicon", "icon", "qwindowtitle", "title", "session", "name", "visual",
    "style", "stylesheet", "qmljsdebugger"};
const char* const kQtFlags[] = {"reverse", "nograb", "dograb", "widgetcount", "sync"};

const char kVersionText[] =
    "plinkora " PLINKORA_VERSION "\n"
    "Copyright (C) 2026 The Plinkora developers\n"
    "License GPL-3.0-or-later: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>.\n"
    "This is free software: you are free to change and redistribute it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";

void Hide(QCommandLineOption& option) {
  option.setFlags(QCommandLineOption::HiddenFromHelp);
}

}  // namespace

CommandLine ReadCommandLine(int argc, char** argv) {
  CommandLine result;
  // The short-lived application gets copies: QCoreApplication may take
  // arguments out of what it is given.  Its argv[0] is the bare name, which
  // --help shows in its usage line.
  std::vector<char*> args(argv, argv + argc);
  char name[] = "plinkora";
  if (args.empty()) args.push_back(name);
  else args[0] = name;
  args.push_back(nullptr);
  int count = argc > 0 ? argc : 1;
  QCoreApplication core(count, args.data());
  QCoreApplication::setApplicationName(QStringLiteral("plinkora"));

  QCommandLineParser parser;
  // Qt's options are single-dash words (-platform xcb), as Qt spells them.
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  parser.setApplicationDescription(QStringLiteral(
      "A four-string plucked instrument organised by chords, played from the PC\n"
      "keyboard and the mouse.  The keys, the recorder and the environment are\n"
      "described in plinkora(1).\n"
      "\n"
      "Under PipeWire the instrument also offers a MIDI output port (\"Plinkora\n"
      "MIDI\") that music programs and patchbays can link to: every note as it\n"
      "sounds, with its note-off when it has died away.  Under PulseAudio there\n"
      "is no such port."));
  const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("?"), QStringLiteral("help")},
                                QStringLiteral("Displays this help."));
  parser.addOption(help);
  const QCommandLineOption version = parser.addVersionOption();
  const QCommandLineOption platform(
      QStringLiteral("platform"),
      QStringLiteral("Qt's window-system plugin: xcb (X11) or wayland; overrides QT_QPA_PLATFORM."),
      QStringLiteral("name"));
  const QCommandLineOption display(QStringLiteral("display"),
                                   QStringLiteral("The X display to use instead of DISPLAY."),
                                   QStringLiteral("display"));
  parser.addOption(platform);
  parser.addOption(display);
  const QCommandLineOption externalSynth(
      QStringLiteral("external-synth"),
      QStringLiteral("Play another synthesizer from the MIDI port (PipeWire only): the "
                     "embedded synthesizer stays silent, the wave sounds still play, and the "
                     "recorder holds only what the program itself sounds."));
  parser.addOption(externalSynth);
  for (const char* qt : kQtOptionsWithValue) {
    QCommandLineOption option(QString::fromLatin1(qt), QString(), QStringLiteral("value"));
    Hide(option);
    parser.addOption(option);
  }
  for (const char* qt : kQtFlags) {
    QCommandLineOption option(QString::fromLatin1(qt));
    Hide(option);
    parser.addOption(option);
  }

  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  if (arguments.isEmpty()) arguments << QStringLiteral("plinkora");

  QString error;
  if (!parser.parse(arguments)) error = parser.errorText();
  else if (!parser.positionalArguments().isEmpty())
    error = QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().first());
  if (!error.isEmpty()) {
    std::fprintf(stderr, "plinkora: %s Try 'plinkora --help'.\n", error.toLocal8Bit().constData());
    result.exitStatus = 2;
    return result;
  }
  if (parser.isSet(help)) {
    // Qt's own options are spelled with one dash, as Qt documents them (Qt
    // takes two as well); the parser writes every long name with two.
    QString text = parser.helpText();
    text.replace(QStringLiteral("--platform <name>"), QStringLiteral("-platform <name> "));
    text.replace(QStringLiteral("--display <display>"), QStringLiteral("-display <display> "));
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
    result.exitStatus = 0;
    return result;
  }
  if (parser.isSet(version)) {
    std::fputs(kVersionText, stdout);
    std::fflush(stdout);
    result.exitStatus = 0;
    return result;
  }
  result.platform = parser.value(platform).toStdString();
  result.display = parser.value(display).toStdString();
  result.externalSynth = parser.isSet(externalSynth);
  return result;
}

}  // namespace app
