// INI text: any bytes load or fail cleanly, and whatever loads survives a save and a reload
// unchanged (the saved text of the reloaded file is the same text).
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "libconf/ini/conf.h"
#include "libconf/ini/dictionary.h"
#include "libconf/ini/iniparser.h"
#include "liblog/log2.h"

namespace {

bool has_overlong_line(std::string_view text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        size_t end = nl == std::string_view::npos ? text.size() : nl;
        if (end - start > INI_LINE_SIZE - 2) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Syntax errors are logged; keep the console quiet.
    static const bool quiet = [] {
        int off = 0;
        return log2_ioctl(nullptr, 40, &off, -1) == 0;
    }();
    (void)quiet;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto first = iniparser_load_all(text);
    if (!first) return 0;
    const std::string saved = iniparser_dump_text(*first);

    std::string file(INI_BOM);
    file += saved;
    auto second = iniparser_load_all(file);
    if (!second) {
        // Only a line that was loadable as the file's unterminated last line may not come back.
        if (!has_overlong_line(saved)) std::abort();
        return 0;
    }
    if (iniparser_dump_text(*second) != saved) std::abort();

    // The conf layer over the same text: listings and edits stay consistent.
    conf* c = conf_load_str(std::string(text).c_str(), CONF_TYPE_INI);
    if (c == nullptr) return 0;
    for (const std::string& section : conf_get_sections(c)) {
        if (!conf_has_section(c, section.c_str())) std::abort();
        for (const std::string& key : conf_get_keys(c, section.c_str())) {
            if (!conf_has_key(c, section.c_str(), key.c_str())) std::abort();
            (void)conf_get_int(c, section.c_str(), key.c_str(), 0);
        }
    }
    auto sections = conf_get_sections(c);
    if (!sections.empty()) {
        (void)conf_get_sections_match(c, sections.front().c_str());
        if (conf_rename_section(c, sections.front().c_str(), "renamed by fuzz") == 0 &&
            !conf_has_section(c, "renamed by fuzz")) {
            std::abort();
        }
        (void)conf_del_section(c, sections.back().c_str());
    }
    conf_close(c);
    return 0;
}
