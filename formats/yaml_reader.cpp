#include "formats/yaml_reader.h"

#include <yaml.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "binding/converters.h"
#include "binding/values/value.h"
#include "formats/reader_support.h"
#include "text/format_message.h"

namespace mox {

namespace {

constexpr const char* kMultiDocument = "Multi-document YAML is not supported.";
constexpr const char* kCyclicAlias =
    "Cannot deserialize cyclic aliases. Alias \"%1\". At line: %2 col: %3";
constexpr const char* kUndefinedAlias = "Undefined alias encountered: \"%1\". At line: %2 col: %3";
constexpr const char* kInvalidKey =
    "Invalid mapping key. Only string scalar keys are allowed. At line: %1 col: %2";
constexpr const char* kSequenceAsKey = "Unexpected start of sequence. At line: %1 col: %2";
constexpr const char* kMappingAsKey = "Unexpected start of mapping. At line: %1 col: %2";
constexpr const char* kDuplicateAnchor =
    "Duplicate occurrence of anchor \"%1\". At line: %2 col: %3";
constexpr const char* kUnsupportedTag = "Unsupported YAML tag '%1'.";
constexpr const char* kParserError = "YAML parser error: %1. At line: %2 col: %3";
constexpr const char* kTooDeep = "YAML nesting is deeper than %1 levels. At line: %2 col: %3";
constexpr const char* kAliasBudget =
    "YAML aliases expand to more than %1 values in one document. At line: %2 col: %3";
constexpr const char* kNoOpenNode =
    "Unexpected YAML node outside the document. At line: %1 col: %2";

constexpr const char* kStrTag = "tag:yaml.org,2002:str";
constexpr const char* kIntTag = "tag:yaml.org,2002:int";
constexpr const char* kFloatTag = "tag:yaml.org,2002:float";
constexpr const char* kBoolTag = "tag:yaml.org,2002:bool";

// How many values the alias copies of one document may create. Each alias deep-copies its
// node, so a few hundred bytes of anchors that alias each other nine times over expand to
// hundreds of millions of values. A copied text counts one more value per 16 bytes (a value's
// size), because copying it costs its length: a long text aliased many times is bounded too.
constexpr std::size_t kAliasValueBudget = 1000000;
constexpr std::size_t kTextBytesPerValue = 16;

constexpr std::string_view kEmptyWords[] = {"", "~", "null", "Null", "NULL"};
constexpr std::string_view kTrueWords[] = {"true", "True", "TRUE", "y",  "Y", "yes",
                                           "Yes",  "YES",  "on",   "On", "ON"};
constexpr std::string_view kFalseWords[] = {"false", "False", "FALSE", "n",   "N",  "no",
                                            "No",    "NO",    "off",   "Off", "OFF"};

template <std::size_t N>
bool isWord(std::string_view text, const std::string_view (&words)[N]) noexcept {
    for (std::string_view word : words) {
        if (text == word) {
            return true;
        }
    }
    return false;
}

// The smallest doubles that no 64-bit integer reaches.
constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow64 = 18446744073709551616.0;

std::string_view scalarText(const yaml_event_t& event) noexcept {
    return std::string_view(reinterpret_cast<const char*>(event.data.scalar.value),
                            event.data.scalar.length);
}

const char* asText(const yaml_char_t* text) noexcept {
    return reinterpret_cast<const char*>(text);
}

// A step of the route from the root to a node.
enum class StepKind : std::uint8_t { Root, Index, Member };

// An anchored node's route, stored as a chain of steps that share their prefixes, so that many
// anchors deep in one subtree cost one step each rather than a copy of the whole route.
struct RecordedStep {
    std::int32_t parent;  // -1 for the root step
    StepKind kind;
    std::uint64_t index;
    std::string name;
};

// What an anchor names: the route to an anchored node, or the text of an anchored mapping key.
struct Anchor {
    bool isKey = false;
    bool open = false;  // an anchored sequence or mapping that has not ended yet
    std::int32_t route = -1;
    std::string keyText;
};

// One open node: its target and the step that led to it from its parent (the node stack and
// the path stack in one). Entries are reused, so their names keep their storage.
struct Entry {
    Value* target = nullptr;
    Anchor* anchor = nullptr;
    StepKind kind = StepKind::Root;
    std::uint64_t index = 0;
    std::string name;
    std::int32_t recorded = -1;  // the recorded step of this entry's route, -1 until recorded
};

// Builds one generic value from libyaml's events. handle() returns false once the result
// has failed; the first failure is the one reported.
class YamlValueBuilder {
  public:
    explicit YamlValueBuilder(ValueResult& result) : result_(result) { resetStack(); }

