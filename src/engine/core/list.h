// Counted singly linked list with a tail pointer. The list never owns its
// elements; T is normally a pointer to a record kept elsewhere.
#pragma once

#include <deque>
#include <utility>

namespace tarnix {

template <class T>
class List {
 public:
  struct Node {
    Node* next;
    T data;
  };

  List() = default;
  List(const List&) = delete;
  List& operator=(const List&) = delete;
  List(List&& other) noexcept { swap(other); }
  List& operator=(List&& other) noexcept {
    if (this != &other) {
      clear();
      swap(other);
    }
    return *this;
  }
  ~List() { clear(); }

  int count() const { return count_; }
  bool empty() const { return count_ == 0; }
  Node* head() const { return head_; }
  Node* tail() const { return tail_; }

  Node* append(T data) {
    Node* n = new Node{nullptr, std::move(data)};
    if (tail_ != nullptr)
      tail_->next = n;
    else
      head_ = n;
    tail_ = n;
    ++count_;
    return n;
  }

  Node* prepend(T data) {
    Node* n = new Node{head_, std::move(data)};
    head_ = n;
    if (tail_ == nullptr) tail_ = n;
    ++count_;
    return n;
  }

  // Walks past every element for which cmp(data, element) < 0 and places the
  // new node before the first element where it is >= 0, or at the tail.
  template <class Cmp>
  Node* insert_sorted(T data, Cmp&& cmp) {
    Node* prev = nullptr;
    Node* cur = head_;
    while (cur != nullptr && cmp(static_cast<const T&>(data), static_cast<const T&>(cur->data)) < 0) {
      prev = cur;
      cur = cur->next;
    }
    Node* n = new Node{cur, std::move(data)};
    if (prev == nullptr)
      head_ = n;
    else
      prev->next = n;
    if (cur == nullptr) tail_ = n;
    ++count_;
    return n;
  }

  // Places a new node right after `prev` (at the head when prev is null).
  // For callers that keep their own index of where an element belongs.
  Node* insert_after(Node* prev, T data) {
    if (prev == nullptr) return prepend(std::move(data));
    Node* n = new Node{prev->next, std::move(data)};
    prev->next = n;
    if (tail_ == prev) tail_ = n;
    ++count_;
    return n;
  }

  // First element for which cmp(key, element) == 0, or null.
  template <class Key, class Cmp>
  T* find(const Key& key, Cmp&& cmp) {
    for (Node* n = head_; n != nullptr; n = n->next)
      if (cmp(key, static_cast<const T&>(n->data)) == 0) return &n->data;
    return nullptr;
  }

  // Removes the first node whose element equals data (identity for pointers);
  // returns the node that followed it, or null.
  Node* remove(const T& data) {
    Node* prev = nullptr;
    for (Node* n = head_; n != nullptr; prev = n, n = n->next) {
      if (n->data == data) {
        Node* next = n->next;
        if (prev == nullptr)
          head_ = next;
        else
          prev->next = next;
        if (tail_ == n) tail_ = prev;
        delete n;
        --count_;
        return next;
      }
    }
    return nullptr;
  }

  // Removes the node after prev (which must have one), or the first node.
  void remove_after(Node* prev) {
    Node* n = prev->next;
    prev->next = n->next;
    if (tail_ == n) tail_ = prev;
    delete n;
    --count_;
  }
  // Removes the element at node n without a walk: the next element moves
  // into n, and is returned so that whoever keeps its node can follow; the
  // last node, which has no next, is found by a walk. Null when nothing moved.
  T* erase_node(Node* n) {
    if (Node* m = n->next) {
      n->data = std::move(m->data);
      n->next = m->next;
      if (tail_ == m) tail_ = n;
      delete m;
      --count_;
      return &n->data;
    }
    Node* prev = nullptr;
    for (Node* p = head_; p != n; p = p->next) prev = p;
    if (prev == nullptr)
      head_ = nullptr;
    else
      prev->next = nullptr;
    tail_ = prev;
    delete n;
    --count_;
    return nullptr;
  }

  void remove_first() {
    Node* n = head_;
    head_ = n->next;
    if (tail_ == n) tail_ = nullptr;
    delete n;
    --count_;
  }

  template <class Fn>
  void foreach(Fn&& fn) const {
    for (Node* n = head_; n != nullptr; n = n->next) fn(n->data);
  }

  // fn(element, node) returns the node whose successor the walk continues
  // with; returning null ends the walk.
  template <class Fn>
  void walk(Fn&& fn) {
    Node* n = head_;
    while (n != nullptr) {
      Node* at = fn(n->data, n);
      n = at != nullptr ? at->next : nullptr;
    }
  }

  template <class Fn>
  auto map(Fn&& fn) const {
    List<decltype(fn(std::declval<const T&>()))> out;
    for (Node* n = head_; n != nullptr; n = n->next) out.append(fn(static_cast<const T&>(n->data)));
    return out;
  }

  // Frees every node, calling fn on each element first (head to tail).
  template <class Fn>
  void destroy(Fn&& fn) {
    for (Node* n = head_; n != nullptr;) {
      Node* next = n->next;
      fn(n->data);
      delete n;
      n = next;
    }
    head_ = tail_ = nullptr;
    count_ = 0;
  }
  void clear() {
    destroy([](T&) {});
  }

 private:
  void swap(List& other) noexcept {
    std::swap(head_, other.head_);
    std::swap(tail_, other.tail_);
    std::swap(count_, other.count_);
  }

  Node* head_ = nullptr;
  Node* tail_ = nullptr;
  int count_ = 0;
};

// Moves the oldest element of a FIFO hand-over into out; false when empty.
// The hand-overs between threads are plain deques guarded by their users'
// mutexes; this keeps their consumers to one line.
template <class T>
bool take_front(std::deque<T>& queue, T& out) {
  if (queue.empty()) return false;
  out = std::move(queue.front());
  queue.pop_front();
  return true;
}

}  // namespace tarnix
