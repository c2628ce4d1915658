// Reading the modem daemon's log for a replay, and which recorded answer a
// command gets.
#include <replay_log.h>

#include <gtest/gtest.h>
#include <test_support.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// "2026-01-01 10:00:00  12.345: MESSAGE\n" as the daemon writes it
std::string at(const char *uptime, const std::string &message) {
    char header[64];
    snprintf(header, sizeof header, "2026-01-01 10:00:00 %10s: ", uptime);
    return header + message + "\n";
}

struct Parsed {
    ReplayLog log;
    explicit Parsed(const std::string &text) {
        replay_log_init(&log);
        replay_log_feed(&log, text.data(), text.size());
        replay_log_finish(&log);
    }
    ~Parsed() { replay_log_free(&log); }

    // "SEGMENT COMMAND: LINE@MS | ..." per occurrence, then "SEGMENT ~ LINE @MS
    // after GATE" and "SEGMENT loss @MS for MS after GATE" per event.
    Lines render() const {
        Lines out;
        for (int i = 0; i < log.occurrence_count; ++i) {
            const ReplayOccurrence &o = log.occurrences[i];
            std::string s = std::to_string(o.segment) + " " +
                            replay_text(&log, log.commands[o.command].text) + ":";
            for (int k = 0; k < o.line_count; ++k) {
                const ReplayAnswerLine &l = log.lines[o.first_line + k];
                s += (k ? " | " : " ") + std::string(replay_text(&log, l.text)) + "@" +
                     std::to_string(l.after_ms);
            }
            if (o.cut)
                s += " (cut)";
            else if (!o.answered)
                s += " (silent)";
            if (o.call) s += o.call > 0 ? " (call up)" : " (call down)";
            out.push_back(s);
        }
        for (int i = 0; i < log.event_count; ++i) {
            const ReplayEvent &e = log.events[i];
            std::string s = std::to_string(e.segment);
            if (e.kind == ReplayEventKind::Line)
                s +=
                    std::string(" ~ ") + replay_text(&log, e.text) + " @" + std::to_string(e.at_ms);
            else
                s += " loss @" + std::to_string(e.at_ms) + " for " + std::to_string(e.absent_ms);
            out.push_back(s + " after " + std::to_string(e.gate));
        }
        return out;
    }
};

const char *kFound9025 = "lted: ril_reinit_callback: cmd_dev: /dev/ttyUSB3 data_dev: /dev/ttyUSB2 "
                         "mdm_ifname: usb0 mdm_type: 0x3";

struct ParseCase {
    const char *what;
    std::string log;
    int model_type;
    Lines parsed;
    long damaged;
    int segments;
    long skipped = 0;
};

