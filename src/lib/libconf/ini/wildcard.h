// Shell-style wildcard patterns: "*" matches any run of characters (none included), "?" one
// character, "[...]" one character of a set ("[!...]" one not in it, "a-z" a range), and "\"
// makes the next character literal. A "[" without a closing "]" is an ordinary character.
// Runs in time proportional to the product of the two lengths at worst.
#pragma once

#include <string_view>

bool wildcard_match(std::string_view pattern, std::string_view text, bool ignore_case);

// Whether `text` matches any of the patterns in `patterns`, separated by "|".
bool wildcard_match_any(std::string_view patterns, std::string_view text, bool ignore_case);
