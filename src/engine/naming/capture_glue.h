// Plugs the name cache and the duplicate detector into the frame path's
// interfaces. Header-only, so the naming library itself does not depend on
// the capture library; a program that has both includes this.
#pragma once

#include "capture/hooks.h"
#include "capture/namer.h"
#include "naming/dupip.h"
#include "naming/hostc.h"

namespace tarnix {

// Host creation's view of the cache. With a NullNameService behind the
// cache (no name traffic wanted) hosts still get entries and host ids, and
// keep showing their dotted address.
class HostcNamer final : public HostNamer {
 public:
  explicit HostcNamer(HostCache& cache) : cache_(cache) {}
  const HostcEntry* find(const NetAddress& ipv4) override { return cache_.find_ipv4(ipv4); }
  void request(const NetAddress& ipv4, std::function<void(const HostcEntry*)> done) override {
    cache_.request_ipv4(ipv4, std::move(done));
  }
  std::string_view name_of(const HostcEntry* entry) const override {
    return entry != nullptr && entry->has_name() ? std::string_view(entry->host->name) : std::string_view();
  }

 private:
  HostCache& cache_;
};

// The frame handler's duplicate hook.
class DupIpSink final : public DuplicateSink {
 public:
  explicit DupIpSink(DupIp& dup) : dup_(dup) {}
  bool detecting() const override { return dup_.detecting(); }
  void report(const NetAddress& ipv4, const NetAddress& recorded_ether,
              const NetAddress& frame_ether) override {
    dup_.record(ipv4, recorded_ether, frame_ether);
  }

 private:
  DupIp& dup_;
};

}  // namespace tarnix
