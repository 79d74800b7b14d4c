// The serving side over a socket pair: logins, the requests served so far, and what closes a
// connection.
#include "libdvsrv/dvsrv.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "lib/test_support/tls_certs.h"
#include "libdvsd/sd_frame.h"
#include "libdvsd/sd_msg.h"
#include "libpwd/libpwd.h"

namespace {

struct reply {
    int status = SD_FRAME_NET_ERROR;  // of the frame read
    uint8_t protocol = 0;
    uint8_t code = 0;
    bool parsed = false;  // every field of the request's reply table is there
    int32_t error = 0;
    std::string text;
    std::vector<uint8_t> root;
};

// A client connection served on a thread of its own.
class Conn final {
  public:
    Conn(dvsrv* server, const char* peer = "192.0.2.50") {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
        client_.sock = sock_from_fd(fds[0]);
        client_.timeout_ms = 5000;
        served_ = std::thread([server, fd = fds[1], address = std::string(peer)] {
            net_handle handle;
            handle.sock = sock_from_fd(fd);
            dvsrv_serve(server, &handle, address.c_str());
            net_close(&handle);
        });
    }
    // A client on a socket already connected to a listening server.
    explicit Conn(int connected_fd) {
        client_.sock = sock_from_fd(connected_fd);
        client_.timeout_ms = 5000;
    }
    ~Conn() { close(); }
    void close() {
        if (client_.sock != 0) net_close(&client_);
        if (served_.joinable()) served_.join();
    }

    // Sends `msg` as request `code` and reads one frame: errno, errno_str and, for a few codes, the
    // text of the reply's further field.
    reply call(uint8_t code, const sd_frame_msg& msg) {
        send(code, msg);
        return receive(code);
    }
    void send(uint8_t code, const sd_frame_msg& msg) {
        net_sock_stream stream(&client_);
        EXPECT_EQ(sd_frame_write(stream, SD_FRAME_PROTOCOL, code, msg.root()), SD_FRAME_OK);
    }
    void send_raw(std::span<const uint8_t> bytes) {
        net_sock_stream stream(&client_);
        size_t done = 0;
        EXPECT_EQ(stream.write_full(bytes, &done), 0);
    }
    reply receive(uint8_t code) {
        net_sock_stream stream(&client_);
        reply r;
        sd_frame_head head;
        r.status = sd_frame_read(stream, &r.root, &head);
        if (r.status != SD_FRAME_OK) return r;
        r.protocol = head.protocol;
        r.code = head.code;
        r.root.resize(head.padded_len);
        // Codes without a table of their own (unknown ones) answer errno and errno_str.
        static constexpr blobmsg_policy kHead[] = {{SDF_ERRNO, BLOBMSG_TYPE_INT32},
                                                   {SDF_ERRNO_STR, BLOBMSG_TYPE_STRING}};
        auto table = sd_reply_table(code, false);
        if (table.empty()) table = kHead;
        std::vector<const blob_attr*> tb(table.size());
        r.parsed = cli_blobmsg_parse(table.data(), static_cast<int>(tb.size()), tb.data(),
                                     r.root.data() + 4, head.padded_len - 4) == 0;
        if (!r.parsed) return r;
        r.error = blobmsg_get_int32(tb[SD_ERRNO]);
        r.text = blobmsg_get_string(tb[SD_ERRNO_STR]);
        if (r.error != 0) return r;
        if (code == SD_REQ_IOCTL) {
            const char* data = reinterpret_cast<const char*>(blobmsg_data(tb[SD_IOCTL_DATA]));
            r.text.assign(data, strnlen(data, blobmsg_data_len(tb[SD_IOCTL_DATA])));
        } else if (code == SD_REQ_INFO) {
            r.text = blobmsg_get_string(tb[SD_INFO_INFO]);
        } else if (code == SD_REQ_KEY_LOGIN1) {
            r.text = blobmsg_get_string(tb[SD_KEY_LOGIN_CERT]);
        }
        return r;
    }
    reply login(const char* user, const char* pwd) {
        sd_frame_msg msg;
        msg.reset();
        msg.add_string(SDF_USER, user);
        msg.add_string(SDF_PASSWD, pwd);
        return call(SD_REQ_LOGIN, msg);
    }
    reply challenge(const char* user) {
        sd_frame_msg msg;
        msg.reset();
        msg.add_string(SDF_USER, user);
        msg.add_int32(SDF_VER, 1);
        return call(SD_REQ_KEY_LOGIN1, msg);
    }
    reply answer(const char* key) {
        sd_frame_msg msg;
        msg.reset();
        msg.add_string(SDF_LKEY, key);
        return call(SD_REQ_KEY_LOGIN2, msg);
    }
    void send_control(int32_t cmd, const std::string& text) {
        net_sock_stream stream(&client_);
        sd_frame_msg msg = control_msg(cmd, text);
        EXPECT_EQ(sd_frame_write(stream, SD_FRAME_PROTOCOL, SD_REQ_IOCTL, msg.root()), SD_FRAME_OK);
    }
    reply control(int32_t cmd, const std::string& text) {
        return call(SD_REQ_IOCTL, control_msg(cmd, text));
    }
    static sd_frame_msg control_msg(int32_t cmd, const std::string& text) {
        sd_frame_msg msg;
        msg.reset();
        msg.add_int64(SDF_FD, 0);
        msg.add_int32(SDF_CMD, static_cast<uint32_t>(cmd));
        msg.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, text.c_str(), text.size() + 1);
        msg.add_int32(SDF_OLEN, 4096);
        return msg;
    }