TEST(ReplayLog, ReadsTheDaemonsLog) {
    const ParseCase cases[] = {
        {"answers, a line between commands, one inside an answer",
         at("1.000", "lted: ril_reinit_callback: cmd_dev: /dev/ttyUSB1 data_dev: /dev/ttyUSB2 "
                     "mdm_ifname: eth0 mdm_type: 0x1") +
             at("2.000", "lted: AT> ATE0") + at("2.010", "lted: AT< ATE0") +
             at("2.011", "lted: AT< OK") + at("3.500", "lted: AT< +CREG: 0") +
             at("3.600", "lted: getSIMStatus(). sState: 10") + at("4.000", "lted: AT> AT+CSQ") +
             at("4.020", "lted: AT< +CIEV: 2,3") + at("4.021", "lted: AT< +CSQ: 20,99") +
             at("4.022", "lted: AT< +CME ERROR: 10") + at("4.030", "lted: AT< OK"),
         1,
         {"0 ATE0: ATE0@10 | OK@11", "0 AT+CSQ: +CIEV: 2,3@20 | +CSQ: 20,99@21 | +CME ERROR: 10@22",
          "0 ~ +CREG: 0 @3500 after 0", "0 ~ OK @4030 after 1"},
         0,
         1},
        {"tries without an answer, a time-out, the tty gone and found again",
         at("5.000", "lted: AT> ATQ0") + at("5.250", "lted: AT> ATQ0") +
             at("5.300", "lted: AT< OK") + at("6.000", "lted: AT> AT+COPS?") +
             at("36.000", "lted: AT channel timeout; closing") + at("40.000", kFound9025) +
             at("42.000", "lted: AT< RDY") + at("44.000", "lted: AT> ATQ0") +
             at("44.010", "lted: AT< OK") + at("50.000", "lted: AT< +CGREG: 0") +
             at("50.100", "lted: atchannel: EOF reached") +
             at("50.100", "lted: AT channel closed") +
             at("50.200", "lted: AT channel timeout; closing") +
             at("61.000", "lted: ril_reinit_callback: cmd_dev:  data_dev:  mdm_ifname: usb0 "
                          "mdm_type: 0x3") +
             at("65.000", kFound9025) + at("69.000", "lted: AT> ATE0") +
             at("69.001", "lted: AT< OK"),
         3,
         {"0 ATQ0: (silent)", "0 ATQ0: OK@50", "0 AT+COPS?: (silent)", "1 ATQ0: OK@10",
          "2 ATE0: OK@1", "1 ~ RDY @42000 after 3", "1 ~ +CGREG: 0 @50000 after 3",
          "1 loss @50100 for 14900 after 3"},
         0,
         3},
        {"an earlier run left out; the daemon's view of its connection; a restart and the end "
         "while waiting",
         at("0.100", "lted: AT> AT+CSQ") + at("0.101", "lted: AT< OK") +
             at("0.200", "lted: AT< +CREG: 5") + at("0.300", kFound9025) +
             at("0.500", "lted: starting") + at("1.000", "lted: AT> AT$QCRMCALL=1,1,1,2,1") +
             at("1.500", "lted: AT< $QCRMCALL: 1, V4") + at("1.501", "lted: AT< OK") +
             at("1.502", "lted: pollNetState: connected") + at("2.000", "lted: AT> AT$QCRMCALL?") +
             at("2.001", "lted: AT< OK") + at("2.001", "lted: AT< +CGREG: 0") +
             at("2.002", "lted: pollNetState: disconnected") + at("3.000", "lted: AT> AT+CSQ") +
             at("3.100", "lted: starting") + at("3.200", "lted: pollNetState: connected") +
             at("4.000", "lted: AT> AT+CSQ") + at("4.001", "lted: AT< +CSQ: 9,99"),
         0,
         {"0 AT$QCRMCALL=1,1,1,2,1: $QCRMCALL: 1, V4@500 | OK@501 (call up)",
          "0 AT$QCRMCALL?: OK@1 (call down)", "0 AT+CSQ: (cut)", "0 AT+CSQ: +CSQ: 9,99@1 (cut)",
          "0 ~ +CGREG: 0 @2001 after 1"},
         0,
         1,
         4},
        {"damaged lines: no header, bad uptimes, too long, a NUL, cut at the end",
         "garbage\n" + at("x.500", "lted: AT> AT") + at("1234567890.000", "lted: AT> AT") +
             "2026-01-01 10:00:00      1.000: lted: AT> ATI\r\n"
             "2026-01-01 10:00:00      1.001: lted: AT< OK\r\n" +
             std::string(2000, 'x') + "\n" + at("2.000", std::string("lted: AT> AT\0X", 14)) +
             "2026-01-01 10:00:00      3.000: lted: AT> AT+CGMR",
         0,
         {"0 ATI: OK@1"},
         6,
         1},
    };
    for (const ParseCase &c : cases) {
        SCOPED_TRACE(c.what);
        Parsed p(c.log);
        EXPECT_EQ(p.log.model_type, c.model_type);
        EXPECT_EQ(p.render(), c.parsed);
        EXPECT_EQ(p.log.damaged, c.damaged);
        EXPECT_EQ(p.log.segment_count, c.segments);
        EXPECT_EQ(p.log.full_at, 0);
        EXPECT_EQ(p.log.skipped, c.skipped);
    }
}

