// A table of stores, each as the lines a hive holds under the driver's key, with what the
// status model makes of it against the clock kTableClock: one table for the model, the
// driver, timewardctl and the simulator alike.
#ifndef TIMEWARD_TESTS_STORE_TABLE_H
#define TIMEWARD_TESTS_STORE_TABLE_H

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "floor.h"
#include "interval.h"
#include "sim_records.h"
#include "store_status.h"

namespace timeward_test {

inline constexpr const char* kTableClock = "2026-12-08 09:30:00.000";

// A value line: "RTCHour"=dword:0000000b.
inline std::string Dword(const char* name, DWORD value) {
    char line[96];
    std::snprintf(line, sizeof line, "\"%s\"=dword:%08x\n", name, value);
    return line;
}

// A signed snapshot of 2026-12-08 at the given time of day, with the lines of `change` instead
// of the lines of the values they name ("" for none; a name alone leaves that value out).
inline std::string Signed(WORD h, WORD mi, WORD s, const std::string& change = "",
                          DWORD signature = 0x54575244) {
    const struct {
        const char* name;
        DWORD value;
    } values[] = {{"RTCYear", 2026}, {"RTCMonth", 12},      {"RTCDayOfWeek", 2},
                  {"RTCDay", 8},     {"RTCHour", h},        {"RTCMinute", mi},
                  {"RTCSecond", s},  {"RTCMilliseconds", 0}};
    std::string out;
    const std::string lines = "\n" + change;
    for (const auto& v : values) {
        const size_t at = lines.find(std::string("\n\"") + v.name + "\"=");
        if (at != std::string::npos)
            out += lines.substr(at + 1, lines.find('\n', at + 1) - at - 1) + "\n";
        else if (change != v.name)
            out += Dword(v.name, v.value);
    }
    return change == "TimewardSignature" ? out : out + Dword("TimewardSignature", signature);
}

// The check a whole snapshot Signed(h, mi, s) ends with.
inline std::string CheckOf(WORD h, WORD mi, WORD s) {
    const DWORD values[] = {2026, 12, 2, 8, h, mi, s, 0};
    return Dword("TimewardCheck", CheckOfValues(values));
}

// A REG_BINARY line: "Name"=hex:01,02, the numbers' bytes least significant first, `bytes`
// each.
inline std::string Hex(const char* name, std::vector<std::pair<DWORD, int>> numbers) {
    std::string line = std::string("\"") + name + "\"=hex:";
    for (const auto& [value, bytes] : numbers) {
        for (int b = 0; b < bytes; ++b) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02x,", (value >> (8 * b)) & 0xFF);
            line += hex;
        }
    }
    line.back() = '\n';
    return line;
}

// "TimewardRecord" as this driver writes it for Signed(h, mi, s) of `generation`: while its
// values are written (`writing`), or once they are.
inline std::string RecordOf(WORD h, WORD mi, WORD s, DWORD generation, bool writing = false) {
    const DWORD values[] = {2026, 12, 2, 8, h, mi, s, 0};
    return Hex("TimewardRecord",
               {{generation, 4}, {CheckOfValues(values, generation), 4}, {writing ? 1u : 0u, 4}});
}

// "TimewardPrevious" holding Signed(h, mi, s) of `generation`, its check spoilt by `spoil`.
inline std::string PreviousOf(WORD h, WORD mi, WORD s, DWORD generation, DWORD spoil = 0) {
    const DWORD values[] = {2026, 12, 2, 8, h, mi, s, 0};
    std::vector<std::pair<DWORD, int>> numbers;
    for (DWORD v : values)
        numbers.push_back({v, 2});
    numbers.push_back({generation, 4});
    numbers.push_back({CheckOfValues(values, generation) ^ spoil, 4});
    return Hex("TimewardPrevious", numbers);
}

struct StoreRow {
    const char* name;
    bool key;
    std::string values;
    DWORD snapshot;         // SNAPSHOT_STATE
    const char* bad_value;  // the value an invalid snapshot names
    DWORD switch_state;     // SWITCH_STATE
    DWORD next_start;       // NEXT_START
    std::string next_text;  // the words of the next start
    DWORD interval_state = INTERVAL_ABSENT;
    DWORD interval_s = 300;  // in effect
    // Where a row names them: the words of the snapshot, and the seconds the snapshot is ahead
    // of the clock as JSON gives them.
    std::string snapshot_text = "";
    std::optional<long long> ahead_s = std::nullopt;
    DWORD uses = USE_NONE;  // where a row names it: the record the next start judges
    std::optional<DWORD> generation = std::nullopt;  // of a valid snapshot, where a row names it
    DWORD floor_state = FLOOR_ABSENT;
};

