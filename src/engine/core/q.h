// FIFO queue handing work between a producer and a consumer thread. It does
// not lock: users hold their own mutex around put() and get().
#pragma once

#include <utility>

namespace tarnix {

template <class T>
class Queue {
 public:
  Queue() = default;
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;
  ~Queue() {
    T ignored;
    while (get(ignored)) {
    }
  }

  int count() const { return count_; }
  bool empty() const { return count_ == 0; }

  void put(T data) {
    Node* n = new Node{nullptr, std::move(data)};
    if (tail_ != nullptr)
      tail_->next = n;
    else
      head_ = n;
    tail_ = n;
    ++count_;
  }

  // False when the queue is empty.
  bool get(T& out) {
    if (head_ == nullptr) {
      tail_ = nullptr;
      return false;
    }
    Node* n = head_;
    out = std::move(n->data);
    head_ = n->next;
    delete n;
    if (--count_ == 0) head_ = tail_ = nullptr;
    return true;
  }

 private:
  struct Node {
    Node* next;
    T data;
  };
  Node* head_ = nullptr;
  Node* tail_ = nullptr;
  int count_ = 0;
};

}  // namespace tarnix
