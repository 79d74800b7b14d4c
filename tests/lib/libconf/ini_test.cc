#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>

#include "lib/test_support/temp_dir.h"
#include "libconf/ini/conf.h"
#include "libconf/ini/dictionary.h"
#include "libconf/ini/iniparser.h"
#include "libconf/ini/wildcard.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

struct conf_deleter {
    void operator()(conf* c) const { conf_close(c); }
};
using conf_ptr = std::unique_ptr<conf, conf_deleter>;

conf_ptr load_text(const std::string& text) {
    return conf_ptr(conf_load_str(text.c_str(), 0));
}

std::string dump(conf* c) {
    testing::internal::CaptureStdout();
    conf_dump(c);
    return testing::internal::GetCapturedStdout();
}

using dvtest::read_file;
using dvtest::write_file;

class IniFiles : public ::testing::Test {
  protected:
    std::string path(const std::string& name) const { return tmp_.at(name); }

    dvtest::TempDir tmp_{"ini_test"};
    fs::path dir_ = tmp_.path();
};

}  // namespace

// ---- line rules --------------------------------------------------------------------------

struct line_case {
    const char* line;
    ini_line::kind_t kind;
    const char* name;
    const char* value;
};

TEST(IniLine, EveryLineRule) {
    const line_case cases[] = {
        {"", ini_line::blank, "", ""},
        {"   \t ", ini_line::blank, "", ""},
        {"# note", ini_line::comment, "", ""},
        {"  ; note", ini_line::comment, "", ""},
        {"[Sec]", ini_line::section, "Sec", ""},
        {"[  spaced name  ]", ini_line::section, "spaced name", ""},
        {"[a]b]", ini_line::section, "a", ""},
        {"[a:b=c]", ini_line::section, "a:b=c", ""},
        {"[]", ini_line::section, "", ""},
        {"[a\tb]", ini_line::syntax_error, "", ""},
        {"key = value ; a note", ini_line::key_value, "key", "value"},
        {"key = value # a note", ini_line::key_value, "key", "value"},
        {"key = \"a;b#c\" ; a note", ini_line::key_value, "key", "a;b#c"},
        {"key = 'a;b' trailing", ini_line::key_value, "key", "a;b"},
        {"key = \"  kept  \"", ini_line::key_value, "key", "  kept  "},
        {"key = \"unterminated", ini_line::key_value, "key", "unterminated"},
        {"key = \"\"", ini_line::key_value, "key", ""},
        {"key = ''", ini_line::key_value, "key", ""},
        {"key = \"", ini_line::key_value, "key", "\""},
        {"key =", ini_line::key_value, "key", ""},
        {"key = ;note", ini_line::key_value, "key", ""},
        {"a = b = c", ini_line::key_value, "a", "b = c"},
        {"   spaced key   =   spaced value   ", ini_line::key_value, "spaced key", "spaced value"},
        {"url=dvp://u@h:1/p?x=1", ini_line::key_value, "url", "dvp://u@h:1/p?x=1"},
        {"no equals sign", ini_line::syntax_error, "", ""},
        {"=value", ini_line::syntax_error, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ini_line got = iniparser_parse_line(c.line);
        EXPECT_EQ(got.kind, c.kind);
        if (c.kind == ini_line::section || c.kind == ini_line::key_value) {
            EXPECT_EQ(got.name, c.name);
            EXPECT_EQ(got.value, c.value);
        }
    }
}

// ---- loading ------------------------------------------------------------------------------

TEST(IniLoad, FileKeepsCommentsSectionsAndCase) {
    const std::string text =
        "\xEF\xBB\xBF"
        "top = 1\n"
        "# about Conf\n"
        "\n"
        "[Conf]\n"
        "Key = upper\n"
        "key = lower\n"
        "path = /a/b \\\n"
        "  /c\n"
        "bad line without equals\n"
        "; about conf\n"
        "[conf]\n"
        "key = other\n"
        "\n"
        "# the end\n";
    conf_ptr c = load_text(text);
    ASSERT_TRUE(c);
    EXPECT_STREQ(conf_get_str(c.get(), "", "top", "-"), "1");
    EXPECT_STREQ(conf_get_str(c.get(), "Conf", "Key", "-"), "upper");
    EXPECT_STREQ(conf_get_str(c.get(), "Conf", "key", "-"), "lower");
    EXPECT_STREQ(conf_get_str(c.get(), "conf", "key", "-"), "other");
    EXPECT_STREQ(conf_get_str(c.get(), "Conf", "path", "-"), "/a/b   /c");
    EXPECT_FALSE(conf_has_key(c.get(), "Conf", "bad line without equals"));
    EXPECT_THAT(conf_get_sections(c.get()), ElementsAre("Conf", "conf"));
    EXPECT_THAT(conf_get_keys(c.get(), "Conf"), ElementsAre("Key", "key", "path"));

    // Comments and blank lines come back above their entries; the skipped line is gone.
    EXPECT_EQ(dump(c.get()),
              "top=1\n"
              "# about Conf\n"
              "\n"
              "[Conf]\n"
              "Key=upper\n"
              "key=lower\n"
              "path=/a/b   /c\n"
              "; about conf\n"
              "[conf]\n"
              "key=other\n"
              "\n"
              "# the end\n");
}

TEST(IniLoad, ByteOrderMarkOnlySkippedAtTheStart) {
    conf_ptr with = load_text("\xEF\xBB\xBF[s]\nk=v\n");
    conf_ptr without = load_text("[s]\nk=v\n");
    ASSERT_TRUE(with && without);
    EXPECT_EQ(dump(with.get()), dump(without.get()));
    EXPECT_THAT(conf_get_sections(with.get()), ElementsAre("s"));
}

TEST(IniLoad, LineLengthLimit) {
    const std::string max_ok(1022, 'x');
    const std::string too_long(1023, 'x');
    struct {
        std::string text;
        bool loads;
    } cases[] = {
        {"[s]\nk=" + max_ok.substr(2) + "\nz=1\n", true},
        {"[s]\nk=" + too_long.substr(2) + "\nz=1\n", false},
        {"[s]\nk=" + too_long.substr(2), true},  // last line, no line feed
        {"[s]\nk=" + too_long.substr(1), false},
        // A continued line counts as one line in the buffer.
        {"[s]\nk=" + std::string(600, 'a') + "\\\n" + std::string(600, 'b') + "\nz=1\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.size());
        testing::internal::CaptureStderr();
        conf_ptr loaded = load_text(c.text);
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(loaded != nullptr, c.loads);
        if (!c.loads) {
            EXPECT_THAT(log, HasSubstr("input line too long in ("));
        }
    }
    conf_ptr ok = load_text(cases[0].text);
    ASSERT_TRUE(ok);
    EXPECT_EQ(std::string(conf_get_str(ok.get(), "s", "k", "")).size(), 1020u);
    EXPECT_EQ(conf_get_int(ok.get(), "s", "z", 0), 1);
}

TEST(IniLoad, ContinuedLines) {
    conf_ptr c = load_text(
        "[s]\n"
        "a = one\\\n"
        "two\\\n"
        "three\n"
        "b = x\\\r\n"
        "\n"
        "c = last\\");
    ASSERT_TRUE(c);
    EXPECT_STREQ(conf_get_str(c.get(), "s", "a", "-"), "onetwothree");
    EXPECT_STREQ(conf_get_str(c.get(), "s", "b", "-"), "x");
    // A "\" on the very last line has nothing to join; the key is kept.
    EXPECT_STREQ(conf_get_str(c.get(), "s", "c", "-"), "last");
}

TEST(IniLoad, DuplicateEntryReplacesValueKeepsFirstPosition) {
    conf_ptr c = load_text("[a]\nk=1\nj=2\n[b]\n[a]\nk=3\n");
    ASSERT_TRUE(c);
    EXPECT_STREQ(conf_get_str(c.get(), "a", "k", ""), "3");
    EXPECT_THAT(conf_get_sections(c.get()), ElementsAre("a", "b"));
    EXPECT_THAT(conf_get_keys(c.get(), "a"), ElementsAre("k", "j"));
}

TEST(IniLoad, NulByteFailsTheLoad) {
    const std::string text("[s]\nk=a\0b\n", 10);
    auto dict = iniparser_load_all(text);
    EXPECT_EQ(dict, nullptr);
}

TEST(IniLoad, NullTextAndUnknownType) {
    EXPECT_EQ(conf_load_str(nullptr, 0), nullptr);
    EXPECT_EQ(conf_load_str("[s]\n", 1), nullptr);
}

// ---- reading values ----------------------------------------------------------------------

TEST(IniValues, GetIntAndDefaults) {
    conf_ptr c = load_text(
        "[n]\nplain=42\nneg= -7\nplus=+5\ntail=12abc\nnone=abc\nempty=\nhuge=99999999999\n");
    ASSERT_TRUE(c);
    struct {
        const char* key;
        int expected;
    } cases[] = {{"plain", 42}, {"neg", -7},  {"plus", 5},          {"tail", 12},
                 {"none", 0},   {"empty", 0}, {"huge", 2147483647}, {"absent", -1}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.key);
        EXPECT_EQ(conf_get_int(c.get(), "n", k.key, -1), k.expected);
    }
    // A section entry has no value: it reads as the default.
    EXPECT_STREQ(conf_get_str(c.get(), "n", "absent", "dflt"), "dflt");
    EXPECT_EQ(conf_get_str(c.get(), "n", "absent", nullptr), nullptr);
    EXPECT_STREQ(conf_get_str(nullptr, "n", "plain", "dflt"), "dflt");
}

TEST(IniValues, ValuePointerSurvivesGrowth) {
    conf_ptr c = load_text("[s]\nkeep=still here\n");
    ASSERT_TRUE(c);
    const char* v = conf_get_str(c.get(), "s", "keep", nullptr);
    ASSERT_NE(v, nullptr);
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(conf_set_int(c.get(), "grow", ("k" + std::to_string(i)).c_str(), i), 0);
    }
    EXPECT_STREQ(v, "still here");
    // Setting a key to its own stored text is safe.
    EXPECT_EQ(conf_set_str(c.get(), "s", "keep", conf_get_str(c.get(), "s", "keep", "")), 0);
    EXPECT_STREQ(conf_get_str(c.get(), "s", "keep", ""), "still here");
}