inline std::vector<StoreRow> StoreTable() {
    const std::string on = Dword("TimewardImplemented", 0);
    const std::string restore_text = "restore to 2026-12-08 11:30:00.000 UTC, 2 h ahead";
    const std::string restore = Signed(11, 30, 0);
    return {
        {"no key", false, "", SNAPSHOT_NONE, nullptr, SWITCH_ABSENT, NEXT_NO_SNAPSHOT,
         "no restore: no snapshot"},
        {"no signature", true, Signed(11, 30, 0, "TimewardSignature"), SNAPSHOT_NONE, nullptr,
         SWITCH_ABSENT, NEXT_NO_SNAPSHOT, "no restore: no snapshot"},
        {"another signature", true, Signed(11, 30, 0, "", 0x54575245), SNAPSHOT_FOREIGN, nullptr,
         SWITCH_ABSENT, NEXT_NO_SNAPSHOT, "no restore: no snapshot"},
        {"year", true, Signed(11, 30, 0, Dword("RTCYear", 30828)), SNAPSHOT_INVALID, "RTCYear",
         SWITCH_ABSENT, NEXT_NO_SNAPSHOT, "no restore: no snapshot"},
        {"month", true, Signed(11, 30, 0, Dword("RTCMonth", 13)), SNAPSHOT_INVALID, "RTCMonth",
         SWITCH_ABSENT, NEXT_NO_SNAPSHOT, "no restore: no snapshot"},
        {"day", true, Signed(11, 30, 0, Dword("RTCDay", 32)), SNAPSHOT_INVALID, "RTCDay",
         SWITCH_ABSENT, NEXT_NO_SNAPSHOT, "no restore: no snapshot"},
        {"hour", true, Signed(24, 30, 0), SNAPSHOT_INVALID, "RTCHour", SWITCH_ABSENT,
         NEXT_NO_SNAPSHOT, "no restore: no snapshot"},
        {"minute", true, Signed(11, 60, 0), SNAPSHOT_INVALID, "RTCMinute", SWITCH_ABSENT,
         NEXT_NO_SNAPSHOT, "no restore: no snapshot"},
        {"second", true, Signed(11, 30, 60), SNAPSHOT_INVALID, "RTCSecond", SWITCH_ABSENT,
         NEXT_NO_SNAPSHOT, "no restore: no snapshot"},
        {"milliseconds", true, Signed(11, 30, 0, Dword("RTCMilliseconds", 1000)), SNAPSHOT_INVALID,
         "RTCMilliseconds", SWITCH_ABSENT, NEXT_NO_SNAPSHOT, "no restore: no snapshot"},
        {"a value missing", true, Signed(11, 30, 0, "RTCSecond"), SNAPSHOT_INVALID, "RTCSecond",
         SWITCH_ABSENT, NEXT_NO_SNAPSHOT, "no restore: no snapshot"},
        {"restore due", true, Signed(11, 30, 0) + on, SNAPSHOT_VALID, nullptr, SWITCH_DWORD,
         NEXT_RESTORE, restore_text},
        {"switch off", true, Signed(11, 30, 0) + Dword("TimewardImplemented", 1), SNAPSHOT_VALID,
         nullptr, SWITCH_DWORD, NEXT_REFUSE, "refuses to start: switch"},
        {"switch the string 1", true, Signed(11, 30, 0) + "\"TimewardImplemented\"=\"1\"\n",
         SNAPSHOT_VALID, nullptr, SWITCH_OTHER_TYPE, NEXT_RESTORE, restore_text},
        {"switch binary 1", true, Signed(11, 30, 0) + "\"TimewardImplemented\"=hex:01,00,00,00\n",
         SNAPSHOT_VALID, nullptr, SWITCH_OTHER_TYPE, NEXT_REFUSE, "refuses to start: switch"},
        {"switch too long", true,
         Signed(11, 30, 0) + "\"TimewardImplemented\"=hex:01,00,00,00,00\n", SNAPSHOT_VALID,
         nullptr, SWITCH_OTHER_TYPE, NEXT_RESTORE, restore_text},
        {"clock at", true, Signed(9, 30, 0), SNAPSHOT_VALID, nullptr, SWITCH_ABSENT,
         NEXT_CLOCK_AT_SNAPSHOT, "no restore: the clock is at the snapshot"},
        {"clock ahead", true, Signed(8, 29, 59), SNAPSHOT_VALID, nullptr, SWITCH_ABSENT,
         NEXT_CLOCK_AHEAD, "no restore: the clock is 1 h 1 s ahead of it"},
        {"within the margin", true, Signed(9, 35, 0), SNAPSHOT_VALID, nullptr, SWITCH_ABSENT,
         NEXT_WITHIN_MARGIN, "no restore: the snapshot is 5 min ahead, within 300 s"},
        {"just past the margin", true, Signed(9, 35, 1), SNAPSHOT_VALID, nullptr, SWITCH_ABSENT,
         NEXT_RESTORE, "restore to 2026-12-08 09:35:01.000 UTC, 5 min 1 s ahead"},
        {"29 February of a common year", true,
         Signed(11, 30, 0, Dword("RTCMonth", 2) + Dword("RTCDay", 29)), SNAPSHOT_INVALID, "RTCDay",
         SWITCH_ABSENT, NEXT_NO_SNAPSHOT, "no restore: no snapshot", INTERVAL_ABSENT, 300,
         "invalid: \"RTCDay\" is 29, out of range"},
        {"a value too long to read", true, Signed(11, 30, 0, "\"RTCHour\"=hex:0b,00,00,00,00"),
         SNAPSHOT_INVALID, "RTCHour", SWITCH_ABSENT, NEXT_NO_SNAPSHOT, "no restore: no snapshot",
         INTERVAL_ABSENT, 300, "invalid: \"RTCHour\" is missing or not a number"},
        {"seventy years ahead", true, Signed(11, 30, 0, Dword("RTCYear", 2096)), SNAPSHOT_VALID,
         nullptr, SWITCH_ABSENT, NEXT_RESTORE,
         "restore to 2096-12-08 11:30:00.000 UTC, 25568 d 2 h ahead", INTERVAL_ABSENT, 300,
         "2096-12-08 11:30:00.000 UTC: valid, an older driver's", 2209082400},
        {"past the wrap of the seconds", true, Signed(11, 30, 0, Dword("RTCYear", 2098)),
         SNAPSHOT_VALID, nullptr, SWITCH_ABSENT, NEXT_CLOCK_AHEAD,
         "no restore, though the snapshot is 26298 d 2 h ahead", INTERVAL_ABSENT, 300,
         "2098-12-08 11:30:00.000 UTC: valid, an older driver's", 2272154400},
        {"whole, with its check", true, Signed(11, 30, 0) + CheckOf(11, 30, 0), SNAPSHOT_VALID,
         nullptr, SWITCH_ABSENT, NEXT_RESTORE, restore_text},
        {"torn: the check is another record's", true, Signed(11, 30, 0) + CheckOf(10, 30, 0),
         SNAPSHOT_TORN, nullptr, SWITCH_ABSENT, NEXT_TORN, "no restore: the snapshot is torn"},
        {"torn: the check is pending", true, Signed(11, 30, 0) + Dword("TimewardCheck", 0),
         SNAPSHOT_TORN, nullptr, SWITCH_ABSENT, NEXT_TORN, "no restore: the snapshot is torn"},
        {"interval 60", true, restore + Dword("TimewardInterval", 60), SNAPSHOT_VALID, nullptr,
         SWITCH_ABSENT, NEXT_RESTORE, restore_text, INTERVAL_SET, 60},
        {"interval 86400", true, restore + Dword("TimewardInterval", 86400), SNAPSHOT_VALID,
         nullptr, SWITCH_ABSENT, NEXT_RESTORE, restore_text, INTERVAL_SET, 86400},
        {"interval 59", true, restore + Dword("TimewardInterval", 59), SNAPSHOT_VALID, nullptr,
         SWITCH_ABSENT, NEXT_RESTORE, restore_text, INTERVAL_OUT_OF_RANGE},
        {"interval 86401", true, restore + Dword("TimewardInterval", 86401), SNAPSHOT_VALID,
         nullptr, SWITCH_ABSENT, NEXT_RESTORE, restore_text, INTERVAL_OUT_OF_RANGE},
        {"interval a string", true, restore + "\"TimewardInterval\"=\"600\"\n", SNAPSHOT_VALID,
         nullptr, SWITCH_ABSENT, NEXT_RESTORE, restore_text, INTERVAL_WRONG_TYPE},
        {"interval binary", true, restore + "\"TimewardInterval\"=hex:58,02,00,00\n",
         SNAPSHOT_VALID, nullptr, SWITCH_ABSENT, NEXT_RESTORE, restore_text, INTERVAL_WRONG_TYPE},
        // The month-end tear of the version before's store: 31 February, and a check.
        {"torn into a day that does not exist", true,
         Signed(11, 30, 0, Dword("RTCMonth", 2) + Dword("RTCDay", 31)) + CheckOf(11, 30, 0),
         SNAPSHOT_TORN, nullptr, SWITCH_ABSENT, NEXT_TORN, "no restore: the snapshot is torn"},
        {"this driver's", true,
         Signed(11, 30, 0) + RecordOf(11, 30, 0, 7) + PreviousOf(11, 25, 0, 6), SNAPSHOT_VALID,
         nullptr, SWITCH_ABSENT, NEXT_RESTORE, restore_text, INTERVAL_ABSENT, 300,
         "2026-12-08 11:30:00.000 UTC: valid, generation 7", 7200, USE_CURRENT, 7},
        {"cut short by this driver", true,
         Signed(11, 30, 0, Dword("RTCMonth", 2) + Dword("RTCDay", 31)) +
             RecordOf(11, 35, 0, 8, true) + PreviousOf(11, 30, 0, 7),
         SNAPSHOT_TORN, nullptr, SWITCH_ABSENT, NEXT_RESTORE, restore_text, INTERVAL_ABSENT, 300,
         "2026-02-31 11:30:00.000 UTC: torn (a snapshot cut short)", 7200, USE_PREVIOUS},
        {"cut short, the record before spoilt", true,
         Signed(11, 30, 0) + RecordOf(11, 35, 0, 8, true) + PreviousOf(11, 30, 0, 7, 1),
         SNAPSHOT_TORN, nullptr, SWITCH_ABSENT, NEXT_TORN, "no restore: the snapshot is torn"},
        {"rewritten by an older driver", true,
         Signed(11, 30, 0) + RecordOf(10, 30, 0, 7) + PreviousOf(10, 25, 0, 6), SNAPSHOT_VALID,
         nullptr, SWITCH_ABSENT, NEXT_RESTORE, restore_text, INTERVAL_ABSENT, 300,
         "2026-12-08 11:30:00.000 UTC: valid, rewritten by an older driver", 7200, USE_CURRENT, 8},
        {"floor raised past the clock", true, Dword("TimewardFloor", 0x20270601), SNAPSHOT_NONE,
         nullptr, SWITCH_ABSENT, NEXT_FLOOR,
         "no restore: the clock is set to the floor, 2027-06-01", INTERVAL_ABSENT, 300, "",
         std::nullopt, USE_NONE, std::nullopt, FLOOR_SET},
        {"floor the 31st of June", true, Dword("TimewardFloor", 0x20270631), SNAPSHOT_NONE, nullptr,
         SWITCH_ABSENT, NEXT_NO_SNAPSHOT, "no restore: no snapshot", INTERVAL_ABSENT, 300, "",
         std::nullopt, USE_NONE, std::nullopt, FLOOR_OUT_OF_RANGE},
        {"floor a string", true, "\"TimewardFloor\"=\"20270601\"\n", SNAPSHOT_NONE, nullptr,
         SWITCH_ABSENT, NEXT_NO_SNAPSHOT, "no restore: no snapshot", INTERVAL_ABSENT, 300, "",
         std::nullopt, USE_NONE, std::nullopt, FLOOR_WRONG_TYPE},
    };
}

// The key with the row's values, as a hive file holds it.
inline std::string RowHive(const StoreRow& row) {
    return row.key ? "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvex\\Timeward]\n" + row.values : "";
}

}  // namespace timeward_test

#endif  // TIMEWARD_TESTS_STORE_TABLE_H
