#include "binding/api_help.h"

#include <algorithm>
#include <string_view>

#include "binding/converters.h"
#include "binding/type_builder.h"
#include "binding/type_registry.h"
#include "binding/values/value.h"
#include "binding/values/value_result.h"

namespace mox {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

template <class Descriptor>
void sortByName(std::vector<const Descriptor*>& items) {
    // std::string compares as memcmp does: byte-wise, unsigned, shorter first on a common
    // prefix.
    std::sort(items.begin(), items.end(),
              [](const Descriptor* a, const Descriptor* b) { return a->name < b->name; });
}

// Appends the Full record `record` to the collection `list`, converted by the registered
// descriptor of Record; the element stays empty when Record is not registered.
template <class Record>
void appendRecord(Value& list, const TypeRegistry& registry, const Record& record) {
    Value& element = list.append();
    const TypeDescriptor* descriptor = registry.findTypeById(typeIdOf<Record>());
    if (descriptor == nullptr) {
        return;
    }
    ConversionFailure failure;
    if (!converterFor<Record>().writeValue(element, &record, descriptor, &registry, 0, failure)) {
        element.reset();
    }
}

void appendTagsLine(std::string& text, const std::vector<std::string>& tags) {
    if (tags.empty()) {
        return;
    }
    text += "@tags: ";
    for (std::size_t i = 0; i < tags.size(); ++i) {
        if (i != 0) {
            text += ',';
        }
        text += tags[i];
    }
    text += kLineEnd;
}

void appendParagraph(std::string& text, std::string_view paragraph) {
    text += escapeEpytext(paragraph);
    text += kLineEnd;
    text += kLineEnd;
}

}  // namespace

// --- registration -----------------------------------------------------------------------------

void registerHelpTypes(TypeRegistry& registry) {
    registry.beginEnum<BindingHelpFormat>("BindingHelpFormat")
        .value("Full", BindingHelpFormat::Full, "Native help format")
        .value("Epytext", BindingHelpFormat::Epytext, "Python epytext format")
        .description("Help format for binding functions and types.")
        .tag("$builtin")
        .tag("help")
        .finish();

    using TypeId = BindingFullTypeIdentifier;
    registry.beginStruct<TypeId>("BindingFullTypeIdentifier")
        .field("type", &TypeId::type)
        .field("elementType", &TypeId::elementType)
        .description("Describes the type of a value.")
        .tag("$builtin")
        .tag("help")
        .finish();

    using Argument = BindingFullArgumentHelp;
    registry.beginStruct<Argument>("BindingFullArgumentHelp")
        .field("name", &Argument::name)
        .field("description", &Argument::description)
        .field("type", &Argument::type)
        .field("optional", &Argument::optional)
        .description("Describes a function parameter.")
        .tag("$builtin")
        .tag("help")
        .finish();

    using Function = BindingFullFunctionHelp;
    registry.beginStruct<Function>("BindingFullFunctionHelp")
        .field("name", &Function::name)
        .field("nameSpace", &Function::nameSpace)
        .field("arguments", &Function::arguments)
        .field("returns", &Function::returns)
        .field("description", &Function::description)
        .field("help", &Function::help)
        .field("threadSafe", &Function::threadSafe)
        .field("async", &Function::async)
        .field("tags", &Function::tags)
        .description("Describes a function.")
        .tag("$builtin")
        .tag("help")
        .finish();

    using EnumValue = BindingFullEnumValueHelp;
    registry.beginStruct<EnumValue>("BindingFullEnumValueHelp")
        .field("name", &EnumValue::name)
        .field("description", &EnumValue::description)
        .field("value", &EnumValue::value)
        .description("Describes an enumerator.")
        .tag("$builtin")
        .tag("help")
        .finish();

    using Field = BindingFullFieldHelp;
    registry.beginStruct<Field>("BindingFullFieldHelp")
        .field("name", &Field::name)
        .field("description", &Field::description)
        .field("offset", &Field::offset)
        .field("type", &Field::type)
        .field("optional", &Field::optional)
        .description("Describes a member of a struct.")
        .tag("$builtin")
        .tag("help")
        .finish();

    using Type = BindingFullTypeHelp;
    registry.beginStruct<Type>("BindingFullTypeHelp")
        .field("name", &Type::name)
        .field("nameSpace", &Type::nameSpace)
        .field("size", &Type::size)
        .field("description", &Type::description)
        .field("tags", &Type::tags)
        .field("fields", &Type::fields)
        .field("values", &Type::values)
        .description("Describes a struct or enum type.")
        .tag("$builtin")
        .tag("help")
        .finish();

    using Event = BindingFullEventHelp;
    registry.beginStruct<Event>("BindingFullEventHelp")
        .field("name", &Event::name)
        .field("nameSpace", &Event::nameSpace)
        .field("type", &Event::type)
        .field("description", &Event::description)
        .field("tags", &Event::tags)
        .description("Describes an event.")
        .tag("$builtin")
        .tag("help")
        .finish();

    using Api = BindingFullApiHelp;
    registry.beginStruct<Api>("BindingFullApiHelp")
        .field("functions", &Api::functions)
        .field("types", &Api::types)
        .field("events", &Api::events)
        .description("Describes the exposed native API.")
        .tag("$builtin")
        .tag("help")
        .finish();
}

