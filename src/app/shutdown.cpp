// Shutdown: closing the main window releases the MIDI output, silences every
// sound, abandons an open take and deletes the temporary recording.  Nothing
// is asked and closing is never refused.
#include "app/module1.h"
#include "ui/form1.h"

using namespace Module1;

namespace {

// What the window has released already, kept on the window itself so that a
// new window starts with nothing released.  The shared variables are left as
// they are (Recording keeps its value).
constexpr const char* kMidiReleased = "plinkoraMidiReleased";
constexpr const char* kTakeReleased = "plinkoraTakeReleased";

void ReleaseAll(Form1& form) {
  if (!form.property(kMidiReleased).toBool()) {
    midiOutClose(hMidiOut);
    form.setProperty(kMidiReleased, true);
  }

  sndPlaySoundA(nullptr, SND_NODEFAULT);

  // An open take is discarded: it is never stored.
  if (Recording == 1 && !form.property(kTakeReleased).toBool()) {
    mciSendStringA("stop newSound", nullptr, 0, 0);
    mciSendStringA("close newSound", nullptr, 0, 0);
    form.setProperty(kTakeReleased, true);
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
