#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "libpal/url.h"

namespace {

TEST(PathNormalize, TypedFormsBecomeOnePlainPath) {
    struct {
        const char* in;
        const char* want;
    } cases[] = {
        {"\"file://\\data\\\\sub\\x\"", "/data/sub/x"},
        {"  '/a//b/'  ", "/a/b/"},
        {"'\" /x \"'", "/x"},
        {"\\\\\\", "/"},
        {"///", "/"},
        {"", ""},
        {"   ", ""},
        {"a\\b", "a/b"},
        {"\"unbalanced", "\"unbalanced"},
        {"'mixed\"", "'mixed\""},
        {"file://C:\\data\\x", "C:/data/x"},
        {"dir/file://x", "dir/file:/x"},
        {"\t\"C:\\\\temp\\\\\"\r\n", "C:/temp/"},
    };
    for (const auto& c : cases) {
        std::string buf(c.in);
        EXPECT_STREQ(path_normalize(buf.data()), c.want) << c.in;
        EXPECT_EQ(path_normalized(c.in), c.want) << c.in;
    }
}

TEST(PathBuild, OneSeparatorBetween) {
    struct {
        const char* dir;
        const char* name;
        const char* want;
    } cases[] = {
        {"/data/", "x", "/data/x"},   {"/data", "x", "/data/x"}, {"", "x", "/x"},
        {"C:\\d\\", "x", "C:\\d\\x"}, {"/d", "", "/d/"},
    };
    for (const auto& c : cases) {
        char out[PL_MAX_PATH];
        EXPECT_STREQ(path_build(out, c.dir, c.name), c.want);
    }
    char same[PL_MAX_PATH] = "/data";
    EXPECT_STREQ(path_build(same, same, "x"), "/data/x");

    std::vector<char> out(PL_MAX_PATH);
    const std::string name(PL_MAX_PATH, 'n');
    path_build(out.data(), "/d", name.c_str());
    EXPECT_EQ(strlen(out.data()), PL_MAX_PATH - 1);
}

TEST(PathJoinRaw, KeepsTheNameBytes) {
    struct {
        const char* dir;
        const char* name;
        const char* want;
    } cases[] = {
        {"/d", "a\\b", "/d/a\\b"},
        {"/d/", " lead", "/d/ lead"},
        {"/d", "q'uote\" ", "/d/q'uote\" "},
        {"/d\\", "x", "/d\\/x"},  // a backslash is part of a name here
        {"", "x", "/x"},
        {"rel", "file://x", "rel/file://x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(path_join_raw(c.dir, c.name), c.want);
        char out[PL_MAX_PATH];
        EXPECT_EQ(path_join_raw(out, sizeof(out), c.dir, c.name), 0);
        EXPECT_STREQ(out, c.want);
    }
}

TEST(PathJoinRaw, BoundedFormRefusesWhatDoesNotFit) {
    char out[8];
    EXPECT_EQ(path_join_raw(out, sizeof(out), "/abc", "de"), 0);  // 7 bytes + NUL
    EXPECT_STREQ(out, "/abc/de");
    EXPECT_EQ(path_join_raw(out, sizeof(out), "/abc", "def"), -1);
    EXPECT_STREQ(out, "");
    char same[16] = "/dir";
    EXPECT_EQ(path_join_raw(same, sizeof(same), same, "n"), 0);
    EXPECT_STREQ(same, "/dir/n");
}

TEST(PathIsAbsolute, Forms) {
    struct {
        const char* path;
        bool want;
    } cases[] = {
        {"/x", true},   {"\\x", true},       {"~/x", true},   {"C:x", true},
        {"z:\\", true}, {"dvp://h/x", true}, {"a:\\b", true}, {"rel/x", false},
        {"", false},    {"1:x", false},      {"./x", false},
    };
    for (const auto& c : cases) EXPECT_EQ(path_is_absolute(c.path), c.want) << c.path;
    EXPECT_FALSE(path_is_absolute(nullptr));
}

TEST(PathAddSep, AppendsOnlyWhenMissing) {
    struct {
        const char* in;
        const char* want;
    } cases[] = {{"a", "a/"}, {"a/", "a/"}, {"a\\", "a\\"}, {"", "/"}};
    for (const auto& c : cases) {
        char buf[PL_MAX_PATH];
        snprintf(buf, sizeof(buf), "%s", c.in);
        EXPECT_STREQ(path_add_sep_not_exist_tail(buf), c.want);
    }
    std::vector<char> buf(PL_MAX_PATH);
    std::string fits(PL_MAX_PATH - 2, 'a');
    memcpy(buf.data(), fits.c_str(), fits.size() + 1);
    path_add_sep_not_exist_tail(buf.data());
    EXPECT_EQ(std::string(buf.data()), fits + "/");

    std::string full(PL_MAX_PATH - 1, 'a');  // no room for the separator
    memcpy(buf.data(), full.c_str(), full.size() + 1);
    path_add_sep_not_exist_tail(buf.data());
    EXPECT_EQ(std::string(buf.data()), full);
}

TEST(PathBaseDirName, LastSeparatorOfEitherKind) {
    struct {
        const char* path;
        const char* base;
        const char* dir;
    } cases[] = {
        {"/a/b/c", "c", "/a/b/"}, {"a\\b/c\\d", "d", "a\\b/c\\"},
        {"name", "name", ""},     {"/a/", "", "/a/"},
        {"/", "", "/"},           {"", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(path_basename(c.path), c.base) << c.path;
        std::string buf(c.path);
        EXPECT_STREQ(path_dirname(buf.data()), c.dir) << c.path;
    }
}

}  // namespace
