// Reads the device's key with the driver's own store functions and makes the driver's start-up
// decision on the clock the next boot will start from.
#include "status.h"

#include <cinttypes>
#include <cstdio>
#include <optional>

#include "coredll_sim.h"
#include "date_text.h"
#include "driver_key.h"
#include "startup.h"
#include "store.h"

namespace tws {
namespace {

constexpr int64_t kMsPerSecond = 1000;

// A JSON string, quoted and escaped.
std::string Json(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// "2026-12-08T09:00:00.000Z", for scripts.
std::string IsoDate(const SYSTEMTIME& st) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", st.wYear, st.wMonth,
                  st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    return buf;
}

struct Status {
    // The clock the next boot starts from: the real-time clock, or its reset date.
    SYSTEMTIME clock{};
    bool battery_ok = true;
    bool key = false;
    // The snapshot: "valid", "none" (no signature), "foreign" (another signature) or "invalid".
    std::string snapshot;
    SYSTEMTIME saved{};
    std::optional<DWORD> signature;
    // The switch: "absent", "dword" or "wrong-type", its type's name, and the number the driver
    // reads from it, if any.
    std::string switch_state = "absent";
    std::string switch_type;
    std::optional<DWORD> switch_value;
    bool refuses = false;
    // The next boot: "refuse", "restore", "within-margin", "clock-at-snapshot", "clock-ahead"
    // or "no-snapshot".
    std::string action;
    int64_t ahead_s = 0;
    std::string next_boot;
};

Status Read(const Rtc& rtc) {
    Status s;
    s.battery_ok = rtc.battery_ok;
    s.clock = rtc.battery_ok ? rtc.time : rtc.reset_to;
    const std::string key = coredll::Utf8(TIMEWARD_KEY_PATH);
    s.key = coredll::reg::KeyExists(key);

    DWORD signature;
    if (RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, SIGNATURE_VALUE_NAME, &signature))
        s.signature = signature;
    if (ReadSnapshot(&s.saved))
        s.snapshot = "valid";
    else if (!s.signature)
        s.snapshot = "none";
    else if (*s.signature != SNAPSHOT_SIGNATURE)
        s.snapshot = "foreign";
    else
        s.snapshot = "invalid";

    // The switch as the start-up check reads it: the type plays no part there.
    DWORD value;
    if (RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, SWITCH_VALUE_NAME, &value))
        s.switch_value = value;
    if (std::optional<coredll::RegValue> v =
            coredll::reg::GetValue(key, coredll::Utf8(SWITCH_VALUE_NAME))) {
        s.switch_state = v->type == REG_DWORD ? "dword" : "wrong-type";
        s.switch_type = RegTypeName(v->type);
    }
    s.refuses = s.switch_value && *s.switch_value == SWITCH_OFF;

    // The start-up check's decision, made as it makes it.
    if (s.refuses) {
        s.action = "refuse";
        s.next_boot = "refuses to start: switch";
    } else if (s.snapshot != "valid") {
        s.action = "no-snapshot";
        s.next_boot = "no restore: no snapshot";
    } else {
        SYSTEMTIME now = s.clock;
        DWORD now_s, saved_s;
        const bool restore = RestoreIsDue(&s.saved, &now, &saved_s, &now_s) != FALSE;
        s.ahead_s = static_cast<int64_t>(saved_s) - static_cast<int64_t>(now_s);
        if (restore) {
            s.action = "restore";
            s.next_boot = "restore to " + FormatDate(s.saved, true) + ", " +
                          FormatDuration(s.ahead_s * kMsPerSecond) + " ahead of the clock";
        } else if (saved_s > now_s) {
            s.action = "within-margin";
            s.next_boot = "no restore: within " + std::to_string(RESTORE_MARGIN_SECONDS) +
                          " s (the snapshot is " + FormatDuration(s.ahead_s * kMsPerSecond) +
                          " ahead)";
        } else if (saved_s == now_s) {
            s.action = "clock-at-snapshot";
            s.next_boot = "no restore: the clock is at the snapshot";
        } else {
            s.action = "clock-ahead";
            s.next_boot = "no restore: the clock is ahead";
        }
    }
    if (!s.key)
        s.next_boot += "; the key is missing: the driver keeps nothing";
    return s;
}

