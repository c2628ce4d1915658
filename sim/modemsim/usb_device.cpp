// The modem on the USB bus: its sysfs directory, its interfaces and one pty
// per serial interface with a /dev/ttyUSB<k> link to the pty's slave.
#include "modemsim.h"

#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Interfaces in number order; serial ones get ttyUSB<base>, <base+1>, ...
constexpr ModelDef kModels[] = {
    {"asr",
     ModelId::Asr,
     "1286",
     "4e3c",
     "eth0",
     "LTE Module 4E3C",
     "SIM4E3C_V1.2.07 2023/11/20",
     "-95",
     "-10",
     false,
     5,
     {{0, false, PortRole::Quiet, true},
      {1, false, PortRole::Quiet, false},
      {2, true, PortRole::Diag, false},
      {3, true, PortRole::At, false},
      {4, true, PortRole::Second, false}}},
    {"902d",
     ModelId::Mdm902d,
     "05c6",
     "902d",
     "usb0",
     "LTE Module 902D",
     "SIM902D.01.002 2022-08-15",
     "-095",
     "-010",
     true,
     5,
     {{0, true, PortRole::Diag, false},
      {1, true, PortRole::Quiet, false},
      {2, true, PortRole::Quiet, false},
      {3, false, PortRole::Quiet, true},
      {4, true, PortRole::At, false}}},
    {"9025",
     ModelId::Mdm9025,
     "05c6",
     "9025",
     "usb0",
     "LTE Module 9025",
     "SIM9025.03.011 2023-02-27",
     "-095",
     "-010",
     false,
     5,
     {{0, true, PortRole::Diag, false},
      {1, true, PortRole::Quiet, false},
      {2, true, PortRole::Second, false},
      {3, true, PortRole::At, false},
      {4, false, PortRole::Quiet, true}}},
    {"9091",
     ModelId::Mdm9091,
     "05c6",
     "9091",
     "usb0",
     "LTE Module 9091",
     "SIM9091.02.004 2024-01-09",
     "-095",
     "-010",
     false,
     4,
     {{0, true, PortRole::Diag, false},
      {1, true, PortRole::At, false},
      {2, true, PortRole::Quiet, false},
      {3, false, PortRole::Quiet, true}}},
};

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    remove(path);
    return 0;
}

