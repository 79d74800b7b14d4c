#include "libconf/ini/conf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "libconf/ini/dictionary.h"
#include "libconf/ini/iniparser.h"
#include "libconf/ini/wildcard.h"
#include "liblog/log2.h"

#define CONF_LOG(level, ...) DV_LOG("conf", level, __VA_ARGS__)

namespace {

// The operations of one loaded file, whatever its format.
class conf_store {
  public:
    virtual ~conf_store() = default;
    virtual const std::string* get(std::string_view section, std::string_view key) const = 0;
    virtual int set(std::string_view section, std::string_view key, std::string_view value) = 0;
    virtual std::vector<std::string> sections() const = 0;
    virtual std::vector<std::string> keys(std::string_view section) const = 0;
    virtual bool has_section(std::string_view section) const = 0;
    virtual int del_section(std::string_view section) = 0;
    virtual int del_key(std::string_view section, std::string_view key) = 0;
    virtual int rename_section(std::string_view old_name, std::string_view new_name) = 0;
    virtual int rename_key(std::string_view section, std::string_view old_key,
                           std::string_view new_key) = 0;
    virtual void dump(FILE* out) const = 0;
    virtual int save() const = 0;
};

// A file format: which names it takes and how it loads them.
class conf_format {
  public:
    virtual ~conf_format() = default;
    virtual int type() const = 0;
    virtual bool accepts(std::string_view name) const = 0;
    virtual std::unique_ptr<conf_store> load_file(const char* path, bool create) const = 0;
    virtual std::unique_ptr<conf_store> load_text(std::string_view text) const = 0;
};

std::string joined_key(std::string_view section, std::string_view key) {
    std::string k(section);
    k += DICT_SECTION_SEP;
    k.append(key);
    return k;
}

class ini_store final : public conf_store {
  public:
    ini_store(std::optional<std::string> path, std::unique_ptr<dictionary> dict)
        : path_(std::move(path)), dict_(std::move(dict)) {}

    const std::string* get(std::string_view section, std::string_view key) const override {
        ptrdiff_t slot = dict_->find(joined_key(section, key));
        return slot < 0 ? nullptr : dict_->value(static_cast<size_t>(slot));
    }

    int set(std::string_view section, std::string_view key, std::string_view value) override {
        if (!iniparser_section_name_ok(section)) {
            CONF_LOG(LOG_ERR, "invalid section name [%.*s]\n", static_cast<int>(section.size()),
                     section.data());
            return -1;
        }
        if (!iniparser_format_key_line(key, value)) {
            CONF_LOG(LOG_ERR, "[%.*s] %.*s: key or value cannot be saved\n",
                     static_cast<int>(section.size()), section.data(), static_cast<int>(key.size()),
                     key.data());
            return -1;
        }
        try {
            if (dict_->find(section) < 0) dict_->set(section, std::nullopt);
            dict_->set(joined_key(section, key), value);
        } catch (const std::bad_alloc&) {
            CONF_LOG(LOG_ERR, "memory allocation failure\n");
            return -1;
        }
        return 0;
    }

    std::vector<std::string> sections() const override {
        std::vector<std::string> out;
        for (size_t slot = 0; slot < dict_->capacity(); ++slot) {
            if (dict_->slot_used(slot) &&
                dict_->key(slot).find(DICT_SECTION_SEP) == std::string::npos) {
                out.push_back(dict_->key(slot));
            }
        }
        return out;
    }

    std::vector<std::string> keys(std::string_view section) const override {
        std::vector<std::string> out;
        for (size_t slot = 0; slot < dict_->capacity(); ++slot) {
            if (!dict_->slot_used(slot)) continue;
            std::string_view k = dict_->key(slot);
            if (k.size() > section.size() && k.starts_with(section) &&
                k[section.size()] == DICT_SECTION_SEP) {
                out.emplace_back(k.substr(section.size() + 1));
            }
        }
        return out;
    }

    bool has_section(std::string_view section) const override { return dict_->find(section) >= 0; }

    int del_section(std::string_view section) override {
        bool removed = dict_->unset(section);
        for (const std::string& k : keys(section)) removed |= dict_->unset(joined_key(section, k));
        return removed ? 0 : -1;
    }

    int del_key(std::string_view section, std::string_view key) override {
        return dict_->unset(joined_key(section, key)) ? 0 : -1;
    }

