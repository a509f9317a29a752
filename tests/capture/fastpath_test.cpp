// The frame path's shortcuts against the plain algorithms they stand in
// for: a host's links table against a core 256-bucket table, the protocol
// index, the repeated-path count on a link's tree, the classifier's memory
// of recent frames against the plain walk, links that count a frame on their
// last class against classifying every frame, and the file source's batches.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "capture/bindings.h"
#include "capture/capture_thread.h"
#include "capture/fakes.h"
#include "capture/frames.h"
#include "capture/net.h"
#include "capture/source.h"
#include "core/hashtable.h"
#include "pdl/protocol_tree.h"

namespace tarnix {
namespace {

using testing::as_node;
using testing::FakeClassifier;
using testing::FakeProto;
using testing::feed;
using testing::FrameSpec;
using testing::make_frame;

NetAddress ip4(std::uint32_t v) {
  return NetAddress::ipv4(static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                          static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v));
}

TEST(LinkTable, WalksInTheOrderOfACoreTable) {
  // Addresses chosen to share buckets, in a scrambled order of insertion.
  std::mt19937 rng(7);
  std::vector<std::uint32_t> addrs;
  for (std::uint32_t i = 0; i < 1500; ++i) addrs.push_back(0x0A000000u + (rng() % 4096));
  LinkTable table;
  HashTable<NetAddress, int, Ipv4KeyTraits> core;
  std::vector<std::unique_ptr<Link>> replaced;
  int distinct = 0;
  for (std::uint32_t a : addrs) {
    auto link = std::make_unique<Link>();
    Link* raw = link.get();
    std::unique_ptr<Link> previous;
    const bool was = table.set(ip4(a), std::move(link), &previous);
    EXPECT_EQ(was, core.insert(ip4(a), static_cast<int>(a)));
    if (!was) ++distinct;
    if (previous) replaced.push_back(std::move(previous));
    ASSERT_NE(table.find(ip4(a)), nullptr);
    EXPECT_EQ(table.find(ip4(a))->get(), raw);
  }
  EXPECT_EQ(table.count(), distinct);
  EXPECT_EQ(table.count(), core.count());
  EXPECT_EQ(static_cast<int>(replaced.size()), static_cast<int>(addrs.size()) - distinct);

  std::vector<std::string> mine, theirs;
  table.foreach ([&](const NetAddress& k, std::unique_ptr<Link>&) { mine.push_back(netaddr_text(k)); });
  core.foreach ([&](const NetAddress& k, int&) { theirs.push_back(netaddr_text(k)); });
  EXPECT_EQ(mine, theirs);
  const LinkTable& ct = table;
  std::vector<std::string> again;
  ct.foreach ([&](const NetAddress& k, const std::unique_ptr<Link>&) { again.push_back(netaddr_text(k)); });
  EXPECT_EQ(again, theirs);

  EXPECT_EQ(table.find(ip4(0x0B000001u)), nullptr);
  LinkTable empty;
  EXPECT_EQ(empty.count(), 0);
  EXPECT_EQ(empty.find(ip4(1)), nullptr);
}

// The network's indexes answer as the tables they stand beside do, through
// several growths, for keys present and absent: links by address pair as
// the source's links table, hosts by address as the hosts table.
TEST(RecordIndex, FindsWhatTheTablesFind) {
  NullClassifier cl;
  TrafficModel model(&cl, nullptr, nullptr);
  Net* net = net_create(model, "eth0");
  std::vector<Node*> hosts;
  // Enough hosts for the host index to grow too.
  for (std::uint32_t i = 0; i < 1500; ++i) hosts.push_back(node_create(*net, ip4(0x0A000000u + i * 7919u)));
  std::mt19937 rng(17);
  std::size_t made = 0;
  for (int n = 0; n < 5000; ++n) {
    Node* a = hosts[rng() % 120];
    Node* b = hosts[rng() % 120];
    if (link_find(*a, b->address) == nullptr) {
      link_create(*net, *a, *b);
      ++made;
    }
  }
  // Mostly addresses no host has.
  for (std::uint32_t i = 0; i < 3000; ++i) {
    const NetAddress a = ip4(0x0A000000u + i * 13u);
    std::unique_ptr<Node>* held = net->hosts.find(a);
    ASSERT_EQ(node_find(*net, a), held != nullptr ? held->get() : nullptr) << i;
  }
  for (Node* h : hosts) ASSERT_EQ(node_find(*net, h->address), h);
  EXPECT_EQ(net->host_index.size(), hosts.size());
  EXPECT_EQ(net->link_index.size(), made);
  EXPECT_GT(made, 2000u);  // past several growths of the index
  for (std::size_t i = 0; i < 130; ++i) {
    for (std::size_t j = 0; j < 130; ++j) {
      Node* a = hosts[i];
      Node* b = hosts[j];
      const std::uint64_t key = ipv4_pair_key(a->address.bytes, b->address.bytes);
      ASSERT_EQ(net->link_index.find(key), link_find(*a, b->address));
    }
  }
}

// Records from the pool keep their type's alignment (a link's first line
// holds what every frame touches) and go back to it when released.
TEST(RecordPool, RecordsAreAlignedAndCountedWhileHeld) {
  const std::size_t before = RecordPool<Link>::slots_in_use();
  std::vector<std::unique_ptr<Link>> links(300);  // past two blocks
  for (auto& l : links) {
    l = std::make_unique<Link>();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(l.get()) % 64, 0u);
  }
  EXPECT_EQ(RecordPool<Link>::slots_in_use(), before + (TARNIX_RECORD_POOL ? 300 : 0));
  links.clear();
  EXPECT_EQ(RecordPool<Link>::slots_in_use(), before);
}

