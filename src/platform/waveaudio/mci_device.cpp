#include "platform/waveaudio/mci_device.h"

#include "platform/audio/audio_thread/audio_tap.h"
#include "platform/waveaudio/mci_wav.h"
#include "platform/audio/audio_thread/spsc_queue.h"

#include <QDir>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace platform {
namespace {

constexpr uint32_t kChannels = 2;
constexpr uint32_t kBytesPerFrame = kChannels * sizeof(int16_t);
constexpr uint64_t kMaxTakeFrames = mci::kMaxWavDataBytes / kBytesPerFrame;

int16_t toPcm16(float x) {
  if (!(x == x)) return 0;  // NaN
  x = std::clamp(x, -1.0f, 1.0f);
  return static_cast<int16_t>(std::lrintf(x * 32767.0f));
}

std::size_t roundUpPow2(std::size_t n) {
  std::size_t p = 1024;
  while (p < n && p < (std::size_t{1} << 30)) p <<= 1;
  return p;
}

uint64_t msToFrames(uint64_t ms, uint32_t rate) { return ms * rate / 1000; }

MCIERROR savingError(int err, bool readFailed) {
  if (readFailed) return MCIERR_FILE_READ;
  switch (err) {
    case ENOSPC: case EFBIG: case EDQUOT: case EIO: return MCIERR_FILE_WRITE;
    case ENOMEM: return MCIERR_OUT_OF_MEMORY;
    default: return MCIERR_FILE_NOT_SAVED;
  }
}

bool endsWithNoCase(const std::string& s, std::string_view suffix) {
  return s.size() >= suffix.size() &&
         mci::equalsNoCase(std::string_view(s).substr(s.size() - suffix.size()), suffix);
}

}  // namespace

// ---------------------------------------------------------------------------
// A take: the tap on the output mix, its ring, the writer thread and the
// scratch file that holds the frames recorded so far (16-bit stereo).
//
// The audio thread converts each block to 16-bit and pushes it into the ring.
// When the ring is full the frames that do not fit are dropped, counted and
// recorded as a gap; the writer leaves a gap as silence, so the rest of the
// take keeps its place in time.  The writer thread drains the ring into the
// scratch file every few milliseconds, or at once when asked by flush().
class WaveAudioDevice::Take final : public AudioTap {
public:
  Take(TapHost& host, std::size_t ringFrames)
      : host_(host),
        rate_(host.sampleRate()),
        capacity_(roundUpPow2(ringFrames)),
        mask_(capacity_ - 1),
        ring_(new int16_t[capacity_ * kChannels]()) {}  // zeroed: no page faults later

  ~Take() override {
    stop();
    if (fd_ >= 0) ::close(fd_);
  }

