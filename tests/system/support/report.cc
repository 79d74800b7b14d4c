#include "system/support/report.h"

#include <cctype>
#include <cstdlib>

namespace systest {

std::string strip_ansi(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\033' && i + 1 < text.size() && text[i + 1] == '[') {
            i += 2;
            while (i < text.size() && !(text[i] >= 0x40 && text[i] <= 0x7e)) ++i;
            continue;
        }
        out += text[i];
    }
    return out;
}

std::vector<std::string> log_lines(std::string_view text) {
    std::vector<std::string> lines;
    const std::string plain = strip_ansi(text);
    size_t start = 0;
    while (start < plain.size()) {
        size_t end = plain.find('\n', start);
        if (end == std::string::npos) end = plain.size();
        lines.push_back(plain.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool log_contains(std::string_view text, std::string_view needle) {
    for (const auto& line : log_lines(text))
        if (line.find(needle) != std::string::npos) return true;
    return false;
}

const std::vector<std::string>& report_keys() {
    static const std::vector<std::string> keys = {"file_total_size",     "file_count",
                                                  "dir_count",           "file_open_count",
                                                  "i_file_fail_count",   "i_dir_fail_count",
                                                  "o_file_fail_count",   "o_dir_fail_count",
                                                  "sync_del_file_count", "sync_del_file_fail_count",
                                                  "total_read",          "total_write",
                                                  "trans_rate",          "file_rate",
                                                  "total_time",          "file_conns",
                                                  "file_requests",       "file_waits",
                                                  "lister_conns",        "lister_requests",
                                                  "lister_waits",        "batch_conns",
                                                  "batch_requests",      "batch_waits"};
    return keys;
}

Report Report::parse(std::string_view log_text) {
    Report report;
    for (const auto& line : log_lines(log_text)) {
        for (const auto& key : report_keys()) {
            const std::string probe = key + "=";
            for (size_t at = line.find(probe); at != std::string::npos;
                 at = line.find(probe, at + 1)) {
                if (at != 0 && line[at - 1] != ' ') continue;
                std::string value = line.substr(at + probe.size());
                while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
                    value.pop_back();
                report.values_[key] = value;
                break;
            }
        }
    }
    return report;
}

std::optional<int64_t> Report::number(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    const char* text = it->second.c_str();
    char* end = nullptr;
    long long v = std::strtoll(text, &end, 10);
    if (end == text) return std::nullopt;
    return v;
}

std::string Report::describe() const {
    std::string text = "report:";
    for (const auto& [k, v] : values_) text += " " + k + "=" + v + ";";
    return text;
}

}  // namespace systest
