// SPDX-License-Identifier: GPL-3.0-or-later
// The MCI wave-audio device: the command-string interpreter behind
// mciSendStringA (the takes it records are in mci_take.h, the texts of
// mciGetErrorStringA in mci_messages.h).
//
// Two kinds of device can be open under an alias at a time:
//   - a new take ("open new alias A type waveaudio"), which records the audio
//     engine's output mix through an AudioTap into a private scratch file and
//     is stored as a 16-bit stereo PCM WAV at the engine's rate by "save A PATH";
//   - an existing WAV file ("open PATH alias A type waveaudio"), which
//     "save A PATH" copies byte for byte.
// Every file written goes to a temporary name in the target's folder and is
// renamed into place, so a failed save leaves any previous file whole.
//
// Commands (words as split by mci_parser.h; positions in milliseconds):
//   open new alias A type waveaudio        a new, empty take
//   open PATH [alias A] [type waveaudio]   an existing WAV (type may be left
//                                          to a ".wav" name, or "waveaudio!PATH")
//   record A [from MS] [to MS] [overwrite|insert]
//                                          records the output mix from now on and
//                                          stops by itself at "to"; "from" cuts
//                                          the take there ("overwrite"), or must
//                                          be its end; a second take recording
//                                          at once is refused
//   stop A | stop all                      no frame after this is taken; every
//                                          frame before it is in the take
//   save A PATH                            a running take is stopped first
//   close A | close all                    a take is discarded with its scratch file
// Each may carry "wait" and "notify" (ignored: nothing is ever reported back),
// except that "record ... wait" is refused rather than block the caller; other
// MCI commands (play, status, seek, set, pause, resume, ...) answer
// MCIERR_UNSUPPORTED_FUNCTION.  Takes are 16-bit stereo at the host's rate.
//
// Every call comes from the UI thread, as every MCI call of the program
// does; the audio thread only ever touches a take's tap (mci_take.h), which
// neither locks nor allocates.
#pragma once

#include "platform/waveaudio/mci_messages.h"
#include "platform/waveaudio/mci_parser.h"
#include "platform/winapi.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class TapHost;

namespace mci {
class Take;
}

// UI thread only (errorText and errorString: any thread).
class WaveAudioDevice {
public:
  // Frames the tap can hold before the writer thread must have drained them:
  // about three seconds at 44.1 kHz, 512 KiB of 16-bit stereo.
  static constexpr std::size_t kDefaultRingFrames = std::size_t{1} << 17;
  // Most devices open at the same time.
  static constexpr std::size_t kMaxOpenDevices = 64;

  // host: the audio engine whose output mix a take records; it must outlive
  // the device.  scratchDir: folder of the private scratch files of the takes
  // ("" = the system's temporary folder).  ringFrames: size of the tap's ring
  // in frames, rounded up to a power of two.
  explicit WaveAudioDevice(TapHost& host, std::string scratchDir = std::string(),
                           std::size_t ringFrames = kDefaultRingFrames);
  // Closes every open device: recordings stop, scratch files are deleted.
  ~WaveAudioDevice();
  WaveAudioDevice(const WaveAudioDevice&) = delete;
  WaveAudioDevice& operator=(const WaveAudioDevice&) = delete;

  // Runs one MCI command string (UTF-8; null is refused).  Returns 0 or an
  // MCIERR_ code.  No command returns text: a given return buffer is emptied.
  MCIERROR sendString(const char* command, char* returnString = nullptr,
                      uint32_t returnLength = 0);

  // Blocks until everything the tap of every recording take has captured so
  // far is in its scratch file.  Recording goes on.  Lets an offline renderer
  // run faster than real time without overrunning the tap's ring.
  void flush();

  // The texts of the error codes (mci_messages.h).
  static const char* errorText(MCIERROR code, bool* known = nullptr) {
    return mci::errorText(code, known);
  }
  static BOOL errorString(MCIERROR code, char* text, uint32_t length) {
    return mci::errorString(code, text, length);
  }

private:
  struct Device;

  MCIERROR run(const std::vector<mci::Word>& words);
  MCIERROR open(const std::vector<mci::Word>& words);
  MCIERROR record(Device& d, const std::vector<mci::Word>& words);
  MCIERROR save(Device& d, const std::vector<mci::Word>& words);
  Device* find(const std::string& name);
  void close(Device* d);

  TapHost& host_;
  std::string scratchDir_;
  std::size_t ringFrames_;
  std::vector<std::unique_ptr<Device>> devices_;
};

}  // namespace platform
