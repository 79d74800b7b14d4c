// INI text <-> dictionary.
//
// Text rules: an optional UTF-8 byte-order mark at the start; lines of at most 1022 characters
// before their line feed; a line ending in "\" continues on the next line; "#" or ";" starts a
// comment line; "[name]" starts a section; "key = value", "key = \"value\"" or "key = 'value'"
// sets a key (an unquoted value ends at the first ";" or "#"). Comment and blank lines are kept
// with the entry that follows them, or as the trailing comment at the end.
//
// Plain functions over caller-owned data; any thread, one dictionary per thread at a time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "libconf/ini/dictionary.h"

// Capacity of the line buffer; a line may hold at most INI_LINE_SIZE - 2 characters before its
// line feed.
inline constexpr size_t INI_LINE_SIZE = 1024;

// The UTF-8 byte-order mark every saved file starts with.
inline constexpr std::string_view INI_BOM = "\xEF\xBB\xBF";

// Parses INI text. Syntax errors skip the line (debug line "syntax error in (%d):\n-> %s\n").
// Fails (null) on a line too long for the buffer ("input line too long in (%d): \n") or one that
// holds a NUL byte. When memory runs out, logs "memory allocation failure\n" and returns what
// was read so far.
std::unique_ptr<dictionary> iniparser_load_all(std::string_view text);

// One classified line, for callers that need to know how a line reads back.
struct ini_line {
    enum kind_t { blank, comment, section, key_value, syntax_error } kind = blank;
    std::string name;   // section name or key name
    std::string value;  // key value
};

// Classifies one line (without its line feed; surrounding blanks are ignored).
ini_line iniparser_parse_line(std::string_view line);

// The "key=value" line that reads back as exactly this key and value, quoting the value when it
// needs it; none when no such line exists (a line feed or NUL in either, a key that does not read
// back, a value holding both kinds of quote and a character that needs quoting, or a line longer
// than the buffer allows). `separator` is "=" or " = ".
std::optional<std::string> iniparser_format_key_line(std::string_view key, std::string_view value,
                                                     std::string_view separator = "=");

// Whether "[name]" reads back as this section name.
bool iniparser_section_name_ok(std::string_view name);

// The text a save writes, without the byte-order mark.
std::string iniparser_dump_text(const dictionary& dict);

// Writes the byte-order mark and the text to `path`, replacing the file through a temporary file
// beside it (falling back to rewriting it in place when no file can be created beside it). Keeps
// the mode of an existing file, and its owner when run as root; a symbolic link is followed.
// Returns 0, or -1 with an error line (tag "conf") when the file cannot be written.
int ini_conf_save(const dictionary& dict, const char* path);
