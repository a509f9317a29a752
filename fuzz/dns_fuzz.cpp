// Any bytes as a DNS message: the parser must stay inside them, follow
// compression only backwards, and hand over bounded names for addresses of
// the right size; every name read at any offset obeys the same bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sniff/dns.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tarnix::DnsMessage m;
  const bool ok = tarnix::dns_parse(data, size, m);
  if (ok && size < 12) std::abort();
  for (const tarnix::DnsAddressName& n : m.names) {
    if (n.family != 4 && n.family != 6) std::abort();
    if (n.name.size() > 255) std::abort();
    if (n.from_pointer && n.via_cname) std::abort();
  }
  // Names read anywhere: bounded, and `next` lands inside the message.
  std::string name;
  for (std::size_t at = 0; at < size && at < 64; ++at) {
    std::size_t next = 0;
    if (tarnix::dns_read_name(data, size, at, name, next)) {
      if (name.size() > 255 || next <= at || next > size) std::abort();
    }
  }
  return 0;
}
