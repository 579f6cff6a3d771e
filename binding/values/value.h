// File: binding/values/value.h
//
// `Value`: the generic value tree that carries every piece of data between the codecs, the
// conversion layer and the router. A value is empty, a bool, a signed or unsigned 64-bit
// integer, a double, a string, a byte blob, an enum value (enumerator number plus the static
// type id of the enum type), an ordered collection of values, or a structure mapping member
// names to values.
//
// Ownership: all values of one tree share one `ValueContext` (string intern table and
// small-object pools, binding/value_context.h). The context is created lazily by the first
// operation that needs storage and is owned, and destroyed, by the tree's root. A value made by
// the default constructor is a root; elements and members are not (they belong to the tree and
// die with it). References to elements and members stay valid until the element or member is
// removed by a reset/set/assign of a container above it; additionally, element references are
// invalidated, as with std::vector, when the collection grows (element/append/reserve).
//
// Failures: accessors never fail. Reading the wrong kind yields the caller's default (no
// conversion happens here), missing elements and members yield the shared empty value. The
// only exceptions are std::bad_alloc when memory runs out and std::length_error when a
// collection would exceed kMaxValueLength elements.
//
// Depth: releasing a tree (reset, the setters, destruction, a failure reported into a
// `ValueResult`) walks it without recursion and needs no memory, at any depth, so a tree built
// by code may nest as deep as it likes. Copying (assign, copy construction, take of a
// non-root) and `sameContent` recurse once per level: they support trees nested up to
// `kMaxNestingDepth` (binding/values/nesting_limit.h), the bound every reader of outside data
// and every native conversion enforces, with a wide margin (some 13,000 levels fit a 1 MiB
// stack). REQUIRES: a tree that is copied or compared nests no deeper than that.
//
// Threads: a tree is not safe for concurrent use; one thread builds or reads it at a time.
// Different trees may be used on different threads at the same time.
//
// Example:
//   mox::Value root;
//   root.member("name").setString("probe");
//   root.member("ports").append().setUnsigned(5499u);
//   std::string_view name = root.find("name").asString();       // "probe"
//   std::int64_t port = root.find("ports").at(0).asSigned(-1);   // -1: the kind is unsigned
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding/values/interned_string.h"

namespace mox {

struct StaticTypeId;
class Value;
class ValueContext;

// The kinds, with the number stored in a value. valueKindName gives the printed name.
enum class ValueKind : std::uint8_t {
    Empty = 0,       // "empty": no value (also null)
    Bool = 1,        // "bool"
    Signed = 2,      // "signed": int64; narrower signed integers are sign-extended
    Unsigned = 3,    // "unsigned": uint64; narrower unsigned integers are widened
    Float = 4,       // "float": double; a native float is widened
    String = 5,      // "string": an interned text of the tree
    Blob = 6,        // "blob": a byte vector
    Enum = 7,        // "enum": EnumValue
    Collection = 8,  // "collection": values in index order
    Structure = 9,   // "structure": members in byte-wise name order
};

// The printed name of a kind as messages show it: "empty", "bool", "signed", "unsigned",
// "float", "string", "blob", "enum", "collection", "structure"; "" for any other number.
const char* valueKindName(ValueKind kind) noexcept;

// The most elements a collection may hold; more is a std::length_error.
inline constexpr std::size_t kMaxValueLength = 0x0FFFFFFF;

// The payload of an enum value: the enumerator's number and the identity of the enum type
// (null when unknown). The type id record is not owned; it lives for the whole process.
struct EnumValue {
    std::int32_t number = 0;
    const StaticTypeId* typeId = nullptr;

    friend bool operator==(const EnumValue&, const EnumValue&) = default;
};

// The byte vector of a blob value.
using ValueBytes = std::vector<std::uint8_t>;

namespace detail {
struct StructureNode;
struct Collection;
struct Structure;
template <typename V>
class MemberIterator;
}  // namespace detail

// One member of a structure as iteration yields it. `name` views the member's interned name
// (NUL-terminated; valid as long as the member exists).
template <typename V>
struct BasicValueMember {
    std::string_view name;
    V& value;
};
using ValueMember = BasicValueMember<Value>;
using ConstValueMember = BasicValueMember<const Value>;

// The members of a structure in byte-wise name order (empty for other kinds). Inserting
// members while iterating is allowed but the new ones may or may not be visited.
template <typename V>
class ValueMemberRange {
  public:
    using iterator = detail::MemberIterator<V>;
    explicit ValueMemberRange(const detail::StructureNode* first) noexcept : first_(first) {}
    iterator begin() const noexcept;
    iterator end() const noexcept;

  private:
    const detail::StructureNode* first_;
};

class alignas(8) Value {
  public:
    // An empty root: no context yet; it owns the context it creates later.
    constexpr Value() noexcept : payload_{0}, word_(kOwnsBit) {}
    // Releases the payload; a root also destroys its context with everything in it.
    ~Value();

