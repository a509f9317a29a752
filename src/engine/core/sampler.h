// Ten-sample moving average behind every rate. Empty slots count as zero, so
// a fresh average climbs over its first ten samples.
#pragma once

namespace tarnix {

struct Sampler {
  int next = 0;
  double samples[10] = {};
  double average = 0.0;
};

inline void sampler_reset(Sampler& s) { s = Sampler{}; }

inline void sampler_add(Sampler& s, double value) {
  s.samples[s.next] = value;
  s.next = (s.next + 1) % 10;
  double sum = 0.0;
  for (double v : s.samples) sum += v;
  s.average = sum / 10.0;
}

}  // namespace tarnix