  private:
    net_handle client_;
    std::thread served_;
};

class Server : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("dvsrv_test." + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        conf_.root = dir_.string();
        conf_.user = "joe";
        conf_.passwd = "secret";
    }
    void TearDown() override {
        disconnect();
        dvsrv_close(server_);
        std::filesystem::remove_all(dir_);
    }

    void start() {
        std::string err;
        server_ = dvsrv_open(conf_, &err);
        ASSERT_NE(server_, nullptr) << err;
    }

    // A new connection served on a thread of its own, from `peer`.
    void connect(const char* peer = "192.0.2.1") {
        disconnect();
        conn_ = std::make_unique<Conn>(server_, peer);
    }
    void disconnect() { conn_.reset(); }

    void send_raw(std::span<const uint8_t> bytes) { conn_->send_raw(bytes); }
    void send(uint8_t code, const sd_frame_msg& msg) { conn_->send(code, msg); }
    reply receive(uint8_t code) { return conn_->receive(code); }
    reply login(const char* user, const char* pwd) { return conn_->login(user, pwd); }
    reply request(uint8_t code) {
        sd_frame_msg msg;
        EXPECT_EQ(msg.reset(), 0);
        return conn_->call(code, msg);
    }

    std::filesystem::path dir_;
    dvsrv_conf conf_;
    dvsrv* server_ = nullptr;
    std::unique_ptr<Conn> conn_;
};

struct login_case {
    const char* name;
    bool anonymous;
    const char* user;
    std::string pwd;
    int32_t error;
};

void PrintTo(const login_case& c, std::ostream* os) {
    *os << c.name;
}

TEST_F(Server, LoginTable) {
    const login_case cases[] = {
        {"probe, anonymous", true, ":", "", 0},
        {"probe, credentials required", false, ":", "", 1},
        {"right password", false, "joe", "secret", 0},
        {"right password, {SHA} form", false, "joe", libpwd_sha_pwd("secret"), 0},
        {"wrong password", false, "joe", "Secret", -38},
        {"{SHA} form of a wrong password", false, "joe", libpwd_sha_pwd("other"), -38},
        {"wrong user", false, "ann", "secret", -38},
        {"password login on an anonymous server, wrong password", true, "joe", "x", -38},
    };
    for (const login_case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c));
        conf_.anonymous = c.anonymous;
        dvsrv_close(server_);
        server_ = nullptr;
        start();
        connect();
        reply r = login(c.user, c.pwd.c_str());
        ASSERT_EQ(r.status, SD_FRAME_OK);
        EXPECT_TRUE(r.parsed);
        EXPECT_EQ(r.protocol, 1);
        EXPECT_EQ(r.code, SD_REQ_LOGIN);
        EXPECT_EQ(r.error, c.error);
        if (c.error == -38) {
            EXPECT_EQ(r.text, "Wrong user or password");
        }
        // Admitted or not, the connection serves information only after a login.
        reply info = request(SD_REQ_INFO);
        if (c.error == 0) {
            EXPECT_EQ(info.status, SD_FRAME_OK);
            EXPECT_EQ(info.error, 0);
        } else {
            EXPECT_EQ(info.status, SD_FRAME_NET_ERROR);
        }
        disconnect();
    }
}

TEST_F(Server, RepeatedFailuresLockTheAddressOnly) {
    start();
    connect("192.0.2.7");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(login("joe", "guess").error, -38);
    // The right password no longer helps from that address ...
    reply locked = login("joe", "secret");
    EXPECT_EQ(locked.error, -38);
    EXPECT_NE(locked.text.find("Login failed 3 times"), std::string::npos) << locked.text;
    // ... nor on a new connection from it; probes were never counted.
    connect("192.0.2.7");
    EXPECT_EQ(login("joe", "secret").error, -38);
    // Another address is not affected.
    connect("192.0.2.8");
    EXPECT_EQ(login("joe", "secret").error, 0);
}

TEST_F(Server, ProbesAreNotCountedAsFailures) {
    start();
    connect("192.0.2.9");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(login(":", "").error, 1);
    EXPECT_EQ(login("joe", "secret").error, 0);
}

TEST_F(Server, InfoAfterLogin) {
    start();
    connect();
    ASSERT_EQ(login("joe", "secret").error, 0);
    reply r = request(SD_REQ_INFO);
    ASSERT_EQ(r.status, SD_FRAME_OK);
    ASSERT_TRUE(r.parsed);
    EXPECT_EQ(r.code, SD_REQ_INFO);
    EXPECT_EQ(r.text.rfind("ver=[1.7.8]\n", 0), 0u) << r.text;
    for (const char* key : {"\nplat=[linux]\n", "\narch=[", "\nbit=[", "\norder=[", "\nis_root=[",
                            "\nnodes=[", "\nstale_temps=[1]\n"}) {
        EXPECT_NE(r.text.find(key), std::string::npos) << key;
    }
    EXPECT_LT(r.text.size() + 1, 512u);
}

