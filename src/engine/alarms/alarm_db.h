// The alarm engine's view of the database: the `alarms` table with the host
// and URL look-ups that loading makes, and the recorder's announcements of
// recorded accesses, which become URL notifications.
#pragma once

#include "alarms/alarm.h"
#include "db/db_store.h"
#include "db/recorder.h"

namespace tarnix {

// Over one session; use it on the thread that owns the session.
class DbAlarmTable final : public AlarmTable {
 public:
  explicit DbAlarmTable(DbSession& session) : session_(session) {}
  void load_rows(std::vector<AlarmTableRow>& rows) override;
  void save_rows(std::vector<AlarmTableRow>& rows) override;
  bool host_cache_addr(std::int32_t host_id, NetAddress& address) override;
  bool urls_exists(std::int32_t url_id) override;
  bool url_site(std::int32_t url_id, UrlSite& out) override;

 private:
  DbSession& session_;
};

// Hands every recorded access to the URL alarms (alarm_url_notify).
class AlarmRequestListener final : public RequestListener {
 public:
  explicit AlarmRequestListener(AlarmState& st) : st_(st) {}
  void on_request_recorded(const RecordedRequest& request) override {
    alarm_url_notify(st_, request.url_id, request.url_hist_id, static_cast<std::uint32_t>(request.time),
                     request.site.host_id != 0 ? &request.site : nullptr);
  }

 private:
  AlarmState& st_;
};

}  // namespace tarnix
