// Reading the tool's log from standard error: colour codes removed, the run report as a map.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace systest {

// The text without ANSI escape sequences (ESC '[' ... final byte).
std::string strip_ansi(std::string_view text);

// The lines of a log, colour codes removed.
std::vector<std::string> log_lines(std::string_view text);

// Whether some line of the log (colour codes removed) contains `needle`.
bool log_contains(std::string_view text, std::string_view needle);

// The report lines of a run ("file_count=12", "total_read=4096 (4.0K)", "total_time=..."):
// key -> the text after "=". A line counts when the key stands at its start or after a blank,
// whatever prefix (time, thread, function) the log put before it; the last occurrence wins.
class Report final {
  public:
    static Report parse(std::string_view log_text);

    bool has(const std::string& key) const { return values_.count(key) != 0; }
    // The leading integer of the value; nullopt when the key is absent or holds no number.
    std::optional<int64_t> number(const std::string& key) const;
    const std::map<std::string, std::string>& values() const { return values_; }
    std::string describe() const;

  private:
    std::map<std::string, std::string> values_;
};

// Keys of the run report, in the order it writes them (server traffic by connection kind last).
const std::vector<std::string>& report_keys();

}  // namespace systest
