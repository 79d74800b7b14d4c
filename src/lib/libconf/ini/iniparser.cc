#include "libconf/ini/iniparser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <unordered_map>
#include <vector>

#include "liblog/log2.h"

#define CONF_LOG(level, ...) DV_LOG("conf", level, __VA_ARGS__)

namespace {

constexpr std::string_view kBlanks = " \t\n\v\f\r";

std::string_view trim(std::string_view s) {
    size_t b = s.find_first_not_of(kBlanks);
    if (b == std::string_view::npos) return {};
    size_t e = s.find_last_not_of(kBlanks);
    return s.substr(b, e - b + 1);
}

std::string_view trim_right(std::string_view s) {
    size_t e = s.find_last_not_of(kBlanks);
    return e == std::string_view::npos ? std::string_view{} : s.substr(0, e + 1);
}

// Key and value of a stripped line that holds "=" after at least one other character. The
// forms are tried in order, as scanf reads them: a key followed by "= \"...\"", "= '...'", an
// unquoted value cut at ";" or "#", or nothing (an empty value). A closing quote is not required
// and anything after it is ignored.
ini_line parse_key_value(std::string_view s, size_t eq) {
    ini_line out;
    out.kind = ini_line::key_value;
    out.name.assign(trim(s.substr(0, eq)));
    std::string_view rest = s.substr(eq + 1);
    size_t b = rest.find_first_not_of(kBlanks);
    rest = b == std::string_view::npos ? std::string_view{} : rest.substr(b);
    if (rest.empty()) return out;  // "key =" or "key = " : empty value
    for (char quote : {'"', '\''}) {
        if (rest[0] == quote && rest.size() > 1 && rest[1] != quote) {
            std::string_view inner = rest.substr(1);
            out.value.assign(inner.substr(0, inner.find(quote)));
            return out;
        }
    }
    size_t stop = rest.find_first_of(";#");
    if (stop == 0) return out;  // "key = ;note": empty value
    std::string_view v = trim(rest.substr(0, stop));
    if (v != "\"\"" && v != "''") out.value.assign(v);
    return out;
}

class loader final {
  public:
    explicit loader(dictionary& dict) : dict_(dict) {}

    // false when the text cannot be loaded at all.
    bool run(std::string_view text) {
        size_t pos = text.starts_with(INI_BOM) ? INI_BOM.size() : 0;
        std::string line;
        line.reserve(INI_LINE_SIZE);
        size_t keep = 0;  // length of a continued line's first part
        bool continued = false;
        int lineno = 0;
        while (pos < text.size()) {
            const size_t room = INI_LINE_SIZE - 1 - keep;
            size_t nl = text.find('\n', pos);
            size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
            size_t take = std::min(end - pos, room);
            std::string_view chunk = text.substr(pos, take);
            pos += take;
            ++lineno;
            line.resize(keep);
            line.append(chunk);
            keep = 0;
            continued = false;
            if (chunk.back() != '\n' && take == room && pos < text.size()) {
                CONF_LOG(LOG_ERR, "input line too long in (%d): \n", lineno);
                return false;
            }
            if (chunk.find('\0') != std::string_view::npos) {
                CONF_LOG(LOG_ERR, "input line holds a NUL byte in (%d): \n", lineno);
                return false;
            }
            if (line == "\n") {
                pending_ += '\n';
                continue;
            }
            line.resize(trim_right(line).size());
            if (!line.empty() && line.back() == '\\') {
                CONF_LOG(LOG_DBG, "null_line_3\n");
                keep = line.size() - 1;
                continued = true;
                continue;
            }
            take_line(line, lineno);
        }
        // A continuation at the very end has nothing to join: keep what came before the "\".
        if (continued) {
            line.resize(trim_right(std::string_view(line).substr(0, keep)).size());
            take_line(line, lineno);
        }
        if (!pending_.empty()) dict_.set_trailing_comment(std::move(pending_));
        return true;
    }

  private:
    void take_line(const std::string& line, int lineno) {
        ini_line parsed = iniparser_parse_line(line);
        switch (parsed.kind) {
            case ini_line::blank:
                pending_ += '\n';
                break;
            case ini_line::comment:
                pending_.append(line).append("\n");
                break;
            case ini_line::section:
                section_ = parsed.name;
                add(section_, std::nullopt);
                break;
            case ini_line::key_value: {
                std::string key = section_;
                key += DICT_SECTION_SEP;
                key += parsed.name;
                add(key, std::string_view(parsed.value));
                break;
            }
            case ini_line::syntax_error:
                CONF_LOG(LOG_DBG, "syntax error in (%d):\n-> %s\n", lineno, line.c_str());
                break;
        }
    }

