// A small HTTP server for the sensor's read-only service port, on
// libmicrohttpd: one thread of its own polls every connection, and the
// library bounds what a client may hold (connections in all and per address,
// memory for the request line and headers, silence). A watchdog ends any
// connection older than its whole allowance, so a client that drips a byte
// now and then cannot keep one for ever. Only GET and HEAD are answered; a request with a
// body is refused. With a token every request must carry it as a bearer
// token, or it is answered 401.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "service/access.h"

struct MHD_Daemon;

namespace tarnix::service {

struct HttpRequest {
  std::string method;
  std::string path;
  std::map<std::string, std::string> query;
};

struct HttpResponse {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
};

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

struct HttpLimits {
  unsigned connections = 128;                 // at once; more wait in the kernel's backlog
  unsigned per_address = 32;                  // at once from one client address
  unsigned seconds_idle = 10;                 // a connection silent this long is closed
  unsigned seconds_whole = 30;                // and any connection this old
  std::size_t connection_memory = 32 * 1024;  // request line and headers must fit
  int headers = 64;                           // most header lines in one request
};

class HttpServer {
 public:
  HttpServer() = default;
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Port 0 takes any free port (see port()). False with the reason when the
  // address cannot be bound.
  bool start(const ListenAddress& where, std::string token, HttpHandler handler, HttpLimits limits,
             std::string& error);
  void stop();
  std::uint16_t port() const { return port_; }

  // What the library calls; not for use elsewhere.
  struct Context;

 private:
  MHD_Daemon* daemon_ = nullptr;
  std::uint16_t port_ = 0;
  Context* context_ = nullptr;
  std::thread watchdog_;
};

}  // namespace tarnix::service
