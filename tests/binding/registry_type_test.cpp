// Type identities, registration through the builders, lookups, texts and the change counter.
#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/builtin_types.h"
#include "binding/type_builder.h"
#include "binding/type_identity.h"
#include "binding/type_registry.h"

namespace {

struct FixedRecord {
    std::int32_t state = 0;
};
struct Leaf {
    std::int32_t a = 0;
    std::string s;
};
struct Tree {
    std::uint16_t port = 0;
    Leaf leaf;
    std::vector<Leaf> leaves;
    std::unordered_map<std::string, std::uint32_t> counts;
    std::optional<double> ratio;
    std::vector<Tree> children;
};
enum class Format : std::int32_t { Full = 1, Epytext = 2 };

}  // namespace

template <>
struct mox::FixedTypeId<FixedRecord>
    : std::integral_constant<std::uint32_t, mox::kPluginManagerStateTypeId> {};

namespace mox {
namespace {

TEST(TypeIdentityTest, FixedComputedAndReservedIds) {
    EXPECT_EQ(typeIdOf<FixedRecord>(), 0xF4E3B901u);
    EXPECT_EQ(typeIdOf<const FixedRecord>(), 0xF4E3B901u);
    EXPECT_EQ(typeIdDisplayName(staticTypeIdOf<FixedRecord>()), "#F4E3B901");
    EXPECT_EQ(typeIdText(0x0000ABCDu), "#0000ABCD");

    EXPECT_EQ(typeIdOf<void>(), kNoTypeId);
    EXPECT_EQ(&noStaticTypeId(), &staticTypeIdOf<void>());

    // Computed ids: fixed at compile time, distinct per type, one record per type.
    constexpr std::uint32_t leafId = typeIdOf<Leaf>();
    static_assert(leafId != kNoTypeId);
    EXPECT_NE(typeIdOf<Leaf>(), typeIdOf<Tree>());
    EXPECT_NE(typeIdOf<std::int32_t>(), typeIdOf<std::uint32_t>());
    EXPECT_EQ(&staticTypeIdOf<Leaf>(), &staticTypeIdOf<const Leaf>());
    EXPECT_EQ(staticTypeIdOf<Leaf>().id, leafId);
    // Computed ids carry the compiler's signature as display name; it names the type.
    const std::string display = typeIdDisplayName(staticTypeIdOf<Leaf>());
    EXPECT_NE(display.find("Leaf"), std::string::npos) << display;

    EXPECT_TRUE(isRequestContextTypeId(0x466F9860u));
    EXPECT_TRUE(isRequestContextTypeId(0x89462EBFu));
    EXPECT_FALSE(isRequestContextTypeId(typeIdOf<Leaf>()));
}

TEST(TypeRegistryTest, DuplicateNameIsInert) {
    TypeRegistry registry;
    EXPECT_EQ(registry.beginStruct<Leaf>("X").field("a", &Leaf::a).description("first").finish(),
              TypeRegistrationStatus::Registered);
    auto second = registry.beginStruct<Tree>("X");
    EXPECT_EQ(second.status(), TypeRegistrationStatus::AlreadyRegistered);
    EXPECT_EQ(second.descriptor(), nullptr);
    EXPECT_EQ(second.field("port", &Tree::port).description("second").tag("t").finish(),
              TypeRegistrationStatus::AlreadyRegistered);

    const TypeDescriptor* x = registry.findTypeByName("X");
    ASSERT_NE(x, nullptr);
    ASSERT_EQ(x->fields.size(), 1u);
    EXPECT_EQ(x->fields[0].name, "a");
    EXPECT_EQ(x->description, "first");
    EXPECT_TRUE(x->tags.empty());
    EXPECT_EQ(x->size, sizeof(Leaf));
    EXPECT_EQ(registry.findTypeById(typeIdOf<Leaf>()), x);
    EXPECT_EQ(registry.findTypeById(typeIdOf<Tree>()), nullptr);
}

TEST(TypeRegistryTest, IdCollisionIsRefused) {
    TypeRegistry registry;
    ASSERT_EQ(registry.beginStruct<Leaf>("Leaf").finish(), TypeRegistrationStatus::Registered);
    // The same native type (same id) under a second name: refused, nothing entered.
    EXPECT_EQ(registry.beginStruct<Leaf>("OtherLeaf").field("a", &Leaf::a).finish(),
              TypeRegistrationStatus::IdCollision);
    EXPECT_EQ(registry.findTypeByName("OtherLeaf"), nullptr);
    EXPECT_EQ(registry.findTypeById(typeIdOf<Leaf>())->name, "Leaf");
}

TEST(TypeRegistryTest, NoTypeIdIsFoundByNameOnly) {
    TypeRegistry registry;
    EXPECT_EQ(registry.findTypeById(kNoTypeId), nullptr);
    EXPECT_EQ(registry.findTypeById(0x12345678u), nullptr);
    ASSERT_EQ(registry.beginType(4, "Nothing", noStaticTypeId(), false).finish(),
              TypeRegistrationStatus::Registered);
    // A second record without identity is no collision either.
    ASSERT_EQ(registry.beginType(4, "Nothing2", noStaticTypeId(), false).finish(),
              TypeRegistrationStatus::Registered);
    EXPECT_NE(registry.findTypeByName("Nothing"), nullptr);
    EXPECT_EQ(registry.findTypeById(kNoTypeId), nullptr);
}

TEST(TypeRegistryTest, BuilderDerivesFieldsFromMemberPointers) {
    TypeRegistry registry;
    registry.beginStruct<Leaf>("Leaf").field("a", &Leaf::a).field("s", &Leaf::s).finish();
    const TypeRef hostType{TypeKind::String, TypeKind::None, nullptr};
    ASSERT_EQ(registry.beginStruct<Tree>("Tree")
                  .field("port", &Tree::port,
                         {.description = "UDP port", .required = true, .hostType = hostType})
                  .field("leaf", &Tree::leaf, {.omitIfEmpty = true, .optional = true})
                  .field("leaves", &Tree::leaves)
                  .field("counts", &Tree::counts)
                  .field("ratio", &Tree::ratio)
                  .field("children", &Tree::children)
                  .nameSpace("Ns")
                  .tag("")
                  .tag("a")
                  .finish(),
              TypeRegistrationStatus::Registered);
    const TypeDescriptor* leaf = registry.findTypeByName("Leaf");
    const TypeDescriptor* tree = registry.findTypeByName("Tree");
    ASSERT_NE(tree, nullptr);
    ASSERT_EQ(tree->fields.size(), 6u);
    EXPECT_EQ(tree->nameSpace, "Ns");
    EXPECT_EQ(tree->tags, std::vector<std::string>{"a"});  // empty tag ignored

    struct Row {
        const char* name;
        std::size_t offset;
        TypeRef type;
        std::uint32_t flags;
        bool optional;
    };
    const Row rows[] = {
        {"port",
         offsetof(Tree, port),
         {TypeKind::UInt16, TypeKind::None, nullptr},
         kFieldRequired,
         false},
        {"leaf",
         offsetof(Tree, leaf),
         {TypeKind::Struct, TypeKind::None, leaf},
         kFieldOmitIfEmpty,
         true},
        {"leaves", offsetof(Tree, leaves), {TypeKind::Vector, TypeKind::Struct, leaf}, 0, false},
        {"counts", offsetof(Tree, counts), {TypeKind::Map, TypeKind::UInt32, nullptr}, 0, false},
        {"ratio", offsetof(Tree, ratio), {TypeKind::Double, TypeKind::None, nullptr}, 0, false},
        // A record may refer to itself: its descriptor is entered when registration begins.
        {"children",
         offsetof(Tree, children),
         {TypeKind::Vector, TypeKind::Struct, tree},
         0,
         false},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].name);
        const FieldDescriptor& field = tree->fields[i];
        EXPECT_EQ(field.name, rows[i].name);
        EXPECT_EQ(field.nameHash, fnv1a(rows[i].name));
        EXPECT_EQ(field.offset, rows[i].offset);
        EXPECT_EQ(field.type, rows[i].type);
        EXPECT_EQ(field.flags, rows[i].flags);
        EXPECT_EQ(field.optional, rows[i].optional);
        EXPECT_EQ(field.owner, tree);
        EXPECT_NE(field.converter, nullptr);
        EXPECT_NE(field.typeId, nullptr);
    }
    EXPECT_EQ(tree->fields[0].description, "UDP port");
    EXPECT_EQ(tree->fields[0].hostType, hostType);
    EXPECT_EQ(tree->fields[0].reportedType(), hostType);
    EXPECT_EQ(tree->fields[1].hostType.kind, TypeKind::None);
    EXPECT_EQ(tree->fields[1].reportedType(), tree->fields[1].type);
}

