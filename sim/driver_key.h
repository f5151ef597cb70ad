// The driver's key in the simulated registry, as flushed to the hive, read through the one
// status model that timewardctl renders too.
#ifndef TIMEWARD_SIM_DRIVER_KEY_H
#define TIMEWARD_SIM_DRIVER_KEY_H

#include <timeward_backend.h>

#include <optional>
#include <string>
#include <vector>

#include "store_status.h"

namespace tws {

// The model of the store as flushed to the hive, judged against `clock`.
STORE_STATUS ReadStatus(const SYSTEMTIME& clock);

// The model's words: its lines, and what its snapshot, switch and next start are.
std::vector<std::string> StatusLines(const STORE_STATUS& s);
std::string SnapshotText(const STORE_STATUS& s);
std::string PreviousText(const STORE_STATUS& s);
std::string SwitchText(const STORE_STATUS& s);
std::string NextStartText(const STORE_STATUS& s);

// A line with a label, in the column the model's lines use.
std::string Labelled(const char* label, const std::string& text);

// Sets the switch as the device's image would, and flushes it to the hive.
void WriteSwitch(bool on);
// Stores `snapshot` as a driver without a check did, and flushes it to the hive: the eight clock
// values and the signature, and nothing else.
void WriteOlderDriverSnapshot(const SYSTEMTIME& snapshot);
// Sets "TimewardInterval" to `seconds`, or removes it (nullopt), and flushes it to the hive.
void WriteInterval(std::optional<DWORD> seconds);
std::string IntervalText(const STORE_STATUS& s);

}  // namespace tws

#endif  // TIMEWARD_SIM_DRIVER_KEY_H
