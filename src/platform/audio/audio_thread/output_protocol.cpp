// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/audio_thread/output_protocol.h"

#include "platform/audio/audio_thread/audio_engine.h"

#include <algorithm>

namespace platform {

void OutputProtocol::Frames::read(uint32_t offset, uint32_t n, float* out) const noexcept {
  engine.read(from + offset, n, out);
}

void OutputProtocol::restart() noexcept {
  origin_ = engine_.written();
  written_ = rewritten_ = 0;
}

uint64_t OutputProtocol::serve(const Clock& clock, Writer& writer) noexcept {
  const uint64_t rendered = engine_.written();
  const uint64_t target = engineFrame(clock.target);
  const uint64_t wantTo = target >= rendered + minTopUp_ ? target : rendered;
  const AudioEngine::Update u =
      clock.timing ? engine_.advance(engineFrame(clock.taken), clock.guard, wantTo, *clock.timing)
                   : engine_.advance(engineFrame(clock.taken), clock.guard, wantTo);

  // From the earliest frame that changed, but never into what is final,
  // and never past what the server has been given (the rest is new).
  const uint64_t given = engineFrame(written_);
  uint64_t from = std::max(std::min(u.from, given), engine_.finalFrames());
  if (from < given) rewritten_ += given - from;
  uint64_t total = 0;
  while (from < u.to) {
    const uint32_t want = uint32_t(std::min<uint64_t>(u.to - from, engine_.spanFrames()));
    const uint32_t n = writer.write(streamFrame(from), want, Frames{engine_, from});
    from += n;
    total += n;
    written_ = streamFrame(from);
    if (n < want) break;
  }
  return total;
}

}  // namespace platform
