// File: tests/support/host_value_program.h
//
// Turns arbitrary bytes into a host value tree and drives it through the host value
// conversions: the entry point of the host value fuzzer and of its regression test, so both
// run the same code.
//
// The bytes are a small program read front to back. Each node starts with an opcode byte
// (taken modulo 16); what follows depends on it:
//   0 empty          1 bool: 1 byte     2 signed: 8 bytes   3 unsigned: 8 bytes
//   4 float: 8 bytes of IEEE bits (NaNs and infinities included)
//   5 borrowed string / 6 owned string: a length byte n, a declared-length byte, n bytes
//     (which may hold NULs; the declared length is stored as is, so it may disagree)
//   7 borrowed blob / 8 owned blob: a length byte n, n bytes
//   9 collection: a count byte (mod 6), then that many nodes
//   10 structure: a count byte (mod 6), then per member a name-mode byte (mod 3: owned,
//     borrowed, null name), a name length byte n, n name bytes, and the value node
//   11 a kind outside 0..10: 4 bytes
//   12 a kind 5 or 6 value with a null text and a non-zero length
//   13 a kind 9 or 10 value with a null array and a non-zero count
//   14 a chain of nested one-element collections: a depth byte (200 + byte), then the leaf
//   15 a kind 7 or 8 value with null bytes and a non-zero length
// Bytes past the end read as 0 (so a cut-off program ends in empty nodes). Nodes nest at most
// `kMaxProgramNesting` deep through opcodes 9 and 10; opcode 14 builds deeper chains without
// recursion to reach past the conversions' depth limit.
//
// Ownership: owned texts, blobs, names and arrays come from the allocation layer, as a host
// value owns them; borrowed texts and names live in the program object. The program releases
// its tree with `releaseHostValue`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>

#include "binding/host_value.h"
#include "binding/values/value.h"
#include "plugin/entry/allocation.h"

namespace mox::fuzz {

inline constexpr std::uint32_t kMaxProgramNesting = 32;

class HostValueProgram {
  public:
    HostValueProgram(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {
        root_ = node(0);
    }
    ~HostValueProgram() { releaseHostValue(root_); }
    HostValueProgram(const HostValueProgram&) = delete;
    HostValueProgram& operator=(const HostValueProgram&) = delete;

    const HostValue& root() const { return root_; }

  private:
    std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
    std::uint64_t word(int bytes) {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value |= static_cast<std::uint64_t>(byte()) << (8 * i);
        }
        return value;
    }
    std::string text(std::size_t length) {
        std::string out;
        for (std::size_t i = 0; i < length; ++i) {
            out.push_back(static_cast<char>(byte()));
        }
        return out;
    }
    // A borrowed, NUL-terminated copy that lives as long as the program.
    const char* keep(std::string bytes) { return borrowed_.emplace_back(std::move(bytes)).c_str(); }

