#pragma once
#include <string_view>

namespace ph {

// Matches `name` against a wildcard pattern: "*" any run (also none), "?" any one
// character, "[...]" one character of a set ("a-z" ranges, "^" first negates), "\" makes
// the next character literal; everything else matches itself. Case-sensitive. Linear in
// the pattern and name lengths times the number of stars, with no recursion.
bool WildcardMatch(std::string_view pattern, std::string_view name);
// True when the pattern has no special character, so it names one element exactly.
bool IsLiteralPattern(std::string_view pattern);

}  // namespace ph
