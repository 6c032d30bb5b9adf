// The MCI wave-audio device: the command-string interface behind
// mciSendStringA and mciGetErrorStringA.
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
// Commands are run one at a time (they may come from any thread); the audio
// thread only ever touches the tap, which neither locks nor allocates.
#pragma once

#include "platform/waveaudio/mci_parser.h"
#include "platform/winapi.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

class TapHost;

// Windows MCI error codes, with their Windows values.
constexpr MCIERROR MCIERR_BASE = 256;
constexpr MCIERROR MCIERR_INVALID_DEVICE_ID = MCIERR_BASE + 1;
constexpr MCIERROR MCIERR_UNRECOGNIZED_KEYWORD = MCIERR_BASE + 3;
constexpr MCIERROR MCIERR_UNRECOGNIZED_COMMAND = MCIERR_BASE + 5;
constexpr MCIERROR MCIERR_HARDWARE = MCIERR_BASE + 6;
constexpr MCIERROR MCIERR_INVALID_DEVICE_NAME = MCIERR_BASE + 7;
constexpr MCIERROR MCIERR_OUT_OF_MEMORY = MCIERR_BASE + 8;
constexpr MCIERROR MCIERR_DEVICE_OPEN = MCIERR_BASE + 9;
constexpr MCIERROR MCIERR_CANNOT_LOAD_DRIVER = MCIERR_BASE + 10;
constexpr MCIERROR MCIERR_MISSING_COMMAND_STRING = MCIERR_BASE + 11;
constexpr MCIERROR MCIERR_PARAM_OVERFLOW = MCIERR_BASE + 12;
constexpr MCIERROR MCIERR_MISSING_STRING_ARGUMENT = MCIERR_BASE + 13;
constexpr MCIERROR MCIERR_BAD_INTEGER = MCIERR_BASE + 14;
constexpr MCIERROR MCIERR_PARSER_INTERNAL = MCIERR_BASE + 15;
constexpr MCIERROR MCIERR_DRIVER_INTERNAL = MCIERR_BASE + 16;
constexpr MCIERROR MCIERR_MISSING_PARAMETER = MCIERR_BASE + 17;
constexpr MCIERROR MCIERR_UNSUPPORTED_FUNCTION = MCIERR_BASE + 18;
constexpr MCIERROR MCIERR_FILE_NOT_FOUND = MCIERR_BASE + 19;
constexpr MCIERROR MCIERR_DEVICE_NOT_READY = MCIERR_BASE + 20;
constexpr MCIERROR MCIERR_INTERNAL = MCIERR_BASE + 21;
constexpr MCIERROR MCIERR_DRIVER = MCIERR_BASE + 22;
constexpr MCIERROR MCIERR_CANNOT_USE_ALL = MCIERR_BASE + 23;
constexpr MCIERROR MCIERR_MULTIPLE = MCIERR_BASE + 24;
constexpr MCIERROR MCIERR_EXTENSION_NOT_FOUND = MCIERR_BASE + 25;
constexpr MCIERROR MCIERR_OUTOFRANGE = MCIERR_BASE + 26;
constexpr MCIERROR MCIERR_FLAGS_NOT_COMPATIBLE = MCIERR_BASE + 28;
constexpr MCIERROR MCIERR_FILE_NOT_SAVED = MCIERR_BASE + 30;
constexpr MCIERROR MCIERR_DEVICE_TYPE_REQUIRED = MCIERR_BASE + 31;
constexpr MCIERROR MCIERR_DEVICE_LOCKED = MCIERR_BASE + 32;
constexpr MCIERROR MCIERR_DUPLICATE_ALIAS = MCIERR_BASE + 33;
constexpr MCIERROR MCIERR_BAD_CONSTANT = MCIERR_BASE + 34;
constexpr MCIERROR MCIERR_MUST_USE_SHAREABLE = MCIERR_BASE + 35;
constexpr MCIERROR MCIERR_MISSING_DEVICE_NAME = MCIERR_BASE + 36;
constexpr MCIERROR MCIERR_BAD_TIME_FORMAT = MCIERR_BASE + 37;
constexpr MCIERROR MCIERR_NO_CLOSING_QUOTE = MCIERR_BASE + 38;
constexpr MCIERROR MCIERR_DUPLICATE_FLAGS = MCIERR_BASE + 39;
constexpr MCIERROR MCIERR_INVALID_FILE = MCIERR_BASE + 40;
constexpr MCIERROR MCIERR_NULL_PARAMETER_BLOCK = MCIERR_BASE + 41;
constexpr MCIERROR MCIERR_UNNAMED_RESOURCE = MCIERR_BASE + 42;
constexpr MCIERROR MCIERR_NEW_REQUIRES_ALIAS = MCIERR_BASE + 43;
constexpr MCIERROR MCIERR_NOTIFY_ON_AUTO_OPEN = MCIERR_BASE + 44;
constexpr MCIERROR MCIERR_NO_ELEMENT_ALLOWED = MCIERR_BASE + 45;
constexpr MCIERROR MCIERR_NONAPPLICABLE_FUNCTION = MCIERR_BASE + 46;
constexpr MCIERROR MCIERR_ILLEGAL_FOR_AUTO_OPEN = MCIERR_BASE + 47;
constexpr MCIERROR MCIERR_FILENAME_REQUIRED = MCIERR_BASE + 48;
constexpr MCIERROR MCIERR_EXTRA_CHARACTERS = MCIERR_BASE + 49;
constexpr MCIERROR MCIERR_DEVICE_NOT_INSTALLED = MCIERR_BASE + 50;
constexpr MCIERROR MCIERR_GET_CD = MCIERR_BASE + 51;
constexpr MCIERROR MCIERR_SET_CD = MCIERR_BASE + 52;
constexpr MCIERROR MCIERR_SET_DRIVE = MCIERR_BASE + 53;
constexpr MCIERROR MCIERR_DEVICE_LENGTH = MCIERR_BASE + 54;
constexpr MCIERROR MCIERR_DEVICE_ORD_LENGTH = MCIERR_BASE + 55;
constexpr MCIERROR MCIERR_NO_INTEGER = MCIERR_BASE + 56;
constexpr MCIERROR MCIERR_WAVE_OUTPUTSINUSE = MCIERR_BASE + 64;
constexpr MCIERROR MCIERR_WAVE_SETOUTPUTINUSE = MCIERR_BASE + 65;
constexpr MCIERROR MCIERR_WAVE_INPUTSINUSE = MCIERR_BASE + 66;
constexpr MCIERROR MCIERR_WAVE_SETINPUTINUSE = MCIERR_BASE + 67;
constexpr MCIERROR MCIERR_WAVE_OUTPUTUNSPECIFIED = MCIERR_BASE + 68;
constexpr MCIERROR MCIERR_WAVE_INPUTUNSPECIFIED = MCIERR_BASE + 69;
constexpr MCIERROR MCIERR_WAVE_OUTPUTSUNSUITABLE = MCIERR_BASE + 70;
constexpr MCIERROR MCIERR_WAVE_SETOUTPUTUNSUITABLE = MCIERR_BASE + 71;
constexpr MCIERROR MCIERR_WAVE_INPUTSUNSUITABLE = MCIERR_BASE + 72;
constexpr MCIERROR MCIERR_WAVE_SETINPUTUNSUITABLE = MCIERR_BASE + 73;
constexpr MCIERROR MCIERR_NO_WINDOW = MCIERR_BASE + 90;
constexpr MCIERROR MCIERR_CREATEWINDOW = MCIERR_BASE + 91;
constexpr MCIERROR MCIERR_FILE_READ = MCIERR_BASE + 92;
constexpr MCIERROR MCIERR_FILE_WRITE = MCIERR_BASE + 93;
constexpr MCIERROR MCIERR_NO_IDENTITY = MCIERR_BASE + 94;

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

  // The Japanese text of an MCI error code ("" never: unknown codes get a
  // generic text).  known is set to whether the code is one of the above or 0.
  static const char* errorText(MCIERROR code, bool* known = nullptr);
  // mciGetErrorStringA: copies the text into text[0..length), truncated on a
  // character boundary and always NUL-terminated.  TRUE for a known code;
  // FALSE for an unknown one (the generic text is still copied) or when there
  // is no buffer.
  static BOOL errorString(MCIERROR code, char* text, uint32_t length);

private:
  struct Device;
  class Take;

  MCIERROR run(const std::vector<mci::Word>& words);
  MCIERROR open(const std::vector<mci::Word>& words);
  MCIERROR record(Device& d, const std::vector<mci::Word>& words);
  MCIERROR save(Device& d, const std::vector<mci::Word>& words);
  Device* find(const std::string& name);
  void close(Device* d);

  TapHost& host_;
  std::string scratchDir_;
  std::size_t ringFrames_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Device>> devices_;
};

}  // namespace platform
