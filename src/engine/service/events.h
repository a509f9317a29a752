// Events as JSON lines: one object a line, appended as things happen, to a
// file that log rotation may move away (reopen() on SIGHUP) or to standard
// output. A thread of its own does the writing, so that no producer waits
// for the disk; each line is written whole between reopens, so a rotation
// neither loses nor splits one.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "core/mutex.h"

namespace tarnix::service {

class EventsWriter {
 public:
  // path "-" is standard output, which is never reopened. Beyond max_queued
  // lines waiting, write() drops (and counts) unless told it may wait.
  explicit EventsWriter(std::string path, std::size_t max_queued = 1u << 16);
  ~EventsWriter();
  EventsWriter(const EventsWriter&) = delete;
  EventsWriter& operator=(const EventsWriter&) = delete;

  // Opens (creating, appending) the file; false with the reason.
  bool open(std::string& error);
  void start();
  // Writes what is queued, then ends the thread.
  void stop();

  // One JSON object without its line end. `may_wait`: the caller can stand
  // to wait for room (a store thread), else a full queue drops the line.
  void write(std::string line, bool may_wait = false);
  // The file is opened again by name before the next line is written; the
  // lines queued so far go to the new file. Any thread.
  void reopen();

  std::uint64_t written() const;
  std::uint64_t dropped() const;
  // The last failure to open or write, empty when none.
  std::string last_error() const;

 private:
  void run();
  bool reopen_now();
  bool write_all(const std::string& data);

  const std::string path_;
  const std::size_t max_queued_;
  mutable Mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable room_;
  std::deque<std::string> queue_ GUARDED_BY(mutex_);
  bool stop_ GUARDED_BY(mutex_) = false;
  bool reopen_ GUARDED_BY(mutex_) = false;
  std::uint64_t written_ GUARDED_BY(mutex_) = 0;
  std::uint64_t dropped_ GUARDED_BY(mutex_) = 0;
  std::string error_ GUARDED_BY(mutex_);
  int fd_ = -1;  // the writer thread's (and open()'s, before it starts)
  std::thread thread_;
};

}  // namespace tarnix::service