    void add(std::string_view key, std::optional<std::string_view> value) {
        std::optional<std::string_view> comment;
        if (!pending_.empty()) comment = pending_;
        dict_.set(key, value, comment);
        pending_.clear();
    }

    dictionary& dict_;
    std::string section_;
    std::string pending_;
};

// Only a line feed ends a line when reading; a carriage return inside a line is kept.
bool has_line_break(std::string_view s) {
    return s.find('\n') != s.npos;
}

// Slots of the keys of each section, in slot order, and the section entries in slot order.
struct layout {
    std::vector<size_t> sections;
    std::vector<std::string_view> orphan_sections;  // keys whose section has no entry
    std::unordered_map<std::string_view, std::vector<size_t>> keys;
};

layout lay_out(const dictionary& dict) {
    layout out;
    for (size_t slot = 0; slot < dict.capacity(); ++slot) {
        if (!dict.slot_used(slot)) continue;
        const std::string& key = dict.key(slot);
        size_t tab = key.find(DICT_SECTION_SEP);
        if (tab == std::string::npos) {
            out.sections.push_back(slot);
        } else {
            auto& list = out.keys[std::string_view(key).substr(0, tab)];
            list.push_back(slot);
        }
    }
    for (const auto& [name, slots] : out.keys) {
        if (dict.find(name) < 0) out.orphan_sections.push_back(name);
    }
    // Orphans in the order of their first key, so the text does not depend on hashing.
    std::sort(out.orphan_sections.begin(), out.orphan_sections.end(),
              [&](std::string_view a, std::string_view b) {
                  return out.keys[a].front() < out.keys[b].front();
              });
    return out;
}

void write_key(std::string& out, const dictionary& dict, size_t slot, std::string_view separator) {
    if (const std::string* c = dict.comment(slot)) out += *c;
    std::string_view key = dict.key(slot);
    key = key.substr(key.find(DICT_SECTION_SEP) + 1);
    const std::string* v = dict.value(slot);
    std::string_view value = v ? std::string_view(*v) : std::string_view{};
    if (auto line = iniparser_format_key_line(key, value, separator)) {
        out += *line;
    } else {
        out.append(key).append(separator).append(value);
    }
    out += '\n';
}

// Writes all of `data` to `fd`; false on an error.
bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

enum class replace_result { done, failed, no_temp };

// Writes the text to a new file beside `target` and renames it over `target`, so that a failed
// or interrupted save leaves the old file whole.
replace_result replace_file(const std::string& target, std::string_view text) {
    static std::atomic<unsigned> counter{0};
    struct stat old_st {};
    const bool exists = ::stat(target.c_str(), &old_st) == 0;
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof(suffix), ".tmp%d.%u", static_cast<int>(::getpid()),
                      counter.fetch_add(1));
        tmp = target + suffix;
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return replace_result::no_temp;
    }
    if (fd < 0) return replace_result::no_temp;
    if (exists) {
        (void)::fchmod(fd, old_st.st_mode & 07777);
        if (::geteuid() == 0) (void)::fchown(fd, old_st.st_uid, old_st.st_gid);
    }
    bool ok = write_all(fd, text) && ::fsync(fd) == 0;
    int saved_errno = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        saved_errno = errno;
    }
    if (ok && ::rename(tmp.c_str(), target.c_str()) != 0) {
        ok = false;
        saved_errno = errno;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        errno = saved_errno;
        CONF_LOG(LOG_ERR | LOG_ERRNO, "write [%s] err: ", target.c_str());
        return replace_result::failed;
    }
    return replace_result::done;
}

}  // namespace

ini_line iniparser_parse_line(std::string_view raw) {
    std::string_view s = trim(raw);
    ini_line out;
    if (s.empty()) return out;
    if (s[0] == '#' || s[0] == ';') {
        out.kind = ini_line::comment;
        return out;
    }
    if (s.size() >= 2 && s.front() == '[' && s.back() == ']') {
        std::string_view inner = s.substr(1);
        std::string_view name = trim(inner.substr(0, inner.find(']')));
        // A TAB would read back as a section and key.
        if (name.find(DICT_SECTION_SEP) != std::string_view::npos) {
            out.kind = ini_line::syntax_error;
            return out;
        }
        out.kind = ini_line::section;
        out.name.assign(name);
        return out;
    }
    size_t eq = s.find('=');
    if (eq == std::string_view::npos || eq == 0) {
        out.kind = ini_line::syntax_error;
        return out;
    }
    return parse_key_value(s, eq);
}

