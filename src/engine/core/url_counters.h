// HTTP request counters of one network. Written by the URL recorder and read
// (and, for `seen`, reset every second) by the request chart on other threads.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarnix {

struct UrlCounters {
  std::atomic<std::uint32_t> seen{0};     // handed to the recorder since the chart last sampled
  std::atomic<std::uint32_t> proxied{0};  // recorded with an absolute URL (through a proxy)
  std::atomic<std::uint32_t> direct{0};   // recorded with a target that begins with '/'
};

}  // namespace tarnix
