// Scratch space for unit tests that work on real files: a fresh directory under the system
// temporary directory, removed with everything in it when the object goes away, and whole-file
// helpers.
#pragma once

#include <stdlib.h>

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
    explicit TempDir(const std::string& prefix) {
        std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + ".XXXXXX")).string();
        if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp " + tmpl);
        path_ = tmpl;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        namespace fs = std::filesystem;
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
