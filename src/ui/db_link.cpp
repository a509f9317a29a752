#include "ui/db_link.h"

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "capture/bindings.h"
#include "db/db_util.h"
#include "db/url_recording.h"
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
  std::unique_ptr<UrlRecording> recording;
  std::unique_ptr<SnifferSink> sink;
  bool open = false;
  bool attached = false;
  bool finished = false;
  std::string description;
};

DbLink::DbLink() : impl_(std::make_unique<Impl>()) {}

DbLink::~DbLink() {
  // The recorder's thread ends before the sink it is fed through goes.
  if (impl_->recording) impl_->recording->close(std::chrono::milliseconds(0), nullptr, 0);
}

std::string DbLink::file_path() const {
  return impl_->recording ? impl_->recording->path() : std::string();
}

std::string DbLink::description() const {
  return impl_->description;
}

bool DbLink::start(const QString& dbpath, app::Messenger& messenger, const QString& connect, bool own_server,
                   const QString& sensor) {
  DbUi ui(messenger);
  DbConfig config;
  config.dbpath = dbpath.toStdString();
  config.connect = connect.trimmed().toStdString();
  if (config.connect.empty() && own_server)
    config.server_dir = (std::filesystem::path(config.dbpath.empty() ? "." : config.dbpath) / "pgdata").string();
  if (!sensor.trimmed().isEmpty()) db_set_sensor_name(sensor.trimmed().toStdString());
  impl_->description = db_describe(config);
  impl_->recording = std::make_unique<UrlRecording>();
  impl_->open = impl_->recording->open(config, ui);
  if (!impl_->open) impl_->recording.reset();
  return impl_->open;
}

bool DbLink::connected() const {
  return impl_->open;
}

HostIdStore& DbLink::host_ids() {
  return impl_->recording->host_ids();
}

void DbLink::attach(HostCache& cache, bool tls_names) {
  if (!impl_->open || impl_->attached) return;
  impl_->recording->attach(cache);
  impl_->sink = std::make_unique<SnifferSink>(impl_->recording->sniffer(),
                                              tls_names ? &impl_->recording->tls_sniffer() : nullptr);
  impl_->attached = true;
}

TcpSink* DbLink::tcp_sink() {
  return impl_->sink.get();
}

void DbLink::add_listener(RequestListener* listener) {
  if (impl_->attached) impl_->recording->add_listener(listener);
}

void DbLink::set_source_can_wait(bool can_wait) {
  if (impl_->attached) impl_->recording->recorder().set_block_when_full(can_wait);
}

void DbLink::start_recording() {
  if (impl_->attached) impl_->recording->start();
}

DbSession& DbLink::session() {
  return impl_->recording->session();
}

int DbLink::finish(std::chrono::milliseconds bound) {
  if (!impl_->attached || impl_->finished) return 0;
  impl_->finished = true;
  return db_urls_finish(impl_->recording->recorder(), bound, stderr);
}

void DbLink::shutdown(int prune_days) {
  if (!impl_->recording) return;
  // What finish() left has been reported already.
  impl_->recording->close(std::chrono::milliseconds(0), impl_->finished ? nullptr : stderr, prune_days);
  impl_->open = false;
}

}  // namespace tarnix::ui