TEST_F(Server, UnknownCodeAfterLoginGetsAnErrorAndTheConnectionGoesOn) {
    start();
    connect();
    ASSERT_EQ(login("joe", "secret").error, 0);
    for (uint8_t code : {uint8_t{0}, uint8_t{77}, uint8_t{255}}) {
        reply r = request(code);
        ASSERT_EQ(r.status, SD_FRAME_OK);
        EXPECT_TRUE(r.parsed);
        EXPECT_EQ(r.code, code);
        EXPECT_EQ(r.error, -12);
        EXPECT_FALSE(r.text.empty());
    }
    EXPECT_EQ(request(SD_REQ_INFO).error, 0);
}

TEST_F(Server, QuitEndsTheConnectionWithoutAReply) {
    start();
    connect();
    ASSERT_EQ(login("joe", "secret").error, 0);
    sd_frame_msg msg;
    ASSERT_EQ(msg.reset(), 0);
    send(SD_REQ_QUIT, msg);
    EXPECT_EQ(receive(SD_REQ_QUIT).status, SD_FRAME_NET_ERROR);
}

// Requests other than a login, and frames that are too big or not frames, end the connection
// before a login.
TEST_F(Server, BeforeLoginTheConnectionIsClosed) {
    start();
    connect();
    EXPECT_EQ(request(SD_REQ_INFO).status, SD_FRAME_NET_ERROR);

    connect();
    EXPECT_EQ(request(77).status, SD_FRAME_NET_ERROR);

    // A head announcing a frame above the login cap; the rest never comes.
    connect();
    const uint32_t len = (64u << 10) + 16;
    const uint32_t word = (2u << 24) | len;
    const uint8_t big[] = {
        'D',          'V', 1, 1, uint8_t(word >> 24), uint8_t(word >> 16), uint8_t(word >> 8),
        uint8_t(word)};
    send_raw(big);
    EXPECT_EQ(receive(SD_REQ_LOGIN).status, SD_FRAME_NET_ERROR);

    connect();
    const uint8_t bad_magic[] = {'X', 'V', 1, 1, 0x02, 0, 0, 4};
    send_raw(bad_magic);
    EXPECT_EQ(receive(SD_REQ_LOGIN).status, SD_FRAME_NET_ERROR);
}

TEST_F(Server, AfterLoginLargeFramesAreRead) {
    start();
    connect();
    ASSERT_EQ(login("joe", "secret").error, 0);
    sd_frame_msg msg;
    ASSERT_EQ(msg.reset(), 0);
    std::vector<uint8_t> data(1 << 20, 'x');
    ASSERT_TRUE(msg.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, data.data(), data.size()));
    send(99, msg);
    EXPECT_EQ(receive(99).error, -12);
}

// A second login as another user on the same connection: the old user's open files are gone,
// paths resolve in the new user's root, and its rights (read-only) and addresses apply.
TEST_F(Server, AnotherUsersLoginOnTheConnectionTakesNothingOver) {
    std::filesystem::create_directories(dir_ / "alice");
    std::filesystem::create_directories(dir_ / "bob");
    {
        FILE* f = fopen((dir_ / "alice" / "mine").c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs("a", f);
        fclose(f);
    }
    dvsrv_user alice{.name = "alice",
                     .passwd = "a-pass",
                     .root = (dir_ / "alice").string(),
                     .read_only = false,
                     .hosts_allow = ""};
    dvsrv_user bob{.name = "bob",
                   .passwd = "b-pass",
                   .root = (dir_ / "bob").string(),
                   .read_only = true,
                   .hosts_allow = ""};
    dvsrv_user far{.name = "far",
                   .passwd = "f-pass",
                   .root = "",
                   .read_only = false,
                   .hosts_allow = "10.0.0.0/8"};
    conf_.users = {alice, bob, far};
    start();
    connect();
    auto path_msg = [](const char* path, uint64_t mode) {
        sd_frame_msg m;
        m.reset();
        m.add_string(SDF_PATH, path);
        m.add_int64(SDF_MODE, mode);
        return m;
    };
    ASSERT_EQ(login("alice", "a-pass").error, 0);
    reply opened = conn_->call(SD_REQ_OPEN, path_msg("mine", SD_OPEN_READ));
    ASSERT_EQ(opened.error, 0) << opened.text;
    auto table = sd_reply_table(SD_REQ_OPEN, true);
    std::vector<const blob_attr*> tb(table.size());
    ASSERT_EQ(cli_blobmsg_parse(table.data(), static_cast<int>(tb.size()), tb.data(),
                                opened.root.data() + 4, opened.root.size() - 4),
              0);
    const uint64_t fd = static_cast<uint64_t>(blobmsg_get_int64(tb[SD_FD_FD]));

    ASSERT_EQ(login("bob", "b-pass").error, 0);
    sd_frame_msg read_msg;
    read_msg.reset();
    read_msg.add_int64(SDF_FD, fd);
    read_msg.add_int32(SDF_LEN, 16);
    EXPECT_NE(conn_->call(SD_REQ_READ, read_msg).error, 0);
    EXPECT_NE(conn_->call(SD_REQ_OPEN, path_msg("mine", SD_OPEN_READ)).error, 0);
    const reply refused = conn_->call(SD_REQ_OPEN, path_msg("new", SD_OPEN_WRITE | SD_OPEN_CREATE));
    EXPECT_EQ(refused.error, -113);
    EXPECT_EQ(refused.text, "write-protect: read-only access");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "bob" / "new"));

    // A user outside its addresses is refused, and the connection is no one's.
    const reply far_login = login("far", "f-pass");
    EXPECT_EQ(far_login.error, -38);
    EXPECT_EQ(far_login.text, "Login from 192.0.2.1 not allowed");
    EXPECT_EQ(request(SD_REQ_INFO).status, SD_FRAME_NET_ERROR);
}

