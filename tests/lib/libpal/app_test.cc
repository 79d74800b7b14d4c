#include "libpal/app.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "liblog/log2.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class App : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    void TearDown() override { unsetenv("DV_ENV_LOG_LEVEL"); }

    static int start(std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        return app_start(static_cast<int>(args.size()), argv.data());
    }
};

TEST_F(App, JoinsCommandLineAndNamesMainThread) {
    ASSERT_EQ(start({"dvcp", "mode=sync", "if=/data/my files", "of=x"}), 0);
    EXPECT_STREQ(app_cmdline(), "dvcp mode=sync \"if=/data/my files\" of=x ");
    char name[64];
    EXPECT_THAT(os_thread_name_get(name, sizeof(name)), StartsWith("main_"));
    app_end();
    EXPECT_STREQ(app_cmdline(), "");
    EXPECT_THAT(os_thread_name_get(name, sizeof(name)), ::testing::Not(StartsWith("main")));
}

TEST_F(App, LongCommandLineIsCut) {
    const std::string big(3000, 'a');
    ASSERT_EQ(start({"dvcp", big, big}), 0);
    const std::string line = app_cmdline();
    EXPECT_EQ(line.size(), APP_CMDLINE_SIZE - 1u);
    EXPECT_EQ(line.substr(0, 5 + 3000 + 1), "dvcp " + big + " ");
    app_end();
    ASSERT_EQ(app_start(0, nullptr), 0);
    EXPECT_STREQ(app_cmdline(), "");
    app_end();
}

TEST_F(App, SetsUpPlatform) {
    ASSERT_EQ(start({"dvcp"}), 0);
    struct sigaction sa {};
    sigaction(SIGPIPE, nullptr, &sa);
    EXPECT_EQ(sa.sa_handler, SIG_IGN);
    sigaction(SIGSEGV, nullptr, &sa);
    EXPECT_NE(sa.sa_flags & SA_SIGINFO, 0);

    const app_info* info = app_info_get();
    EXPECT_STREQ(info->os_name, "linux");
    EXPECT_EQ(info->os_id, 2);
    EXPECT_GT(info->page_size, 0u);
    EXPECT_GT(info->start_ms, info->boot_ms);
    EXPECT_NE(info->arch_name[0], '\0');
    app_end();
}

TEST_F(App, LogLevelFromEnvironment) {
    int saved = 0;
    log2_ioctl(nullptr, 7, &saved, sizeof(saved));
    struct Case {
        const char* value;
        int want;
    };
    for (const Case& c : {Case{"info", LOG_INFO}, Case{"3", LOG_ERR}, Case{"verb", LOG_VERB}}) {
        setenv("DV_ENV_LOG_LEVEL", c.value, 1);
        ASSERT_EQ(start({"dvcp"}), 0);
        int level = 0;
        log2_ioctl(nullptr, 7, &level, sizeof(level));
        EXPECT_EQ(level, c.want) << c.value;
        app_end();  // ends logging: the next start begins from a fresh context
    }
    log2_ioctl(nullptr, 1, &saved, sizeof(saved));
}

// A fatal signal prints the recent log lines before the process ends.
TEST_F(App, FatalSignalShowsRecentLines) {
    for (int sig : {SIGSEGV, SIGABRT, SIGBUS, SIGILL, SIGFPE}) {
        EXPECT_DEATH(
            {
                start({"dvcp", "crash=1"});
                DV_LOG("pal", LOG_ERR, "last words %d\n", sig);
                raise(sig);
            },
            "fatal signal [0-9]+ \\([A-Z]+\\) pid [0-9]+, command line: dvcp crash=1 \n"
            "\\*\\*\\* most recent log lines:.*last words [0-9]+")
            << sig;
    }
    EXPECT_DEATH(
        {
            start({"dvcp"});
            DV_LOG("pal", LOG_ERR, "before abort\n");
            abort();
        },
        "SIGABRT.*before abort");
}

TEST_F(App, EndRestoresPreviousHandlers) {
    struct sigaction before {
    }, during{}, after{};
    sigaction(SIGILL, nullptr, &before);
    ASSERT_EQ(start({"dvcp"}), 0);
    sigaction(SIGILL, nullptr, &during);
    app_end();
    sigaction(SIGILL, nullptr, &after);
    EXPECT_NE(reinterpret_cast<void*>(during.sa_sigaction),
              reinterpret_cast<void*>(before.sa_sigaction));
    EXPECT_EQ(reinterpret_cast<void*>(after.sa_sigaction),
              reinterpret_cast<void*>(before.sa_sigaction));
    EXPECT_EQ(after.sa_flags, before.sa_flags);
}

}  // namespace

TEST(AppVersion, PackedOneBytePerPart) {
    struct Case {
        const char* text;
        uint32_t id;
    };
    const Case cases[] = {
        {APP_VERSION_TEXT, 0x01000100},
        {"1.0.1.0", 0x01000100},
        {"0.1.0", 0x00010000},
        {"255.2", 0xff020000},
        {"1.2.3.4", 0x01020304},
        {"256.0", 0},
        {"1.2.3.4.5", 0},
        {"1..2", 0},
        {"", 0},
        {"1.0.1.0 ", 0},
        {"v1", 0},
        {nullptr, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.id, app_version_id(c.text)) << (c.text ? c.text : "(null)");
    }
}