// A protocol may sit at several places of a tree (IP in IP); the dominant
// protocol reads the node made last, within the record or beyond it.
TEST(LinkTreeNode, FindsTheProtocolsNewestNode) {
  FakeProto a{"A"}, b{"B"}, c{"C"}, d{"D"}, e{"E"}, f{"F"}, unseen{"G"};
  Link link;
  for (const FakeProto* second : {&b, &c, &d, &e, &f}) {
    const protocol_node* path[] = {as_node(a), as_node(*second), nullptr};
    linkstat_add(link, path, 10);
  }
  ASSERT_EQ(link.tree_inline_used, Link::kInlineTreeNodes);
  EXPECT_EQ(link_tree_node(link, as_node(a)), link.protocol_tree);
  const protocol_node* nested[] = {as_node(a), as_node(b), as_node(a), nullptr};
  linkstat_add(link, nested, 10);
  ASSERT_EQ(link.tree_storage.size(), 1u);
  EXPECT_EQ(link_tree_node(link, as_node(a)), link.tree_storage[0].get());
  EXPECT_EQ(link_tree_node(link, as_node(a))->frames, 1u);
  EXPECT_EQ(link_tree_node(link, as_node(c)), &link.tree_inline[2]);
  EXPECT_EQ(link_tree_node(link, as_node(unseen)), nullptr);
}

// Every node of a tree whose paths all start alike stands for one distinct
// path prefix, counting the frames and bytes of the paths with that prefix;
// siblings keep the order in which their prefixes first appeared.
void expect_prefix_counts(const LinkProtoNode* first, std::vector<const protocol_node*> prefix,
                          const std::vector<std::vector<const protocol_node*>>& paths,
                          const std::vector<std::uint32_t>& lengths, std::size_t& nodes) {
  std::vector<const protocol_node*> order;
  for (const auto& p : paths) {
    if (p.size() <= prefix.size() || !std::equal(prefix.begin(), prefix.end(), p.begin())) continue;
    const protocol_node* next = p[prefix.size()];
    if (std::find(order.begin(), order.end(), next) == order.end()) order.push_back(next);
  }
  std::size_t i = 0;
  for (const LinkProtoNode* n = first; n != nullptr; n = n->next, ++i) {
    ++nodes;
    ASSERT_LT(i, order.size());
    EXPECT_EQ(n->protocol, order[i]);
    std::vector<const protocol_node*> mine = prefix;
    mine.push_back(n->protocol);
    std::uint64_t frames = 0, bytes = 0;
    for (std::size_t k = 0; k < paths.size(); ++k) {
      if (paths[k].size() >= mine.size() && std::equal(mine.begin(), mine.end(), paths[k].begin())) {
        ++frames;
        bytes += lengths[k];
      }
    }
    EXPECT_EQ(n->frames, frames);
    EXPECT_EQ(n->bytes, bytes);
    expect_prefix_counts(n->child, mine, paths, lengths, nodes);
  }
  EXPECT_EQ(i, order.size());
}