// --- Full records -----------------------------------------------------------------------------

BindingFullTypeIdentifier typeIdentifierHelp(const TypeRef& ref) {
    const TypeIdentifierText text = typeIdentifierOf(ref);
    return {std::string(text.type), std::string(text.elementType)};
}

BindingFullFunctionHelp functionHelp(const FunctionDescriptor& function) {
    BindingFullFunctionHelp help;
    help.name = function.name;
    help.nameSpace = function.nameSpace;
    help.arguments.reserve(function.arguments.size());
    for (const ArgumentDescriptor& argument : function.arguments) {
        help.arguments.push_back({argument.name, argument.description,
                                  typeIdentifierHelp(argument.type), argument.optional});
    }
    help.returns = typeIdentifierHelp(function.result);
    help.description = function.description;
    help.help = function.help;
    help.threadSafe = function.threadSafe;
    if (function.async && function.result.descriptor != nullptr) {
        help.async = function.result.descriptor->name;
    }
    help.tags = function.tags;
    return help;
}

BindingFullTypeHelp typeHelp(const TypeDescriptor& type) {
    BindingFullTypeHelp help;
    help.name = type.name;
    help.nameSpace = type.nameSpace;
    help.size = type.size;
    help.description = type.description;
    help.tags = type.tags;
    if (type.isEnum) {
        help.values.reserve(type.enumerators.size());
        for (const auto& [name, enumerator] : type.enumerators) {
            help.values.push_back({enumerator.name, enumerator.description, enumerator.number});
        }
    } else {
        help.fields.reserve(type.fields.size());
        for (const FieldDescriptor& field : type.fields) {
            help.fields.push_back({field.name, field.description, field.offset,
                                   typeIdentifierHelp(field.type), field.optional});
        }
    }
    return help;
}

BindingFullEventHelp eventHelp(const EventDescriptor& event) {
    BindingFullEventHelp help;
    help.name = event.name;
    help.nameSpace = event.nameSpace;
    help.type = typeIdentifierHelp(event.payload);
    help.description = event.description;
    help.tags = event.tags;
    return help;
}

// --- epytext ----------------------------------------------------------------------------------

std::string escapeEpytext(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '-' && i == 0) {
            out += "E{-}";
        } else if (c == '{') {
            out += "E{lb}";
        } else if (c == '}') {
            out += "E{rb}";
        } else {
            out += c;
        }
    }
    return out;
}

std::string functionEpytext(const FunctionDescriptor& function) {
    std::string text;
    if (!function.description.empty()) {
        appendParagraph(text, function.description);
    }
    if (!function.help.empty()) {
        appendParagraph(text, function.help);
    }
    for (const ArgumentDescriptor& argument : function.arguments) {
        if (!argument.description.empty()) {
            text += "@param ";
            text += argument.name;
            text += ": ";
            if (argument.optional) {
                text += "(optional) ";
            }
            text += escapeEpytext(argument.description);
            text += kLineEnd;
        }
        text += "@type ";
        text += argument.name;
        text += ": ";
        text += epytextTypeName(argument.type);
        text += kLineEnd;
    }
    if (function.result.kind != TypeKind::None) {
        text += "@rtype: ";
        text += epytextTypeName(function.result);
        text += kLineEnd;
    }
    appendTagsLine(text, function.tags);
    if (function.threadSafe) {
        text += "@threadsafe: true";
        text += kLineEnd;
    }
    if (function.async) {
        text += "@async: ";
        text += epytextTypeName(function.result);
        text += kLineEnd;
    }
    return text;
}

