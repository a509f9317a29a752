// The names heard on the wire, from the frame path to the host-name cache:
// answers of DNS (UDP or TCP port 53), mDNS (5353) and LLMNR (5355), and
// DHCP host names. Runs on the capture thread; the cache only queues what
// it hears, so nothing here waits.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/hooks.h"
#include "naming/host_cache.h"

namespace tarnix {

class NameSniffer final : public NameSink {
 public:
  explicit NameSniffer(HostCache& cache) : cache_(cache) {}
  void name_packet(const NamePacket& packet) override;

  struct Counts {
    std::uint64_t packets = 0;    // handed over by the frame path
    std::uint64_t messages = 0;   // DNS answers and DHCP messages read
    std::uint64_t malformed = 0;  // refused by a parser (what was read before the fault is used)
    std::uint64_t names = 0;      // IPv4 names handed to the cache
    // AAAA answers and ip6.arpa pointers; they name hosts once an address
    // kind of sixteen bytes exists.
    std::uint64_t ipv6_names = 0;
    std::uint64_t dropped = 0;  // refused by the cache (heard names off, queue full, not a host name)
    // DNS over TCP: answers too long to keep, skipped unread; and streams
    // given up (a gap, the table full, idle too long).
    std::uint64_t tcp_skipped = 0;
    std::uint64_t tcp_given_up = 0;
  };
  Counts counts() const;

  // DNS over TCP is a stream of messages, each behind a two-byte length,
  // that segments cut anywhere. A few answer streams are followed at once;
  // the least recently used one gives way, and one idle for long ends.
  static constexpr std::size_t kStreams = 32;
  static constexpr std::size_t kKeepMessage = 16384;  // longer answers are skipped, not kept
  static constexpr std::chrono::seconds kStreamIdle{30};
  using Clock = std::chrono::steady_clock;
  // Tests move the clock.
  void set_clock(Clock::time_point (*now)()) { now_ = now; }

 private:
  struct Stream {
    std::array<std::uint8_t, 16> server{}, client{};
    std::uint8_t address_length = 0;
    std::uint16_t server_port = 0, client_port = 0;
    std::uint32_t next = 0;          // sequence number of the next byte wanted
    std::vector<std::uint8_t> kept;  // the message begun, with its length
    std::size_t skip = 0;            // bytes of an over-long message still to pass
    Clock::time_point used{};
    bool live = false;
  };
  void tcp(const NamePacket& p, NameSource source);
  // Takes in-order bytes and reads every whole message they complete.
  void take(Stream& s, const std::uint8_t* bytes, std::size_t n, NameSource source);
  Stream* stream_of(const NamePacket& p, Clock::time_point now);
  std::vector<Stream> streams_;  // capture thread only
  Clock::time_point (*now_)() = &Clock::now;

  void dns(const std::uint8_t* message, std::size_t length, NameSource source);
  void dhcp(const std::uint8_t* message, std::size_t length);
  void hear(HeardName h);
  static void add(std::atomic<std::uint64_t>& c) {
    c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }

  HostCache& cache_;
  // Written by the capture thread only, read by anyone.
  std::atomic<std::uint64_t> packets_{0}, messages_{0}, malformed_{0}, names_{0}, ipv6_names_{0}, dropped_{0};
  std::atomic<std::uint64_t> tcp_skipped_{0}, tcp_given_up_{0};
};

// Reads the ethers file (`ethers`, else /etc/ethers) and the adapter makers
// (`manufacturers`, else Debian's ieee-data registries) into the cache,
// before it starts. Returns one line for each thing that went wrong (a file
// that could not be read, bad lines); none of them stops anything.
std::vector<std::string> load_name_files(HostCache& cache, const std::string& ethers,
                                         const std::string& manufacturers, bool show_manufacturers);

}  // namespace tarnix