    bool handle(const yaml_event_t& event) {
        switch (event.type) {
            case YAML_DOCUMENT_START_EVENT:
                // Every document has one root node, so a second document always brings a
                // second root. The stack is laid anew for the document all the same.
                if (documentStarted_) {
                    return fail(kMultiDocument);
                }
                documentStarted_ = true;
                resetStack();
                return true;
            case YAML_ALIAS_EVENT:
                return alias(event);
            case YAML_SCALAR_EVENT:
                return scalar(event);
            case YAML_SEQUENCE_START_EVENT:
                return startContainer(event, asText(event.data.sequence_start.anchor),
                                      ValueKind::Collection);
            case YAML_MAPPING_START_EVENT:
                return startContainer(event, asText(event.data.mapping_start.anchor),
                                      ValueKind::Structure);
            case YAML_SEQUENCE_END_EVENT:
            case YAML_MAPPING_END_EVENT:
                pop();
                return true;
            default:  // stream start, document end, no event
                return true;
        }
    }

  private:
    struct Slot {
        Value* value = nullptr;
        bool keyPosition = false;  // the slot is the open mapping itself, awaiting a key
    };

    bool fail(std::string_view message) {
        result_.fail(message);
        return false;
    }

    static std::size_t line(const yaml_event_t& event) { return event.start_mark.line + 1; }
    static std::size_t column(const yaml_event_t& event) { return event.start_mark.column + 1; }

    void resetStack() {
        depth_ = 0;
        hasPendingKey_ = false;
        push(&result_.value(), StepKind::Root, 0, {});
    }

    void push(Value* target, StepKind kind, std::uint64_t index, std::string_view name) {
        if (depth_ == entries_.size()) {
            entries_.emplace_back();
        }
        Entry& entry = entries_[depth_++];
        entry.target = target;
        entry.anchor = nullptr;
        entry.kind = kind;
        entry.index = index;
        if (kind == StepKind::Member) {
            entry.name.assign(name);
        }
        entry.recorded = -1;
    }

    void pop() {
        if (depth_ == 0) {
            return;
        }
        Entry& entry = entries_[--depth_];
        if (entry.anchor != nullptr) {
            entry.anchor->open = false;
        }
    }

    // Chooses the slot of a node event. False (failed) when no node is open, which libyaml's
    // one root per document rules out; guarded so that no event reads an empty stack.
    bool chooseSlot(const yaml_event_t& event, Slot& slot) {
        if (depth_ == 0) {
            return fail(formatMessage(kNoOpenNode, line(event), column(event)));
        }
        Value& container = *entries_[depth_ - 1].target;
        if (container.kind() == ValueKind::Collection) {
            const std::size_t count = container.size();
            Value& element = container.append();
            push(&element, StepKind::Index, count, {});
            slot.value = &element;
        } else if (container.kind() == ValueKind::Structure && hasPendingKey_) {
            Value& member = container.member(pendingKey_);
            push(&member, StepKind::Member, 0, pendingKey_);
            hasPendingKey_ = false;
            slot.value = &member;
        } else {
            slot.value = &container;
            slot.keyPosition = container.kind() == ValueKind::Structure;
        }
        return true;
    }

    // Records `name` in the anchor table; false (failed) when it is there already.
    bool recordAnchor(const char* name, const yaml_event_t& event, Anchor*& anchor) {
        auto [it, inserted] = anchors_.try_emplace(name);
        if (!inserted) {
            return fail(formatMessage(kDuplicateAnchor, name, line(event), column(event)));
        }
        anchor = &it->second;
        return true;
    }

    // Records an anchor on the node of the top entry, with the route to it.
    bool anchorNode(const char* name, const yaml_event_t& event, bool open) {
        Anchor* anchor = nullptr;
        if (!recordAnchor(name, event, anchor)) {
            return false;
        }
        anchor->route = recordRoute();
        anchor->open = open;
        entries_[depth_ - 1].anchor = anchor;
        return true;
    }

    // The recorded step of the top entry's route, recording the steps not yet recorded.
    std::int32_t recordRoute() {
        std::int32_t parent = -1;
        for (std::size_t i = 0; i < depth_; ++i) {
            Entry& entry = entries_[i];
            if (entry.recorded < 0) {
                entry.recorded = static_cast<std::int32_t>(routes_.size());
                routes_.push_back(
                    RecordedStep{parent, entry.kind, entry.index,
                                 entry.kind == StepKind::Member ? entry.name : std::string()});
            }
            parent = entry.recorded;
        }
        return parent;
    }

