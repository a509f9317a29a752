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
  if (++s.next == 10) s.next = 0;
  // Summed in pairs: four additions deep instead of ten in a row, and the
  // tick samples every busy host and link twice. The rates' samples are
  // whole counts, which any order adds exactly.
  const double* v = s.samples;
  const double sum = ((v[0] + v[1]) + (v[2] + v[3])) + ((v[4] + v[5]) + (v[6] + v[7])) + (v[8] + v[9]);
  s.average = sum / 10.0;
}

}  // namespace tarnix
