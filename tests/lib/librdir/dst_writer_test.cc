#include "librdir/dst_writer.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "lib/test_support/temp_dir.h"
#include "libpal/os_root.h"
#include "libpal/verr.h"
#include "librdir/stat_line.h"

namespace fs = std::filesystem;
using dvtest::read_file;
using dvtest::write_file;

namespace {

constexpr uid_t kNobody = 65534;

// The writer failed with the status that stands for `eno`, and left errno at `eno` for the
// caller's log line. ESTALE has no status of its own: a general failure.
testing::AssertionResult fails_with(verr ret, int eno) {
    const int now = errno;
    const verr expected = eno == ESTALE ? VERR_GENERAL_FAILURE : os_verr_get(eno);
    if (ret != expected) {
        return testing::AssertionFailure()
               << "status " << ret << ", expected " << expected << " for errno " << eno;
    }
    if (now != eno) {
        return testing::AssertionFailure() << "errno " << now << ", expected " << eno;
    }
    return testing::AssertionSuccess();
}

struct root_closer {
    void operator()(os_root* r) const { os_root_close(r); }
};
using root_ptr = std::unique_ptr<os_root, root_closer>;

// Every entry below `dir` (the directory itself included) with type, mode, size, mtime and, for
// files, content: equal texts mean nothing there was touched.
std::string describe(const std::string& dir) {
    std::vector<std::string> lines;
    auto one = [&](const std::string& path, const std::string& rel) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            lines.push_back(rel + " missing");
            return;
        }
        char text[160];
        std::snprintf(text, sizeof(text), " %o %lld %lld.%09ld", st.st_mode,
                      static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
                      st.st_mtim.tv_nsec);
        std::string line = rel + text;
        if (S_ISREG(st.st_mode)) line += " [" + read_file(path) + "]";
        lines.push_back(line);
    };
    one(dir, ".");
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        one(it->path().string(), fs::relative(it->path(), dir).string());
    }
    std::sort(lines.begin(), lines.end());
    std::string all;
    for (const std::string& l : lines) all += l + "\n";
    return all;
}

// Names in `dir` (not recursive), sorted.
std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

