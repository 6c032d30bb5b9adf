// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/waveaudio/mci_device.h"

#include "platform/waveaudio/mci_take.h"
#include "platform/waveaudio/mci_wav.h"

#include <QDir>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <new>
#include <optional>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

namespace platform {
namespace {

constexpr uint64_t kMaxTakeFrames = mci::kMaxWavDataBytes / mci::kTakeBytesPerFrame;

uint64_t msToFrames(uint64_t ms, uint32_t rate) { return ms * rate / 1000; }

// w[i] is a flag with a value ("alias NAME", "from MS"): the value goes into
// slot, which must not have one yet, and i moves onto it.
template <typename T>
MCIERROR readValue(const std::vector<mci::Word>& w, std::size_t& i, std::optional<T>& slot) {
  if (slot) return MCIERR_DUPLICATE_FLAGS;
  if (i + 1 >= w.size()) return MCIERR_MISSING_PARAMETER;
  const mci::Word& value = w[++i];
  if constexpr (std::is_same_v<T, std::string>) {
    slot = value.text;
  } else {
    uint32_t n;
    if (const MCIERROR err = mci::parseInteger(value, n)) return err;
    slot = n;
  }
  return 0;
}

bool endsWithNoCase(const std::string& s, std::string_view suffix) {
  return s.size() >= suffix.size() &&
         mci::equalsNoCase(std::string_view(s).substr(s.size() - suffix.size()), suffix);
}

}  // namespace

// UI thread, as the device that holds it.
struct WaveAudioDevice::Device {
  std::string name;
  std::unique_ptr<mci::Take> take;   // "open new": a recording
  int fileFd = -1;                   // "open PATH": an existing WAV file
  ~Device() {
    take.reset();
    if (fileFd >= 0) ::close(fileFd);
  }
};

WaveAudioDevice::WaveAudioDevice(TapHost& host, std::string scratchDir, std::size_t ringFrames)
    : host_(host),
      scratchDir_(scratchDir.empty() ? QDir::tempPath().toStdString() : std::move(scratchDir)),
      ringFrames_(ringFrames) {}

WaveAudioDevice::~WaveAudioDevice() { devices_.clear(); }

void WaveAudioDevice::flush() {
  for (auto& d : devices_)
    if (d->take) d->take->flush();
}

MCIERROR WaveAudioDevice::sendString(const char* command, char* returnString, uint32_t returnLength) {
  if (returnString && returnLength > 0) returnString[0] = '\0';
  if (!command) return MCIERR_NULL_PARAMETER_BLOCK;
  try {
    std::vector<mci::Word> words;
    if (const MCIERROR err = mci::splitWords(command, words)) return err;
    return run(words);
  } catch (const std::bad_alloc&) {
    return MCIERR_OUT_OF_MEMORY;
  } catch (...) {
    return MCIERR_INTERNAL;
  }
}

WaveAudioDevice::Device* WaveAudioDevice::find(const std::string& name) {
  for (auto& d : devices_)
    if (mci::equalsNoCase(d->name, name)) return d.get();
  return nullptr;
}

void WaveAudioDevice::close(Device* d) {
  auto it = std::find_if(devices_.begin(), devices_.end(), [&](auto& p) { return p.get() == d; });
  if (it != devices_.end()) devices_.erase(it);
}

MCIERROR WaveAudioDevice::run(const std::vector<mci::Word>& w) {
  if (w.empty()) return MCIERR_MISSING_COMMAND_STRING;
  const mci::Word& verb = w[0];
  if (mci::isKeyword(verb, "open")) return open(w);

  enum { kRecord, kStop, kSave, kClose, kOther } kind;
  if (mci::isKeyword(verb, "record")) kind = kRecord;
  else if (mci::isKeyword(verb, "stop")) kind = kStop;
  else if (mci::isKeyword(verb, "save")) kind = kSave;
  else if (mci::isKeyword(verb, "close")) kind = kClose;
  else {
    // Commands of the MCI language that this device does not carry out:
    // playback, for one, goes through the wave-sound channel.
    static constexpr std::string_view kKnown[] = {
        "play", "pause", "resume", "seek", "status", "set", "cue", "info", "capability",
        "delete", "cut", "copy", "paste", "load", "where", "window", "put", "break",
        "sysinfo", "update", "freeze", "unfreeze", "configure", "realize", "undo", "spin",
        "step", "setaudio", "setvideo", "signal", "list", "restore", "capture", "monitor",
        "quality", "reserve", "settimecode", "settuner", "escape"};
    if (!std::any_of(std::begin(kKnown), std::end(kKnown),
                     [&](std::string_view k) { return mci::isKeyword(verb, k); }))
      return MCIERR_UNRECOGNIZED_COMMAND;
    kind = kOther;
  }

  if (w.size() < 2) return MCIERR_MISSING_DEVICE_NAME;
  const bool all = mci::isKeyword(w[1], "all");
  Device* d = all ? nullptr : find(w[1].text);
  if (!all && !d) return MCIERR_INVALID_DEVICE_NAME;
  if (kind == kOther) return MCIERR_UNSUPPORTED_FUNCTION;
  if (kind == kRecord || kind == kSave) {
    if (all) return MCIERR_CANNOT_USE_ALL;
    return kind == kRecord ? record(*d, w) : save(*d, w);
  }

  // stop and close take only the wait and notify flags.
  for (std::size_t i = 2; i < w.size(); ++i)
    if (!mci::isKeyword(w[i], "wait") && !mci::isKeyword(w[i], "notify"))
      return MCIERR_UNRECOGNIZED_KEYWORD;

  if (kind == kStop) {
    MCIERROR result = 0;
    for (auto& dev : devices_) {
      if ((all || dev.get() == d) && dev->take) {
        if (const MCIERROR err = dev->take->stop()) result = err;
      }
    }
    return result;
  }
  if (all)
    devices_.clear();
  else
    close(d);
  return 0;
}

MCIERROR WaveAudioDevice::open(const std::vector<mci::Word>& w) {
  if (w.size() < 2) return MCIERR_MISSING_DEVICE_NAME;
  mci::Word element = w[1];
  std::optional<std::string> alias, type;
  for (std::size_t i = 2; i < w.size(); ++i) {
    const mci::Word& k = w[i];
    if (mci::isKeyword(k, "alias") || mci::isKeyword(k, "type")) {
      if (const MCIERROR err = readValue(w, i, mci::isKeyword(k, "alias") ? alias : type)) return err;
    } else if (mci::isKeyword(k, "buffer")) {
      std::optional<uint32_t> seconds;   // may be given more than once
      if (const MCIERROR err = readValue(w, i, seconds)) return err;
    } else if (!mci::isKeyword(k, "shareable") && !mci::isKeyword(k, "wait") &&
               !mci::isKeyword(k, "notify")) {
      return MCIERR_UNRECOGNIZED_KEYWORD;
    }
  }

  // "waveaudio!file.wav" names the type and the file in one word.
  if (!element.quoted) {
    const std::size_t bang = element.text.find('!');
    if (bang != std::string::npos) {
      if (type) return MCIERR_FLAGS_NOT_COMPATIBLE;
      type = element.text.substr(0, bang);
      element.text.erase(0, bang + 1);
    }
  }
  const bool isNew = mci::isKeyword(element, "new");
  if (type) {
    if (!mci::equalsNoCase(*type, "waveaudio")) return MCIERR_INVALID_DEVICE_NAME;
  } else if (isNew) {
    return MCIERR_DEVICE_TYPE_REQUIRED;
  } else if (mci::isKeyword(element, "waveaudio")) {
    return MCIERR_FILENAME_REQUIRED;  // the bare device, with nothing to record into
  } else if (!endsWithNoCase(element.text, ".wav")) {
    return MCIERR_EXTENSION_NOT_FOUND;
  }
  if (isNew && !alias) return MCIERR_NEW_REQUIRES_ALIAS;

  const std::string name = alias ? *alias : element.text;
  if (name.empty()) return MCIERR_MISSING_DEVICE_NAME;
  if (mci::equalsNoCase(name, "all")) return MCIERR_CANNOT_USE_ALL;
  if (find(name)) return alias ? MCIERR_DUPLICATE_ALIAS : MCIERR_DEVICE_OPEN;
  if (devices_.size() >= kMaxOpenDevices) return MCIERR_OUT_OF_MEMORY;

  auto dev = std::make_unique<Device>();
  dev->name = name;
  if (isNew) {
    dev->take = std::make_unique<mci::Take>(host_, ringFrames_);
    if (const MCIERROR err = dev->take->createScratch(scratchDir_)) return err;
  } else {
    if (element.text.empty()) return MCIERR_FILE_NOT_FOUND;
    // Non-blocking, so that a FIFO given as the file cannot hang the program.
    const int fd = ::open(element.text.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
      return (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG || errno == ELOOP)
                 ? MCIERR_FILE_NOT_FOUND
                 : MCIERR_FILE_READ;
    }
    dev->fileFd = fd;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !mci::looksLikeWav(fd))
      return MCIERR_INVALID_FILE;
  }
  devices_.push_back(std::move(dev));
  return 0;
}

