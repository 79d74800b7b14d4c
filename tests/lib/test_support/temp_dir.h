// Scratch space for tests that work on real files, the one temporary-directory helper of the unit
// and process-level tests: a fresh directory (mode 0755, so that tests running a program as an
// ordinary user can reach it) under $TMPDIR or /tmp, removed with everything in it when the
// object goes away unless DV_KEEP_TEST_DIRS is set, and whole-file helpers.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>

namespace dvtest {

class TempDir final {
  public:
    // `prefix` names the directory after its test, for whoever finds one left behind.
    explicit TempDir(const std::string& prefix = "dvcp-systest") {
        std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + ".XXXXXX")).string();
        if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp " + tmpl);
        path_ = tmpl;
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms(0755), ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        namespace fs = std::filesystem;
        if (std::getenv("DV_KEEP_TEST_DIRS") != nullptr) return;
        // Tests close directories to their owner; open them again so that everything can go.
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        for (fs::recursive_directory_iterator it(path_, ec), end; !ec && it != end;
             it.increment(ec)) {
            std::error_code ignored;
            if (it->is_directory(ignored) && !it->is_symlink(ignored))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
        fs::remove_all(path_, ec);
    }

    const std::string& path() const { return path_; }
    std::string at(const std::string& name) const { return path_ + "/" + name; }
    std::string operator/(const std::string& name) const { return at(name); }

  private:
    std::string path_;
};

// The whole file; empty when it cannot be read.
inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Creates or truncates the file (its directory must exist).
inline void write_file(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

}  // namespace dvtest