TEST(LinkStat, RepeatedPathsCountLikeTheWalk) {
  FakeClassifier cl;
  TrafficModel model(&cl, nullptr, nullptr);
  Net* net = net_create(model, "eth0");
  Node* a = node_create(*net, ip4(0x0A000001u));
  Node* b = node_create(*net, ip4(0x0A000002u));
  Link* link = link_create(*net, *a, *b);

  FakeProto e{"E"}, i{"I"}, t{"T"}, u{"U"}, h{"H"}, s{"S"}, x{"X"}, y{"Y"};
  const protocol_node *E = as_node(e), *I = as_node(i), *T = as_node(t), *U = as_node(u), *H = as_node(h),
                      *S = as_node(s), *X = as_node(x), *Y = as_node(y);
  // Repeats, prefixes of the last path, extensions of it, a six-protocol
  // path and its five-protocol prefix, and a protocol that reappears at
  // another depth.
  const std::vector<std::vector<const protocol_node*>> kinds = {
      {E, I, T, H}, {E, I, T},          {E, I, T, H},    {E, I, U},    {E, I, U, S}, {E},
      {E, I, T, S}, {E, I, T, H, X, Y}, {E, I, T, H, X}, {E, I, U, T}, {E, I}};
  std::mt19937 rng(3);
  std::vector<std::vector<const protocol_node*>> paths;
  std::vector<std::uint32_t> lengths;
  for (int n = 0; n < 3000; ++n) {
    // Runs of one path, as a conversation gives them.
    const auto& p = kinds[rng() % kinds.size()];
    const int run = 1 + static_cast<int>(rng() % 4);
    for (int r = 0; r < run; ++r) {
      const protocol_node* arr[kPathSlots] = {};
      std::copy(p.begin(), p.end(), arr);
      const std::uint32_t len = 60 + rng() % 1400;
      linkstat_add(*link, arr, len);
      paths.push_back(p);
      lengths.push_back(len);
    }
  }
  std::size_t nodes = 0;
  expect_prefix_counts(link->protocol_tree, {}, paths, lengths, nodes);
  EXPECT_EQ(static_cast<int>(nodes), link->tree_inline_used + static_cast<int>(link->tree_storage.size()));

  // A path without its terminating null stops at six protocols.
  const protocol_node* full[kPathSlots] = {E, I, T, H, X, Y, S};
  auto node_at = [&](std::vector<const protocol_node*> p) {
    const LinkProtoNode* cur = nullptr;
    const LinkProtoNode* level = link->protocol_tree;
    for (const protocol_node* want : p) {
      cur = level;
      while (cur != nullptr && cur->protocol != want) cur = cur->next;
      if (cur == nullptr) return cur;
      level = cur->child;
    }
    return cur;
  };
  const LinkProtoNode* y_node = node_at({E, I, T, H, X, Y});
  ASSERT_NE(y_node, nullptr);
  const std::uint64_t y_frames = y_node->frames;
  linkstat_add(*link, full, 10);
  linkstat_add(*link, full, 10);
  EXPECT_EQ(y_node->frames, y_frames + 2);
  EXPECT_EQ(y_node->child, nullptr);
}

std::string path_text(const protocol_node* const* path) {
  std::string s;
  for (int i = 0; i < kPathSlots && path[i] != nullptr; ++i) s += path[i]->name + "/";
  return s;
}

// Every node's counters, by name.
std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> counters_of(const ProtocolTree& tree) {
  std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> out;
  std::vector<const protocol_node*> todo{tree.root()};
  while (!todo.empty()) {
    const protocol_node* n = todo.back();
    todo.pop_back();
    if (n == nullptr) continue;
    out[n->name] = {protocol_frames(n), protocol_bytes(n)};
    todo.push_back(n->first_child);
    todo.push_back(n->next_sibling);
  }
  return out;
}

