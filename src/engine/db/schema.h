// The tables Tarnix keeps: URLs, accesses, host names and alarm definitions,
// with the version that lets a later release migrate a user's database.
#pragma once

#include "db/sql.h"

namespace tarnix {

inline constexpr int kSchemaVersion = 3;

// Longest texts the tables keep; longer values are cut to these lengths.
inline constexpr std::size_t kUrlPathColumn = 239;
inline constexpr std::size_t kHostnameUsedColumn = 79;
inline constexpr std::size_t kHostNameColumn = 80;
// The address column is text in every schema version: the longest IPv6
// text fits without a migration (an IPv4 text is at most 15 characters).
inline constexpr std::size_t kHostAddrColumn = 45;
inline constexpr std::size_t kAlarmProtocolColumn = 20;
inline constexpr std::size_t kAlarmTextColumn = 80;
inline constexpr std::size_t kAlarmDeliveryColumn = 1024;

// Creates the tables and indexes of an empty database, or checks the version
// of an existing one. A database written by a newer release is refused.
Status db_schema_create(Connection& c);

// Gives url_hist its `sensor` column where an older database lacks it;
// nothing when it is there.
Status db_schema_add_sensors(Connection& c);
inline constexpr std::size_t kSensorColumn = 63;

// Version stored in the database; 0 when there is none.
int db_schema_version(Connection& c);

}  // namespace tarnix
