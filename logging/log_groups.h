// File: logging/log_groups.h
//
// Names of levels and groups. Groups have three-letter names held in a process-wide table of
// 64 four-byte slots: slots 0-7 are predefined ("DBG", "GEN", "XTR", "PRF", "MEM", "DSK",
// "NET", "TST") and every other slot reads "???" until a name is registered there. The table
// outlives any log manager and only grows; registration is race-free and any thread may call
// every function here.
//
// Example:
//   mox::LogGroups abc = mox::groupByName("ABC");     // first call registers slot 8: bit 8
//   std::string names = mox::formatGroups(mox::kGroupDbg | mox::kGroupNet);  // "DBG;NET"
#pragma once

#include <cstddef>
#include <string>

#include "logging/log_record.h"

namespace mox {

inline constexpr std::size_t kLogGroupSlots = 64;

// "  OKAY", "  WARN", " ERROR", "ALWAYS" for levels 0..3; "      " for any other level.
const char* levelName(LogLevel level);

// The group set of `name`, compared on its first three characters. A name not yet in the
// table is registered in the next free slot. When all 64 slots are used, an unknown name gets
// the empty set and nothing changes. A null or empty name gives the empty set.
LogGroups groupByName(const char* name);

// The name in slot `index` ("???" for unused slots and for an index past the table).
std::string groupName(std::size_t index);

// The names of the set's groups from bit 0 upwards, joined by ";"; "" for the empty set.
std::string formatGroups(LogGroups groups);

// Writes formatGroups(groups) into `buffer`, cut to size - 1 characters and NUL-terminated;
// returns the characters written. Writes nothing when `size` is 0.
std::size_t formatGroupsInto(LogGroups groups, char* buffer, std::size_t size);

}  // namespace mox
