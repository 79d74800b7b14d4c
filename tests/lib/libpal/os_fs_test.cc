#include "libpal/os_fs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "lib/test_support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using dvtest::read_file;
using dvtest::write_file;

class OsFs : public testing::Test {
  protected:
    void SetUp() override {
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
        cwd_ = cwd;
        old_umask_ = umask(022);
    }
    void TearDown() override {
        umask(old_umask_);
        ASSERT_EQ(chdir(cwd_.c_str()), 0);
    }

    std::string at(const std::string& name) const { return tmp_.at(name); }

    static struct stat sys_lstat(const std::string& path) {
        struct stat st = {};
        EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
        return st;
    }
    static void set_times(const std::string& path, time_t sec, long nsec, int flags = 0) {
        const struct timespec ts[2] = {{sec, nsec}, {sec, nsec}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, flags), 0);
    }

    dvtest::TempDir tmp_{"os_fs_test"};
    std::string dir_ = tmp_.path();
    std::string cwd_;
    mode_t old_umask_ = 022;
};

// ---- status ----

TEST_F(OsFs, StatOfFileDirectoryAndMissingPath) {
    write_file(at("f"), "12345");
    set_times(at("f"), 1600000000, 123456789);
    struct os_stat st;
    ASSERT_EQ(os_stat(at("f").c_str(), &st), 0);
    EXPECT_EQ(st.type, OS_TYPE_OTHER);
    EXPECT_TRUE(S_ISREG(st.mode));
    EXPECT_EQ(st.size, 5u);
    EXPECT_EQ(st.mtime.sec, 1600000000);
    EXPECT_EQ(st.mtime.nsec, 123456789u);
    EXPECT_EQ(st.atime.nsec, 123456789u);
    EXPECT_EQ(st.nlink, 1u);
    EXPECT_EQ(st.ino, sys_lstat(at("f")).st_ino);
    EXPECT_STREQ(st.name, "");

    ASSERT_EQ(os_lstat(dir_.c_str(), &st), 0);
    EXPECT_EQ(st.type, OS_TYPE_DIR);

    errno = 0;
    EXPECT_EQ(os_stat(at("missing").c_str(), &st), -1);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(os_lstat(at("f/below").c_str(), &st), -1);
    EXPECT_EQ(errno, ENOTDIR);
}

