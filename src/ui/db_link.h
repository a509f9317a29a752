// The database as the desktop program uses it. Kept in a unit of its own:
// the database headers and the capture loop's headers cannot meet in one
// translation unit (both declare tarnix::StepResult).
#pragma once

#include <QString>
#include <memory>

#include "app/messages.h"

namespace tarnix {
class HostCache;
class HostIdStore;
}  // namespace tarnix

namespace tarnix::ui {

class DbLink {
 public:
  DbLink();
  ~DbLink();
  // Makes sure the folder exists and connects, with retries, beeps and the
  // messages "Couldn't start database" / "Failed to connect to DB server".
  bool start(const QString& dbpath, app::Messenger& messenger);
  bool connected() const;
  // A host-id store on a connection of its own; call set_names once the
  // cache exists.
  std::unique_ptr<HostIdStore> host_id_store(const QString& dbpath);
  void set_names(HostIdStore* store, const HostCache* cache);
  // Prunes accesses older than `prune_days` days and disconnects.
  void shutdown(int prune_days);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarnix::ui