// ---- editing ------------------------------------------------------------------------------

TEST(IniEdit, SetKeepsCommentAndCreatesSection) {
    conf_ptr c = load_text("# about a\n[a]\n; about k\nk=1\n");
    ASSERT_TRUE(c);
    ASSERT_EQ(conf_set_str(c.get(), "a", "k", "2"), 0);
    ASSERT_EQ(conf_set_int(c.get(), "new", "n", -3), 0);
    EXPECT_TRUE(conf_has_section(c.get(), "new"));
    EXPECT_EQ(dump(c.get()), "# about a\n[a]\n; about k\nk=2\n\n[new]\nn=-3\n\n");
}

TEST(IniEdit, SetRefusesWhatCannotBeReadBack) {
    conf_ptr c = load_text("");
    ASSERT_TRUE(c);
    struct {
        const char* section;
        const char* key;
        const char* value;
    } refused[] = {
        {"s", "k", "line\nbreak"},
        {"s", "a=b", "v"},
        {"s", "#k", "v"},
        {"s", "", "v"},
        {"s\tx", "k", "v"},
        {"s]x", "k", "v"},
        {" s", "k", "v"},
        {"s", " k", "v"},
        {"s", "k", "both ' and \" ;"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(std::string(r.section) + "|" + r.key + "|" + r.value);
        EXPECT_EQ(conf_set_str(c.get(), r.section, r.key, r.value), -1);
    }
    EXPECT_EQ(conf_set_str(c.get(), "s", "k", std::string(1100, 'v').c_str()), -1);
    EXPECT_EQ(conf_set_str(c.get(), "s", "k", nullptr), -1);
    EXPECT_EQ(conf_set_str(nullptr, "s", "k", "v"), -1);
    EXPECT_TRUE(conf_get_sections(c.get()).empty());
}

TEST(IniEdit, DeleteThenAddTakesFirstFreeSlotFromUsedCount) {
    // Slots: 0 [a], 1 a.x, 2 [b], 3 b.y, 4 [c], 5 c.z.
    conf_ptr c = load_text("[a]\nx=1\n[b]\ny=2\n[c]\nz=3\n");
    ASSERT_TRUE(c);
    ASSERT_EQ(conf_del_section(c.get(), "a"), 0);        // frees 0 and 1, used = 4
    ASSERT_EQ(conf_del_section(c.get(), "b"), 0);        // frees 2 and 3, used = 2
    ASSERT_EQ(conf_set_str(c.get(), "d", "v", "4"), 0);  // [d] in slot 2, d.v in slot 3
    EXPECT_THAT(conf_get_sections(c.get()), ElementsAre("d", "c"));
    EXPECT_EQ(dump(c.get()), "[d]\nv=4\n\n[c]\nz=3\n\n");
    EXPECT_EQ(conf_del_section(c.get(), "nope"), -1);
    EXPECT_EQ(conf_del_key(c.get(), "c", "nope"), -1);
}

TEST(IniEdit, RenameSection) {
    conf_ptr c = load_text("# first\n[a]\nk=1\n[b]\nj=2\n");
    ASSERT_TRUE(c);
    const std::string before = dump(c.get());
    testing::internal::CaptureStderr();
    EXPECT_EQ(conf_rename_section(c.get(), "a", "b"), -1);
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("nsec=b exist error"));
    EXPECT_EQ(conf_rename_section(c.get(), "a", "a"), -1);
    EXPECT_EQ(conf_rename_section(c.get(), "a", "bad\tname"), -1);
    EXPECT_EQ(conf_rename_section(c.get(), "zz", "yy"), -2);
    EXPECT_EQ(dump(c.get()), before);

    EXPECT_EQ(conf_rename_section(c.get(), "a", "session/x"), 0);
    EXPECT_FALSE(conf_has_section(c.get(), "a"));
    EXPECT_STREQ(conf_get_str(c.get(), "session/x", "k", ""), "1");
    EXPECT_EQ(dump(c.get()), "# first\n[session/x]\nk=1\n\n[b]\nj=2\n\n");
}

