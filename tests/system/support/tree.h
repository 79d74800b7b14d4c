// Building, photographing and comparing directory trees for process-level tests.
//
// Paths inside a tree are relative to its root, elements joined with '/'. An element may hold
// any byte but '/' and NUL (blanks, quotes, backslashes, non-UTF-8 bytes), and every helper here
// hands such names to the system byte for byte.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "lib/test_support/temp_dir.h"

namespace systest {

enum class Kind { file, dir, symlink, other };

// One entry of a tree to build. Missing parent directories are created (0755).
struct Node {
    Kind kind = Kind::file;
    std::string path;
    std::string content;  // file bytes
    std::string target;   // link text, stored as given
    std::optional<mode_t> mode;
    std::optional<uid_t> uid;
    std::optional<gid_t> gid;
    std::optional<int64_t> atime, mtime;  // seconds; applied after the whole tree is written

    static Node file(std::string path, std::string content);
    // A file of `size` deterministic pseudo-random bytes; the same (path, size, seed) always
    // gives the same bytes.
    static Node sized(std::string path, size_t size, uint64_t seed = 0);
    static Node dir(std::string path);
    static Node link(std::string path, std::string target);

    Node with_mode(mode_t m) && {
        mode = m;
        return std::move(*this);
    }
    Node with_owner(uid_t u, gid_t g) && {
        uid = u;
        gid = g;
        return std::move(*this);
    }
    Node with_times(int64_t access, int64_t modify) && {
        atime = access;
        mtime = modify;
        return std::move(*this);
    }
};

// Deterministic pseudo-random bytes.
std::string pattern_bytes(size_t size, uint64_t seed);

// Creates the nodes below `root` (created too, with parents). Modes and owners are applied
// after every entry exists, times last and deepest first, so that writing a child does not
// move its directory's times afterwards. Throws std::runtime_error on any failure.
void make_tree(const std::string& root, const std::vector<Node>& nodes);

// Parameters of a generated tree: `levels` deep, `dirs` subdirectories and `files` files in each
// directory, file sizes drawn from 0..max_size.
struct GenSpec {
    uint64_t seed = 1;
    int levels = 2;
    int dirs = 3;
    int files = 5;
    size_t max_size = 8192;
};
std::vector<Node> generated_nodes(const GenSpec& gen);

// What a tree holds at one path, as lstat and read report it.
struct Entry {
    Kind kind = Kind::other;
    mode_t mode = 0;  // full st_mode
    uid_t uid = 0;
    gid_t gid = 0;
    int64_t size = 0;
    int64_t atime = 0, mtime = 0;  // seconds
    std::string content;           // regular files
    std::string target;            // symbolic links
};
using Snapshot = std::map<std::string, Entry>;  // relative path -> entry; the root not included

// Walks `root` without following links. Each entry is lstat'ed before it is read or listed, so
// the reading does not show in the times taken. Throws std::runtime_error on any failure.
Snapshot snapshot(const std::string& root);

// Reading a file or listing a directory can move its atime once (relatime); after that it
// stays put. This reads the tree, then takes the picture, so that the atimes match what
// another reader of the same tree sees from now on.
Snapshot settled_snapshot(const std::string& root);

struct CompareOptions {
    bool mode = true;
    bool owner = true;
    bool mtime = true;
    bool atime = false;
    bool link_times = true;  // mtime of symbolic links themselves
    // Directories: with dir_attributes false only their existence is compared.
    bool dir_attributes = true;
};

// Differences between what was expected and what is there, one readable line each, in path
// order: missing and unexpected entries, kind, content (first differing byte), link text and
// the attributes selected. Empty when the trees match.
std::vector<std::string> compare(const Snapshot& expected, const Snapshot& actual,
                                 const CompareOptions& options = {});

// The first `limit` differences joined for an assertion message.
std::string format_differences(const std::vector<std::string>& differences, size_t limit = 25);

// The expectation for a run that writes files but creates no empty directories: directories
// whose subtree holds nothing but directories are dropped.
Snapshot without_empty_directories(const Snapshot& snapshot);

// Number of entries of a kind, and the total size of the regular files.
size_t count_kind(const Snapshot& snapshot, Kind kind);
int64_t total_file_bytes(const Snapshot& snapshot);

// Display form of a local path as the tool prints it in list output: surrounding blanks and
// quote pairs removed, backslashes turned into '/', a leading "file://" removed, runs of '/'
// collapsed.
std::string normalized_display_path(std::string path);

// The lines the tool's list output should hold for a tree rooted at `root_text` (the if= text,
// shown as normalized_display_path gives it): one per file ("PATH" or "PATH -> LINKTEXT"), one
// per directory below the root ("PATH/"), the part below the root exactly as stored. A path that
// holds " -> " is closed by a tab ("PATH\t", "PATH/\t", "PATH\t-> LINKTEXT"). Names holding a
// tab or line break and the writer's temporaries are left out, with everything below them.
std::multiset<std::string> expected_list_lines(const std::string& root_text,
                                               const Snapshot& snapshot);

// Whether `name` (one path element) is a temporary of the tool's writer: ".dvcp." followed by
// 12 hexadecimal digits and ".tmp".
bool is_writer_temporary_name(const std::string& name);

// Small file-system helpers; each throws std::runtime_error on failure.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
void set_times(const std::string& path, int64_t atime, int64_t mtime);  // does not follow links
struct stat_result {
    mode_t mode;
    uid_t uid;
    gid_t gid;
    int64_t size, atime, mtime;  // times in seconds
};
stat_result lstat_path(const std::string& path);
bool exists(const std::string& path);      // lstat succeeds
void remove_all(const std::string& path);  // makes unreadable directories readable first
void chown_tree(const std::string& root, uid_t uid, gid_t gid);  // lchown, root included

// The tests' one temporary-directory helper (mode 0755, removed on destruction).
using TempDir = dvtest::TempDir;

}  // namespace systest
