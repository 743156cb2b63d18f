#include "zip/MatchPattern.h"

#include <cstddef>

namespace quill::zip {
namespace {

bool MatchSet(const std::string& set, char c) {
    std::size_t i = 0;
    bool negate = false;
    if (i < set.size() && (set[i] == '!' || set[i] == '^')) negate = true, ++i;
    bool found = false;
    while (i < set.size()) {
        if (i + 2 < set.size() && set[i + 1] == '-') {
            if (c >= set[i] && c <= set[i + 2]) found = true;
            i += 3;
        } else {
            if (c == set[i]) found = true;
            ++i;
        }
    }
    return found != negate;
}

bool MatchFrom(const std::string& p, std::size_t pi, const std::string& s, std::size_t si) {
    while (pi < p.size()) {
        const char pc = p[pi];
        if (pc == '*') {
            while (pi < p.size() && p[pi] == '*') ++pi;
            if (pi == p.size()) return true;
            for (std::size_t k = si; k <= s.size(); ++k)
                if (MatchFrom(p, pi, s, k)) return true;
            return false;
        }
        if (si == s.size()) return false;
        if (pc == '?') {
            ++pi, ++si;
        } else if (pc == '<') {
            const std::size_t close = p.find('>', pi + 1);
            if (close == std::string::npos) return false; // a malformed set matches nothing
            if (!MatchSet(p.substr(pi + 1, close - pi - 1), s[si])) return false;
            pi = close + 1, ++si;
        } else {
            if (pc != s[si]) return false;
            ++pi, ++si;
        }
    }
    return si == s.size();
}

} // namespace

bool MatchPattern(const std::string& pattern, const std::string& name) {
    if (pattern == "*") return true;
    return MatchFrom(pattern, 0, name, 0);
}

} // namespace quill::zip