TEST_F(OsFs, LinksFollowedOrNot) {
    ASSERT_EQ(mkdir(at("d").c_str(), 0755), 0);
    ASSERT_EQ(symlink("d", at("to_dir").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", at("dangling").c_str()), 0);
    struct os_stat st;

    ASSERT_EQ(os_stat(at("to_dir").c_str(), &st), 0);
    EXPECT_EQ(st.type, OS_TYPE_DIR);
    ASSERT_EQ(os_lstat(at("to_dir").c_str(), &st), 0);
    EXPECT_EQ(st.type, OS_TYPE_LINK | OS_TYPE_OTHER);
    // A link whose target is missing falls back to the link itself.
    ASSERT_EQ(os_stat(at("dangling").c_str(), &st), 0);
    EXPECT_EQ(st.type, 0x102u);
}

TEST_F(OsFs, LstatExNameAndLinkText) {
    ASSERT_EQ(mkdir(at("d").c_str(), 0755), 0);
    ASSERT_EQ(symlink("d", at("rel").c_str()), 0);
    ASSERT_EQ(symlink("/etc/abs", at("abs").c_str()), 0);
    struct os_stat st;

    ASSERT_EQ(os_lstat_ex(at("rel").c_str(), 0, &st), 0);
    EXPECT_EQ(st.type, 0x102u);  // a link's own mode is never a directory
    EXPECT_STREQ(st.name, "rel");
    EXPECT_EQ(std::string(st.link), dir_ + "/d");
    ASSERT_EQ(os_lstat_ex(at("rel").c_str(), OS_LSTAT_LINK_RAW, &st), 0);
    EXPECT_STREQ(st.link, "d");
    ASSERT_EQ(os_lstat_ex(at("abs").c_str(), 0, &st), 0);
    EXPECT_STREQ(st.link, "/etc/abs");

    ASSERT_EQ(os_lstat_ex((dir_ + "/d/").c_str(), 0, &st), 0);
    EXPECT_EQ(st.type, OS_TYPE_DIR);
    EXPECT_STREQ(st.name, "d");
    EXPECT_STREQ(st.link, "");

    // A relative link path without a directory part keeps the text as it is.
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    ASSERT_EQ(os_lstat_ex("rel", 0, &st), 0);
    EXPECT_STREQ(st.link, "d");
}

TEST_F(OsFs, FileTypeAndIsDir) {
    ASSERT_EQ(mkdir(at("d").c_str(), 0755), 0);
    write_file(at("f"), "x");
    ASSERT_EQ(symlink("d", at("ld").c_str()), 0);
    ASSERT_EQ(symlink("gone", at("dangling").c_str()), 0);
    struct {
        const char* name;
        int file_type;
        int is_dir;
    } cases[] = {
        {"d", 0, 1}, {"f", 1, 0}, {"ld", 0, 1}, {"dangling", 1, 0}, {"missing", -1, -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(os_file_type(at(c.name).c_str()), c.file_type) << c.name;
        EXPECT_EQ(os_is_dir(at(c.name).c_str()), c.is_dir) << c.name;
    }
}

// ---- directories and names ----

TEST_F(OsFs, MkdirNewExistingAndBlocked) {
    ASSERT_EQ(os_mkdir(at("d").c_str(), 0700), 0);
    EXPECT_EQ(sys_lstat(at("d")).st_mode & 0777, 0700u);
    EXPECT_EQ(os_mkdir(at("d").c_str()), 0);  // already a directory

    write_file(at("f"), "x");
    errno = 0;
    EXPECT_EQ(os_mkdir(at("f").c_str()), -1);
    EXPECT_EQ(errno, EACCES);
    ASSERT_EQ(symlink("gone", at("dangling").c_str()), 0);
    errno = 0;
    EXPECT_EQ(os_mkdir(at("dangling").c_str()), -1);
    EXPECT_EQ(errno, EACCES);

    errno = 0;
    EXPECT_EQ(os_mkdir(at("no/such").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(OsFs, MkdirsRelativeWhoseFirstLevelExists) {
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    ASSERT_EQ(mkdir("one", 0755), 0);
    EXPECT_EQ(os_mkdirs("one/two/three"), 0);
    EXPECT_TRUE(fs::is_directory(at("one/two/three")));
    EXPECT_EQ(sys_lstat(at("one/two")).st_mode & 0777, 0755u);
    EXPECT_EQ(os_mkdirs("one/two/three"), 0);
    EXPECT_EQ(os_mkdirs((dir_ + "/a/b/c/").c_str()), 0);
    EXPECT_TRUE(fs::is_directory(at("a/b/c")));
}

TEST_F(OsFs, MkdirsTypedFormAndFailures) {
    EXPECT_EQ(os_mkdirs(("\"" + dir_ + "\\x\\\\y\\z\"").c_str()), 0);
    EXPECT_TRUE(fs::is_directory(at("x/y/z")));

    write_file(at("file"), "x");
    errno = 0;
    EXPECT_EQ(os_mkdirs(at("file/sub/deeper").c_str()), -1);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(read_file(at("file")), "x");
}

TEST_F(OsFs, MkdirsParent) {
    EXPECT_EQ(os_mkdirs_parent(at("p/q/r/file.txt").c_str()), 0);
    EXPECT_TRUE(fs::is_directory(at("p/q/r")));
    EXPECT_FALSE(fs::exists(at("p/q/r/file.txt")));
    EXPECT_EQ(os_mkdirs_parent("/top"), 0);
    errno = 0;
    EXPECT_EQ(os_mkdirs_parent("plain"), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(OsFs, RemoveAndRmdirOrRemove) {
    write_file(at("f"), "x");
    ASSERT_EQ(mkdir(at("d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(at("full").c_str(), 0755), 0);
    write_file(at("full/x"), "x");
    write_file(at("g"), "x");
    ASSERT_EQ(mkdir(at("e").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(at("target").c_str(), 0755), 0);
    ASSERT_EQ(symlink("target", at("link").c_str()), 0);

    EXPECT_EQ(os_remove(at("f").c_str()), 0);
    EXPECT_EQ(os_remove(at("d").c_str()), 0);
    errno = 0;
    EXPECT_EQ(os_remove(at("full").c_str()), -1);
    EXPECT_EQ(errno, ENOTEMPTY);
    errno = 0;
    EXPECT_EQ(os_remove(at("f").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);

    EXPECT_EQ(os_rmdir_or_remove(at("g").c_str()), 0);
    EXPECT_EQ(os_rmdir_or_remove(at("e").c_str()), 0);
    EXPECT_EQ(os_rmdir_or_remove(at("link").c_str()), 0);  // the link, not its target
    EXPECT_TRUE(fs::is_directory(at("target")));
    errno = 0;
    EXPECT_EQ(os_rmdir_or_remove(at("full").c_str()), -1);
    EXPECT_EQ(errno, ENOTEMPTY);
    EXPECT_FALSE(fs::exists(at("f")) || fs::exists(at("d")) || fs::exists(at("g")) ||
                 fs::exists(at("e")) || fs::is_symlink(at("link")));
}

TEST_F(OsFs, RenameWithAndWithoutOverwrite) {
    write_file(at("a"), "A");
    write_file(at("b"), "B");
    ASSERT_EQ(symlink("gone", at("dangling").c_str()), 0);

    errno = 0;
    EXPECT_EQ(os_rename(at("a").c_str(), at("b").c_str(), 0), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(read_file(at("a")), "A");
    EXPECT_EQ(read_file(at("b")), "B");
    errno = 0;
    EXPECT_EQ(os_rename(at("a").c_str(), at("dangling").c_str(), 0), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_TRUE(fs::is_symlink(at("dangling")));

    EXPECT_EQ(os_rename(at("a").c_str(), at("c").c_str(), 0), 0);
    EXPECT_EQ(read_file(at("c")), "A");
    EXPECT_EQ(os_rename(at("c").c_str(), at("b").c_str(), 1), 0);
    EXPECT_EQ(read_file(at("b")), "A");
    EXPECT_FALSE(fs::exists(at("c")));
    errno = 0;
    EXPECT_EQ(os_rename(at("c").c_str(), at("d").c_str(), 1), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(OsFs, SymlinkTypedAndVerbatim) {
    EXPECT_EQ(os_symlink(at("typed").c_str(), "..\\up\\\\x"), 0);
    EXPECT_EQ(fs::read_symlink(at("typed")).string(), "../up/x");
    EXPECT_EQ(os_symlink_raw(at("raw").c_str(), "..\\up\\\\x"), 0);
    EXPECT_EQ(fs::read_symlink(at("raw")).string(), "..\\up\\\\x");
    errno = 0;
    EXPECT_EQ(os_symlink(at("raw").c_str(), "x"), -1);
    EXPECT_EQ(errno, EEXIST);
}

// ---- attributes ----

TEST_F(OsFs, ChmodFollowsALink) {
    write_file(at("f"), "x");
    ASSERT_EQ(symlink("f", at("l").c_str()), 0);
    EXPECT_EQ(os_chmod(at("l").c_str(), S_IFREG | 0640), 0);
    EXPECT_EQ(sys_lstat(at("f")).st_mode & 07777, 0640u);
    errno = 0;
    EXPECT_EQ(os_chmod(at("missing").c_str(), 0640), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(OsFs, ChownFollowsLchownDoesNot) {
    if (geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
    write_file(at("f"), "x");
    ASSERT_EQ(symlink("f", at("l").c_str()), 0);
    EXPECT_EQ(os_chown(at("l").c_str(), 1234, 2345), 0);
    EXPECT_EQ(sys_lstat(at("f")).st_uid, 1234u);
    EXPECT_EQ(sys_lstat(at("f")).st_gid, 2345u);
    EXPECT_EQ(sys_lstat(at("l")).st_uid, 0u);

    EXPECT_EQ(os_lchown(at("l").c_str(), 3456, 4567), 0);
    EXPECT_EQ(sys_lstat(at("l")).st_uid, 3456u);
    EXPECT_EQ(sys_lstat(at("l")).st_gid, 4567u);
    EXPECT_EQ(sys_lstat(at("f")).st_uid, 1234u);
}

TEST_F(OsFs, LutimeChangesTheLinkNotItsTarget) {
    write_file(at("target"), "x");
    set_times(at("target"), 1000000000, 0);
    ASSERT_EQ(symlink("target", at("link").c_str()), 0);

    const os_times times = {{1500000000, 111}, {1600000000, 222}, {0, 0}};
    EXPECT_EQ(lutime(at("link").c_str(), &times), 0);
    const struct stat link = sys_lstat(at("link"));
    EXPECT_EQ(link.st_atim.tv_sec, 1500000000);
    EXPECT_EQ(link.st_atim.tv_nsec, 111);
    EXPECT_EQ(link.st_mtim.tv_sec, 1600000000);
    EXPECT_EQ(link.st_mtim.tv_nsec, 222);
    EXPECT_EQ(sys_lstat(at("target")).st_mtim.tv_sec, 1000000000);

    // Relative paths start at the current directory.
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    const os_times later = {{1700000000, 0}, {1700000001, 0}, {0, 0}};
    EXPECT_EQ(lutime("target", &later), 0);
    EXPECT_EQ(sys_lstat(at("target")).st_mtim.tv_sec, 1700000001);

    errno = 0;
    EXPECT_EQ(lutime("missing", &later), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(OsFs, SetAttrModeAndWholeSecondTimes) {
    write_file(at("f"), "x");
    ASSERT_EQ(mkdir(at("d").c_str(), 0700), 0);
    os_attr attr = {};
    attr.mode = S_IFREG | 0604;
    attr.uid = geteuid();
    attr.gid = getegid();
    attr.atime = 1500000000;
    attr.mtime = 1600000000;
    set_times(at("f"), 1, 999);
    os_set_attr(at("f").c_str(), &attr);
    struct stat st = sys_lstat(at("f"));
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(st.st_atim.tv_sec, 1500000000);
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 0);

    // From a system without Unix modes the alternate mode applies.
    attr.flags = OS_ATTR_NO_POSIX_MODE;
    attr.mode = 0;
    attr.attr = 0755;
    os_set_attr(at("d").c_str(), &attr);
    EXPECT_EQ(sys_lstat(at("d")).st_mode & 07777, 0755u);
    EXPECT_EQ(sys_lstat(at("d")).st_mtim.tv_sec, 1600000000);

    os_set_attr(at("missing").c_str(), &attr);  // nothing to report, nothing created
    EXPECT_FALSE(fs::exists(at("missing")));
}

TEST_F(OsFs, SetAttrOwnerAsRoot) {
    if (geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
    write_file(at("f"), "x");
    os_attr attr = {};
    attr.mode = 04755;  // set-user-id survives the change of owner
    attr.uid = 1234;
    attr.gid = 2345;
    os_set_attr(at("f").c_str(), &attr);
    struct stat st = sys_lstat(at("f"));
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 2345u);
    EXPECT_EQ(st.st_mode & 07777, 04755u);

    // No Unix owner on the other side (both ids 0): the process's own.
    ASSERT_EQ(chown(at("f").c_str(), 1234, 2345), 0);
    attr.flags = OS_ATTR_NO_POSIX_MODE;
    attr.attr = 0644;
    attr.uid = 0;
    attr.gid = 0;
    os_set_attr(at("f").c_str(), &attr);
    st = sys_lstat(at("f"));
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_gid, getegid());
}

TEST_F(OsFs, SetAttrOnALinkNeverTouchesTheTarget) {
    write_file(at("target"), "x");
    ASSERT_EQ(chmod(at("target").c_str(), 0600), 0);
    set_times(at("target"), 1000000000, 0);
    ASSERT_EQ(symlink("target", at("link").c_str()), 0);
    const uid_t owner = sys_lstat(at("target")).st_uid;

    os_attr attr = {};
    attr.mode = 0777;
    attr.uid = 1234;
    attr.gid = 2345;
    attr.atime = 1500000000;
    attr.mtime = 1600000000;
    os_set_attr(at("link").c_str(), &attr);
    const struct stat target = sys_lstat(at("target"));
    EXPECT_EQ(target.st_mode & 07777, 0600u);
    EXPECT_EQ(target.st_uid, owner);
    EXPECT_EQ(target.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(sys_lstat(at("link")).st_mtim.tv_sec, 1600000000);
    if (geteuid() == 0) {
        EXPECT_EQ(sys_lstat(at("link")).st_uid, 1234u);
    }
}

TEST_F(OsFs, Symlink2AppliesAttributesToTheLink) {
    write_file(at("target"), "x");
    ASSERT_EQ(chmod(at("target").c_str(), 0600), 0);
    set_times(at("target"), 1000000000, 0);
    os_attr attr = {};
    attr.mode = 0777;
    attr.uid = geteuid();
    attr.gid = getegid();
    attr.mtime = 1600000000;
    EXPECT_EQ(os_symlink2(at("link").c_str(), "target", 0, &attr), 0);
    EXPECT_EQ(fs::read_symlink(at("link")).string(), "target");
    EXPECT_EQ(sys_lstat(at("link")).st_mtim.tv_sec, 1600000000);
    EXPECT_EQ(sys_lstat(at("target")).st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(sys_lstat(at("target")).st_mode & 07777, 0600u);

    EXPECT_EQ(os_symlink2(at("plain").c_str(), "target", OS_SYMLINK_DIR, nullptr), 0);
    errno = 0;
    EXPECT_EQ(os_symlink2(at("plain").c_str(), "target", 0, &attr), -1);
    EXPECT_EQ(errno, EEXIST);
}

// ---- typed paths and verbatim paths ----

TEST_F(OsFs, TypedPathsReachTheSystemNormalised) {
    ASSERT_EQ(mkdir(at("sub").c_str(), 0755), 0);
    write_file(at("sub/f"), "data");
    std::string backslashed = dir_ + "\\sub\\\\f";
    const std::string forms[] = {
        "file://" + dir_ + "/sub/f",
        "\"" + backslashed + "\"",
        "  '" + dir_ + "//sub///f'  ",
    };
    for (const auto& form : forms) {
        struct os_stat st;
        ASSERT_EQ(os_lstat_ex(form.c_str(), 0, &st), 0) << form;
        EXPECT_EQ(st.size, 4u);
        EXPECT_STREQ(st.name, "f");
        EXPECT_EQ(os_file_type(form.c_str()), 1);
    }
    EXPECT_EQ(os_rename(forms[1].c_str(), ("file://" + dir_ + "/sub/g").c_str(), 0), 0);
    EXPECT_EQ(read_file(at("sub/g")), "data");
}

TEST_F(OsFs, TypedPathTooLongIsRefusedNotCut) {
    ASSERT_EQ(mkdir(at("d").c_str(), 0755), 0);
    const std::string too_long = at("d/") + std::string(PL_MAX_PATH, 'x');
    errno = 0;
    EXPECT_EQ(os_mkdirs(too_long.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_TRUE(fs::is_empty(at("d")));
    struct os_stat st;
    errno = 0;
    EXPECT_EQ(os_stat(nullptr, &st), -1);
    EXPECT_EQ(errno, EINVAL);
}

// Names that are legal on Linux but change under normalisation: a backslash, a
// leading blank, quotes, a trailing blank. Each sits beside the file that the
// normalised form of its path would name instead.
class OsFsRaw : public OsFs {
  protected:
    void SetUp() override {
        OsFs::SetUp();
        ASSERT_EQ(mkdir(at("a").c_str(), 0755), 0);
        write_file(at("a/b"), "inner");
        write_file(at("a\\b"), "outer");
        write_file(at("lead"), "plain");
        write_file(at(" lead"), "blank");
        write_file(at("q"), "plain");
        write_file(at("'q'"), "quoted");
        write_file(at("trail "), "blank");
        write_file(at("trail"), "plain");
    }
    std::string raw(const char* name) const { return path_join_raw(dir_, name); }
};

TEST_F(OsFsRaw, StatAddressesTheListedName) {
    struct {
        const char* name;
        const char* content;
    } cases[] = {{"a\\b", "outer"}, {" lead", "blank"}, {"'q'", "quoted"}, {"trail ", "blank"}};
    for (const auto& c : cases) {
        struct os_stat raw_st;
        ASSERT_EQ(os_lstat_ex_raw(raw(c.name).c_str(), 0, &raw_st), 0) << c.name;
        EXPECT_STREQ(raw_st.name, c.name);
        EXPECT_EQ(raw_st.size, strlen(c.content));
        ASSERT_EQ(os_stat_raw(raw(c.name).c_str(), &raw_st), 0);
        EXPECT_EQ(raw_st.ino, sys_lstat(raw(c.name)).st_ino);
        ASSERT_EQ(os_lstat_raw(raw(c.name).c_str(), &raw_st), 0);
        EXPECT_EQ(raw_st.ino, sys_lstat(raw(c.name)).st_ino);
        EXPECT_EQ(os_file_type_raw(raw(c.name).c_str()), 1);
        EXPECT_EQ(os_is_dir_raw(raw(c.name).c_str()), 0);
    }
    // The normalising form names a different file: the reason the raw forms exist.
    struct os_stat st;
    ASSERT_EQ(os_lstat(raw("a\\b").c_str(), &st), 0);
    EXPECT_EQ(st.ino, sys_lstat(at("a/b")).st_ino);
    ASSERT_EQ(os_lstat(raw("trail ").c_str(), &st), 0);
    EXPECT_EQ(st.ino, sys_lstat(at("trail")).st_ino);
    // Relative to the current directory, leading blanks and quotes are at the ends too.
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    struct {
        const char* name;
        const char* normalised;
    } relative[] = {{" lead", "lead"}, {"'q'", "q"}, {"a\\b", "a/b"}};
    for (const auto& r : relative) {
        ASSERT_EQ(os_lstat_raw(r.name, &st), 0);
        EXPECT_EQ(st.ino, sys_lstat(at(r.name)).st_ino) << r.name;
        ASSERT_EQ(os_lstat(r.name, &st), 0);
        EXPECT_EQ(st.ino, sys_lstat(at(r.normalised)).st_ino) << r.name;
    }
}

TEST_F(OsFsRaw, RemoveRenameAndRmdirTouchOnlyTheListedName) {
    EXPECT_EQ(os_remove_raw(raw("a\\b").c_str()), 0);
    EXPECT_EQ(read_file(at("a/b")), "inner");
    EXPECT_EQ(os_rmdir_or_remove_raw(raw(" lead").c_str()), 0);
    EXPECT_EQ(read_file(at("lead")), "plain");
    EXPECT_FALSE(fs::exists(at(" lead")));

    errno = 0;
    EXPECT_EQ(os_rename_raw(raw("'q'").c_str(), raw("trail ").c_str(), 0), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(os_rename_raw(raw("'q'").c_str(), raw("trail ").c_str(), 1), 0);
    EXPECT_EQ(read_file(at("trail ")), "quoted");
    EXPECT_EQ(read_file(at("q")), "plain");
}

TEST_F(OsFsRaw, CreateDirectoriesAndLinksVerbatim) {
    ASSERT_EQ(os_remove_raw(raw("a\\b").c_str()), 0);
    EXPECT_EQ(os_mkdir_raw(raw("a\\b").c_str()), 0);
    EXPECT_TRUE(fs::is_directory(at("a\\b")));
    EXPECT_TRUE(fs::is_regular_file(at("a/b")));
    EXPECT_EQ(os_is_dir_raw(raw("a\\b").c_str()), 1);

    EXPECT_EQ(os_mkdirs_raw(raw(" x\\y/ z ").c_str()), 0);
    EXPECT_TRUE(fs::is_directory(at(" x\\y/ z ")));
    EXPECT_FALSE(fs::exists(at("x")));
    EXPECT_EQ(os_mkdirs_parent_raw((raw("'p'") + "/'q'/file").c_str()), 0);
    EXPECT_TRUE(fs::is_directory(at("'p'/'q'")));

    EXPECT_EQ(os_symlink2_raw(raw(" ln").c_str(), "a\\b", 0, nullptr), 0);
    EXPECT_EQ(fs::read_symlink(at(" ln")).string(), "a\\b");
    struct os_stat st;
    ASSERT_EQ(os_lstat_ex_raw(raw(" ln").c_str(), 0, &st), 0);
    EXPECT_EQ(std::string(st.link), dir_ + "/a\\b");
}

TEST_F(OsFsRaw, AttributesGoToTheListedName) {
    const std::string name = raw("'q'");
    set_times(at("q"), 1000000000, 0);
    EXPECT_EQ(os_chmod_raw(name.c_str(), 0604), 0);
    EXPECT_EQ(sys_lstat(name).st_mode & 07777, 0604u);
    const os_times times = {{1500000000, 5}, {1600000000, 6}, {0, 0}};
    EXPECT_EQ(lutime_raw(name.c_str(), &times), 0);
    EXPECT_EQ(sys_lstat(name).st_mtim.tv_nsec, 6);

    os_attr attr = {};
    attr.mode = 0640;
    attr.uid = geteuid();
    attr.gid = getegid();
    attr.mtime = 1700000000;
    os_set_attr_raw(name.c_str(), &attr);
    EXPECT_EQ(sys_lstat(name).st_mode & 07777, 0640u);
    EXPECT_EQ(sys_lstat(name).st_mtim.tv_sec, 1700000000);
    EXPECT_EQ(sys_lstat(at("q")).st_mtim.tv_sec, 1000000000);
    EXPECT_NE(sys_lstat(at("q")).st_mode & 07777, 0640u);

    if (geteuid() == 0) {
        EXPECT_EQ(os_chown_raw(name.c_str(), 1234, 1234), 0);
        EXPECT_EQ(os_lchown_raw(raw("trail ").c_str(), 2345, 2345), 0);
        EXPECT_EQ(sys_lstat(name).st_uid, 1234u);
        EXPECT_EQ(sys_lstat(raw("trail ")).st_uid, 2345u);
        EXPECT_EQ(sys_lstat(at("q")).st_uid, 0u);
    }
}

// ---- executable ----

TEST(OsExe, NameAndDirectory) {
    char name[PATH_MAX];
    ASSERT_EQ(os_exe_get_name(name, sizeof(name)), 0);
    EXPECT_EQ(std::string(name), fs::read_symlink("/proc/self/exe").string());

    char dir[PATH_MAX];
    ASSERT_EQ(os_exe_get_dir(dir, sizeof(dir)), 0);
    const std::string d(dir);
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(d.back(), '/');
    EXPECT_EQ(std::string(name).rfind(d, 0), 0u);
    EXPECT_EQ(std::string(name).find('/', d.size()), std::string::npos);

    char small[4];
    errno = 0;
    EXPECT_EQ(os_exe_get_name(small, sizeof(small)), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(os_exe_get_dir(small, sizeof(small)), -1);
}

}  // namespace