TEST(IniEdit, RenameKey) {
    conf_ptr c = load_text("[s]\n# about a\na=1\nb=2\n");
    ASSERT_TRUE(c);
    EXPECT_EQ(conf_rename_key(c.get(), "s", "a", "b"), -1);
    EXPECT_EQ(conf_rename_key(c.get(), "s", "a", "x=y"), -1);
    EXPECT_EQ(conf_rename_key(c.get(), "s", "none", "c"), -2);
    EXPECT_EQ(conf_rename_key(c.get(), "s", "a", "c"), 0);
    EXPECT_EQ(dump(c.get()), "[s]\n# about a\nc=1\nb=2\n\n");
}

TEST(IniEdit, SectionsMatchWildcard) {
    conf_ptr c = load_text("[session/one]\n[session/two]\n[Session/three]\n[proxy]\n[s?]\n");
    ASSERT_TRUE(c);
    EXPECT_THAT(conf_get_sections_match(c.get(), "session/*"),
                ElementsAre("session/one", "session/two"));
    EXPECT_THAT(conf_get_sections_match(c.get(), "[sS]ession/t*"),
                ElementsAre("session/two", "Session/three"));
    EXPECT_THAT(conf_get_sections_match(c.get(), "s\\?"), ElementsAre("s?"));
}