  // Creates the scratch file in folder, deleted from the folder at once so
  // that nothing is left behind whatever happens to the program.
  MCIERROR createScratch(const std::string& folder) {
    std::string name = folder + (folder.empty() || folder.back() != '/' ? "/" : "") +
                       "plinkora-take-XXXXXX";
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0) {
      std::fprintf(stderr, "plinkora: recorder: cannot create a scratch file in %s: %s\n",
                   folder.c_str(), std::strerror(errno));
      return MCIERR_FILE_WRITE;
    }
    ::unlink(name.c_str());
    return 0;
  }

  bool recording() const { return recording_; }
  uint32_t rate() const { return rate_; }
  uint64_t frames() const { return frames_; }

  // Starts recording at fromFrame (the take is cut there) up to endFrame.
  MCIERROR start(uint64_t fromFrame, uint64_t endFrame) {
    if (fromFrame == 0) writeError_ = 0;  // nothing of a damaged take is kept
    if (fromFrame < frames_ && ::ftruncate(fd_, static_cast<off_t>(fromFrame * kBytesPerFrame)) != 0)
      return MCIERR_FILE_WRITE;
    frames_ = fromFrame;
    written_ = fromFrame;
    position_ = fromFrame;
    endFrame_ = std::max(fromFrame, endFrame);
    gapOpen_ = 0;
    pendingGap_.reset();
    lost_.store(0, std::memory_order_relaxed);
    quit_ = false;
    wake_ = false;
    try {
      writer_ = std::thread([this] { writerLoop(); });
    } catch (const std::system_error&) {
      return MCIERR_OUT_OF_MEMORY;
    }
    host_.attachTap(this);
    recording_ = true;
    return 0;
  }

  // Ends the recording: no frame after this call is taken, every frame taken
  // before it is in the scratch file when it returns.
  MCIERROR stop() {
    if (!recording_) return 0;
    host_.detachTap(this);  // from here on the tap's fields are ours again
    {
      std::lock_guard lock(m_);
      quit_ = true;
    }
    cv_.notify_one();
    writer_.join();
    recording_ = false;

    written_ += gapOpen_;  // frames lost at the very end: silence as well
    gapOpen_ = 0;
    if (!writeError_ && ::ftruncate(fd_, static_cast<off_t>(written_ * kBytesPerFrame)) != 0)
      writeError_ = errno;
    frames_ = written_;

    if (const uint64_t lost = lost_.load(std::memory_order_relaxed)) {
      std::fprintf(stderr,
                   "plinkora: recorder: the disk writer fell behind; %llu frames (%.3f s) of the "
                   "take were lost and left silent\n",
                   static_cast<unsigned long long>(lost), static_cast<double>(lost) / rate_);
    }
    if (writeError_) {
      std::fprintf(stderr, "plinkora: recorder: cannot write the take: %s\n",
                   std::strerror(writeError_));
      return MCIERR_FILE_WRITE;
    }
    return 0;
  }

  void flush() {
    if (!recording_) return;
    const uint64_t target = head_.load(std::memory_order_acquire);
    std::unique_lock lock(m_);
    wake_ = true;
    cv_.notify_one();
    drainedCv_.wait(lock, [&] { return drainedTo_ >= target || quit_; });
  }

  // Writes the take as a WAV file at path (stops it first if it is running).
  MCIERROR save(const std::string& path) {
    if (const MCIERROR err = stop()) return err;
    if (writeError_) return MCIERR_FILE_WRITE;
    const uint64_t bytes = frames_ * kBytesPerFrame;
    const auto header = mci::pcmWavHeader(rate_, kChannels, 16, static_cast<uint32_t>(bytes));
    bool readFailed = false;
    const int err = mci::writeFileReplacing(path, header.data(), header.size(), fd_, 0, bytes,
                                            &readFailed);
    if (err) {
      std::fprintf(stderr, "plinkora: recorder: cannot save %s: %s\n", path.c_str(),
                   std::strerror(err));
      return savingError(err, readFailed);
    }
    return 0;
  }

  // Audio thread.
  void onMix(const float* interleaved, uint32_t frames) noexcept override {
    if (!interleaved || frames == 0 || position_ >= endFrame_) return;
    const uint64_t want = std::min<uint64_t>(frames, endFrame_ - position_);
    const uint64_t head = head_.load(std::memory_order_relaxed);
    const uint64_t room = capacity_ - (head - tail_.load(std::memory_order_acquire));
    uint64_t take = std::min(want, room);
    if (take > 0 && gapOpen_ > 0) {
      if (gaps_.push(Gap{head, gapOpen_}))
        gapOpen_ = 0;
      else
        take = 0;  // the gap must be told before the frames after it
    }
    for (uint64_t i = 0; i < take; ++i) {
      int16_t* out = &ring_[((head + i) & mask_) * kChannels];
      out[0] = toPcm16(interleaved[2 * i]);
      out[1] = toPcm16(interleaved[2 * i + 1]);
    }
    head_.store(head + take, std::memory_order_release);
    if (want > take) {
      gapOpen_ += want - take;
      lost_.fetch_add(want - take, std::memory_order_relaxed);
    }
    position_ += want;
  }