// Frames that differ in the bytes the shipped protocol file reads, and in
// many it does not, with short captures among them.
std::vector<std::vector<std::uint8_t>> varied_frames() {
  std::mt19937 rng(11);
  std::vector<std::vector<std::uint8_t>> out;
  const std::uint16_t ports[] = {80, 443, 22, 53, 123, 5353, 8080, 137, 30001, 30002, 1433, 67};
  const std::uint16_t types[] = {0x0800, 0x0800, 0x0800, 0x0806, 0x86DD, 0x0100, 0x8100};
  const std::uint8_t protos[] = {6, 6, 17, 17, 1, 2, 47};
  for (int n = 0; n < 4000; ++n) {
    std::vector<std::uint8_t> f(60);
    for (auto& b : f) b = static_cast<std::uint8_t>(rng());  // noise everywhere else
    const std::uint16_t type = types[rng() % 7];
    f[12] = static_cast<std::uint8_t>(type >> 8);
    f[13] = static_cast<std::uint8_t>(type);
    f[14] = (rng() % 5 == 0) ? 0x46 : 0x45;
    f[23] = protos[rng() % 7];
    const std::uint16_t sp = ports[rng() % 12], dp = ports[rng() % 12];
    f[34] = static_cast<std::uint8_t>(sp >> 8);
    f[35] = static_cast<std::uint8_t>(sp);
    f[36] = static_cast<std::uint8_t>(dp >> 8);
    f[37] = static_cast<std::uint8_t>(dp);
    f[38] = static_cast<std::uint8_t>(0x11 + rng() % 3);
    if (rng() % 6 == 0) f.resize(rng() % 45);  // cut inside the decisive bytes
    out.push_back(std::move(f));
    // The same conversation again, other bytes changed.
    if (rng() % 2 == 0 && out.back().size() > 50) {
      std::vector<std::uint8_t> g = out.back();
      g[40] ^= 0x5A;
      g[50] ^= 0xA5;
      out.push_back(std::move(g));
    }
  }
  return out;
}

TEST(PdlClassifierMemory, SamePathsAndCountsAsTheWalk) {
  const std::string file = std::string(TARNIX_SOURCE_DIR) + "/data/protocol.pdl";
  PdlResult walked = pdl_parse(file);
  PdlResult remembered = pdl_parse(file);
  ASSERT_TRUE(walked) << walked.error;
  ASSERT_TRUE(remembered) << remembered.error;
  PdlClassifier classifier(remembered.tree.get());
  EXPECT_EQ(classifier.decisive_bytes(), (std::vector<std::uint16_t>{12, 13, 14, 23, 34, 35, 36, 37, 38}));

  int n = 0;
  for (const auto& f : varied_frames()) {
    const std::uint32_t wire = 60 + static_cast<std::uint32_t>(n++ % 1400);
    ProtocolPath expected;
    const int en =
        protocol_classify(walked.tree.get(), f.empty() ? nullptr : f.data(), f.size(), wire, expected);
    const protocol_node* got[kPathSlots];
    const int gn = classifier.classify(f.empty() ? nullptr : f.data(), f.size(), wire, got);
    ASSERT_EQ(gn, en);
    ASSERT_EQ(path_text(got), path_text(expected.data())) << "frame " << n << " of " << f.size() << " bytes";
    EXPECT_EQ(got[gn], nullptr);
  }
  EXPECT_EQ(counters_of(*remembered.tree), counters_of(*walked.tree));
}

// Classifies every frame through the protocol file, without keys: what the
// frame path did before links remembered their last class.
class UnkeyedClassifier final : public Classifier {
 public:
  explicit UnkeyedClassifier(const ProtocolTree* tree) : tree_(tree) {}
  int classify(const std::uint8_t* frame, std::size_t caplen, std::uint32_t wire_len,
               const protocol_node** path) override {
    ProtocolPath p;
    const int n = protocol_classify(tree_, frame, caplen, wire_len, p);
    std::copy(p.begin(), p.end(), path);
    return n;
  }
  std::string_view name_of(const protocol_node* node) const override {
    return node ? std::string_view(node->name) : std::string_view();
  }

 private:
  const ProtocolTree* tree_;
};

// A link's protocol tree as text: every node with its counters, in order.
std::string link_tree_text(const LinkProtoNode* n, int depth = 0) {
  std::string out;
  for (; n != nullptr; n = n->next) {
    out += std::string(static_cast<std::size_t>(depth) * 2, ' ') + (n->protocol ? n->protocol->name : "-") + " " +
           std::to_string(n->frames) + " " + std::to_string(n->bytes) + "\n";
    out += link_tree_text(n->child, depth + 1);
  }
  return out;
}