std::optional<std::string> iniparser_format_key_line(std::string_view key, std::string_view value,
                                                     std::string_view separator) {
    if (has_line_break(key) || has_line_break(value)) return std::nullopt;
    if (key.find('\0') != key.npos || value.find('\0') != value.npos) return std::nullopt;
    const std::string_view quotes[] = {"", "\"", "'"};
    for (std::string_view q : quotes) {
        std::string line;
        line.reserve(key.size() + separator.size() + value.size() + 2);
        line.append(key).append(separator).append(q).append(value).append(q);
        if (line.size() > INI_LINE_SIZE - 2) return std::nullopt;
        if (trim_right(line).ends_with('\\')) continue;
        ini_line back = iniparser_parse_line(line);
        if (back.kind == ini_line::key_value && back.name == key && back.value == value) {
            return line;
        }
    }
    return std::nullopt;
}

bool iniparser_section_name_ok(std::string_view name) {
    if (has_line_break(name) || name.find('\0') != name.npos) return false;
    std::string line = "[";
    line.append(name).append("]");
    if (line.size() > INI_LINE_SIZE - 2) return false;
    ini_line back = iniparser_parse_line(line);
    return back.kind == ini_line::section && back.name == name;
}

std::unique_ptr<dictionary> iniparser_load_all(std::string_view text) {
    std::unique_ptr<dictionary> dict;
    try {
        dict = std::make_unique<dictionary>();
        loader load(*dict);
        if (!load.run(text)) return nullptr;
    } catch (const std::bad_alloc&) {
        CONF_LOG(LOG_ERR, "memory allocation failure\n");
    }
    return dict;
}

std::string iniparser_dump_text(const dictionary& dict) {
    layout lay = lay_out(dict);
    std::string out;
    if (lay.sections.empty()) {
        // Keys only (a file without section headers): one "key = value" line each.
        for (size_t slot = 0; slot < dict.capacity(); ++slot) {
            if (dict.slot_used(slot)) write_key(out, dict, slot, " = ");
        }
        if (const auto& t = dict.trailing_comment()) out += *t;
        return out;
    }
    // Keys that stood above the first section header go back there.
    bool first = true;
    if (auto it = lay.keys.find(std::string_view{}); it != lay.keys.end() && dict.find("") < 0) {
        for (size_t slot : it->second) write_key(out, dict, slot, "=");
        first = false;
    }
    auto write_section = [&](std::string_view name, const std::string* comment) {
        if (comment) {
            out += *comment;
        } else if (!first) {
            out += '\n';
        }
        first = false;
        out.append("[").append(name).append("]\n");
        if (auto it = lay.keys.find(name); it != lay.keys.end()) {
            for (size_t slot : it->second) write_key(out, dict, slot, "=");
        }
    };
    for (size_t slot : lay.sections) write_section(dict.key(slot), dict.comment(slot));
    for (std::string_view name : lay.orphan_sections) {
        if (!name.empty()) write_section(name, nullptr);
    }
    if (const auto& t = dict.trailing_comment()) {
        out += *t;
    } else {
        out += '\n';
    }
    return out;
}

int ini_conf_save(const dictionary& dict, const char* path) {
    if (path == nullptr || *path == '\0') return -1;
    std::string text(INI_BOM);
    text += iniparser_dump_text(dict);

    // Replace the file a link points to, not the link.
    std::string target = path;
    struct stat st {};
    if (::lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        target = ::realpath(path, resolved) ? resolved : "";
    }
    if (!target.empty()) {
        switch (replace_file(target, text)) {
            case replace_result::done:
                return 0;
            case replace_result::failed:
                return -1;
            case replace_result::no_temp:
                break;
        }
    }
    // No file can be created beside it (for example a read-only directory): rewrite in place.
    FILE* f = std::fopen(path, "w+");
    if (f == nullptr) {
        CONF_LOG(LOG_ERR | LOG_ERRNO, "fopen [%s] err: ", path);
        return -1;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fflush(f) == 0;
    int saved_errno = errno;
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        saved_errno = errno;
    }
    if (!ok) {
        errno = saved_errno;
        CONF_LOG(LOG_ERR | LOG_ERRNO, "write [%s] err: ", path);
        return -1;
    }
    return 0;
}