// Runs `fn` in a child process; its return value becomes the exit status, which is returned.
int in_child(const std::function<int()>& fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool become_nobody() {
    return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
}

mstat_attr file_attr(uint32_t perm, uid_t uid, gid_t gid, int64_t mtime) {
    return mstat_attr{nullptr, RDIR_TYPE_OTHER, S_IFREG | perm, 0, uid, gid, mtime - 7, mtime, 0};
}

// A destination root next to a sentinel directory that nothing may ever change.
class DstWriter : public ::testing::Test {
  protected:
    void SetUp() override {
        // A writer that opened a fifo or a device at a final name would hang here: fail instead.
        alarm(120);
        fs::create_directory(root_path_);
        fs::create_directory(outside_);
        write_file(outside_ + "/secret", "secret");
        chmod((outside_ + "/secret").c_str(), 0640);
        fs::create_directory(outside_ + "/inner");
        chmod(outside_.c_str(), 0751);
        timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        utimensat(AT_FDCWD, outside_.c_str(), old, 0);
        outside_before_ = describe(outside_);
        root_.reset(os_root_open(root_path_.c_str(), OS_ROOT_NO_SYMLINKS));
        ASSERT_TRUE(root_);
        ASSERT_EQ(top_.open(root_.get(), "", false), 0);
    }
    void TearDown() override {
        EXPECT_EQ(describe(outside_), outside_before_) << "the sentinel outside the root changed";
        alarm(0);
    }

    std::string at(const std::string& rel) const { return root_path_ + "/" + rel; }

    // The type bits of what stands at `rel` itself (0 when nothing).
    mode_t type_at(const std::string& rel) const {
        struct stat st;
        return lstat(at(rel).c_str(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
    }

    dvtest::TempDir tmp_{"dst_writer_test"};
    std::string root_path_ = tmp_.at("root");
    std::string outside_ = tmp_.at("outside");
    std::string outside_before_;
    root_ptr root_;
    rdir_dst_dir top_;
};

// ---- opening directories ----

TEST_F(DstWriter, OpenMakesMissingDirectoriesOwnerOnly) {
    const mode_t old_mask = umask(0);
    rdir_dst_dir dir;
    bool created = false;
    int ret = dir.open(root_.get(), "a/b/c", true, &created);
    umask(old_mask);
    ASSERT_EQ(ret, 0);
    EXPECT_TRUE(created);
    for (const char* rel : {"a", "a/b", "a/b/c"}) {
        struct stat st;
        ASSERT_EQ(lstat(at(rel).c_str(), &st), 0) << rel;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << rel;
        EXPECT_EQ(st.st_mode & 07777, 0700u) << rel;
    }
    struct stat opened, there;
    ASSERT_EQ(fstat(dir.fd(), &opened), 0);
    ASSERT_EQ(stat(at("a/b/c").c_str(), &there), 0);
    EXPECT_EQ(opened.st_ino, there.st_ino);

    ASSERT_EQ(dir.open(root_.get(), "/a/b/", true, &created), 0);  // it is there now
    EXPECT_FALSE(created);
}

TEST_F(DstWriter, OpenWithoutCreateMakesNothing) {
    rdir_dst_dir dir;
    EXPECT_TRUE(fails_with(dir.open(root_.get(), "x/y", false), ENOENT));
    EXPECT_FALSE(dir.is_open());
    fs::create_symlink(outside_, at("l"));
    EXPECT_LT(dir.open(root_.get(), "l", false), 0);
    EXPECT_LT(dir.open(root_.get(), "l/inner", false), 0);
    EXPECT_EQ(names_in(root_path_), std::vector<std::string>{"l"});
    EXPECT_TRUE(fs::is_symlink(at("l")));
}

// A symbolic link standing where a directory of the path must be.
struct link_on_path {
    const char* where;   // "a" or "a/b"
    const char* target;  // "outside (absolute)", "outside (relative)", "inside the root"
    uint32_t mode;       // how the root resolves
};

void PrintTo(const link_on_path& c, std::ostream* os) {
    *os << "link at " << c.where << " to " << c.target << ", root "
        << (c.mode == OS_ROOT_IN_ROOT ? "in-root" : "no-symlinks");
}

class DstWriterLinkOnPath : public DstWriter, public ::testing::WithParamInterface<link_on_path> {};

TEST_P(DstWriterLinkOnPath, IsReplacedByARealDirectoryAndItsTargetUntouched) {
    const link_on_path& c = GetParam();
    root_.reset(os_root_open(root_path_.c_str(), c.mode));
    ASSERT_TRUE(root_);
    const std::string where = c.where;
    const bool deep = where == "a/b";
    if (deep) fs::create_directory(at("a"));
    // A directory inside the root that the rest of the path exists in, so that following the
    // link would succeed.
    fs::create_directories(at(deep ? "elsewhere/c" : "elsewhere/b/c"));
    const std::string elsewhere_before = describe(at("elsewhere"));
    std::string text = c.target;
    if (text == "outside (absolute)") text = outside_;
    if (text == "outside (relative)") text = deep ? "../../outside" : "../outside";
    if (text == "inside the root") text = deep ? "../elsewhere" : "elsewhere";
    fs::create_symlink(text, at(where));

    rdir_dst_dir dir;
    ASSERT_EQ(dir.open(root_.get(), "a/b/c", true), 0);
    EXPECT_EQ(type_at("a"), S_IFDIR);
    EXPECT_EQ(type_at("a/b"), S_IFDIR);
    struct stat opened, there;
    ASSERT_EQ(fstat(dir.fd(), &opened), 0);
    ASSERT_EQ(lstat(at("a/b/c").c_str(), &there), 0);
    EXPECT_EQ(opened.st_ino, there.st_ino);
    EXPECT_EQ(describe(at("elsewhere")), elsewhere_before);
}

std::vector<link_on_path> links_on_path() {
    std::vector<link_on_path> out;
    for (uint32_t mode : {OS_ROOT_NO_SYMLINKS, OS_ROOT_IN_ROOT}) {
        for (const char* where : {"a", "a/b"}) {
            for (const char* target :
                 {"outside (absolute)", "outside (relative)", "inside the root"}) {
                out.push_back({where, target, mode});
            }
        }
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Cases, DstWriterLinkOnPath, ::testing::ValuesIn(links_on_path()));

TEST_F(DstWriter, NonDirectoryOnThePathFailsWithENOTDIRAndIsKept) {
    write_file(at("file"), "keep");
    ASSERT_EQ(mkfifo(at("fifo").c_str(), 0600), 0);
    for (const char* name : {"file", "fifo"}) {
        SCOPED_TRACE(name);
        struct stat before, after;
        ASSERT_EQ(lstat(at(name).c_str(), &before), 0);
        rdir_dst_dir dir;
        EXPECT_TRUE(fails_with(dir.open(root_.get(), std::string(name) + "/b", true), ENOTDIR));
        EXPECT_TRUE(fails_with(dir.open(root_.get(), name, true), ENOTDIR));
        EXPECT_TRUE(fails_with(top_.make_dir(name), ENOTDIR));
        ASSERT_EQ(lstat(at(name).c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
    }
    EXPECT_EQ(read_file(at("file")), "keep");
}

TEST_F(DstWriter, OpenRefusesDotAndDotDotComponents) {
    fs::create_directories(at("a/b"));
    fs::create_directory(at("b"));
    const std::string before = describe(root_path_);
    for (const char* rel : {"a/../b", "a/./b", "..", ".", "a/..", "./a", "../outside", "a/b/.."}) {
        for (bool create : {false, true}) {
            SCOPED_TRACE(std::string(rel) + (create ? " create" : ""));
            rdir_dst_dir dir;
            EXPECT_TRUE(fails_with(dir.open(root_.get(), rel, create), EINVAL));
            EXPECT_FALSE(dir.is_open());
        }
    }
    EXPECT_EQ(describe(root_path_), before);
}

TEST_F(DstWriter, EntryOperationsRefuseNamesThatAreNotOneEntry) {
    fs::create_directory(at("d"));
    write_file(at("d/f"), "f");
    const std::string before = describe(root_path_);
    const mstat_attr attr = file_attr(0777, 0, 0, 5);
    const std::vector<std::string> names = {
        "", ".", "..", "d/f", "/d", "d/", std::string("d\0f", 3)};
    for (const std::string& name : names) {
        SCOPED_TRACE("[" + name + "]");
        struct stat st;
        EXPECT_TRUE(fails_with(top_.lstat(name, &st), EINVAL));
        EXPECT_TRUE(fails_with(top_.remove(name), EINVAL));
        EXPECT_TRUE(fails_with(top_.make_dir(name), EINVAL));
        EXPECT_TRUE(fails_with(top_.make_link(name, "x", false, attr), EINVAL));
        EXPECT_TRUE(fails_with(top_.set_attr(name, attr), EINVAL));
        rdir_dst_dir child;
        EXPECT_TRUE(fails_with(child.open_child(top_, name, true), EINVAL));
        rdir_dst_file file;
        EXPECT_TRUE(fails_with(file.create(top_, name), EINVAL));
    }
    EXPECT_EQ(describe(root_path_), before);
}

// ---- files ----

TEST_F(DstWriter, CommitGivesTheFinalNameItsContentOwnerModeAndTimes) {
    rdir_dst_file file;
    ASSERT_EQ(file.create(top_, "f"), 0);
    EXPECT_EQ(file.existing().st_ino, 0u);
    ASSERT_EQ(write(file.fd(), "data", 4), 4);
    EXPECT_EQ(type_at("f"), 0u);  // nothing under the final name before the commit
    ASSERT_EQ(file.commit(file_attr(0640, 1234, 5678, 1600000000)), 0);
    struct stat st;
    ASSERT_EQ(lstat(at("f").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
    EXPECT_EQ(st.st_mtime, 1600000000);
    EXPECT_EQ(st.st_atime, 1600000000 - 7);
    EXPECT_EQ(read_file(at("f")), "data");
    EXPECT_EQ(names_in(root_path_), std::vector<std::string>{"f"});
}

TEST_F(DstWriter, OldFileAndItsHardLinksKeepTheirContentUntilAndAfterCommit) {
    write_file(at("f"), "old");
    ASSERT_EQ(link(at("f").c_str(), at("snapshot").c_str()), 0);
    struct stat old;
    ASSERT_EQ(lstat(at("f").c_str(), &old), 0);
    rdir_dst_file file;
    ASSERT_EQ(file.create(top_, "f"), 0);
    EXPECT_EQ(file.existing().st_ino, old.st_ino);
    ASSERT_EQ(write(file.fd(), "new!", 4), 4);
    EXPECT_EQ(read_file(at("f")), "old");
    ASSERT_EQ(file.commit(file_attr(0644, 0, 0, 1)), 0);
    EXPECT_EQ(read_file(at("f")), "new!");
    EXPECT_EQ(read_file(at("snapshot")), "old");
    struct stat snap;
    ASSERT_EQ(lstat(at("snapshot").c_str(), &snap), 0);
    EXPECT_EQ(snap.st_nlink, 1u);
    EXPECT_EQ(names_in(root_path_), (std::vector<std::string>{"f", "snapshot"}));
}

TEST_F(DstWriter, NameThatIsTheSourceItselfIsLeftAloneAsASuccess) {
    write_file(at("f"), "the source");
    struct stat source;
    ASSERT_EQ(lstat(at("f").c_str(), &source), 0);
    for (bool look_first : {true, false}) {
        SCOPED_TRACE(look_first ? "looked at first" : "looked at on commit");
        rdir_dst_file file;
        ASSERT_EQ(file.create(top_, "f", 0644, look_first), 0);
        ASSERT_EQ(write(file.fd(), "a copy", 6), 6);
        const verr ret = file.commit(file_attr(0644, 0, 0, 1), &source);
        // Not a failure: a caller that tests `< 0` takes it as done.
        EXPECT_EQ(ret, RDIR_DST_IS_SOURCE);
        EXPECT_GT(ret, 0);
        EXPECT_EQ(read_file(at("f")), "the source");
        EXPECT_EQ(names_in(root_path_), std::vector<std::string>{"f"});
    }
}

TEST_F(DstWriter, AbortAndDestructionRemoveTheTemporary) {
    write_file(at("f"), "old");
    {
        rdir_dst_file file;
        ASSERT_EQ(file.create(top_, "f"), 0);
        ASSERT_EQ(write(file.fd(), "partial", 7), 7);
        EXPECT_EQ(names_in(root_path_).size(), 2u);  // the temporary is there while writing
        file.abort();
        file.abort();
        EXPECT_EQ(names_in(root_path_), std::vector<std::string>{"f"});
        EXPECT_TRUE(fails_with(file.commit(file_attr(0644, 0, 0, 1)), EBADF));
    }
    {
        rdir_dst_file file;
        ASSERT_EQ(file.create(top_, "g"), 0);
        ASSERT_EQ(write(file.fd(), "partial", 7), 7);
    }
    EXPECT_EQ(names_in(root_path_), std::vector<std::string>{"f"});
    EXPECT_EQ(read_file(at("f")), "old");
}

TEST_F(DstWriter, DirectoryAtTheNameIsEISDIR) {
    fs::create_directory(at("d"));
    write_file(at("d/inside"), "x");
    fs::create_directory(at("empty"));
    for (const char* name : {"d", "empty"}) {
        rdir_dst_file file;
        EXPECT_TRUE(fails_with(file.create(top_, name), EISDIR)) << name;
        EXPECT_EQ(type_at(name), S_IFDIR) << name;
    }
    EXPECT_EQ(names_in(root_path_), (std::vector<std::string>{"d", "empty"}));
}

// Something other than a regular file standing at a file's final name.
struct special_entry {
    const char* kind;
    mode_t type;
};

void PrintTo(const special_entry& c, std::ostream* os) {
    *os << c.kind;
}

class DstWriterSpecialAtName : public DstWriter,
                               public ::testing::WithParamInterface<special_entry> {
  protected:
    void make(const std::string& path) {
        const std::string kind = GetParam().kind;
        if (kind == "fifo") {
            ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
        } else if (kind == "char device") {
            // /dev/null's numbers: writing into it would "succeed" and lose the data.
            ASSERT_EQ(mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
        } else if (kind == "link to an outside file") {
            fs::create_symlink(outside_ + "/secret", path);
        } else if (kind == "link to an outside directory") {
            fs::create_symlink(outside_, path);
        } else {
            fs::create_symlink("nowhere", path);
        }
    }
};

TEST_P(DstWriterSpecialAtName, IsReplacedNeverWrittenThrough) {
    make(at("f"));
    rdir_dst_file file;
    ASSERT_EQ(file.create(top_, "f"), 0);
    EXPECT_EQ(file.existing().st_mode & S_IFMT, GetParam().type);
    EXPECT_EQ(type_at("f"), GetParam().type);  // still there while the file is written
    ASSERT_EQ(write(file.fd(), "content", 7), 7);
    ASSERT_EQ(file.commit(file_attr(0600, 0, 0, 1)), 0);
    EXPECT_EQ(type_at("f"), S_IFREG);
    EXPECT_EQ(read_file(at("f")), "content");
    EXPECT_EQ(names_in(root_path_), std::vector<std::string>{"f"});
}

INSTANTIATE_TEST_SUITE_P(Cases, DstWriterSpecialAtName,
                         ::testing::Values(special_entry{"fifo", S_IFIFO},
                                           special_entry{"char device", S_IFCHR},
                                           special_entry{"link to an outside file", S_IFLNK},
                                           special_entry{"link to an outside directory", S_IFLNK},
                                           special_entry{"dangling link", S_IFLNK}));

TEST_F(DstWriter, DirectoryAppearingBeforeCommitIsKeptAndNoTemporaryStays) {
    write_file(at("f"), "old");
    rdir_dst_file file;
    ASSERT_EQ(file.create(top_, "f"), 0);
    ASSERT_EQ(write(file.fd(), "new", 3), 3);
    fs::remove(at("f"));
    fs::create_directory(at("f"));
    write_file(at("f/inside"), "x");
    EXPECT_LT(file.commit(file_attr(0644, 0, 0, 1)), 0);
    EXPECT_EQ(read_file(at("f/inside")), "x");
    EXPECT_EQ(names_in(root_path_), std::vector<std::string>{"f"});
}

TEST_F(DstWriter, CommitRefusedByTheDirectoryKeepsTheOldFile) {
    // An ordinary user whose directory became read-only while the file was written.
    fs::create_directory(at("d"));
    ASSERT_EQ(chown(at("d").c_str(), kNobody, kNobody), 0);
    write_file(at("d/f"), "old");
    rdir_dst_dir d;
    ASSERT_EQ(d.open(root_.get(), "d", false), 0);
    int code = in_child([&] {
        if (!become_nobody()) return 10;
        rdir_dst_file file;
        if (file.create(d, "f") != 0) return 11;
        if (write(file.fd(), "new", 3) != 3) return 12;
        if (fchmod(d.fd(), 0500) != 0) return 13;
        return fails_with(file.commit(file_attr(0644, kNobody, kNobody, 1)), EACCES) ? 0 : 14;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(read_file(at("d/f")), "old");
    // The temporary could not be removed by its writer; a later run removes it as stale.
    chmod(at("d").c_str(), 0700);
    d.clean_temps();
    EXPECT_EQ(names_in(at("d")), std::vector<std::string>{"f"});
}

TEST_F(DstWriter, WriteCutShortByTheFileSizeLimitKeepsTheOldFile) {
    write_file(at("f"), "old");
    int code = in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4, 4};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
        rdir_dst_file file;
        if (file.create(top_, "f") != 0) return 11;
        const char data[] = "0123456789";
        ssize_t n = write(file.fd(), data, sizeof(data));
        if (n < 0 || n >= static_cast<ssize_t>(sizeof(data))) return 12;
        if (write(file.fd(), data + n, sizeof(data) - static_cast<size_t>(n)) >= 0) return 13;
        if (errno != EFBIG) return 14;
        return 0;  // the file object is destroyed without a commit
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(read_file(at("f")), "old");
    EXPECT_EQ(names_in(root_path_), std::vector<std::string>{"f"});
}

// ---- set-id bits ----

struct setid_case {
    bool writer_is_root;
    uid_t owner;  // the owner the attribute record asks for
    uint32_t expected_perm;
};

void PrintTo(const setid_case& c, std::ostream* os) {
    *os << (c.writer_is_root ? "root" : "nobody") << " writing a file owned by " << c.owner
        << std::oct << ", expect 0" << c.expected_perm;
}

class DstWriterSetId : public DstWriter, public ::testing::WithParamInterface<setid_case> {};

TEST_P(DstWriterSetId, BitsAreKeptOnlyWithTheOwner) {
    const setid_case& c = GetParam();
    fs::create_directory(at("d"));
    ASSERT_EQ(chown(at("d").c_str(), kNobody, kNobody), 0);
    rdir_dst_dir d;
    ASSERT_EQ(d.open(root_.get(), "d", false), 0);
    auto write_it = [&] {
        rdir_dst_file file;
        if (file.create(d, "f") != 0) return 11;
        if (write(file.fd(), "x", 1) != 1) return 12;
        return file.commit(file_attr(06755, c.owner, c.owner, 1)) == 0 ? 0 : 13;
    };
    EXPECT_EQ(in_child([&] { return c.writer_is_root || become_nobody() ? write_it() : 10; }), 0);
    struct stat st;
    ASSERT_EQ(lstat(at("d/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.expected_perm);
    EXPECT_EQ(st.st_uid, c.writer_is_root ? c.owner : kNobody);
}

INSTANTIATE_TEST_SUITE_P(Cases, DstWriterSetId,
                         ::testing::Values(setid_case{false, 0, 0755},
                                           setid_case{false, kNobody, 06755},
                                           setid_case{true, 0, 06755},
                                           setid_case{true, kNobody, 06755}));

TEST_F(DstWriter, DirectoryOfAnUnprivilegedWriterLosesItsSetGroupBit) {
    fs::create_directory(at("d"));
    ASSERT_EQ(chown(at("d").c_str(), kNobody, kNobody), 0);
    rdir_dst_dir d;
    ASSERT_EQ(d.open(root_.get(), "d", false), 0);
    mstat_attr attr{nullptr, RDIR_TYPE_DIR, S_IFDIR | 02755, 0, 0, 0, 5, 5, 0};
    EXPECT_EQ(in_child([&] { return become_nobody() ? d.set_own_attr(attr) : 10; }), 0);
    struct stat st;
    ASSERT_EQ(lstat(at("d").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(st.st_mtime, 5);
}

// ---- links ----

TEST_F(DstWriter, MakeLinkReplacesAFileOrAnEmptyDirectoryAndTimesTheLinkItself) {
    struct stat secret_before;
    ASSERT_EQ(stat((outside_ + "/secret").c_str(), &secret_before), 0);
    write_file(at("file"), "old");
    fs::create_directory(at("empty"));
    fs::create_directory(at("full"));
    write_file(at("full/x"), "x");
    fs::create_symlink("old text", at("link"));
    const mstat_attr attr{nullptr,
                          RDIR_TYPE_LINK | RDIR_TYPE_OTHER,
                          S_IFLNK | 0777,
                          0,
                          321,
                          654,
                          1100000000,
                          1200000000,
                          0};
    const std::string target = outside_ + "/secret";
    struct {
        const char* name;
        bool to_dir;
        int expected;
    } cases[] = {
        {"file", false, 0},     {"link", false, 0}, {"new", false, 0},     {"empty", true, 0},
        {"full", true, EISDIR}, {"file2", true, 0}, {"empty2", false, -1},
    };
    fs::create_directory(at("empty2"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const verr ret = top_.make_link(c.name, target.c_str(), c.to_dir, attr);
        if (c.expected == -1) {
            EXPECT_TRUE(fails_with(ret, EISDIR));
            EXPECT_EQ(type_at(c.name), S_IFDIR);
            continue;
        }
        if (c.expected != 0) {
            // The rename's failure, not that of removing the full directory after it.
            EXPECT_TRUE(fails_with(ret, c.expected));
            EXPECT_EQ(read_file(at("full/x")), "x");
            continue;
        }
        ASSERT_EQ(ret, 0);
        EXPECT_EQ(fs::read_symlink(at(c.name)).string(), target);
        struct stat st;
        ASSERT_EQ(lstat(at(c.name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, 1200000000);
        EXPECT_EQ(st.st_uid, 321u);
        EXPECT_EQ(st.st_gid, 654u);
    }
    struct stat secret_after;
    ASSERT_EQ(stat((outside_ + "/secret").c_str(), &secret_after), 0);
    EXPECT_EQ(secret_after.st_mtim.tv_sec, secret_before.st_mtim.tv_sec);
    EXPECT_EQ(secret_after.st_uid, secret_before.st_uid);
    for (const std::string& name : names_in(root_path_)) {
        EXPECT_FALSE(name.starts_with(".dvcp.")) << name;
    }
}

TEST_F(DstWriter, AttributesOnALinkNameNeverReachItsTarget) {
    fs::create_symlink(outside_ + "/secret", at("to_file"));
    fs::create_symlink(outside_, at("to_dir"));
    const mstat_attr attr{nullptr, RDIR_TYPE_OTHER, S_IFREG | 06777, 0, 77,
                          88,      1300000000,      1300000000,      0};
    for (const char* name : {"to_file", "to_dir"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(top_.set_attr(name, attr), 0);
        struct stat st;
        ASSERT_EQ(lstat(at(name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_EQ(st.st_mtime, 1300000000);
        EXPECT_EQ(st.st_uid, 77u);
        // Without create a link is not opened as the directory: nothing to set attributes on.
        rdir_dst_dir child;
        EXPECT_LT(child.open_child(top_, name, false), 0);
        EXPECT_TRUE(fails_with(child.set_own_attr(attr), EBADF));
    }
    // The sentinel's modes, owners and times are compared in TearDown.
}

// ---- stale temporaries ----

TEST_F(DstWriter, CleanTempsRemovesOnlyThoseOfWritersThatAreGone) {
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    auto temp_of = [](uint32_t pid, uint32_t n) {
        char name[64];
        std::snprintf(name, sizeof(name), ".dvcp.%08x%04x.tmp", pid, n);
        return std::string(name);
    };
    const std::string dead = temp_of(static_cast<uint32_t>(gone), 1);
    const std::vector<std::string> kept = {
        temp_of(static_cast<uint32_t>(getpid()), 2),  // this process writes it now
        temp_of(1, 3),                                // a live process
        ".dvcp.foo",
        ".dvcp." + std::string(11, '0') + ".tmp",  // one digit short
        ".dvcp." + std::string(13, '0') + ".tmp",  // one digit too many
        ".dvcp.00000ABC0001.tmp",                  // upper case: not ours
        ".dvcp.000000000001.tmp",                  // process id 0: no writer has it
        dead + ".bak",
        "x" + dead,
        "regular",
    };
    write_file(at(dead), "partial");
    for (const std::string& name : kept) write_file(at(name), "user");
    // A directory with the form of a temporary is never the writer's.
    fs::create_directory(at(temp_of(static_cast<uint32_t>(gone), 4)));

    EXPECT_EQ(top_.clean_temps(), 1);
    std::vector<std::string> expected = kept;
    expected.push_back(temp_of(static_cast<uint32_t>(gone), 4));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names_in(root_path_), expected);
    EXPECT_EQ(top_.clean_temps(), 0);
}

TEST_F(DstWriter, TemporaryNamesCarryTheWritersProcessId) {
    char name[RDIR_TEMP_NAME_LEN + 1];
    rdir_temp_name_make(name);
    EXPECT_TRUE(rdir_temp_name_is(name));
    EXPECT_EQ(rdir_temp_name_pid(name), static_cast<uint32_t>(getpid()));
    char other[RDIR_TEMP_NAME_LEN + 1];
    rdir_temp_name_make(other);
    EXPECT_STRNE(name, other);
}

// ---- nodes, hard links, precise times, extended attributes ----

struct node_case {
    const char* kind;
    mode_t type;
    dev_t rdev;
};

void PrintTo(const node_case& c, std::ostream* os) {
    *os << c.kind;
}

class DstWriterNode : public DstWriter, public ::testing::WithParamInterface<node_case> {};

// A node replaces what stood at its name in one step, with owner, mode and precise times.
TEST_P(DstWriterNode, ReplacesTheOldEntryWithOwnerModeAndPreciseTimes) {
    if (geteuid() != 0) GTEST_SKIP() << "devices need root";
    write_file(at("n"), "old file");
    rdir_dst_file file;
    ASSERT_EQ(file.create_node(top_, "n", GetParam().type | 0644, GetParam().rdev), 0);
    EXPECT_EQ(type_at("n"), S_IFREG);  // the old entry stays until the commit
    const timespec times[2] = {{1500000000, 123456789}, {1600000000, 987654321}};
    ASSERT_EQ(file.commit(file_attr(0640, 1234, 5678, 0), nullptr, times), 0);
    struct stat st;
    ASSERT_EQ(lstat(at("n").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & S_IFMT, GetParam().type);
    EXPECT_EQ(st.st_rdev, GetParam().rdev);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);
    EXPECT_EQ(st.st_atim.tv_nsec, 123456789);
    EXPECT_EQ(names_in(root_path_), std::vector<std::string>{"n"});
}

INSTANTIATE_TEST_SUITE_P(Kinds, DstWriterNode,
                         ::testing::Values(node_case{"fifo", S_IFIFO, 0},
                                           node_case{"socket", S_IFSOCK, 0},
                                           node_case{"char device", S_IFCHR, makedev(1, 3)},
                                           node_case{"block device", S_IFBLK, makedev(7, 0)}));

TEST_F(DstWriter, NodeOfARegularTypeIsRefusedAndOneThatCannotBeMadeLeavesNothing) {
    rdir_dst_file file;
    EXPECT_TRUE(fails_with(file.create_node(top_, "n", S_IFREG | 0644, 0), EINVAL));
    EXPECT_TRUE(fails_with(file.create_node(top_, "n", S_IFDIR | 0755, 0), EINVAL));
    write_file(at("n"), "old");
    ASSERT_EQ(chmod(root_path_.c_str(), 0777), 0);  // the directory is not what refuses it
    int status = in_child([&] {
        if (!become_nobody()) return 2;
        rdir_dst_file f;
        return fails_with(f.create_node(top_, "n", S_IFCHR | 0644, makedev(1, 3)), EPERM) ? 0 : 1;
    });
    if (geteuid() == 0) {
        EXPECT_EQ(status, 0) << "an ordinary user made a device";
    }
    EXPECT_EQ(read_file(at("n")), "old");
    EXPECT_EQ(names_in(root_path_), std::vector<std::string>{"n"});
}

TEST_F(DstWriter, AbortedNodeLeavesNoTemporary) {
    {
        rdir_dst_file file;
        ASSERT_EQ(file.create_node(top_, "n", S_IFIFO | 0644, 0), 0);
        EXPECT_EQ(names_in(root_path_).size(), 1u);
    }
    EXPECT_TRUE(names_in(root_path_).empty());
}

TEST_F(DstWriter, HardLinkReplacesAFileAndJoinsTheTargetsInode) {
    fs::create_directory(at("sub"));
    write_file(at("first"), "shared");
    write_file(at("sub/second"), "old other file");
    rdir_dst_dir sub;
    ASSERT_EQ(sub.open(root_.get(), "sub", false), 0);
    struct stat first;
    ASSERT_EQ(lstat(at("first").c_str(), &first), 0);
    bool replaced = false;
    ASSERT_EQ(sub.make_hard_link(top_, "first", "second", &first, &replaced), 0);
    EXPECT_TRUE(replaced);
    struct stat second;
    ASSERT_EQ(lstat(at("sub/second").c_str(), &second), 0);
    EXPECT_EQ(second.st_ino, first.st_ino);
    EXPECT_EQ(second.st_nlink, 2u);
    // Again: the name already is that file; nothing changes and no temporary stays.
    ASSERT_EQ(sub.make_hard_link(top_, "first", "second", &first), 0);
    EXPECT_EQ(names_in(at("sub")), std::vector<std::string>{"second"});
    ASSERT_EQ(lstat(at("first").c_str(), &second), 0);
    EXPECT_EQ(second.st_nlink, 2u);
}

TEST_F(DstWriter, HardLinkToATargetThatIsNoLongerTheExpectedFileChangesNothing) {
    write_file(at("first"), "replaced since");
    write_file(at("second"), "kept");
    struct stat expect {};
    expect.st_ino = 1;  // no such file here
    EXPECT_TRUE(fails_with(top_.make_hard_link(top_, "first", "second", &expect), ESTALE));
    fs::create_symlink(outside_ + "/secret", at("link"));
    EXPECT_TRUE(fails_with(top_.make_hard_link(top_, "link", "second", nullptr), ESTALE));
    EXPECT_TRUE(fails_with(top_.make_hard_link(top_, "missing", "second", nullptr), ENOENT));
    fs::create_directory(at("dir"));
    EXPECT_TRUE(fails_with(top_.make_hard_link(top_, "first", "dir", nullptr), EISDIR));
    EXPECT_EQ(read_file(at("second")), "kept");
    EXPECT_EQ(names_in(root_path_), (std::vector<std::string>{"dir", "first", "link", "second"}));
}

std::string xattr_of(const std::string& path, const char* name) {
    char buf[1024];
    ssize_t n = lgetxattr(path.c_str(), name, buf, sizeof(buf));
    return n < 0 ? std::string("<errno ") + std::to_string(errno) + ">"
                 : std::string(buf, static_cast<size_t>(n));
}

// An access ACL in the kernel's format: owner rw-, user `uid` r--, group r--, mask r--, other ---.
std::string acl_value(uint32_t uid) {
    struct entry {
        uint16_t tag;
        uint16_t perm;
        uint32_t id;
    };
    const uint32_t version = 2;
    const entry entries[] = {
        {0x01, 6, ~0u}, {0x02, 4, uid}, {0x04, 4, ~0u}, {0x10, 4, ~0u}, {0x20, 0, ~0u}};
    std::string v(reinterpret_cast<const char*>(&version), sizeof(version));
    v.append(reinterpret_cast<const char*>(entries), sizeof(entries));
    return v;
}

TEST_F(DstWriter, ExtendedAttributesAndAclArriveAndInheritedOnesGo) {
    write_file(at("src"), "x");
    const std::string acl = acl_value(kNobody);
    ASSERT_EQ(setxattr(at("src").c_str(), "user.note", "hello", 5, 0), 0);
    ASSERT_EQ(setxattr(at("src").c_str(), "user.empty", "", 0, 0), 0);
    ASSERT_EQ(setxattr(at("src").c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0);
    write_file(at("dst"), "y");
    ASSERT_EQ(setxattr(at("dst").c_str(), "user.stale", "old", 3, 0), 0);
    int from = open(at("src").c_str(), O_RDONLY);
    int to = open(at("dst").c_str(), O_RDONLY);
    std::vector<rdir_xattr_failure> failures;
    EXPECT_EQ(rdir_copy_xattrs(from, to, &failures), 0);
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(xattr_of(at("dst"), "user.note"), "hello");
    EXPECT_EQ(xattr_of(at("dst"), "user.empty"), "");
    EXPECT_EQ(xattr_of(at("dst"), "system.posix_acl_access"), acl);
    EXPECT_EQ(xattr_of(at("dst"), "user.stale"), "<errno " + std::to_string(ENODATA) + ">");

    // The other way round: the destination drops the ACL the source does not have.
    failures.clear();
    EXPECT_EQ(rdir_copy_xattrs(open(at("dst").c_str(), O_PATH), from, &failures), 0);
    int plain = open(at("plain").c_str(), O_CREAT | O_RDWR, 0600);
    EXPECT_EQ(rdir_copy_xattrs(plain, to, &failures), 0);
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(xattr_of(at("dst"), "system.posix_acl_access"),
              "<errno " + std::to_string(ENODATA) + ">");
    close(plain);
    close(from);
    close(to);
}

TEST_F(DstWriter, AttributeThatCannotBeSetIsReportedAndTheOthersStillGo) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become nobody";
    write_file(at("src"), "x");
    write_file(at("dst"), "y");
    ASSERT_EQ(chown(at("dst").c_str(), kNobody, kNobody), 0);
    // A file capability: only a privileged writer may give one.
    const uint32_t caps[5] = {0x02000000, 1u << 10, 0, 0, 0};
    ASSERT_EQ(setxattr(at("src").c_str(), "security.capability", caps, sizeof(caps), 0), 0);
    ASSERT_EQ(setxattr(at("src").c_str(), "user.note", "n", 1, 0), 0);
    int status = in_child([&] {
        int from = open(at("src").c_str(), O_RDONLY);
        if (!become_nobody()) return 2;
        int to = open(at("dst").c_str(), O_RDONLY);
        std::vector<rdir_xattr_failure> failures;
        if (rdir_copy_xattrs(from, to, &failures) != 0) return 3;
        return failures.size() == 1 && failures[0].name == "security.capability" &&
                       failures[0].eno == EPERM
                   ? 0
                   : 4;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(xattr_of(at("dst"), "user.note"), "n");
}

TEST_F(DstWriter, ApplyOwnerModeComesBeforeAttributesThatAChownWouldDrop) {
    if (geteuid() != 0) GTEST_SKIP() << "file capabilities need root";
    write_file(at("src"), "x");
    const uint32_t caps[5] = {0x02000000, 1u << 10, 0, 0, 0};
    ASSERT_EQ(setxattr(at("src").c_str(), "security.capability", caps, sizeof(caps), 0), 0);
    int from = open(at("src").c_str(), O_RDONLY);
    rdir_dst_file file;
    ASSERT_EQ(file.create(top_, "dst"), 0);
    const mstat_attr attr = file_attr(0755, kNobody, kNobody, 1600000000);
    ASSERT_EQ(file.apply_owner_mode(attr), 0);
    std::vector<rdir_xattr_failure> failures;
    EXPECT_EQ(rdir_copy_xattrs(from, file.fd(), &failures), 0);
    EXPECT_TRUE(failures.empty());
    ASSERT_EQ(file.commit(attr), 0);
    close(from);
    EXPECT_EQ(xattr_of(at("dst"), "security.capability"),
              std::string(reinterpret_cast<const char*>(caps), sizeof(caps)));
    struct stat st;
    ASSERT_EQ(lstat(at("dst").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
}

}  // namespace