private:
  struct Gap {
    uint64_t at;      // ring position of the first frame after the gap
    uint64_t frames;  // frames missing
  };

  void writerLoop() {
    std::unique_lock lock(m_);
    for (;;) {
      cv_.wait_for(lock, std::chrono::milliseconds(10), [&] { return quit_ || wake_; });
      wake_ = false;
      const bool quitting = quit_;
      lock.unlock();
      drain();
      lock.lock();
      drainedTo_ = tail_.load(std::memory_order_relaxed);
      drainedCv_.notify_all();
      if (quitting) return;
    }
  }

  // Writer thread: everything the tap has pushed so far goes to the file.
  void drain() {
    const uint64_t head = head_.load(std::memory_order_acquire);
    for (;;) {
      if (!pendingGap_) {
        Gap g;
        if (gaps_.pop(g)) pendingGap_ = g;
      }
      if (!pendingGap_ || pendingGap_->at > head) break;
      writeRing(pendingGap_->at);
      written_ += pendingGap_->frames;  // a hole in the file, read back as zeros
      pendingGap_.reset();
    }
    writeRing(head);
  }

  void writeRing(uint64_t upTo) {
    uint64_t tail = tail_.load(std::memory_order_relaxed);
    while (tail < upTo) {
      const uint64_t index = tail & mask_;
      const uint64_t n = std::min<uint64_t>(upTo - tail, capacity_ - index);
      if (!writeError_) {
        const char* p = reinterpret_cast<const char*>(&ring_[index * kChannels]);
        std::size_t len = static_cast<std::size_t>(n * kBytesPerFrame);
        off_t off = static_cast<off_t>(written_ * kBytesPerFrame);
        while (len > 0) {
          const ssize_t w = ::pwrite(fd_, p, len, off);
          if (w < 0 && errno == EINTR) continue;
          if (w <= 0) {
            writeError_ = w < 0 ? errno : EIO;
            break;
          }
          p += w;
          off += w;
          len -= static_cast<std::size_t>(w);
        }
      }
      written_ += n;
      tail += n;
      tail_.store(tail, std::memory_order_release);
    }
  }

  TapHost& host_;
  const uint32_t rate_;
  const std::size_t capacity_;
  const std::size_t mask_;
  std::unique_ptr<int16_t[]> ring_;
  int fd_ = -1;

  // UI thread (and the writer's, while it runs: written_ and writeError_).
  bool recording_ = false;
  uint64_t frames_ = 0;      // frames in the scratch file while stopped
  uint64_t written_ = 0;     // frames placed in the file so far
  int writeError_ = 0;       // errno of the first failed write, kept until a fresh take
  std::optional<Gap> pendingGap_;
  std::thread writer_;

  // Audio thread while the tap is attached.
  uint64_t position_ = 0;    // frame of the take the next block starts at
  uint64_t endFrame_ = 0;    // recording ends by itself here
  uint64_t gapOpen_ = 0;     // frames dropped since the last push
  alignas(64) std::atomic<uint64_t> head_{0};  // frames pushed (audio thread)
  alignas(64) std::atomic<uint64_t> tail_{0};  // frames written (writer thread)
  std::atomic<uint64_t> lost_{0};
  SpscQueue<Gap, 256> gaps_;

  // Waking and waiting for the writer.
  std::mutex m_;
  std::condition_variable cv_;
  std::condition_variable drainedCv_;
  bool quit_ = false;
  bool wake_ = false;
  uint64_t drainedTo_ = 0;
};

// ---------------------------------------------------------------------------

struct WaveAudioDevice::Device {
  std::string name;
  std::unique_ptr<Take> take;   // "open new": a recording
  int fileFd = -1;              // "open PATH": an existing WAV file
  ~Device() {
    take.reset();
    if (fileFd >= 0) ::close(fileFd);
  }
};

WaveAudioDevice::WaveAudioDevice(TapHost& host, std::string scratchDir, std::size_t ringFrames)
    : host_(host),
      scratchDir_(scratchDir.empty() ? QDir::tempPath().toStdString() : std::move(scratchDir)),
      ringFrames_(ringFrames) {}

WaveAudioDevice::~WaveAudioDevice() {
  std::lock_guard lock(mutex_);
  devices_.clear();
}

void WaveAudioDevice::flush() {
  std::lock_guard lock(mutex_);
  for (auto& d : devices_)
    if (d->take) d->take->flush();
}

