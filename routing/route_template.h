// File: routing/route_template.h
//
// URL templates of bound functions and the texts derived from them.
//
// A template is a path with placeholders in braces: "{id}" (Simple: one path segment),
// "{+rest}" (Reserved: the rest of the path, slashes included) and "{#frag}" (Fragment: a "#"
// and everything after it). `compileTemplate` turns it into an ECMAScript pattern text, in
// which the literal bytes are escaped ("^$.*+?()[]|\" get a backslash) and the placeholders
// become "([^/]*)", "(.*)" and "#(.*)", and into the placeholder list in template order.
// Example: "/items/{id}/{+rest}" gives "/items/([^/]*)/(.*)" with id (Simple), rest (Reserved).
//
// Matching. The compiled pattern is matched against the whole request path (its query part
// included) by `TemplatePattern`, which gives exactly the results of the ECMAScript engine
// with greedy quantifiers for the four shapes a template can produce (escaped literal bytes,
// "([^/]*)", "(.*)" and "#(.*)"; note that "." excludes "\n" and "\r" while "[^/]" does not),
// but works in time and extra memory linear in the path length per placeholder and never
// recurses, so a long path cannot exhaust the stack of a host thread. The standard engine
// recurses once per input byte. A test proves the two equal on generated templates and paths.
//
// Refused templates: a "}" outside a placeholder, a "{" inside one, and a placeholder left
// open at the end. Such a template does not compile (`CompiledTemplate::ok()` is false).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "routing/request_method.h"

namespace mox {

enum class PlaceholderKind : std::uint8_t {
    None = 0,
    Simple = 1,    // "([^/]*)"
    Reserved = 2,  // "(.*)"
    Fragment = 3,  // "#(.*)"
};

struct Placeholder {
    PlaceholderKind kind = PlaceholderKind::None;
    std::string name;

    friend bool operator==(const Placeholder&, const Placeholder&) = default;
};

// The matcher of a compiled pattern: literal byte runs around capture groups. Immutable once
// built; one instance may be used by several threads at once.
class TemplatePattern {
  public:
    enum class GroupClass : std::uint8_t {
        NotSlash,      // [^/]*: any byte but "/"
        NotLineBreak,  // .*: any byte but "\n" and "\r"
    };

    TemplatePattern(std::vector<std::string> literals, std::vector<GroupClass> groups);

    std::size_t groupCount() const noexcept { return groups_.size(); }

    // Whether the pattern matches the whole of `path`; on a match `captures` holds one view
    // into `path` per group, in order. The captures are those of the ECMAScript engine: each
    // group takes as many bytes as it can while the rest of the pattern still matches.
    [[nodiscard]] bool match(std::string_view path, std::vector<std::string_view>& captures) const;

  private:
    // literals_[0], group 0, literals_[1], ..., group n-1, literals_[n].
    std::vector<std::string> literals_;
    std::vector<GroupClass> groups_;
};

struct CompiledTemplate {
    // The ECMAScript pattern text (escaped literal bytes and the placeholder groups).
    std::string pattern;
    std::vector<Placeholder> placeholders;
    // Null when the template did not compile.
    std::shared_ptr<const TemplatePattern> matcher;

    bool ok() const noexcept { return matcher != nullptr; }
};

// Compiles `templateText` as described above; a refused template gives a result whose
// `ok()` is false.
[[nodiscard]] CompiledTemplate compileTemplate(std::string_view templateText);

// Whether the template has a placeholder: a template without "{" is a literal route, matched
// byte for byte and never compiled.
constexpr bool isLiteralTemplate(std::string_view templateText) noexcept {
    return templateText.find('{') == std::string_view::npos;
}

// Decodes a URL component: "+" becomes a space; "%" and two hexadecimal digits (either case)
// become that byte; "%" followed by two bytes that are not both hexadecimal digits is copied
// and decoding goes on after it; a "%" with fewer than two bytes after it is dropped and the
// bytes after it are decoded as usual. Every other byte is copied.
std::string urlDecode(std::string_view text);

// One capitalised word made of `prefix` and `text`: a non-empty prefix contributes its first
// byte, the rest of it lower-cased, and "/"; then the text follows. The bytes "!+-./_" are
// dropped and make the next byte start a word, "{" becomes "By" and starts a word, "}" is
// dropped, and the first byte of every word (the very first byte included) is upper-cased.
// ("GET", "/network-testing/v1/game-latency/results") gives
// "GetNetworkTestingV1GameLatencyResults"; ("", "network-testing") gives "NetworkTesting".
// Only ASCII letters change case.
std::string pascalName(std::string_view prefix, std::string_view text);

// The default name of an endpoint function: pascalName(methodText(method), templateText).
std::string functionNameFor(RequestMethod method, std::string_view templateText);

}  // namespace mox
