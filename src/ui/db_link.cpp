#include "ui/db_link.h"

#include <QApplication>
#include <chrono>
#include <thread>

#include "db/db_util.h"
#include "naming/hostc.h"

namespace tarnix::ui {
namespace {

class DbUi final : public DbStartupUi {
 public:
  explicit DbUi(app::Messenger& m) : m_(m) {}
  void beep() override { QApplication::beep(); }
  void error(const char* title, const char* message) override {
    m_.show({QString::fromUtf8(message), QString::fromUtf8(title), app::MessageIcon::Exclamation, {}});
  }
  void wait_ms(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

 private:
  app::Messenger& m_;
};

}  // namespace

struct DbLink::Impl {
  std::unique_ptr<DbSession> session;
};

DbLink::DbLink() : impl_(std::make_unique<Impl>()) {}
DbLink::~DbLink() = default;

bool DbLink::start(const QString& dbpath, app::Messenger& messenger) {
  DbUi ui(messenger);
  DbConfig config;
  config.dbpath = dbpath.toStdString();
  if (!db_start_server(config, ui)) return false;
  impl_->session = db_connect(config, ui);
  return impl_->session != nullptr;
}

bool DbLink::connected() const {
  return impl_->session != nullptr;
}

std::unique_ptr<HostIdStore> DbLink::host_id_store(const QString& dbpath) {
  DbConfig config;
  config.dbpath = dbpath.toStdString();
  auto session = db_open_session(db_file_path(config));
  if (!session) return nullptr;
  return std::make_unique<DbHostIdStore>(std::move(session));
}

void DbLink::set_names(HostIdStore* store, const HostCache* cache) {
  if (auto* db = dynamic_cast<DbHostIdStore*>(store)) db->set_names(cache);
}

void DbLink::shutdown(int prune_days) {
  if (impl_->session) db_shutdown(std::move(impl_->session), prune_days);
}

}  // namespace tarnix::ui
