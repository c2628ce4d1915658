// The simulated router's data path for tests: the router's and the carrier's
// network namespaces joined by a veth pair (sim/carrier), named after this
// test process and removed at destruction; namespaces left by a test process
// that died are removed first.
#pragma once

#include "test_support.h"

#include <string>
#include <vector>

namespace ts {

// Empty when this process can make network namespaces, else why not.
std::string data_path_unavailable();

// In a test body: skips the test, saying why, where no data path can be made.
#define SKIP_WITHOUT_DATA_PATH()                                                                   \
    do {                                                                                           \
        std::string why_ = ts::data_path_unavailable();                                            \
        if (!why_.empty()) GTEST_SKIP() << "no data path (network namespaces): " << why_;          \
    } while (0)

class DataPath {
  public:
    static constexpr const char *kCarrierAddr = "198.51.100.1";

    // ifname: the modem's interface in the router's namespace ("usb0", "eth0").
    // Also puts the DHCP client script stand-in at "/sbin/udhcpc.sh" in the root.
    DataPath(const TempRoot &root, const std::string &ifname);
    ~DataPath();
    DataPath(const DataPath &) = delete;
    DataPath &operator=(const DataPath &) = delete;

    bool ok() const { return ok_; }
    const std::string &id() const { return id_; }
    std::string router_ns() const { return id_ + "-router"; }
    std::string carrier_ns() const { return id_ + "-carrier"; }
    // modemsim options: the data call hands out addr over this link
    std::vector<std::string> modemsim_args(const std::string &addr) const;
    // argv run inside the router's namespace
    std::vector<std::string> in_router(const std::vector<std::string> &argv) const;
    // A shell command inside one namespace; its exit status.
    int router_sh(const std::string &command) const;
    int carrier_sh(const std::string &command) const;

  private:
    std::string id_;
    bool ok_ = false;
};

} // namespace ts
