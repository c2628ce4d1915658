#include "web_server.h"

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ts {

namespace {

// A port of 127.0.0.1 that nothing listens on at this moment.
int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

bool accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

} // namespace

WebServer::WebServer(const TempRoot &root) : root_(root) {
    // another test may take the port between the choice and the start: try again
    for (int attempt = 0; attempt < 5 && port_ < 0; attempt++) {
        int port = free_port();
        Process setup;
        std::string webapi = bin_path("webapi");
        spawn(setup,
              {"/bin/sh", source_path("sim/web/setup"), root.dir(), std::to_string(port),
               webapi.substr(0, webapi.rfind('/'))},
              root.env());
        if (!setup.wait(20000) || setup.exit_code() != 0) return;
        spawn(server_, {"/usr/sbin/lighttpd", "-D", "-f", root.path("/sim/lighttpd.conf")},
              root.env());
        if (wait_until([&] { return !server_.running() || accepts(port); }, 10000) &&
            server_.running())
            port_ = port;
        else
            server_.wait(1000);
    }
}

WebServer::~WebServer() {
    if (server_.running()) {
        server_.signal(SIGTERM);
        server_.wait(10000);
    }
}

std::string WebServer::url(const std::string &page) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/cgi-bin/" + page;
}

std::string WebServer::error_log() const {
    return read_file(root_.path("/sim/lighttpd.error.log"));
}

void spawn_curl(Process &p, const std::vector<std::string> &args) {
    std::vector<std::string> argv = {"/usr/bin/curl", "-s", "--max-time", "20"};
    argv.insert(argv.end(), args.begin(), args.end());
    spawn(p, argv);
}

std::string curl(const std::vector<std::string> &args) {
    Process p;
    spawn_curl(p, args);
    p.wait(30000);
    return p.out();
}

} // namespace ts