struct wildcard_case {
    const char* pattern;
    const char* text;
    bool ignore_case;
    bool match;
};

TEST(Wildcard, Patterns) {
    const wildcard_case cases[] = {
        {"*", "", false, true},
        {"*.ini", "dir.d/dvcp.ini", false, true},
        {"*.ini", "dvcp.ini.bak", false, false},
        {"*.INI", "dvcp.ini", true, true},
        {"*.INI", "dvcp.ini", false, false},
        {"a?c", "abc", false, true},
        {"a?c", "ac", false, false},
        {"[a-c]x", "bx", false, true},
        {"[a-c]x", "dx", false, false},
        {"[!a-c]x", "dx", false, true},
        {"[!a-c]x", "ax", false, false},
        {"[]]", "]", false, true},
        {"[A-C]", "b", true, true},
        {"[a-c]", "B", true, true},
        {"a\\*", "a*", false, true},
        {"a\\*", "ab", false, false},
        {"[ab", "[ab", false, true},  // no closing bracket: literal
        {"*a*b*c*", "xxaxxbxxcxx", false, true},
        {"*a*b*c*d", "abcabcabcabc", false, false},
        {"a*", "b", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " ~ " + c.text);
        EXPECT_EQ(wildcard_match(c.pattern, c.text, c.ignore_case), c.match);
    }
    EXPECT_TRUE(wildcard_match_any("*.ini|*.cfg", "x.CFG", true));
    EXPECT_FALSE(wildcard_match_any("*.ini|*.cfg", "x.txt", true));
    // Many stars against a long text finish quickly (no exponential backtracking).
    EXPECT_FALSE(wildcard_match(std::string(60, '*') + "b", std::string(20000, 'a'), false));
}

