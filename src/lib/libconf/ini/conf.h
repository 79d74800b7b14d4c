// Configuration files: load, read, edit and save.
//
// A handle holds a whole file in memory; the format is chosen by the file name (only INI files
// exist: "*.ini", "*.dvi", "*.inf", "*.cfg", case-insensitive; "*.dat" files need a content
// transform that this program does not have, so they do not load). Section and key names keep
// their case and are compared case-sensitively. Comments and blank lines stay with the entry that
// follows them and are written back on save.
//
// A handle is not locked: one thread at a time. Two handles on the same file do not see each
// other's changes; the last save wins.
#pragma once

#include <string>
#include <vector>

// Format numbers for conf_load_str.
inline constexpr int CONF_TYPE_INI = 0;

struct conf;

// Loads an existing file; null when the name has no format handler, the file cannot be read
// ("iniparser: cannot open %s\n" on standard error) or a line is too long.
conf* conf_load(const char* path);
// Like conf_load, but creates the file empty first when it does not exist. An existing file that
// cannot be read is left alone (null).
conf* conf_create_load(const char* path);
// Loads text from memory (type CONF_TYPE_INI); the handle has no path, so it cannot be saved.
conf* conf_load_str(const char* text, int type);
// Releases the handle and everything it holds; null is ignored.
void conf_close(conf* c);

// The stored value, or `def` when the key is absent. The text belongs to the handle and stays
// valid until that entry changes or the handle is closed.
const char* conf_get_str(conf* c, const char* section, const char* key, const char* def);
// The value as a decimal integer (leading blanks and a sign allowed, digits up to the first other
// character, none gives 0, clamped to the int range), or `def` when the key is absent.
int conf_get_int(conf* c, const char* section, const char* key, int def);

// Sets a key, creating its section when needed; an existing entry keeps its comment and slot.
// Returns 0, or -1 (error line, tag "conf") when an argument is null or the section, key and value
// could not be written to the file and read back unchanged: a line break, a section name with a
// TAB, "]" or surrounding blanks, a key with "=", a key starting with "#", ";" or "[", a line
// longer than 1022 characters. Values that need it are saved in quotes.
int conf_set_str(conf* c, const char* section, const char* key, const char* value);
// conf_set_str with the number written as "%d".
int conf_set_int(conf* c, const char* section, const char* key, int value);

bool conf_has_section(conf* c, const char* section);
bool conf_has_key(conf* c, const char* section, const char* key);

// Section names in file order.
std::vector<std::string> conf_get_sections(conf* c);
// Only the names matching a wildcard pattern ("*", "?", "[a-z]", "[!x]", "\" escapes;
// case-sensitive).
std::vector<std::string> conf_get_sections_match(conf* c, const char* pattern);
// Key names of a section in file order.
std::vector<std::string> conf_get_keys(conf* c, const char* section);

// Remove a section with all its keys, or one key. 0, or -1 when there was nothing to remove.
int conf_del_section(conf* c, const char* section);
int conf_del_key(conf* c, const char* section, const char* key);

// Renames a section, keeping the positions and comments of its entries. 0; -1 when a section of
// the new name exists ("nsec=%s exist error\n") or the new name is not valid, changing nothing;
// -2 when there is no section of the old name.
int conf_rename_section(conf* c, const char* old_name, const char* new_name);
// Renames a key within its section, keeping its position, value and comment. Same results as
// conf_rename_section.
int conf_rename_key(conf* c, const char* section, const char* old_key, const char* new_key);

// Writes the file's text (without the byte-order mark) to standard output.
void conf_dump(conf* c);
// Writes the file back to its path (byte-order mark first). 0, or -1 when the handle has no path
// or the file cannot be written (error line, tag "conf"); a failed save leaves the old file whole.
int conf_save(conf* c);