    // C++ copies and moves always make roots and map onto assign/take:
    //  - Value(const Value&) is a new root holding a deep copy (its own context);
    //  - operator=(const Value&) is assign(): deep copy into this value's tree;
    //  - Value(Value&&) is a new root that take()s the source: it steals a root's whole
    //    tree without copying, deep-copies an element or member (which then becomes empty);
    //  - operator=(Value&&) is take().
    // Moves are not noexcept (the deep-copy branch may allocate); a std::vector<Value> therefore
    // copies on growth, so prefer containers with stable elements for many roots.
    Value(const Value& other);
    Value& operator=(const Value& other);
    Value(Value&& other);
    Value& operator=(Value&& other);

    // --- setters: each first releases what the value held, then stores the new kind ----------
    void setBool(bool value);
    void setSigned(std::int64_t value);
    void setUnsigned(std::uint64_t value);
    void setFloat(double value);
    // Interns the text in this tree; the empty text (and a null pointer) uses the shared empty
    // entry. The text may point into this same tree.
    void setString(const char* text);
    void setString(const std::string& text);
    void setString(std::string_view text);
    // Takes the bytes without copying, or copies them.
    void setBlob(ValueBytes&& bytes);
    void setBlob(const ValueBytes& bytes);
    void setBlob(const void* data, std::size_t size);
    void setEnum(std::int32_t number, const StaticTypeId* typeId);

    // Releases the payload (elements and members first, string references dropped) and makes
    // the value empty. The context stays.
    void reset() noexcept;

    // Makes the value an empty collection/structure unless it already is one (then it keeps
    // its elements/members).
    void makeCollection();
    void makeStructure();

    // Deep copy of `other` into this value's tree; `other` is unchanged. Strings and member
    // names are interned again here, blobs and enum records copied, containers copied element
    // by element and member by member. Self-assignment does nothing; `other` may be a part of
    // this tree (an ancestor or a descendant): the copy is made before the old payload goes.
    // Recurses once per level of `other` (see Depth above).
    void assign(const Value& other);

    // Moves `other` into this value and leaves `other` empty. When both are roots (own their
    // contexts) they swap payload and context without copying; otherwise `other` is deep
    // copied (its storage belongs to its own tree). `other` may be a descendant of this value.
    // REQUIRES: `other` is not an ancestor of this value. take(*this) does nothing.
    void take(Value& other);

    // --- reading ------------------------------------------------------------------------------
    ValueKind kind() const noexcept { return static_cast<ValueKind>(word_ & kKindMask); }
    bool isEmpty() const noexcept { return kind() == ValueKind::Empty; }
    const char* kindName() const noexcept { return valueKindName(kind()); }

    // 0 for empty; byte length of a string or blob; element count of a collection; member count
    // of a structure; 1 for bool, signed, unsigned, float and enum.
    std::size_t size() const noexcept;

    // The payload if the kind matches exactly, else `fallback`.
    bool asBool(bool fallback = false) const noexcept;
    std::int64_t asSigned(std::int64_t fallback = 0) const noexcept;
    std::uint64_t asUnsigned(std::uint64_t fallback = 0) const noexcept;
    double asFloat(double fallback = 0.0) const noexcept;
    // The view of a string value is NUL-terminated and valid while the value holds it.
    std::string_view asString(std::string_view fallback = {}) const noexcept;
    const char* asCString(const char* fallback = "") const noexcept;
    // The bytes of a blob value, valid while the value holds them.
    std::span<const std::uint8_t> asBlob(
        std::span<const std::uint8_t> fallback = {}) const noexcept;
    EnumValue asEnum(EnumValue fallback = {}) const noexcept;
    // The intern entry of a string value (with its hash), or null for other kinds.
    const InternedString* asInterned() const noexcept;

    // --- containers ---------------------------------------------------------------------------
    // Makes the value a collection (as makeCollection), appends empty elements until `index`
    // exists and returns that element. Throws std::length_error if index >= kMaxValueLength.
    Value& element(std::size_t index);
    // element(size()) on a collection: a new empty element at the end.
    Value& append();
    // Makes the value a structure (as makeStructure) and returns the member `name`, inserting
    // an empty member (name interned) when there is none.
    Value& member(std::string_view name);

    // The element/member if this is a collection/structure that has it; otherwise the shared
    // empty value. Never changes anything.
    const Value& at(std::size_t index) const noexcept;
    const Value& find(std::string_view name) const noexcept;
    // Whether this is a structure with a member `name` (tells an absent member from an empty
    // one, which find() does not).
    bool contains(std::string_view name) const noexcept;

    // On a collection, makes room for `count` elements without changing the size (throws
    // std::length_error if count > kMaxValueLength); on other kinds does nothing.
    void reserve(std::size_t count);

    // The elements of a collection in index order (empty for other kinds).
    std::span<Value> elements() noexcept;
    std::span<const Value> elements() const noexcept;
    // The members of a structure in name order (empty for other kinds).
    ValueMemberRange<Value> members() noexcept;
    ValueMemberRange<const Value> members() const noexcept;

