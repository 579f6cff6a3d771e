// File: binding/values/value_structure.h
//
// The ordered map behind structure values (private to binding/value.cpp): a red-black tree of
// `detail::StructureNode`s (interned member name + member value), ordered by unsigned
// byte-wise comparison of the names (as strcmp, then by length), names unique. Nodes come from
// the tree's pool; this header only links, finds and rebalances; creating and destroying nodes
// and their names is the caller's job.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/values/value.h"

namespace mox::detail {

// <0, 0, >0 as `name` sorts before, equal to or after `entry`'s text.
int compareNames(std::string_view name, const InternedString& entry) noexcept;

struct Structure {
    StructureNode* root = nullptr;
    // The greatest node (so copies, which insert in order, append without comparisons).
    StructureNode* last = nullptr;
    std::uint32_t count = 0;

    // The node named `name`, or null. Descends comparing names; no copy of the text is made.
    StructureNode* find(std::string_view name) const noexcept;

    // Where a node named `name` is or would go: returns the node when it exists; otherwise
    // null, with `parent` (null for an empty tree) and `left` telling where to link a new one.
    StructureNode* locate(std::string_view name, StructureNode*& parent, bool& left) const noexcept;

    // Links a new node (its `name` set, links cleared) at the place locate() found, then
    // rebalances.
    void link(StructureNode* node, StructureNode* parent, bool left) noexcept;

    // Links a node whose name sorts after every name in the tree.
    void linkLast(StructureNode* node) noexcept { link(node, last, false); }

    StructureNode* first() const noexcept;
};

}  // namespace mox::detail
