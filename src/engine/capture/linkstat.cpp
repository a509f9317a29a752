#include "capture/net.h"

namespace tarnix {

namespace {

LinkProtoNode* new_tree_node(Link& link, const protocol_node* protocol) {
  LinkProtoNode* n;
  if (link.tree_inline_used < Link::kInlineTreeNodes) {
    n = &link.tree_inline[link.tree_inline_used++];
  } else {
    link.tree_storage.push_back(std::make_unique<LinkProtoNode>());
    n = link.tree_storage.back().get();
  }
  n->protocol = protocol;
  return n;
}

// Whether the path is the one whose nodes the link counted last. Counted
// nodes never stand for no protocol, so a shorter path fails on its null.
inline bool repeats_last_path(const Link& link, const protocol_node* const* path) {
  const int n = link.last_counted_len;
  if (n == 0) return false;
  for (int i = 0; i < n; ++i)
    if (link.last_counted[i]->protocol != path[i]) return false;
  return n == kPathSlots - 1 || path[n] == nullptr;
}

}  // namespace

void linkstat_add(Link& link, const protocol_node* const* path, std::uint32_t length) {
  if (repeats_last_path(link, path)) {
    for (int i = 0; i < link.last_counted_len; ++i) {
      LinkProtoNode* n = link.last_counted[i];
      ++n->frames;
      n->bytes += length;
    }
    return;
  }
  // Another path: the class key the link remembers no longer names the
  // nodes counted last.
  link.class_keyed = false;
  if (link.protocol_tree == nullptr) link.protocol_tree = new_tree_node(link, path[0]);
  LinkProtoNode* cur = link.protocol_tree;
  int i = 0;
  // A path holds at most six protocols; the bound keeps a path without its
  // terminating null from running on.
  while (i < kPathSlots - 1 && path[i] != nullptr) {
    if (cur->protocol == path[i]) {
      ++cur->frames;
      cur->bytes += length;
      link.last_counted[i] = cur;
      ++i;
      if (i >= kPathSlots - 1 || path[i] == nullptr) break;
      if (cur->child == nullptr) cur->child = new_tree_node(link, path[i]);
      cur = cur->child;
    } else {
      if (cur->next == nullptr) cur->next = new_tree_node(link, path[i]);
      cur = cur->next;
    }
  }
  link.last_counted_len = i;
}

// Newest first: nodes are made in order, inside the record before the heap.
// A link's tree holds a handful of nodes, so a walk costs no more than an
// index of them would, without an index's memory in every link.
const LinkProtoNode* link_tree_node(const Link& link, const protocol_node* protocol) {
  for (auto it = link.tree_storage.rbegin(); it != link.tree_storage.rend(); ++it)
    if ((*it)->protocol == protocol) return it->get();
  for (int i = link.tree_inline_used - 1; i >= 0; --i)
    if (link.tree_inline[i].protocol == protocol) return &link.tree_inline[i];
  return nullptr;
}

void Classifier::count_again(LinkProtoNode* const* nodes, int n, std::uint64_t frames, std::uint64_t bytes) {
  for (int i = 0; i < n; ++i) {
    nodes[i]->frames += frames;
    nodes[i]->bytes += bytes;
  }
}

void link_settle_noted(Link& link, Classifier& classifier) {
  if (link.pending_frames == 0) return;
  classifier.count_again(link.last_counted, link.last_counted_len, link.pending_frames, link.pending_bytes);
  link.pending_frames = 0;
  link.pending_bytes = 0;
}

void net_flush_counts(Net& net) {
  for (Link* link : net.pending_links) link_settle_noted(*link, *net.model->classifier);
  net.pending_links.clear();
}

const FocusEntry* link_dominant_entry(const Link& link, const FocusList* focus) {
  if (focus == nullptr) return nullptr;
  std::uint64_t best = 0;
  const FocusEntry* winner = nullptr;
  for (const FocusEntry& e : *focus) {
    const LinkProtoNode* n = link_tree_node(link, e.protocol);
    if (n != nullptr && n->bytes > best) {
      best = n->bytes;
      winner = &e;
    }
  }
  return winner;
}

std::int32_t link_dominant(const Link& link, const FocusList* focus) {
  const FocusEntry* e = link_dominant_entry(link, focus);
  return e ? e->colour : -1;
}

}  // namespace tarnix