    // The shared, static empty value that at() and find() return for missing entries.
    static const Value& emptyValue() noexcept;

    // The tree's context (null until first needed) and whether this value is the root that
    // owns it. Two values belong to the same tree when their contexts are equal and not null.
    ValueContext* context() const noexcept {
        return reinterpret_cast<ValueContext*>(word_ & ~kTagMask);
    }
    bool ownsContext() const noexcept { return (word_ & kOwnsBit) != 0; }

  private:
    friend class ValueContext;
    friend struct detail::Structure;
    friend struct detail::Collection;

    // The context pointer, the owns flag and the kind share one word (the context is aligned
    // to 64 bytes), which keeps a value at 16 bytes on 32- and 64-bit targets alike.
    static constexpr std::uintptr_t kKindMask = 0x0F;
    static constexpr std::uintptr_t kOwnsBit = 0x10;
    static constexpr std::uintptr_t kTagMask = 0x1F;

    union Payload {
        std::uint64_t u;
        bool b;
        std::int64_t i;
        double f;
        const InternedString* string;
        ValueBytes* blob;
        EnumValue* enumeration;
        detail::Collection* collection;
        detail::Structure* structure;
    };

    // A non-owning empty value of the tree of `context` (for elements and members).
    struct ChildTag {};
    Value(ChildTag, ValueContext* context) noexcept
        : payload_{0}, word_(reinterpret_cast<std::uintptr_t>(context)) {}

    void setKind(ValueKind kind) noexcept {
        word_ = (word_ & ~kKindMask) | static_cast<std::uintptr_t>(kind);
    }
    void setContext(ValueContext* context) noexcept {
        word_ = reinterpret_cast<std::uintptr_t>(context) | (word_ & kTagMask);
    }
    ValueContext& ensureContext();
    // Releases the payload without changing kind; `bulk` skips what the context frees
    // wholesale when it dies (pool slots and string references). Iterative: any depth.
    void releasePayload(bool bulk) noexcept;
    // The same for a string, blob or enum (other kinds hold nothing to release).
    void releaseLeaf(bool bulk) noexcept;
    // Deep-copies `source` into `dest`, an empty value of the tree of `context`. On an
    // exception `dest` holds a partial but consistent copy.
    static void copyInto(Value& dest, const Value& source, ValueContext& context);
    void growCollection(std::size_t minCapacity);

    Payload payload_;
    std::uintptr_t word_;
};

static_assert(sizeof(Value) == 16, "a value is 16 bytes on 32- and 64-bit targets");

namespace detail {

// A node of a structure's ordered tree (a red-black tree). Exposed only so that member
// iteration can be inline; not part of the contract.
struct StructureNode {
    StructureNode* left = nullptr;
    StructureNode* right = nullptr;
    // The parent pointer with the node's colour in bit 0 (1 = red).
    std::uintptr_t parentAndColor = 0;
    const InternedString* name = nullptr;
    Value value;

    StructureNode* parent() const noexcept {
        return reinterpret_cast<StructureNode*>(parentAndColor & ~std::uintptr_t{1});
    }
};

// In-order successor, or null after the last node.
inline const StructureNode* nextStructureNode(const StructureNode* node) noexcept {
    if (node->right != nullptr) {
        node = node->right;
        while (node->left != nullptr) {
            node = node->left;
        }
        return node;
    }
    const StructureNode* parent = node->parent();
    while (parent != nullptr && node == parent->right) {
        node = parent;
        parent = parent->parent();
    }
    return parent;
}

template <typename V>
class MemberIterator {
  public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = BasicValueMember<V>;
    using difference_type = std::ptrdiff_t;
    using reference = BasicValueMember<V>;
    using pointer = void;

    MemberIterator() noexcept = default;
    explicit MemberIterator(const StructureNode* node) noexcept : node_(node) {}

    BasicValueMember<V> operator*() const noexcept {
        return {node_->name->view(), const_cast<StructureNode*>(node_)->value};
    }
    MemberIterator& operator++() noexcept {
        node_ = nextStructureNode(node_);
        return *this;
    }
    MemberIterator operator++(int) noexcept {
        MemberIterator old = *this;
        ++*this;
        return old;
    }
    friend bool operator==(const MemberIterator&, const MemberIterator&) = default;

  private:
    const StructureNode* node_ = nullptr;
};

}  // namespace detail

template <typename V>
typename ValueMemberRange<V>::iterator ValueMemberRange<V>::begin() const noexcept {
    return iterator(first_);
}

template <typename V>
typename ValueMemberRange<V>::iterator ValueMemberRange<V>::end() const noexcept {
    return iterator(nullptr);
}

// Whether two values have the same kind and content, wherever their trees live: scalars and
// texts by value, blobs byte by byte, enums by number and type id, collections element by
// element, structures member by member (names and order). Floats compare bit for bit, so a
// NaN equals itself and 0.0 differs from -0.0: the question is "same content", not IEEE
// equality. Recurses once per nesting level (see Depth at the top).
bool sameContent(const Value& a, const Value& b) noexcept;

}  // namespace mox
