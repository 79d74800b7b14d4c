#include "libpwd/libpwd.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lib/test_support/temp_dir.h"
#include "liblog/log2.h"
#include "libpwd/ipchk.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

std::atomic<uint64_t> fake_now{1'000'000};
uint64_t fake_clock() {
    return fake_now.load();
}
void advance_ms(uint64_t ms) {
    fake_now += ms;
}

constexpr const char* kUser = "admin";
constexpr const char* kPwd = "secret";
constexpr const char* kShaSecret = "{SHA}5en6G6MezRroT3XKqkdPOmY/BfQ=";

// Runs `body` with the global log threshold at `level` and returns what it wrote to stderr.
template <typename F>
std::string logged_at(int level, F body) {
    int old = 0;
    log2_ioctl(nullptr, 7, &old, sizeof(old));
    log2_ioctl(nullptr, 1, &level, -1);
    testing::internal::CaptureStderr();
    body();
    std::string out = testing::internal::GetCapturedStderr();
    log2_ioctl(nullptr, 1, &old, -1);
    return out;
}

class Credentials : public ::testing::Test {
  protected:
    void SetUp() override { start(3, 60, 0, ""); }
    void TearDown() override { libpwd_exit(); }

    void start(uint32_t limit, uint32_t minutes, uint32_t max_ip, const std::string& log_path) {
        libpwd_conf conf;
        conf.user = kUser;
        conf.pwd = kPwd;
        conf.login_fail_count = limit;
        conf.login_lock_minutes = minutes;
        conf.login_max_ip = max_ip;
        log_path_ = log_path;
        conf.login_log = log_path_.c_str();
        conf.clock = fake_clock;
        ASSERT_EQ(libpwd_init(&conf), 0);
    }

    int login(const char* address, const char* pwd, const char* user = kUser) {
        err_[0] = '\0';
        return libpwd_check_user_pwd(address, user, pwd, err_, sizeof(err_));
    }

    std::string log_path_;
    char err_[256] = {};
};

}  // namespace

// ---- "{SHA}" form and login key --------------------------------------------------------------

TEST(PasswordForm, ShaVectors) {
    // printf %s <pwd> | openssl sha1 -binary | base64
    EXPECT_EQ(libpwd_sha_pwd("secret"), kShaSecret);
    EXPECT_EQ(libpwd_sha_pwd("p\xC3\xA4ssw\xC3\xB6rd"), "{SHA}9Rfd8dMqES/xrVXGbRsSyzjn6Pc=");
    EXPECT_EQ(libpwd_sha_pwd(""), "");
    EXPECT_EQ(libpwd_sha_pwd(nullptr), "");
    for (const std::string& pwd : {std::string("a"), std::string("x y"), std::string(5000, 'z')}) {
        std::string sha = libpwd_sha_pwd(pwd.c_str());
        EXPECT_EQ(sha.size(), 33u);
        EXPECT_TRUE(sha.starts_with("{SHA}"));
        EXPECT_EQ(sha.back(), '=');
    }
}

TEST(PasswordForm, LoginKeyVector) {
    const std::string cert(256, 'a');
    std::string cert_ab;
    for (int i = 0; i < 128; ++i) cert_ab += "ab";
    char key[LIBPWD_KEY_SIZE];
    // python3: hashlib.sha1(b'KELPOadminsecret' + b'ab' * 128).hexdigest()
    ASSERT_EQ(libpwd_build_key("admin", "secret", 1, cert_ab.c_str(), key, sizeof(key)), 0);
    EXPECT_STREQ(key, "99fc894aa8651e38304aaa716b26270b9ca0a618");
    // The version does not enter the key; every part does.
    char other[LIBPWD_KEY_SIZE];
    ASSERT_EQ(libpwd_build_key("admin", "secret", 7, cert_ab.c_str(), other, sizeof(other)), 0);
    EXPECT_STREQ(other, key);
    ASSERT_EQ(libpwd_build_key("admin", "secreT", 1, cert_ab.c_str(), other, sizeof(other)), 0);
    EXPECT_STRNE(other, key);
    // hashlib.sha1(b'KELPO').hexdigest()
    ASSERT_EQ(libpwd_build_key(nullptr, nullptr, 1, nullptr, other, sizeof(other)), 0);
    EXPECT_STREQ(other, "c41d98d94299c87e8ffec9cb235b4f9fed5237e9");
}

