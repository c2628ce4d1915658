#include "modem_discovery.h"

#include "modem_dialect.h"
#include "platform.h"
#include "ril_context.h"
#include "sys_utils.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

namespace {

constexpr const char *kUsbDevices = "/sys/bus/usb/devices";
constexpr size_t kPathMax = 256;
constexpr size_t kTtyNameMax = 15;

struct SupportedModem {
    const char *vendor;
    const char *product;
    int type;
    const char *cmd_interface;
    const char *data_interface; // null: no second tty
    const char *ifname;
    const ModemDialect *dialect;
};

// A new modem type is a row here, with a dialect of its own when none of
// these speaks its commands.
constexpr SupportedModem kModems[] = {
    {"1286", "4e3c", MODEM_ASR, "03", "04", "eth0", &DIALECT_ASR},
    {"05c6", "902d", MODEM_MDM_902D, "04", nullptr, "usb0", &DIALECT_MDM_902D},
    {"05c6", "9025", MODEM_MDM_9025, "03", "02", "usb0", &DIALECT_MDM_DATA_CALL},
    {"05c6", "9091", MODEM_MDM_9091, "01", nullptr, "usb0", &DIALECT_MDM_DATA_CALL},
};

const SupportedModem *find_modem(const char *vendor, const char *product) {
    for (const auto &m : kModems)
        if (strcmp(m.vendor, vendor) == 0 && strcmp(m.product, product) == 0) return &m;
    return nullptr;
}

bool dot_entry(const char *name) {
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// A path that does not fit is skipped rather than cut: a cut name could
// point at another device's file.
bool build_path(char *buf, const char *a, const char *b, const char *c, const char *d) {
    int n = c ? (d ? snprintf(buf, kPathMax, "%s/%s/%s/%s", a, b, c, d)
                   : snprintf(buf, kPathMax, "%s/%s/%s", a, b, c))
              : snprintf(buf, kPathMax, "%s/%s", a, b);
    return n > 0 && static_cast<size_t>(n) < kPathMax;
}

// The first "tty*" entry of an interface directory; false when there is none.
bool interface_tty(const char *dir_path, char *tty, size_t size) {
    RouterPath dir_real(dir_path);
    DIR *dir = opendir(dir_real.c_str());
    if (!dir) return false;
    bool found = false;
    while (dirent *e = readdir(dir)) {
        if (strncmp(e->d_name, "tty", 3) != 0) continue;
        // a longer name would be cut into a path to some other device
        size_t len = strlen(e->d_name);
        if (len <= kTtyNameMax && len < size) {
            memcpy(tty, e->d_name, len + 1);
            found = true;
        }
        break;
    }
    closedir(dir);
    return found;
}

void scan_device(ModemContext *ctx, const char *device) {
    char path[kPathMax];
    // one more byte than the four hex digits, so longer ids never match
    char vendor[8], product[8];
    if (!build_path(path, kUsbDevices, device, "idVendor", nullptr) ||
        read_file_string(path, vendor, sizeof vendor) != 0)
        return;
    if (!build_path(path, kUsbDevices, device, "idProduct", nullptr) ||
        read_file_string(path, product, sizeof product) != 0)
        return;
    if (!build_path(path, kUsbDevices, device, nullptr, nullptr)) return;
    RouterPath dev_real(path);
    DIR *dev_dir = opendir(dev_real.c_str());
    if (!dev_dir) return;
    const SupportedModem *modem = find_modem(vendor, product);
    while (dirent *e = readdir(dev_dir)) {
        if (dot_entry(e->d_name)) continue;
        char number[8];
        if (!build_path(path, kUsbDevices, device, e->d_name, "bInterfaceNumber") ||
            read_file_string(path, number, sizeof number) != 0)
            continue;
        char tty[kTtyNameMax + 1];
        if (!build_path(path, kUsbDevices, device, e->d_name, nullptr) ||
            !interface_tty(path, tty, sizeof tty))
            continue;
        if (!modem) continue;
        if (strcmp(number, modem->cmd_interface) == 0)
            snprintf(ctx->cmd_dev, sizeof ctx->cmd_dev, "/dev/%s", tty);
        if (modem->data_interface && strcmp(number, modem->data_interface) == 0)
            snprintf(ctx->data_dev, sizeof ctx->data_dev, "/dev/%s", tty);
        snprintf(ctx->ifname, sizeof ctx->ifname, "%s", modem->ifname);
        ctx->modem_type = modem->type;
    }
    closedir(dev_dir);
}

} // namespace

const ModemDialect *modem_dialect(int modem_type) {
    for (const auto &m : kModems)
        if (m.type == modem_type) return m.dialect;
    return nullptr;
}

const char *modem_type_name(int modem_type) {
    const ModemDialect *dialect = modem_dialect(modem_type);
    return dialect ? dialect->family : nullptr;
}

int modem_scan_usb(ModemContext *ctx) {
    ctx->cmd_dev[0] = '\0';
    ctx->data_dev[0] = '\0';
    ctx->ifname[0] = '\0';
    ctx->modem_type = MODEM_NONE;

    RouterPath devices(kUsbDevices);
    DIR *dir = opendir(devices.c_str());
    if (!dir) return -5;
    while (dirent *e = readdir(dir)) {
        if (dot_entry(e->d_name)) continue;
        scan_device(ctx, e->d_name);
    }
    closedir(dir);

    write_file_string("/var/run/mdm_cmd_dev", ctx->cmd_dev);
    write_file_string("/var/run/mdm_data_dev", ctx->data_dev);
    write_file_string("/var/run/mdm_ifname", ctx->ifname);
    if (const char *type = modem_type_name(ctx->modem_type)) {
        write_file_string("/var/run/mdm_type", type);
    } else {
        RouterPath type_file("/var/run/mdm_type");
        unlink(type_file.c_str());
    }
    return ctx->modem_type == MODEM_NONE ? -1 : 0;
}
