#include "db/pg_server.h"

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>
#include <vector>

namespace tarnix {

namespace fs = std::filesystem;

namespace {

bool has_tools(const fs::path& dir) {
  return ::access((dir / "pg_ctl").c_str(), X_OK) == 0 && ::access((dir / "initdb").c_str(), X_OK) == 0;
}

// A conninfo value in quotes, so folders with blanks or quotes stay one value.
std::string quoted(const std::string& v) {
  std::string out = "'";
  for (char c : v) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

struct Account {
  uid_t uid;
  gid_t gid;
};

// PostgreSQL will not run as root: the server then runs as an account that
// can own its folder.
std::optional<Account> server_account(const fs::path& dir) {
  if (::geteuid() != 0) return std::nullopt;
  struct stat st{};
  if (::stat(dir.c_str(), &st) == 0 && st.st_uid != 0) return Account{st.st_uid, st.st_gid};
  for (const char* name : {"postgres", "nobody"}) {
    if (const passwd* pw = ::getpwnam(name)) return Account{pw->pw_uid, pw->pw_gid};
  }
  return std::nullopt;
}

// Runs a tool of the server, as `as` when given, with its output away from
// ours (the server keeps its own log); returns its exit status or -1.
int run(const fs::path& program, const std::vector<std::string>& args, const std::optional<Account>& as) {
  std::vector<char*> argv;
  std::string prog = program.string();
  argv.push_back(prog.data());
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
    }
    // The server outlives this call: it must not hold our files, sockets
    // or capture handles.
    for (int fd = 3; fd < 4096; ++fd) ::close(fd);
    if (as) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(as->gid) != 0 || ::setuid(as->uid) != 0) ::_exit(126);
    }
    ::execv(prog.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool fail(std::string* why, std::string text) {
  if (why != nullptr) *why = std::move(text);
  return false;
}

}  // namespace

std::string pg_find_bin(const std::string& hint) {
  if (!hint.empty()) return has_tools(hint) ? hint : std::string();
  if (const char* env = std::getenv("TARNIX_PG_BIN"); env != nullptr && *env != '\0')
    return has_tools(env) ? std::string(env) : std::string();
  std::vector<std::pair<int, fs::path>> found;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    const fs::path bin = e.path() / "bin";
    if (has_tools(bin)) found.emplace_back(std::atoi(e.path().filename().c_str()), bin);
  }
  if (!found.empty()) return std::max_element(found.begin(), found.end())->second.string();
  if (const char* path = std::getenv("PATH")) {
    std::string rest = path;
    std::size_t start = 0;
    while (start <= rest.size()) {
      const std::size_t end = std::min(rest.find(':', start), rest.size());
      const std::string dir = rest.substr(start, end - start);
      if (!dir.empty() && has_tools(dir)) return dir;
      start = end + 1;
    }
  }
  return {};
}

std::string pg_private_conninfo(const std::string& dir, int port, const std::string& dbname) {
  return "host=" + quoted(fs::absolute(dir).string()) + " port=" + std::to_string(port) +
         " dbname=" + quoted(dbname) + " user=" + kPgUser + " connect_timeout=10";
}

bool pg_server_ready(const std::string& conninfo) {
  return PQping(conninfo.c_str()) == PQPING_OK;
}

bool pg_server_start(const std::string& dir_text, const std::string& bin_text, int port, std::string* why) {
  const fs::path dir = fs::absolute(dir_text);
  const fs::path bin = bin_text;
  std::error_code ec;
  // The socket's path must fit a socket address.
  if ((dir / ".s.PGSQL.00000").string().size() >= 100)
    return fail(why, "data folder path too long for the server's socket: " + dir.string());
  const auto as = server_account(dir);
  if (!fs::exists(dir / "PG_VERSION")) {
    fs::create_directories(dir, ec);
    if (ec) return fail(why, "cannot make " + dir.string() + ": " + ec.message());
    ::chmod(dir.c_str(), 0700);
    if (as && ::chown(dir.c_str(), as->uid, as->gid) != 0)
      return fail(why, "cannot hand " + dir.string() + " to the server's account");
    // Logins come only through the socket in the private folder, so the
    // folder's permissions are the password.
    const int rc = run(bin / "initdb", {"-D", dir.string(), "-U", kPgUser, "-A", "trust", "-E", "SQL_ASCII",
                                        "--locale=C", "--no-sync"},
                       as);
    if (rc != 0) return fail(why, "initdb failed in " + dir.string() + " (status " + std::to_string(rc) + ")");
    std::ofstream conf(dir / "postgresql.conf", std::ios::app);
    std::string sockdir;
    for (char c : dir.string()) sockdir += c == '\'' ? std::string("''") : std::string(1, c);
    conf << "\n# Tarnix: a private server, reached only through its folder\n"
         << "listen_addresses = ''\n"
         << "unix_socket_directories = '" << sockdir << "'\n"
         << "port = " << port << "\n";
    if (!conf) return fail(why, "cannot write the server's settings in " + dir.string());
  }
  // A server left running (or still starting) is used as it is.
  const PGPing ping = PQping(pg_private_conninfo(dir.string(), port, "postgres").c_str());
  if (ping == PQPING_OK || ping == PQPING_REJECT) return true;
  const int rc = run(bin / "pg_ctl", {"start", "-D", dir.string(), "-l", (dir / "server.log").string(), "-W", "-s"},
                     as);
  if (rc != 0)
    return fail(why, "pg_ctl start failed (status " + std::to_string(rc) + "); see " +
                         (dir / "server.log").string());
  return true;
}

bool pg_ensure_database(const std::string& dir, int port, std::string* why) {
  PGconn* c = PQconnectdb(pg_private_conninfo(dir, port, "postgres").c_str());
  if (PQstatus(c) != CONNECTION_OK) {
    std::string msg = PQerrorMessage(c);
    PQfinish(c);
    return fail(why, msg);
  }
  bool ok = true;
  PGresult* r = PQexec(c, "SELECT 1 FROM pg_database WHERE datname = 'tarnix'");
  const bool present = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0;
  PQclear(r);
  if (!present) {
    // Bytes from the wire are kept as they came, whatever their encoding.
    r = PQexec(c, "CREATE DATABASE tarnix TEMPLATE template0 ENCODING 'SQL_ASCII' LC_COLLATE 'C' LC_CTYPE 'C'");
    ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    if (!ok) fail(why, PQresultErrorMessage(r));
    PQclear(r);
  }
  PQfinish(c);
  return ok;
}

bool pg_server_stop(const std::string& dir, const std::string& bin) {
  if (bin.empty()) return false;
  const auto as = server_account(fs::absolute(dir));
  return run(fs::path(bin) / "pg_ctl", {"stop", "-D", fs::absolute(dir).string(), "-m", "fast", "-s", "-w"}, as) ==
         0;
}

}  // namespace tarnix
