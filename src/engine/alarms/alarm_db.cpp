#include "alarms/alarm_db.h"

namespace tarnix {

namespace {

AlarmTableRow from_db(const AlarmRow& r) {
  return AlarmTableRow{r.alarm_id, r.object_type, r.kind,       r.host1_id, r.host2_id,    r.protocol,
                       r.reserved, r.threshold,   r.direction,  r.unit,     r.notify,      r.disabled,
                       r.url_id,   r.sound_file,  r.play_sound, r.command,  r.run_command, r.reserved2,
                       r.delivery};
}

AlarmRow to_db(const AlarmTableRow& r) {
  AlarmRow d;
  d.alarm_id = r.alarm_id;
  d.object_type = r.object_type;
  d.kind = r.kind;
  d.host1_id = r.host1_id;
  d.host2_id = r.host2_id;
  d.protocol = r.protocol;
  d.reserved = r.reserved;
  d.threshold = r.threshold;
  d.direction = r.direction;
  d.unit = r.unit;
  d.notify = r.notify;
  d.disabled = r.disabled;
  d.url_id = r.url_id;
  d.sound_file = r.sound_file;
  d.play_sound = r.play_sound;
  d.command = r.command;
  d.run_command = r.run_command;
  d.reserved2 = r.reserved2;
  d.delivery = r.delivery;
  return d;
}

}  // namespace

void DbAlarmTable::load_rows(std::vector<AlarmTableRow>& rows) {
  std::vector<AlarmRow> db_rows;
  session_.note_error(db_alarms_load(session_, db_rows));
  rows.clear();
  for (const AlarmRow& r : db_rows) rows.push_back(from_db(r));
}

void DbAlarmTable::save_rows(std::vector<AlarmTableRow>& rows) {
  std::vector<AlarmRow> db_rows;
  for (const AlarmTableRow& r : rows) db_rows.push_back(to_db(r));
  Status s = db_alarms_save(session_, db_rows);
  session_.note_error(s);
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i].alarm_id = s.ok() ? db_rows[i].alarm_id : 0;
}

bool DbAlarmTable::host_cache_addr(std::int32_t host_id, NetAddress& address) {
  return db_host_cache_addr(session_, host_id, address);
}

bool DbAlarmTable::urls_exists(std::int32_t url_id) {
  return db_urls_exists(session_, url_id);
}

bool DbAlarmTable::url_site(std::int32_t url_id, UrlSite& out) {
  return db_url_site(session_, url_id, out);
}

}  // namespace tarnix
