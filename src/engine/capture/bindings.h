// The real services behind the capture side's interfaces: the protocol tree
// for classification, the host-name cache for names and the duplicate
// detector for Ethernet changes.
#pragma once

#include <memory>
#include <vector>

#include "capture/classifier.h"
#include "capture/hooks.h"
#include "capture/namer.h"
#include "capture/net.h"
#include "naming/dupip.h"
#include "naming/host_cache.h"
#include "pdl/protocol_tree.h"
#include "sniff/http.h"
#include "sniff/tls.h"

namespace tarnix {

// Classification against a protocol tree. The walk reads a handful of frame
// bytes at places fixed by the tree (EtherType, IP protocol, ports, ...), so
// its result is a function of those bytes and of how many of them were
// captured: the classifier finds those places once, and a frame that agrees
// with a recent one on them takes that frame's path, counted on the tree's
// nodes exactly as the walk would count it. Trees whose places cannot be
// settled that way (too many, too far into the frame) are always walked.
//
// classify() keeps that memory of recent frames and must be called by one
// thread at a time (the capture thread); the names may be asked for from any
// thread.
class PdlClassifier final : public Classifier {
 public:
  explicit PdlClassifier(const ProtocolTree* tree);
  int classify(const std::uint8_t* frame, std::size_t caplen, std::uint32_t wire_len,
               const protocol_node** path) override;
  const ClassKeyLayout* key_layout() const override { return memo_ ? &layout_ : nullptr; }
  void count_again(LinkProtoNode* const* nodes, int n, std::uint64_t frames, std::uint64_t bytes) override;
  std::string_view name_of(const protocol_node* node) const override;
  std::string_view description_of(const protocol_node* node) const override;

  // The frame bytes that decide a classification, ascending (empty when
  // every frame is walked).
  const std::vector<std::uint16_t>& decisive_bytes() const { return positions_; }

  static constexpr std::size_t kRecentPaths = 512;

 private:
  using Key = ClassKey;
  struct Recent {
    Key key;
    int count = -1;  // -1: unused
    const protocol_node* path[kPathSlots] = {};
  };

  const ProtocolTree* tree_;
  bool memo_ = false;
  std::vector<std::uint16_t> positions_;
  // The decisive bytes as masked 8-byte windows of the frame.
  ClassKeyLayout layout_;
  std::unique_ptr<Recent[]> recent_;
};

class HostCacheNamer final : public HostNamer {
 public:
  explicit HostCacheNamer(HostCache& cache, bool resolves = true) : cache_(cache), resolves_(resolves) {}
  bool resolves() const override { return resolves_; }
  HostCacheRef find(const NetAddress& ipv4) override { return cache_.find_ipv4(ipv4); }
  bool request(const NetAddress& ipv4, std::function<void(const HostCacheRef&)> done) override {
    return cache_.offer_ipv4(ipv4, std::move(done));
  }
  bool request_again(const NetAddress& ipv4, std::function<void(const HostCacheRef&)> done) override {
    return cache_.offer_ipv4(ipv4, std::move(done), true);
  }
  std::string_view name_of(const HostCacheEntry* entry) const override {
    return entry != nullptr && entry->has_name() ? std::string_view(entry->host->name) : std::string_view();
  }
  // Every source the cache knows, not only the entry's own look-up.
  Label label_of(const HostCacheEntry*, const NetAddress& ipv4, const NetAddress& ether) const override {
    NameAndSource n = cache_.name_of(ipv4, &ether);
    return {std::move(n.name), name_source_text(n.source)};
  }
  std::string maker_of(const NetAddress& ether) const override {
    const Manufacturers::Maker* m = cache_.maker_of(ether);
    return m != nullptr ? m->long_name : std::string();
  }
  std::string ether_label(const NetAddress& ether) const override { return cache_.ether_label(ether); }

 private:
  HostCache& cache_;
  bool resolves_;
};

class DupIpSink final : public DuplicateSink {
 public:
  explicit DupIpSink(DupIp& dupip) : dupip_(dupip) {}
  bool detecting() const override { return dupip_.detecting(); }
  void report(const NetAddress& ipv4, const NetAddress& recorded, const NetAddress& frame) override {
    dupip_.record(ipv4, recorded, frame);
  }

 private:
  DupIp& dupip_;
};

// The frame path's TCP hand-off to the HTTP sniffer and, unless it is off
// (null), the TLS server-name sniffer (capture thread).
class SnifferSink final : public TcpSink {
 public:
  explicit SnifferSink(HttpSniffer& sniffer, TlsSniffer* tls = nullptr) : sniffer_(sniffer), tls_(tls) {}
  void tcp_segment(const TcpSegment& s) override {
    sniffer_.handle(*s.frame, *s.urls, s.time);
    if (tls_ != nullptr) tls_->handle(*s.frame, *s.urls, s.latest_second);
  }

 private:
  HttpSniffer& sniffer_;
  TlsSniffer* tls_;
};

}  // namespace tarnix
