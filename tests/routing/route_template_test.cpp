#include "routing/route_template.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

namespace mox {
namespace {

TEST(CompileTemplate, PatternsAndPlaceholders) {
    struct Case {
        const char* reason;
        const char* templateText;
        const char* pattern;
        std::vector<Placeholder> placeholders;
    };
    const Case cases[] = {
        {"simple and reserved",
         "/items/{id}/{+rest}",
         "/items/([^/]*)/(.*)",
         {{PlaceholderKind::Simple, "id"}, {PlaceholderKind::Reserved, "rest"}}},
        {"fragment after a literal",
         "/doc{#frag}",
         "/doc#(.*)",
         {{PlaceholderKind::Fragment, "frag"}}},
        {"every byte of the escape set",
         "^$.*+?()[]|\\{x}",
         "\\^\\$\\.\\*\\+\\?\\(\\)\\[\\]\\|\\\\([^/]*)",
         {{PlaceholderKind::Simple, "x"}}},
        {"+ and # only at the start of the name",
         "/{a+b}/{c#}",
         "/([^/]*)/([^/]*)",
         {{PlaceholderKind::Simple, "a+b"}, {PlaceholderKind::Simple, "c#"}}},
        {"an empty name", "/{}", "/([^/]*)", {{PlaceholderKind::Simple, ""}}},
        {"a literal template still gets its escaped text", "/v1.0/x", "/v1\\.0/x", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        const CompiledTemplate compiled = compileTemplate(c.templateText);
        ASSERT_TRUE(compiled.ok());
        EXPECT_EQ(compiled.pattern, c.pattern);
        EXPECT_EQ(compiled.placeholders, c.placeholders);
    }
}

TEST(CompileTemplate, RefusesBracesThatDoNotPair) {
    const char* const refused[] = {"/a}", "/{a{b}}", "/{open", "/{+", "}{x}"};
    for (const char* text : refused) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(compileTemplate(text).ok());
    }
}

TEST(TemplatePattern, MatchesAndDecodesLikeTheTemplateSays) {
    struct Case {
        const char* reason;
        const char* templateText;
        const char* path;
        bool matches;
        std::vector<std::string> captures;
    };
    const Case cases[] = {
        {"simple stops at a slash", "/a/{x}", "/a/b/c", false, {}},
        {"simple takes one segment", "/a/{x}", "/a/hello%20world", true, {"hello%20world"}},
        {"reserved takes slashes", "/files/{+p}", "/files/a/b/c", true, {"a/b/c"}},
        {"the query is part of the path", "/items/{id}", "/items/5?x=1", true, {"5?x=1"}},
        {"an escaped dot matches only a dot", "/v1.0/{x}", "/v1x0/a", false, {}},
        {"greedy first group", "/{+a}/{+b}", "/x/y/z", true, {"x/y", "z"}},
        {"reserved stops at a line break", "/{+a}", "/x\ny", false, {}},
        {"simple crosses a line break", "/{a}", "/x\ry", true, {"x\ry"}},
        {"fragment", "/doc{#f}", "/doc#top", true, {"top"}},
        {"empty capture", "/a/{x}/b", "/a//b", true, {""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        const CompiledTemplate compiled = compileTemplate(c.templateText);
        ASSERT_TRUE(compiled.ok());
        std::vector<std::string_view> captures;
        ASSERT_EQ(compiled.matcher->match(c.path, captures), c.matches);
        if (c.matches) {
            EXPECT_EQ(std::vector<std::string>(captures.begin(), captures.end()), c.captures);
        }
    }
}

// The matcher must give the results of the ECMAScript engine (greedy, first match) on every
// template shape. Templates and paths are drawn from small alphabets that make the
// interesting cases frequent: slashes, line breaks, "#", escaped bytes, high bytes.
TEST(TemplatePattern, EqualsTheStandardEngineOnGeneratedTemplatesAndPaths) {
    std::mt19937 random(20261210);
    const std::string literalBytes = "/ab.#\n\r?\x80";
    const std::string pathBytes = "/ab.#\n\r?\x80x";
    auto pick = [&](const std::string& from) {
        return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
    };
    auto below = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
    int matched = 0;
    for (int t = 0; t < 400; ++t) {
        std::string templateText;
        const int parts = 1 + below(6);
        for (int p = 0; p < parts; ++p) {
            if (below(2) == 0) {
                static const char* const kPlaceholders[] = {"{a}", "{+b}", "{#c}"};
                templateText += kPlaceholders[below(3)];
            } else {
                const int length = below(3);
                for (int i = 0; i < length; ++i) {
                    templateText.push_back(pick(literalBytes));
                }
            }
        }
        const CompiledTemplate compiled = compileTemplate(templateText);
        ASSERT_TRUE(compiled.ok()) << templateText;
        const std::regex engine(compiled.pattern, std::regex::ECMAScript | std::regex::optimize);
        for (int s = 0; s < 60; ++s) {
            std::string path;
            const int length = below(12);
            for (int i = 0; i < length; ++i) {
                path.push_back(pick(pathBytes));
            }
            std::smatch expected;
            const bool expectedMatch = std::regex_match(path, expected, engine);
            std::vector<std::string_view> captures;
            const bool actualMatch = compiled.matcher->match(path, captures);
            ASSERT_EQ(actualMatch, expectedMatch)
                << "template " << templateText << " path " << path;
            if (!expectedMatch) {
                continue;
            }
            ++matched;
            ASSERT_EQ(captures.size() + 1, expected.size());
            for (std::size_t g = 0; g < captures.size(); ++g) {
                ASSERT_TRUE(expected[g + 1].matched);
                ASSERT_EQ(std::string(captures[g]), expected[g + 1].str())
                    << "template " << templateText << " path " << path << " group " << g;
            }
        }
    }
    EXPECT_GT(matched, 500);  // the generator must exercise matches, not only refusals
}

TEST(TemplatePattern, LongPathsNeedNoDeepStack) {
    const CompiledTemplate compiled = compileTemplate("/files/{+p}/{name}");
    ASSERT_TRUE(compiled.ok());
    std::string path = "/files/";
    path.append(4u << 20, 'a');
    path += "/last";
    std::vector<std::string_view> captures;
    ASSERT_TRUE(compiled.matcher->match(path, captures));
    EXPECT_EQ(captures[0].size(), 4u << 20);
    EXPECT_EQ(captures[1], "last");
}

TEST(UrlDecode, Table) {
    struct Case {
        const char* reason;
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"escapes, either case, and plus", "%41%2b+", "A+ "},
        {"percent with one byte after it is dropped", "%4", "4"},
        {"percent at the end is dropped", "ab%", "ab"},
        {"percent before non-hex bytes is copied", "%zz%4g", "%zz%4g"},
        {"high and NUL bytes decode", "%ff%00x", std::string("\xff\0x", 3)},
        {"other bytes are copied", "a/b?c=d", "a/b?c=d"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        EXPECT_EQ(urlDecode(c.in), c.out);
    }
}

TEST(PascalName, Table) {
    struct Case {
        const char* reason;
        std::string_view prefix;
        std::string_view text;
        const char* name;
    };
    const Case cases[] = {
        {"GET with a path", "GET", "/network-testing/v1/game-latency/results",
         "GetNetworkTestingV1GameLatencyResults"},
        {"a placeholder becomes By", "DELETE", "/items/{id}", "DeleteItemsById"},
        {"empty prefix", "", "network-testing", "NetworkTesting"},
        {"every separator", "", "a!b+c-d.e/f_g", "ABCDEFG"},
        {"a closing brace is dropped without starting a word", "", "{id}x", "ByIdx"},
        {"only ASCII changes case", "", "\xe9t\xe9-\xe9", "\xe9t\xe9\xe9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        EXPECT_EQ(pascalName(c.prefix, c.text), c.name);
    }
    EXPECT_EQ(functionNameFor(RequestMethod::Custom, "/x"), "X");
    EXPECT_EQ(functionNameFor(RequestMethod::None, "/x"), "X");
}

}  // namespace
}  // namespace mox
