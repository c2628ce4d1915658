// The connectivity watchdog's numbers in the configuration store, shared by
// the web page that stores them and the modem daemon that reads them.
#pragma once

// A number setting's sane range, and the factory value the daemon takes in
// place of a stored value outside it. 0 is not refused by the daemon: it keeps
// its own meaning there (the watchdog off, or a reboot at the first loss).
struct SettingRange {
    const char *key; // section 1
    int lo, hi;
    int fallback;
};

constexpr int SECONDS_PER_DAY = 86400;

constexpr SettingRange PING_INTERVAL_RANGE{"ping_interval", 1, SECONDS_PER_DAY, 60};
constexpr SettingRange PING_TIMEOUT_RANGE{"ping_timeout", 1, SECONDS_PER_DAY, 10};
constexpr SettingRange PING_COUNT_RANGE{"ping_count", 1, 1000, 5};

constexpr bool setting_in_range(const SettingRange &range, long long value) {
    return value >= range.lo && value <= range.hi;
}