TEST(TypeRegistryTest, EnumeratorLookups) {
    TypeRegistry registry;
    registry.beginEnum<Format>("Format")
        .value("Full", Format::Full, "Native")
        .value("Epytext", Format::Epytext)
        .finish();
    const TypeDescriptor* format = registry.findTypeByName("Format");
    ASSERT_NE(format, nullptr);
    EXPECT_TRUE(format->isEnum);
    EXPECT_EQ(format->size, 4u);
    ASSERT_NE(registry.enumeratorName(typeIdOf<Format>(), 2), nullptr);
    EXPECT_STREQ(registry.enumeratorName(typeIdOf<Format>(), 2), "Epytext");
    EXPECT_EQ(registry.enumeratorName(typeIdOf<Format>(), 3), nullptr);
    EXPECT_EQ(registry.enumeratorName(typeIdOf<Leaf>(), 1), nullptr);
    EXPECT_TRUE(TypeRegistry::hasEnumerator(format, 1));
    EXPECT_FALSE(TypeRegistry::hasEnumerator(format, 0));
    EXPECT_FALSE(TypeRegistry::hasEnumerator(nullptr, 1));
    // Enumerators are ordered by name and overwritten by name.
    EXPECT_EQ(format->enumerators.begin()->first, "Epytext");
    EXPECT_EQ(format->findEnumerator("Full")->description, "Native");
}

