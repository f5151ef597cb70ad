// Prints the device's state and the status model.
#include "status.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "console.h"
#include "coredll_sim.h"
#include "date_text.h"
#include "driver_key.h"
#include "floor.h"
#include "status_text.h"
#include "support/text.h"

namespace tws {
namespace {

std::string Count(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

using Json = nlohmann::ordered_json;

std::string IsoDate(const SYSTEMTIME& st) {
    TEXT_LINE line;
    LineBegin(&line);
    LineAppendIsoDate(&line, &st);
    return support::Utf8(line.sz);
}

Json Text(LPCWSTR text) {
    return text ? Json(support::Utf8(text)) : Json(nullptr);
}

// The model's fields, named and typed as timewardctl's `status --json` names them.
void AddModel(const STORE_STATUS& s, Json* out) {
    const bool valid = s.dwSnapshot == SNAPSHOT_VALID;
    const bool used = s.dwUse != USE_NONE;
    Json& j = *out;
    j["key"] = s.fKey != FALSE;
    j["driver_running"] = s.fDriverKnown ? Json(s.fDriverRunning != FALSE) : Json(nullptr);
    j["clock"] = IsoDate(s.stClock);
    j["snapshot"] = {
        {"state", Text(SnapshotStateName(s.dwSnapshot))},
        {"time", valid ? Json(IsoDate(s.stSnapshot)) : Json(nullptr)},
        {"signature", s.fSignature ? Json(s.dwSignature) : Json(nullptr)},
        {"bad_value", Text(s.dwSnapshot == SNAPSHOT_INVALID ? s.pszBadValue : nullptr)},
        {"generation", valid ? Json(s.dwGeneration) : Json(nullptr)},
        {"previous", s.fPrevious ? Json(IsoDate(s.stPrevious)) : Json(nullptr)},
        {"previous_generation", s.fPrevious ? Json(s.dwPreviousGeneration) : Json(nullptr)},
        {"uses", Text(RecordUseName(s.dwUse))}};
    j["switch"] = {
        {"state", Text(SwitchStateName(s.dwSwitch))},
        {"type", Text(s.dwSwitch != SWITCH_ABSENT ? RegTypeName(s.dwSwitchType) : nullptr)},
        {"value", s.fSwitchRead ? Json(s.dwSwitchValue) : Json(nullptr)},
        {"refuses", s.fRefuses != FALSE}};
    j["interval"] = {{"state", Text(IntervalStateName(s.dwInterval))},
                     {"value", s.fIntervalRead ? Json(s.dwIntervalValue) : Json(nullptr)},
                     {"seconds", s.dwIntervalSeconds}};
    j["floor"] = {{"state", Text(FloorStateName(s.dwFloorState))},
                  {"value", s.fFloorRead ? Json(s.dwFloorValue) : Json(nullptr)},
                  {"day", FloorNumber(s.dwFloor)}};
    const int64_t ahead =
        s.fClockLater ? -int64_t{s.dwDistanceSeconds} : int64_t{s.dwDistanceSeconds};
    j["next_start"] = {
        {"action", Text(NextStartName(s.dwNextStart))},
        {"to", s.dwNextStart == NEXT_RESTORE ? Json(IsoDate(s.stUse)) : Json(nullptr)},
        {"snapshot_ahead_s", used ? Json(ahead) : Json(nullptr)},
        {"text", NextStartText(s)}};
}

// The notification subsystem's store: "1 \\.\Notifications\NamedEvents\NAME" per
// registration, the event's number first.
std::vector<std::string> Registrations() {
    std::vector<std::string> out;
    for (const coredll::notify::Registration& r : coredll::notify::Registrations())
        out.push_back(std::to_string(r.event) + " " + support::Utf8(r.app));
    return out;
}

}  // namespace

void PrintStatus(const DeviceState& d, const SYSTEMTIME& clock, bool json) {
    const STORE_STATUS s = ReadStatus(clock);
    // Another run has the device on: its hive is read as last flushed.
    const bool in_use = std::string(d.power) == kInUse;
    if (json) {
        Json j;
        j["schema"] = STATUS_JSON_SCHEMA;
        j["device"] = d.device.dir().string();
        j["power"] = d.power;
        j["battery"] = d.rtc && !d.rtc->battery_ok ? "lost" : "ok";
        j["image"] = {{"notifications", d.image.notifications},
                      {"flushing", d.image.write_through ? "write-through" : "on-flush"}};
        j["flash"] =
            d.wear ? Json{{"value_writes", d.wear->value_writes}, {"flushes", d.wear->flushes}}
                   : Json(nullptr);
        j["notification_store"] = Registrations();
        AddModel(s, &j);
        std::puts(j.dump(2).c_str());
        return;
    }
    std::vector<std::string> lines = {Labelled(
        "device", d.device.dir().string() + " (" + d.power +
                      (in_use ? ": the hive as last flushed, the clock as last stored)" : ")"))};
    if (d.rtc) {
        lines.push_back(Labelled(
            "battery", d.rtc->battery_ok
                           ? "ok: the real-time clock keeps the time"
                           : "lost: the clock comes back at " + FormatDate(d.rtc->reset_to, true)));
    }
    lines.push_back(Labelled("image", d.image.Describe()));
    lines.push_back(Labelled("", d.image.DescribeFlushing()));
    if (d.wear) {
        lines.push_back(
            Labelled("flash", Count(d.wear->value_writes, "value write", "value writes") + ", " +
                                  Count(d.wear->flushes, "flush", "flushes") + " " +
                                  (d.rtc ? "from the last boot to power-off" : "since the boot")));
    }
    const std::vector<std::string> registrations = Registrations();
    if (registrations.empty())
        lines.push_back(Labelled("notify", "the notification store holds no registration"));
    for (const std::string& r : registrations)
        lines.push_back(Labelled("notify", "registered: " + r));
    for (const std::string& line : StatusLines(s))
        lines.push_back(line);
    for (const std::string& line : lines)
        std::printf("%s\n", FitToTerminal(line).c_str());
}

}  // namespace tws
