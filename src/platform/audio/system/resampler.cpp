// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/audio/system/resampler.h"

#include <algorithm>
#include <cmath>

namespace platform {

namespace {

double besselI0(double x) {
  double sum = 1.0, term = 1.0;
  const double q = x * x / 4.0;
  for (int k = 1; k < 64; ++k) {
    term *= q / (double(k) * k);
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return sum;
}

// sinc(t) * Kaiser window, tabulated for t in zero crossings from 0 to
// kZeroCrossings and read with linear interpolation.
class SincTable {
public:
  static constexpr int kZeroCrossings = 16;
  static constexpr int kResolution = 1024;   // table points per zero crossing
  static constexpr double kBeta = 9.0;

  SincTable() : values_(kZeroCrossings * kResolution + 2, 0.0f) {
    const double norm = besselI0(kBeta);
    for (int i = 0; i <= kZeroCrossings * kResolution; ++i) {
      const double t = double(i) / kResolution;
      const double sinc = i == 0 ? 1.0 : std::sin(M_PI * t) / (M_PI * t);
      const double r = t / kZeroCrossings;
      const double window = besselI0(kBeta * std::sqrt(std::max(0.0, 1.0 - r * r))) / norm;
      values_[i] = float(sinc * window);
    }
  }
  double at(double t) const {
    const double x = t * kResolution;
    const size_t i = size_t(x);
    if (i >= size_t(kZeroCrossings * kResolution)) return 0.0;
    const double f = x - double(i);
    return values_[i] + (values_[i + 1] - values_[i]) * f;
  }

private:
  std::vector<float> values_;
};

const SincTable& sincTable() {
  static const SincTable table;
  return table;
}

}  // namespace

std::vector<float> resampleStereo(const std::vector<float>& in, uint32_t inRate, uint32_t outRate,
                                  bool circular) {
  const uint64_t inFrames = in.size() / 2;
  if (inFrames == 0 || inRate == 0 || outRate == 0) return {};
  if (inRate == outRate) return in;

  uint64_t outFrames;
  double step;   // input frames per output frame
  if (circular) {
    outFrames = std::max<uint64_t>(1, (inFrames * outRate + inRate / 2) / inRate);
    step = double(inFrames) / double(outFrames);
  } else {
    outFrames = (inFrames * outRate + inRate - 1) / inRate;
    step = double(inRate) / double(outRate);
  }

  const SincTable& table = sincTable();
  // Pass band just under the lower of the two Nyquist frequencies.
  const double cutoff = 0.95 * std::min(1.0, 1.0 / step);
  const int64_t half = int64_t(std::ceil(SincTable::kZeroCrossings / cutoff)) + 1;
  const int64_t n = int64_t(inFrames);

  std::vector<float> out(outFrames * 2);
  for (uint64_t j = 0; j < outFrames; ++j) {
    const double p = double(j) * step;
    const int64_t i0 = int64_t(std::floor(p));
    double l = 0.0, r = 0.0, wsum = 0.0;
    for (int64_t k = i0 - half + 1; k <= i0 + half; ++k) {
      const double w = table.at(std::fabs(double(k) - p) * cutoff);
      if (w == 0.0) continue;
      wsum += w;
      int64_t idx = k;
      if (circular) {
        idx %= n;
        if (idx < 0) idx += n;
      } else if (idx < 0 || idx >= n) {
        continue;   // silence beyond the ends
      }
      l += w * in[size_t(idx) * 2];
      r += w * in[size_t(idx) * 2 + 1];
    }
    if (wsum != 0.0) {
      l /= wsum;
      r /= wsum;
    }
    out[j * 2] = float(l);
    out[j * 2 + 1] = float(r);
  }
  return out;
}

}  // namespace platform