// ---- dictionary --------------------------------------------------------------------------

TEST(Dictionary, HashAndGrowth) {
    EXPECT_EQ(dictionary_hash(""), 0u);
    EXPECT_EQ(dictionary_hash("a"), 0xca2e9442u);
    EXPECT_EQ(dictionary_hash("The quick brown fox jumps over the lazy dog"), 0x519e91f5u);

    dictionary d(10);
    EXPECT_EQ(d.capacity(), 128u);
    for (int i = 0; i < 129; ++i) d.set("k" + std::to_string(i), "v");
    EXPECT_EQ(d.capacity(), 256u);
    EXPECT_EQ(d.used(), 129u);
    EXPECT_EQ(d.find("k128"), 128);
    EXPECT_EQ(d.hash(0), dictionary_hash("k0"));
}

TEST(Dictionary, NewEntryWrapsToFirstFreeSlot) {
    dictionary d;
    for (int i = 0; i < 128; ++i) d.set("k" + std::to_string(i), std::nullopt);
    ASSERT_EQ(d.capacity(), 128u);
    ASSERT_TRUE(d.unset("k0"));  // used = 127, slot 127 taken: the search wraps to slot 0
    d.set("new", "v", "; c\n");
    EXPECT_EQ(d.find("new"), 0);
    EXPECT_EQ(d.capacity(), 128u);
    EXPECT_EQ(*d.comment(0), "; c\n");
    EXPECT_EQ(d.value(1), nullptr);
}

// ---- files --------------------------------------------------------------------------------

TEST_F(IniFiles, SaveRoundTripKeepsEverything) {
    const std::string p = path("dvcp.ini");
    write_file(p,
               "top=1\n"
               "# block above log\n"
               "# second line\n"
               "[log]\n"
               "level=7\n"
               "\n"
               "; about file\n"
               "file=dvcp.log\n"
               "# trailing\n");
    conf_ptr c(conf_load(p.c_str()));
    ASSERT_TRUE(c);
    // Values that would be cut or changed if written bare.
    const char* tricky[] = {"a;b", "x # y", "  padded  ", "C:\\dir\\", "\"\"", "'q'", "\"dq"};
    for (size_t i = 0; i < std::size(tricky); ++i) {
        ASSERT_EQ(conf_set_str(c.get(), "log", ("t" + std::to_string(i)).c_str(), tricky[i]), 0)
            << tricky[i];
    }
    ASSERT_EQ(conf_save(c.get()), 0);

    const std::string saved = read_file(p);
    ASSERT_TRUE(saved.starts_with("\xEF\xBB\xBF")) << saved;
    EXPECT_EQ(saved.substr(3),
              "top=1\n# block above log\n# second line\n[log]\nlevel=7\n\n; about file\n"
              "file=dvcp.log\nt0=\"a;b\"\nt1=\"x # y\"\nt2=\"  padded  \"\nt3=\"C:\\dir\\\"\n"
              "t4='\"\"'\nt5=\"'q'\"\nt6='\"dq'\n# trailing\n");

    conf_ptr back(conf_load(p.c_str()));
    ASSERT_TRUE(back);
    EXPECT_STREQ(conf_get_str(back.get(), "", "top", "-"), "1");
    for (size_t i = 0; i < std::size(tricky); ++i) {
        EXPECT_STREQ(conf_get_str(back.get(), "log", ("t" + std::to_string(i)).c_str(), "-"),
                     tricky[i]);
    }
    // A second save of the reloaded file writes the same bytes.
    ASSERT_EQ(conf_save(back.get()), 0);
    EXPECT_EQ(read_file(p), saved);
}

TEST_F(IniFiles, FileWithoutSectionsKeepsComments) {
    const std::string p = path("plain.cfg");
    write_file(p, "# note\na = 1\nb=two words\n");
    conf_ptr c(conf_load(p.c_str()));
    ASSERT_TRUE(c);
    ASSERT_EQ(conf_save(c.get()), 0);
    EXPECT_EQ(read_file(p), "\xEF\xBB\xBF# note\na = 1\nb = two words\n");
}