    int rename_section(std::string_view old_name, std::string_view new_name) override {
        if (!iniparser_section_name_ok(new_name)) {
            CONF_LOG(LOG_ERR, "invalid section name [%.*s]\n", static_cast<int>(new_name.size()),
                     new_name.data());
            return -1;
        }
        if (dict_->has_section_entries(new_name)) {
            CONF_LOG(LOG_ERR, "nsec=%.*s exist error\n", static_cast<int>(new_name.size()),
                     new_name.data());
            return -1;
        }
        return dict_->secrename(old_name, new_name);
    }

    int rename_key(std::string_view section, std::string_view old_key,
                   std::string_view new_key) override {
        ptrdiff_t slot = dict_->find(joined_key(section, old_key));
        const std::string* value = slot < 0 ? nullptr : dict_->value(static_cast<size_t>(slot));
        if (!iniparser_format_key_line(new_key, value ? *value : std::string_view{})) {
            CONF_LOG(LOG_ERR, "invalid key name [%.*s]\n", static_cast<int>(new_key.size()),
                     new_key.data());
            return -1;
        }
        std::string target = joined_key(section, new_key);
        if (dict_->find(target) >= 0) {
            CONF_LOG(LOG_ERR, "nkey=%.*s exist error\n", static_cast<int>(new_key.size()),
                     new_key.data());
            return -1;
        }
        if (slot < 0) return -2;
        dict_->rekey(static_cast<size_t>(slot), target);
        return 0;
    }

    void dump(FILE* out) const override {
        std::string text = iniparser_dump_text(*dict_);
        std::fwrite(text.data(), 1, text.size(), out);
        std::fflush(out);
    }

    int save() const override {
        if (!path_) {
            CONF_LOG(LOG_ERR, "no file to save to\n");
            return -1;
        }
        return ini_conf_save(*dict_, path_->c_str());
    }

  private:
    std::optional<std::string> path_;
    std::unique_ptr<dictionary> dict_;
};

// Configuration files are small; anything bigger is not one.
constexpr size_t kMaxFileSize = 64u << 20;

// Reads a whole regular file; none (errno set) when it cannot be opened or read, is not a regular
// file (a FIFO would block, a device never end) or is too big.
std::optional<std::string> read_file(const char* path) {
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> text;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        // errno set by fstat
    } else if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    } else {
        text.emplace();
        char buf[16384];
        while (true) {
            ssize_t n = ::read(fd, buf, sizeof(buf));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 || text->size() + static_cast<size_t>(n) > kMaxFileSize) {
                if (n >= 0) errno = EFBIG;
                text.reset();
                break;
            }
            if (n == 0) break;
            text->append(buf, static_cast<size_t>(n));
        }
    }
    int saved = errno;
    ::close(fd);
    errno = saved;
    return text;
}

class ini_format final : public conf_format {
  public:
    int type() const override { return CONF_TYPE_INI; }

    bool accepts(std::string_view name) const override {
        return wildcard_match_any("*.ini|*.dvi|*.inf|*.cfg|*.dat", name, true);
    }

    std::unique_ptr<conf_store> load_file(const char* path, bool create) const override {
        if (wildcard_match("*.dat", path, true)) {
            // Such files hold transformed content; no transform is registered here.
            CONF_LOG(LOG_DBG, "no content transform for [%s]\n", path);
            return nullptr;
        }
        std::optional<std::string> text;
        try {
            text = read_file(path);
            if (!text && create && errno == ENOENT) {
                // "x": never truncate a file that exists but could not be opened.
                if (FILE* f = std::fopen(path, "wx")) {
                    std::fclose(f);
                    text = read_file(path);
                }
            }
        } catch (const std::bad_alloc&) {
            CONF_LOG(LOG_ERR, "memory allocation failure\n");
            return nullptr;
        }
        if (!text) {
            std::fprintf(stderr, "iniparser: cannot open %s\n", path);
            return nullptr;
        }
        auto dict = iniparser_load_all(*text);
        if (!dict) return nullptr;
        return std::make_unique<ini_store>(std::string(path), std::move(dict));
    }

    std::unique_ptr<conf_store> load_text(std::string_view text) const override {
        auto dict = iniparser_load_all(text);
        if (!dict) return nullptr;
        return std::make_unique<ini_store>(std::nullopt, std::move(dict));
    }
};

constexpr size_t kMaxFormats = 4;

// Filled on first use; only the INI format exists.
const std::array<const conf_format*, kMaxFormats>& formats() {
    static const ini_format ini;
    static const std::array<const conf_format*, kMaxFormats> table{&ini, nullptr, nullptr, nullptr};
    return table;
}