    // Walks a recorded route from the root with the read-only accessors: nothing is created,
    // and a step that no longer exists leads to the shared empty value.
    const Value& follow(std::int32_t route) {
        routeScratch_.clear();
        for (std::int32_t step = route; step >= 0; step = routes_[step].parent) {
            routeScratch_.push_back(step);
        }
        const Value* node = &result_.value();
        for (auto it = routeScratch_.rbegin(); it != routeScratch_.rend(); ++it) {
            const RecordedStep& step = routes_[*it];
            if (step.kind == StepKind::Index) {
                node = &node->at(static_cast<std::size_t>(step.index));
            } else if (step.kind == StepKind::Member) {
                node = &node->find(step.name);
            }
        }
        return *node;
    }

    // Counts what copying `source` creates (stopping once past `limit`) and how deep its
    // containers nest (a scalar is depth 0).
    std::size_t measure(const Value& source, std::size_t limit, std::size_t& depth) {
        std::size_t cost = 0;
        depth = 0;
        measureStack_.clear();
        measureStack_.push_back({&source, 0});
        while (!measureStack_.empty() && cost <= limit) {
            const auto [value, level] = measureStack_.back();
            measureStack_.pop_back();
            cost += 1;
            if (value->kind() == ValueKind::String || value->kind() == ValueKind::Blob) {
                cost += value->size() / kTextBytesPerValue;
            } else if (value->kind() == ValueKind::Collection) {
                depth = std::max<std::size_t>(depth, level + 1);
                for (const Value& element : value->elements()) {
                    measureStack_.push_back({&element, level + 1});
                }
            } else if (value->kind() == ValueKind::Structure) {
                depth = std::max<std::size_t>(depth, level + 1);
                for (const ConstValueMember member : value->members()) {
                    cost += member.name.size() / kTextBytesPerValue;
                    measureStack_.push_back({&member.value, level + 1});
                }
            }
        }
        return cost;
    }

    bool alias(const yaml_event_t& event) {
        const char* name = asText(event.data.alias.anchor);
        Slot slot;
        if (!chooseSlot(event, slot)) {
            return false;
        }
        // An open anchored node is always in the table, so the cyclic test comes first.
        const auto it = anchors_.find(name);
        if (it != anchors_.end() && it->second.open) {
            return fail(formatMessage(kCyclicAlias, name, line(event), column(event)));
        }
        if (it == anchors_.end()) {
            return fail(formatMessage(kUndefinedAlias, name, line(event), column(event)));
        }
        const Anchor& anchor = it->second;
        if (slot.keyPosition) {
            // An alias as a mapping key supplies a text: an anchored key's, or that of an
            // anchored node holding a string. The mapping stays open.
            std::string_view key;
            if (anchor.isKey) {
                key = anchor.keyText;
            } else {
                const Value& node = follow(anchor.route);
                if (node.kind() != ValueKind::String) {
                    return fail(formatMessage(kInvalidKey, line(event), column(event)));
                }
                key = node.asString();
            }
            if (!spendOnText(key, event)) {
                return false;
            }
            pendingKey_.assign(key);
            hasPendingKey_ = true;
            return true;
        }
        if (anchor.isKey) {
            if (!spendOnText(anchor.keyText, event)) {
                return false;
            }
            slot.value->setString(anchor.keyText);
        } else {
            const Value& source = follow(anchor.route);
            std::size_t depth = 0;
            const std::size_t cost = measure(source, aliasBudget_, depth);
            if (cost > aliasBudget_) {
                return failBudget(event);
            }
            // The slot sits at depth_ - 1 levels below the root.
            if (detail::exceedsNestingDepth(depth_ - 1 + depth)) {
                return fail(formatMessage(kTooDeep, kMaxNestingDepth, line(event), column(event)));
            }
            aliasBudget_ -= cost;
            slot.value->assign(source);
        }
        pop();
        return true;
    }

    bool failBudget(const yaml_event_t& event) {
        return fail(formatMessage(kAliasBudget, kAliasValueBudget, line(event), column(event)));
    }

    // An alias that copies a text (an anchored key's, or a key taken from a node) costs one
    // value plus its length, like a copied string.
    bool spendOnText(std::string_view text, const yaml_event_t& event) {
        const std::size_t cost = 1 + text.size() / kTextBytesPerValue;
        if (cost > aliasBudget_) {
            return failBudget(event);
        }
        aliasBudget_ -= cost;
        return true;
    }