std::map<std::string, std::string> link_trees(const Net& net) {
  std::map<std::string, std::string> out;
  net.host_list.foreach([&](Node* h) {
    h->links.foreach([&](const NetAddress&, const std::unique_ptr<Link>& l) {
      out[netaddr_text(l->source->address) + ">" + netaddr_text(l->destination->address)] =
          std::to_string(l->frames) + "/" + std::to_string(l->bytes) + "\n" + link_tree_text(l->protocol_tree);
    });
  });
  return out;
}

// Two models over two parses of the shipped protocol file: one whose
// classifier keys frames (so links remember their last class), one whose
// classifier walks every frame.
class KeyedAgainstPlain : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string file = std::string(TARNIX_SOURCE_DIR) + "/data/protocol.pdl";
    keyed_tree = pdl_parse(file);
    plain_tree = pdl_parse(file);
    ASSERT_TRUE(keyed_tree) << keyed_tree.error;
    ASSERT_TRUE(plain_tree) << plain_tree.error;
    keyed = std::make_unique<PdlClassifier>(keyed_tree.tree.get());
    plain = std::make_unique<UnkeyedClassifier>(plain_tree.tree.get());
    keyed_model = std::make_unique<TrafficModel>(keyed.get(), nullptr, nullptr);
    plain_model = std::make_unique<TrafficModel>(plain.get(), nullptr, nullptr);
    keyed_net = net_create(*keyed_model, "eth0");
    plain_net = net_create(*plain_model, "eth0");
  }
  // Every link tree and every protocol counter of the two sides.
  void expect_same_counts(const std::string& when) {
    ASSERT_EQ(link_trees(*keyed_net), link_trees(*plain_net)) << when;
    ASSERT_EQ(counters_of(*keyed_tree.tree), counters_of(*plain_tree.tree)) << when;
  }

  PdlResult keyed_tree, plain_tree;
  std::unique_ptr<PdlClassifier> keyed;
  std::unique_ptr<UnkeyedClassifier> plain;
  std::unique_ptr<TrafficModel> keyed_model, plain_model;
  Net* keyed_net = nullptr;
  Net* plain_net = nullptr;
};

TEST_F(KeyedAgainstPlain, CountsLikeClassifyingEveryFrame) {

  // Conversations among a few hosts that change service, direction and
  // ports from time to time, with captures cut short inside the bytes that
  // decide the class, and frames that are not TCP or UDP at all.
  std::mt19937 rng(7);
  const std::uint16_t ports[] = {80, 443, 22, 53, 123, 8080, 30001, 30002};
  const std::uint8_t protos[] = {6, 6, 17, 1};
  int fed = 0;
  for (int n = 0; n < 6000; ++n) {
    FrameSpec s;
    s.src_ip[3] = static_cast<std::uint8_t>(1 + rng() % 4);
    s.dst_ip[3] = static_cast<std::uint8_t>(1 + rng() % 4);
    s.protocol = protos[rng() % 4];
    // Mostly the same ports, as one conversation keeps them.
    s.sport = rng() % 8 == 0 ? ports[rng() % 8] : 30001;
    s.dport = rng() % 8 == 0 ? ports[rng() % 8] : 80;
    s.payload = rng() % 1200;
    std::vector<std::uint8_t> f = make_frame(s);
    std::uint32_t caplen = static_cast<std::uint32_t>(f.size());
    if (rng() % 10 == 0) caplen = 34 + static_cast<std::uint32_t>(rng() % 6);
    const std::uint32_t wire = static_cast<std::uint32_t>(f.size());
    frame_handle(*keyed_net, f.data(), caplen, wire);
    frame_handle(*plain_net, f.data(), caplen, wire);
    ++fed;
  }
  EXPECT_EQ(fed, 6000);
  EXPECT_EQ(link_trees(*keyed_net).size(), 16u);
  expect_same_counts("at the end");
}

