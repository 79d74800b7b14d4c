#include "system/support/tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "system/support/process.h"

namespace systest {

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path) {
    throw std::runtime_error(what + " [" + printable(path) + "]: " + std::strerror(errno));
}

uint64_t splitmix(uint64_t& state) {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

uint64_t hash_text(const std::string& text, uint64_t seed) {
    uint64_t h = 1469598103934665603ULL ^ seed;
    for (unsigned char c : text) h = (h ^ c) * 1099511628211ULL;
    return h;
}

std::string join(const std::string& dir, const std::string& name) {
    return dir.empty() ? name : dir + "/" + name;
}

void make_parents(const std::string& root, const std::string& rel) {
    size_t pos = 0;
    while ((pos = rel.find('/', pos)) != std::string::npos) {
        std::string dir = root + "/" + rel.substr(0, pos);
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) fail("mkdir", dir);
        ++pos;
    }
}

void make_dirs(const std::string& path) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        std::string prefix = path.substr(0, pos);
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) fail("mkdir", prefix);
    }
}

int depth(const std::string& rel) {
    return static_cast<int>(std::count(rel.begin(), rel.end(), '/'));
}

std::vector<std::string> list_names(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) fail("opendir", dir);
    std::vector<std::string> names;
    errno = 0;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

void snapshot_dir(const std::string& root, const std::string& rel, Snapshot& out) {
    const std::string dir = rel.empty() ? root : root + "/" + rel;
    for (const auto& name : list_names(dir)) {
        const std::string child_rel = join(rel, name);
        const std::string path = root + "/" + child_rel;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) fail("lstat", path);
        Entry e;
        e.mode = st.st_mode;
        e.uid = st.st_uid;
        e.gid = st.st_gid;
        e.size = st.st_size;
        e.atime = st.st_atim.tv_sec;
        e.mtime = st.st_mtim.tv_sec;
        if (S_ISREG(st.st_mode)) {
            e.kind = Kind::file;
            e.content = read_file(path);
        } else if (S_ISLNK(st.st_mode)) {
            e.kind = Kind::symlink;
            std::string buf(static_cast<size_t>(st.st_size) + 1, '\0');
            ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
            if (n < 0) fail("readlink", path);
            buf.resize(static_cast<size_t>(n));
            e.target = buf;
        } else if (S_ISDIR(st.st_mode)) {
            e.kind = Kind::dir;
        }
        const bool is_dir = e.kind == Kind::dir;
        out.emplace(child_rel, std::move(e));
        if (is_dir) snapshot_dir(root, child_rel, out);
    }
}

const char* kind_name(Kind k) {
    switch (k) {
        case Kind::file:
            return "file";
        case Kind::dir:
            return "directory";
        case Kind::symlink:
            return "symlink";
        default:
            return "other";
    }
}

std::string octal(mode_t m) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0%o", static_cast<unsigned>(m));
    return buf;
}

void remove_tree(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        ::chmod(path.c_str(), 0700);
        DIR* d = ::opendir(path.c_str());
        if (d) {
            std::vector<std::string> names;
            while (dirent* e = ::readdir(d)) {
                if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                    names.emplace_back(e->d_name);
            }
            ::closedir(d);
            for (const auto& n : names) remove_tree(path + "/" + n);
        }
        ::rmdir(path.c_str());
    } else {
        ::unlink(path.c_str());
    }
}

}  // namespace

std::string pattern_bytes(size_t size, uint64_t seed) {
    std::string out(size, '\0');
    uint64_t state = seed;
    for (size_t i = 0; i < size; i += 8) {
        uint64_t v = splitmix(state);
        std::memcpy(out.data() + i, &v, std::min<size_t>(8, size - i));
    }
    return out;
}

Node Node::file(std::string path, std::string content) {
    Node n;
    n.kind = Kind::file;
    n.path = std::move(path);
    n.content = std::move(content);
    return n;
}

Node Node::sized(std::string path, size_t size, uint64_t seed) {
    Node n;
    n.kind = Kind::file;
    n.content = pattern_bytes(size, hash_text(path, seed));
    n.path = std::move(path);
    return n;
}

Node Node::dir(std::string path) {
    Node n;
    n.kind = Kind::dir;
    n.path = std::move(path);
    return n;
}

Node Node::link(std::string path, std::string target) {
    Node n;
    n.kind = Kind::symlink;
    n.path = std::move(path);
    n.target = std::move(target);
    return n;
}

