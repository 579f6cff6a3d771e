#include "routing/route_template.h"

#include <cstring>
#include <utility>

#include "routing/ascii.h"

namespace mox {

namespace {

constexpr std::string_view kEscapedBytes = "^$.*+?()[]|\\";

bool inClass(TemplatePattern::GroupClass group, char c) noexcept {
    if (group == TemplatePattern::GroupClass::NotSlash) {
        return c != '/';
    }
    return c != '\n' && c != '\r';
}

bool literalAt(std::string_view path, std::size_t at, const std::string& literal) noexcept {
    return at <= path.size() && path.size() - at >= literal.size() &&
           std::memcmp(path.data() + at, literal.data(), literal.size()) == 0;
}

}  // namespace

TemplatePattern::TemplatePattern(std::vector<std::string> literals, std::vector<GroupClass> groups)
    : literals_(std::move(literals)), groups_(std::move(groups)) {}

// Each group takes the most bytes for which the rest of the pattern can still match: that is
// the first full match of a backtracking engine that tries longer repetitions first. Solved
// from the back: for group k, `ends[k][j]` says whether the group may end at j, i.e. the
// literal after it matches at j and the pattern after that literal matches the rest of the
// path. Then, from the front, each group ends at the last allowed position its run of class
// bytes reaches.
bool TemplatePattern::match(std::string_view path, std::vector<std::string_view>& captures) const {
    captures.clear();
    const std::size_t n = path.size();
    const std::size_t groupCount = groups_.size();
    if (groupCount == 0) {
        return path == literals_[0];
    }
    if (!literalAt(path, 0, literals_[0])) {
        return false;
    }
    std::vector<std::vector<bool>> ends(groupCount, std::vector<bool>(n + 1, false));
    // restMatches[i]: the pattern from group k+1 on matches path[i..n) (for the last group:
    // nothing is left, so only i == n).
    std::vector<bool> restMatches(n + 1, false);
    restMatches[n] = true;
    std::vector<bool> groupMatches(n + 1, false);
    for (std::size_t k = groupCount; k-- > 0;) {
        const std::string& after = literals_[k + 1];
        std::vector<bool>& end = ends[k];
        for (std::size_t j = 0; j + after.size() <= n; ++j) {
            end[j] = restMatches[j + after.size()] && literalAt(path, j, after);
        }
        // groupMatches[i]: group k starting at i can end at an allowed position, which is
        // one of i..runEnd(i), runEnd being the first byte at or after i outside the class.
        std::size_t nearestEnd = n + 1;  // none
        std::size_t runEnd = n;
        for (std::size_t i = n + 1; i-- > 0;) {
            if (end[i]) {
                nearestEnd = i;
            }
            if (i < n && !inClass(groups_[k], path[i])) {
                runEnd = i;
            }
            groupMatches[i] = nearestEnd <= runEnd;
        }
        restMatches.swap(groupMatches);
    }
    std::size_t position = literals_[0].size();
    if (!restMatches[position]) {
        return false;
    }
    captures.reserve(groupCount);
    for (std::size_t k = 0; k < groupCount; ++k) {
        std::size_t runEnd = position;
        while (runEnd < n && inClass(groups_[k], path[runEnd])) {
            ++runEnd;
        }
        std::size_t end = runEnd;
        while (!ends[k][end]) {
            --end;  // an allowed end exists in [position, runEnd]: restMatches said so
        }
        captures.push_back(path.substr(position, end - position));
        position = end + literals_[k + 1].size();
    }
    return true;
}

CompiledTemplate compileTemplate(std::string_view templateText) {
    CompiledTemplate out;
    std::vector<std::string> literals(1);
    std::vector<TemplatePattern::GroupClass> groups;
    PlaceholderKind kind = PlaceholderKind::None;
    std::string name;
    for (const char c : templateText) {
        if (kind == PlaceholderKind::None) {
            if (c == '{') {
                kind = PlaceholderKind::Simple;
                continue;
            }
            if (c == '}') {
                return CompiledTemplate{};  // a "}" outside a placeholder
            }
            if (kEscapedBytes.find(c) != std::string_view::npos) {
                out.pattern.push_back('\\');
            }
            out.pattern.push_back(c);
            literals.back().push_back(c);
            continue;
        }
        if (c == '{') {
            return CompiledTemplate{};  // a "{" inside a placeholder
        }
        if (c == '}') {
            switch (kind) {
                case PlaceholderKind::Simple:
                    out.pattern.append("([^/]*)");
                    groups.push_back(TemplatePattern::GroupClass::NotSlash);
                    break;
                case PlaceholderKind::Reserved:
                    out.pattern.append("(.*)");
                    groups.push_back(TemplatePattern::GroupClass::NotLineBreak);
                    break;
                default:
                    out.pattern.append("#(.*)");
                    literals.back().push_back('#');
                    groups.push_back(TemplatePattern::GroupClass::NotLineBreak);
                    break;
            }
            literals.emplace_back();
            out.placeholders.push_back({kind, std::move(name)});
            name.clear();
            kind = PlaceholderKind::None;
            continue;
        }
        if (kind == PlaceholderKind::Simple && name.empty() && c == '+') {
            kind = PlaceholderKind::Reserved;
        } else if (kind == PlaceholderKind::Simple && name.empty() && c == '#') {
            kind = PlaceholderKind::Fragment;
        } else {
            name.push_back(c);
        }
    }
    if (kind != PlaceholderKind::None) {
        return CompiledTemplate{};  // a placeholder left open
    }
    out.matcher = std::make_shared<const TemplatePattern>(std::move(literals), std::move(groups));
    return out;
}

std::string urlDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out.push_back(' ');
            continue;
        }
        if (c != '%') {
            out.push_back(c);
            continue;
        }
        if (text.size() - i < 3) {
            continue;  // fewer than two bytes after it: the "%" is dropped
        }
        const int high = detail::hexDigitValue(static_cast<unsigned char>(text[i + 1]));
        const int low = detail::hexDigitValue(static_cast<unsigned char>(text[i + 2]));
        if (high < 0 || low < 0) {
            out.push_back('%');
            continue;
        }
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

std::string pascalName(std::string_view prefix, std::string_view text) {
    std::string whole;
    whole.reserve(prefix.size() + 1 + text.size());
    if (!prefix.empty()) {
        whole.push_back(prefix[0]);
        whole.append(detail::asciiLowered(prefix.substr(1)));
        whole.push_back('/');
    }
    whole.append(text);

    std::string out;
    out.reserve(whole.size() + 8);
    bool wordStart = true;
    for (const char c : whole) {
        switch (c) {
            case '!':
            case '+':
            case '-':
            case '.':
            case '/':
            case '_':
                wordStart = true;
                break;
            case '{':
                out.append("By");
                wordStart = true;
                break;
            case '}':
                break;
            default:
                out.push_back(
                    wordStart ? static_cast<char>(detail::asciiUpper(static_cast<unsigned char>(c)))
                              : c);
                wordStart = false;
                break;
        }
    }
    return out;
}

std::string functionNameFor(RequestMethod method, std::string_view templateText) {
    return pascalName(methodText(method), templateText);
}

}  // namespace mox
