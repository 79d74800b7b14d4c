// The real dvsd on loopback: start-up refusals, the listening line, logins, information, quit and
// a clean stop on SIGTERM. The frames are built and read here byte by byte, so the test checks the
// server's wire format independently of the library that produces it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "system/support/dvsd_process.h"
#include "system/support/process.h"

namespace {

namespace fs = std::filesystem;

// ---- a minimal client of the wire format -------------------------------------------------------

void put_be32(std::vector<uint8_t>* out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out->push_back(uint8_t(v >> shift));
}
uint32_t get_be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

constexpr uint32_t kTypeString = 4;
constexpr uint32_t kTypeInt32 = 6;

// A named field: header word, 16-bit name length, name and NUL padded to 4, value padded to 4.
void add_field(std::vector<uint8_t>* root, uint32_t type, const std::string& name,
               const std::vector<uint8_t>& value) {
    const size_t value_at = 4 + ((name.size() + 6) & ~size_t{3});
    const size_t raw = value_at + value.size();
    std::vector<uint8_t> field;
    put_be32(&field, 0x80000000u | type << 24 | uint32_t(raw));
    field.push_back(uint8_t(name.size() >> 8));
    field.push_back(uint8_t(name.size()));
    field.insert(field.end(), name.begin(), name.end());
    field.resize(value_at, 0);
    field.insert(field.end(), value.begin(), value.end());
    field.resize((raw + 3) & ~size_t{3}, 0);
    root->insert(root->end(), field.begin(), field.end());
}
void add_string(std::vector<uint8_t>* root, const std::string& name, const std::string& text) {
    std::vector<uint8_t> value(text.begin(), text.end());
    value.push_back(0);
    add_field(root, kTypeString, name, value);
}

std::vector<uint8_t> frame(uint8_t code, const std::vector<uint8_t>& fields) {
    std::vector<uint8_t> out = {'D', 'V', 1, code};
    put_be32(&out, (2u << 24) | uint32_t(4 + fields.size()));
    out.insert(out.end(), fields.begin(), fields.end());
    return out;
}

struct response {
    bool closed = false;  // the server closed instead of answering
    uint8_t protocol = 0;
    uint8_t code = 0;
    std::map<std::string, std::vector<uint8_t>> fields;

