#include "ui/monitor/db_reader.h"

#include <QMetaObject>

#include "db/db_store.h"

namespace tarnix::ui {

DbReader::DbReader(std::string db_file) : file_(std::move(db_file)) {
  thread_ = std::thread([this] { run(); });
}

DbReader::~DbReader() {
  stop();
}

void DbReader::stop() {
  {
    std::lock_guard<std::mutex> g(mutex_);
    stop_ = true;
    jobs_.clear();
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

int DbReader::pending() const {
  std::lock_guard<std::mutex> g(mutex_);
  return static_cast<int>(jobs_.size()) + busy_;
}

void DbReader::post(std::function<void(DbSession*)> job) {
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (stop_) return;
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void DbReader::deliver(std::function<void()> fn) {
  QMetaObject::invokeMethod(&context_, std::move(fn), Qt::QueuedConnection);
}

void DbReader::run() {
  std::unique_ptr<DbSession> session;
  for (;;) {
    std::function<void(DbSession*)> job;
    {
      std::unique_lock<std::mutex> g(mutex_);
      wake_.wait(g, [this] { return stop_ || !jobs_.empty(); });
      if (stop_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
      ++busy_;
    }
    // A database that cannot be opened now may be there on a later refresh.
    if (!session && !file_.empty()) session = db_open_session(file_);
    job(session.get());
    std::lock_guard<std::mutex> g(mutex_);
    --busy_;
  }
}

}  // namespace tarnix::ui