TEST_F(Server, ServerWideAddressListsRefuseBeforeAnyPassword) {
    conf_.hosts_deny = "192.0.2.0/24";
    start();
    connect("192.0.2.7");
    const reply r = login("joe", "wrong");
    EXPECT_EQ(r.error, -38);
    EXPECT_EQ(r.text, "Login from 192.0.2.7 not allowed");
    connect("198.51.100.1");
    EXPECT_EQ(login("joe", "secret").error, 0);
}

TEST(ServerConf, RefusedSettings) {
    std::string err;
    dvsrv_conf conf;
    EXPECT_EQ(dvsrv_open(conf, &err), nullptr);  // no root
    conf.root = "/";
    EXPECT_EQ(dvsrv_open(conf, &err), nullptr);  // neither a user nor anonymous=1
    conf.anonymous = true;
    conf.root = "/proc/self/status";
    EXPECT_EQ(dvsrv_open(conf, &err), nullptr);  // not a directory
    EXPECT_NE(err.find("not a directory"), std::string::npos) << err;

    EXPECT_EQ(dvsrv_conf_set(&conf, "port", "65536", &err), -1);
    EXPECT_EQ(dvsrv_conf_set(&conf, "port", "-1", &err), -1);
    EXPECT_EQ(dvsrv_conf_set(&conf, "anonymous", "yes", &err), -1);
    EXPECT_EQ(dvsrv_conf_set(&conf, "colour", "1", &err), -1);
    // A zero login time or connection limit would turn every client away.
    EXPECT_EQ(dvsrv_conf_set(&conf, "login_timeout", "0", &err), -1);
    EXPECT_EQ(dvsrv_conf_set(&conf, "max_connections", "0", &err), -1);
    EXPECT_EQ(dvsrv_conf_set(&conf, "port", "0", &err), 0);
    EXPECT_EQ(conf.port, 0u);
}

// A TLS listener needs all three keys and files that load; then it is announced after the
// plain one.
TEST(ServerConf, TlsListenerSettings) {
    const auto& certs = dvtest::tls_certs();
    ASSERT_TRUE(certs.server.ok() && certs.other.ok()) << "openssl made no certificates";
    dvtest::TempDir root("dvsrv-tls-conf");
    struct tls_case {
        const char* name;
        std::vector<std::pair<const char*, std::string>> keys;
        const char* error;  // null: opens
        bool tls_only = false;
    };
    const std::string missing = root / "missing.pem";
    const tls_case cases[] = {
        {"PortWithoutFiles", {{"ssl_port", "0"}}, "ssl_port= needs ssl_cert= and ssl_key="},
        {"FilesWithoutPort",
         {{"ssl_cert", certs.server.cert}, {"ssl_key", certs.server.key}},
         "ssl_cert= and ssl_key= need ssl_port="},
        {"MissingCert",
         {{"ssl_port", "0"}, {"ssl_cert", missing}, {"ssl_key", certs.server.key}},
         "ssl_cert="},
        {"KeyOfAnotherCert",
         {{"ssl_port", "0"}, {"ssl_cert", certs.server.cert}, {"ssl_key", certs.other.key}},
         "does not belong"},
        {"Complete",
         {{"ssl_port", "0"}, {"ssl_cert", certs.server.cert}, {"ssl_key", certs.server.key}},
         nullptr},
        {"PortOffWithoutTls", {{"port", "off"}}, "port=off needs ssl_port="},
        {"TlsOnly",
         {{"port", "off"},
          {"ssl_port", "0"},
          {"ssl_cert", certs.server.cert},
          {"ssl_key", certs.server.key}},
         nullptr,
         true},
    };
    for (const tls_case& c : cases) {
        SCOPED_TRACE(c.name);
        dvsrv_conf conf;
        std::string err;
        conf.root = root.path();
        conf.anonymous = true;
        conf.listen = "127.0.0.1";
        conf.port = 0;
        for (const auto& [key, value] : c.keys) {
            ASSERT_EQ(dvsrv_conf_set(&conf, key, value, &err), 0) << err;
        }
        dvsrv* server = dvsrv_open(conf, &err);
        if (c.error != nullptr) {
            EXPECT_EQ(server, nullptr);
            EXPECT_NE(err.find(c.error), std::string::npos) << err;
            continue;
        }
        ASSERT_NE(server, nullptr) << err;
        ASSERT_EQ(dvsrv_listen(server, &err), 0) << err;
        const auto urls = dvsrv_listen_urls(server);
        if (c.tls_only) {
            ASSERT_EQ(urls.size(), 1u);
            EXPECT_EQ(urls[0].rfind("dvps://127.0.0.1:", 0), 0u) << urls[0];
            dvsrv_close(server);
            continue;
        }
        ASSERT_EQ(urls.size(), 2u);
        EXPECT_EQ(urls[0].rfind("dvp://127.0.0.1:", 0), 0u) << urls[0];
        EXPECT_EQ(urls[1].rfind("dvps://127.0.0.1:", 0), 0u) << urls[1];
        EXPECT_NE(urls[0].substr(6), urls[1].substr(7));
        dvsrv_close(server);
    }
    dvsrv_conf conf;
    std::string err;
    EXPECT_EQ(dvsrv_conf_set(&conf, "ssl_port", "65536", &err), -1);
}

}  // namespace