MCIERROR WaveAudioDevice::record(Device& d, const std::vector<mci::Word>& w) {
  std::optional<uint32_t> from, to;
  bool overwrite = false, insert = false, wait = false, test = false;
  for (std::size_t i = 2; i < w.size(); ++i) {
    const mci::Word& k = w[i];
    if (mci::isKeyword(k, "from") || mci::isKeyword(k, "to")) {
      if (const MCIERROR err = readValue(w, i, mci::isKeyword(k, "from") ? from : to)) return err;
    } else if (mci::isKeyword(k, "overwrite")) {
      overwrite = true;
    } else if (mci::isKeyword(k, "insert")) {
      insert = true;
    } else if (mci::isKeyword(k, "wait")) {
      wait = true;
    } else if (mci::isKeyword(k, "test")) {
      test = true;
    } else if (!mci::isKeyword(k, "notify")) {
      return MCIERR_UNRECOGNIZED_KEYWORD;
    }
  }
  if (overwrite && insert) return MCIERR_FLAGS_NOT_COMPATIBLE;
  if (from && to && *to < *from) return MCIERR_OUTOFRANGE;
  if (!d.take) return MCIERR_UNSUPPORTED_FUNCTION;  // opened files are only copied
  // Waiting would hold the caller for the whole take.
  if (wait) return MCIERR_UNSUPPORTED_FUNCTION;
  for (auto& other : devices_)
    if (other.get() != &d && other->take && other->take->recording())
      return MCIERR_WAVE_INPUTSINUSE;
  if (test) return 0;

  mci::Take& take = *d.take;
  if (take.recording()) {
    if (const MCIERROR err = take.stop()) return err;
  }
  const uint32_t rate = take.rate();
  const uint64_t fromFrame = from ? msToFrames(*from, rate) : take.frames();
  if (fromFrame > take.frames()) return MCIERR_OUTOFRANGE;
  // Inserting inside a take is not offered; recording at its end is.
  if (!overwrite && fromFrame < take.frames()) return MCIERR_UNSUPPORTED_FUNCTION;
  const uint64_t endFrame = std::min(to ? msToFrames(*to, rate) : kMaxTakeFrames, kMaxTakeFrames);
  return take.start(fromFrame, endFrame);
}

MCIERROR WaveAudioDevice::save(Device& d, const std::vector<mci::Word>& w) {
  std::optional<std::string> path;
  for (std::size_t i = 2; i < w.size(); ++i) {
    if (mci::isKeyword(w[i], "wait") || mci::isKeyword(w[i], "notify")) continue;
    if (path) return MCIERR_UNRECOGNIZED_KEYWORD;  // e.g. an unquoted path with a space
    path = w[i].text;
  }
  if (d.take) {
    if (!path || path->empty()) return MCIERR_FILENAME_REQUIRED;
    return d.take->save(*path);
  }
  // An opened file: saving it under its own name changes nothing.
  if (!path) return 0;
  if (path->empty()) return MCIERR_FILENAME_REQUIRED;
  struct stat st;
  if (::fstat(d.fileFd, &st) != 0) return MCIERR_FILE_READ;
  return mci::saveReplacing(*path, nullptr, 0, d.fileFd, static_cast<uint64_t>(st.st_size),
                            "wave audio");
}

}  // namespace platform
