#include "naming/netaddr.h"

#include <arpa/inet.h>

#include <cstring>

namespace tarnix {

const AddressType* address_type_for(int kind) {
  switch (kind) {
    case kAddrEther:
      return &kEtherAddressType;
    case kAddrIpv4:
      return &kIpv4AddressType;
    case kAddrIpv6:
      return &kIpv6AddressType;
    default:
      return nullptr;
  }
}

NetAddress NetAddress::ipv4(const std::uint8_t* four_bytes) {
  NetAddress a;
  a.type = &kIpv4AddressType;
  std::memcpy(a.bytes, four_bytes, 4);
  return a;
}

NetAddress NetAddress::ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  const std::uint8_t bytes[4] = {a, b, c, d};
  return ipv4(bytes);
}

NetAddress NetAddress::ipv6(const std::uint8_t* sixteen_bytes) {
  NetAddress a;
  a.type = &kIpv6AddressType;
  std::memcpy(a.bytes, sixteen_bytes, 16);
  return a;
}

NetAddress NetAddress::ether(const std::uint8_t* six_bytes) {
  NetAddress a;
  a.type = &kEtherAddressType;
  std::memcpy(a.bytes, six_bytes, 6);
  return a;
}

NetAddress NetAddress::parse(int kind, const char* text) {
  NetAddress a = netaddr_new(kind);
  netaddr_parse(a, text);
  return a;
}

bool operator==(const NetAddress& a, const NetAddress& b) {
  return a.type == b.type && netaddr_compare(a, b) == 0;
}

void AddressTypeRegistry::register_type(const AddressType* type) {
  if (type == nullptr || type->index < 0 || type->index >= kSlots) return;
  slots_[type->index] = type;
  list_.push_back(type);
  ++count_;
}

const AddressType* AddressTypeRegistry::type(int index) const {
  return (index >= 0 && index < kSlots) ? slots_[index] : nullptr;
}

AddressTypeRegistry netaddr_init() {
  AddressTypeRegistry r;
  r.register_type(&kEtherAddressType);
  r.register_type(&kIpv4AddressType);
  r.register_type(&kIpv6AddressType);
  return r;
}

void netaddr_clear(NetAddress& record, int kind) {
  record.type = address_type_for(kind);
  std::memset(record.bytes, 0, sizeof record.bytes);
}

NetAddress netaddr_new(int kind) {
  NetAddress a;
  netaddr_clear(a, kind);
  return a;
}

const std::uint8_t* netaddr_bytes(const NetAddress& record) { return record.bytes; }

std::int32_t netaddr_hash(const NetAddress& record) {
  return record.type ? record.type->hash(record.bytes) : 0;
}

void netaddr_copy(const NetAddress& source, NetAddress& destination) {
  destination.type = source.type;
  if (source.type)
    source.type->copy(source.bytes, destination.bytes);
  else
    std::memset(destination.bytes, 0, sizeof destination.bytes);
}

NetAddress netaddr_dup(const NetAddress& record) {
  NetAddress copy;
  netaddr_copy(record, copy);
  return copy;
}

int netaddr_compare(const NetAddress* a, const NetAddress* b) {
  if (a == nullptr || b == nullptr) return 0;
  if (a->type == nullptr) return 1;
  if (b->type != nullptr && b->type != a->type) return a->type->index < b->type->index ? -1 : 1;
  return a->type->compare(a->bytes, b->bytes);
}

bool is_ipv4_text(std::string_view text) {
  if (text.empty() || text.size() > 15) return false;
  char buf[16];
  text.copy(buf, text.size());
  buf[text.size()] = '\0';
  in_addr a{};
  return inet_pton(AF_INET, buf, &a) == 1;
}

bool is_ipv6_text(std::string_view text) {
  if (text.size() < 2 || text.size() >= kAddressTextSize) return false;
  char buf[kAddressTextSize];
  text.copy(buf, text.size());
  buf[text.size()] = '\0';
  in6_addr a{};
  return inet_pton(AF_INET6, buf, &a) == 1;
}

std::string netaddr_text(const NetAddress& record) {
  return record.type ? record.type->text(record.bytes) : std::string();
}

void netaddr_format(const NetAddress& record, char* buffer) {
  if (buffer == nullptr) return;
  if (record.type == nullptr) {
    buffer[0] = '\0';
    return;
  }
  record.type->format(record.bytes, buffer);
}

void netaddr_parse(NetAddress& record, const char* text) {
  if (record.type == nullptr || text == nullptr) return;
  record.type->parse(record.bytes, text);
}

}  // namespace tarnix
