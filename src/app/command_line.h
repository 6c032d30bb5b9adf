// SPDX-License-Identifier: GPL-3.0-or-later
// The command line: --help, --version, --external-synth, and Qt's own window-system options,
// read before anything connects to a display or a sound server.
#pragma once

#include <optional>
#include <string>

namespace app {

struct CommandLine {
  // Set when the program ends at once with this status: 0 after --help or
  // --version (printed on stdout), 2 after a wrong argument (one line on
  // stderr).
  std::optional<int> exitStatus;
  std::string platform;  // -platform NAME, empty when not given
  std::string display;   // -display NAME (an X display), empty when not given
  // --external-synth: the embedded synthesizer stays silent; the notes go
  // to whatever synthesizer is linked to the MIDI port.
  bool externalSynth = false;
};

// Parses argv on a short-lived QCoreApplication; argv itself is left as it
// is for the QApplication that follows, which acts on Qt's options.
CommandLine ReadCommandLine(int argc, char** argv);

}  // namespace app
