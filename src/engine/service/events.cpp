#include "service/events.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace tarnix::service {

EventsWriter::EventsWriter(std::string path, std::size_t max_queued)
    : path_(std::move(path)), max_queued_(max_queued == 0 ? 1 : max_queued) {}

EventsWriter::~EventsWriter() {
  stop();
  if (fd_ >= 0 && fd_ != STDOUT_FILENO) ::close(fd_);
}

bool EventsWriter::open(std::string& error) {
  if (path_ == "-") {
    fd_ = STDOUT_FILENO;
    return true;
  }
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (fd_ < 0) {
    error = "cannot open the events file " + path_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void EventsWriter::start() {
  MutexLock lock(mutex_);
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { run(); });
}

void EventsWriter::stop() {
  {
    MutexLock lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  room_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void EventsWriter::write(std::string line, bool may_wait) {
  line += '\n';
  {
    MutexLock lock(mutex_);
    if (queue_.size() >= max_queued_) {
      if (may_wait && thread_.joinable())
        while (!stop_ && queue_.size() >= max_queued_) lock.wait(room_);
      if (queue_.size() >= max_queued_) {
        ++dropped_;
        return;
      }
    }
    queue_.push_back(std::move(line));
  }
  wake_.notify_one();
}

void EventsWriter::reopen() {
  {
    MutexLock lock(mutex_);
    reopen_ = true;
  }
  wake_.notify_one();
}

std::uint64_t EventsWriter::written() const {
  MutexLock lock(mutex_);
  return written_;
}

std::uint64_t EventsWriter::dropped() const {
  MutexLock lock(mutex_);
  return dropped_;
}

std::string EventsWriter::last_error() const {
  MutexLock lock(mutex_);
  return error_;
}

bool EventsWriter::reopen_now() {
  if (path_ == "-") return true;
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (fd < 0) {
    // The old file stays in use: its lines are kept rather than lost.
    MutexLock lock(mutex_);
    error_ = "cannot reopen the events file " + path_ + ": " + std::strerror(errno);
    return false;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  return true;
}

bool EventsWriter::write_all(const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      MutexLock lock(mutex_);
      error_ = "cannot write the events file " + path_ + ": " + std::strerror(errno);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void EventsWriter::run() {
  std::vector<std::string> batch;
  for (;;) {
    bool reopen = false;
    bool stopping = false;
    {
      MutexLock lock(mutex_);
      while (!stop_ && !reopen_ && queue_.empty()) lock.wait(wake_);
      reopen = reopen_;
      reopen_ = false;
      stopping = stop_;
      batch.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
      queue_.clear();
    }
    room_.notify_all();
    // The file changes only here, between whole lines: those taken now
    // go to the new file, and none is cut in two.
    if (reopen) reopen_now();
    std::string data;
    for (const std::string& line : batch) data += line;
    std::uint64_t lines = batch.size();
    const bool ok = data.empty() || write_all(data);
    {
      MutexLock lock(mutex_);
      if (ok)
        written_ += lines;
      else
        dropped_ += lines;
    }
    batch.clear();
    if (stopping) {
      MutexLock lock(mutex_);
      if (queue_.empty()) return;
    }
  }
}

}  // namespace tarnix::service