std::string SnapshotText(const Status& s) {
    if (s.snapshot == "valid")
        return FormatDate(s.saved, true) + ", valid";
    if (s.snapshot == "none")
        return "none: no \"TimewardSignature\"";
    if (s.snapshot == "foreign") {
        char buf[80];
        std::snprintf(
            buf, sizeof buf, "none: \"TimewardSignature\" is 0x%08" PRIX32 ", not 0x%08" PRIX32,
            static_cast<uint32_t>(*s.signature), static_cast<uint32_t>(SNAPSHOT_SIGNATURE));
        return buf;
    }
    return "invalid: signed, but a clock value is missing or out of range";
}

std::string SwitchLine(const Status& s) {
    std::string out = "\"TimewardImplemented\" ";
    if (s.switch_state == "absent") {
        out += "absent";
    } else if (s.switch_state == "dword") {
        out += "= " + std::to_string(*s.switch_value);
    } else {
        out += "is " + s.switch_type;
        out += s.switch_value ? ", read as " + std::to_string(*s.switch_value)
                              : std::string(", unreadable as a number");
        out += "; make it a DWORD";
    }
    return out + (s.refuses ? ": the driver refuses to start" : ": the driver runs");
}

void PrintText(const Device& device, const Rtc& rtc, const Image& image, const Status& s) {
    std::printf("device    %s (off)\n", device.dir().c_str());
    if (rtc.battery_ok) {
        std::printf("clock     %s (real-time clock, battery ok)\n",
                    FormatDate(rtc.time, true).c_str());
    } else {
        std::printf("clock     lost: the real-time clock comes back at %s at the next boot\n",
                    FormatDate(rtc.reset_to, true).c_str());
    }
    std::printf("key       HKEY_LOCAL_MACHINE\\%s: %s\n", coredll::Utf8(TIMEWARD_KEY_PATH).c_str(),
                s.key ? "present" : "missing: the driver keeps nothing without it");
    std::printf("snapshot  %s\n", SnapshotText(s).c_str());
    std::printf("switch    %s\n", SwitchLine(s).c_str());
    std::printf("image     %s\n", image.Describe().c_str());
    std::printf("next boot %s\n", s.next_boot.c_str());
}

void PrintJson(const Device& device, const Image& image, const Status& s) {
    std::string out = "{";
    out += "\"device\": " + Json(device.dir().string());
    out += ", \"power\": \"off\"";
    out += ", \"clock\": " + Json(IsoDate(s.clock));
    out += std::string(", \"battery\": ") + (s.battery_ok ? "\"ok\"" : "\"lost\"");
    out += std::string(", \"key\": ") + (s.key ? "true" : "false");
    out += ", \"snapshot\": {\"state\": " + Json(s.snapshot);
    out += ", \"time\": " + (s.snapshot == "valid" ? Json(IsoDate(s.saved)) : "null");
    out += ", \"signature\": " + (s.signature ? std::to_string(*s.signature) : "null") + "}";
    out += ", \"switch\": {\"state\": " + Json(s.switch_state);
    out += ", \"type\": " + (s.switch_type.empty() ? "null" : Json(s.switch_type));
    out += ", \"value\": " + (s.switch_value ? std::to_string(*s.switch_value) : "null");
    out += std::string(", \"refuses\": ") + (s.refuses ? "true" : "false") + "}";
    out += std::string(", \"image\": {\"notifications\": ") +
           (image.notifications ? "true" : "false") + "}";
    out += ", \"next_boot\": {\"action\": " + Json(s.action);
    out += ", \"to\": " + (s.action == "restore" ? Json(IsoDate(s.saved)) : "null");
    out += ", \"snapshot_ahead_s\": " +
           (s.snapshot == "valid" ? std::to_string(s.ahead_s) : std::string("null"));
    out += ", \"text\": " + Json(s.next_boot) + "}";
    out += "}\n";
    std::fputs(out.c_str(), stdout);
}

}  // namespace

void PrintStatus(const Device& device, const Rtc& rtc, const Image& image, bool json) {
    const Status s = Read(rtc);
    if (json)
        PrintJson(device, image, s);
    else
        PrintText(device, rtc, image, s);
}

}  // namespace tws
