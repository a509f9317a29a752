// Stand-ins for the services the traffic model calls.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "capture/net.h"

namespace tarnix::testing {

// Protocol nodes are opaque to the capture side: the fake hands out the
// addresses of its own small records as node references.
struct FakeProto {
  std::string name;
};

inline const protocol_node* as_node(const FakeProto& p) { return reinterpret_cast<const protocol_node*>(&p); }

// Classifies by IP protocol and ports: ETHER, IP, then TCP or UDP, then HTTP
// for port 80 either way.
class FakeClassifier : public Classifier {
 public:
  FakeProto ether{"ETHER"}, ip{"IP"}, tcp{"TCP"}, udp{"UDP"}, http{"HTTP"}, other{"OTHER_IP"};
  int classify(const std::uint8_t* f, std::size_t caplen, std::uint32_t, const protocol_node** path) override {
    int n = 0;
    path[n++] = as_node(ether);
    if (caplen >= 34 && f[12] == 0x08 && f[13] == 0x00) {
      path[n++] = as_node(ip);
      std::size_t t = 14 + (f[14] & 0xF) * 4u;
      if (f[23] == 6) {
        path[n++] = as_node(tcp);
        if (t + 4 <= caplen && (((f[t] << 8) | f[t + 1]) == 80 || ((f[t + 2] << 8) | f[t + 3]) == 80))
          path[n++] = as_node(http);
      } else if (f[23] == 17) {
        path[n++] = as_node(udp);
      } else {
        path[n++] = as_node(other);
      }
    }
    path[n] = nullptr;
    return n;
  }
  std::string_view name_of(const protocol_node* node) const override {
    return node ? std::string_view(reinterpret_cast<const FakeProto*>(node)->name) : std::string_view();
  }
};

// Name-cache entries are opaque too: the fake's entries are its own records.
struct FakeEntry {
  std::string name;  // empty: no host record
};

class FakeNamer : public HostNamer {
 public:
  std::map<std::string, FakeEntry> cached;  // by dotted address
  std::vector<std::pair<std::string, std::function<void(const HostCacheRef&)>>> pending;
  std::mutex mutex;
  bool refuse = false;  // turns every look-up away, as a full queue does

  // References that own nothing: the fake keeps its entries itself.
  HostCacheRef find(const NetAddress& a) override {
    std::lock_guard<std::mutex> g(mutex);
    auto it = cached.find(netaddr_text(a));
    return it == cached.end()
               ? nullptr
               : HostCacheRef(HostCacheRef(), reinterpret_cast<const HostCacheEntry*>(&it->second));
  }
  bool request(const NetAddress& a, std::function<void(const HostCacheRef&)> done) override {
    std::lock_guard<std::mutex> g(mutex);
    if (refuse) return false;
    pending.emplace_back(netaddr_text(a), std::move(done));
    return true;
  }
  std::string_view name_of(const HostCacheEntry* e) const override {
    return reinterpret_cast<const FakeEntry*>(e)->name;
  }
  // Answers every pending request with a name (or no record when empty).
  void answer_all(const std::map<std::string, std::string>& names) {
    std::vector<std::pair<std::string, std::function<void(const HostCacheRef&)>>> todo;
    {
      std::lock_guard<std::mutex> g(mutex);
      todo.swap(pending);
      for (auto& [addr, fn] : todo) {
        auto n = names.find(addr);
        cached[addr] = FakeEntry{n == names.end() ? std::string() : n->second};
      }
    }
    for (auto& [addr, fn] : todo) fn(find(NetAddress::parse(kAddrIpv4, addr.c_str())));
  }
};

struct RecordingHooks : DuplicateSink, TcpSink, CaptureStepSink {
  bool on = false;
  struct Report {
    std::string ip, recorded, frame;
  };
  std::vector<Report> reports;
  struct Segment {
    std::vector<std::uint8_t> tcp;
    std::uint32_t wire_length;
    std::string src, dst;
    UrlCounters* urls;
  };
  std::vector<Segment> segments;
  int steps = 0;

  bool detecting() const override { return on; }
  void report(const NetAddress& ip, const NetAddress& rec, const NetAddress& fr) override {
    reports.push_back({netaddr_text(ip), netaddr_text(rec), netaddr_text(fr)});
  }
  void tcp_segment(const TcpSegment& s) override {
    segments.push_back({std::vector<std::uint8_t>(s.tcp, s.tcp + s.captured), s.wire_length,
                        netaddr_text(NetAddress::ipv4(s.source_ipv4)),
                        netaddr_text(NetAddress::ipv4(s.destination_ipv4)), s.urls});
  }
  void after_capture_step(Net&) override { ++steps; }
  CaptureHooks hooks() { return {this, this, this}; }
};

}  // namespace tarnix::testing
