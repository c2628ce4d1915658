// The modem simulator as the modem daemon meets it: sysfs entries, the AT
// dialogue on its ptys, the power line and the control FIFO.
#include <gtest/gtest.h>
#include <test_support.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// Bounds only a hang: on a loaded machine an answer may take seconds.
constexpr int kHang = 20000;

bool is_final(const std::string &l) {
    return l == "OK" || l == "ERROR" || l.rfind("+CME ERROR:", 0) == 0;
}

// The modem's tty as the daemon opens it: raw, read line by line.
class Tty {
  public:
    explicit Tty(const std::string &path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) return;
        termios t;
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~Tty() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // n bytes as they come, whatever they are
    std::string raw(size_t n, int ms = kHang) {
        long long end = ts::now_ms() + ms;
        while (buf_.size() < n && ts::now_ms() < end)
            fill(static_cast<int>(end - ts::now_ms()));
        std::string r = buf_.substr(0, n);
        buf_.erase(0, r.size());
        return r;
    }

    void send(const std::string &cmd) {
        std::string s = cmd + "\r";
        ASSERT_EQ(write(fd_, s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }

    // The next non-empty line, or "" after ms without one.
    std::string line(int ms = kHang) {
        long long end = ts::now_ms() + ms;
        for (;;) {
            size_t pos;
            while ((pos = buf_.find_first_of("\r\n")) != std::string::npos) {
                std::string l = buf_.substr(0, pos);
                buf_.erase(0, pos + 1);
                if (!l.empty()) return l;
            }
            long long left = end - ts::now_ms();
            if (left <= 0 || !fill(static_cast<int>(left))) return "";
        }
    }

    // Sends the command; every line up to and with the final result.
    Lines command(const std::string &cmd, int ms = kHang) {
        send(cmd);
        Lines out;
        for (;;) {
            std::string l = line(ms);
            if (l.empty()) return out;
            out.push_back(l);
            if (is_final(l)) return out;
        }
    }

    // The lines of the answer without echo and final line, and the final line.
    std::string ask(const std::string &cmd, Lines *info = nullptr) {
        Lines all = command(cmd);
        if (all.empty()) return "(no answer)";
        for (size_t i = 0; info && i + 1 < all.size(); i++)
            if (all[i] != cmd) info->push_back(all[i]);
        return all.back();
    }

    // Reads until end of file or an error: what the daemon's reader sees
    // when the modem goes away. True when that happened within ms.
    bool hangs_up(int ms) {
        long long end = ts::now_ms() + ms;
        while (ts::now_ms() < end) {
            pollfd p{fd_, POLLIN, 0};
            poll(&p, 1, 50);
            char b[512];
            ssize_t n = read(fd_, b, sizeof b);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
        }
        return false;
    }

  private:
    bool fill(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return false;
        char b[16384];
        ssize_t n = read(fd_, b, sizeof b);
        if (n <= 0) return false;
        buf_.append(b, static_cast<size_t>(n));
        return true;
    }
    int fd_ = -1;
    std::string buf_;
};

class ModemSim {
  public:
    explicit ModemSim(unsigned factor = 1) : root(factor) {}
    ~ModemSim() {
        proc.signal(SIGTERM);
        proc.wait(5000);
    }

    // model "": the one of the log that extra gives with --replay
    bool start(const std::string &model, const Lines &extra = {}) {
        Lines argv = {ts::bin_path("modemsim"), "--root", root.dir()};
        if (!model.empty()) argv.insert(argv.end(), {"--model", model});
        argv.insert(argv.end(), extra.begin(), extra.end());
        for (size_t i = 0; i + 1 < extra.size(); i++)
            if (extra[i] == "--id") id = "-" + extra[i + 1];
        ts::spawn(proc, argv, root.env());
        return ts::wait_until([&] { return ts::file_exists(sim("modemsim" + id + ".pid")); },
                              kHang);
    }

    std::string sim(const std::string &name) const { return root.dir() + "/sim/" + name; }
    std::string device(const std::string &usb = "1-1") const {
        return root.path("/sys/bus/usb/devices/" + usb);
    }
    std::string log() const { return ts::read_file(sim("modem" + id + ".log")); }
    bool log_has(const std::string &text, int ms = kHang) const {
        return ts::wait_until([&] { return ts::contains(log(), text); }, ms);
    }
    void ctl(const std::string &line) const {
        int fd = open(sim("modem" + id + ".ctl").c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        std::string s = line + "\n";
        ASSERT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
        close(fd);
    }
    void power(bool on) const {
        ts::append_file(root.path("/dev/gpio"), on ? "2 4000 0 1 0 4000\n" : "2 0 4000 0 1 4000\n");
    }

    // The tty of an interface as the daemon's scan finds it: "" when none.
    std::string tty_of(int iface, const std::string &usb = "1-1") const {
        char name[32];
        snprintf(name, sizeof name, "/%s:1.%d", usb.c_str(), iface);
        std::string dir = device(usb) + name;
        std::string found;
        if (DIR *d = opendir(dir.c_str())) {
            while (dirent *e = readdir(d))
                if (strncmp(e->d_name, "tty", 3) == 0) found = e->d_name;
            closedir(d);
        }
        return found;
    }
    std::string dev(const std::string &tty) const { return root.path("/dev/" + tty); }

    // Boot-clock seconds of the last log line holding text, -1 when none.
    double log_time(const std::string &text) const {
        double t = -1;
        for (const std::string &l : ts::read_lines(sim("modem.log")))
            if (ts::contains(l, text)) t = std::stod(l.substr(0, l.find(' ')));
        return t;
    }
    size_t log_count(const std::string &text) const { return ts::count_of(log(), text); }

    ts::TempRoot root;
    ts::Process proc;
    std::string id; // "-NAME" with --id NAME
};

struct ModelCase {
    const char *model;
    const char *vendor;
    const char *product;
    int at_iface;
    int second_iface;        // -1: none
    const char *own_query;   // a command of its family only
    const char *other_query; // the other family's
};

const ModelCase kModels[] = {
    {"asr", "1286", "4e3c", 3, 4, "AT+EPIN?", "AT+CPINEX?"},
    {"902d", "05c6", "902d", 4, -1, "AT+CPINEX?", "AT+EPIN?"},
    {"9025", "05c6", "9025", 3, 2, "AT$QCRSRP?", "AT+RSRP?"},
    {"9091", "05c6", "9091", 1, -1, "AT$QCRMCALL?", "AT+PMODS?"},
};

TEST(ModemSimEnumeration, EachModelShowsItsIdsInterfacesAndAnsweringTtys) {
    for (const ModelCase &m : kModels) {
        SCOPED_TRACE(m.model);
        ModemSim s;
        ASSERT_TRUE(s.start(m.model, {"--usb", "2-1", "--tty-base", "4"}));
        EXPECT_EQ(ts::read_file(s.device("2-1") + "/idVendor"), std::string(m.vendor) + "\n");
        EXPECT_EQ(ts::read_file(s.device("2-1") + "/idProduct"), std::string(m.product) + "\n");
        char num[8];
        snprintf(num, sizeof num, "%02x\n", m.at_iface);
        EXPECT_EQ(ts::read_file(s.device("2-1") + "/2-1:1." + std::to_string(m.at_iface) +
                                "/bInterfaceNumber"),
                  num);

        std::string at = s.tty_of(m.at_iface, "2-1");
        ASSERT_EQ(at.rfind("ttyUSB", 0), 0u) << at;
        EXPECT_GE(std::stoi(at.substr(6)), 4); // numbered from --tty-base
        char target[64] = {};
        ASSERT_GT(readlink(s.dev(at).c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u) << target;
        EXPECT_EQ(s.tty_of(m.second_iface, "2-1").empty(), m.second_iface < 0);

        Tty tty(s.dev(at));
        ASSERT_TRUE(tty.ok());
        EXPECT_EQ(tty.ask("AT"), "OK");
        Lines info;
        EXPECT_EQ(tty.ask(m.own_query, &info), "OK");
        EXPECT_EQ(tty.ask(m.other_query), "ERROR");
        if (m.second_iface >= 0) {
            Tty second(s.dev(s.tty_of(m.second_iface, "2-1")));
            EXPECT_EQ(second.ask("AT+CGSN"), "OK");
        }
    }
}

TEST(ModemSimDialogue, InitSequenceAndAnswerFormats) {
    ModemSim s;
    ASSERT_TRUE(s.start("9025"));
    Tty tty(s.dev(s.tty_of(3)));
    ASSERT_TRUE(tty.ok());
    // a modem starts with echo on; the daemon turns it off
    EXPECT_EQ(tty.command("ATQ0"), (Lines{"ATQ0", "OK"}));
    EXPECT_EQ(tty.command("ATE0"), (Lines{"ATE0", "OK"}));
    for (const char *c : {"ATV1", "ATS0=0", "AT+CMEE=1", "AT+CREG=2", "AT+CGREG=1", "AT+CCWA=1",
                          "AT+CMOD=0", "AT+CMUT=0", "AT+CSSN=0,1", "AT+COLP=0", "AT+CUSD=1",
                          "AT+CGEREP=1,0", "AT+CMGF=0", "AT+CSMS=1", "AT+CNMI=1,2,2,1,1"})
        EXPECT_EQ(tty.ask(c), "OK") << c;
    EXPECT_EQ(tty.command("ATI").size(), 5u);
    EXPECT_EQ(tty.command("AT+CREG?"), (Lines{"+CREG: 2,1,\"1A2B\",\"01C3D4E5\",7", "OK"}));
    EXPECT_EQ(tty.command("AT+CGREG?"), (Lines{"+CGREG: 1,1", "OK"}));
    EXPECT_EQ(tty.command("AT^IMEI?"), (Lines{"^IMEI: 861234567890123", "OK"}));
    EXPECT_EQ(tty.command("AT+CFUN?"), (Lines{"+CFUN: 1", "OK"}));
    EXPECT_EQ(tty.command("AT+COPS=3,0;+COPS?;+COPS=3,1;+COPS?;+COPS=3,2;+COPS?"),
              (Lines{"+COPS: 0,0,\"Simulated Network\",7", "+COPS: 0,1,\"SimNet\",7",
                     "+COPS: 0,2,\"00101\",7", "OK"}));
    EXPECT_EQ(tty.command("AT^SYSINFO"), (Lines{"^SYSINFO: 2,3,0,9,1", "OK"}));
    EXPECT_EQ(tty.command("at+csq"), (Lines{"+CSQ: 20,99", "OK"}));
    EXPECT_EQ(tty.command("AT+CIMI"), (Lines{"001010123456789", "OK"}));
    EXPECT_EQ(tty.ask("AT+NOSUCH"), "ERROR");
    EXPECT_EQ(tty.ask("AT+CFUN=9"), "+CME ERROR: 50");
    // an error ends the line: what follows it is not run
    EXPECT_EQ(tty.ask("AT+NOSUCH;+CFUN=0"), "ERROR");
    EXPECT_EQ(tty.command("AT+CFUN?"), (Lines{"+CFUN: 1", "OK"}));
    tty.send("ATV0");
    EXPECT_EQ(tty.line(), "0");

    // every command and every line sent is logged with its boot-clock time
    EXPECT_TRUE(s.log_has("ttyUSB3 > AT+CREG?"));
    EXPECT_TRUE(ts::contains(s.log(), "ttyUSB3 < +CREG: 2,1,\"1A2B\",\"01C3D4E5\",7"));
    std::regex stamp("^\\d+\\.\\d{3} \\S");
    for (const std::string &l : ts::read_lines(s.sim("modem.log")))
        EXPECT_TRUE(std::regex_search(l, stamp)) << l;
}

TEST(ModemSimDialogue, LineEditingNoiseAndOverlongLines) {
    ModemSim s;
    ASSERT_TRUE(s.start("9091", {"--echo", "0"}));
    Tty tty(s.dev(s.tty_of(1)));
    ASSERT_TRUE(tty.ok());
    tty.send("AT+CSX\bQ"); // backspace edits, as from a terminal
    EXPECT_EQ(tty.line(), "+CSQ: 20,99");
    EXPECT_EQ(tty.line(), "OK");
    tty.send("AT+CFUN=0\x1a");                     // Ctrl-Z drops the line
    tty.send("hello modem");                       // not a command: passed over
    EXPECT_EQ(tty.command("AT\n"), (Lines{"OK"})); // line feeds mean nothing
    EXPECT_EQ(tty.command("AT+CFUN?"), (Lines{"+CFUN: 1", "OK"}));
    EXPECT_EQ(tty.ask("AT+CGSN" + std::string(3000, '1')), "ERROR");
    EXPECT_EQ(tty.ask("AT"), "OK"); // in step after it
    EXPECT_TRUE(s.log_has("ttyUSB1 > hello modem"));

    // the diag port sends each 0x7E-terminated frame back
    Tty diag(s.dev(s.tty_of(0)));
    ASSERT_TRUE(diag.ok());
    const char frame[] = "\x01\x02\x03~";
    ASSERT_EQ(write(diag.fd(), frame, 4), 4);
    EXPECT_EQ(diag.raw(4), std::string(frame, 4));
}

TEST(ModemSimEnumeration, TwoModemsInOneRootKeepApart) {
    ModemSim root;
    ASSERT_TRUE(root.start("asr", {"--id", "a"}));
    ts::Process second;
    ts::spawn(second,
              {ts::bin_path("modemsim"), "--root", root.root.dir(), "--model", "9025", "--id", "b",
               "--usb", "1-2", "--tty-base", "5"},
              root.root.env());
    ASSERT_TRUE(ts::wait_until([&] { return ts::file_exists(root.sim("modemsim-b.pid")); }, kHang));
    EXPECT_EQ(ts::read_file(root.device("1-1") + "/idProduct"), "4e3c\n");
    EXPECT_EQ(ts::read_file(root.device("1-2") + "/idProduct"), "9025\n");
    EXPECT_EQ(root.tty_of(3, "1-1"), "ttyUSB1");
    EXPECT_EQ(root.tty_of(3, "1-2"), "ttyUSB8");

    root.id = "-b";
    root.ctl("unplug");
    ASSERT_TRUE(ts::wait_until([&] { return !ts::file_exists(root.device("1-2")); }, kHang));
    EXPECT_TRUE(ts::file_exists(root.device("1-1")));
    EXPECT_TRUE(root.log_has("ctl unplug"));
    EXPECT_FALSE(ts::contains(ts::read_file(root.sim("modem-a.log")), "ctl unplug"));
    second.signal(SIGTERM);
    EXPECT_TRUE(second.wait(kHang));
}

TEST(ModemSimDialogue, StateKeysChangeAnswersAndSendRegistrationLines) {
    ModemSim s;
    ASSERT_TRUE(s.start("asr", {"--echo", "0"}));
    Tty tty(s.dev(s.tty_of(3)));
    ASSERT_TRUE(tty.ok());
    EXPECT_EQ(tty.ask("AT+CMEE=1"), "OK");
    s.ctl("set creg2 error");
    ASSERT_TRUE(s.log_has("ctl set creg2 error"));
    EXPECT_EQ(tty.ask("AT+CREG=2"), "ERROR");
    EXPECT_EQ(tty.ask("AT+CREG=1"), "OK");
    EXPECT_EQ(tty.ask("AT+CGREG=2"), "OK");

    s.ctl("set cgreg 2");
    EXPECT_EQ(tty.line(), "+CGREG: 2");
    s.ctl("set reg 5");
    EXPECT_EQ(tty.line(), "+CREG: 5");
    EXPECT_EQ(tty.line(), "+CGREG: 5,\"1A2B\",\"01C3D4E5\",7");
    s.ctl("set sysmode 5");
    EXPECT_EQ(tty.line(), "^MODE: 5,4");
    EXPECT_EQ(tty.command("AT^SYSINFO"), (Lines{"^SYSINFO: 2,3,1,5,1", "OK"}));
    s.ctl("set csq 7");
    s.ctl("set nosuchkey 1");
    ASSERT_TRUE(s.log_has("ctl error: unknown key nosuchkey"));
    EXPECT_EQ(tty.command("AT+CSQ"), (Lines{"+CSQ: 7,99", "OK"}));

    // radio off: nothing registered, and the URCs say so
    EXPECT_EQ(tty.ask("AT+CFUN=0"), "OK");
    Lines urcs = {tty.line(), tty.line(), tty.line()};
    EXPECT_EQ(urcs, (Lines{"+CREG: 0", "+CGREG: 0", "^MODE: 0,0"}));
    EXPECT_EQ(tty.command("AT+COPS?"), (Lines{"+COPS: 0", "OK"}));
}

TEST(ModemSimSim, AbsentCardAnswersCmeTenOnceNumericErrorsAreOn) {
    ModemSim s;
    ASSERT_TRUE(s.start("902d", {"--sim", "absent", "--echo", "0"}));
    Tty tty(s.dev(s.tty_of(4)));
    ASSERT_TRUE(tty.ok());
    EXPECT_EQ(tty.ask("AT+CPIN?"), "ERROR");
    EXPECT_EQ(tty.ask("AT+CMEE=1"), "OK");
    for (const char *c : {"AT+CPIN?", "AT+CPINEX?", "AT+ICCID", "AT+CIMI", "AT+CLCK=\"SC\",2"})
        EXPECT_EQ(tty.ask(c), "+CME ERROR: 10") << c;
    EXPECT_EQ(tty.command("AT^SYSINFO"), (Lines{"^SYSINFO: 0,0,0,0,255", "OK"}));
    EXPECT_EQ(tty.ask("AT+CMEE=2"), "OK");
    EXPECT_EQ(tty.ask("AT+CPIN?"), "+CME ERROR: SIM not inserted");
}

TEST(ModemSimSim, PinAttemptsPukUnblockAndLock) {
    ModemSim s;
    ASSERT_TRUE(s.start("asr", {"--sim", "pin", "--pin", "4321", "--echo", "0"}));
    Tty tty(s.dev(s.tty_of(3)));
    ASSERT_TRUE(tty.ok());
    EXPECT_EQ(tty.ask("AT+CMEE=1"), "OK");
    EXPECT_EQ(tty.ask("AT+CREG=1"), "OK");
    EXPECT_EQ(tty.command("AT+CPIN?"), (Lines{"+CPIN: SIM PIN", "OK"}));
    EXPECT_EQ(tty.command("AT+CREG?"), (Lines{"+CREG: 1,0", "OK"}));
    EXPECT_EQ(tty.ask("AT+CIMI"), "+CME ERROR: 11");
    EXPECT_EQ(tty.ask("AT+CPIN=\"1111\""), "+CME ERROR: 16");
    EXPECT_EQ(tty.command("AT+EPIN?"), (Lines{"+EPIN: 2,3,10,10", "OK"}));
    EXPECT_EQ(tty.ask("AT+CPIN=\"4321\""), "OK");
    EXPECT_EQ(tty.line(), "+CREG: 1"); // registers once the card is open
    EXPECT_EQ(tty.line(), "^MODE: 9,17");
    EXPECT_EQ(tty.command("AT+EPIN?"), (Lines{"+EPIN: 3,3,10,10", "OK"}));
    EXPECT_EQ(tty.command("AT+CLCK=\"SC\",2"), (Lines{"+CLCK: 1", "OK"}));
    EXPECT_EQ(tty.ask("AT+CPWD=\"SC\",\"4321\",\"5555\""), "OK");

    // three wrong codes lock the card behind its PUK
    s.ctl("set sim pin");
    EXPECT_EQ(tty.line(), "+CREG: 0");
    EXPECT_EQ(tty.line(), "^MODE: 0,0");
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(tty.ask("AT+CPIN=\"0000\""), "+CME ERROR: 16");
    EXPECT_EQ(tty.command("AT+CPIN?"), (Lines{"+CPIN: SIM PUK", "OK"}));
    EXPECT_EQ(tty.ask("AT+CPIN=\"00000000\",\"1234\""), "+CME ERROR: 16");
    EXPECT_EQ(tty.command("AT+EPIN?"), (Lines{"+EPIN: 0,3,9,10", "OK"}));
    EXPECT_EQ(tty.ask("AT+CPIN=\"12345678\",\"2468\""), "OK");
    EXPECT_EQ(tty.line(), "+CREG: 1");
    EXPECT_EQ(tty.line(), "^MODE: 9,17");
    EXPECT_EQ(tty.command("AT+CPIN?"), (Lines{"+CPIN: READY", "OK"}));
    EXPECT_EQ(tty.ask("AT+CLCK=\"SC\",0,\"2468\""), "OK");
    EXPECT_EQ(tty.command("AT+CLCK=\"SC\",2"), (Lines{"+CLCK: 0", "OK"}));
}

TEST(ModemSimSim, NineX07ReportsAttemptsInCpinex) {
    ModemSim s;
    ASSERT_TRUE(s.start("9091", {"--sim", "pin", "--pin-tries", "2", "--echo", "0"}));
    Tty tty(s.dev(s.tty_of(1)));
    ASSERT_TRUE(tty.ok());
    EXPECT_EQ(tty.command("AT+CPINEX?"), (Lines{"+CPINEX: \"SIM PIN\",\"READY\",10,2", "OK"}));
}

TEST(ModemSimData, AsrContextActivationFollowsAttach) {
    ModemSim s;
    ASSERT_TRUE(s.start("asr", {"--echo", "0"}));
    Tty tty(s.dev(s.tty_of(3)));
    ASSERT_TRUE(tty.ok());
    EXPECT_EQ(tty.ask("AT+CMEE=1"), "OK");
    EXPECT_EQ(tty.command("AT+CGPADDR"), (Lines{"+CGPADDR: 1,\"0.0.0.0\"", "OK"}));
    EXPECT_EQ(tty.ask("AT+CGACT=1,1"), "OK");
    EXPECT_EQ(tty.ask("AT*NETACT=1,1,1"), "OK");
    EXPECT_EQ(tty.command("AT+CGPADDR"), (Lines{"+CGPADDR: 1,\"10.64.12.34\"", "OK"}));
    s.ctl("set addr 10.9.8.7");
    ASSERT_TRUE(s.log_has("ctl set addr"));
    EXPECT_EQ(tty.command("AT+CGPADDR"), (Lines{"+CGPADDR: 1,\"10.9.8.7\"", "OK"}));
    // losing the packet service takes the context down and refuses a new one
    s.ctl("set cgreg 2");
    ASSERT_TRUE(s.log_has("ctl set cgreg 2"));
    EXPECT_EQ(tty.command("AT+CGACT?"), (Lines{"+CGACT: 1,0", "OK"}));
    EXPECT_EQ(tty.ask("AT+CGACT=1,1"), "+CME ERROR: 30");
    s.ctl("set cgreg 1");
    s.ctl("set dial error");
    ASSERT_TRUE(s.log_has("ctl set dial error"));
    EXPECT_EQ(tty.ask("AT+CGACT=1,1"), "+CME ERROR: 148");
}

TEST(ModemSimData, NineX07CallAndAutoconnect) {
    ModemSim s;
    ASSERT_TRUE(s.start("9025", {"--echo", "0"}));
    Tty tty(s.dev(s.tty_of(3)));
    ASSERT_TRUE(tty.ok());
    EXPECT_EQ(tty.command("AT$QCRMCALL?"), (Lines{"OK"}));
    EXPECT_EQ(tty.command("AT$QCRMCALL=1,1,1,2,1"), (Lines{"$QCRMCALL: 1, V4", "OK"}));
    EXPECT_EQ(tty.command("AT$QCRMCALL?"), (Lines{"$QCRMCALL: 1, V4", "OK"}));
    s.ctl("set data down");
    ASSERT_TRUE(s.log_has("ctl set data down"));
    EXPECT_EQ(tty.command("AT$QCRMCALL?"), (Lines{"OK"}));

    ModemSim auto_sim;
    ASSERT_TRUE(auto_sim.start("902d", {"--echo", "0"}));
    Tty t902(auto_sim.dev(auto_sim.tty_of(4)));
    EXPECT_EQ(t902.command("AT+CGPADDR"), (Lines{"+CGPADDR: 1,\"10.64.12.34\"", "OK"}));
}

TEST(ModemSimData, DataHookFollowsTheCallItsAddressAndThePower) {
    ModemSim s;
    std::string record = s.root.dir() + "/hook.log";
    ASSERT_TRUE(s.start(
        "asr", {"--echo", "0", "--addr", "198.51.100.9", "--data-hook", "echo >>" + record}));
    Tty tty(s.dev(s.tty_of(3)));
    ASSERT_TRUE(tty.ok());
    EXPECT_EQ(tty.ask("AT+CGACT=1,1"), "OK");
    EXPECT_EQ(ts::read_file(record), "up 198.51.100.9\n"); // before the answer
    s.ctl("set addr 198.51.100.10");
    ASSERT_TRUE(s.log_has("carrier up 198.51.100.10"));
    s.ctl("set cgreg 0"); // detached: the call ends
    ASSERT_TRUE(s.log_has("carrier down"));
    EXPECT_EQ(tty.ask("AT+CGACT=1,1"), "ERROR"); // no packet service
    s.ctl("set cgreg 1");
    ASSERT_TRUE(s.log_has("ctl set cgreg 1"));
    EXPECT_EQ(tty.ask("AT+CGACT=1,1"), "OK");
    s.power(false);
    ASSERT_TRUE(s.log_has("power off"));
    EXPECT_TRUE(
        ts::wait_until([&] { return ts::count_of(ts::read_file(record), "down\n") == 2; }, kHang));
    EXPECT_EQ(ts::read_file(record),
              "up 198.51.100.9\nup 198.51.100.10\ndown\nup 198.51.100.10\ndown\n");
}

TEST(ModemSimSim, NetworkLockAndProgrammedProfiles) {
    ModemSim s;
    ASSERT_TRUE(s.start("9091", {"--echo", "0"}));
    Tty tty(s.dev(s.tty_of(1)));
    ASSERT_TRUE(tty.ok());
    EXPECT_EQ(tty.ask("AT+CMEE=1"), "OK");
    s.ctl("set sim phnet");
    EXPECT_EQ(tty.line(), "^MODE: 0,0"); // no longer registered
    EXPECT_EQ(tty.command("AT+CPIN?"), (Lines{"+CPIN: PH-NET PIN", "OK"}));
    EXPECT_EQ(tty.ask("AT+CIMI"), "+CME ERROR: 40");
    EXPECT_EQ(tty.command("AT+CGREG?"), (Lines{"+CGREG: 0,0", "OK"}));
    s.ctl("set sim ready");
    EXPECT_EQ(tty.line(), "^MODE: 9,17");
    EXPECT_EQ(tty.command("AT+CPIN?"), (Lines{"+CPIN: READY", "OK"}));

    EXPECT_EQ(tty.ask("AT+CGDCONT=1,\"IP\",\"web.sim\""), "OK");
    EXPECT_EQ(tty.ask("AT$QCPDPP=1,2,pw,me"), "OK");
    EXPECT_EQ(tty.ask("AT^NETCFG=0,32774,,,4,,,\"\",1,\"you\",\"pw2\""), "OK");
    EXPECT_TRUE(s.log_has("profile +CGDCONT cid 1 apn \"web.sim\" auth 0 user \"\" pass \"\""));
    EXPECT_TRUE(s.log_has("profile $QCPDPP cid 1 apn \"web.sim\" auth 2 user \"me\" pass \"pw\""));
    EXPECT_TRUE(
        s.log_has("profile ^NETCFG cid 1 apn \"web.sim\" auth 1 user \"you\" pass \"pw2\""));
}

TEST(ModemSimDialogue, AnswersInEachSpelling) {
    ModemSim s;
    ASSERT_TRUE(s.start("9025", {"--echo", "0"}));
    Tty tty(s.dev(s.tty_of(3)));
    ASSERT_TRUE(tty.ok());
    EXPECT_EQ(tty.ask("AT+CREG=2"), "OK");
    EXPECT_EQ(tty.ask("AT$QCRMCALL=1,1"), "OK");
    struct Case {
        const char *spelling, *command, *answer;
    } cases[] = {
        {"plain", "AT+CREG?", "+CREG: 2,1,\"1A2B\",\"01C3D4E5\",7"},
        {"commaspace", "AT+CREG?", "+CREG: 2, 1, \"1A2B\", \"01C3D4E5\", 7"},
        {"nocolonspace,zeropad", "AT+CREG?", "+CREG:02,01,\"1A2B\",\"01C3D4E5\",07"},
        {"bareloc,extra", "AT+CREG?", "+CREG: 2,1,1A2B,01C3D4E5,7,01"},
        {"extra", "AT+CGREG?", "+CGREG: 0,1,7"},
        {"empty", "AT+CGREG?", "+CGREG: 0,1,,"},
        {"quotedcpin", "AT+CPIN?", "+CPIN: \"READY\""},
        {"cnumbare", "AT+CNUM", "+CNUM: ,\"+15550100123\",145"},
        {"zeropad", "AT^SYSINFO", "^SYSINFO: 02,03,00,09,01"},
        {"qctight", "AT$QCRMCALL?", "$QCRMCALL: 1,V4"},
    };
    for (const auto &c : cases) {
        s.ctl(std::string("set spelling ") + c.spelling);
        ASSERT_TRUE(s.log_has(std::string("ctl set spelling ") + c.spelling));
        EXPECT_EQ(tty.command(c.command).front(), c.answer) << c.spelling;
    }
    s.ctl("set spelling cnumlines");
    s.ctl("set cnumalpha Own");
    ASSERT_TRUE(s.log_has("ctl set cnumalpha Own"));
    EXPECT_EQ(tty.command("AT+CNUM"), (Lines{"+CNUM: \"Own\",\"+15550100123\",145",
                                             "+CNUM: \"Fax\",\"+155501001239\",129", "OK"}));
    s.ctl("set spelling nosuchhabit");
    EXPECT_TRUE(s.log_has("ctl error: spelling: unknown habit nosuchhabit"));
    s.ctl("set reg 9"); // registration states beyond 5 exist (CSFB not preferred)
    EXPECT_EQ(tty.line(), "+CREG: 9");
    EXPECT_EQ(tty.line(), "^MODE: 0,0");
    EXPECT_EQ(tty.command("AT+CGREG?"), (Lines{"+CGREG: 0,9", "OK"}));
}

TEST(ModemSimPower, GpioPowerOffRemovesAndPowerOnReenumeratesFresh) {
    ModemSim s(10); // the boot clock runs ten times faster
    // lines from before the start do not count
    ts::append_file(s.root.path("/dev/gpio"), "2 0 4000 0 1 4000\n");
    ASSERT_TRUE(s.start("9025", {"--enum-ms", "3000"}));
    ASSERT_TRUE(ts::file_exists(s.device() + "/idVendor"));
    std::string at = s.tty_of(3);
    Tty tty(s.dev(at));
    ASSERT_TRUE(tty.ok());
    EXPECT_EQ(tty.command("ATE0"), (Lines{"ATE0", "OK"}));
    EXPECT_EQ(tty.ask("AT+CFUN=0"), "OK");

    ts::append_file(s.root.path("/dev/gpio"), "40 10 1 4000 0 4000\n2 10 5 4000 0 4000\n");
    ASSERT_TRUE(s.log_has("ttyUSB3 > AT+CFUN=0"));
    usleep(100000);
    EXPECT_TRUE(ts::file_exists(s.device())); // other pins and blinking change nothing

    s.power(false);
    EXPECT_TRUE(tty.hangs_up(kHang));
    EXPECT_FALSE(ts::file_exists(s.device()));
    struct stat st;
    EXPECT_NE(lstat(s.dev(at).c_str(), &st), 0);
    ASSERT_TRUE(s.log_has("usb removed"));
    EXPECT_LT(s.log().find("power off"), s.log().find("usb removed"));

    s.power(true);
    ASSERT_TRUE(ts::wait_until([&] { return s.log_count("usb added") == 2; }, kHang));
    EXPECT_TRUE(ts::file_exists(s.device() + "/idVendor"));
    double on = -1, added = -1;
    for (const std::string &l : ts::read_lines(s.sim("modem.log"))) {
        if (ts::contains(l, "power on")) on = std::stod(l);
        if (ts::contains(l, "usb added") && on >= 0) added = std::stod(l);
    }
    ASSERT_GE(on, 0);
    EXPECT_GE(added - on, 2.9); // --enum-ms of boot-clock time, not of real time

    Tty fresh(s.dev(s.tty_of(3)));
    ASSERT_TRUE(fresh.ok());
    EXPECT_EQ(fresh.command("AT+CFUN?"), (Lines{"AT+CFUN?", "+CFUN: 1", "OK"})); // start values
}

TEST(ModemSimPower, UnpoweredStartAndLateCommandTty) {
    ModemSim s(10);
    ASSERT_TRUE(s.start("902d", {"--powered", "0", "--enum-ms", "500", "--tty-late-ms", "4000"}));
    EXPECT_FALSE(ts::file_exists(s.device()));
    s.power(true);
    ASSERT_TRUE(s.log_has("usb added 1-1"));
    EXPECT_FALSE(s.tty_of(0).empty());
    EXPECT_TRUE(s.tty_of(4).empty()); // the command interface without its tty yet
    ASSERT_TRUE(s.log_has("tty added ttyUSB3"));
    EXPECT_GE(s.log_time("tty added") - s.log_time("usb added"), 3.9);
    Tty tty(s.dev(s.tty_of(4)));
    ASSERT_TRUE(tty.ok());
    EXPECT_EQ(tty.ask("AT"), "OK");
}

TEST(ModemSimFaults, SilentSlowAndInjectedLines) {
    ModemSim s(10);
    ASSERT_TRUE(s.start("9091", {"--echo", "0"}));
    Tty tty(s.dev(s.tty_of(1)));
    ASSERT_TRUE(tty.ok());

    s.ctl("silent on");
    ASSERT_TRUE(s.log_has("ctl silent on"));
    tty.send("AT+CSQ");
    EXPECT_EQ(tty.line(300), "");
    EXPECT_TRUE(s.log_has("ttyUSB1 > AT+CSQ")); // still logged
    s.ctl("silent off");
    ASSERT_TRUE(s.log_has("ctl silent off"));
    EXPECT_EQ(tty.ask("AT"), "OK");

    s.ctl("slow 5000");
    ASSERT_TRUE(s.log_has("ctl slow 5000"));
    EXPECT_EQ(tty.ask("AT+CGMR"), "OK");
    double asked = s.log_time("ttyUSB1 > AT+CGMR");
    double answered = -1;
    bool after = false;
    for (const std::string &l : ts::read_lines(s.sim("modem.log"))) {
        if (ts::contains(l, "> AT+CGMR")) after = true;
        if (after && ts::contains(l, "< OK")) {
            answered = std::stod(l);
            break;
        }
    }
    EXPECT_GE(answered - asked, 4.9);
    s.ctl("slow 0");

    s.ctl("urc +CLOCATION: \"1.5\",\"2.5\"");
    EXPECT_EQ(tty.line(), "+CLOCATION: \"1.5\",\"2.5\"");
    s.ctl("garbage 3");
    for (int i = 0; i < 3; i++) {
        std::string g = tty.line();
        ASSERT_FALSE(g.empty());
        EXPECT_TRUE(g[0] >= 'a' && g[0] <= 'z') << g;
    }
    s.ctl("longline 9000");
    EXPECT_EQ(tty.line().size(), 9000u);
    EXPECT_EQ(tty.ask("AT"), "OK"); // still in step afterwards
    s.ctl("bogus");
    EXPECT_TRUE(s.log_has("ctl error: unknown command"));
}

// What real modems do on the wire: deaf at first, then boot noise; answers
// in pieces, slow commands, an unsolicited line inside an answer.
TEST(ModemSimFaults, WireHabitsOfRealModems) {
    ModemSim s;
    // deaf long enough that the first command surely comes while it is
    ASSERT_TRUE(s.start("9091", {"--echo", "0", "--deaf-ms", "3000", "--boot-noise", "1", "--split",
                                 "4", "--latency", "+csq=800"}));
    Tty tty(s.dev(s.tty_of(1)));
    ASSERT_TRUE(tty.ok());
    tty.send("AT");
    EXPECT_TRUE(s.log_has("ttyUSB1 deaf: 3 bytes ignored"));
    EXPECT_EQ(tty.line(), "RDY");
    EXPECT_EQ(tty.line(), "+CPIN: READY");

    // answers in pieces of 4 bytes, 20 ms apart: the pieces of an answer of
    // some lines take long enough to come in more than one read even when
    // the reader is late
    auto pieces = [&](const std::string &command, std::string *got) {
        tty.send(command);
        int reads = 0;
        while (!ts::contains(*got, "OK\r\n")) {
            pollfd p{tty.fd(), POLLIN, 0};
            if (poll(&p, 1, kHang) != 1) break;
            char b[64];
            ssize_t n = read(tty.fd(), b, sizeof b);
            if (n <= 0) break;
            got->append(b, static_cast<size_t>(n));
            ++reads;
        }
        return reads;
    };
    std::string got;
    pieces("AT", &got);
    EXPECT_EQ(got.substr(got.find('\r')), "\r\nOK\r\n"); // after the noise's last \n
    got.clear();
    EXPECT_GT(pieces("ATI", &got), 1) << got;
    EXPECT_EQ(got.substr(got.size() - 6), "\r\nOK\r\n");

    EXPECT_EQ(tty.command("AT+CSQ"), (Lines{"+CSQ: 20,99", "OK"}));
    double asked = s.log_time("> AT+CSQ"), answered = s.log_time("< +CSQ: 20,99");
    EXPECT_GE(answered - asked, 0.79);

    s.ctl("interleave +CIEV: 2,3");
    ASSERT_TRUE(s.log_has("ctl interleave"));
    EXPECT_EQ(tty.command("AT+CSQ"), (Lines{"+CSQ: 20,99", "+CIEV: 2,3", "OK"}));
    EXPECT_EQ(tty.command("AT+CSQ"), (Lines{"+CSQ: 20,99", "OK"})); // once
}

TEST(ModemSimFaults, TtyGoneUnplugAndPlug) {
    ModemSim s(10);
    ASSERT_TRUE(s.start("asr", {"--enum-ms", "1000"}));
    std::string at = s.tty_of(3);
    Tty tty(s.dev(at));
    ASSERT_TRUE(tty.ok());

    s.ctl("ttygone");
    EXPECT_TRUE(tty.hangs_up(kHang));
    ASSERT_TRUE(s.log_has("tty gone " + at));
    struct stat st;
    EXPECT_NE(lstat(s.dev(at).c_str(), &st), 0);
    EXPECT_EQ(s.tty_of(3), at); // sysfs still shows it

    s.ctl("unplug");
    ASSERT_TRUE(ts::wait_until([&] { return !ts::file_exists(s.device()); }, kHang));
    s.ctl("plug");
    ASSERT_TRUE(ts::wait_until([&] { return s.log_count("usb added") == 2; }, kHang));
    EXPECT_GE(s.log_time("usb added") - s.log_time("ctl plug"), 0.9);
    Tty back(s.dev(s.tty_of(3)));
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.command("AT"), (Lines{"AT", "OK"}));

    // a reset through the command set drops off the bus and comes back; the
    // answer is checked in the log, as the hang-up 20 ms (real) later takes
    // what a late reader has not read yet with it
    std::string again = s.tty_of(3);
    back.send("AT+CFUN=1,1");
    EXPECT_TRUE(back.hangs_up(kHang));
    ASSERT_TRUE(s.log_has(again + " > AT+CFUN=1,1\n"));
    std::string after = s.log().substr(s.log().find(again + " > AT+CFUN=1,1\n"));
    EXPECT_TRUE(ts::contains(after, again + " < OK\n")) << after;
    ASSERT_TRUE(ts::wait_until([&] { return s.log_count("usb added") == 3; }, kHang));
}

// The modem of a daemon's log: its answers in order, a line where the log
// had it, and the departures said in the log; the faults still work.
TEST(ModemSimReplay, AnswersAsTheLogDidAndSaysWhereItDeparts) {
    ModemSim s;
    auto at = [](const char *uptime, const std::string &m) {
        return std::string("2026-01-01 10:00:00 ") + uptime + ": lted: " + m + "\n";
    };
    std::string log = s.root.path("/lted.log");
    ts::write_file(log, at("1.000", "ril_reinit_callback: cmd_dev: /dev/ttyUSB1 data_dev: "
                                    "/dev/ttyUSB2 mdm_ifname: eth0 mdm_type: 0x1") +
                            at("2.000", "AT> AT+CSQ") + at("2.001", "AT< +CSQ: 7,99") +
                            at("2.002", "AT< OK") + at("2.500", "AT< +CREG: 0") +
                            at("3.000", "AT> AT+CSQ") + at("3.001", "AT< +CSQ: 8,99") +
                            at("3.002", "AT< OK"));
    ASSERT_TRUE(s.start("", {"--replay", log}));
    Tty tty(s.dev(s.tty_of(3))); // the asr's AT tty
    ASSERT_TRUE(tty.ok());
    EXPECT_EQ(tty.command("AT+CSQ"), (Lines{"+CSQ: 7,99", "OK"}));
    long long sent = ts::now_ms();
    EXPECT_EQ(tty.line(), "+CREG: 0");
    EXPECT_GE(ts::now_ms() - sent, 400); // half a second after its command, as in the log
    EXPECT_EQ(tty.command("AT+CSQ"), (Lines{"+CSQ: 8,99", "OK"}));
    EXPECT_EQ(tty.command("AT+CSQ"), (Lines{"+CSQ: 8,99", "OK"}));
    EXPECT_EQ(tty.command("AT+COPS?"), (Lines{"ERROR"}));
    s.ctl("silent on");
    ASSERT_TRUE(s.log_has("ctl silent on"));
    EXPECT_EQ(tty.command("AT+CSQ", 500), Lines{});
    std::string l = s.log();
    EXPECT_TRUE(ts::contains(l, "replay: model asr (from the log)")) << l;
    EXPECT_EQ(ts::count_of(l, "divergence: "), 2u) << l;
    EXPECT_TRUE(ts::contains(l, "divergence: AT+CSQ: no recorded answer left, the last one again"));
    EXPECT_TRUE(ts::contains(l, "divergence: AT+COPS?: not in the log, ERROR"));
}

TEST(ModemSimExit, SigtermRemovesTheDevice) {
    ModemSim s;
    ASSERT_TRUE(s.start("9025"));
    std::string at = s.tty_of(3);
    s.proc.signal(SIGTERM);
    ASSERT_TRUE(s.proc.wait(kHang));
    EXPECT_EQ(s.proc.exit_code(), 0);
    EXPECT_FALSE(ts::file_exists(s.device()));
    struct stat st;
    EXPECT_NE(lstat(s.dev(at).c_str(), &st), 0);
    EXPECT_FALSE(ts::file_exists(s.sim("modemsim.pid")));
}

TEST(FirmwareStandIns, RecordTheirCallsOnlyInsideARoot) {
    ts::TempRoot root;
    for (const char *name : {"init_system", "telnetd", "reboot", "ntp.sh"}) {
        ts::Process p;
        Lines argv = {ts::source_path("sim/bin/") + name};
        if (std::string(name) == "init_system") argv.push_back("start");
        ts::spawn(p, argv, root.env());
        ASSERT_TRUE(p.wait(kHang));
        EXPECT_EQ(p.exit_code(), 0) << name;
    }
    EXPECT_EQ(ts::read_file(root.dir() + "/sim/calls.log"),
              "init_system start\ntelnetd\nreboot\nntp.sh\n");

    ts::Process outside;
    ts::spawn(outside, {ts::source_path("sim/bin/reboot")}, {"ROUTER_ROOT="});
    ASSERT_TRUE(outside.wait(kHang));
    EXPECT_EQ(outside.exit_code(), 1);
}

} // namespace