void remove_tree(const char *path) {
    nftw(path, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// "DIR/NAME"; false (and said) when it does not fit, so nothing is made
// under a cut path.
bool join_path(char *out, size_t size, const char *dir, const char *name) {
    int n = snprintf(out, size, "%s/%s", dir, name);
    if (n >= 0 && static_cast<size_t>(n) < size) return true;
    fprintf(stderr, "modemsim: path too long: %s/%s\n", dir, name);
    return false;
}

bool write_text(const char *dir, const char *name, const char *text) {
    char path[700];
    if (!join_path(path, sizeof path, dir, name)) return false;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t len = strlen(text);
    bool ok = write(fd, text, len) == static_cast<ssize_t>(len);
    close(fd);
    return ok;
}

void make_dir(const char *path) {
    if (mkdir(path, 0755) != 0 && errno != EEXIST)
        fprintf(stderr, "modemsim: mkdir %s: %s\n", path, strerror(errno));
}

void devices_dir(char *out, size_t size) {
    RouterPath p("/sys/bus/usb/devices");
    snprintf(out, size, "%s", p.c_str());
}

// Built aside and renamed into place, so a scan never sees half a device.
void stage_dir(const Sim *s, char *out, size_t size) {
    RouterPath p("/sys/bus/usb");
    snprintf(out, size, "%s/.modemsim-%s", p.c_str(), s->opt.usb);
}

void interface_dir(const char *device, const char *usb, int number, char *out, size_t size) {
    snprintf(out, size, "%s/%s:1.%d", device, usb, number);
}

void dev_link_path(const Port *p, char *out, size_t size) {
    char sys[32];
    snprintf(sys, sizeof sys, "/dev/%s", p->name);
    RouterPath path(sys);
    snprintf(out, size, "%s", path.c_str());
}

int open_pty(Sim *s, Port *p) {
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0) {
        sim_log(s, "%s: no pty: %s", p->name, strerror(errno));
        return -1;
    }
    char slave_name[64];
    if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, slave_name, sizeof slave_name) != 0) {
        sim_log(s, "%s: pty set-up failed: %s", p->name, strerror(errno));
        close(m);
        return -1;
    }
    int sl = open(slave_name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (sl < 0) {
        sim_log(s, "%s: %s: %s", p->name, slave_name, strerror(errno));
        close(m);
        return -1;
    }
    // raw both ways: no echo, no line editing, no CR/NL translation
    termios t;
    if (tcgetattr(sl, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(sl, TCSANOW, &t);
    }
    if (tcgetattr(m, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(m, TCSANOW, &t);
    }
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    p->master = m;
    p->slave = sl;
    p->open = true;
    return 0;
}

// The /dev link appears at once: a reader never meets a dangling half-state.
void link_port(Sim *s, const Port *p) {
    char slave_name[64], link[512], tmp[540];
    if (ptsname_r(p->master, slave_name, sizeof slave_name) != 0) return;
    dev_link_path(p, link, sizeof link);
    snprintf(tmp, sizeof tmp, "%s.modemsim-new", link);
    unlink(tmp);
    if (symlink(slave_name, tmp) != 0 || rename(tmp, link) != 0) {
        sim_log(s, "%s: link %s: %s", p->name, link, strerror(errno));
        unlink(tmp);
    }
}

void unlink_port(const Port *p) {
    char link[512];
    dev_link_path(p, link, sizeof link);
    unlink(link);
}

void make_tty_entry(const char *iface_dir, const Port *p) {
    char path[700];
    if (join_path(path, sizeof path, iface_dir, p->name)) make_dir(path);
}

void top_level_links(const Sim *s, bool create) {
    char devices[512], link[600], target[128];
    devices_dir(devices, sizeof devices);
    const ModelDef *m = s->opt.model;
    for (int i = 0; i < m->iface_count; i++) {
        snprintf(link, sizeof link, "%s/%s:1.%d", devices, s->opt.usb, m->ifaces[i].number);
        unlink(link);
        if (!create) continue;
        // like sysfs, every interface is listed beside the devices as well
        snprintf(target, sizeof target, "%s/%s:1.%d", s->opt.usb, s->opt.usb, m->ifaces[i].number);
        if (symlink(target, link) != 0) continue; // a listing nicety only
    }
}

} // namespace

const ModelDef *model_find(const char *name) {
    for (const ModelDef &m : kModels)
        if (strcmp(m.name, name) == 0) return &m;
    return nullptr;
}

bool model_is_asr(const ModelDef *m) {
    return m->id == ModelId::Asr;
}

Port *device_at_port(Sim *s) {
    if (!s->present || s->at_port < 0) return nullptr;
    Port *p = &s->ports[s->at_port];
    return p->open ? p : nullptr;
}

void device_cleanup_stale(Sim *s) {
    char devices[512], path[600];
    devices_dir(devices, sizeof devices);
    snprintf(path, sizeof path, "%s/%s", devices, s->opt.usb);
    remove_tree(path);
    stage_dir(s, path, sizeof path);
    remove_tree(path);
    top_level_links(s, false);
}

void device_enumerate(Sim *s) {
    if (s->present) return;
    const ModelDef *m = s->opt.model;
    char devices[512], stage[512], dir[600], text[64];
    devices_dir(devices, sizeof devices);
    stage_dir(s, stage, sizeof stage);
    remove_tree(stage);
    make_dir(stage);
    snprintf(text, sizeof text, "%s\n", m->vendor);
    write_text(stage, "idVendor", text);
    snprintf(text, sizeof text, "%s\n", m->product);
    write_text(stage, "idProduct", text);
    write_text(stage, "manufacturer", "modemsim\n");
    snprintf(text, sizeof text, "%s\n", m->product_name);
    write_text(stage, "product", text);
    snprintf(text, sizeof text, "%2d\n", m->iface_count);
    write_text(stage, "bNumInterfaces", text);
    write_text(stage, "speed", "480\n");

    bool late = false;
    int k = 0;
    s->at_port = -1;
    for (int i = 0; i < m->iface_count; i++) {
        const InterfaceDef &def = m->ifaces[i];
        interface_dir(stage, s->opt.usb, def.number, dir, sizeof dir);
        make_dir(dir);
        snprintf(text, sizeof text, "%02x\n", def.number);
        write_text(dir, "bInterfaceNumber", text);
        write_text(dir, "bInterfaceClass", def.tty ? "ff\n" : "02\n");
        if (def.net) {
            char net[640];
            snprintf(net, sizeof net, "%s/net", dir);
            make_dir(net);
            snprintf(net, sizeof net, "%s/net/%s", dir, m->ifname);
            make_dir(net);
        }
        if (!def.tty) continue;
        Port *p = &s->ports[k];
        *p = Port{};
        p->master = p->slave = -1;
        p->iface = def.number;
        p->role = def.role;
        snprintf(p->name, sizeof p->name, "ttyUSB%d", s->opt.tty_base + k);
        k++;
        if (def.role == PortRole::At) s->at_port = static_cast<int>(p - s->ports);
        if (open_pty(s, p) != 0) continue;
        if (def.role == PortRole::At && s->opt.tty_late_ms > 0) {
            late = true;
            continue;
        }
        link_port(s, p);
        make_tty_entry(dir, p);
    }
    s->port_count = k;

    char target[600];
    snprintf(target, sizeof target, "%s/%s", devices, s->opt.usb);
    remove_tree(target);
    if (rename(stage, target) != 0) sim_log(s, "usb: rename to %s: %s", target, strerror(errno));
    top_level_links(s, true);
    s->present = true;
    s->enumerations++;
    modem_reset(s);
    sim_log(s, "usb added %s", s->opt.usb);
    s->tty_late_at = late ? boot_now_ns() + s->opt.tty_late_ms * 1000000 : 0;
    if (!late) port_start_deaf(s);
}

void device_show_late_tty(Sim *s) {
    s->tty_late_at = 0;
    if (!s->present || s->at_port < 0) return;
    Port *p = &s->ports[s->at_port];
    if (!p->open) return;
    char devices[512], device[560], dir[640];
    devices_dir(devices, sizeof devices);
    snprintf(device, sizeof device, "%s/%s", devices, s->opt.usb);
    interface_dir(device, s->opt.usb, p->iface, dir, sizeof dir);
    link_port(s, p); // the link first: whoever sees the sysfs entry can open it
    make_tty_entry(dir, p);
    sim_log(s, "tty added %s", p->name);
    port_start_deaf(s);
}

void device_tty_gone(Sim *s) {
    Port *p = device_at_port(s);
    if (!p) return;
    unlink_port(p);
    port_close(s, p);
    s->tty_late_at = 0;
    sim_log(s, "tty gone %s", p->name);
}

void device_unplug(Sim *s) {
    s->plugged = false;
    s->enum_at = 0;
    device_remove(s);
}

void device_plug(Sim *s, int64_t now) {
    s->plugged = true;
    if (s->powered && !s->present && !s->enum_at) s->enum_at = now + s->opt.enum_ms * 1000000;
}

void device_remove(Sim *s) {
    s->tty_late_at = 0;
    s->ready_at = 0;
    s->reset_at = 0;
    s->location_at = 0;
    if (!s->present) return;
    char devices[512], target[600], stage[512];
    devices_dir(devices, sizeof devices);
    snprintf(target, sizeof target, "%s/%s", devices, s->opt.usb);
    stage_dir(s, stage, sizeof stage);
    top_level_links(s, false);
    remove_tree(stage);
    // gone from the bus in one step; the files are deleted once the ttys are closed
    bool staged = rename(target, stage) == 0;
    if (!staged) remove_tree(target);
    for (int i = 0; i < s->port_count; i++) {
        Port *p = &s->ports[i];
        if (!p->open) continue;
        unlink_port(p);
        port_close(s, p);
    }
    if (staged) remove_tree(stage);
    s->present = false;
    sim_log(s, "usb removed");
}