    bool scalar(const yaml_event_t& event) {
        Slot slot;
        if (!chooseSlot(event, slot)) {
            return false;
        }
        const char* tag = asText(event.data.scalar.tag);
        const char* anchorName = asText(event.data.scalar.anchor);
        if (slot.keyPosition) {
            if (tag != nullptr && std::strcmp(tag, kStrTag) != 0) {
                return fail(formatMessage(kInvalidKey, line(event), column(event)));
            }
            pendingKey_.assign(scalarText(event));
            hasPendingKey_ = true;
            if (anchorName != nullptr) {
                Anchor* anchor = nullptr;
                if (!recordAnchor(anchorName, event, anchor)) {
                    return false;
                }
                anchor->isKey = true;
                anchor->keyText = pendingKey_;
            }
            return true;
        }
        if (!resolve(*slot.value, event, tag)) {
            return false;
        }
        if (anchorName != nullptr && !anchorNode(anchorName, event, false)) {
            return false;
        }
        pop();
        return true;
    }

    bool startContainer(const yaml_event_t& event, const char* anchorName, ValueKind kind) {
        Slot slot;
        if (!chooseSlot(event, slot)) {
            return false;
        }
        if (slot.keyPosition) {
            const char* message = kind == ValueKind::Collection ? kSequenceAsKey : kMappingAsKey;
            return fail(formatMessage(message, line(event), column(event)));
        }
        // The new container is the top entry, so its depth is the number of entries.
        if (detail::exceedsNestingDepth(depth_)) {
            return fail(formatMessage(kTooDeep, kMaxNestingDepth, line(event), column(event)));
        }
        if (kind == ValueKind::Collection) {
            slot.value->makeCollection();
        } else {
            slot.value->makeStructure();
        }
        return anchorName == nullptr || anchorNode(anchorName, event, true);
    }

    // Puts a scalar that is not a mapping key into `slot`.
    bool resolve(Value& slot, const yaml_event_t& event, const char* tag) {
        const std::string_view text = scalarText(event);
        if (tag != nullptr) {
            return resolveTagged(slot, text, tag);
        }
        const yaml_scalar_style_t style = event.data.scalar.style;
        if (style == YAML_SINGLE_QUOTED_SCALAR_STYLE || style == YAML_DOUBLE_QUOTED_SCALAR_STYLE) {
            slot.setString(text);
            return true;
        }
        // The empty words come before numbers, the bool words after them ("1" stays a number,
        // "y" a bool).
        if (isWord(text, kEmptyWords)) {
            return true;  // the slot keeps what it holds
        }
        if (resolvePlainNumber(slot, text)) {
            return true;
        }
        if (isWord(text, kTrueWords)) {
            slot.setBool(true);
        } else if (isWord(text, kFalseWords)) {
            slot.setBool(false);
        } else {
            slot.setString(text);
        }
        return true;
    }

    // Whether the standard string-to-double conversion reads all of the non-empty `text`.
    // std::from_chars reads the common decimal forms to the same, correctly rounded, double
    // as strtod in the C locale, several times faster; whatever it does not read whole (a
    // leading '+' or white space, hexadecimal, infinities and NaN, values out of range) is
    // left to strtod itself.
    static bool readWholeNumber(std::string_view text, double& number) {
        const char* begin = text.data();
        const char* end = begin + text.size();
        const char* digits = *begin == '-' ? begin + 1 : begin;
        if (digits != end && ((*digits >= '0' && *digits <= '9') || *digits == '.')) {
            const std::from_chars_result read = std::from_chars(begin, end, number);
            if (read.ec == std::errc() && read.ptr == end) {
                return true;
            }
        }
        // libyaml's scalar values are NUL-terminated, and plain, literal and folded scalars
        // hold no NUL of their own, so strtod stops at the end.
        char* stop = nullptr;
        number = std::strtod(begin, &stop);
        return stop == end;
    }

    // A plain text that strtod reads completely is a number: integral values within the 64-bit
    // range of their sign become unsigned (zero or more) or signed, everything else a float.
    // Infinities stay texts ("inf", "-inf", "1e999"), and so does every integral value outside
    // that range as a float, because converting it to 64 bits would be undefined.
    static bool resolvePlainNumber(Value& slot, std::string_view text) {
        if (text.empty()) {
            return false;
        }
        double number = 0.0;
        if (!readWholeNumber(text, number) || std::isinf(number)) {
            return false;
        }
        if (number != std::trunc(number)) {  // also NaN
            slot.setFloat(number);
        } else if (number >= 0.0 && number < kTwoPow64) {
            slot.setUnsigned(static_cast<std::uint64_t>(number));
        } else if (number < 0.0 && number >= -kTwoPow63) {
            slot.setSigned(static_cast<std::int64_t>(number));
        } else {
            slot.setFloat(number);
        }
        return true;
    }