TEST(PasswordForm, KeyBufferTooSmallFails) {
    char key[40];
    std::string log = logged_at(
        LOG_DBG, [&] { EXPECT_EQ(libpwd_build_key("u", "p", 1, "c", key, sizeof(key)), -1); });
    EXPECT_STREQ(key, "");
    EXPECT_THAT(log, HasSubstr("expr[ret != FALSE]: assert failed"));
}

TEST(PasswordForm, KeyLogMasksPasswordAndKey) {
    char key[LIBPWD_KEY_SIZE];
    std::string log = logged_at(
        LOG_VERB, [&] { libpwd_build_key("admin", "hunter2", 1, "c0ffee", key, sizeof(key)); });
    EXPECT_THAT(log, HasSubstr("user=[admin] pwd=[***] cert=[c0ffee]"));
    EXPECT_THAT(log, Not(HasSubstr("hunter2")));
    // The key answers the challenge: whoever reads the log must not be able to log in with it.
    EXPECT_THAT(log, HasSubstr("lkey=[***]"));
    EXPECT_THAT(log, Not(HasSubstr(key)));
    EXPECT_STREQ(libpwd_log_mask("hunter2"), "***");
    EXPECT_STREQ(libpwd_log_mask(""), "");
    EXPECT_STREQ(libpwd_log_mask(nullptr), "");
}

// ---- connection-key encipherment ------------------------------------------------------------