std::string typeEpytext(const TypeDescriptor& type) {
    std::string text;
    if (!type.description.empty()) {
        appendParagraph(text, type.description);
    }
    if (!type.isEnum) {
        for (const FieldDescriptor& field : type.fields) {
            text += "@ivar ";
            text += field.name;
            text += ": ";
            text += field.description;
            text += kLineEnd;
            text += "@type ";
            text += field.name;
            text += ": ";
            text += epytextTypeName(field.type);
            text += kLineEnd;
        }
        appendTagsLine(text, type.tags);
        return text;
    }
    std::vector<const EnumeratorDescriptor*> byNumber;
    byNumber.reserve(type.enumerators.size());
    for (const auto& [name, enumerator] : type.enumerators) {
        byNumber.push_back(&enumerator);
    }
    // Stable: enumerators sharing a number keep their name order.
    std::stable_sort(byNumber.begin(), byNumber.end(),
                     [](const EnumeratorDescriptor* a, const EnumeratorDescriptor* b) {
                         return a->number < b->number;
                     });
    for (const EnumeratorDescriptor* enumerator : byNumber) {
        text += "@cvar ";
        text += enumerator->name;
        text += ": (";
        text += std::to_string(enumerator->number);
        text += ')';
        if (!enumerator->description.empty()) {
            text += ' ';
            text += enumerator->description;
        }
        text += kLineEnd;
    }
    appendTagsLine(text, type.tags);
    text += "@size: ";
    text += std::to_string(type.size);
    text += kLineEnd;
    return text;
}

std::string eventEpytext(const EventDescriptor& event) {
    std::string text;
    appendParagraph(text, event.description);
    appendTagsLine(text, event.tags);
    return text;
}

// --- producers --------------------------------------------------------------------------------

void addFunctionHelp(Value& list, const TypeRegistry& registry, const FunctionDescriptor& function,
                     BindingHelpFormat format) {
    if (format == BindingHelpFormat::Full) {
        appendRecord(list, registry, functionHelp(function));
    } else if (format == BindingHelpFormat::Epytext) {
        list.member(function.name).setString(functionEpytext(function));
    }
}

void addTypeHelp(Value& list, const TypeRegistry& registry, const TypeDescriptor& type,
                 BindingHelpFormat format) {
    if (format == BindingHelpFormat::Full) {
        appendRecord(list, registry, typeHelp(type));
    } else if (format == BindingHelpFormat::Epytext) {
        list.member(type.name).setString(typeEpytext(type));
    }
}

void addEventHelp(Value& list, const TypeRegistry& registry, const EventDescriptor& event,
                  BindingHelpFormat format) {
    if (format == BindingHelpFormat::Full) {
        appendRecord(list, registry, eventHelp(event));
    } else if (format == BindingHelpFormat::Epytext) {
        list.member(event.name).setString(eventEpytext(event));
    }
}

void apiHelp(Value& output, const TypeRegistry& registry,
             std::vector<const FunctionDescriptor*> functions,
             std::vector<const TypeDescriptor*> types, std::vector<const EventDescriptor*> events,
             BindingHelpFormat format) {
    sortByName(functions);
    sortByName(types);
    sortByName(events);
    Value& functionList = output.member("functions");
    for (const FunctionDescriptor* function : functions) {
        addFunctionHelp(functionList, registry, *function, format);
    }
    Value& typeList = output.member("types");
    for (const TypeDescriptor* type : types) {
        addTypeHelp(typeList, registry, *type, format);
    }
    Value& eventList = output.member("events");
    for (const EventDescriptor* event : events) {
        addEventHelp(eventList, registry, *event, format);
    }
}

void apiHelp(Value& output, const TypeRegistry& registry, BindingHelpFormat format) {
    apiHelp(output, registry, registry.functionSnapshot(), registry.typeSnapshot(),
            registry.eventSnapshot(), format);
}

}  // namespace mox
