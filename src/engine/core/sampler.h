// Ten-sample moving average behind every rate. Empty slots count as zero, so
// a fresh average climbs over its first ten samples.
#pragma once

#include <cstdint>

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

// The same average for whole counts, such as the per-second window counts
// behind every host and link rate: the tick samples every busy host and link,
// so a sampler is one cache line's worth and a new sample adjusts a running
// sum instead of adding all ten again. Counts below 2^32 add up exactly in a
// double too, so the averages equal Sampler's for the same samples. Not
// aligned to a line of its own: in every host and link record that would
// cost padding, and the tick fetches the rates ahead anyway.
struct CountSampler {
  std::uint32_t samples[10] = {};
  int next = 0;
  std::uint64_t sum = 0;
  double average = 0.0;
};
static_assert(sizeof(CountSampler) == 64);

inline void sampler_reset(CountSampler& s) { s = CountSampler{}; }

inline void sampler_add(CountSampler& s, std::uint32_t value) {
  s.sum = s.sum - s.samples[s.next] + value;
  s.samples[s.next] = value;
  if (++s.next == 10) s.next = 0;
  s.average = static_cast<double>(s.sum) / 10.0;
}

// A host's or link's two rates. A record holds them only while a rate
// moves: once ten samples in a row are zero both averages are zero, which
// is what a record without rates reads as, so the quiet majority of a large
// network's records carry none.
struct Rates {
  CountSampler frames;
  CountSampler bytes;
};

}  // namespace tarnix