TEST(Encipher, Rc4Base64Vectors) {
    char out[64];
    // Published RC4 vectors: ("Secret", "Attack at dawn") and ("Key", "Plaintext").
    ASSERT_EQ(libpwd_encrypt_b64("Attack at dawn", "Secret", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "RaAfZF/DWzg1UlRLm/U=");
    ASSERT_EQ(libpwd_encrypt_b64("Plaintext", "Key", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "u/MW6NlArwrT");

    char plain[64];
    ASSERT_EQ(libpwd_decrypt_b64("RaAfZF/DWzg1UlRLm/U=", "Secret", plain, sizeof(plain)), 0);
    EXPECT_STREQ(plain, "Attack at dawn");

    const std::string long_key(300, 'k');
    ASSERT_EQ(libpwd_encrypt_b64("p@ss:w/rd", long_key.c_str(), out, sizeof(out)), 0);
    ASSERT_EQ(libpwd_decrypt_b64(out, long_key.c_str(), plain, sizeof(plain)), 0);
    EXPECT_STREQ(plain, "p@ss:w/rd");
}

TEST(Encipher, BadInputFailsCleanly) {
    // "u/MW6NlArwrT" decodes to 9 bytes.
    struct {
        const char* b64;
        const char* key;
        size_t out_size;
        int expected;
    } cases[] = {
        {"u/MW6NlArwrT", "Key", 10, 0},
        {"u/MW6NlArwrT", "Key", 9, -1},  // fills out: no NUL room
        {"u/MW6NlArwrT", "Key", 4, -1},
        {"u/MW6NlArwrT", "", 64, -1},
        {"u/MW6NlArwrT", nullptr, 64, -1},
        {"", "Key", 64, -1},
        {"@@@@", "Key", 64, -1},

        {"====", "Key", 64, -1},
        {nullptr, "Key", 64, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.b64 ? c.b64 : "(null)") + " size " + std::to_string(c.out_size));
        char out[64];
        std::memset(out, 'X', sizeof(out));
        EXPECT_EQ(libpwd_decrypt_b64(c.b64, c.key, out, c.out_size), c.expected);
        if (c.expected == 0) {
            EXPECT_STREQ(out, "Plaintext");
        } else {
            EXPECT_EQ(out[0], '\0');
        }
        // Nothing written past the given size.
        for (size_t i = c.out_size; i < sizeof(out); ++i) ASSERT_EQ(out[i], 'X') << i;
    }
    char small[12];
    EXPECT_EQ(libpwd_encrypt_b64("Plaintext", "Key", small, sizeof(small)), -1);  // needs 13
    EXPECT_EQ(libpwd_encrypt_b64("Plaintext", "", small, sizeof(small)), -1);
    char exact[13];
    EXPECT_EQ(libpwd_encrypt_b64("Plaintext", "Key", exact, sizeof(exact)), 0);
    EXPECT_EQ(libpwd_encrypt_b64("", "Key", exact, sizeof(exact)), 0);
    EXPECT_STREQ(exact, "");
}

// ---- password checks ------------------------------------------------------------------------

TEST_F(Credentials, PasswordChecks) {
    EXPECT_EQ(login("127.0.0.1", kPwd), 0);
    EXPECT_EQ(login("127.0.0.1", kShaSecret), 0);  // the form a client sends
    EXPECT_EQ(login("127.0.0.2", "Secret"), 1);
    EXPECT_STREQ(err_, "Wrong user or password");
    EXPECT_EQ(login("127.0.0.3", kPwd, "root"), 1);
    EXPECT_STREQ(err_, "Wrong user or password");
    EXPECT_EQ(login("127.0.0.4", nullptr), 1);
    EXPECT_EQ(login("127.0.0.5", kPwd, nullptr), 1);
    EXPECT_EQ(libpwd_check_user_pwd(nullptr, kUser, kPwd, nullptr, 0), 0);
}

TEST_F(Credentials, WrongPasswordIsMaskedInTheLog) {
    std::string log = logged_at(LOG_DBG, [&] { login("127.0.0.2", "hunter2"); });
    EXPECT_THAT(log, HasSubstr("ip=[127.0.0.2] wrong pwd [***]"));
    EXPECT_THAT(log, Not(HasSubstr("hunter2")));
    log = logged_at(LOG_DBG, [&] { login("127.0.0.2", ""); });
    EXPECT_THAT(log, HasSubstr("ip=[127.0.0.2] wrong pwd []"));
    // A user name cannot forge a second log line.
    log = logged_at(LOG_DBG, [&] { login("127.0.0.3", "x", "evil\nip=[1] [admin] login_ok"); });
    EXPECT_THAT(log, HasSubstr("wrong user [evil?ip=[1] [admin] login_ok]"));
}

TEST_F(Credentials, SetUserPwdRefusesCharacters) {
    const char* refused_users[] = {"a b", "a;b", "a/b", "a\\b", "a\"b",
                                   "a'b", "a?b", "a:b", "a@b",  "a#b"};
    for (const char* user : refused_users) {
        SCOPED_TRACE(user);
        EXPECT_EQ(libpwd_set_user_pwd(user, "ok", err_, sizeof(err_)), -1);
        EXPECT_STREQ(err_, "user is invalid, Cannot use [;/\\\"'?:@# ]");
    }
    EXPECT_EQ(libpwd_set_user_pwd("ok", "pass word", err_, sizeof(err_)), -1);
    EXPECT_STREQ(err_, "passwd is invalid, Cannot use [;/\\\"'?:@# ]");
    EXPECT_EQ(libpwd_set_user_pwd("ok", std::string(4096, 'p').c_str(), err_, sizeof(err_)), -1);
    EXPECT_EQ(login("127.0.0.1", kPwd), 0);  // nothing changed

    ASSERT_EQ(libpwd_set_user_pwd("bob", "n3w-Pass", err_, sizeof(err_)), 0);
    EXPECT_EQ(login("127.0.0.1", kPwd), 1);
    EXPECT_EQ(login("127.0.0.1", "n3w-Pass", "bob"), 0);
    EXPECT_EQ(login("127.0.0.1", libpwd_sha_pwd("n3w-Pass").c_str(), "bob"), 0);
}

TEST_F(Credentials, AddedUsersLogInWithTheirOwnPasswordsOnly) {
    ASSERT_EQ(libpwd_add_user("alice", "a-pass"), 0);
    ASSERT_EQ(libpwd_add_user("bob", libpwd_sha_pwd("b-pass").c_str()), 0);
    EXPECT_EQ(libpwd_add_user("alice", "other"), -1);  // a name is taken once
    EXPECT_EQ(libpwd_add_user(kUser, "other"), -1);
    EXPECT_EQ(login("127.0.0.1", kPwd), 0);
    EXPECT_EQ(login("127.0.0.1", "a-pass", "alice"), 0);
    EXPECT_EQ(login("127.0.0.1", libpwd_sha_pwd("b-pass").c_str(), "bob"), 0);
    EXPECT_EQ(login("127.0.0.2", "a-pass", "bob"), 1);
    EXPECT_EQ(login("127.0.0.3", kPwd, "alice"), 1);
    // A challenge for an added user answers with its own key.
    char cert[LIBPWD_CERT_SIZE], key[LIBPWD_KEY_SIZE], expected[LIBPWD_KEY_SIZE];
    ASSERT_EQ(libpwd_user_get_cert("127.0.0.1", 1, nullptr, "alice", cert, sizeof(cert), key,
                                   sizeof(key), err_, sizeof(err_)),
              0);
    ASSERT_EQ(libpwd_build_key("alice", "a-pass", 1, cert, expected, sizeof(expected)), 0);
    EXPECT_STREQ(key, expected);
    // A new configuration drops them.
    libpwd_exit();
    start(3, 60, 0, "");
    EXPECT_EQ(login("127.0.0.4", "a-pass", "alice"), 1);
}

TEST_F(Credentials, ConfiguredShaFormAcceptsTheClientsForm) {
    libpwd_exit();
    libpwd_conf conf;
    conf.user = kUser;
    conf.pwd = kShaSecret;
    ASSERT_EQ(libpwd_init(&conf), 0);
    EXPECT_EQ(login("127.0.0.1", kShaSecret), 0);
}

TEST_F(Credentials, OverlongConfigurationFails) {
    libpwd_exit();
    libpwd_conf conf;
    std::string huge(LIBPWD_TEXT_SIZE, 'u');
    conf.user = huge.c_str();
    EXPECT_EQ(libpwd_init(&conf), -1);
}

// ---- throttling -----------------------------------------------------------------------------

TEST_F(Credentials, ThirdFailureLocksTheAddress) {
    const char* ip = "127.0.0.10";
    EXPECT_EQ(login(ip, "bad"), 1);
    EXPECT_EQ(login(ip, "bad"), 1);
    EXPECT_EQ(login(ip, "bad"), 1);
    advance_ms(1000);
    EXPECT_EQ(login(ip, kPwd), 2);  // even the right password
    EXPECT_STREQ(err_, "Login failed 3 times, Please try again in 59.98 minutes");
    EXPECT_EQ(login("127.0.0.11", kPwd), 0);  // other addresses are not affected

    advance_ms(60 * 60000 - 1000 - 1);
    EXPECT_EQ(login(ip, kPwd), 2);
    EXPECT_STREQ(err_, "Login failed 3 times, Please try again in 0.00 minutes");
    advance_ms(1);
    EXPECT_EQ(login(ip, kPwd), 0);  // lock expired
}

// The check and the count are one step: of many wrong passwords at the same moment, exactly as
// many are checked as the limit allows, and the rest find the address locked.
TEST_F(Credentials, SimultaneousFailuresStopAtTheLimit) {
    constexpr int kAttempts = 400;
    std::atomic<int> checked{0}, locked{0}, ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kAttempts; ++i) {
        threads.emplace_back([&] {
            ++ready;
            while (ready.load() < kAttempts) std::this_thread::yield();
            char err[256];
            const int ret = libpwd_check_user_pwd("127.0.0.40", kUser, "bad", err, sizeof(err));
            ++(ret == 2 ? locked : checked);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(checked.load(), 3);
    EXPECT_EQ(locked.load(), kAttempts - 3);
}

TEST_F(Credentials, SuccessClearsTheCount) {
    const char* ip = "127.0.0.20";
    EXPECT_EQ(login(ip, "bad"), 1);
    EXPECT_EQ(login(ip, "bad"), 1);
    EXPECT_EQ(login(ip, kPwd), 0);
    EXPECT_EQ(login(ip, "bad"), 1);
    EXPECT_EQ(login(ip, "bad"), 1);
    EXPECT_EQ(login(ip, kPwd), 0);
}

TEST_F(Credentials, ProbeAndWrongUserCountDifferently) {
    const char* ip = "127.0.0.30";
    for (int i = 0; i < 5; ++i) EXPECT_EQ(login(ip, "", ":"), 1);  // probes never count
    EXPECT_EQ(login(ip, kPwd), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(login(ip, kPwd, "mallory"), 1);
    EXPECT_EQ(login(ip, kPwd), 2);
}

TEST_F(Credentials, FullTableEvictsOldestFailuresFirst) {
    libpwd_exit();
    start(2, 60, 3, "");
    char err[128];
    auto fail = [&](const char* ip) {
        ASSERT_EQ(ipcheck(ip, err, sizeof(err)), 0);
        ipcheck_login_fail(ip, kUser);
    };
    ASSERT_EQ(ipcheck("127.0.1.1", err, sizeof(err)), 0);  // a: never fails
    advance_ms(100);
    fail("127.0.1.2");  // b: one failure, oldest
    advance_ms(100);
    fail("127.0.1.3");  // c: one failure
    EXPECT_EQ(ipcheck_tracked(), 3u);
    fail("127.0.1.4");  // d: evicts a (never failed) only
    EXPECT_EQ(ipcheck_tracked(), 3u);
    ASSERT_EQ(ipcheck("127.0.1.5", err, sizeof(err)), 0);  // e: evicts b, the oldest failure
    EXPECT_EQ(ipcheck_tracked(), 3u);

    fail("127.0.1.2");  // b starts over (evicting e, never failed): one failure, not locked
    EXPECT_EQ(ipcheck("127.0.1.2", err, sizeof(err)), 0);
    ipcheck_login_fail("127.0.1.3", kUser);  // c kept its first failure: now locked
    EXPECT_EQ(ipcheck("127.0.1.3", err, sizeof(err)), 2);
}

TEST_F(Credentials, ZeroLimitSwitchesThrottlingOff) {
    libpwd_exit();
    std::string log = logged_at(LOG_DBG, [&] { start(0, 0, 0, ""); });
    EXPECT_THAT(log, HasSubstr("dvsd_login_fail_count==0 stop ipcheck"));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(login("127.0.0.40", "bad"), 1);
    EXPECT_EQ(login("127.0.0.40", kPwd), 0);
    EXPECT_EQ(ipcheck_tracked(), 0u);
}

TEST_F(Credentials, LoginLogRecordsEvents) {
    const dvtest::TempDir dir("libpwd_test");
    libpwd_exit();
    start(3, 60, 0, dir.at("login.log"));
    login("127.0.0.50", "bad");
    login("127.0.0.50", kPwd);
    login("127.0.0.50", kPwd, "x\n\tinfo\tadmin");
    libpwd_exit();  // closes the log

    EXPECT_EQ(dvtest::read_file(dir.at("login.log")),
              "\twarn\tadmin\tlogin\tlogin failed form 127.0.0.50\n"
              "\tinfo\tadmin\tlogin\tlogin from 127.0.0.50\n"
              "\twarn\tx??info?admin\tlogin\tlogin failed form 127.0.0.50\n");
    start(3, 60, 0, "");
}

// ---- challenge login ------------------------------------------------------------------------

TEST_F(Credentials, ChallengeLogin) {
    const char* ip = "127.0.0.60";
    char cert[LIBPWD_CERT_SIZE];
    char expected[LIBPWD_KEY_SIZE];
    int version = 0;
    ASSERT_EQ(libpwd_user_get_cert(ip, 1, &version, kUser, cert, sizeof(cert), expected,
                                   sizeof(expected), err_, sizeof(err_)),
              0);
    EXPECT_EQ(version, 1);
    EXPECT_EQ(std::string(cert).size(), 256u);
    EXPECT_EQ(std::string(cert).find_first_not_of("0123456789abcdef"), std::string::npos);

    // The client computes the same key from its own password and the certificate.
    char answer[LIBPWD_KEY_SIZE];
    ASSERT_EQ(libpwd_build_key(kUser, kPwd, 1, cert, answer, sizeof(answer)), 0);
    EXPECT_STREQ(answer, expected);
    // Neither the right key nor a wrong one shows in the log.
    std::string log = logged_at(LOG_DBG, [&] {
        EXPECT_EQ(libpwd_check_key(ip, "0123456789012345678901234567890123456789", expected, err_,
                                   sizeof(err_)),
                  1);
        EXPECT_EQ(libpwd_check_key(ip, answer, expected, err_, sizeof(err_)), 0);
    });
    EXPECT_THAT(log, HasSubstr("wrong key [***]"));
    EXPECT_THAT(log, HasSubstr("key=[***] login_ok"));
    EXPECT_THAT(log, Not(HasSubstr(answer)));
    EXPECT_THAT(log, Not(HasSubstr("0123456789012345678901234567890123456789")));

    // Certificates are fresh each time.
    std::set<std::string> certs;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(libpwd_user_get_cert(ip, 1, nullptr, kUser, cert, sizeof(cert), expected,
                                       sizeof(expected), nullptr, 0),
                  0);
        certs.insert(cert);
    }
    EXPECT_EQ(certs.size(), 5u);

    EXPECT_EQ(libpwd_user_get_cert(ip, 1, nullptr, "root", cert, sizeof(cert), expected,
                                   sizeof(expected), err_, sizeof(err_)),
              1);
    EXPECT_STREQ(err_, "Wrong user or password");
    EXPECT_STREQ(cert, "");
    EXPECT_EQ(libpwd_check_key(ip, "", "", err_, sizeof(err_)), 1);  // no expected key, no login
}

TEST_F(Credentials, WrongKeysLockTheAddress) {
    const char* ip = "127.0.0.70";
    char cert[LIBPWD_CERT_SIZE];
    char expected[LIBPWD_KEY_SIZE];
    auto wrong_answer = [&] {
        ASSERT_EQ(libpwd_user_get_cert(ip, 1, nullptr, kUser, cert, sizeof(cert), expected,
                                       sizeof(expected), err_, sizeof(err_)),
                  0);
        EXPECT_EQ(libpwd_check_key(ip, "0000000000000000000000000000000000000000", expected, err_,
                                   sizeof(err_)),
                  1);
        EXPECT_STREQ(err_, "Wrong user or password");
    };
    wrong_answer();
    wrong_answer();
    char held[LIBPWD_KEY_SIZE];
    ASSERT_EQ(libpwd_user_get_cert(ip, 1, nullptr, kUser, cert, sizeof(cert), held, sizeof(held),
                                   err_, sizeof(err_)),
              0);
    wrong_answer();  // third failure: locked
    EXPECT_EQ(libpwd_user_get_cert(ip, 1, nullptr, kUser, cert, sizeof(cert), expected,
                                   sizeof(expected), err_, sizeof(err_)),
              2);
    EXPECT_THAT(err_, HasSubstr("Login failed 3 times"));
    // A key obtained before the lock is refused too.
    EXPECT_EQ(libpwd_check_key(ip, held, held, err_, sizeof(err_)), 2);
}

// ---- certificates are unpredictable ---------------------------------------------------------

TEST_F(Credentials, CertificatesDoNotRepeat) {
    std::set<std::string> prefixes;
    char cert[LIBPWD_CERT_SIZE];
    char key[LIBPWD_KEY_SIZE];
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(libpwd_user_get_cert("127.0.0.80", 1, nullptr, kUser, cert, sizeof(cert), key,
                                       sizeof(key), nullptr, 0),
                  0);
        // Even the first 16 bytes never repeat.
        EXPECT_TRUE(prefixes.insert(std::string(cert, 32)).second) << cert;
    }
}

// Two processes of one parent whose credentials start at the same instant: a generator whose
// state lives in the process (seeded from the time, or seeded in the parent and copied by fork)
// would hand both the same first certificate.
TEST(CertificateSource, ModulesStartedTogetherDiffer) {
    {
        // The parent has made a certificate before: whatever state that left is copied.
        libpwd_conf conf;
        conf.user = kUser;
        conf.pwd = kPwd;
        ASSERT_EQ(libpwd_init(&conf), 0);
        char cert[LIBPWD_CERT_SIZE];
        char key[LIBPWD_KEY_SIZE];
        ASSERT_EQ(libpwd_user_get_cert("127.0.0.1", 1, nullptr, kUser, cert, sizeof(cert), key,
                                       sizeof(key), nullptr, 0),
                  0);
        libpwd_exit();
    }
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<std::pair<pid_t, int>> children;
    for (int i = 0; i < 2; ++i) {
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(go[1]);
            close(out[0]);
            char byte;
            if (read(go[0], &byte, 1) != 0) _exit(2);  // released by the parent's close
            libpwd_conf conf;
            conf.user = kUser;
            conf.pwd = kPwd;
            char cert[LIBPWD_CERT_SIZE] = "";
            char key[LIBPWD_KEY_SIZE];
            if (libpwd_init(&conf) != 0 ||
                libpwd_user_get_cert("127.0.0.1", 1, nullptr, kUser, cert, sizeof(cert), key,
                                     sizeof(key), nullptr, 0) != 0) {
                _exit(1);
            }
            const size_t n = std::strlen(cert);
            _exit(write(out[1], cert, n) == static_cast<ssize_t>(n) ? 0 : 1);
        }
        close(out[1]);
        children.emplace_back(pid, out[0]);
    }
    close(go[0]);
    close(go[1]);  // both start now
    std::vector<std::string> certs;
    for (const auto& [pid, fd] : children) {
        std::string text;
        char buf[512];
        for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;) text.append(buf, size_t(n));
        close(fd);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        certs.push_back(text);
    }
    ASSERT_EQ(certs.size(), 2u);
    EXPECT_EQ(certs[0].size(), 256u);
    EXPECT_NE(certs[0], certs[1]);
}
