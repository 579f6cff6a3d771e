#include "logging/log_groups.h"

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/critical_section.h"

namespace mox {
namespace {

constexpr std::size_t kPredefinedGroups = 8;

// A slot holds up to three characters and a NUL packed into one word, so readers can load a
// slot atomically while a writer registers a name in another thread.
constexpr std::uint32_t packName(const char* name) {
    std::uint32_t packed = 0;
    for (std::size_t i = 0; i < 3 && name[i] != '\0'; ++i) {
        packed |= static_cast<std::uint32_t>(static_cast<unsigned char>(name[i])) << (8 * i);
    }
    return packed;
}

void unpackName(std::uint32_t packed, char (&out)[4]) {
    for (std::size_t i = 0; i < 3; ++i) {
        out[i] = static_cast<char>((packed >> (8 * i)) & 0xFF);
    }
    out[3] = '\0';
}

struct GroupTable {
    std::array<std::atomic<std::uint32_t>, kLogGroupSlots> slots;
    // Slots [0, used) hold names that groupByName may match; grows only, under `registration`.
    std::atomic<std::size_t> used{kPredefinedGroups};
    platform::CriticalSection registration;

    GroupTable() {
        constexpr const char* kPredefined[kPredefinedGroups] = {"DBG", "GEN", "XTR", "PRF",
                                                                "MEM", "DSK", "NET", "TST"};
        for (std::size_t i = 0; i < kLogGroupSlots; ++i) {
            slots[i].store(packName(i < kPredefinedGroups ? kPredefined[i] : "???"),
                           std::memory_order_relaxed);
        }
    }

    // The bit of the first of the first `count` slots that holds `packed`, or 0.
    LogGroups find(std::uint32_t packed, std::size_t count) const {
        for (std::size_t i = 0; i < count; ++i) {
            if (slots[i].load(std::memory_order_relaxed) == packed) {
                return 1ull << i;
            }
        }
        return 0;
    }
};

// Never destroyed: log calls may come from other static objects' destructors.
GroupTable& groupTable() {
    static GroupTable* table = new GroupTable;
    return *table;
}

}  // namespace

const char* levelName(LogLevel level) {
    switch (level) {
        case kLogOkay:
            return "  OKAY";
        case kLogWarn:
            return "  WARN";
        case kLogError:
            return " ERROR";
        case kLogAlways:
            return "ALWAYS";
        default:
            return "      ";
    }
}

LogGroups groupByName(const char* name) {
    if (name == nullptr || name[0] == '\0') {
        return 0;
    }
    GroupTable& table = groupTable();
    const std::uint32_t packed = packName(name);
    if (LogGroups found = table.find(packed, table.used.load(std::memory_order_acquire))) {
        return found;
    }
    std::lock_guard<platform::CriticalSection> guard(table.registration);
    const std::size_t used = table.used.load(std::memory_order_relaxed);
    if (LogGroups found = table.find(packed, used)) {
        return found;  // registered by another thread meanwhile
    }
    if (used == kLogGroupSlots) {
        return 0;  // table full: the caller gets no group rather than a write past the table
    }
    table.slots[used].store(packed, std::memory_order_relaxed);
    table.used.store(used + 1, std::memory_order_release);
    return 1ull << used;
}

std::string groupName(std::size_t index) {
    char name[4];
    unpackName(index < kLogGroupSlots ? groupTable().slots[index].load(std::memory_order_relaxed)
                                      : packName("???"),
               name);
    return name;
}

std::size_t formatGroupsInto(LogGroups groups, char* buffer, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    GroupTable& table = groupTable();
    std::size_t length = 0;
    auto append = [&](const char* text) {
        for (; *text != '\0' && length + 1 < size; ++text) {
            buffer[length++] = *text;
        }
    };
    bool first = true;
    for (std::size_t i = 0; i < kLogGroupSlots; ++i) {
        if ((groups & (1ull << i)) == 0) {
            continue;
        }
        if (!first) {
            append(";");
        }
        first = false;
        char name[4];
        unpackName(table.slots[i].load(std::memory_order_relaxed), name);
        append(name);
    }
    buffer[length] = '\0';
    return length;
}

std::string formatGroups(LogGroups groups) {
    char buffer[kLogGroupSlots * 4 + 1];  // 64 names of three characters with separators
    const std::size_t length = formatGroupsInto(groups, buffer, sizeof buffer);
    return std::string(buffer, length);
}

}  // namespace mox