    int32_t errno_field() const { return int32_t(get_be32(fields.at("errno").data())); }
    std::string text(const std::string& name) const {
        const auto& v = fields.at(name);
        return std::string(reinterpret_cast<const char*>(v.data()),
                           strnlen(reinterpret_cast<const char*>(v.data()), v.size()));
    }
};

class client {
  public:
    explicit client(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval tv{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~client() { close(fd_); }
    bool connected() const { return connected_; }

    void send(uint8_t code, const std::vector<uint8_t>& fields) {
        auto bytes = frame(code, fields);
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }
    response receive() {
        response r;
        uint8_t head[8];
        if (!read_all(head, 8)) {
            r.closed = true;
            return r;
        }
        EXPECT_EQ(head[0], 'D');
        EXPECT_EQ(head[1], 'V');
        r.protocol = head[2];
        r.code = head[3];
        const uint32_t word = get_be32(head + 4);
        EXPECT_EQ(word >> 24, 2u);
        const size_t padded = ((word & 0xffffff) + 3) & ~size_t{3};
        std::vector<uint8_t> body(padded - 4);
        EXPECT_TRUE(read_all(body.data(), body.size()));
        for (size_t at = 0; at + 8 <= body.size();) {
            const uint32_t h = get_be32(&body[at]);
            const size_t raw = h & 0xffffff;
            const size_t name_len = size_t(body[at + 4]) << 8 | body[at + 5];
            const size_t value_at = 4 + ((name_len + 6) & ~size_t{3});
            if (raw < value_at || at + raw > body.size()) {
                ADD_FAILURE() << "malformed field at " << at;
                break;
            }
            std::string name(reinterpret_cast<const char*>(&body[at + 6]), name_len);
            r.fields[name].assign(body.begin() + long(at + value_at),
                                  body.begin() + long(at + raw));
            at += (raw + 3) & ~size_t{3};
        }
        return r;
    }
    response login(const std::string& user, const std::string& pwd) {
        std::vector<uint8_t> fields;
        add_string(&fields, "user", user);
        add_string(&fields, "passwd", pwd);
        send(1, fields);
        return receive();
    }

  private:
    bool read_all(uint8_t* p, size_t len) {
        while (len > 0) {
            ssize_t n = recv(fd_, p, len, 0);
            if (n <= 0) return false;
            p += n;
            len -= size_t(n);
        }
        return true;
    }
    int fd_ = -1;
    bool connected_ = false;
};

class Dvsd : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("dvsd_test." + std::to_string(getpid()));
        fs::create_directories(dir_ / "root");
        root_ = (dir_ / "root").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
    std::string root_;
};

TEST_F(Dvsd, LoginInfoQuitOnLoopbackAndStopsOnSigterm) {
    systest::DvsdProcess server(
        {"root=" + root_, "listen=127.0.0.1", "port=0", "user=joe", "passwd=secret"});
    const std::string line = server.first_line();
    const int port = systest::port_of(line);
    ASSERT_GT(port, 0) << line;

    client c(port);
    ASSERT_TRUE(c.connected());
    response probe = c.login(":", "");
    ASSERT_FALSE(probe.closed);
    EXPECT_EQ(probe.protocol, 1);
    EXPECT_EQ(probe.code, 1);
    EXPECT_EQ(probe.errno_field(), 1);

    response wrong = c.login("joe", "nope");
    EXPECT_EQ(wrong.errno_field(), -38);
    EXPECT_EQ(wrong.text("errno_str"), "Wrong user or password");

    response ok = c.login("joe", "secret");
    ASSERT_FALSE(ok.closed);
    EXPECT_EQ(ok.errno_field(), 0);
    ASSERT_TRUE(ok.fields.count("os_type"));
    EXPECT_EQ(get_be32(ok.fields["os_type"].data()), 2u);

    c.send(4, {});
    response info = c.receive();
    ASSERT_FALSE(info.closed);
    EXPECT_EQ(info.code, 4);
    EXPECT_EQ(info.errno_field(), 0);
    EXPECT_EQ(info.text("info").rfind("ver=[1.7.8]", 0), 0u) << info.text("info");

    // A second client is served while the first stays connected.
    client other(port);
    ASSERT_TRUE(other.connected());
    EXPECT_EQ(other.login("joe", "secret").errno_field(), 0);

    c.send(2, {});
    EXPECT_TRUE(c.receive().closed);

    EXPECT_EQ(server.stop(SIGTERM), 0);
}

TEST_F(Dvsd, AnonymousFromAnIniFileAndStopsOnSigint) {
    const fs::path ini = dir_ / "dvsd.ini";
    std::ofstream(ini) << "[dvsd]\nroot = " << root_
                       << "\nanonymous = 1\nlisten = 127.0.0.1\nport = 0\n";
    systest::DvsdProcess server({"conf=" + ini.string()});
    const std::string line = server.first_line();
    const int port = systest::port_of(line);
    ASSERT_GT(port, 0) << line;

    client c(port);
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.login(":", "").errno_field(), 0);
    c.send(4, {});
    EXPECT_EQ(c.receive().errno_field(), 0);

    EXPECT_EQ(server.stop(SIGINT), 0);
}

TEST_F(Dvsd, RefusesToStart) {
    const std::string file = (dir_ / "plain").string();
    std::ofstream(file) << "x";
    const std::vector<std::vector<std::string>> cases = {
        {"anonymous=1", "listen=127.0.0.1", "port=0"},                  // no root
        {"root=" + file, "anonymous=1", "listen=127.0.0.1", "port=0"},  // not a directory
        {"root=" + root_ + "/missing", "anonymous=1", "port=0"},        // missing
        {"root=" + root_, "listen=127.0.0.1", "port=0"},                // no user, not anonymous
        {"root=" + root_, "anonymous=1", "port=70000"},                 // bad port
        {"root=" + root_, "anonymous=1", "listen=127.0.0.1", "port=0", "bogus"},
    };
    for (const auto& args : cases) {
        std::vector<std::string> argv = {DVSD_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        systest::RunOptions options;
        options.timeout = std::chrono::seconds(20);
        systest::RunResult r = systest::run_program(argv, options);
        EXPECT_TRUE(r.exited) << r.describe();
        EXPECT_EQ(r.exit_code, 1) << r.describe();
        EXPECT_EQ(r.out.find("listening"), std::string::npos) << r.describe();
        EXPECT_FALSE(r.err.empty()) << r.describe();
    }
}

TEST_F(Dvsd, PrintsItsVersion) {
    systest::RunResult r = systest::run_program({DVSD_BIN, "-v"});
    EXPECT_EQ(r.exit_code, 0) << r.describe();
    EXPECT_EQ(r.out, "1.7.8\n");
}

}  // namespace