    HostValue node(std::uint32_t nesting) {
        HostValue value{};
        if (position_ >= size_) {
            return value;
        }
        const std::uint8_t op = byte() % 16;
        switch (op) {
            case 0:
                break;
            case 1:
                setHostBool(value, false);
                value.payload.boolean = byte();  // any byte value, not just 0/1
                break;
            case 2:
                setHostSigned(value, static_cast<std::int64_t>(word(8)));
                break;
            case 3:
                setHostUnsigned(value, word(8));
                break;
            case 4: {
                const std::uint64_t bits = word(8);
                double number;
                std::memcpy(&number, &bits, sizeof number);
                setHostFloat(value, number);
                break;
            }
            case 5:
            case 6: {
                const std::size_t length = byte();
                const std::uint8_t declared = byte();
                const std::string bytes = text(length);
                if (op == 5) {
                    value.kind = HostKind::BorrowedString;
                    value.payload.string.text = keep(bytes);
                } else if (!setHostString(value, bytes.data(), bytes.size())) {
                    break;
                }
                value.payload.string.length = declared;
                break;
            }
            case 7:
            case 8: {
                const std::string bytes = text(byte());
                if (op == 7) {
                    value.kind = HostKind::BorrowedBlob;
                    value.payload.blob.bytes = reinterpret_cast<const std::uint8_t*>(keep(bytes));
                    value.payload.blob.length = static_cast<std::uint32_t>(bytes.size());
                } else {
                    (void)setHostBlob(value, bytes.data(), bytes.size());
                }
                break;
            }
            case 9: {
                const std::uint32_t count = byte() % 6;
                if (nesting >= kMaxProgramNesting) {
                    break;
                }
                HostValue* values = setHostCollection(value, count);
                for (std::uint32_t i = 0; values != nullptr && i < count; ++i) {
                    values[i] = node(nesting + 1);
                }
                break;
            }
            case 10: {
                const std::uint32_t count = byte() % 6;
                if (nesting >= kMaxProgramNesting) {
                    break;
                }
                HostMember* members = setHostStructure(value, count);
                for (std::uint32_t i = 0; members != nullptr && i < count; ++i) {
                    const std::uint8_t mode = byte() % 3;
                    const std::string name = text(byte());
                    if (mode == 0) {
                        (void)setHostMemberName(members[i], name.c_str());
                    } else if (mode == 1) {
                        members[i].name = keep(name);
                    }
                    members[i].value = node(nesting + 1);
                }
                break;
            }
            case 11:
                value.kind = static_cast<HostKind>(11 + word(4) % 0xFFFFFFF5u);
                break;
            case 12:
                value.kind = (byte() & 1) != 0 ? HostKind::OwnedString : HostKind::BorrowedString;
                value.payload.string.length = 1 + byte();
                break;
            case 13:
                value.kind = (byte() & 1) != 0 ? HostKind::Structure : HostKind::Collection;
                value.payload.array.count = 1 + static_cast<std::uint32_t>(word(4) % 0xFFFFFFFFu);
                break;
            case 14: {
                const std::uint32_t depth = 200 + byte();
                // Chains do not nest inside chains: the leaf of an inner one is empty.
                HostValue leaf =
                    nesting < kMaxProgramNesting ? node(kMaxProgramNesting) : HostValue{};
                for (std::uint32_t i = 0; i < depth; ++i) {
                    HostValue outer{};
                    HostValue* values = setHostCollection(outer, 1);
                    if (values == nullptr) {
                        break;
                    }
                    values[0] = leaf;
                    leaf = outer;
                }
                value = leaf;
                break;
            }
            case 15:
                value.kind = (byte() & 1) != 0 ? HostKind::OwnedBlob : HostKind::BorrowedBlob;
                value.payload.blob.length = 1 + byte();
                break;
        }
        return value;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
    std::deque<std::string> borrowed_;
    HostValue root_{};
};

struct HostValueRunOutcome {
    bool fromHostOk = false;
    std::string fromHostError;
    // toHost of what fromHost produced (also after a failed fromHost: the partial value).
    bool toHostOk = false;
    // After a successful fromHost: converting the host copy back gives an equal value.
    bool roundTripEqual = false;
};

// Builds the tree, converts it with fromHost, converts the result back with toHost, converts
// that once more with fromHost and compares, then releases everything.
inline HostValueRunOutcome runHostValueProgram(const std::uint8_t* data, std::size_t size) {
    HostValueRunOutcome outcome;
    HostValueProgram program(data, size);

    HostResult status{};
    Value value;
    outcome.fromHostOk = fromHost(status, value, program.root(), "<value>");
    if (status.error != nullptr) {
        outcome.fromHostError = status.error;
    }

    HostResult toStatus{};
    HostValue back{};
    outcome.toHostOk = toHost(toStatus, back, value, nullptr);

    if (outcome.fromHostOk && outcome.toHostOk) {
        HostResult againStatus{};
        Value again;
        outcome.roundTripEqual =
            fromHost(againStatus, again, back, "<value>") && sameContent(value, again);
        releaseHostResult(againStatus);
    }

    releaseHostValue(back);
    releaseHostResult(toStatus);
    releaseHostResult(status);
    return outcome;
}

}  // namespace mox::fuzz