MCIERROR WaveAudioDevice::sendString(const char* command, char* returnString, uint32_t returnLength) {
  if (returnString && returnLength > 0) returnString[0] = '\0';
  if (!command) return MCIERR_NULL_PARAMETER_BLOCK;
  try {
    std::vector<mci::Word> words;
    if (const MCIERROR err = mci::splitWords(command, words)) return err;
    std::lock_guard lock(mutex_);
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
      auto& slot = mci::isKeyword(k, "alias") ? alias : type;
      if (slot) return MCIERR_DUPLICATE_FLAGS;
      if (i + 1 >= w.size()) return MCIERR_MISSING_PARAMETER;
      slot = w[++i].text;
    } else if (mci::isKeyword(k, "buffer")) {
      if (i + 1 >= w.size()) return MCIERR_MISSING_PARAMETER;
      uint32_t seconds;
      if (const MCIERROR err = mci::parseInteger(w[++i], seconds)) return err;
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
    dev->take = std::make_unique<Take>(host_, ringFrames_);
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
      auto& slot = mci::isKeyword(k, "from") ? from : to;
      if (slot) return MCIERR_DUPLICATE_FLAGS;
      if (i + 1 >= w.size()) return MCIERR_MISSING_PARAMETER;
      uint32_t v;
      if (const MCIERROR err = mci::parseInteger(w[++i], v)) return err;
      slot = v;
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

  Take& take = *d.take;
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
  bool readFailed = false;
  const int err = mci::writeFileReplacing(*path, nullptr, 0, d.fileFd, 0,
                                          static_cast<uint64_t>(st.st_size), &readFailed);
  if (err) {
    std::fprintf(stderr, "plinkora: wave audio: cannot save %s: %s\n", path->c_str(),
                 std::strerror(err));
    return savingError(err, readFailed);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Error texts.

namespace {

struct ErrorText {
  MCIERROR code;
  const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {0, "エラーはありません。コマンドは正常に実行されました。"},
    {MCIERR_INVALID_DEVICE_ID, "デバイス ID が正しくありません。"},
    {MCIERR_UNRECOGNIZED_KEYWORD, "コマンドに認識できないパラメータがあります。"},
    {MCIERR_UNRECOGNIZED_COMMAND, "認識できないコマンドです。"},
    {MCIERR_HARDWARE, "デバイスに問題があります。デバイスが正しく動作しているか調べてください。"},
    {MCIERR_INVALID_DEVICE_NAME, "指定されたデバイスは開かれていないか、認識できません。"},
    {MCIERR_OUT_OF_MEMORY, "この操作を実行するためのメモリが足りません。"},
    {MCIERR_DEVICE_OPEN, "そのデバイス名は既に使われています。別の名前を指定してください。"},
    {MCIERR_CANNOT_LOAD_DRIVER, "デバイス ドライバを読み込めません。"},
    {MCIERR_MISSING_COMMAND_STRING, "コマンドが指定されていません。"},
    {MCIERR_PARAM_OVERFLOW, "コマンドまたは返される文字列が長すぎます。"},
    {MCIERR_MISSING_STRING_ARGUMENT, "文字列のパラメータが指定されていません。"},
    {MCIERR_BAD_INTEGER, "指定された整数が正しくありません。"},
    {MCIERR_PARSER_INTERNAL, "コマンドの解析中に内部エラーが発生しました。"},
    {MCIERR_DRIVER_INTERNAL, "デバイス ドライバで内部エラーが発生しました。"},
    {MCIERR_MISSING_PARAMETER, "コマンドに必要なパラメータが指定されていません。"},
    {MCIERR_UNSUPPORTED_FUNCTION, "このデバイスはこのコマンドを実行できません。"},
    {MCIERR_FILE_NOT_FOUND, "指定されたファイルが見つかりません。パスとファイル名を確かめてください。"},
    {MCIERR_DEVICE_NOT_READY, "デバイスの準備ができていません。"},
    {MCIERR_INTERNAL, "デバイスの初期化中に問題が発生しました。"},
    {MCIERR_DRIVER, "デバイス ドライバでエラーが発生しました。"},
    {MCIERR_CANNOT_USE_ALL, "このコマンドではデバイス名に all を使えません。"},
    {MCIERR_MULTIPLE, "複数のデバイスでエラーが発生しました。"},
    {MCIERR_EXTENSION_NOT_FOUND, "ファイルの拡張子からデバイスの種類を決められません。"},
    {MCIERR_OUTOFRANGE, "指定された値が範囲外です。"},
    {MCIERR_FLAGS_NOT_COMPATIBLE, "同時には指定できないパラメータが指定されています。"},
    {MCIERR_FILE_NOT_SAVED, "ファイルを保存できません。フォルダとファイル名、書き込みの権限を確かめてください。"},
    {MCIERR_DEVICE_TYPE_REQUIRED, "デバイスの種類を指定してください。"},
    {MCIERR_DEVICE_LOCKED, "デバイスは使用中です。しばらく待ってからやり直してください。"},
    {MCIERR_DUPLICATE_ALIAS, "その別名は既に使われています。別の名前を指定してください。"},
    {MCIERR_BAD_CONSTANT, "パラメータの値が正しくありません。"},
    {MCIERR_MUST_USE_SHAREABLE, "このデバイスは共有モードでしか開けません。"},
    {MCIERR_MISSING_DEVICE_NAME, "デバイス名が指定されていません。"},
    {MCIERR_BAD_TIME_FORMAT, "時間の形式が正しくありません。"},
    {MCIERR_NO_CLOSING_QUOTE, "閉じる二重引用符がありません。"},
    {MCIERR_DUPLICATE_FLAGS, "同じパラメータが二度指定されています。"},
    {MCIERR_INVALID_FILE, "指定されたファイルはこのデバイスでは扱えない形式です。"},
    {MCIERR_NULL_PARAMETER_BLOCK, "コマンドが渡されませんでした。"},
    {MCIERR_UNNAMED_RESOURCE, "名前のないファイルは保存できません。"},
    {MCIERR_NEW_REQUIRES_ALIAS, "new を使うときは別名を指定してください。"},
    {MCIERR_NOTIFY_ON_AUTO_OPEN, "自動で開いたデバイスには notify を使えません。"},
    {MCIERR_NO_ELEMENT_ALLOWED, "このデバイスにはファイル名を指定できません。"},
    {MCIERR_NONAPPLICABLE_FUNCTION, "今の状態ではこのコマンドを実行できません。"},
    {MCIERR_ILLEGAL_FOR_AUTO_OPEN, "自動で開いたデバイスにはこのコマンドを使えません。"},
    {MCIERR_FILENAME_REQUIRED, "ファイル名を指定してください。"},
    {MCIERR_EXTRA_CHARACTERS, "二重引用符で囲んだ文字列の後に余分な文字があります。"},
    {MCIERR_DEVICE_NOT_INSTALLED, "デバイスがインストールされていません。"},
    {MCIERR_GET_CD, "指定されたフォルダにアクセスできません。"},
    {MCIERR_SET_CD, "指定されたフォルダにアクセスできません。"},
    {MCIERR_SET_DRIVE, "指定されたドライブにアクセスできません。"},
    {MCIERR_DEVICE_LENGTH, "デバイス名またはドライバ名が長すぎます。"},
    {MCIERR_DEVICE_ORD_LENGTH, "デバイス名またはドライバ名が長すぎます。"},
    {MCIERR_NO_INTEGER, "このコマンドには整数のパラメータが必要です。"},
    {MCIERR_WAVE_OUTPUTSINUSE, "再生に使える Wave デバイスはすべて使用中です。"},
    {MCIERR_WAVE_SETOUTPUTINUSE, "再生用の Wave デバイスは使用中です。"},
    {MCIERR_WAVE_INPUTSINUSE, "録音に使える Wave デバイスはすべて使用中です。しばらく待ってからやり直してください。"},
    {MCIERR_WAVE_SETINPUTINUSE, "録音用の Wave デバイスは使用中です。"},
    {MCIERR_WAVE_OUTPUTUNSPECIFIED, "再生用の Wave デバイスが決まっていません。"},
    {MCIERR_WAVE_INPUTUNSPECIFIED, "録音用の Wave デバイスが決まっていません。"},
    {MCIERR_WAVE_OUTPUTSUNSUITABLE, "この形式で再生できる Wave デバイスがありません。"},
    {MCIERR_WAVE_SETOUTPUTUNSUITABLE, "再生用の Wave デバイスはこの形式を扱えません。"},
    {MCIERR_WAVE_INPUTSUNSUITABLE, "この形式で録音できる Wave デバイスがありません。"},
    {MCIERR_WAVE_SETINPUTUNSUITABLE, "録音用の Wave デバイスはこの形式を扱えません。"},
    {MCIERR_NO_WINDOW, "表示用のウィンドウがありません。"},
    {MCIERR_CREATEWINDOW, "ウィンドウを作成できません。"},
    {MCIERR_FILE_READ, "ファイルを読み込めません。ファイルが存在し、読み取れるか確かめてください。"},
    {MCIERR_FILE_WRITE, "ファイルに書き込めません。ディスクに空きがあるか調べてください。"},
    {MCIERR_NO_IDENTITY, "デバイスを識別できません。"},
};

constexpr const char* kUnknownErrorText = "不明なエラーです。";

}  // namespace

const char* WaveAudioDevice::errorText(MCIERROR code, bool* known) {
  for (const ErrorText& e : kErrorTexts) {
    if (e.code == code) {
      if (known) *known = true;
      return e.text;
    }
  }
  if (known) *known = false;
  return kUnknownErrorText;
}

BOOL WaveAudioDevice::errorString(MCIERROR code, char* text, uint32_t length) {
  if (!text || length == 0) return 0;
  bool known = false;
  const char* src = errorText(code, &known);
  std::size_t n = std::min<std::size_t>(std::strlen(src), length - 1);
  // Never cut a character in half.
  while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80) --n;
  std::memcpy(text, src, n);
  text[n] = '\0';
  return known ? 1 : 0;
}

}  // namespace platform