TEST(LinkClassMemory, AnotherPathCountedDirectlyIsNotTakenForTheRemembered) {
  const std::string file = std::string(TARNIX_SOURCE_DIR) + "/data/protocol.pdl";
  PdlResult parsed = pdl_parse(file);
  ASSERT_TRUE(parsed) << parsed.error;
  PdlClassifier classifier(parsed.tree.get());
  TrafficModel model(&classifier, nullptr, nullptr);
  Net* net = net_create(model, "eth0");

  FrameSpec web;
  web.protocol = 6;
  web.sport = 30001;
  web.dport = 80;
  const std::vector<std::uint8_t> f = make_frame(web);
  frame_handle(*net, f.data(), static_cast<std::uint32_t>(f.size()), 100);
  Node* a = node_find(*net, NetAddress::ipv4(web.src_ip));
  ASSERT_NE(a, nullptr);
  Link* link = link_find(*a, NetAddress::ipv4(web.dst_ip));
  ASSERT_NE(link, nullptr);
  ASSERT_GE(link->last_counted_len, 2);

  // Counted on a shorter path of the same tree by hand: the next web frame
  // must still land on the web nodes, not on the nodes counted last.
  const protocol_node* shorter[kPathSlots] = {link->last_counted[0]->protocol, nullptr};
  linkstat_add(*link, shorter, 7);
  frame_handle(*net, f.data(), static_cast<std::uint32_t>(f.size()), 100);
  const LinkProtoNode* deepest = link->last_counted[link->last_counted_len - 1];
  EXPECT_EQ(deepest->frames, 2u);
  EXPECT_EQ(deepest->bytes, 200u);
  EXPECT_EQ(link->protocol_tree->frames, 3u);
  EXPECT_EQ(link->protocol_tree->bytes, 207u);
}

// A capture step counts repeating frames on the protocol trees once per
// hold of the lock; between steps, when readers may look, every tree and
// protocol counter must be what counting each frame at once gives.
TEST_F(KeyedAgainstPlain, CaptureStepsLeaveEveryFrameCounted) {
  Net* stepped = keyed_net;
  Net* one_by_one = plain_net;

  std::mt19937 rng(9);
  const std::uint16_t ports[] = {80, 443, 53, 22, 30001};
  std::vector<testing::TimedFrame> frames;
  for (int n = 0; n < 3000; ++n) {
    FrameSpec s;
    s.src_ip[3] = static_cast<std::uint8_t>(1 + rng() % 5);
    s.dst_ip[3] = static_cast<std::uint8_t>(1 + rng() % 5);
    s.protocol = rng() % 4 == 0 ? 17 : 6;
    s.sport = rng() % 10 == 0 ? ports[rng() % 5] : 30001;
    s.dport = rng() % 10 == 0 ? ports[rng() % 5] : 80;
    s.payload = rng() % 400;
    frames.push_back({1700000000 + n / 1000, static_cast<std::int32_t>(n % 1000) * 1000, make_frame(s), 0});
  }
  const std::string path = testing::temp_path("steps.pcap");
  ASSERT_TRUE(testing::write_pcap(path, frames));
  OpenResult r = open_file_source(path, "", 0.0);
  ASSERT_TRUE(r.source) << r.error;

  std::size_t fed = 0;
  int steps = 0;
  for (;;) {
    // No time budget (one batch a step) and a short one (a few batches a
    // hold of the lock, and a few holds a step) in turn.
    const auto budget = std::chrono::microseconds(steps % 2 == 0 ? 0 : 3000);
    const CaptureStepResult result = netif_capture(*stepped, *r.source, budget);
    ++steps;
    for (; fed < stepped->counters.frames_seen; ++fed) feed(*one_by_one, frames[fed].bytes, 0, 0);
    ASSERT_NO_FATAL_FAILURE(expect_same_counts("after step " + std::to_string(steps)));
    if (result != CaptureStepResult::kOk) break;
  }
  EXPECT_EQ(fed, frames.size());
  EXPECT_GE(steps, 2);
  std::remove(path.c_str());
}

