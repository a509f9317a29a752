// A pcapng file whose interfaces have different link types (a capture on
// several adapters at once, or files merged with mergecap). libpcap 1.10
// refuses such a file at the first interface whose type differs from the
// first one's, so it is read here block by block, each frame with its own
// interface's link type.
#pragma once

#include <string>

#include "capture/source.h"

namespace tarnix {

// True when `path` is a pcapng file whose interface blocks, before its first
// packet, name more than one link type. Reads only the blocks up to that
// packet.
bool pcapng_mixes_link_types(const std::string& path);

// Opens such a file (any pcapng file, in fact) as a capture file source with
// the same behaviour as open_file_source: `filter` is compiled once per link
// type, replay_speed 0 delivers as fast as asked, X > 0 at X times the
// recorded pace; a file cut inside its last block ends there and says so, a
// damaged block ends the read with an error.
OpenResult open_mixed_pcapng_source(const std::string& path, const std::string& filter, double replay_speed);

}  // namespace tarnix
