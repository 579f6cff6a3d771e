// File: fuzz/reader_fuzz_checks.h
//
// The properties every reader's fuzz target checks on each result, beyond surviving the input
// under the sanitizers:
//   - a failure carries a non-empty message;
//   - a success holds only kinds a reader produces (no enum, nothing outside the kind table),
//     nests no deeper than kMaxNestingDepth, converts to a host value, and converts back to a
//     tree with the same content. Host texts end at their first NUL, so the round trip is
//     compared only for trees whose texts and member names hold no NUL byte.
// A broken property stops the run with a trap, which libFuzzer reports as a crash.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/host_value.h"
#include "binding/values/nesting_limit.h"
#include "binding/values/value.h"
#include "binding/values/value_result.h"

namespace mox::fuzz {

struct TreeFacts {
    bool validKinds = true;
    bool hasNul = false;
    std::size_t depth = 0;  // a scalar root is 0, each container adds one
};

inline TreeFacts inspectTree(const Value& root) {
    TreeFacts facts;
    std::vector<std::pair<const Value*, std::size_t>> pending{{&root, 0}};
    while (!pending.empty()) {
        const auto [value, level] = pending.back();
        pending.pop_back();
        switch (value->kind()) {
            case ValueKind::Empty:
            case ValueKind::Bool:
            case ValueKind::Signed:
            case ValueKind::Unsigned:
            case ValueKind::Float:
            case ValueKind::Blob:
                break;
            case ValueKind::String:
                facts.hasNul |= value->asString().find('\0') != std::string_view::npos;
                break;
            case ValueKind::Collection:
                facts.depth = std::max(facts.depth, level + 1);
                for (const Value& element : value->elements()) {
                    pending.push_back({&element, level + 1});
                }
                break;
            case ValueKind::Structure:
                facts.depth = std::max(facts.depth, level + 1);
                for (const ConstValueMember member : value->members()) {
                    facts.hasNul |= member.name.find('\0') != std::string_view::npos;
                    pending.push_back({&member.value, level + 1});
                }
                break;
            default:
                facts.validKinds = false;
                break;
        }
    }
    return facts;
}

inline void checkReaderResult(const ValueResult& result) {
    if (!result.ok()) {
        if (result.error().empty()) {
            __builtin_trap();
        }
        return;
    }
    const TreeFacts facts = inspectTree(result.value());
    if (!facts.validKinds || facts.depth > kMaxNestingDepth) {
        __builtin_trap();
    }
    HostResult status{};
    HostValue host{};
    if (!toHost(status, host, result.value(), nullptr)) {
        __builtin_trap();
    }
    Value back;
    HostResult backStatus{};
    if (!fromHost(backStatus, back, host, "<value>")) {
        __builtin_trap();
    }
    if (!facts.hasNul && !sameContent(result.value(), back)) {
        __builtin_trap();
    }
    releaseHostValue(host);
    releaseHostResult(status);
    releaseHostResult(backStatus);
}

}  // namespace mox::fuzz
