// A PostgreSQL server of Tarnix's own: a data folder made on first use, a
// server that listens only on a socket inside that folder, stopped at exit.
#pragma once

#include <string>

namespace tarnix {

inline constexpr const char kPgDatabase[] = "tarnix";
inline constexpr const char kPgUser[] = "admin";
inline constexpr int kPgPrivatePort = 5433;

// The folder holding initdb and pg_ctl: `hint` when given (empty when it has
// none), else $TARNIX_PG_BIN, the newest /usr/lib/postgresql/*/bin, or the
// PATH. Empty when there is none.
std::string pg_find_bin(const std::string& hint);

// libpq connection string for the server of data folder `dir`.
std::string pg_private_conninfo(const std::string& dir, int port, const std::string& dbname = kPgDatabase);

// Makes the data folder on first use and starts the server when it is not
// running yet; does not wait for it to accept connections. Running as root
// (which PostgreSQL refuses), the server runs as the folder's owner, else as
// "postgres" or "nobody". False with the reason in *why.
bool pg_server_start(const std::string& dir, const std::string& bin, int port, std::string* why);

// True when the server answers (it may still refuse a login).
bool pg_server_ready(const std::string& conninfo);

// Creates the "tarnix" database on a server that lacks it. False with the
// reason when the server cannot be asked or the creation fails.
bool pg_ensure_database(const std::string& dir, int port, std::string* why);

// Asks the server to end (its sessions are ended with it) and waits for it.
bool pg_server_stop(const std::string& dir, const std::string& bin);

}  // namespace tarnix
