// SPDX-License-Identifier: GPL-3.0-or-later
// WAV headers and crash-safe file writing for the wave-audio device.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace platform::mci {

// The canonical 44-byte header of a PCM WAV: RIFF, "fmt " (16 bytes), data.
constexpr std::size_t kWavHeaderSize = 44;
std::array<uint8_t, kWavHeaderSize> pcmWavHeader(uint32_t sampleRate, uint16_t channels,
                                                 uint16_t bitsPerSample, uint32_t dataBytes);

// The largest data chunk a RIFF file can describe.
constexpr uint64_t kMaxWavDataBytes = 0xFFFFFFFFull - 36;

// True when the file at fd starts like a RIFF WAVE file with a "fmt " chunk.
bool looksLikeWav(int fd);

// Writes the file at path: `header` (headerLen bytes) followed by `length`
// bytes of srcFd read from srcOffset.  The data goes to a new temporary file
// in path's folder that is renamed over path only when everything is written,
// so on failure path keeps its previous content (or stays absent) and the
// temporary file is removed.  A new file gets the usual permissions (0666 less
// the umask); a replaced file keeps its own.  A symbolic link at path is
// replaced by the new file, not written through.
// Returns 0, or the errno of the failure; readFailed tells whether it was the
// reading of srcFd that failed (including srcFd ending early).
int writeFileReplacing(const std::string& path, const void* header, std::size_t headerLen,
                       int srcFd, uint64_t srcOffset, uint64_t length, bool* readFailed);

}  // namespace platform::mci
