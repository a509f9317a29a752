// Database reads for the monitor windows on a thread of their own, with a
// connection of its own: the window thread hands over a job and gets its
// result back through a queued call, so it never waits for the database.
#pragma once

#include <QObject>
#include <QPointer>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tarnix {
class DbSession;
}

namespace tarnix::ui {

class DbReader {
 public:
  // `db_file`: the database file; its session is opened by the reader's
  // thread on the first job.
  explicit DbReader(std::string db_file);
  ~DbReader();
  DbReader(const DbReader&) = delete;
  DbReader& operator=(const DbReader&) = delete;

  // Runs work(session) on the reader's thread (session null when the
  // database cannot be opened), then done(result) on the window thread,
  // unless `receiver` has gone by then.
  template <class T>
  void read(QObject* receiver, std::function<T(DbSession*)> work, std::function<void(T)> done) {
    QPointer<QObject> guard(receiver);
    post([this, guard = std::move(guard), work = std::move(work), done = std::move(done)](DbSession* s) mutable {
      auto result = std::make_shared<T>(work(s));
      deliver([guard = std::move(guard), done = std::move(done), result] {
        if (guard) done(std::move(*result));
      });
    });
  }

  // Ends the thread after the job in hand; later jobs are dropped.
  void stop();
  // Jobs handed over and not finished yet.
  int pending() const;

 private:
  void post(std::function<void(DbSession*)> job);
  // Queues fn for the window thread.
  void deliver(std::function<void()> fn);
  void run();

  std::string file_;
  QObject context_;  // lives on the window thread; queued results go through it
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void(DbSession*)>> jobs_;
  int busy_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace tarnix::ui
