// SPDX-License-Identifier: GPL-3.0-or-later
// Shutdown: closing the main window releases the MIDI output, silences every
// sound, abandons an open take and deletes the temporary recording.  Nothing
// is asked and closing is never refused.
#include "app/module1.h"
#include "ui/form1.h"

using namespace Module1;

namespace {

void ReleaseAll(Form1& form) {
  if (!form.released.midi) {
    midiOutClose(hMidiOut);
    form.released.midi = true;
  }

  sndPlaySoundA(nullptr, SND_NODEFAULT);

  // An open take is discarded: it is never stored.
  if (Recording == 1 && !form.released.take) {
    mciSendStringA("stop newSound", nullptr, 0, 0);
    mciSendStringA("close newSound", nullptr, 0, 0);
    form.released.take = true;
  }

  const std::string temp = WinDir + "tempsound.wav";
  if (FileExists(temp)) Kill(temp);
}

}  // namespace

// Cancel is left as it came (0): the window always closes, whatever the
// unload mode.
void Form1::Form_QueryUnload(Integer&, Integer&) { ReleaseAll(*this); }

// Runs the sequence again; by now everything is released and it changes
// nothing.
void Form1::Form_Unload(Integer&) { ReleaseAll(*this); }
