#include "service/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "core/mutex.h"

namespace tarnix::service {

struct HttpServer::Context {
  std::string token;
  HttpHandler handler;
  HttpLimits limits;

  struct Open {
    int fd;
    std::chrono::steady_clock::time_point since;
    bool cut;
  };
  Mutex mutex;
  std::map<MHD_Connection*, Open> open GUARDED_BY(mutex);
  bool stopping GUARDED_BY(mutex) = false;
  std::condition_variable wake;
};

namespace {

// Marks a connection whose first call has been seen.
int g_seen_marker = 0;

MHD_Result send(MHD_Connection* connection, const HttpResponse& r, bool head) {
  MHD_Response* response = MHD_create_response_from_buffer(
      head ? 0 : r.body.size(), const_cast<char*>(r.body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, "Content-Type", r.content_type.c_str());
  MHD_add_response_header(response, "Cache-Control", "no-store");
  if (r.status == 401) MHD_add_response_header(response, "WWW-Authenticate", "Bearer realm=\"tarnix\"");
  const MHD_Result rc = MHD_queue_response(connection, static_cast<unsigned>(r.status), response);
  MHD_destroy_response(response);
  return rc;
}

HttpResponse plain(int status, const char* text) {
  return HttpResponse{status, "text/plain; charset=utf-8", text};
}

MHD_Result collect_query(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* query = static_cast<std::map<std::string, std::string>*>(cls);
  if (key != nullptr) (*query)[key] = value != nullptr ? value : "";
  return MHD_YES;
}

MHD_Result answer(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char*, std::size_t* upload_size, void** state) {
  const auto& ctx = *static_cast<const HttpServer::Context*>(cls);
  const bool get = std::strcmp(method, "GET") == 0;
  const bool head = std::strcmp(method, "HEAD") == 0;
  if (*state == nullptr) {
    *state = &g_seen_marker;
    // Refused at once, before any body is read.
    if (!get && !head) return send(connection, plain(405, "only GET and HEAD are answered\n"), false);
    const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
    if ((length != nullptr && std::strcmp(length, "0") != 0) ||
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Transfer-Encoding") != nullptr)
      return send(connection, plain(413, "a request here carries no body\n"), head);
    if (MHD_get_connection_values(connection, MHD_HEADER_KIND, nullptr, nullptr) > ctx.limits.headers)
      return send(connection, plain(431, "too many header lines\n"), head);
    return MHD_YES;
  }
  if (*upload_size != 0) {
    *upload_size = 0;
    return MHD_YES;
  }
  if (!ctx.token.empty()) {
    const char* auth = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Authorization");
    if (!token_matches(ctx.token, bearer_token(auth != nullptr ? auth : "")))
      return send(connection, plain(401, "a bearer token is needed\n"), head);
  }
  HttpRequest request;
  request.method = method;
  request.path = url;
  MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, collect_query, &request.query);
  HttpResponse response;
  try {
    response = ctx.handler(request);
  } catch (const std::exception&) {
    response = plain(500, "the answer could not be made\n");
  }
  return send(connection, response, head);
}

// The library tells of each connection's start and end; the watchdog knows
// its socket only in between, so it never touches a socket reused since.
void on_connection(void* cls, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code) {
  auto& ctx = *static_cast<HttpServer::Context*>(cls);
  MutexLock lock(ctx.mutex);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info != nullptr) ctx.open[connection] = {info->connect_fd, std::chrono::steady_clock::now(), false};
  } else {
    ctx.open.erase(connection);
  }
}

void watchdog(HttpServer::Context& ctx) {
  const auto whole = std::chrono::seconds(ctx.limits.seconds_whole);
  MutexLock lock(ctx.mutex);
  while (!ctx.stopping) {
    lock.wait_for(ctx.wake, std::chrono::milliseconds(500));
    if (ctx.stopping) break;
    const auto now = std::chrono::steady_clock::now();
    for (auto& [connection, open] : ctx.open) {
      // Shut down, not closed: the library sees the end, closes the socket
      // and frees the connection itself.
      if (!open.cut && now - open.since >= whole) {
        ::shutdown(open.fd, SHUT_RDWR);
        open.cut = true;
      }
    }
  }
}

}  // namespace

HttpServer::~HttpServer() {
  stop();
}

bool HttpServer::start(const ListenAddress& where, std::string token, HttpHandler handler, HttpLimits limits,
                       std::string& error) {
  stop();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(where.port);
  if (inet_pton(AF_INET, where.host.c_str(), &address.sin_addr) != 1) {
    error = "'" + where.host + "' is not a dotted IPv4 address";
    return false;
  }
  context_ = new Context{std::move(token), std::move(handler), limits};
  daemon_ = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, where.port, nullptr, nullptr, &answer, context_,
      MHD_OPTION_SOCK_ADDR, reinterpret_cast<const sockaddr*>(&address), MHD_OPTION_CONNECTION_LIMIT,
      limits.connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits.per_address,
      MHD_OPTION_CONNECTION_TIMEOUT, limits.seconds_idle, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      limits.connection_memory, MHD_OPTION_NOTIFY_CONNECTION, &on_connection, context_,
      MHD_OPTION_STRICT_FOR_CLIENT, 1, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    error = "cannot listen on " + where.host + ":" + std::to_string(where.port) +
            " (address in use, or not this computer's)";
    delete context_;
    context_ = nullptr;
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info != nullptr ? info->port : where.port;
  watchdog_ = std::thread([ctx = context_] { watchdog(*ctx); });
  return true;
}

void HttpServer::stop() {
  if (watchdog_.joinable()) {
    {
      MutexLock lock(context_->mutex);
      context_->stopping = true;
    }
    context_->wake.notify_all();
    watchdog_.join();
  }
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  delete context_;
  context_ = nullptr;
}

}  // namespace tarnix::service