TEST(TypeRegistryTest, TypeIdentifierTexts) {
    TypeRegistry registry;
    registry.beginStruct<Leaf>("BindingFullArgumentHelp").finish();
    registry.beginEnum<Format>("Format").finish();
    const TypeDescriptor* leaf = registry.findTypeByName("BindingFullArgumentHelp");
    const TypeDescriptor* format = registry.findTypeByName("Format");
    struct Row {
        const char* reason;
        TypeRef ref;
        const char* type;
        const char* elementType;
    };
    const Row rows[] = {
        {"vector of struct",
         {TypeKind::Vector, TypeKind::Struct, leaf},
         "vector",
         "BindingFullArgumentHelp"},
        {"map of uint32", {TypeKind::Map, TypeKind::UInt32, nullptr}, "map", "uint32"},
        {"vector of enum", {TypeKind::Vector, TypeKind::Enum, format}, "vector", "Format"},
        {"struct", {TypeKind::Struct, TypeKind::None, leaf}, "BindingFullArgumentHelp", ""},
        {"enum", {TypeKind::Enum, TypeKind::None, format}, "Format", ""},
        {"enum without descriptor", {TypeKind::Enum, TypeKind::None, nullptr}, "enum", ""},
        {"struct without descriptor", {TypeKind::Struct, TypeKind::None, nullptr}, "struct", ""},
        {"primitive", {TypeKind::Int32, TypeKind::None, nullptr}, "int32", ""},
        {"object", {TypeKind::Object, TypeKind::None, nullptr}, "object", ""},
        {"no type", {TypeKind::None, TypeKind::None, nullptr}, "", ""},
        {"unknown kind", {static_cast<TypeKind>(42), TypeKind::None, nullptr}, "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        const TypeIdentifierText text = typeIdentifierOf(row.ref);
        EXPECT_EQ(text.type, row.type);
        EXPECT_EQ(text.elementType, row.elementType);
    }
    EXPECT_EQ(typeKindName(1u), "bool");
    EXPECT_EQ(typeKindName(18u), "callback");
    EXPECT_EQ(typeKindName(19u), "map");
    EXPECT_EQ(typeKindName(0u), "");
    EXPECT_EQ(typeKindName(20u), "");
}

class CountingHandler : public FunctionHandler {
  public:
    explicit CountingHandler(int& destroyed) : destroyed_(destroyed) {}
    ~CountingHandler() override { ++destroyed_; }

  private:
    int& destroyed_;
};

TEST(TypeRegistryTest, FunctionsAndChangeCounter) {
    TypeRegistry registry;
    EXPECT_EQ(registry.changeCount(), 0u);
    std::vector<ArgumentDescriptor> arguments(1);
    arguments[0].name = "a";
    FunctionDescriptor* f = registry.registerFunction("f", std::move(arguments));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->registry, &registry);
    ASSERT_EQ(f->arguments.size(), 1u);
    EXPECT_EQ(registry.changeCount(), 1u);
    EXPECT_EQ(registry.findFunction("f"), f);

    // Private functions are never found and do not count.
    FunctionDescriptor* hidden = registry.registerFunction("hidden", {}, true);
    ASSERT_NE(hidden, nullptr);
    EXPECT_EQ(registry.findFunction("hidden"), nullptr);
    EXPECT_EQ(registry.changeCount(), 1u);

    // Replacing by name counts and keeps the replaced descriptor readable.
    FunctionDescriptor* g = registry.registerFunction("f", {});
    EXPECT_EQ(registry.changeCount(), 2u);
    EXPECT_EQ(registry.findFunction("f"), g);
    EXPECT_EQ(f->name, "f");
    EXPECT_FALSE(registry.unregisterFunction(f));  // no longer the registered one
    EXPECT_EQ(registry.changeCount(), 2u);

    int destroyed = 0;
    g->handler = std::make_unique<CountingHandler>(destroyed);
    EXPECT_TRUE(registry.unregisterFunction(g));
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(registry.changeCount(), 3u);
    EXPECT_EQ(registry.findFunction("f"), nullptr);
    EXPECT_FALSE(registry.unregisterFunction(nullptr));
}