TEST_F(IniFiles, NamesDecideTheFormat) {
    write_file(path("a.txt"), "[s]\n");
    write_file(path("a.dat"), "[s]\n");
    write_file(path("A.INF"), "[s]\n");
    EXPECT_EQ(conf_load(path("a.txt").c_str()), nullptr);
    EXPECT_EQ(conf_load(path("a.dat").c_str()), nullptr);
    conf_ptr inf(conf_load(path("A.INF").c_str()));
    EXPECT_TRUE(inf);
    EXPECT_EQ(conf_load(path("absent.ini").c_str()), nullptr);
    EXPECT_FALSE(fs::exists(path("absent.ini")));
    EXPECT_EQ(conf_load(nullptr), nullptr);
}

TEST_F(IniFiles, CreateLoad) {
    const std::string p = path("new.ini");
    conf_ptr c(conf_create_load(p.c_str()));
    ASSERT_TRUE(c);
    EXPECT_TRUE(fs::exists(p));
    EXPECT_EQ(fs::file_size(p), 0u);
    ASSERT_EQ(conf_set_str(c.get(), "conf", "cache_dir", "/tmp/x"), 0);
    ASSERT_EQ(conf_save(c.get()), 0);
    EXPECT_EQ(read_file(p), "\xEF\xBB\xBF[conf]\ncache_dir=/tmp/x\n\n");

    // Something that exists but cannot be read as a file is not replaced.
    fs::create_directory(path("dir.ini"));
    EXPECT_EQ(conf_create_load(path("dir.ini").c_str()), nullptr);
    EXPECT_TRUE(fs::is_directory(path("dir.ini")));
    // A FIFO would block a reader forever: refused at once.
    ASSERT_EQ(mkfifo(path("fifo.ini").c_str(), 0600), 0);
    EXPECT_EQ(conf_load(path("fifo.ini").c_str()), nullptr);
    EXPECT_EQ(conf_create_load(path("fifo.ini").c_str()), nullptr);
    // No directory to create it in.
    EXPECT_EQ(conf_create_load(path("missing/x.ini").c_str()), nullptr);
}

TEST_F(IniFiles, SaveFailuresAreReported) {
    conf_ptr mem = load_text("[s]\nk=v\n");
    EXPECT_EQ(conf_save(mem.get()), -1);  // loaded from text: no path
    EXPECT_EQ(conf_save(nullptr), -1);

    const std::string p = path("gone/x.ini");
    fs::create_directory(path("gone"));
    write_file(p, "[s]\n");
    conf_ptr c(conf_load(p.c_str()));
    ASSERT_TRUE(c);
    fs::remove_all(path("gone"));
    EXPECT_EQ(conf_save(c.get()), -1);
}

TEST_F(IniFiles, SaveKeepsModeAndLinks) {
    const std::string real = path("real.ini");
    const std::string link = path("link.ini");
    write_file(real, "[s]\nk=1\n");
    ASSERT_EQ(chmod(real.c_str(), 0640), 0);
    fs::create_symlink("real.ini", link);

    conf_ptr c(conf_load(link.c_str()));
    ASSERT_TRUE(c);
    ASSERT_EQ(conf_set_str(c.get(), "s", "k", "2"), 0);
    ASSERT_EQ(conf_save(c.get()), 0);

    EXPECT_TRUE(fs::is_symlink(link));
    struct stat st {};
    ASSERT_EQ(stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(read_file(real), "\xEF\xBB\xBF[s]\nk=2\n\n");
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}), 2);
}

TEST_F(IniFiles, TwoHandlesLastSaveWins) {
    const std::string p = path("shared.ini");
    write_file(p, "[s]\nk=0\n");
    conf_ptr a(conf_load(p.c_str()));
    conf_ptr b(conf_load(p.c_str()));
    ASSERT_TRUE(a && b);
    ASSERT_EQ(conf_set_str(a.get(), "s", "k", "a"), 0);
    ASSERT_EQ(conf_set_str(b.get(), "s", "k", "b"), 0);
    ASSERT_EQ(conf_save(a.get()), 0);
    ASSERT_EQ(conf_save(b.get()), 0);
    conf_ptr r(conf_load(p.c_str()));
    EXPECT_STREQ(conf_get_str(r.get(), "s", "k", ""), "b");
}
