// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers for the sound tests: offline rendering, pitch and spectrum
// estimates, and WAV files written on the spot.
#pragma once

#include "platform/audio/audio_thread/audio_engine.h"
#include "platform/audio/calls/sound_system.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

namespace soundtest {

// Packed short messages, as midiOutShortMsg takes them.
constexpr uint32_t programChange(int program, int channel = 0) {
  return uint32_t(0xC0 | channel) | uint32_t(program) << 8;
}
constexpr uint32_t noteOn(int note, int velocity = 127, int channel = 0) {
  return uint32_t(0x90 | channel) | uint32_t(note) << 8 | uint32_t(velocity) << 16;
}
constexpr uint32_t controller(int cc, int value, int channel = 0) {
  return uint32_t(0xB0 | channel) | uint32_t(cc) << 8 | uint32_t(value) << 16;
}


constexpr double kRate = 44100.0;

// Renders `frames` frames in blocks of `block` frames (interleaved stereo).
inline std::vector<float> render(platform::AudioEngine& engine, size_t frames, uint32_t block = 256) {
  std::vector<float> out(frames * 2);
  size_t done = 0;
  while (done < frames) {
    const uint32_t n = uint32_t(std::min<size_t>(block, frames - done));
    engine.render(out.data() + done * 2, n);
    done += n;
  }
  return out;
}

// One note rendered offline on a fresh one-instance synthesizer from frame 0
// (empty when the device does not open).
inline std::vector<float> offlineNote(int program, int note, size_t frames, uint32_t rate = 44100,
                                      bool room = false) {
  platform::SoundSystemOptions o = platform::SoundSystemOptions::offline();
  o.sampleRate = rate;
  o.poolSize = 1;
  o.room = room;
  platform::SoundSystem s(o);
  HMIDIOUT h = 0;
  if (s.midiOutOpen(&h, MIDI_MAPPER) != MMSYSERR_NOERROR) return {};
  s.midiOutShortMsg(h, programChange(program));
  s.midiOutShortMsg(h, noteOn(note));
  return render(s.engine(), frames);
}

// First frame at or after `from` with a sample that is not exactly zero.
inline size_t firstSound(const std::vector<float>& stereo, size_t from = 0) {
  for (size_t f = from; f < stereo.size() / 2; ++f)
    if (stereo[f * 2] != 0.0f || stereo[f * 2 + 1] != 0.0f) return f;
  return SIZE_MAX;
}

inline std::vector<float> channel(const std::vector<float>& stereo, int which) {
  std::vector<float> out(stereo.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) out[i] = stereo[i * 2 + which];
  return out;
}

inline float peak(const std::vector<float>& x, size_t from = 0, size_t to = SIZE_MAX) {
  float p = 0.0f;
  for (size_t i = from; i < std::min(to, x.size()); ++i) p = std::max(p, std::fabs(x[i]));
  return p;
}

inline double rms(const std::vector<float>& x, size_t from, size_t to) {
  double s = 0.0;
  to = std::min(to, x.size());
  for (size_t i = from; i < to; ++i) s += double(x[i]) * x[i];
  return to > from ? std::sqrt(s / double(to - from)) : 0.0;
}

// Fundamental frequency of x[from, from+len) by the normalised square
// difference function: the first lag whose peak reaches 90 % of the
// highest, refined by a parabola through its neighbours.  0 when none.
inline double pitchHz(const std::vector<float>& x, size_t from, size_t len, double rate = kRate,
                      double fmin = 60.0, double fmax = 2500.0) {
  const size_t maxLag = size_t(rate / fmin), minLag = size_t(rate / fmax);
  if (from + len > x.size() || len <= maxLag + 2) return 0.0;
  const float* s = x.data() + from;
  std::vector<double> nsdf(maxLag + 2, 0.0);
  for (size_t tau = 0; tau < nsdf.size(); ++tau) {
    double acf = 0.0, m = 0.0;
    for (size_t i = 0; i + tau < len; ++i) {
      acf += double(s[i]) * s[i + tau];
      m += double(s[i]) * s[i] + double(s[i + tau]) * s[i + tau];
    }
    nsdf[tau] = m > 0 ? 2.0 * acf / m : 0.0;
  }
  double best = 0.0;
  for (size_t tau = minLag; tau <= maxLag; ++tau) best = std::max(best, nsdf[tau]);
  if (best <= 0.0) return 0.0;
  for (size_t tau = std::max<size_t>(minLag, 1); tau <= maxLag; ++tau) {
    if (nsdf[tau] >= 0.9 * best && nsdf[tau] >= nsdf[tau - 1] && nsdf[tau] >= nsdf[tau + 1]) {
      const double a = nsdf[tau - 1], b = nsdf[tau], c = nsdf[tau + 1];
      const double denom = a - 2 * b + c;
      const double shift = denom != 0.0 ? 0.5 * (a - c) / denom : 0.0;
      return rate / (double(tau) + shift);
    }
  }
  return 0.0;
}

// Magnitude spectrum (Hann window) of x[from, from+n), n a power of two.
inline std::vector<double> spectrum(const std::vector<float>& x, size_t from, size_t n) {
  std::vector<std::complex<double>> a(n);
  for (size_t i = 0; i < n; ++i) {
    const double w = 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(n));
    a[i] = from + i < x.size() ? w * x[from + i] : 0.0;
  }
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const std::complex<double> wl = std::polar(1.0, -2 * M_PI / double(len));
    for (size_t i = 0; i < n; i += len) {
      std::complex<double> w = 1.0;
      for (size_t k = 0; k < len / 2; ++k) {
        const auto u = a[i + k], v = a[i + k + len / 2] * w;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
        w *= wl;
      }
    }
  }
  std::vector<double> mag(n / 2);
  for (size_t i = 0; i < n / 2; ++i) mag[i] = std::abs(a[i]);
  return mag;
}

// Distance between the shapes of two spectra: L1 of the spectra scaled to
// unit sum, from 0 (same shape) to 2 (nothing in common).
inline double spectralDistance(const std::vector<double>& a, const std::vector<double>& b) {
  double sa = 0, sb = 0, d = 0;
  for (size_t i = 0; i < a.size(); ++i) sa += a[i], sb += b[i];
  for (size_t i = 0; i < a.size(); ++i) d += std::fabs(a[i] / sa - b[i] / sb);
  return d;
}

// A float WAV holding exactly the given samples.
inline bool writeFloatWav(const std::string& path, const std::vector<float>& interleaved,
                          int channels, int rate) {
  SF_INFO info{};
  info.channels = channels;
  info.samplerate = rate;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) return false;
  const sf_count_t frames = sf_count_t(interleaved.size() / size_t(channels));
  const bool ok = sf_writef_float(f, interleaved.data(), frames) == frames;
  sf_close(f);
  return ok;
}

// A 16-bit PCM WAV; it reads back as q / 32768.
inline bool writePcm16Wav(const std::string& path, const std::vector<int16_t>& interleaved,
                          int channels, int rate) {
  SF_INFO info{};
  info.channels = channels;
  info.samplerate = rate;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) return false;
  const sf_count_t frames = sf_count_t(interleaved.size() / size_t(channels));
  const bool ok = sf_writef_short(f, interleaved.data(), frames) == frames;
  sf_close(f);
  return ok;
}

inline std::vector<int16_t> toPcm16(const std::vector<float>& x) {
  std::vector<int16_t> q(x.size());
  for (size_t i = 0; i < x.size(); ++i)
    q[i] = int16_t(std::lround(std::clamp(x[i], -1.0f, 1.0f) * 32767.0f));
  return q;
}

}  // namespace soundtest
