// The serving side over a socket pair: logins, the requests served so far, and what closes a
// connection.
#include "libdvsrv/dvsrv.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>

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
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
        client_.sock = sock_from_fd(fds[0]);
        client_.timeout_ms = 5000;
        served_ = std::thread([this, fd = fds[1], address = std::string(peer)] {
            net_handle handle;
            handle.sock = sock_from_fd(fd);
            dvsrv_serve(server_, &handle, address.c_str());
            net_close(&handle);
        });
    }
    void disconnect() {
        if (client_.sock != 0) net_close(&client_);
        if (served_.joinable()) served_.join();
    }

    void send_raw(std::span<const uint8_t> bytes) {
        net_sock_stream stream(&client_);
        size_t done = 0;
        ASSERT_EQ(stream.write_full(bytes, &done), 0);
    }
    void send(uint8_t code, const sd_frame_msg& msg) {
        net_sock_stream stream(&client_);
        ASSERT_EQ(sd_frame_write(stream, SD_FRAME_PROTOCOL, code, msg.root()), SD_FRAME_OK);
    }
    reply receive(uint8_t code) {
        net_sock_stream stream(&client_);
        reply r;
        sd_frame_head head;
        r.status = sd_frame_read(stream, &r.root, &head);
        if (r.status != SD_FRAME_OK) return r;
        r.protocol = head.protocol;
        r.code = head.code;
        auto table = sd_reply_table(code, false);
        std::vector<const blob_attr*> tb(table.empty() ? SD_REPLY_HEAD_COUNT : table.size());
        static constexpr blobmsg_policy kHead[] = {{SDF_ERRNO, BLOBMSG_TYPE_INT32},
                                                   {SDF_ERRNO_STR, BLOBMSG_TYPE_STRING}};
        const blobmsg_policy* policy = table.empty() ? kHead : table.data();
        r.root.resize(head.padded_len);
        r.parsed = cli_blobmsg_parse(policy, static_cast<int>(tb.size()), tb.data(),
                                     r.root.data() + 4, head.padded_len - 4) == 0;
        if (r.parsed) {
            r.error = blobmsg_get_int32(tb[SD_ERRNO]);
            r.text = blobmsg_get_string(tb[SD_ERRNO_STR]);
            if (code == SD_REQ_INFO && r.error == 0) r.text = blobmsg_get_string(tb[SD_INFO_INFO]);
        }
        return r;
    }
    reply login(const char* user, const char* pwd) {
        sd_frame_msg msg;
        EXPECT_EQ(msg.reset(), 0);
        msg.add_string(SDF_USER, user);
        msg.add_string(SDF_PASSWD, pwd);
        send(SD_REQ_LOGIN, msg);
        return receive(SD_REQ_LOGIN);
    }
    reply request(uint8_t code) {
        sd_frame_msg msg;
        EXPECT_EQ(msg.reset(), 0);
        send(code, msg);
        return receive(code);
    }

    std::filesystem::path dir_;
    dvsrv_conf conf_;
    dvsrv* server_ = nullptr;
    net_handle client_;
    std::thread served_;
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
    for (const char* key :
         {"\nplat=[linux]\n", "\narch=[", "\nbit=[", "\norder=[", "\nis_root=["}) {
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

}  // namespace
