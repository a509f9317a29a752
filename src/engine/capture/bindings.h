// The real services behind the capture side's interfaces: the protocol tree
// for classification, the host-name cache for names and the duplicate
// detector for Ethernet changes.
#pragma once

#include <memory>

#include "capture/classifier.h"
#include "capture/hooks.h"
#include "capture/namer.h"
#include "naming/dupip.h"
#include "naming/hostc.h"
#include "pdl/pd.h"

namespace tarnix {

class PdlClassifier final : public Classifier {
 public:
  explicit PdlClassifier(const ProtocolTree* tree) : tree_(tree) {}
  int classify(const std::uint8_t* frame, std::size_t caplen, std::uint32_t wire_len,
               const protocol_node** path) override;
  std::string_view name_of(const protocol_node* node) const override;
  std::string_view description_of(const protocol_node* node) const override;

 private:
  const ProtocolTree* tree_;
};

class HostcNamer final : public HostNamer {
 public:
  explicit HostcNamer(HostCache& cache) : cache_(cache) {}
  const HostcEntry* find(const NetAddress& ipv4) override { return cache_.find_ipv4(ipv4); }
  void request(const NetAddress& ipv4, std::function<void(const HostcEntry*)> done) override {
    cache_.request_ipv4(ipv4, std::move(done));
  }
  std::string_view name_of(const HostcEntry* entry) const override {
    return entry != nullptr && entry->has_name() ? std::string_view(entry->host->name) : std::string_view();
  }

 private:
  HostCache& cache_;
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

}  // namespace tarnix
