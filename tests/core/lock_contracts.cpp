// Lock contracts the compiler must enforce: each case is compiled on its own
// by clang with the thread-safety analysis, and every case but the first
// must be refused with the diagnostic its test names. A case that compiles
// means the annotations have gone quiet (a macro expanding to nothing, a
// lock that lost its attributes) and the checked build checks nothing.
#include <condition_variable>

#include "capture/net.h"
#include "core/mutex.h"

namespace tarnix {

struct Counter {
  Mutex mutex;
  std::condition_variable changed;
  int value GUARDED_BY(mutex) = 0;
};

struct Table {
  SharedMutex mutex;
  int rows GUARDED_BY(mutex) = 0;
};

#if defined(CASE_held)
// Every way in that holds the lock: scoped, waited on, shared for reading,
// the model's accessors and the frame path under the network's lock.
int held(Counter& c, Table& t, Net& net) {
  {
    MutexLock lock(c.mutex);
    while (c.value == 0) lock.wait(c.changed);
    ++c.value;
  }
  {
    WriterLock lock(t.mutex);
    ++t.rows;
  }
  ReaderLock lock(t.mutex);
  const int hosts = net.read([](const Net& n) REQUIRES(n.lock) { return n.host_list.count(); });
  net.read_ranked([](const Net& n) REQUIRES(n.lock) { return n.top_hosts.count(); });
  MutexLock capture(net.lock);
  net_tick(net);
  return t.rows + hosts;
}
#elif defined(CASE_unlocked_write)
void unlocked_write(Counter& c) { ++c.value; }
#elif defined(CASE_read_after_unlock)
int read_after_unlock(Counter& c) {
  MutexLock lock(c.mutex);
  lock.unlock();
  return c.value;
}
#elif defined(CASE_write_under_reader_lock)
void write_under_reader_lock(Table& t) {
  ReaderLock lock(t.mutex);
  t.rows = 1;
}
#elif defined(CASE_tick_without_lock)
void tick_without_lock(Net& net) { net_tick(net); }
#elif defined(CASE_read_while_holding)
// The accessor takes the lock itself: called with it held, it would deadlock.
int read_while_holding(Net& net) {
  MutexLock capture(net.lock);
  return net.read([](const Net& n) REQUIRES(n.lock) { return n.host_list.count(); });
}
#elif defined(CASE_model_unlocked)
// The model's tables are guarded fields, not only its entry points.
int model_unlocked(const Net& net) {
  return net.host_list.count();
}
#elif defined(CASE_reader_without_contract)
// A reader that does not say it runs under the lock is checked as if it
// did not.
int reader_without_contract(const Net& net) {
  return net.read([](const Net& n) { return n.all_links.empty() ? 0 : 1; });
}
#elif defined(CASE_networks_unlocked)
std::size_t networks_unlocked(const TrafficModel& model) { return model.nets.size(); }
#else
#error "no case chosen"
#endif

}  // namespace tarnix
