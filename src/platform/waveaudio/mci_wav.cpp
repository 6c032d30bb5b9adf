// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/waveaudio/mci_wav.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::mci {
namespace {

void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The process's umask, read without changing it (umask() would race with
// other threads creating files).
mode_t currentUmask() {
  FILE* f = std::fopen("/proc/self/status", "re");
  mode_t mask = 022;
  if (!f) return mask;
  char line[256];
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, "Umask:", 6) == 0) {
      mask = static_cast<mode_t>(std::strtoul(line + 6, nullptr, 8)) & 0777;
      break;
    }
  }
  std::fclose(f);
  return mask;
}

int writeAll(int fd, const void* data, std::size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    const ssize_t n = ::write(fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    p += n;
    len -= static_cast<std::size_t>(n);
  }
  return 0;
}

// Copies length bytes of src from *off to the end of dst, by the fastest
// means the kernel offers for this pair of files.
int copyRange(int src, off_t* off, int dst, uint64_t length, bool* readFailed) {
  bool tryCopyRange = true;
  bool trySendfile = true;
  std::unique_ptr<char[]> buffer;
  constexpr std::size_t kBuffer = std::size_t{1} << 20;
  constexpr std::size_t kChunk = std::size_t{1} << 30;
  while (length > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(length, kChunk));
    ssize_t n;
    if (tryCopyRange) {
      n = ::copy_file_range(src, off, dst, nullptr, want, 0);
      if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                    errno == EOPNOTSUPP || errno == EBADF)) {
        tryCopyRange = false;
        continue;
      }
    } else if (trySendfile) {
      n = ::sendfile(dst, src, off, want);
      if (n < 0 && (errno == EINVAL || errno == ENOSYS)) {
        trySendfile = false;
        continue;
      }
    } else {
      if (!buffer) buffer.reset(new (std::nothrow) char[kBuffer]);
      if (!buffer) return ENOMEM;
      n = ::pread(src, buffer.get(), std::min(want, kBuffer), *off);
      if (n < 0) {
        if (errno == EINTR) continue;
        *readFailed = true;
        return errno;
      }
      if (n > 0) {
        if (const int err = writeAll(dst, buffer.get(), static_cast<std::size_t>(n))) return err;
        *off += n;
      }
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      // copy_file_range and sendfile do not say which side failed; a write
      // limit or a full disk is by far the likelier, so it counts as writing.
      return errno;
    }
    if (n == 0) {  // the source ended early
      *readFailed = true;
      return EIO;
    }
    length -= static_cast<uint64_t>(n);
  }
  return 0;
}

}  // namespace

std::array<uint8_t, kWavHeaderSize> pcmWavHeader(uint32_t sampleRate, uint16_t channels,
                                                 uint16_t bitsPerSample, uint32_t dataBytes) {
  std::array<uint8_t, kWavHeaderSize> h{};
  const uint16_t blockAlign = static_cast<uint16_t>(channels * (bitsPerSample / 8));
  std::memcpy(&h[0], "RIFF", 4);
  put32(&h[4], 36 + dataBytes);
  std::memcpy(&h[8], "WAVE", 4);
  std::memcpy(&h[12], "fmt ", 4);
  put32(&h[16], 16);
  put16(&h[20], 1);  // PCM
  put16(&h[22], channels);
  put32(&h[24], sampleRate);
  put32(&h[28], sampleRate * blockAlign);
  put16(&h[32], blockAlign);
  put16(&h[34], bitsPerSample);
  std::memcpy(&h[36], "data", 4);
  put32(&h[40], dataBytes);
  return h;
}

bool looksLikeWav(int fd) {
  uint8_t head[12];
  if (::pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head)) return false;
  if (std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) return false;
  // Walk the chunks for "fmt "; a few are enough.
  off_t pos = 12;
  for (int i = 0; i < 64; ++i) {
    uint8_t chunk[8];
    if (::pread(fd, chunk, sizeof chunk, pos) != static_cast<ssize_t>(sizeof chunk)) return false;
    if (std::memcmp(chunk, "fmt ", 4) == 0) return get32(chunk + 4) >= 16;
    const uint32_t size = get32(chunk + 4);
    pos += 8 + static_cast<off_t>(size) + (size & 1);
  }
  return false;
}

int writeFileReplacing(const std::string& path, const void* header, std::size_t headerLen,
                       int srcFd, uint64_t srcOffset, uint64_t length, bool* readFailed) {
  bool readErr = false;
  if (readFailed) *readFailed = false;
  if (path.empty() || path.back() == '/') return EISDIR;

  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string(".")
                             : slash == 0              ? std::string("/")
                                                       : path.substr(0, slash);
  std::string tmpl = folder + (folder.back() == '/' ? "" : "/") + ".plinkora-save-XXXXXX";
  const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) return errno;

  mode_t mode = 0666 & ~currentUmask();
  struct stat old;
  if (::stat(path.c_str(), &old) == 0 && S_ISDIR(old.st_mode)) {
    ::close(fd);
    ::unlink(tmpl.c_str());
    return EISDIR;
  }
  // A replaced file keeps its mode; a symbolic link at path is replaced by
  // the new file, never written through, and lends it nothing of its target.
  if (::lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) mode = old.st_mode & 07777;

  int err = ::fchmod(fd, mode) == 0 ? 0 : errno;
  if (!err && headerLen > 0) err = writeAll(fd, header, headerLen);
  off_t off = static_cast<off_t>(srcOffset);
  if (!err && length > 0) err = copyRange(srcFd, &off, fd, length, &readErr);
  // Surface late write errors (delayed allocation, network folders) before
  // the new file takes the old one's place.
  if (!err && ::fdatasync(fd) != 0) err = errno;
  if (::close(fd) != 0 && !err) err = errno;
  if (!err && ::rename(tmpl.c_str(), path.c_str()) != 0) err = errno;
  if (err) {
    ::unlink(tmpl.c_str());
    if (readFailed) *readFailed = readErr;
  }
  return err;
}

}  // namespace platform::mci
