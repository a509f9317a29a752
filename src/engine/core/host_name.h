// Whether a text a peer sent may be taken as a host name: what is stored as
// a visit's server name, and what may be handed to the name service.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarnix {

inline constexpr std::size_t kHostNameMax = 253;
inline constexpr std::size_t kHostLabelMax = 63;

// True for a host name as RFC 1123 writes them: dot-separated labels of 1 to
// 63 letters, digits and '-', none starting or ending with '-', at most 253
// characters in all, with no empty label (so no leading, trailing or doubled
// dot). A last label of digits only is refused (RFC 3696): that is an
// address written as digits (10.0.0.1), not a name.
bool is_valid_host_name(std::string_view name);

}  // namespace tarnix