// Trees whose decisive bytes lie far into the frame, or too scattered to
// gather in a few loads, are walked frame by frame.
TEST(PdlClassifierMemory, TreesReadingFarOrScatteredAreAlwaysWalked) {
  const std::string far =
      "primitive A : 7 \"a\"\n"
      "primitive B : 9 \"b\"\n"
      "protocol ROOT : 0 \"r\" 0 { byte : 300 A byte : 1 B }\n";
  const std::string scattered =
      "primitive A : 7 \"a\"\n"
      "primitive B : 9 \"b\"\n"
      "primitive C : 9 \"c\"\n"
      "primitive D : 9 \"d\"\n"
      "primitive E : 9 \"e\"\n"
      "protocol ROOT : 0 \"r\" 0 { byte : 0 A byte : 10 B byte : 20 C byte : 30 D byte : 40 E }\n";
  const struct {
    const char* name;
    const std::string& tree;
    std::size_t size, at;
    std::uint8_t value;
    const char* path;
  } cases[] = {
      {"a byte far in", far, 400, 300, 7, "ROOT/A/"},
      {"a near byte beside a far one", far, 400, 1, 9, "ROOT/B/"},
      {"five bytes ten apart", scattered, 41, 40, 9, "ROOT/E/"},
  };
  const protocol_node* path[kPathSlots];
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PdlResult t = pdl_parse_text(c.tree);
    ASSERT_TRUE(t) << t.error;
    PdlClassifier classifier(t.tree.get());
    EXPECT_TRUE(classifier.decisive_bytes().empty());
    std::vector<std::uint8_t> f(c.size, 0);
    f[c.at] = c.value;
    EXPECT_EQ(classifier.classify(f.data(), f.size(), static_cast<std::uint32_t>(c.size), path), 2);
    EXPECT_EQ(path_text(path), c.path);
  }
  std::vector<std::uint8_t> f(400, 0);
  PdlClassifier none(nullptr);
  EXPECT_EQ(none.classify(f.data(), f.size(), 400, path), 0);
  EXPECT_EQ(path[0], nullptr);
}

TEST(PdlClassifierMemory, OffsetsFollowTheMovingBase) {
  // The base moves by the header length of the node matched one step
  // earlier: ROOT's field-less match moves it by ROOT's own 3, A's by ROOT's
  // 3 again, B's by A's 2.
  PdlResult t = pdl_parse_text(
      "primitive C : 1 \"c\"\n"
      "protocol ROOT : 0 \"r\" 3 { byte : 0 A }\n"
      "protocol A : 4 \"a\" 2 { byte : 5 B }\n"
      "protocol B : 6 \"b\" 9 { byte : 4 C }\n");
  ASSERT_TRUE(t) << t.error;
  PdlClassifier classifier(t.tree.get());
  // A at 3 + 0; B at 3 + 3 + 5; C at 3 + 3 + 2 + 4.
  EXPECT_EQ(classifier.decisive_bytes(), (std::vector<std::uint16_t>{3, 11, 12}));
  std::vector<std::uint8_t> f(13, 0);
  f[3] = 4;
  f[11] = 6;
  f[12] = 1;
  const protocol_node* path[kPathSlots];
  for (std::size_t caplen : {13u, 12u, 11u, 4u, 13u}) {
    ProtocolPath expected;
    classifier.classify(f.data(), caplen, 13, path);
    protocol_classify(t.tree.get(), f.data(), caplen, 13, expected);
    EXPECT_EQ(path_text(path), path_text(expected.data())) << caplen;
  }
  EXPECT_EQ(path_text(path), "ROOT/A/B/C/");
}

TEST(FileSourceBatches, SmallBatchesDeliverEveryFrameThenTheEnd) {
  const std::string path = testing::temp_path("batches.pcap");
  std::vector<testing::TimedFrame> v;
  FrameSpec s;
  for (int i = 0; i < 5; ++i)
    v.push_back({1700000000, i, make_frame(s), static_cast<std::uint32_t>(1000 + i)});
  ASSERT_TRUE(testing::write_pcap(path, v));
  OpenResult r = open_file_source(path, "", 0.0);
  ASSERT_TRUE(r.source) << r.error;
  std::vector<std::uint32_t> lens;
  auto collect = [](void* user, const FrameHeader& h, const std::uint8_t*) {
    static_cast<std::vector<std::uint32_t>*>(user)->push_back(h.len);
  };
  EXPECT_EQ(r.source->dispatch(2, collect, &lens), 2);
  EXPECT_EQ(r.source->dispatch(2, collect, &lens), 2);
  EXPECT_EQ(r.source->dispatch(2, collect, &lens), 1);
  EXPECT_EQ(r.source->dispatch(2, collect, &lens), kSourceEnd);
  EXPECT_EQ(r.source->dispatch(2, collect, &lens), kSourceEnd);
  EXPECT_EQ(lens, (std::vector<std::uint32_t>{1000, 1001, 1002, 1003, 1004}));
  std::remove(path.c_str());
}

}  // namespace
}  // namespace tarnix
