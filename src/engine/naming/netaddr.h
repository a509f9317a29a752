// Ethernet, IPv4 and IPv6 addresses as one value type carrying its address type,
// so tables, lists and windows treat both kinds alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarnix {

enum AddressKind : int { kAddrEther = 0, kAddrIpv4 = 1, kAddrIpv6 = 2 };

// Longest text form plus its terminator: an IPv6 address with a dotted IPv4
// tail, "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255" (INET6_ADDRSTRLEN).
constexpr std::size_t kAddressTextSize = 46;
// Room that an embedded address record reserves for its bytes.
constexpr std::size_t kAddressBytes = 22;

struct AddressType {
  int index;
  int length;
  std::int32_t (*hash)(const std::uint8_t* bytes);
  void (*copy)(const std::uint8_t* from, std::uint8_t* to);
  void (*clear)(std::uint8_t* bytes);
  int (*compare)(const std::uint8_t* a, const std::uint8_t* b);
  std::string (*text)(const std::uint8_t* bytes);
  // Writes the text form into buffer, which holds kAddressTextSize bytes.
  void (*format)(const std::uint8_t* bytes, char* buffer);
  void (*parse)(std::uint8_t* bytes, const char* text);
};

extern const AddressType kEtherAddressType;
extern const AddressType kIpv4AddressType;
extern const AddressType kIpv6AddressType;

// The built-in type for a kind index, or null.
const AddressType* address_type_for(int kind);

struct NetAddress {
  const AddressType* type = nullptr;
  std::uint8_t bytes[kAddressBytes] = {};

  static NetAddress ipv4(const std::uint8_t* four_bytes);
  static NetAddress ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);
  static NetAddress ipv6(const std::uint8_t* sixteen_bytes);
  static NetAddress ether(const std::uint8_t* six_bytes);
  // Parses text as the given kind (see netaddr_parse).
  static NetAddress parse(int kind, const char* text);

  bool is_ipv4() const { return type == &kIpv4AddressType; }
  bool is_ipv6() const { return type == &kIpv6AddressType; }
  friend bool operator==(const NetAddress& a, const NetAddress& b);
};

// Registry of address types, one slot per kind index (7 slots). Start-up
// creates one and registers Ethernet (0), IPv4 (1) and IPv6 (2).
class AddressTypeRegistry {
 public:
  static constexpr int kSlots = 7;
  void register_type(const AddressType* type);
  const AddressType* type(int index) const;
  int count() const { return count_; }
  const std::vector<const AddressType*>& types() const { return list_; }

 private:
  const AddressType* slots_[kSlots] = {};
  std::vector<const AddressType*> list_;
  int count_ = 0;
};

// A registry with the built-in types registered.
AddressTypeRegistry netaddr_init();

void netaddr_clear(NetAddress& record, int kind);
NetAddress netaddr_new(int kind);
const std::uint8_t* netaddr_bytes(const NetAddress& record);
std::int32_t netaddr_hash(const NetAddress& record);
void netaddr_copy(const NetAddress& source, NetAddress& destination);
NetAddress netaddr_dup(const NetAddress& record);
// 0 when equal. Records of different kinds differ, ordered by kind (an IPv4
// address is never equal to the IPv6 address that begins with its bytes);
// records of one kind compare over its length. A record without a type
// differs (1) from everything; no record at all answers 0.
int netaddr_compare(const NetAddress* a, const NetAddress* b);
inline int netaddr_compare(const NetAddress& a, const NetAddress& b) { return netaddr_compare(&a, &b); }
std::string netaddr_text(const NetAddress& record);
void netaddr_format(const NetAddress& record, char* buffer);
void netaddr_parse(NetAddress& record, const char* text);
// True only for a whole dotted-quad address: "163.com" or "3com" are names
// that merely start with a digit.
bool is_ipv4_text(std::string_view text);
// True only for a whole IPv6 address in any form inet_pton reads (no
// brackets, no zone, no prefix length).
bool is_ipv6_text(std::string_view text);
// An IPv4 or IPv6 address: the kinds a name service can name.
inline bool is_ip_address(const NetAddress& a) {
  return a.is_ipv4() || a.is_ipv6();
}

// Hash table key traits for address-keyed tables.
struct NetAddressKeyTraits {
  static std::int32_t hash(const NetAddress& a) { return netaddr_hash(a); }
  static int compare(const NetAddress& stored, const NetAddress& probe) {
    return netaddr_compare(stored, probe);
  }
};

}  // namespace tarnix
