// How host creation obtains names without ever waiting for the name service.
// The host holds a counted reference to the name-cache entry for its address
// (in a HostCacheRefSlot: the resolver thread stores it, any thread reads it)
// and derives its name and short name from that entry on read. Entries never
// change once visible, and a reference loaded from the slot stays valid
// however the host or the cache changes meanwhile; the host's reference is
// what keeps its entry in the cache, and an evicted host lets go of it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "naming/host_cache_ref.h"
#include "naming/netaddr.h"

namespace tarnix {

class HostNamer {
 public:
  virtual ~HostNamer() = default;
  // The cache's current entry for the IPv4 address, or null. Must not block.
  virtual HostCacheRef find(const NetAddress& ipv4) = 0;
  // Queues a resolution; `done` runs later (on any thread) with the entry or
  // null. Must not block. False when the look-up was not queued (too many
  // wait already): `done` is then never called.
  virtual bool request(const NetAddress& ipv4, std::function<void(const HostCacheRef&)> done) = 0;
  // request() for a host turned away before, as room comes: turned away
  // again, it is not counted again.
  virtual bool request_again(const NetAddress& ipv4, std::function<void(const HostCacheRef&)> done) {
    return request(ipv4, std::move(done));
  }
  // False when hosts are not to be looked up (nothing goes to the name
  // service): host creation then asks nothing, and the cache keeps no entry
  // for the host's address unless a name for it is heard.
  virtual bool resolves() const { return true; }
  // The name a host takes from the entry: its host record's name, or empty
  // when the entry has no host record (a failed reverse look-up).
  virtual std::string_view name_of(const HostCacheEntry* entry) const = 0;
  // The name a host shows, given its entry (null while none came back), its
  // IPv4 address and its Ethernet address (all zero when
  // none is known), and where the name came from ("" when unsaid). Namers
  // with more sources than the entry (names heard on the wire, the ethers
  // file) answer here.
  struct Label {
    std::string name;
    std::string_view source;
  };
  virtual Label label_of(const HostCacheEntry* entry, const NetAddress& /*ipv4*/,
                         const NetAddress& /*ether*/) const {
    return {entry != nullptr ? std::string(name_of(entry)) : std::string(), {}};
  }
  // The registered maker of an Ethernet adapter; empty when unknown.
  virtual std::string maker_of(const NetAddress& /*ether*/) const { return {}; }
  // An Ethernet address as shown: its colon text, or "Maker_xx:yy:zz" when
  // makers are to be shown.
  virtual std::string ether_label(const NetAddress& ether) const { return netaddr_text(ether); }
};

}  // namespace tarnix