void make_tree(const std::string& root, const std::vector<Node>& nodes) {
    make_dirs(root);
    for (const auto& n : nodes) {
        make_parents(root, n.path);
        const std::string path = root + "/" + n.path;
        switch (n.kind) {
            case Kind::file:
                write_file(path, n.content);
                break;
            case Kind::dir:
                if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) fail("mkdir", path);
                break;
            case Kind::symlink:
                if (::symlink(n.target.c_str(), path.c_str()) != 0) fail("symlink", path);
                break;
            default:
                throw std::runtime_error("make_tree: unsupported kind");
        }
    }
    // Owner before mode: chown clears set-id bits.
    for (const auto& n : nodes) {
        const std::string path = root + "/" + n.path;
        if ((n.uid || n.gid) && ::lchown(path.c_str(), n.uid ? *n.uid : static_cast<uid_t>(-1),
                                         n.gid ? *n.gid : static_cast<gid_t>(-1)) != 0)
            fail("lchown", path);
        if (n.mode && n.kind != Kind::symlink && ::chmod(path.c_str(), *n.mode) != 0)
            fail("chmod", path);
    }
    std::vector<const Node*> timed;
    for (const auto& n : nodes)
        if (n.mtime || n.atime) timed.push_back(&n);
    std::stable_sort(timed.begin(), timed.end(),
                     [](const Node* a, const Node* b) { return depth(a->path) > depth(b->path); });
    for (const Node* n : timed) {
        const std::string path = root + "/" + n->path;
        const auto st = lstat_path(path);
        set_times(path, n->atime ? *n->atime : st.atime, n->mtime ? *n->mtime : st.mtime);
    }
}

std::vector<Node> generated_nodes(const GenSpec& gen) {
    std::vector<Node> nodes;
    uint64_t state = gen.seed;
    std::vector<std::string> level_dirs{""};
    for (int level = 0; level <= gen.levels; ++level) {
        std::vector<std::string> next;
        for (const auto& dir : level_dirs) {
            for (int f = 0; f < gen.files; ++f) {
                size_t size = gen.max_size ? splitmix(state) % (gen.max_size + 1) : 0;
                nodes.push_back(Node::sized(join(dir, "f" + std::to_string(f)), size, gen.seed)
                                    .with_times(1500000000 + static_cast<int64_t>(f),
                                                1600000000 + static_cast<int64_t>(f)));
            }
            if (level == gen.levels) continue;
            for (int d = 0; d < gen.dirs; ++d) {
                std::string sub = join(dir, "d" + std::to_string(d));
                nodes.push_back(Node::dir(sub));
                next.push_back(sub);
            }
        }
        level_dirs = std::move(next);
    }
    return nodes;
}

Snapshot snapshot(const std::string& root) {
    struct stat st;
    if (::lstat(root.c_str(), &st) != 0) fail("lstat", root);
    if (!S_ISDIR(st.st_mode)) throw std::runtime_error("snapshot: not a directory: " + root);
    Snapshot out;
    snapshot_dir(root, "", out);
    return out;
}

Snapshot settled_snapshot(const std::string& root) {
    snapshot(root);
    return snapshot(root);
}

std::vector<std::string> compare(const Snapshot& expected, const Snapshot& actual,
                                 const CompareOptions& options) {
    std::vector<std::string> diffs;
    auto e = expected.begin();
    auto a = actual.begin();
    while (e != expected.end() || a != actual.end()) {
        if (a == actual.end() || (e != expected.end() && e->first < a->first)) {
            diffs.push_back("missing " + std::string(kind_name(e->second.kind)) + ": '" +
                            printable(e->first) + "'");
            ++e;
            continue;
        }
        if (e == expected.end() || a->first < e->first) {
            diffs.push_back("unexpected " + std::string(kind_name(a->second.kind)) + ": '" +
                            printable(a->first) + "'");
            ++a;
            continue;
        }
        const std::string name = "'" + printable(e->first) + "': ";
        const Entry& x = e->second;
        const Entry& y = a->second;
        ++e;
        ++a;
        if (x.kind != y.kind) {
            diffs.push_back(name + "expected a " + kind_name(x.kind) + ", found a " +
                            kind_name(y.kind));
            continue;
        }
        if (x.kind == Kind::file && x.content != y.content) {
            size_t at = 0;
            while (at < x.content.size() && at < y.content.size() && x.content[at] == y.content[at])
                ++at;
            diffs.push_back(name + "content differs from byte " + std::to_string(at) +
                            " (expected size " + std::to_string(x.content.size()) + ", found " +
                            std::to_string(y.content.size()) + ")");
        }
        if (x.kind == Kind::symlink && x.target != y.target)
            diffs.push_back(name + "link text '" + printable(y.target) + "', expected '" +
                            printable(x.target) + "'");
        if (x.kind == Kind::dir && !options.dir_attributes) continue;
        if (options.mode && x.kind != Kind::symlink && x.mode != y.mode)
            diffs.push_back(name + "mode " + octal(y.mode) + ", expected " + octal(x.mode));
        if (options.owner && (x.uid != y.uid || x.gid != y.gid))
            diffs.push_back(name + "owner " + std::to_string(y.uid) + ":" + std::to_string(y.gid) +
                            ", expected " + std::to_string(x.uid) + ":" + std::to_string(x.gid));
        if (options.mtime && (x.kind != Kind::symlink || options.link_times) && x.mtime != y.mtime)
            diffs.push_back(name + "mtime " + std::to_string(y.mtime) + ", expected " +
                            std::to_string(x.mtime));
        if (options.atime && x.kind == Kind::file && x.atime != y.atime)
            diffs.push_back(name + "atime " + std::to_string(y.atime) + ", expected " +
                            std::to_string(x.atime));
    }
    return diffs;
}