TEST(ReplayLog, StopsAtItsLimits) {
    std::string text;
    for (int i = 0; i <= kReplayCommandsMax; ++i)
        text += at("1.000", "lted: AT> AT+X" + std::to_string(i));
    text += at("2.000", "lted: AT> AT+X0");
    Parsed p(text);
    EXPECT_EQ(p.log.command_count, kReplayCommandsMax);
    EXPECT_EQ(p.log.full_at, kReplayCommandsMax + 1);
    EXPECT_EQ(p.log.occurrence_count, kReplayCommandsMax); // nothing after the limit
}

TEST(ReplayLog, ReadsTheOlderGenerationFirst) {
    ts::TempRoot dir;
    std::string path = dir.path("/lted.log");
    ReplayLog log;
    replay_log_init(&log);
    char why[256] = "";
    EXPECT_EQ(replay_log_load(&log, path.c_str(), why, sizeof why), -1);
    EXPECT_TRUE(ts::contains(why, "No such file")) << why;
    replay_log_free(&log);

    // the copy of the older one ends inside a line: it does not run into the newer
    ts::write_file(path + ".1", at("1.000", "lted: AT> AT+CSQ") + at("1.001", "lted: AT< OK") +
                                    "2026-01-01 10:00:00      1.500: lted: AT> AT");
    ts::write_file(path, at("2.000", "lted: AT< +CSQ: 5,99") + at("2.000", "lted: AT> AT+CGMR") +
                             at("2.001", "lted: AT< OK"));
    replay_log_init(&log);
    ASSERT_EQ(replay_log_load(&log, path.c_str(), why, sizeof why), 0) << why;
    ASSERT_EQ(log.occurrence_count, 2);
    EXPECT_STREQ(replay_text(&log, log.commands[log.occurrences[0].command].text), "AT+CSQ");
    EXPECT_STREQ(replay_text(&log, log.commands[log.occurrences[1].command].text), "AT+CGMR");
    EXPECT_EQ(log.event_count, 1);
    EXPECT_EQ(log.damaged, 1);
    replay_log_free(&log);
}

TEST(ReplayLog, GivesEachCommandItsRecordedAnswersInOrder) {
    Parsed p(at("1.000", "lted: AT> AT+CSQ") + at("1.001", "lted: AT< +CSQ: 10,99") +
             at("1.002", "lted: AT< OK") + at("2.000", "lted: AT> ATQ0") +
             at("2.250", "lted: AT> AT+CSQ") + at("2.251", "lted: AT< +CSQ: 11,99") +
             at("2.252", "lted: AT< OK") + at("3.000", "lted: AT> AT+CSQ") +
             at("33.000", "lted: AT channel timeout; closing") +
             at("40.000", "lted: AT> AT+COPS?"));
    ReplayCursor cursor;
    ASSERT_EQ(replay_cursor_init(&cursor, &p.log), 0);
    struct Step {
        const char *command;
        ReplayMatchKind kind;
        const char *first_line; // of the answer; "" none, "-" no occurrence
    };
    const Step steps[] = {
        {"AT+CSQ", ReplayMatchKind::Recorded, "+CSQ: 10,99"},
        {"ATQ0", ReplayMatchKind::Recorded, ""},
        {"AT+CSQ", ReplayMatchKind::Recorded, "+CSQ: 11,99"},
        {"AT+CSQ", ReplayMatchKind::Recorded, ""}, // the silence before the time-out
        {"AT+CSQ", ReplayMatchKind::Repeated, "+CSQ: 11,99"},
        {"AT+CSQ", ReplayMatchKind::Repeated, "+CSQ: 11,99"},
        {"ATQ0", ReplayMatchKind::Repeated, "-"},  // never answered
        {"AT+COPS?", ReplayMatchKind::Never, "-"}, // only cut by the end of the log
        {"at+csq", ReplayMatchKind::Never, "-"},
        {"", ReplayMatchKind::Never, "-"},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.command);
        ReplayMatch m = replay_match(&p.log, &cursor, s.command);
        EXPECT_EQ(m.kind, s.kind);
        std::string first = "-";
        if (m.occurrence >= 0) {
            const ReplayOccurrence &o = p.log.occurrences[m.occurrence];
            first = o.line_count ? replay_text(&p.log, p.log.lines[o.first_line].text) : "";
        }
        EXPECT_EQ(first, s.first_line);
    }
    replay_cursor_free(&cursor);
}

} // namespace