// ---- several connections at once: key logins and the contexts a repair relies on ----

class ServerContexts : public Server {
  protected:
    void SetUp() override {
        Server::SetUp();
        start();
    }
};

TEST_F(ServerContexts, KeyLogin) {
    conf_.key_login = true;
    dvsrv_close(server_);
    start();
    Conn c(server_, "192.0.2.60");
    // The probe and a password login are told to use the key login.
    reply probe = c.login(":", "");
    EXPECT_EQ(probe.error, 1);
    EXPECT_EQ(probe.protocol, 2);
    EXPECT_EQ(c.login("joe", "secret").error, -38);

    // An answer without a challenge, then a challenge answered twice: one attempt per challenge.
    EXPECT_EQ(c.answer("0123").error, -38);
    reply cert = c.challenge("joe");
    ASSERT_EQ(cert.error, 0);
    ASSERT_EQ(cert.text.size(), 256u);
    EXPECT_EQ(cert.text.find_first_not_of("0123456789abcdef"), std::string::npos);
    char key[LIBPWD_KEY_SIZE];
    ASSERT_EQ(libpwd_build_key("joe", "secret", 1, cert.text.c_str(), key, sizeof(key)), 0);
    EXPECT_EQ(c.answer(key).error, 0);
    EXPECT_EQ(c.control(103, "0").error, 0);  // logged in
    EXPECT_EQ(c.answer(key).error, -38);

    // Every challenge is new; an unknown user gets one too and fails only at the answer.
    Conn d(server_, "192.0.2.61");
    reply second = d.challenge("joe");
    EXPECT_NE(second.text, cert.text);
    reply stranger = d.challenge("ann");
    ASSERT_EQ(stranger.error, 0);
    EXPECT_EQ(stranger.text.size(), 256u);
    ASSERT_EQ(libpwd_build_key("ann", "secret", 1, stranger.text.c_str(), key, sizeof(key)), 0);
    EXPECT_EQ(d.answer(key).error, -38);
}

// The client counts every request it sends, the login probe and refused requests included, and
// compares with what the server reports when its connection broke.
TEST_F(ServerContexts, CountingAddressAndReattach) {
    auto c = std::make_unique<Conn>(server_);
    EXPECT_EQ(c->login(":", "").error, 1);          // 1
    ASSERT_EQ(c->login("joe", "secret").error, 0);  // 2
    EXPECT_EQ(c->control(101, "0").error, 0);       // 3
    reply address = c->control(102, "");            // 4
    ASSERT_EQ(address.error, 0);
    ASSERT_FALSE(address.text.empty());
    EXPECT_NE(address.text, "0");
    EXPECT_EQ(c->control(102, "").text, address.text);  // 5: the same context
    EXPECT_EQ(c->control(99999, "").error, -12);        // 6
    reply index = c->control(103, "0");                 // 7
    EXPECT_EQ(index.text, "6");
    sd_frame_msg info;
    info.reset();
    info.add_string(SDF_PARAM, "");
    reply last = c->call(SD_REQ_INFO, info);  // 8
    ASSERT_EQ(last.error, 0);
    c->close();

    // A new connection: its own count starts from its login; the old context kept its own.
    Conn d(server_);
    ASSERT_EQ(d.login("joe", "secret").error, 0);
    EXPECT_EQ(d.control(107, address.text).error, 0);
    EXPECT_EQ(d.control(106, address.text).text, "0");
    EXPECT_EQ(d.control(103, address.text).text, "8");
    // The response lost on the way comes again, byte for byte, as the answer to 105.
    d.send_control(105, address.text);
    reply replay = d.receive(SD_REQ_INFO);
    ASSERT_EQ(replay.status, SD_FRAME_OK);
    EXPECT_EQ(replay.code, SD_REQ_INFO);
    EXPECT_EQ(replay.root, last.root);
    // Attached: the count goes on from the old context's, and neither 105 nor 104 counted.
    EXPECT_EQ(d.control(104, address.text).error, 0);
    EXPECT_EQ(d.control(103, "0").text, "8");
    EXPECT_EQ(d.control(103, "0").text, "9");
    EXPECT_EQ(d.control(102, "").text, address.text);
}