std::string format_differences(const std::vector<std::string>& differences, size_t limit) {
    std::string text = std::to_string(differences.size()) + " difference(s):";
    for (size_t i = 0; i < differences.size() && i < limit; ++i) text += "\n  " + differences[i];
    if (differences.size() > limit) text += "\n  ...";
    return text;
}

Snapshot without_empty_directories(const Snapshot& snapshot) {
    std::set<std::string> holding;  // directories with a non-directory somewhere below
    for (const auto& [path, entry] : snapshot) {
        if (entry.kind == Kind::dir) continue;
        for (size_t pos = path.rfind('/'); pos != std::string::npos && pos > 0;
             pos = path.rfind('/', pos - 1)) {
            holding.insert(path.substr(0, pos));
        }
    }
    Snapshot out;
    for (const auto& [path, entry] : snapshot)
        if (entry.kind != Kind::dir || holding.count(path)) out.emplace(path, entry);
    return out;
}

size_t count_kind(const Snapshot& snapshot, Kind kind) {
    return static_cast<size_t>(std::count_if(snapshot.begin(), snapshot.end(),
                                             [&](const auto& p) { return p.second.kind == kind; }));
}

int64_t total_file_bytes(const Snapshot& snapshot) {
    int64_t total = 0;
    for (const auto& [path, entry] : snapshot)
        if (entry.kind == Kind::file) total += entry.size;
    return total;
}

std::string normalized_display_path(std::string path) {
    auto is_blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    for (bool changed = true; changed && !path.empty();) {
        changed = false;
        while (!path.empty() && is_blank(path.front())) path.erase(0, 1), changed = true;
        while (!path.empty() && is_blank(path.back())) path.pop_back(), changed = true;
        if (path.size() >= 2 && (path.front() == '"' || path.front() == '\'') &&
            path.back() == path.front()) {
            path = path.substr(1, path.size() - 2);
            changed = true;
        }
    }
    std::replace(path.begin(), path.end(), '\\', '/');
    if (!path.empty() && path.find_first_not_of('/') == std::string::npos) return "/";
    if (path.rfind("file://", 0) == 0) path.erase(0, 7);
    std::string out;
    for (char c : path)
        if (!(c == '/' && !out.empty() && out.back() == '/')) out += c;
    return out;
}

bool is_writer_temporary_name(const std::string& name) {
    const std::string prefix = ".dvcp.", suffix = ".tmp";
    if (name.size() != prefix.size() + 12 + suffix.size()) return false;
    if (name.compare(0, prefix.size(), prefix) != 0) return false;
    if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
    return std::all_of(name.begin() + prefix.size(), name.end() - suffix.size(),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

namespace {

// Whether the listing leaves the entry at `rel` out: names that would break its lines, and the
// writer's temporaries, at any level of the path.
bool left_out_of_listing(const std::string& rel) {
    if (rel.find_first_of("\t\n\r") != std::string::npos) return true;
    for (size_t start = 0;;) {
        const size_t slash = rel.find('/', start);
        if (is_writer_temporary_name(rel.substr(start, slash - start))) return true;
        if (slash == std::string::npos) return false;
        start = slash + 1;
    }
}

}  // namespace

std::multiset<std::string> expected_list_lines(const std::string& root_text,
                                               const Snapshot& snapshot) {
    std::string root = normalized_display_path(root_text);
    if (root.size() > 1 && root.back() == '/') root.pop_back();
    if (root == "/") root.clear();
    std::multiset<std::string> lines;
    for (const auto& [rel, entry] : snapshot) {
        if (left_out_of_listing(rel)) continue;
        std::string path = root + "/" + rel;
        if (entry.kind == Kind::dir) path += "/";
        // A path that holds the link separator itself is closed by a tab.
        const bool ambiguous = path.find(" -> ") != std::string::npos;
        if (entry.kind == Kind::symlink)
            lines.insert(path + (ambiguous ? "\t-> " : " -> ") + entry.target);
        else
            lines.insert(ambiguous ? path + "\t" : path);
    }
    return lines;
}

std::string read_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) fail("open", path);
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            fail("read", path);
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
}

void write_file(const std::string& path, const std::string& content) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) fail("create", path);
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            fail("write", path);
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) fail("close", path);
}

void set_times(const std::string& path, int64_t atime, int64_t mtime) {
    timespec ts[2] = {{static_cast<time_t>(atime), 0}, {static_cast<time_t>(mtime), 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW) != 0) fail("utimensat", path);
}

stat_result lstat_path(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) fail("lstat", path);
    return {st.st_mode, st.st_uid, st.st_gid, st.st_size, st.st_atim.tv_sec, st.st_mtim.tv_sec};
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

void remove_all(const std::string& path) {
    remove_tree(path);
}

void chown_tree(const std::string& root, uid_t uid, gid_t gid) {
    if (::lchown(root.c_str(), uid, gid) != 0) fail("lchown", root);
    struct stat st;
    if (::lstat(root.c_str(), &st) != 0) fail("lstat", root);
    if (!S_ISDIR(st.st_mode)) return;
    for (const auto& name : list_names(root)) chown_tree(root + "/" + name, uid, gid);
}

}  // namespace systest
