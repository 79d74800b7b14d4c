#include "libpal/args.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using pairs = std::vector<std::pair<std::string, std::string>>;

struct walk_result {
    int status;
    pairs taken;
    std::string bad;
};

// Walks `args` (program name first); the handler stops at a key "stop" with 7.
walk_result walk(std::vector<std::string> args, unsigned flags) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    walk_result r;
    std::string_view bad;
    r.status = args_walk(
        static_cast<int>(args.size()), argv.data(), flags,
        [&](std::string_view key, std::string_view value) {
            if (key == "stop") return 7;
            r.taken.emplace_back(key, value);
            return ARGS_DONE;
        },
        &bad);
    r.bad = bad;
    return r;
}

TEST(Args, PairsSplitAtFirstEqualsInOrder) {
    const walk_result r = walk({"prog", "if=/a=b", "of=", "=x"}, 0);
    EXPECT_EQ(ARGS_DONE, r.status);
    EXPECT_EQ((pairs{{"if", "/a=b"}, {"of", ""}, {"", "x"}}), r.taken);
}

TEST(Args, WalkEndsAtFirstArgumentThatIsNotAPair) {
    struct Case {
        std::vector<std::string> args;
        unsigned flags;
        int status;
        pairs taken;
        std::string bad;
    };
    const Case cases[] = {
        {{"prog"}, 0, ARGS_DONE, {}, ""},
        {{"prog", "a=1", "-h", "b"}, 0, ARGS_HELP, {{"a", "1"}}, ""},
        {{"prog", "--help"}, 0, ARGS_HELP, {}, ""},
        {{"prog", "a=1", "word", "-h"}, 0, ARGS_MALFORMED, {{"a", "1"}}, "word"},
        {{"prog", "--", "a=1"}, 0, ARGS_MALFORMED, {}, "--"},
        {{"prog", "--", "a=1"}, ARGS_SKIP_DOUBLE_DASH, ARGS_DONE, {{"a", "1"}}, ""},
        {{"prog", "a=1", "stop=1", "-h"}, 0, 7, {{"a", "1"}}, ""},
    };
    for (const Case& c : cases) {
        const walk_result r = walk(c.args, c.flags);
        const std::string row = testing::PrintToString(c.args);
        EXPECT_EQ(c.status, r.status) << row;
        EXPECT_EQ(c.taken, r.taken) << row;
        EXPECT_EQ(c.bad, r.bad) << row;
    }
}

}  // namespace