const conf_format* format_for_name(const char* path) {
    for (const conf_format* f : formats()) {
        if (f != nullptr && f->accepts(path)) return f;
    }
    return nullptr;
}

const conf_format* format_for_type(int type) {
    for (const conf_format* f : formats()) {
        if (f != nullptr && f->type() == type) return f;
    }
    return nullptr;
}

}  // namespace

struct conf {
    const conf_format* format;
    std::unique_ptr<conf_store> store;
};

namespace {

conf* wrap(const conf_format* format, std::unique_ptr<conf_store> store) {
    if (!store) return nullptr;
    return new (std::nothrow) conf{format, std::move(store)};
}

conf* load(const char* path, bool create) {
    if (path == nullptr || *path == '\0') return nullptr;
    const conf_format* format = format_for_name(path);
    if (format == nullptr) {
        CONF_LOG(LOG_ERR, "no format for [%s]\n", path);
        return nullptr;
    }
    return wrap(format, format->load_file(path, create));
}

bool args_ok(const conf* c, const char* section) {
    return c != nullptr && section != nullptr;
}

}  // namespace

conf* conf_load(const char* path) {
    return load(path, false);
}

conf* conf_create_load(const char* path) {
    return load(path, true);
}

conf* conf_load_str(const char* text, int type) {
    if (text == nullptr) {
        std::fprintf(stderr, "iniparser: cannot open [str]\n");
        return nullptr;
    }
    const conf_format* format = format_for_type(type);
    if (format == nullptr) return nullptr;
    return wrap(format, format->load_text(text));
}

void conf_close(conf* c) {
    delete c;
}

const char* conf_get_str(conf* c, const char* section, const char* key, const char* def) {
    if (!args_ok(c, section) || key == nullptr) return def;
    const std::string* v = c->store->get(section, key);
    return v ? v->c_str() : def;
}

int conf_get_int(conf* c, const char* section, const char* key, int def) {
    if (!args_ok(c, section) || key == nullptr) return def;
    const std::string* v = c->store->get(section, key);
    if (v == nullptr) return def;
    errno = 0;
    long n = std::strtol(v->c_str(), nullptr, 10);
    if (n > INT_MAX) return INT_MAX;
    if (n < INT_MIN) return INT_MIN;
    return static_cast<int>(n);
}

int conf_set_str(conf* c, const char* section, const char* key, const char* value) {
    if (!args_ok(c, section) || key == nullptr || value == nullptr) return -1;
    return c->store->set(section, key, value);
}

int conf_set_int(conf* c, const char* section, const char* key, int value) {
    char text[16];
    std::snprintf(text, sizeof(text), "%d", value);
    return conf_set_str(c, section, key, text);
}

bool conf_has_section(conf* c, const char* section) {
    return args_ok(c, section) && c->store->has_section(section);
}

bool conf_has_key(conf* c, const char* section, const char* key) {
    return args_ok(c, section) && key != nullptr && c->store->get(section, key) != nullptr;
}

std::vector<std::string> conf_get_sections(conf* c) {
    return c ? c->store->sections() : std::vector<std::string>{};
}

std::vector<std::string> conf_get_sections_match(conf* c, const char* pattern) {
    std::vector<std::string> out;
    if (c == nullptr || pattern == nullptr) return out;
    for (std::string& name : c->store->sections()) {
        if (wildcard_match(pattern, name, false)) out.push_back(std::move(name));
    }
    return out;
}

std::vector<std::string> conf_get_keys(conf* c, const char* section) {
    return args_ok(c, section) ? c->store->keys(section) : std::vector<std::string>{};
}

int conf_del_section(conf* c, const char* section) {
    return args_ok(c, section) ? c->store->del_section(section) : -1;
}

int conf_del_key(conf* c, const char* section, const char* key) {
    return args_ok(c, section) && key != nullptr ? c->store->del_key(section, key) : -1;
}

int conf_rename_section(conf* c, const char* old_name, const char* new_name) {
    if (!args_ok(c, old_name) || new_name == nullptr) return -1;
    return c->store->rename_section(old_name, new_name);
}

int conf_rename_key(conf* c, const char* section, const char* old_key, const char* new_key) {
    if (!args_ok(c, section) || old_key == nullptr || new_key == nullptr) return -1;
    return c->store->rename_key(section, old_key, new_key);
}

void conf_dump(conf* c) {
    if (c != nullptr) c->store->dump(stdout);
}

int conf_save(conf* c) {
    return c ? c->store->save() : -1;
}