TEST_F(ServerContexts, AttachRefusals) {
    conf_.anonymous = true;
    dvsrv_close(server_);
    start();
    auto c = std::make_unique<Conn>(server_);
    ASSERT_EQ(c->login("joe", "secret").error, 0);
    c->control(101, "0");
    const std::string address = c->control(102, "").text;

    // While its connection lives, nobody else attaches to it.
    Conn other(server_);
    ASSERT_EQ(other.login("joe", "secret").error, 0);
    EXPECT_NE(other.control(104, address).error, 0);
    c->close();

    // Another user (here: an anonymous client), an unknown or malformed address: refused.
    Conn anonymous(server_);
    ASSERT_EQ(anonymous.login(":", "").error, 0);
    for (const std::string& text :
         {address, std::string("12345"), std::string("x1"), std::string("")}) {
        SCOPED_TRACE(text);
        EXPECT_NE(anonymous.control(104, text).error, 0);
        EXPECT_NE(anonymous.control(103, text).error, 0);
    }
    // The owner still can.
    EXPECT_EQ(other.control(104, address).error, 0);

    // A context that was not made persistent ends with its connection.
    auto e = std::make_unique<Conn>(server_);
    ASSERT_EQ(e->login("joe", "secret").error, 0);
    const std::string fleeting = e->control(102, "").text;
    e->close();
    Conn f(server_);
    ASSERT_EQ(f.login("joe", "secret").error, 0);
    EXPECT_NE(f.control(104, fleeting).error, 0);
}

TEST_F(ServerContexts, StopEndsTheOldConnection) {
    Conn c(server_);
    ASSERT_EQ(c.login("joe", "secret").error, 0);
    c.control(101, "0");
    const std::string address = c.control(102, "").text;
    // The old connection is still open (a half-dead link); 107 from a new one ends it so that
    // the new one can attach.
    Conn d(server_);
    ASSERT_EQ(d.login("joe", "secret").error, 0);
    EXPECT_EQ(d.control(107, address).error, 0);
    EXPECT_EQ(c.receive(SD_REQ_IOCTL).status, SD_FRAME_NET_ERROR);
    for (int i = 0; i < 100 && d.control(104, address).error != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(d.control(103, "0").text, "3");
}

TEST_F(ServerContexts, RefusedAndUnknownControls) {
    Conn c(server_);
    ASSERT_EQ(c.login("joe", "secret").error, 0);
    // Commands, settings and credentials are never run or rewritten for a client.
    for (int32_t cmd : {10, 11, 10002, 10003, 10004, 10005, 10100, 10101, 10107, 10113}) {
        SCOPED_TRACE(cmd);
        reply r = c.control(cmd, "id");
        EXPECT_TRUE(r.parsed);
        EXPECT_EQ(r.error, -37);
    }
    EXPECT_EQ(c.control(424242, "").error, -12);
}

// Every request and control code the client library sends gets a reply that parses with its
// table, whatever the body, and the connection goes on.
TEST_F(ServerContexts, EveryCodeGetsAWellFormedReply) {
    Conn c(server_);
    ASSERT_EQ(c.login("joe", "secret").error, 0);
    const uint8_t requests[] = {3,  4,  5,  6,  7,  9,  10, 11, 12, 13, 14, 15, 16, 19, 21,
                                22, 23, 24, 25, 26, 27, 28, 29, 30, 41, 42, 43, 44, 50};
    for (uint8_t code : requests) {
        SCOPED_TRACE(int(code));
        sd_frame_msg empty;
        empty.reset();
        reply r = c.call(code, empty);
        ASSERT_EQ(r.status, SD_FRAME_OK);
        EXPECT_EQ(r.code, code);
        EXPECT_TRUE(r.parsed);
    }
    const int32_t with_output[] = {
        10,    11,    10001, 10002, 10003, 10004, 10005, 10050, 10100, 10101, 10103, 10104, 10105,
        10106, 10107, 10108, 10109, 10110, 10111, 10112, 10113, 10120, 10121, 10122, 10123, 10130,
        10131, 10132, 10133, 10134, 10135, 10136, 10138, 101,   102,   103,   106,   107};
    for (int32_t cmd : with_output) {
        SCOPED_TRACE(cmd);
        reply r = c.control(cmd, "x\t1");
        ASSERT_EQ(r.status, SD_FRAME_OK);
        EXPECT_TRUE(r.parsed);
    }
    const int32_t without_output[] = {10001, 10013, 10014, 10015, 10016, 10018, 10019, 10020,
                                      10021, 10022, 10023, 10024, 10025, 10026, 10027, 10028,
                                      10029, 10030, 10035, 10036, 10037, 10038, 10039, 10100,
                                      10101, 10102, 10103, 10104, 10105};
    for (int32_t cmd : without_output) {
        SCOPED_TRACE(cmd);
        sd_frame_msg msg;
        msg.reset();
        msg.add_int64(SDF_FD, 0);
        msg.add_int32(SDF_CMD, static_cast<uint32_t>(cmd));
        msg.add_int32(SDF_LEN, 4);
        msg.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, "x\t1", 4);
        reply r = c.call(SD_REQ_FILE_IOCTL, msg);
        ASSERT_EQ(r.status, SD_FRAME_OK);
        EXPECT_TRUE(r.parsed);
        // Only what the server does is accepted; the rest is refused, not ignored.
        const bool served = cmd == 10013 || cmd == 10029 || cmd == 10030 ||
                            (cmd >= 10036 && cmd <= 10039) || cmd == 10100 || cmd == 10105;
        if (!served) {
            EXPECT_EQ(r.error, -37);
        }
    }
    EXPECT_EQ(c.control(103, "0").error, 0);
}

// ---- whose contexts, and how guessable their addresses are ----

