// parseYaml: tables of documents with the whole resulting tree or the exact message (scalar
// resolution, tags, keys, anchors and aliases, documents), then the bounds on nesting and on
// what aliases may expand to.
#include "formats/yaml_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "binding/values/nesting_limit.h"
#include "tests/formats/value_text.h"

namespace mox {
namespace {

struct YamlRow {
    const char* reason;
    const char* input;
    const char* expected;  // test::resultText
};

void runTable(const YamlRow* rows, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(rows[i].reason);
        EXPECT_EQ(test::resultText(parseYaml(rows[i].input)), rows[i].expected);
    }
}

TEST(YamlReaderTest, ResolvesScalars) {
    const YamlRow rows[] = {
        {"empty text", "", "~"},
        {"plain numbers and words",
         "- 12\n- -3\n- 1.5\n- 1e3\n- 0x1F\n- yes\n- Off\n- ~\n-\n- inf\n- -0\n- 1.0\n",
         "[u12,i-3,f1.5,u1000,u31,true,false,~,~,'inf',u0,u1]"},
        {"integral numbers outside the 64-bit range stay floats, infinities texts",
         "- 1e20\n- -1e19\n- 18446744073709551615\n- -inf\n- -1e999\n- 1e999\n- nan\n",
         "[f1e+20,f-1e+19,f1.8446744073709552e+19,'-inf','-1e999','1e999',fnan]"},
        {"every form strtod reads whole, and only those",
         "- .5\n- -.5\n- +12\n- 1_000\n- 1e-400\n- 0.1\n- 0x1p3\n- 1e\n- 2.5E+3\n- 007\n",
         "[f0.5,f-0.5,u12,'1_000',u0,f0.10000000000000001,u8,'1e',u2500,u7]"},
        {"word tables, case by case",
         "- null\n- Null\n- NULL\n- nULL\n- y\n- N\n- on\n- OFF\n- TRUE\n- tRUE\n- 1\n",
         "[~,~,~,'nULL',true,false,true,false,true,'tRUE',u1]"},
        {"quoted words stay strings", "- '12'\n- \"yes\"\n- '~'\n- ''\n- \"a\\0b\"\n",
         "['12','yes','~','','a\\x00b']"},
        {"literal and folded scalars resolve as plain ones", "- |-\n  12\n- >\n  12\n",
         "[u12,'12\\x0a']"},
        {"plain text", "hello world", "'hello world'"},
        {"tags",
         "- !!str 12\n- !!int 12\n- !!int -12\n- !!int 0x1F\n- !!float 1.5\n- !!float 2\n"
         "- !!bool yes\n- !!bool maybe\n- !!str\n",
         "['12',u12,i-12,u31,f1.5,f2,true,~,'']"},
        {"int tag with a bad text", "!!int 12abc",
         "error: Value 12abc for 'yaml' of type uint64_t is in an incorrect format"},
        {"int tag below int64_t", "!!int -9223372036854775809",
         "error: Value -9223372036854775809 for 'yaml' of type int64_t is out of range"},
        {"int tag above uint64_t", "!!int 18446744073709551616",
         "error: Value 18446744073709551616 for 'yaml' of type uint64_t is out of range"},
        {"float tag with a bad text", "!!float x",
         "error: Value x for 'yaml' of type double is in an incorrect format"},
        {"float tag out of range", "!!float 1e999",
         "error: Value 1e999 for 'yaml' of type double is out of range"},
        {"other tags", "- !!binary aGk=\n",
         "error: Unsupported YAML tag 'tag:yaml.org,2002:binary'."},
        {"local tag", "!thing x", "error: Unsupported YAML tag '!thing'."},
    };
    runTable(rows, std::size(rows));
}

TEST(YamlReaderTest, BuildsMappingsAndSequences) {
    const YamlRow rows[] = {
        {"members in name order", "b: 1\na:\n  c: [x, {d: e}]\n", "{a:{c:['x',{d:'e'}]},b:u1}"},
        {"keys are texts, not resolved", "1: a\n~: b\ntrue: c\n", "{1:'a',true:'c',~:'b'}"},
        {"empty key", "'': 1\n", "{:u1}"},
        {"empty value", "a:\n", "{a:~}"},
        {"repeated key: sequences append", "a: [1]\na: [2]\n", "{a:[u1,u2]}"},
        {"repeated key: mappings merge", "a: {x: 1, y: 2}\na: {y: 3}\n", "{a:{x:u1,y:u3}}"},
        {"repeated key: a scalar replaces a mapping", "a: {x: 1}\na: 5\n", "{a:u5}"},
        {"repeated key: null keeps the member", "a: 1\na: ~\n", "{a:u1}"},
        {"sequence as key", "? [a]\n: 1\n",
         "error: Unexpected start of sequence. At line: 1 col: 3"},
        {"mapping as key", "? {a: b}\n: 1\n",
         "error: Unexpected start of mapping. At line: 1 col: 3"},
        {"int-tagged key", "x: 1\n!!int 2: b\n",
         "error: Invalid mapping key. Only string scalar keys are allowed. At line: 2 col: 1"},
        {"str-tagged key", "!!str 2: b\n", "{2:'b'}"},
        {"a single document may start with ---", "--- 12\n", "u12"},
        {"a second document is refused", "a: 1\n--- b\n",
         "error: Multi-document YAML is not supported."},
        // The first root stays empty and its entry was popped; the second document must not
        // read an empty stack.
        {"a second document after an empty one", "--- ~\n--- foo\n",
         "error: Multi-document YAML is not supported."},
        {"parser error counts from 0", "a: [1\n",
         "error: YAML parser error: did not find expected ',' or ']'. At line: 1 col: 0"},
        {"bad indentation", "a: 1\n b: 2\n",
         "error: YAML parser error: mapping values are not allowed in this context. At line: 1 "
         "col: 2"},
    };
    runTable(rows, std::size(rows));
}

TEST(YamlReaderTest, ExpandsAnchorsAndAliases) {
    const YamlRow rows[] = {
        {"alias copies a closed mapping", "a: &x {k: [1, two]}\nb: *x\n",
         "{a:{k:[u1,'two']},b:{k:[u1,'two']}}"},
        {"alias copies a scalar", "- &n 5\n- *n\n- *n\n", "[u5,u5,u5]"},
        {"alias to a sequence element by index", "- [a, &e b]\n- *e\n", "[['a','b'],'b']"},
        {"alias inside its own anchored mapping", "a: &x\n  b: *x\n",
         "error: Cannot deserialize cyclic aliases. Alias \"x\". At line: 2 col: 6"},
        {"alias inside its own anchored sequence", "&s [1, *s]",
         "error: Cannot deserialize cyclic aliases. Alias \"s\". At line: 1 col: 8"},
        {"undefined alias", "a: *nothing\n",
         "error: Undefined alias encountered: \"nothing\". At line: 1 col: 4"},
        {"redefining an anchor", "a: &x 1\nb: &x 2\n",
         "error: Duplicate occurrence of anchor \"x\". At line: 2 col: 4"},
        {"redefining a key anchor", "&k a: 1\n&k b: 2\n",
         "error: Duplicate occurrence of anchor \"k\". At line: 2 col: 1"},
        {"alias to an anchored key gives its text", "&k key: 1\nother: *k\n",
         "{key:u1,other:'key'}"},
        // An alias in key position supplies a text and pops nothing.
        {"alias to a key as a key", "&a k: v\n*a : 2\n", "{k:u2}"},
        {"alias to a string as a key", "a: &s name\n*s : 3\n", "{a:'name',name:u3}"},
        {"alias to a number as a key", "a: &n 5\n*n : 3\n",
         "error: Invalid mapping key. Only string scalar keys are allowed. At line: 2 col: 1"},
        {"alias to a mapping as a key", "a: &m {x: 1}\n*m : 3\n",
         "error: Invalid mapping key. Only string scalar keys are allowed. At line: 2 col: 1"},
        {"aliases of aliases", "a: &a [1]\nb: &b [*a, *a]\nc: [*b, *b]\n",
         "{a:[u1],b:[[u1],[u1]],c:[[[u1],[u1]],[[u1],[u1]]]}"},
    };
    runTable(rows, std::size(rows));
}

TEST(YamlReaderTest, RefusesNestingDeeperThanTheBound) {
    const std::string accepted =
        std::string(kMaxNestingDepth, '[') + std::string(kMaxNestingDepth, ']');
    EXPECT_TRUE(parseYaml(accepted).ok());
    EXPECT_EQ(test::resultText(parseYaml(std::string(300000, '['))),
              "error: YAML nesting is deeper than 256 levels. At line: 1 col: 257");

    // An alias copy counts too: a 200-level anchored node copied 100 levels down.
    const std::string deepNode = "- &d " + std::string(200, '[') + std::string(200, ']') + "\n";
    const std::string copied =
        deepNode + "- " + std::string(99, '[') + "*d" + std::string(99, ']') + "\n";
    EXPECT_EQ(test::resultText(parseYaml(copied)),
              "error: YAML nesting is deeper than 256 levels. At line: 2 col: 102");
    const std::string fits =
        deepNode + "- " + std::string(50, '[') + "*d" + std::string(50, ']') + "\n";
    EXPECT_TRUE(parseYaml(fits).ok());
}

TEST(YamlReaderTest, BoundsWhatAliasesExpandTo) {
    // Nine anchors, each a sequence aliasing the previous one nine times: under 1 KB that
    // would expand to about 387 million values.
    std::string bomb = "a0: &a0 [x, y, z, w, v, u, t, s, r]\n";
    for (int i = 1; i <= 9; ++i) {
        const std::string previous = "*a" + std::to_string(i - 1);
        bomb += "a" + std::to_string(i) + ": &a" + std::to_string(i) + " [";
        for (int j = 0; j < 9; ++j) {
            bomb += (j == 0 ? "" : ", ") + previous;
        }
        bomb += "]\n";
    }
    ASSERT_LT(bomb.size(), 1024u);
    const ValueResult result = parseYaml(bomb);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(std::string(result.error())
                  .rfind("YAML aliases expand to more than 1000000 values "
                         "in one document. At line: ",
                         0),
              0u)
        << result.error();

    // A long text aliased many times costs its length.
    std::string texts = "- &t " + std::string(100000, 'x') + "\n";
    for (int i = 0; i < 200; ++i) {
        texts += "- *t\n";
    }
    EXPECT_FALSE(parseYaml(texts).ok());
    std::string keys = "&k " + std::string(100000, 'k') + ": v\nl:\n";
    for (int i = 0; i < 200; ++i) {
        keys += "  - *k\n";
    }
    EXPECT_FALSE(parseYaml(keys).ok());

    // Ordinary use stays well inside the budget.
    std::string many = "- &v [1, 2, 3]\n";
    for (int i = 0; i < 10000; ++i) {
        many += "- *v\n";
    }
    EXPECT_TRUE(parseYaml(many).ok());
}

}  // namespace
}  // namespace mox