    bool resolveTagged(Value& slot, std::string_view text, const char* tag) {
        if (std::strcmp(tag, kStrTag) == 0) {
            slot.setString(text);
            return true;
        }
        if (std::strcmp(tag, kIntTag) == 0 || std::strcmp(tag, kFloatTag) == 0) {
            // The text-to-number conversion reads a string value: the slot holds the text
            // first and the number replaces it.
            slot.setString(text);
            ValueResult numberResult;
            bool converted = false;
            if (std::strcmp(tag, kFloatTag) == 0) {
                double number = 0.0;
                converted =
                    conversion::readFloating(numberResult, slot, "yaml",
                                             std::numeric_limits<double>::max(), "double", number);
                if (converted) {
                    slot.setFloat(number);
                }
            } else if (!text.empty() && text.front() == '-') {
                std::int64_t number = 0;
                converted = conversion::readSigned(
                    numberResult, slot, "yaml", std::numeric_limits<std::int64_t>::min(),
                    std::numeric_limits<std::int64_t>::max(), "int64_t", number);
                if (converted) {
                    slot.setSigned(number);
                }
            } else {
                std::uint64_t number = 0;
                converted = conversion::readUnsigned(numberResult, slot, "yaml",
                                                     std::numeric_limits<std::uint64_t>::max(),
                                                     "uint64_t", number);
                if (converted) {
                    slot.setUnsigned(number);
                }
            }
            return converted || fail(std::string(numberResult.error()));
        }
        if (std::strcmp(tag, kBoolTag) == 0) {
            if (isWord(text, kTrueWords)) {
                slot.setBool(true);
            } else if (isWord(text, kFalseWords)) {
                slot.setBool(false);
            }
            return true;  // any other text leaves the slot as it was
        }
        return fail(formatMessage(kUnsupportedTag, tag));
    }

    ValueResult& result_;
    bool documentStarted_ = false;
    std::vector<Entry> entries_;
    std::size_t depth_ = 0;
    std::string pendingKey_;
    bool hasPendingKey_ = false;
    std::unordered_map<std::string, Anchor> anchors_;
    std::vector<RecordedStep> routes_;
    std::vector<std::int32_t> routeScratch_;
    struct Measured {
        const Value* value;
        std::size_t level;
    };
    std::vector<Measured> measureStack_;
    std::size_t aliasBudget_ = kAliasValueBudget;
};

// Owns the parser and the current event, so both are released on every path out.
class YamlParser {
  public:
    YamlParser() { initialized_ = yaml_parser_initialize(&parser_) != 0; }
    ~YamlParser() {
        yaml_event_delete(&event_);
        if (initialized_) {
            yaml_parser_delete(&parser_);
        }
    }
    YamlParser(const YamlParser&) = delete;
    YamlParser& operator=(const YamlParser&) = delete;

    bool initialized() const noexcept { return initialized_; }
    yaml_parser_t& parser() noexcept { return parser_; }
    yaml_event_t& event() noexcept { return event_; }

    // Deletes the current event and reads the next; false when the parser has an error.
    bool next() {
        yaml_event_delete(&event_);
        return yaml_parser_parse(&parser_, &event_) != 0;
    }

  private:
    yaml_parser_t parser_{};
    yaml_event_t event_{};
    bool initialized_ = false;
};

}  // namespace

ValueResult parseYaml(const std::string& text) {
    ValueResult result;
    YamlParser yaml;
    if (!yaml.initialized()) {
        result.fail(formatMessage(kParserError, "out of memory", 0, 0));
        return result;
    }
    yaml_parser_t& parser = yaml.parser();
    yaml_parser_set_encoding(&parser, YAML_UTF8_ENCODING);
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text.data()),
                                 text.size());
    YamlValueBuilder builder(result);
    bool parsed = yaml.next();
    while (parsed && yaml.event().type != YAML_STREAM_END_EVENT && builder.handle(yaml.event())) {
        parsed = yaml.next();
    }
    if (result.ok() && parser.error != YAML_NO_ERROR) {
        result.fail(formatMessage(kParserError, parser.problem != nullptr ? parser.problem : "",
                                  parser.problem_mark.line, parser.problem_mark.column));
    }
    return result;
}

}  // namespace mox
