// Any bytes as a DHCP message: the parser must stay inside them and hand
// over a name no longer than an option can carry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "sniff/dhcp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tarnix::DhcpNaming d;
  const bool ok = tarnix::dhcp_parse(data, size, d);
  if (ok && (size < 240 || d.message_type == 0)) std::abort();
  if (d.host_name.size() > 255) std::abort();  // however many pieces a name came in
  return 0;
}