namespace {

// Logs `c` in as `user` ("" for the anonymous client, through the probe).
int32_t login_as(Conn& c, const std::string& user) {
    return user.empty() ? c.login(":", "").error : c.login(user.c_str(), "secret").error;
}

// A persistent context of `user` on a connection of its own, with a response to repeat.
std::string make_context(Conn& c, const std::string& user) {
    EXPECT_EQ(login_as(c, user), 0);
    EXPECT_EQ(c.control(101, "0").error, 0);
    reply address = c.control(102, "");
    EXPECT_EQ(address.error, 0);
    EXPECT_EQ(c.control(103, "0").error, 0);
    return address.text;
}

// What a client of another user gets for each context code on `address`: a refusal, never the
// context's count, status, stop or repeated response.
void expect_refused(Conn& other, const std::string& address) {
    for (int32_t code : {103, 106, 107, 104}) {
        SCOPED_TRACE(code);
        reply r = other.control(code, address);
        EXPECT_TRUE(r.parsed);
        EXPECT_NE(r.error, 0);
    }
    other.send_control(105, address);
    reply replay = other.receive(SD_REQ_IOCTL);
    ASSERT_EQ(replay.status, SD_FRAME_OK);
    EXPECT_EQ(replay.code, SD_REQ_IOCTL) << "the response of another user's request came back";
    EXPECT_NE(replay.error, 0);
}

}  // namespace

TEST_F(ServerContexts, AContextIsAttachedOnlyByItsOwnUser) {
    conf_.anonymous = true;
    dvsrv_close(server_);
    start();
    for (const auto& [owner, stranger] :
         {std::pair<std::string, std::string>{"joe", ""}, {"", "joe"}}) {
        SCOPED_TRACE("owner [" + owner + "], stranger [" + stranger + "]");
        auto c = std::make_unique<Conn>(server_);
        const std::string address = make_context(*c, owner);
        Conn other(server_);
        ASSERT_EQ(login_as(other, stranger), 0);
        expect_refused(other, address);
        // The stop was refused: the owner's connection goes on, its count untouched but for the
        // request that asks for it.
        EXPECT_EQ(c->control(103, "0").text, "4");
        // Once the owner's connection is gone, the context waits for a repair: still not the
        // stranger's.
        c->close();
        expect_refused(other, address);
        Conn back(server_);
        ASSERT_EQ(login_as(back, owner), 0);
        EXPECT_EQ(back.control(104, address).error, 0);
        EXPECT_EQ(back.control(103, "0").text, "5");
    }
}

// A connection whose context has an address and on which another user then logs in does not
// hand that context to the new user's other connections: the address is withdrawn.
TEST_F(ServerContexts, ALoginAsAnotherUserWithdrawsTheAddress) {
    conf_.anonymous = true;
    dvsrv_close(server_);
    start();
    auto c = std::make_unique<Conn>(server_);
    const std::string address = make_context(*c, "joe");
    ASSERT_EQ(login_as(*c, ""), 0);
    const std::string second = c->control(102, "").text;
    EXPECT_NE(second, address);
    EXPECT_NE(second, "");
    c->close();
    for (const std::string user : {"", "joe"}) {
        SCOPED_TRACE("[" + user + "]");
        Conn d(server_);
        ASSERT_EQ(login_as(d, user), 0);
        EXPECT_NE(d.control(104, address).error, 0);
    }
}

TEST_F(ServerContexts, AddressesDoNotRepeatAndUseAllTheirBits) {
    std::set<std::string> seen;
    size_t high = 0;
    constexpr int kContexts = 300;
    for (int i = 0; i < kContexts; ++i) {
        Conn c(server_);
        ASSERT_EQ(c.login("joe", "secret").error, 0);
        const std::string text = c.control(102, "").text;
        ASSERT_FALSE(text.empty());
        EXPECT_TRUE(seen.insert(text).second) << "address repeated: " << text;
        if (std::stoull(text) >> 63) ++high;
    }
    // A counter or a 32-bit generator would leave the top bit alone.
    EXPECT_GT(high, size_t{kContexts / 5});
    EXPECT_LT(high, size_t{kContexts * 4 / 5});
}

// Two servers started at the same instant in two processes: a generator seeded with the time
// would give both the same first address.
TEST(ServerRandomness, ServersStartedTogetherGiveDifferentAddresses) {
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<std::pair<pid_t, int>> children;
    for (int i = 0; i < 2; ++i) {
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(go[1]);
            ::close(out[0]);
            char byte;
            if (read(go[0], &byte, 1) != 0) _exit(2);  // released by the parent's close
            const auto dir =
                std::filesystem::temp_directory_path() / ("dvsrv_rand." + std::to_string(getpid()));
            std::filesystem::create_directories(dir);
            dvsrv_conf conf;
            conf.root = dir.string();
            conf.user = "joe";
            conf.passwd = "secret";
            std::string err;
            dvsrv* server = dvsrv_open(conf, &err);
            std::string text;
            if (server != nullptr) {
                Conn c(server);
                if (c.login("joe", "secret").error == 0) text = c.control(102, "").text;
                c.close();
                dvsrv_close(server);
            }
            std::filesystem::remove_all(dir);
            const bool sent = !text.empty() && write(out[1], text.data(), text.size()) ==
                                                   static_cast<ssize_t>(text.size());
            _exit(sent ? 0 : 1);
        }
        ::close(out[1]);
        children.emplace_back(pid, out[0]);
    }
    ::close(go[0]);
    ::close(go[1]);  // both start now
    std::vector<std::string> addresses;
    for (const auto& [pid, fd] : children) {
        std::string text;
        char buf[64];
        for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;) text.append(buf, size_t(n));
        ::close(fd);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        addresses.push_back(text);
    }
    ASSERT_EQ(addresses.size(), 2u);
    EXPECT_FALSE(addresses[0].empty());
    EXPECT_NE(addresses[0], addresses[1]);
}

