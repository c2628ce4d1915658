// The real web server in front of a simulated router's web back end.
#pragma once

#include "test_support.h"

#include <string>
#include <vector>

namespace ts {

// lighttpd serving every page of the web back end of a root at
// http://127.0.0.1:PORT/cgi-bin/<page>, on a free port, with the CGI
// environment of sim/web/setup. Stopped at destruction.
class WebServer {
  public:
    explicit WebServer(const TempRoot &root);
    ~WebServer();
    WebServer(const WebServer &) = delete;
    WebServer &operator=(const WebServer &) = delete;

    bool started() const { return port_ > 0; }
    int port() const { return port_; }
    std::string url(const std::string &page) const;
    // The server's error log (CGI failures land there).
    std::string error_log() const;

  private:
    const TempRoot &root_;
    Process server_;
    int port_ = -1;
};

// Starts curl (silent, 20 s at most) with the arguments; its standard output
// is the answer body.
void spawn_curl(Process &p, const std::vector<std::string> &args);
// Runs curl and returns the answer body.
std::string curl(const std::vector<std::string> &args);

} // namespace ts