TEST(TypeRegistryTest, EventsSnapshotsAndClear) {
    TypeRegistry registry;
    registry.beginStruct<Leaf>("Leaf").finish();
    const TypeRef payload{TypeKind::Struct, TypeKind::None, registry.findTypeByName("Leaf")};
    EventDescriptor* first = registry.registerEvent("OnLeaf", payload);
    first->description = "old";
    EventDescriptor* second = registry.registerEvent("OnLeaf", payload);
    EXPECT_EQ(registry.findEvent("OnLeaf"), second);
    EXPECT_EQ(first->description, "old");  // replaced, still alive
    registry.registerFunction("f", {});

    EXPECT_EQ(registry.typeSnapshot().size(), 1u);
    EXPECT_EQ(registry.eventSnapshot().size(), 1u);
    EXPECT_EQ(registry.functionSnapshot().size(), 1u);

    registry.markInitialised();
    EXPECT_TRUE(registry.isInitialised());
    registry.clear();
    EXPECT_FALSE(registry.isInitialised());
    EXPECT_TRUE(registry.typeSnapshot().empty());
    EXPECT_TRUE(registry.eventSnapshot().empty());
    EXPECT_TRUE(registry.functionSnapshot().empty());
    EXPECT_EQ(registry.findTypeById(typeIdOf<Leaf>()), nullptr);
    // Registering again after the clear works.
    EXPECT_EQ(registry.beginStruct<Leaf>("Leaf").finish(), TypeRegistrationStatus::Registered);
}

}  // namespace
}  // namespace mox