// ---- throttling over real connections, each from its own loopback address ----

class ServerOnLoopback : public Server {
  protected:
    void SetUp() override {
        Server::SetUp();
        conf_.listen = "127.0.0.1";
        conf_.port = 0;
        start();
        std::string err;
        ASSERT_EQ(dvsrv_listen(server_, &err), 0) << err;
        const std::string url = dvsrv_listen_urls(server_).at(0);
        port_ = static_cast<uint16_t>(std::stoi(url.substr(url.rfind(':') + 1)));
        runner_ = std::thread([this] { dvsrv_run(server_); });
    }
    void TearDown() override {
        dvsrv_stop(server_);
        if (runner_.joinable()) runner_.join();
        Server::TearDown();
    }

    // A connection whose source address is `source` (any of 127.0.0.0/8).
    std::unique_ptr<Conn> from(const char* source) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_GE(fd, 0);
        sockaddr_in src{};
        src.sin_family = AF_INET;
        inet_pton(AF_INET, source, &src.sin_addr);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof(src)), 0) << source;
        sockaddr_in dst{};
        dst.sin_family = AF_INET;
        dst.sin_port = htons(port_);
        inet_pton(AF_INET, "127.0.0.1", &dst.sin_addr);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof(dst)), 0);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        return std::make_unique<Conn>(fd);
    }

    uint16_t port_ = 0;
    std::thread runner_;
};

namespace {

// A key login: the challenge for `user`, answered with the key of `pwd`.
reply key_login(Conn& c, const char* user, const char* pwd) {
    reply cert = c.challenge(user);
    if (cert.error != 0) return cert;
    char key[LIBPWD_KEY_SIZE];
    EXPECT_EQ(libpwd_build_key(user, pwd, 1, cert.text.c_str(), key, sizeof(key)), 0);
    return c.answer(key);
}

bool locked(const reply& r) {
    return r.error != 0 && r.text.find("Login failed 3 times") != std::string::npos;
}

}  // namespace

// Three failures from one address, by password, by key or mixed, lock that address for either
// login; every other address goes on logging in.
TEST_F(ServerOnLoopback, FailuresLockTheirAddressOnly) {
    struct attempt {
        const char* name;
        std::function<reply(Conn&)> fail;
    };
    const attempt ways[] = {
        {"password", [](Conn& c) { return c.login("joe", "guess"); }},
        {"key", [](Conn& c) { return key_login(c, "joe", "guess"); }},
        {"unknown user's key", [](Conn& c) { return key_login(c, "ann", "secret"); }},
        {"wrong user's password", [](Conn& c) { return c.login("ann", "secret"); }},
    };
    int host = 2;
    for (const attempt& way : ways) {
        SCOPED_TRACE(way.name);
        const std::string attacker = "127.0.0." + std::to_string(host++);
        auto a = from(attacker.c_str());
        for (int i = 0; i < 3; ++i) {
            reply r = way.fail(*a);
            EXPECT_EQ(r.error, -38);
            EXPECT_FALSE(locked(r)) << i;
        }
        // Locked for both logins, on this connection and on a new one from the address.
        EXPECT_TRUE(locked(a->login("joe", "secret")));
        auto again = from(attacker.c_str());
        EXPECT_TRUE(locked(again->login("joe", "secret")));
        EXPECT_TRUE(locked(again->challenge("joe")));
        EXPECT_EQ(again->control(103, "0").status, SD_FRAME_NET_ERROR);  // never logged in
        // Meanwhile another address logs in either way.
        const std::string other = "127.0.0." + std::to_string(100 + host);
        EXPECT_EQ(from(other.c_str())->login("joe", "secret").error, 0);
        EXPECT_EQ(key_login(*from(other.c_str()), "joe", "secret").error, 0);
    }
    // A mix of the ways counts together.
    auto mixed = from("127.0.0.50");
    EXPECT_EQ(mixed->login("joe", "guess").error, -38);
    EXPECT_EQ(key_login(*mixed, "joe", "guess").error, -38);
    EXPECT_EQ(key_login(*mixed, "ann", "guess").error, -38);
    EXPECT_TRUE(locked(key_login(*mixed, "joe", "secret")));
    // A success before the limit starts the count again.
    auto forgiven = from("127.0.0.51");
    EXPECT_EQ(forgiven->login("joe", "guess").error, -38);
    EXPECT_EQ(forgiven->login("joe", "guess").error, -38);
    EXPECT_EQ(key_login(*forgiven, "joe", "secret").error, 0);
    EXPECT_EQ(forgiven->login("joe", "guess").error, -38);
    EXPECT_EQ(forgiven->login("joe", "guess").error, -38);
    EXPECT_EQ(forgiven->login("joe", "secret").error, 0);
}
