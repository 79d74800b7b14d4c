#include "libpal/os_root.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lib/test_support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using dvtest::read_file;
using dvtest::write_file;

struct root_closer {
    void operator()(os_root* r) const { os_root_close(r); }
};
using root_ptr = std::unique_ptr<os_root, root_closer>;

// The whole content behind a descriptor, which is closed.
std::string drain(int fd) {
    std::string out;
    char buf[256];
    for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;) out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

// Sorted names in a directory descriptor (which is taken), without "." and "..".
std::vector<std::string> list_fd(int fd) {
    std::vector<std::string> names;
    DIR* d = fdopendir(fd);
    if (d == nullptr) {
        close(fd);
        return names;
    }
    while (const dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> list_dir(const std::string& path) {
    return list_fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

struct stat host_lstat(const std::string& path) {
    struct stat st = {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

bool same_time(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

os_attr make_attr(uint32_t mode, int64_t sec) {
    os_attr a = {};
    a.mode = mode;
    a.uid = 4321;
    a.gid = 4321;
    a.atime = sec;
    a.mtime = sec;
    return a;
}

// Old access times of the sentinels: with the usual relatime mount a read or a listing moves
// them, so that a read through an escape shows.
constexpr time_t kOldAtime = 1000000000;
constexpr time_t kSentinelMtime = 1500000000;

// Whether a path through the escape directory should reach anything.
enum class expect {
    fail,   // every operation through it fails
    decoy,  // it reaches a decoy directory inside the root (OS_ROOT_IN_ROOT's meaning)
};

class OsRoot : public testing::Test {
  protected:
    void SetUp() override {
        old_umask_ = umask(022);
        ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(out_.c_str(), 0750), 0);
        write_file(secret_, "SECRET");
        ASSERT_EQ(chmod(secret_.c_str(), 0640), 0);
        ASSERT_EQ(symlink("SECRETLINK", lnk_.c_str()), 0);
        const struct timespec ts[2] = {{kOldAtime, 0}, {kSentinelMtime, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, secret_.c_str(), ts, 0), 0);
        ASSERT_EQ(utimensat(AT_FDCWD, lnk_.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0);
        ASSERT_EQ(utimensat(AT_FDCWD, out_.c_str(), ts, 0), 0);

        // Does this file system move access times on reads? (Not with noatime.)
        const std::string probe = tmp_.at("probe");
        write_file(probe, "p");
        ASSERT_EQ(utimensat(AT_FDCWD, probe.c_str(), ts, 0), 0);
        (void)read_file(probe);
        atime_works_ = host_lstat(probe).st_atim.tv_sec != kOldAtime;

        snapshot();
    }
    void TearDown() override {
        umask(old_umask_);
        check_sentinels("at the end");
    }

    std::string in_root(const std::string& rel) const { return root_ + "/" + rel; }

    // ---- sentinels outside the root ----

    void snapshot() {
        secret_st_ = host_lstat(secret_);
        lnk_st_ = host_lstat(lnk_);
        out_st_ = host_lstat(out_);
    }

    // Nothing outside the root was read, written, listed, changed or removed.
    void check_sentinels(const std::string& ctx) {
        SCOPED_TRACE(ctx);
        const struct {
            const std::string& path;
            const struct stat& was;
        } all[] = {{secret_, secret_st_}, {lnk_, lnk_st_}, {out_, out_st_}};
        for (const auto& s : all) {
            const struct stat now = host_lstat(s.path);
            EXPECT_EQ(now.st_ino, s.was.st_ino) << s.path;
            EXPECT_EQ(now.st_mode, s.was.st_mode) << s.path;
            EXPECT_EQ(now.st_uid, s.was.st_uid) << s.path;
            EXPECT_EQ(now.st_gid, s.was.st_gid) << s.path;
            EXPECT_EQ(now.st_size, s.was.st_size) << s.path;
            EXPECT_EQ(now.st_nlink, s.was.st_nlink) << s.path;
            EXPECT_TRUE(same_time(now.st_mtim, s.was.st_mtim)) << s.path << " modified";
            EXPECT_TRUE(same_time(now.st_ctim, s.was.st_ctim)) << s.path << " changed";
            if (atime_works_) {
                EXPECT_TRUE(same_time(now.st_atim, s.was.st_atim)) << s.path << " read or listed";
            }
        }
        EXPECT_EQ(read_file(secret_), "SECRET");
        EXPECT_EQ(list_dir(out_), (std::vector<std::string>{"lnk", "secret"}));
        char text[64];
        const ssize_t n = readlink(lnk_.c_str(), text, sizeof(text));
        EXPECT_EQ(std::string(text, n > 0 ? static_cast<size_t>(n) : 0), "SECRETLINK");
        // Our own reads moved the access times: put them back and start again from here.
        const struct timespec ts[2] = {{kOldAtime, 0}, {0, UTIME_OMIT}};
        EXPECT_EQ(utimensat(AT_FDCWD, secret_.c_str(), ts, 0), 0);
        EXPECT_EQ(utimensat(AT_FDCWD, lnk_.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0);
        EXPECT_EQ(utimensat(AT_FDCWD, out_.c_str(), ts, 0), 0);
        snapshot();
    }

    // ---- the tree inside the root ----

    // A directory inside the root standing where an escape would land under OS_ROOT_IN_ROOT.
    static void make_decoy(const std::string& dir) {
        fs::create_directories(dir);
        write_file(dir + "/secret", "DECOY");
        write_file(dir + "/decoy", "");
        ASSERT_EQ(symlink("DECOYLINK", (dir + "/lnk").c_str()), 0);
    }

    void build_layout() {
        fs::remove_all(root_);
        fs::create_directories(in_root("sub"));
        write_file(in_root("file"), "in-root");
        write_file(in_root("sub/f"), "in-sub");
        make_decoy(in_root("outside"));  // "../outside" read in the root
        make_decoy(root_ + out_);        // the absolute path of outside read in the root
        const std::pair<std::string, std::string> links[] = {
            {"abs_dir", out_},                       // absolute link to the outside dir
            {"rel_dir", "../outside"},               // relative link climbing out
            {"slash", "/"},                          // link to "/"
            {"chain1", "chain2"},                    // chain1 -> chain2 -> rel_dir
            {"chain2", "rel_dir"},                   //
            {"abs_file", secret_},                   // final link to the sentinel file
            {"sub/up", "../../outside"},             // deeper relative link
            {"proc_dir", "/proc/self/root" + out_},  // through a magic link
            {"abs_sub", "/sub"},                     // absolute link meant in the root
            {"in_link", "file"},                     // link to a file in the root
        };
        for (const auto& [name, target] : links) {
            ASSERT_EQ(symlink(target.c_str(), in_root(name).c_str()), 0) << name;
        }
    }

    root_ptr open_root(uint32_t mode) {
        root_ptr r(os_root_open(root_.c_str(), mode));
        EXPECT_NE(r, nullptr) << strerror(errno);
        return r;
    }

    root_ptr fresh_root(uint32_t mode) {
        build_layout();
        return open_root(mode);
    }

    // Runs every operation on paths through `dir` (each on a fresh handle from `make`) and checks
    // the sentinels after each. `final_link`: the last component of `dir` is a link, so that the
    // operations on `dir` itself act on that link, legitimately. `through_only`: leave out the
    // operations on `dir` itself.
    void run_ops(const std::function<root_ptr()>& make, const std::string& dir, expect exp,
                 bool final_link, bool through_only = false);

    dvtest::TempDir tmp_{"os_root_test"};
    const std::string root_ = tmp_.at("root");
    const std::string out_ = tmp_.at("outside");
    const std::string secret_ = out_ + "/secret";
    const std::string lnk_ = out_ + "/lnk";
    struct stat secret_st_ = {};
    struct stat lnk_st_ = {};
    struct stat out_st_ = {};
    bool atime_works_ = false;
    mode_t old_umask_ = 022;
};

// What an operation reached through an escape path must be the decoy, never the sentinel.
void expect_decoy_file(int fd) {
    if (fd < 0) return;
    EXPECT_EQ(drain(fd), "DECOY");
}

void OsRoot::run_ops(const std::function<root_ptr()>& make, const std::string& dir, expect exp,
                     bool final_link, bool through_only) {
    const std::string f = dir + "/secret";
    const std::string l = dir + "/lnk";
    const std::string planted = dir + "/planted";
    const ino_t secret_ino = secret_st_.st_ino;
    const ino_t out_ino = out_st_.st_ino;
    const os_attr attr = make_attr(0777, 12345);

    struct op {
        const char* name;
        bool on_dir;       // acts on `dir` itself rather than through it
        bool decoy_works;  // succeeds when the path reaches a decoy
        std::function<bool(os_root*)> run;
    };
    const op ops[] = {
        {"open read", false, true,
         [&](os_root* r) {
             const int fd = os_root_open_fd(r, f.c_str(), O_RDONLY, 0);
             expect_decoy_file(fd);
             return fd >= 0;
         }},
        {"open write", false, true,
         [&](os_root* r) {
             const int fd = os_root_open_fd(r, f.c_str(), O_WRONLY | O_TRUNC, 0);
             if (fd >= 0) close(fd);
             return fd >= 0;
         }},
        {"open create existing", false, true,
         [&](os_root* r) {
             const int fd = os_root_open_fd(r, f.c_str(), O_RDWR | O_CREAT, 0666);
             expect_decoy_file(fd);
             return fd >= 0;
         }},
        {"open create new", false, true,
         [&](os_root* r) {
             const int fd =
                 os_root_open_fd(r, (dir + "/created").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
             if (fd >= 0) close(fd);
             return fd >= 0;
         }},
        {"opendir with slash", false, true,
         [&](os_root* r) {
             const int fd = os_root_opendir(r, (dir + "/").c_str());
             if (fd < 0) return false;
             const auto names = list_fd(fd);
             EXPECT_NE(std::find(names.begin(), names.end(), "decoy"), names.end());
             return true;
         }},
        {"lstat file", false, true,
         [&](os_root* r) {
             struct stat st;
             if (os_root_lstat(r, f.c_str(), &st) != 0) return false;
             EXPECT_NE(st.st_ino, secret_ino);
             EXPECT_EQ(st.st_size, 5);  // "DECOY"
             return true;
         }},
        {"mkdir", false, true,
         [&](os_root* r) { return os_root_mkdir(r, (dir + "/newdir").c_str(), 0777) == 0; }},
        {"remove file", false, true, [&](os_root* r) { return os_root_remove(r, f.c_str()) == 0; }},
        {"remove link", false, true, [&](os_root* r) { return os_root_remove(r, l.c_str()) == 0; }},
        {"rename from", false, true,
         [&](os_root* r) {
             if (os_root_rename(r, f.c_str(), "stolen", 1) != 0) return false;
             EXPECT_EQ(read_file(in_root("stolen")), "DECOY");
             return true;
         }},
        {"rename onto", false, true,
         [&](os_root* r) { return os_root_rename(r, "file", f.c_str(), 1) == 0; }},
        {"rename to new", false, true,
         [&](os_root* r) { return os_root_rename(r, "file", planted.c_str(), 0) == 0; }},
        {"readlink", false, true,
         [&](os_root* r) {
             char buf[64];
             const ssize_t n = os_root_readlink(r, l.c_str(), buf, sizeof(buf));
             if (n < 0) return false;
             EXPECT_STREQ(buf, "DECOYLINK");
             return true;
         }},
        {"symlink", false, true,
         [&](os_root* r) { return os_root_symlink(r, "x", planted.c_str()) == 0; }},
        {"set_attr file", false, true,
         [&](os_root* r) { return os_root_set_attr(r, f.c_str(), &attr) == 0; }},
        {"set_attr link", false, true,
         [&](os_root* r) { return os_root_set_attr(r, l.c_str(), &attr) == 0; }},
        {"opendir", true, true,
         [&](os_root* r) {
             const int fd = os_root_opendir(r, dir.c_str());
             if (fd < 0) return false;
             const auto names = list_fd(fd);
             EXPECT_NE(std::find(names.begin(), names.end(), "decoy"), names.end());
             return true;
         }},
        {"lstat dir", true, true,
         [&](os_root* r) {
             struct stat st;
             if (os_root_lstat(r, dir.c_str(), &st) != 0) return false;
             EXPECT_NE(st.st_ino, out_ino);
             return true;
         }},
        {"rmdir", true, false,  // the decoy is not empty
         [&](os_root* r) { return os_root_rmdir(r, dir.c_str()) == 0; }},
        {"rename dir", true, false,  // EBUSY for a path ending in "/."
         [&](os_root* r) { return os_root_rename(r, dir.c_str(), "moved", 0) == 0; }},
        {"set_attr dir", true, true,
         [&](os_root* r) { return os_root_set_attr(r, dir.c_str(), &attr) == 0; }},
        {"open_at dir", true, true,
         [&](os_root* r) {
             root_ptr sub(os_root_open_at(r, dir.c_str(), os_root_mode(r)));
             if (sub == nullptr) return false;
             struct stat st;
             EXPECT_EQ(os_root_lstat(sub.get(), "secret", &st), 0);
             EXPECT_NE(st.st_ino, secret_ino);
             return true;
         }},
    };
    for (const op& o : ops) {
        if (through_only && o.on_dir) continue;
        const std::string ctx = "path \"" + dir + "\", " + o.name;
        SCOPED_TRACE(ctx);
        root_ptr r = make();
        ASSERT_NE(r, nullptr);
        errno = 0;
        const bool ok = o.run(r.get());
        const int err = errno;
        r.reset();
        // On a final link, the operations on `dir` itself act on the link: anything may do.
        if (!(o.on_dir && final_link)) {
            if (exp == expect::fail) {
                EXPECT_FALSE(ok);
            }
            if (exp == expect::decoy && o.decoy_works) {
                EXPECT_TRUE(ok) << strerror(err);
            }
        }
        check_sentinels(ctx);
    }
}

// ---- escapes ----

TEST_F(OsRoot, EscapesThroughDotDotAbsolutePathsAndLinksStayInside) {
    struct row {
        std::string dir;
        bool in_root_decoy;  // OS_ROOT_IN_ROOT reads it as a decoy inside the root
        bool final_link;
    };
    const row rows[] = {
        {"../outside", true, false},
        {out_, true, false},
        {"/../outside", true, false},
        {"./../outside", true, false},
        {"sub/../../outside", true, false},
        {"../../../../../../../../../.." + out_, true, false},
        {"abs_dir", true, true},
        {"abs_dir/.", true, false},
        {"rel_dir", true, true},
        {"slash" + out_, true, false},
        {"chain1", true, true},
        {"sub/up", true, true},
        {"proc_dir", false, true},
        {"/proc/self/root" + out_, false, false},
        {"/proc/self/cwd/../../../../../../.." + out_, false, false},
    };
    for (const uint32_t mode : {OS_ROOT_IN_ROOT, OS_ROOT_NO_SYMLINKS}) {
        for (const row& w : rows) {
            SCOPED_TRACE(mode == OS_ROOT_IN_ROOT ? "IN_ROOT" : "NO_SYMLINKS");
            const expect exp =
                mode == OS_ROOT_IN_ROOT && w.in_root_decoy ? expect::decoy : expect::fail;
            run_ops([&] { return fresh_root(mode); }, w.dir, exp, w.final_link);
        }
    }
}

TEST_F(OsRoot, LinkMadeThroughTheHandleThenUsedAsAComponent) {
    for (const uint32_t mode : {OS_ROOT_IN_ROOT, OS_ROOT_NO_SYMLINKS}) {
        SCOPED_TRACE(mode == OS_ROOT_IN_ROOT ? "IN_ROOT" : "NO_SYMLINKS");
        const auto make = [&] {
            root_ptr r = fresh_root(mode);
            EXPECT_EQ(os_root_symlink(r.get(), out_.c_str(), "made"), 0);
            EXPECT_EQ(os_root_symlink(r.get(), "../../outside", "sub/made_rel"), 0);
            return r;
        };
        const expect exp = mode == OS_ROOT_IN_ROOT ? expect::decoy : expect::fail;
        run_ops(make, "made", exp, true);
        run_ops(make, "sub/made_rel", exp, true);
        run_ops(make, "sub/made_rel/../outside", exp, false);
    }
}

TEST_F(OsRoot, MagicLinksAreNeverFollowed) {
    const int out_fd = open(out_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(out_fd, 0);
    const std::string fd_dir = "fd/" + std::to_string(out_fd);
    for (const uint32_t mode : {OS_ROOT_IN_ROOT, OS_ROOT_NO_SYMLINKS}) {
        SCOPED_TRACE(mode == OS_ROOT_IN_ROOT ? "IN_ROOT" : "NO_SYMLINKS");
        // A handle on /proc/self: "root", "cwd" and "fd/N" are magic links.
        const auto proc = [&] {
            build_layout();
            return root_ptr(os_root_open("/proc/self", mode));
        };
        run_ops(proc, "root" + out_, expect::fail, false);
        run_ops(proc, "cwd/../../../../../../.." + out_, expect::fail, false);
        run_ops(proc, fd_dir, expect::fail, true, true);

        root_ptr r = proc();
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(os_root_open_fd(r.get(), ("root" + secret_).c_str(), O_RDONLY, 0),
                  os_verr_get(ELOOP));
        // The final component is not followed: the magic link itself is described.
        struct stat st;
        ASSERT_EQ(os_root_lstat(r.get(), fd_dir.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_EQ(os_root_open_fd(r.get(), fd_dir.c_str(), O_RDONLY, 0), os_verr_get(ELOOP));
        check_sentinels("proc handle");
    }
    // The host's "/" as the root (as dvcp uses it): the sentinel is inside, but never through a
    // magic link.
    const auto host = [&] { return root_ptr(os_root_open("/", OS_ROOT_IN_ROOT)); };
    run_ops(host, "/proc/self/root" + out_, expect::fail, false, true);
    run_ops(host, "/proc/self/" + fd_dir, expect::fail, true, true);
    run_ops(host, "/proc/thread-self/root" + out_, expect::fail, false, true);
    close(out_fd);
}

// ---- the final component is acted on itself ----

TEST_F(OsRoot, FinalLinkIsActedOnItself) {
    for (const uint32_t mode : {OS_ROOT_IN_ROOT, OS_ROOT_NO_SYMLINKS}) {
        SCOPED_TRACE(mode == OS_ROOT_IN_ROOT ? "IN_ROOT" : "NO_SYMLINKS");
        root_ptr r = fresh_root(mode);
        ASSERT_NE(r, nullptr);
        ASSERT_EQ(symlink((out_ + "/created").c_str(), in_root("dangling").c_str()), 0);

        for (const char* link : {"abs_file", "in_link", "dangling"}) {
            SCOPED_TRACE(link);
            for (const int flags : {O_RDONLY, O_WRONLY | O_TRUNC, O_RDWR | O_CREAT}) {
                EXPECT_EQ(os_root_open_fd(r.get(), link, flags, 0644), os_verr_get(ELOOP));
            }
        }
        check_sentinels("open");

        struct stat st;
        ASSERT_EQ(os_root_lstat(r.get(), "abs_file", &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_EQ(static_cast<size_t>(st.st_size), secret_.size());
        char buf[PATH_MAX];
        EXPECT_EQ(os_root_readlink(r.get(), "abs_file", buf, sizeof(buf)),
                  static_cast<ssize_t>(secret_.size()));
        EXPECT_EQ(buf, secret_);

        // set_attr on links: the links' times change, their targets keep mode and times.
        const struct stat file_before = host_lstat(in_root("file"));
        const os_attr attr = make_attr(0777, 22222);
        for (const char* link : {"abs_file", "in_link", "abs_dir"}) {
            SCOPED_TRACE(link);
            EXPECT_EQ(os_root_set_attr(r.get(), link, &attr), 0);
            const struct stat l = host_lstat(in_root(link));
            EXPECT_EQ(l.st_mtim.tv_sec, 22222);
            EXPECT_EQ(l.st_atim.tv_sec, 22222);
            if (geteuid() == 0) {
                EXPECT_EQ(l.st_uid, 4321u);
            }
        }
        const struct stat file_after = host_lstat(in_root("file"));
        EXPECT_EQ(file_after.st_mode, file_before.st_mode);
        EXPECT_TRUE(same_time(file_after.st_mtim, file_before.st_mtim));
        EXPECT_EQ(file_after.st_uid, file_before.st_uid);
        check_sentinels("set_attr");

        // remove takes the link away, never its target.
        EXPECT_EQ(os_root_remove(r.get(), "abs_file"), 0);
        EXPECT_EQ(os_root_remove(r.get(), "in_link"), 0);
        EXPECT_EQ(os_root_remove(r.get(), "abs_dir"), 0);
        EXPECT_FALSE(fs::exists(fs::symlink_status(in_root("abs_file"))));
        EXPECT_FALSE(fs::exists(fs::symlink_status(in_root("in_link"))));
        EXPECT_EQ(read_file(in_root("file")), "in-root");
        check_sentinels("remove");

        // rmdir does not follow a final link to a directory.
        EXPECT_EQ(os_root_rmdir(r.get(), "rel_dir"), os_verr_get(ENOTDIR));
        EXPECT_TRUE(fs::is_symlink(in_root("rel_dir")));

        // A handle is not opened through a final link.
        {
            verr result = VERR_SUCCESS;
            EXPECT_EQ(os_root_open_at(r.get(), "rel_dir", mode, &result), nullptr);
            EXPECT_EQ(result, os_verr_get(ELOOP));
        }
        {
            verr result = VERR_SUCCESS;
            EXPECT_EQ(os_root_open_at(r.get(), "file", mode, &result), nullptr);
            EXPECT_EQ(result, os_verr_get(ENOTDIR));
        }
        EXPECT_LT(os_root_opendir(r.get(), "rel_dir"), 0);
    }
}

// ---- OS_ROOT_IN_ROOT reads paths in the root; OS_ROOT_NO_SYMLINKS refuses them ----

TEST_F(OsRoot, InRootResolvesAbsolutePathsDotDotAndLinksInsideTheRoot) {
    root_ptr r = fresh_root(OS_ROOT_IN_ROOT);
    ASSERT_NE(r, nullptr);
    for (const char* path :
         {"sub/f", "/sub/f", "abs_sub/f", "../../sub/f", "/../sub/f", "slash/sub/f",
          "slash/../sub/f", "sub/../sub/f", "./sub/./f", "abs_sub/../abs_sub/f"}) {
        SCOPED_TRACE(path);
        const int fd = os_root_open_fd(r.get(), path, O_RDONLY, 0);
        ASSERT_GE(fd, 0) << strerror(errno);
        EXPECT_EQ(drain(fd), "in-sub");
    }
    // ".." at the root stays at the root.
    struct stat a;
    struct stat b;
    ASSERT_EQ(os_root_lstat(r.get(), "..", &a), 0);
    ASSERT_EQ(os_root_lstat(r.get(), "", &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(a.st_ino, host_lstat(root_).st_ino);
    ASSERT_EQ(os_root_lstat(r.get(), "/", &a), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    // A created file lands in the root's meaning of the path.
    const int fd = os_root_open_fd(r.get(), "/../abs_sub/new", O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_TRUE(fs::exists(in_root("sub/new")));
    EXPECT_EQ(host_lstat(in_root("sub/new")).st_mode & 07777, 0600u);
    EXPECT_EQ(os_root_mkdir(r.get(), "abs_sub/d", 0700), 0);
    EXPECT_TRUE(fs::is_directory(in_root("sub/d")));
    EXPECT_EQ(os_root_symlink(r.get(), "t", "/abs_sub/d/l"), 0);
    EXPECT_TRUE(fs::is_symlink(in_root("sub/d/l")));
    EXPECT_EQ(os_root_rename(r.get(), "/abs_sub/d/l", "slash/sub/l2", 0), 0);
    EXPECT_TRUE(fs::is_symlink(in_root("sub/l2")));
    // A trailing "/" names the directory reached, through a final link too (in the root).
    ASSERT_EQ(os_root_lstat(r.get(), "abs_sub/", &a), 0);
    EXPECT_EQ(a.st_ino, host_lstat(in_root("sub")).st_ino);
    const int dfd = os_root_opendir(r.get(), "abs_sub/");
    ASSERT_GE(dfd, 0);
    close(dfd);
}

TEST_F(OsRoot, NoSymlinksRefusesLinksAbsolutePathsAndClimbing) {
    root_ptr r = fresh_root(OS_ROOT_NO_SYMLINKS);
    ASSERT_NE(r, nullptr);
    const struct {
        const char* path;
        int err;
    } refused[] = {
        {"/sub/f", EXDEV},
        {"../root/sub/f", EXDEV},
        {"sub/../../root/sub/f", EXDEV},
        {"abs_sub/f", ELOOP},
        {"slash/sub/f", ELOOP},
        {"in_link", ELOOP},
        {"/", EXDEV},
        {"..", EXDEV},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(os_root_open_fd(r.get(), c.path, O_RDONLY, 0), os_verr_get(c.err));
        struct stat st;
        errno = 0;
        if (strcmp(c.path, "in_link") != 0) {
            EXPECT_EQ(os_root_lstat(r.get(), c.path, &st), os_verr_get(c.err));
        }
    }
    // Errors of the resolution come before those of the operation.
    EXPECT_EQ(os_root_mkdir(r.get(), "..", 0755), os_verr_get(EXDEV));
    EXPECT_EQ(os_root_rmdir(r.get(), "/"), os_verr_get(EXDEV));
    // Climbing that stays inside is fine.
    for (const char* path : {"sub/f", "sub/../sub/f", "./sub/./f", "sub//f"}) {
        SCOPED_TRACE(path);
        const int fd = os_root_open_fd(r.get(), path, O_RDONLY, 0);
        ASSERT_GE(fd, 0) << strerror(errno);
        EXPECT_EQ(drain(fd), "in-sub");
    }
}

// ---- ordinary work inside the root ----

TEST_F(OsRoot, CreateReadRenameAndRemoveInside) {
    for (const uint32_t mode : {OS_ROOT_IN_ROOT, OS_ROOT_NO_SYMLINKS}) {
        SCOPED_TRACE(mode == OS_ROOT_IN_ROOT ? "IN_ROOT" : "NO_SYMLINKS");
        root_ptr r = fresh_root(mode);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(os_root_mode(r.get()), mode);
        EXPECT_GE(os_root_fd(r.get()), 0);

        int fd = os_root_open_fd(r.get(), "a", O_WRONLY | O_CREAT | O_EXCL, 0666);
        ASSERT_GE(fd, 0) << strerror(errno);
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        ASSERT_EQ(write(fd, "hello", 5), 5);
        close(fd);
        EXPECT_EQ(host_lstat(in_root("a")).st_mode & 07777, 0644u);  // umask 022
        EXPECT_EQ(os_root_open_fd(r.get(), "a", O_WRONLY | O_CREAT | O_EXCL, 0666),
                  os_verr_get(EEXIST));
        fd = os_root_open_fd(r.get(), "a", O_RDONLY, 0);
        ASSERT_GE(fd, 0);
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_EQ(drain(fd), "hello");
        EXPECT_EQ(os_root_open_fd(r.get(), "missing/a", O_WRONLY | O_CREAT, 0666),
                  os_verr_get(ENOENT));
        EXPECT_EQ(os_root_open_fd(r.get(), "file/a", O_WRONLY | O_CREAT, 0666),
                  os_verr_get(ENOTDIR));
        EXPECT_EQ(os_root_open_fd(r.get(), "sub/", O_WRONLY | O_CREAT, 0666), os_verr_get(EISDIR));

        // mkdir
        EXPECT_EQ(os_root_mkdir(r.get(), "d", 0777), 0);
        EXPECT_EQ(host_lstat(in_root("d")).st_mode & 07777, 0755u);
        for (const char* again : {"d", "d/", ".", "", "sub/..", "file", "in_link"}) {
            SCOPED_TRACE(again);
            EXPECT_EQ(os_root_mkdir(r.get(), again, 0755), os_verr_get(EEXIST));
        }
        EXPECT_EQ(os_root_mkdir(r.get(), "missing/x", 0755), os_verr_get(ENOENT));
        EXPECT_EQ(os_root_mkdir(r.get(), "e//", 0755), 0);
        EXPECT_TRUE(fs::is_directory(in_root("e")));

        // rename
        EXPECT_EQ(os_root_rename(r.get(), "a", "d/b", 0), 0);
        EXPECT_EQ(read_file(in_root("d/b")), "hello");
        EXPECT_EQ(os_root_rename(r.get(), "file", "d/b", 0), os_verr_get(EEXIST));
        EXPECT_EQ(read_file(in_root("d/b")), "hello");
        EXPECT_EQ(read_file(in_root("file")), "in-root");
        EXPECT_EQ(os_root_rename(r.get(), "file", "in_link", 0),
                  os_verr_get(EEXIST));  // even a link is there
        EXPECT_EQ(os_root_rename(r.get(), "file", "d/b", 1), 0);
        EXPECT_EQ(read_file(in_root("d/b")), "in-root");
        EXPECT_FALSE(fs::exists(in_root("file")));
        EXPECT_EQ(os_root_rename(r.get(), "e/", "d/e", 0), 0);  // a directory, with "/"
        EXPECT_TRUE(fs::is_directory(in_root("d/e")));
        EXPECT_EQ(os_root_rename(r.get(), "d/b", "x/", 0), os_verr_get(ENOTDIR));
        for (const char* dot : {".", "", "sub/..", "/"}) {
            SCOPED_TRACE(dot);
            EXPECT_LT(os_root_rename(r.get(), dot, "x", 0), 0);
            EXPECT_LT(os_root_rename(r.get(), "d/b", dot, 1), 0);
        }
        EXPECT_EQ(read_file(in_root("d/b")), "in-root");

        // remove and rmdir
        EXPECT_EQ(os_root_remove(r.get(), "d"), os_verr_get(EISDIR));
        EXPECT_EQ(os_root_remove(r.get(), "d/"), os_verr_get(EISDIR));
        EXPECT_EQ(os_root_remove(r.get(), "d/b/"), os_verr_get(ENOTDIR));
        EXPECT_EQ(os_root_remove(r.get(), "d/missing"), os_verr_get(ENOENT));
        EXPECT_EQ(os_root_remove(r.get(), "."), os_verr_get(EISDIR));
        EXPECT_EQ(os_root_remove(r.get(), "d/b"), 0);
        EXPECT_FALSE(fs::exists(in_root("d/b")));
        EXPECT_EQ(os_root_rmdir(r.get(), "d"), os_verr_get(ENOTEMPTY));
        EXPECT_EQ(os_root_rmdir(r.get(), "sub/f"), os_verr_get(ENOTDIR));
        EXPECT_EQ(os_root_rmdir(r.get(), "."), os_verr_get(EINVAL));
        EXPECT_EQ(os_root_rmdir(r.get(), "sub/.."), os_verr_get(ENOTEMPTY));
        EXPECT_EQ(os_root_rmdir(r.get(), ""), os_verr_get(EBUSY));
        EXPECT_EQ(os_root_rmdir(r.get(), "d/e/"), 0);
        EXPECT_EQ(os_root_rmdir(r.get(), "d"), 0);
        EXPECT_FALSE(fs::exists(in_root("d")));
        EXPECT_TRUE(fs::is_directory(root_));

        // links
        EXPECT_EQ(os_root_symlink(r.get(), "../x\\y/ z", "sub/l"), 0);
        char buf[32];
        EXPECT_EQ(os_root_readlink(r.get(), "sub/l", buf, sizeof(buf)), 9);
        EXPECT_STREQ(buf, "../x\\y/ z");
        EXPECT_EQ(os_root_readlink(r.get(), "sub/l", buf, 10), 9);  // just fits
        EXPECT_EQ(os_root_readlink(r.get(), "sub/l", buf, 9), os_verr_get(ENAMETOOLONG));
        for (const char* not_link : {"sub/f", "sub", ".", "sub/"}) {
            SCOPED_TRACE(not_link);
            EXPECT_EQ(os_root_readlink(r.get(), not_link, buf, sizeof(buf)), os_verr_get(EINVAL));
        }
        EXPECT_EQ(os_root_symlink(r.get(), "t", "sub/f"), os_verr_get(EEXIST));
        EXPECT_EQ(os_root_symlink(r.get(), "t", "sub/f/"), os_verr_get(EEXIST));
        EXPECT_EQ(os_root_symlink(r.get(), "t", "."), os_verr_get(EEXIST));

        // listing
        fd = os_root_opendir(r.get(), "sub");
        ASSERT_GE(fd, 0);
        EXPECT_EQ(list_fd(fd), (std::vector<std::string>{"f", "l", "up"}));
        EXPECT_EQ(os_root_opendir(r.get(), "sub/f"), os_verr_get(ENOTDIR));
        fd = os_root_opendir(r.get(), "");
        ASSERT_GE(fd, 0);
        EXPECT_EQ(list_fd(fd).size(), list_dir(root_).size());
    }
}

TEST_F(OsRoot, NamesAreUsedByteForByte) {
    const std::string names[] = {"back\\slash", " lead and trail ", "quote'\"q",
                                 "tab\tname",   "file:x",           "\xc3\xbc\xff"};
    for (const uint32_t mode : {OS_ROOT_IN_ROOT, OS_ROOT_NO_SYMLINKS}) {
        SCOPED_TRACE(mode == OS_ROOT_IN_ROOT ? "IN_ROOT" : "NO_SYMLINKS");
        root_ptr r = fresh_root(mode);
        ASSERT_NE(r, nullptr);
        for (const std::string& n : names) {
            SCOPED_TRACE(n);
            const std::string dir = n + ".d";
            ASSERT_EQ(os_root_mkdir(r.get(), dir.c_str(), 0755), 0);
            const std::string file = dir + "/" + n;
            const int fd = os_root_open_fd(r.get(), file.c_str(), O_WRONLY | O_CREAT, 0644);
            ASSERT_GE(fd, 0) << strerror(errno);
            ASSERT_EQ(write(fd, n.data(), n.size()), static_cast<ssize_t>(n.size()));
            close(fd);
            EXPECT_EQ(read_file(in_root(file)), n);
            EXPECT_EQ(list_dir(in_root(dir)), std::vector<std::string>{n});
            struct stat st;
            ASSERT_EQ(os_root_lstat(r.get(), file.c_str(), &st), 0);
            EXPECT_EQ(st.st_ino, host_lstat(in_root(file)).st_ino);
            const std::string moved = dir + "/" + n + n;
            ASSERT_EQ(os_root_rename(r.get(), file.c_str(), moved.c_str(), 0), 0);
            EXPECT_EQ(read_file(in_root(moved)), n);
            const std::string link = dir + "/" + n + ".l";
            ASSERT_EQ(os_root_symlink(r.get(), n.c_str(), link.c_str()), 0);
            char buf[64];
            ASSERT_EQ(os_root_readlink(r.get(), link.c_str(), buf, sizeof(buf)),
                      static_cast<ssize_t>(n.size()));
            EXPECT_EQ(std::string(buf), n);
            const os_attr attr = make_attr(0600, 33333);
            EXPECT_EQ(os_root_set_attr(r.get(), moved.c_str(), &attr), 0);
            EXPECT_EQ(host_lstat(in_root(moved)).st_mtim.tv_sec, 33333);
            EXPECT_EQ(host_lstat(in_root(moved)).st_mode & 07777, 0600u);
            EXPECT_EQ(os_root_remove(r.get(), moved.c_str()), 0);
            EXPECT_EQ(os_root_remove(r.get(), link.c_str()), 0);
            EXPECT_EQ(os_root_rmdir(r.get(), dir.c_str()), 0);
            EXPECT_FALSE(fs::exists(in_root(dir)));
        }
    }
}

TEST_F(OsRoot, DirectoryReachedThroughDotComponents) {
    for (const uint32_t mode : {OS_ROOT_IN_ROOT, OS_ROOT_NO_SYMLINKS}) {
        SCOPED_TRACE(mode == OS_ROOT_IN_ROOT ? "IN_ROOT" : "NO_SYMLINKS");
        root_ptr r = fresh_root(mode);
        ASSERT_NE(r, nullptr);
        const ino_t sub_ino = host_lstat(in_root("sub")).st_ino;
        for (const char* path : {"sub", "./sub", "sub/.", "sub/./", "./sub/.", ".//sub//./",
                                 "sub/../sub", "sub/../sub/./../sub"}) {
            SCOPED_TRACE(path);
            struct stat st;
            ASSERT_EQ(os_root_lstat(r.get(), path, &st), 0) << strerror(errno);
            EXPECT_EQ(st.st_ino, sub_ino);
            const int fd = os_root_opendir(r.get(), path);
            ASSERT_GE(fd, 0);
            EXPECT_EQ(list_fd(fd), (std::vector<std::string>{"f", "up"}));
        }
        // The root itself.
        for (const char* path : {"", ".", "./", ".//."}) {
            SCOPED_TRACE(path);
            struct stat st;
            ASSERT_EQ(os_root_lstat(r.get(), path, &st), 0);
            EXPECT_EQ(st.st_ino, host_lstat(root_).st_ino);
        }
        const int fd = os_root_open_fd(r.get(), "./sub/./f", O_RDONLY, 0);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(drain(fd), "in-sub");
        EXPECT_EQ(os_root_mkdir(r.get(), "./sub/./x", 0755), 0);
        EXPECT_TRUE(fs::is_directory(in_root("sub/x")));
        EXPECT_EQ(os_root_rename(r.get(), "./sub/./f", "sub/./x/./g", 0), 0);
        EXPECT_EQ(read_file(in_root("sub/x/g")), "in-sub");
        // set_attr on a directory named by its "." or a trailing "/".
        const os_attr attr = make_attr(0701, 44444);
        EXPECT_EQ(os_root_set_attr(r.get(), "sub/x/.", &attr), 0);
        EXPECT_EQ(host_lstat(in_root("sub/x")).st_mode & 07777, 0701u);
        EXPECT_EQ(host_lstat(in_root("sub/x")).st_mtim.tv_sec, 44444);
        const os_attr attr2 = make_attr(0750, 55555);
        EXPECT_EQ(os_root_set_attr(r.get(), "sub/x/", &attr2), 0);
        EXPECT_EQ(host_lstat(in_root("sub/x")).st_mode & 07777, 0750u);
        EXPECT_EQ(host_lstat(in_root("sub/x")).st_mtim.tv_sec, 55555);
        const os_attr attr3 = make_attr(0755, 66666);
        EXPECT_EQ(os_root_set_attr(r.get(), "", &attr3), 0);
        EXPECT_EQ(host_lstat(root_).st_mtim.tv_sec, 66666);
    }
}

TEST_F(OsRoot, SetAttrAppliesOwnerThenModeThenWholeSecondTimes) {
    root_ptr r = fresh_root(OS_ROOT_NO_SYMLINKS);
    ASSERT_NE(r, nullptr);
    const struct timespec ns[2] = {{1700000000, 123456789}, {1700000000, 987654321}};
    ASSERT_EQ(utimensat(AT_FDCWD, in_root("file").c_str(), ns, 0), 0);

    os_attr a = make_attr(04755, 1600000000);
    a.uid = 1234;
    a.gid = 5678;
    a.atime = 1600000001;
    ASSERT_EQ(os_root_set_attr(r.get(), "file", &a), 0);
    struct stat st = host_lstat(in_root("file"));
    if (geteuid() == 0) {
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 5678u);
        // The owner went first: its change did not clear the set-user-id bit set after it.
        EXPECT_EQ(st.st_mode & 07777, 04755u);
    }
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 0);
    EXPECT_EQ(st.st_atim.tv_sec, 1600000001);
    EXPECT_EQ(st.st_atim.tv_nsec, 0);

    // Without POSIX modes: the mode from `attr`, and both ids 0 mean the process's own.
    os_attr w = {};
    w.flags = OS_ATTR_NO_POSIX_MODE;
    w.mode = 0777;
    w.attr = 0640;
    w.mtime = 1650000000;
    w.atime = 1650000000;
    ASSERT_EQ(os_root_set_attr(r.get(), "file", &w), 0);
    st = host_lstat(in_root("file"));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_gid, getegid());
    EXPECT_EQ(st.st_mtim.tv_sec, 1650000000);

    // A FIFO: no open that would wait for a writer.
    ASSERT_EQ(mkfifo(in_root("fifo").c_str(), 0644), 0);
    const os_attr f = make_attr(0600, 1660000000);
    ASSERT_EQ(os_root_set_attr(r.get(), "fifo", &f), 0);
    st = host_lstat(in_root("fifo"));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1660000000);

    EXPECT_EQ(os_root_set_attr(r.get(), "missing", &f), os_verr_get(ENOENT));
    EXPECT_EQ(os_root_set_attr(r.get(), "abs_sub/f", &f), os_verr_get(ELOOP));
}

TEST_F(OsRoot, HandlesOpenedAtASubdirectoryAreConfinedToIt) {
    ASSERT_EQ(symlink("root", tmp_.at("root_link").c_str()), 0);
    build_layout();
    for (const uint32_t mode : {OS_ROOT_IN_ROOT, OS_ROOT_NO_SYMLINKS}) {
        SCOPED_TRACE(mode == OS_ROOT_IN_ROOT ? "IN_ROOT" : "NO_SYMLINKS");
        // os_root_open follows links on the way: they are the user's own.
        root_ptr r(os_root_open(tmp_.at("root_link").c_str(), mode));
        ASSERT_NE(r, nullptr);
        for (const uint32_t sub_mode : {OS_ROOT_IN_ROOT, OS_ROOT_NO_SYMLINKS}) {
            root_ptr s(os_root_open_at(r.get(), "./sub/", sub_mode));
            ASSERT_NE(s, nullptr) << strerror(errno);
            EXPECT_EQ(os_root_mode(s.get()), sub_mode);
            int fd = os_root_open_fd(s.get(), "f", O_RDONLY, 0);
            ASSERT_GE(fd, 0);
            EXPECT_EQ(drain(fd), "in-sub");
            errno = 0;
            fd = os_root_open_fd(s.get(), "../file", O_RDONLY, 0);
            EXPECT_EQ(fd, os_verr_get(sub_mode == OS_ROOT_IN_ROOT ? ENOENT : EXDEV));
            if (sub_mode == OS_ROOT_IN_ROOT) {
                fd = os_root_open_fd(s.get(), "/../f", O_RDONLY, 0);
                ASSERT_GE(fd, 0);
                EXPECT_EQ(drain(fd), "in-sub");
            }
        }
        {
            verr result = VERR_SUCCESS;
            EXPECT_EQ(os_root_open_at(r.get(), "missing", mode, &result), nullptr);
            EXPECT_EQ(result, os_verr_get(ENOENT));
        }
    }
}

TEST_F(OsRoot, BadArguments) {
    {
        verr result = VERR_SUCCESS;
        EXPECT_EQ(os_root_open(tmp_.at("probe").c_str(), OS_ROOT_IN_ROOT, &result), nullptr);
        EXPECT_EQ(result, os_verr_get(ENOTDIR));
    }
    {
        verr result = VERR_SUCCESS;
        EXPECT_EQ(os_root_open(tmp_.at("missing").c_str(), OS_ROOT_IN_ROOT, &result), nullptr);
        EXPECT_EQ(result, os_verr_get(ENOENT));
    }
    for (const uint32_t bad : {0u, 3u, 4u}) {
        {
            verr result = VERR_SUCCESS;
            EXPECT_EQ(os_root_open(root_.c_str(), bad, &result), nullptr);
            EXPECT_EQ(result, os_verr_get(EINVAL));
        }
    }
    {
        verr result = VERR_SUCCESS;
        EXPECT_EQ(os_root_open(nullptr, OS_ROOT_IN_ROOT, &result), nullptr);
        EXPECT_EQ(result, os_verr_get(EINVAL));
    }
    os_root_close(nullptr);
    EXPECT_EQ(os_root_fd(nullptr), VERR_INVALID_PARAMETER);
    EXPECT_EQ(os_root_mode(nullptr), 0u);

    root_ptr r = open_root(OS_ROOT_IN_ROOT);
    ASSERT_NE(r, nullptr);
    struct stat st;
    char buf[8];
    const os_attr a = {};
    EXPECT_EQ(os_root_lstat(r.get(), nullptr, &st), os_verr_get(EINVAL));
    EXPECT_EQ(os_root_lstat(nullptr, "x", &st), VERR_INVALID_PARAMETER);
    EXPECT_EQ(os_root_lstat(r.get(), "x", nullptr), VERR_INVALID_PARAMETER);
    EXPECT_EQ(os_root_open_fd(r.get(), nullptr, O_RDONLY, 0), VERR_INVALID_PARAMETER);
    EXPECT_EQ(os_root_opendir(nullptr, "."), VERR_INVALID_PARAMETER);
    EXPECT_EQ(os_root_mkdir(r.get(), nullptr, 0755), VERR_INVALID_PARAMETER);
    EXPECT_EQ(os_root_remove(r.get(), nullptr), VERR_INVALID_PARAMETER);
    EXPECT_EQ(os_root_rmdir(r.get(), nullptr), VERR_INVALID_PARAMETER);
    EXPECT_EQ(os_root_rename(r.get(), nullptr, "x", 0), VERR_INVALID_PARAMETER);
    EXPECT_EQ(os_root_readlink(r.get(), "x", nullptr, 8), VERR_INVALID_PARAMETER);
    EXPECT_EQ(os_root_readlink(r.get(), "x", buf, 0), VERR_INVALID_PARAMETER);
    EXPECT_EQ(os_root_symlink(r.get(), nullptr, "x"), VERR_INVALID_PARAMETER);
    EXPECT_EQ(os_root_set_attr(r.get(), "x", nullptr), VERR_INVALID_PARAMETER);
    EXPECT_EQ(os_root_set_attr(r.get(), nullptr, &a), VERR_INVALID_PARAMETER);
    verr result = VERR_SUCCESS;
    EXPECT_EQ(os_root_open_at(r.get(), ".", 0, &result), nullptr);
    EXPECT_EQ(result, VERR_INVALID_PARAMETER);
}

// A link swapped in while an operation runs is never followed out of the root.
TEST_F(OsRoot, LinkSwappedInDuringOperationsIsNotFollowed) {
    for (const uint32_t mode : {OS_ROOT_IN_ROOT, OS_ROOT_NO_SYMLINKS}) {
        SCOPED_TRACE(mode == OS_ROOT_IN_ROOT ? "IN_ROOT" : "NO_SYMLINKS");
        root_ptr r = fresh_root(mode);
        ASSERT_NE(r, nullptr);
        std::atomic<bool> stop{false};
        std::thread swapper([&] {
            const std::string victim = in_root("victim");
            const std::string tmp_link = in_root("victim.l");
            const std::string tmp_file = in_root("victim.f");
            const std::string tmp_dir = in_root("vdir.d");
            const std::string vdir = in_root("vdir");
            for (int i = 0; i < 2000 && !stop.load(); ++i) {
                (void)symlink(secret_.c_str(), tmp_link.c_str());
                (void)rename(tmp_link.c_str(), victim.c_str());
                write_file(tmp_file, "mine");
                (void)rename(tmp_file.c_str(), victim.c_str());
                (void)symlink(out_.c_str(), tmp_link.c_str());
                (void)rename(tmp_link.c_str(), vdir.c_str());
                fs::create_directories(tmp_dir);
                (void)rename(tmp_dir.c_str(), vdir.c_str());
            }
            stop = true;
        });
        const os_attr attr = make_attr(0777, 77777);
        while (!stop.load()) {
            (void)os_root_set_attr(r.get(), "victim", &attr);
            const int fd = os_root_open_fd(r.get(), "victim", O_RDWR | O_CREAT, 0666);
            if (fd >= 0) {
                EXPECT_NE(drain(fd), "SECRET");
            }
            (void)os_root_mkdir(r.get(), "vdir/x", 0755);
            (void)os_root_symlink(r.get(), "t", "vdir/y");
            (void)os_root_set_attr(r.get(), "vdir", &attr);
            const int dfd = os_root_opendir(r.get(), "vdir");
            if (dfd >= 0) {
                const auto names = list_fd(dfd);
                EXPECT_EQ(std::find(names.begin(), names.end(), "secret"), names.end());
            }
        }
        swapper.join();
        check_sentinels("after the race");
    }
}

}  // namespace
