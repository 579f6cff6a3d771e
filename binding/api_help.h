// File: binding/api_help.h
//
// API help: a description of every registered function, type and event, either as structured
// records (`BindingHelpFormat::Full`, the records below converted to generic values by their
// own registered descriptors) or as epytext documentation texts (`Epytext`). The help records
// are registered types themselves (`registerHelpTypes`), so they convert like any record.
//
// Example:
//   Value help;
//   apiHelp(help, registry, BindingHelpFormat::Full);
//   // help.find("types") is a collection of BindingFullTypeHelp structures, sorted by name
//
// Texts of the epytext format end their lines with CR LF. Nothing here throws for any
// registered content (allocation failures aside).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "binding/type_descriptor.h"
#include "binding/type_ref.h"

namespace mox {

class TypeRegistry;
class Value;

enum class BindingHelpFormat : std::int32_t {
    Full = 1,     // "Native help format"
    Epytext = 2,  // "Python epytext format"
};

struct BindingFullTypeIdentifier {
    std::string type;
    std::string elementType;
};

struct BindingFullArgumentHelp {
    std::string name;
    std::string description;
    BindingFullTypeIdentifier type;
    bool optional = false;
};

struct BindingFullFunctionHelp {
    std::string name;
    std::string nameSpace;
    std::vector<BindingFullArgumentHelp> arguments;
    BindingFullTypeIdentifier returns;
    std::string description;
    std::string help;
    bool threadSafe = false;
    std::string async;
    std::vector<std::string> tags;
};

struct BindingFullEnumValueHelp {
    std::string name;
    std::string description;
    std::int32_t value = 0;
};

struct BindingFullFieldHelp {
    std::string name;
    std::string description;
    std::uint32_t offset = 0;
    BindingFullTypeIdentifier type;
    bool optional = false;
};

struct BindingFullTypeHelp {
    std::string name;
    std::string nameSpace;
    std::uint32_t size = 0;
    std::string description;
    std::vector<std::string> tags;
    std::vector<BindingFullFieldHelp> fields;
    std::vector<BindingFullEnumValueHelp> values;
};

struct BindingFullEventHelp {
    std::string name;
    std::string nameSpace;
    BindingFullTypeIdentifier type;
    std::string description;
    std::vector<std::string> tags;
};

struct BindingFullApiHelp {
    std::vector<BindingFullFunctionHelp> functions;
    std::vector<BindingFullTypeHelp> types;
    std::vector<BindingFullEventHelp> events;
};

// Registers `BindingHelpFormat` and the eight help records (tags "$builtin" and "help").
// Idempotent.
void registerHelpTypes(TypeRegistry& registry);

// Fills `output` with the members "functions", "types" and "events" (each created even when
// nothing is added to it). Each list is sorted by name (byte-wise) and, per item: Full appends
// the item's help record, converted by the record type registered in `registry` (an element
// stays empty when that type is not registered), to the member's collection; Epytext sets the
// member's entry named after the item to the item's text; any other format adds nothing.
void apiHelp(Value& output, const TypeRegistry& registry,
             std::vector<const FunctionDescriptor*> functions,
             std::vector<const TypeDescriptor*> types, std::vector<const EventDescriptor*> events,
             BindingHelpFormat format);

// The same over snapshots of everything registered in `registry`.
void apiHelp(Value& output, const TypeRegistry& registry, BindingHelpFormat format);

// The per-item producers: add one item's help to `list` (the "functions", "types" or
// "events" member of the output) in `format`.
void addFunctionHelp(Value& list, const TypeRegistry& registry, const FunctionDescriptor& function,
                     BindingHelpFormat format);
void addTypeHelp(Value& list, const TypeRegistry& registry, const TypeDescriptor& type,
                 BindingHelpFormat format);
void addEventHelp(Value& list, const TypeRegistry& registry, const EventDescriptor& event,
                  BindingHelpFormat format);

// The help records of one item, as Full converts them.
BindingFullTypeIdentifier typeIdentifierHelp(const TypeRef& ref);
BindingFullFunctionHelp functionHelp(const FunctionDescriptor& function);
BindingFullTypeHelp typeHelp(const TypeDescriptor& type);
BindingFullEventHelp eventHelp(const EventDescriptor& event);

// The epytext texts of one item, and the pieces they are made of.
std::string functionEpytext(const FunctionDescriptor& function);
std::string typeEpytext(const TypeDescriptor& type);
std::string eventEpytext(const EventDescriptor& event);
// A leading "-" becomes "E{-}", every "{" "E{lb}" and every "}" "E{rb}".
std::string escapeEpytext(std::string_view text);

}  // namespace mox
