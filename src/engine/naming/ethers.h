// Names the administrator gave Ethernet addresses, and the makers of
// Ethernet adapters by the leading bits of their addresses.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "naming/netaddr.h"

namespace tarnix {

// A problem found while reading one of these files: the line is skipped,
// the rest of the file is still read.
struct NameFileProblem {
  std::string file;
  int line = 0;
  std::string message;
};

// Six bytes as one key.
std::uint64_t ether_key(const std::uint8_t* six);

// Reads exactly six hexadecimal bytes separated by ':' or '-' (one or two
// digits each), as the ethers and manuf files write them. Stricter than
// netaddr_parse, which takes anything as an address.
bool parse_ether_strict(std::string_view text, std::uint8_t out[6]);

// The ethers file (/etc/ethers format): an Ethernet address and a host name
// or IPv4 address per line, '#' to the end of a line is a comment.
class EtherNames {
 public:
  // Adds the file's names (a later line for the same address wins). False
  // when the file cannot be opened; bad lines go to problems.
  bool load(const std::string& path, std::vector<NameFileProblem>* problems);
  // Same, from text (file names the problems).
  void load_text(std::string_view text, const std::string& file, std::vector<NameFileProblem>* problems);
  // Empty when the address has no name.
  std::string_view name_of(const NetAddress& ether) const;
  std::size_t size() const { return names_.size(); }

 private:
  std::unordered_map<std::uint64_t, std::string> names_;
};

// Adapter makers. Prefixes of 24 (MA-L), 28 (MA-M) and 36 (MA-S, IAB) bits
// or any other length a manuf file gives; the longest prefix that matches
// wins.
class Manufacturers {
 public:
  struct Maker {
    std::string short_name;  // one word, used in "Maker_xx:yy:zz"
    std::string long_name;   // the registered organisation name
  };

  // Reads one file in whichever format it is in: the IEEE registry CSV
  // (Registry,Assignment,Organization Name,...), the IEEE oui.txt listing,
  // or the manuf format ("00:00:0C<TAB>Short<TAB>Long name", optionally
  // "00:50:C2:00:00:00/36"). False when it cannot be opened.
  bool load(const std::string& path, std::vector<NameFileProblem>* problems);
  void load_text(std::string_view text, const std::string& file, std::vector<NameFileProblem>* problems);
  // Loads `path` when it is readable; otherwise the IEEE registries in
  // `ieee_dir` (Debian's ieee-data). Returns what was read.
  std::vector<std::string> load_or_default(const std::string& path, const std::string& ieee_dir,
                                           std::vector<NameFileProblem>* problems);

  void add(int bits, std::uint64_t prefix, Maker maker);
  // Null when no prefix matches.
  const Maker* find(const NetAddress& ether) const;
  // "Maker_xx:yy:zz" (the last three bytes), or the colon text when the
  // maker is unknown.
  std::string label(const NetAddress& ether) const;
  std::size_t size() const;

  // A maker's one-word name from its registered name: the first word, only
  // letters, digits and '-', at most 8 characters ("Hewlett Packard" gives
  // "Hewlett").
  static std::string short_of(std::string_view organisation);

 private:
  // Prefix length in bits (longest first) -> prefix (top bits of the 48) -> maker.
  std::map<int, std::unordered_map<std::uint64_t, Maker>, std::greater<int>> by_bits_;
};

// Where Debian's ieee-data package keeps the registries.
inline constexpr char kIeeeDataDir[] = "/usr/share/ieee-data";
inline constexpr char kDefaultEthersFile[] = "/etc/ethers";

}  // namespace tarnix
