// The real dvsd against hostile clients on loopback: many connections at once, each sending one
// malformed, forged or out-of-order thing. Each gets an error reply or a closed connection, never
// a hang; the server stays up, its memory stays bounded, and an ordinary dvcp copy still works
// afterwards. Frames are built here byte by byte, so that what is sent is exactly what a hostile
// client would send, whatever the library would refuse to build.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lib/test_support/tls_certs.h"
#include "system/support/dvcp_test.h"
#include "system/support/dvsd_process.h"
#include "system/support/tree.h"

namespace systest {
namespace {

using bytes = std::vector<uint8_t>;

// Longest a hostile connection may go without an answer or a close: far above the server's
// login time-out (2 s here), so that only a real hang fails.
constexpr int kAnswerDeadlineMs = 15000;
constexpr size_t kFrameMax = size_t{16} << 20;

// ---- frames, by hand --------------------------------------------------------------------------

void put_be32(bytes* out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out->push_back(uint8_t(v >> shift));
}
void put_be64(bytes* out, uint64_t v) {
    for (int shift = 56; shift >= 0; shift -= 8) out->push_back(uint8_t(v >> shift));
}
uint32_t get_be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

enum : uint32_t { kBinary = 3, kString = 4, kInt64 = 5, kInt32 = 6 };

// A named field: header word, 16-bit name length, name and NUL padded to 4, value padded to 4.
void add_field(bytes* root, uint32_t type, const std::string& name, const bytes& value) {
    const size_t value_at = 4 + ((name.size() + 6) & ~size_t{3});
    const size_t raw = value_at + value.size();
    bytes field;
    put_be32(&field, 0x80000000u | type << 24 | uint32_t(raw));
    field.push_back(uint8_t(name.size() >> 8));
    field.push_back(uint8_t(name.size()));
    field.insert(field.end(), name.begin(), name.end());
    field.resize(value_at, 0);
    field.insert(field.end(), value.begin(), value.end());
    field.resize((raw + 3) & ~size_t{3}, 0);
    root->insert(root->end(), field.begin(), field.end());
}
void add_string(bytes* root, const std::string& name, const std::string& text) {
    bytes value(text.begin(), text.end());
    value.push_back(0);
    add_field(root, kString, name, value);
}
void add_i32(bytes* root, const std::string& name, uint32_t v) {
    bytes value;
    put_be32(&value, v);
    add_field(root, kInt32, name, value);
}
void add_i64(bytes* root, const std::string& name, uint64_t v) {
    bytes value;
    put_be64(&value, v);
    add_field(root, kInt64, name, value);
}
void add_binary(bytes* root, const std::string& name, const std::string& data) {
    add_field(root, kBinary, name, bytes(data.begin(), data.end()));
}

// A frame whose root length is `root_len` (the real one when 0), fields as given.
bytes frame(uint8_t code, const bytes& fields, uint32_t root_len = 0) {
    bytes out = {'D', 'V', 1, code};
    put_be32(&out, (2u << 24) | (root_len != 0 ? root_len : uint32_t(4 + fields.size())));
    out.insert(out.end(), fields.begin(), fields.end());
    return out;
}

bytes login_frame() {
    bytes fields;
    add_string(&fields, "user", ":");
    add_string(&fields, "passwd", "");
    return frame(1, fields);
}

bytes login_frame(const std::string& user, const std::string& password) {
    bytes fields;
    add_string(&fields, "user", user);
    add_string(&fields, "passwd", password);
    return frame(1, fields);
}

// Request 20: a control without output.
bytes control20_frame(uint64_t fd, int32_t cmd, const std::string& text) {
    bytes fields;
    add_i64(&fields, "fd", fd);
    add_i32(&fields, "cmd", uint32_t(cmd));
    add_binary(&fields, "data", text + std::string(1, '\0'));
    add_i32(&fields, "len", uint32_t(text.size() + 1));
    return frame(20, fields);
}

bytes control_frame(int32_t cmd, const std::string& text, uint32_t olen) {
    bytes fields;
    add_i64(&fields, "fd", 0);
    add_i32(&fields, "cmd", uint32_t(cmd));
    add_binary(&fields, "data", text);
    add_i32(&fields, "olen", olen);
    return frame(8, fields);
}

// ---- one hostile connection --------------------------------------------------------------------

enum class outcome { closed, error_reply, ok_reply, hang };

const char* name_of(outcome o) {
    switch (o) {
        case outcome::closed:
            return "closed";
        case outcome::error_reply:
            return "error reply";
        case outcome::ok_reply:
            return "successful reply";
        default:
            return "no answer (hang)";
    }
}

class conn {
  public:
    explicit conn(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~conn() { close(fd_); }
    conn(const conn&) = delete;
    conn& operator=(const conn&) = delete;

    bool ok() const { return ok_; }
    // Sends everything; false when the server closed first (that is an answer too).
    bool send(const bytes& data) {
        size_t at = 0;
        while (at < data.size()) {
            const ssize_t n = ::send(fd_, data.data() + at, data.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return false;
            at += size_t(n);
        }
        return true;
    }
    void end_writing() { shutdown(fd_, SHUT_WR); }
    // Whether the server has closed the connection (nothing is read that is still to come).
    bool closed_now() {
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, 0) <= 0) return false;
        uint8_t b;
        return recv(fd_, &b, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
    }

    // The next response: its errno and fields, or how the connection ended.
    outcome receive(std::map<std::string, bytes>* fields = nullptr) {
        uint8_t head[8];
        const int got = read_all(head, sizeof(head));
        if (got <= 0) return got == 0 ? outcome::closed : outcome::hang;
        if (head[0] != 'D' || head[1] != 'V') return outcome::closed;
        const size_t padded = ((get_be32(head + 4) & 0xffffff) + 3) & ~size_t{3};
        bytes body(padded - 4);
        const int rest = read_all(body.data(), body.size());
        if (rest <= 0) return rest == 0 ? outcome::closed : outcome::hang;
        std::map<std::string, bytes> found;
        for (size_t at = 0; at + 8 <= body.size();) {
            const size_t raw = get_be32(&body[at]) & 0xffffff;
            const size_t name_len = size_t(body[at + 4]) << 8 | body[at + 5];
            const size_t value_at = 4 + ((name_len + 6) & ~size_t{3});
            if (raw < value_at || at + raw > body.size()) break;
            found[std::string(reinterpret_cast<const char*>(&body[at + 6]), name_len)].assign(
                body.begin() + long(at + value_at), body.begin() + long(at + raw));
            at += (raw + 3) & ~size_t{3};
        }
        const auto err = found.find("errno");
        const bool failed =
            err == found.end() || err->second.size() != 4 || get_be32(err->second.data()) != 0;
        if (fields != nullptr) *fields = std::move(found);
        return failed ? outcome::error_reply : outcome::ok_reply;
    }
    // Sends a request and expects success; its fields.
    std::map<std::string, bytes> exchange(const bytes& request) {
        std::map<std::string, bytes> fields;
        if (!send(request) || receive(&fields) != outcome::ok_reply) fields.clear();
        return fields;
    }
    // Anonymous login; false when it failed.
    bool login() { return !exchange(login_frame()).empty(); }
    bool login(const std::string& user, const std::string& password) {
        return !exchange(login_frame(user, password)).empty();
    }
    // Posts worker command `cmd` (10134, 10135, ...) and collects until its first results came:
    // their text, or "" when the post failed or nothing came in time.
    std::string worker_run(int32_t cmd, const std::string& text) {
        if (exchange(control_frame(cmd, text, 0)).empty()) return "";
        for (int i = 0; i < 20; ++i) {
            auto reply = exchange(control_frame(10132, "", 1u << 20));
            const auto data = reply.find("data");
            if (data == reply.end()) return "";
            if (!data->second.empty()) return std::string(data->second.begin(), data->second.end());
        }
        return "";
    }
    // Opens `path` with open(2) flags; the file number, or 0.
    uint64_t open(const std::string& path, uint32_t flags) {
        bytes fields;
        add_string(&fields, "path", path);
        add_i32(&fields, "flag", flags);
        add_i32(&fields, "mode", 0644);
        auto reply = exchange(frame(25, fields));
        const auto fd = reply.find("fd");
        if (fd == reply.end() || fd->second.size() != 8) return 0;
        return uint64_t(get_be32(fd->second.data())) << 32 | get_be32(fd->second.data() + 4);
    }

  private:
    // 1 when all came, 0 when the server closed, -1 when nothing came in time.
    int read_all(uint8_t* p, size_t len) {
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerDeadlineMs);
        while (len > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  until - std::chrono::steady_clock::now())
                                  .count();
            pollfd pfd{fd_, POLLIN, 0};
            if (left <= 0 || poll(&pfd, 1, int(left)) <= 0) return -1;
            const ssize_t n = recv(fd_, p, len, 0);
            if (n <= 0) return 0;  // a close or a reset
            p += n;
            len -= size_t(n);
        }
        return 1;
    }

    int fd_ = -1;
    bool ok_ = false;
};

// ---- the cases -------------------------------------------------------------------------------

struct hostile_case {
    const char* name;
    outcome expected;
    // Sends the hostile thing (setting up what it needs first); false when a setup step failed.
    std::function<bool(conn&)> send;
};

// A packed payload of 4 literal bytes, whatever length the request claims for it.
const std::string kTinyLz4(
    "\x40"
    "abcd",
    5);

std::vector<hostile_case> cases() {
    return {
        {"random bytes", outcome::closed,
         [](conn& c) {
             std::mt19937 gen(7);
             bytes noise(4096);
             for (auto& b : noise) b = uint8_t(gen());
             noise[0] = 'X';
             return c.send(noise) || true;
         }},
        {"bad magic", outcome::closed,
         [](conn& c) {
             bytes f = login_frame();
             f[0] = 'Q';
             return c.send(f) || true;
         }},
        {"root length below 4", outcome::closed,
         [](conn& c) { return c.send(frame(1, {}, 2)) || true; }},
        {"login frame above the login limit", outcome::closed,
         [](conn& c) { return c.send(frame(1, bytes(70000, 0))) || true; }},
        {"request before login", outcome::closed,
         [](conn& c) {
             bytes fields;
             add_string(&fields, "path", "/");
             return c.send(frame(6, fields)) || true;
         }},
        {"half a head, then silence", outcome::closed,
         [](conn& c) {
             return c.send({'D', 'V', 1}) || true;
         }},
        {"16 MiB frame with a short body, then close", outcome::closed,
         [](conn& c) {
             if (!c.login()) return false;
             bytes f = frame(13, bytes(100, 0), uint32_t(kFrameMax - 4));
             c.send(f);
             c.end_writing();
             return true;
         }},
        {"frame above 16 MiB", outcome::closed,
         [](conn& c) {
             if (!c.login()) return false;
             return c.send(frame(13, {}, uint32_t(kFrameMax))) || true;
         }},
        {"truncated field", outcome::error_reply,
         [](conn& c) {
             if (!c.login()) return false;
             bytes fields;
             add_string(&fields, "path", "/some/where");
             fields[3] = 0x7f;  // the field claims more bytes than the frame holds
             return c.send(frame(6, fields));
         }},
        {"unknown request code", outcome::error_reply,
         [](conn& c) { return c.login() && c.send(frame(77, {})); }},
        {"huge read length", outcome::error_reply,
         [](conn& c) {
             if (!c.login()) return false;
             const uint64_t fd = c.open("seed.txt", 0);
             if (fd == 0) return false;
             bytes fields;
             add_i64(&fields, "fd", fd);
             add_i32(&fields, "len", 0xffffffffu);
             return c.send(frame(12, fields));
         }},
        {"packed write claiming 15 MiB", outcome::error_reply,
         [](conn& c) {
             if (!c.login()) return false;
             const uint64_t fd = c.open("w.bin", 01 | 0100);  // write-only, create
             if (fd == 0) return false;
             bytes fields;
             add_i64(&fields, "fd", fd);
             add_i32(&fields, "len", 15u << 20);
             add_binary(&fields, "data", kTinyLz4);
             return c.send(frame(13, fields));
         }},
        {"packed small file claiming 4 GiB", outcome::error_reply,
         [](conn& c) {
             if (!c.login()) return false;
             bytes fields;
             add_string(&fields, "path", "up");
             add_string(&fields, "name", "f");
             add_i32(&fields, "len", 0xffffffffu);
             add_binary(&fields, "data", kTinyLz4);
             return c.send(frame(9, fields));
         }},
        {"4 GiB worker buffer", outcome::error_reply,
         [](conn& c) { return c.login() && c.send(control_frame(10130, "4294967296\t100", 0)); }},
        {"results of a worker never opened, huge output", outcome::error_reply,
         [](conn& c) { return c.login() && c.send(control_frame(10132, "", 0xffffffffu)); }},
        {"unknown control code", outcome::error_reply,
         [](conn& c) { return c.login() && c.send(control_frame(99999, "x", 16)); }},
    };
}

// The peak resident size of a process (VmHWM, kB), or -1.
long peak_kb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

class DvsdHostile : public DvcpProcessTest {
  protected:
    void SetUp() override {
        DvcpProcessTest::SetUp();
        if (IsSkipped()) return;
        if (!kHaveDvsd) GTEST_SKIP() << "dvsd is not part of this build";
    }
    dvtest::TempDir tmp_{"dvsd_hostile"};
};

TEST_F(DvsdHostile, ManyHostileConnectionsEachEndAndTheServerCarriesOn) {
    const std::string root = tmp_ / "root";
    make_tree(root, {Node::file("seed.txt", "seed\n")});
    DvsdProcess server({"root=" + root, "listen=127.0.0.1", "port=0", "anonymous=1",
                        "login_timeout=2", "login_fail_count=0"},
                       {}, {}, tmp_ / "dvsd.log");
    const std::string line = server.first_line();
    const int port = port_of(line);
    ASSERT_GT(port, 0) << line;
    const long baseline_kb = peak_kb(server.pid());

    const std::vector<hostile_case> table = cases();
    constexpr size_t kConnections = 50;
    struct result {
        bool connected = false;
        bool set_up = false;
        outcome got = outcome::hang;
    };
    std::vector<result> results(kConnections);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < kConnections; ++i) {
        threads.emplace_back([&, i] {
            conn c(port);
            result& r = results[i];
            r.connected = c.ok();
            if (!r.connected) return;
            r.set_up = table[i % table.size()].send(c);
            if (r.set_up) r.got = c.receive();
        });
    }
    for (auto& t : threads) t.join();

    for (size_t i = 0; i < kConnections; ++i) {
        const hostile_case& k = table[i % table.size()];
        SCOPED_TRACE(std::string(k.name) + " (connection " + std::to_string(i) + ")");
        ASSERT_TRUE(results[i].connected);
        ASSERT_TRUE(results[i].set_up) << "the requests before the hostile one failed";
        EXPECT_STREQ(name_of(results[i].got), name_of(k.expected));
    }

    // Still up, still answering, memory bounded.
    ASSERT_EQ(kill(server.pid(), 0), 0) << "dvsd died";
    {
        conn c(port);
        ASSERT_TRUE(c.ok());
        EXPECT_TRUE(c.login());
    }
    const long peak = peak_kb(server.pid());
    std::printf("dvsd VmHWM: %ld kB at start, %ld kB after %zu hostile connections\n", baseline_kb,
                peak, kConnections);
    // A head announcing 16 MiB commits no more than the bytes that came: each hostile
    // connection costs the server well under a megabyte.
    EXPECT_LT(peak - baseline_kb, long(kConnections) * 512) << "peak " << peak << " kB";

    // An ordinary client copies a tree there and back.
    const std::string src = tmp_ / "src";
    make_tree(src, {Node::file("a.txt", "alpha\n"), Node::sized("d/b.bin", 200000, 3),
                    Node::file("d/e/empty", ""), Node::link("d/to_a", "../a.txt")});
    const Snapshot source = settled_snapshot(src);
    const std::string url = "dvp://127.0.0.1:" + std::to_string(port) + "/copy";
    RunResult run = dvcp({"mode=sync", "if=" + src, "of=" + url});
    EXPECT_EXIT_STATUS(run, 0);
    run = dvcp({"mode=sync", "if=" + url, "of=" + (tmp_ / "back")});
    EXPECT_EXIT_STATUS(run, 0);
    const auto diffs = compare(source, snapshot(tmp_ / "back"), {.dir_attributes = false});
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs) << "\n" << run.describe();

    EXPECT_EQ(server.stop(SIGTERM), 0);
}

// The status of `path`, or a status with st_ino 0.
struct stat status_of(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) st = {};
    return st;
}

// ---- slow clients ------------------------------------------------------------------------------

// Sends `data` one byte at a time, `gap` apart, on a connection of its own, until all went or the
// server closed the connection. Whether the server closed it first.
bool trickle_until_closed(int port, const bytes& prefix, const bytes& data,
                          std::chrono::milliseconds gap) {
    conn c(port);
    if (!c.ok()) return false;
    if (!prefix.empty() && c.exchange(prefix).empty()) return false;
    for (uint8_t b : data) {
        if (!c.send({b})) return true;
        std::this_thread::sleep_for(gap);
        if (c.closed_now()) return true;
    }
    return false;
}

// A frame of `size` bytes or more: a stat of a long path.
bytes long_frame(size_t size) {
    bytes fields;
    add_string(&fields, "path", std::string(size, 'p'));
    return frame(6, fields);
}

// Bytes that trickle in cannot keep a connection: before a login the login time-out counts from
// accept, after it a request must be whole within the read time-out from its first byte. While
// three such clients trickle, with max_connections=3, a client with the right password logs in:
// connections not logged in have a cap of their own.
TEST_F(DvsdHostile, TricklingClientsAreClosedAndDoNotLockOthersOut) {
    const std::string root = tmp_ / "trickle";
    make_tree(root, {Node::file("seed.txt", "seed\n")});
    DvsdProcess server(
        {"root=" + root, "listen=127.0.0.1", "port=0", "user=joe", "passwd=secret",
         "max_connections=3", "login_timeout=2", "read_timeout=2", "login_fail_count=0"},
        {}, {}, tmp_ / "trickle.log");
    const int port = port_of(server.first_line());
    ASSERT_GT(port, 0);
    // Each trickle lasts about 20 s unless the server ends it.
    constexpr auto kGap = std::chrono::milliseconds(400);
    const bytes before_login = login_frame("joe", std::string(50, 'x'));
    const bytes after_login = long_frame(50);
    std::vector<std::thread> threads;
    bool closed[4] = {};
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back(
            [&, i] { closed[i] = trickle_until_closed(port, {}, before_login, kGap); });
    }
    threads.emplace_back([&] {
        closed[3] = trickle_until_closed(port, login_frame("joe", "secret"), after_login, kGap);
    });
    // All four trickle now: a client that logs in is served.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    {
        conn c(port);
        ASSERT_TRUE(c.ok());
        EXPECT_TRUE(c.login("joe", "secret"));
        EXPECT_FALSE(c.exchange(frame(4, {})).empty());
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(closed[i]) << "trickle before login " << i;
    EXPECT_TRUE(closed[3]) << "trickle after login";
    const std::string log = read_file(tmp_ / "trickle.log");
    EXPECT_NE(log.find("no login in time"), std::string::npos) << log;
    EXPECT_NE(log.find("request not complete in time"), std::string::npos) << log;
    EXPECT_EQ(server.stop(SIGTERM), 0);
}

// ---- contexts ----------------------------------------------------------------------------------

// The text of a reply's data field.
std::string data_text(const std::map<std::string, bytes>& reply) {
    const auto data = reply.find("data");
    if (data == reply.end()) return "";
    std::string text(data->second.begin(), data->second.end());
    return text.substr(0, text.find('\0'));
}

// A context kept for a repair has at most one connection: of two that attach it at the same
// moment, one gets it and the other is told "context in use", round after round.
TEST_F(DvsdHostile, TwoConnectionsNeverAttachOneContext) {
    const std::string root = tmp_ / "attach";
    make_tree(root, {Node::file("seed.txt", "seed\n")});
    DvsdProcess server(
        {"root=" + root, "listen=127.0.0.1", "port=0", "anonymous=1", "login_fail_count=0"});
    const int port = port_of(server.first_line());
    ASSERT_GT(port, 0);
    constexpr int kRounds = 40;
    int doubled = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::string address;
        {
            conn owner(port);
            ASSERT_TRUE(owner.ok() && owner.login());
            ASSERT_FALSE(owner.exchange(control_frame(101, "0", 16)).empty());
            address = data_text(owner.exchange(control_frame(102, "", 64)));
            ASSERT_FALSE(address.empty());
        }  // hung up without quitting: the context stays
        // Its connection has ended when a fresh one may attach it.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        conn a(port), b(port);
        ASSERT_TRUE(a.ok() && a.login() && b.ok() && b.login());
        const bytes attach = control_frame(104, address, 16);
        std::map<std::string, bytes> replies[2];
        outcome got[2] = {outcome::hang, outcome::hang};
        std::atomic<int> ready{0};
        auto attach_one = [&](conn& c, int i) {
            ++ready;
            while (ready.load() < 2) {
            }
            if (c.send(attach)) got[i] = c.receive(&replies[i]);
        };
        std::thread ta(attach_one, std::ref(a), 0);
        std::thread tb(attach_one, std::ref(b), 1);
        ta.join();
        tb.join();
        const int attached = (got[0] == outcome::ok_reply) + (got[1] == outcome::ok_reply);
        if (attached > 1) ++doubled;
        EXPECT_EQ(attached, 1) << "round " << round;
        for (int i = 0; i < 2; ++i) {
            if (got[i] != outcome::error_reply) continue;
            const auto text = replies[i].find("errno_str");
            ASSERT_NE(text, replies[i].end());
            EXPECT_EQ(std::string(text->second.begin(), text->second.end()).c_str(),
                      std::string("context in use"));
        }
    }
    EXPECT_EQ(doubled, 0);
    ASSERT_EQ(kill(server.pid(), 0), 0) << "dvsd died";
    EXPECT_EQ(server.stop(SIGTERM), 0);
}

// ---- descriptors --------------------------------------------------------------------------------

// Opens the root directory until the server refuses (at most `most` times): how many opened, and
// the refusal's text.
int open_dirs_until_refused(conn& c, int most, std::string* refusal) {
    bytes fields;
    add_string(&fields, "path", "/");
    const bytes request = frame(41, fields);
    for (int opened = 0; opened < most; ++opened) {
        std::map<std::string, bytes> reply;
        if (!c.send(request)) return opened;
        const outcome o = c.receive(&reply);
        if (o == outcome::ok_reply) continue;
        const auto text = reply.find("errno_str");
        if (text != reply.end()) {
            *refusal = std::string(text->second.begin(), text->second.end()).c_str();
        }
        return opened;
    }
    return most;
}

// One user cannot use up the server's descriptors, neither with many connections nor with
// contexts kept after a hang-up: its open files and directories have a cap (a quarter of a
// 512-descriptor limit for the server, half of that per user), the refusal says so, and another
// user and new connections are still served.
TEST_F(DvsdHostile, OneUserCannotTakeAllDescriptors) {
    const std::string root = tmp_ / "fds";
    make_tree(root, {Node::file("seed.txt", "seed\n")});
    auto server = std::make_unique<DvsdProcess>(
        std::vector<std::string>{"root=" + root, "listen=127.0.0.1", "port=0", "user=joe",
                                 "passwd=secret", "anonymous=1", "login_fail_count=0"},
        std::nullopt, std::nullopt, tmp_ / "fds.log", rlim_t{512});
    const int port = port_of(server->first_line());
    ASSERT_GT(port, 0);
    constexpr int kUserCap = 64;
    int opened = 0;
    std::string refusal;
    {
        // A context kept for a repair, full of directories, then a hang-up.
        conn kept(port);
        ASSERT_TRUE(kept.ok() && kept.login("joe", "secret"));
        ASSERT_FALSE(kept.exchange(control_frame(101, "0", 16)).empty());
        ASSERT_FALSE(kept.exchange(control_frame(102, "", 64)).empty());
        opened += open_dirs_until_refused(kept, 40, &refusal);
    }
    std::vector<std::unique_ptr<conn>> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(std::make_unique<conn>(port));
        ASSERT_TRUE(held.back()->ok() && held.back()->login("joe", "secret"));
        opened += open_dirs_until_refused(*held.back(), 2000, &refusal);
    }
    EXPECT_EQ(opened, kUserCap);
    EXPECT_NE(refusal.find("too many open files and directories for this user"), std::string::npos)
        << refusal;
    // Another user still opens directories, and new connections are served.
    conn other(port);
    ASSERT_TRUE(other.ok() && other.login());
    std::string none;
    EXPECT_EQ(open_dirs_until_refused(other, 10, &none), 10) << none;
    conn fresh(port);
    ASSERT_TRUE(fresh.ok());
    EXPECT_TRUE(fresh.login("joe", "secret"));
    EXPECT_NE(read_file(tmp_ / "fds.log")
                  .find("descriptors=512: open files and directories at "
                        "most 128 on the server, 64 per user"),
              std::string::npos)
        << read_file(tmp_ / "fds.log");
    EXPECT_EQ(server->stop(SIGTERM), 0);
}

// ---- memory ------------------------------------------------------------------------------------

// The resident size of a process now (VmRSS, kB), or -1.
long resident_kb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// A reply is sized by what it holds, not by the output a client allows: a few hundred
// connections that each asked the lister and the worker for 15 MiB of an empty root, and then
// stay, leave the server's memory well under a megabyte each.
TEST_F(DvsdHostile, IdleConnectionsKeepNoOutputTheyAskedFor) {
    const std::string root = tmp_ / "memory";
    make_tree(root, {});
    DvsdProcess server(
        {"root=" + root, "listen=127.0.0.1", "port=0", "anonymous=1", "login_fail_count=0"});
    const int port = port_of(server.first_line());
    ASSERT_GT(port, 0);
    const long baseline_kb = resident_kb(server.pid());
    constexpr int kConnections = 200;
    constexpr uint32_t kAsked = 15u << 20;
    std::vector<std::unique_ptr<conn>> held;
    for (int i = 0; i < kConnections; ++i) {
        held.push_back(std::make_unique<conn>(port));
        conn& c = *held.back();
        ASSERT_TRUE(c.ok() && c.login()) << "connection " << i;
        ASSERT_FALSE(c.exchange(control_frame(10120, "/\t0\t1", 0)).empty());
        ASSERT_FALSE(c.exchange(control_frame(10130, "65536\t1", 0)).empty());
        for (int read = 0; read < 2; ++read) {
            ASSERT_FALSE(c.exchange(control_frame(10123, "", kAsked)).empty());
            ASSERT_FALSE(c.exchange(control_frame(10132, "", kAsked)).empty());
        }
    }
    const long held_kb = resident_kb(server.pid());
    std::printf("dvsd VmRSS: %ld kB at start, %ld kB with %d idle connections\n", baseline_kb,
                held_kb, kConnections);
    // Each connection has its thread, its lister's and its worker's (64 KiB buffer), well under a
    // megabyte and a half together; nothing of the 15 MiB it asked for may stay.
    EXPECT_LT(held_kb - baseline_kb, long(kConnections) * 1536) << held_kb << " kB";
    held.clear();
    EXPECT_EQ(server.stop(SIGTERM), 0);
}

// ---- worker controls as the protocol describes them ---------------------------------------------

// A client written from the protocol description: it collects worker results with a 64 KiB
// output whatever the worker's buffer, removes a link to a directory as a link, and gets the
// same refusal for a malformed field table on every request.
TEST_F(DvsdHostile, WorkerControlsServeAClientWrittenFromTheDescription) {
    const std::string root = tmp_ / "interop";
    make_tree(root, {Node::file("d/inside", "keep\n"), Node::link("to_d", "d"),
                     Node::link("abs_to_d", "/d")});
    DvsdProcess server(
        {"root=" + root, "listen=127.0.0.1", "port=0", "anonymous=1", "login_fail_count=0"});
    const int port = port_of(server.first_line());
    ASSERT_GT(port, 0);
    conn c(port);
    ASSERT_TRUE(c.ok() && c.login());
    ASSERT_FALSE(c.exchange(control_frame(10130, "1048576\t1000", 0)).empty());

    // Directories made, answers collected with 64 KiB.
    const std::string dirs = "new1\t1\t1ed\t0\t0\t0\t0\t0\t0\nnew2\t1\t1ed\t0\t0\t0\t0\t0\t0";
    ASSERT_FALSE(c.exchange(control_frame(10134, "/\t" + dirs, 0)).empty());
    std::string answers;
    for (int i = 0; i < 20 && answers.size() < 4; ++i) {
        std::map<std::string, bytes> reply;
        ASSERT_TRUE(c.send(control_frame(10132, "", 64u << 10)));
        ASSERT_EQ(c.receive(&reply), outcome::ok_reply) << data_text(reply);
        answers += data_text(reply);
    }
    EXPECT_EQ(answers, "0\t0\t");
    EXPECT_TRUE(status_of(root + "/new1").st_ino != 0 &&
                S_ISDIR(status_of(root + "/new1").st_mode));

    // Links to a directory removed as links; the directory stays.
    ASSERT_FALSE(c.exchange(control_frame(10136, "/\tto_d/\nabs_to_d", 0)).empty());
    answers.clear();
    for (int i = 0; i < 20 && answers.size() < 4; ++i) {
        answers += data_text(c.exchange(control_frame(10132, "", 64u << 10)));
    }
    EXPECT_EQ(answers, "0\t0\t");
    EXPECT_EQ(status_of(root + "/to_d").st_ino, 0u);
    EXPECT_EQ(status_of(root + "/abs_to_d").st_ino, 0u);
    EXPECT_EQ(read_file(root + "/d/inside"), "keep\n");

    // A field that claims more bytes than the frame holds: the same refusal on request 4 as on
    // a request with fields.
    bytes broken;
    add_string(&broken, "path", "/some/where");
    broken[3] = 0x7f;
    std::map<std::string, bytes> info_reply, stat_reply;
    ASSERT_TRUE(c.send(frame(4, broken)));
    EXPECT_EQ(c.receive(&info_reply), outcome::error_reply);
    ASSERT_TRUE(c.send(frame(6, broken)));
    EXPECT_EQ(c.receive(&stat_reply), outcome::error_reply);
    EXPECT_EQ(info_reply["errno"], stat_reply["errno"]);
    EXPECT_EQ(server.stop(SIGTERM), 0);
}

// ---- the log -----------------------------------------------------------------------------------

// Texts a client sends reach the log escaped: a name holding a line feed or a carriage return
// cannot forge a line of its own at the default level.
TEST_F(DvsdHostile, ClientTextsCannotForgeLogLines) {
    const std::string root = tmp_ / "log";
    make_tree(root, {Node::file("plain", "x")});
    const std::string log_path = tmp_ / "inject.log";
    DvsdProcess server(
        {"root=" + root, "listen=127.0.0.1", "port=0", "anonymous=1", "login_fail_count=0"}, {}, {},
        log_path);
    const int port = port_of(server.first_line());
    ASSERT_GT(port, 0);
    const std::string forged = "FORGED ip=[6.6.6.6] user=[root] quit";
    conn c(port);
    ASSERT_TRUE(c.ok() && c.login());
    // A listing of a directory that is not there logs its name as an error.
    ASSERT_FALSE(c.exchange(control_frame(10120, "/\t0\t100", 0)).empty());
    ASSERT_FALSE(c.exchange(control_frame(10122, "missing\n" + forged, 0)).empty());
    for (int i = 0; i < 20; ++i) c.exchange(control_frame(10123, "", 65536));
    // So does a directory the worker cannot make (a file stands in its path).
    ASSERT_FALSE(c.exchange(control_frame(10130, "65536\t1000", 0)).empty());
    EXPECT_NE(c.worker_run(10134, "/\tplain/x\r" + forged + "\t1\t1ed\t0\t0\t0\t0\t0\t0"), "");
    EXPECT_EQ(server.stop(SIGTERM), 0);
    const std::string log = read_file(log_path);
    std::istringstream lines(log);
    std::string line;
    int escaped = 0;
    while (std::getline(lines, line)) {
        EXPECT_NE(line.rfind(forged, 0), 0u) << "a forged line: " << line;
        EXPECT_EQ(line.find('\r'), std::string::npos) << line;
        if (line.find("\\x0a" + forged) != std::string::npos ||
            line.find("\\x0d" + forged) != std::string::npos) {
            ++escaped;
        }
    }
    EXPECT_GE(escaped, 2) << log;
}

// ---- login throttling ---------------------------------------------------------------------------

// Wrong passwords sent at the same moment from one address: no more are checked than
// login_fail_count allows; the rest find the address locked.
TEST_F(DvsdHostile, SimultaneousWrongPasswordsStopAtTheLimit) {
    const std::string root = tmp_ / "throttle";
    make_tree(root, {Node::file("seed.txt", "seed\n")});
    DvsdProcess server({"root=" + root, "listen=127.0.0.1", "port=0", "user=joe", "passwd=secret",
                        "login_fail_count=3", "level=err"});
    const int port = port_of(server.first_line());
    ASSERT_GT(port, 0);
    constexpr int kAttempts = 100;  // below the cap on connections not logged in
    std::vector<std::unique_ptr<conn>> conns;
    for (int i = 0; i < kAttempts; ++i) {
        conns.push_back(std::make_unique<conn>(port));
        ASSERT_TRUE(conns.back()->ok());
    }
    const bytes wrong = login_frame("joe", "wrong");
    std::atomic<int> ready{0};
    std::vector<std::string> texts(kAttempts);
    std::vector<std::thread> threads;
    for (int i = 0; i < kAttempts; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < kAttempts) std::this_thread::yield();
            std::map<std::string, bytes> reply;
            if (conns[i]->send(wrong) && conns[i]->receive(&reply) == outcome::error_reply) {
                const auto text = reply.find("errno_str");
                if (text != reply.end()) {
                    texts[i] = std::string(text->second.begin(), text->second.end()).c_str();
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    int checked = 0, locked = 0;
    for (const std::string& t : texts) {
        checked += t == "Wrong user or password";
        locked += t.rfind("Login failed 3 times", 0) == 0;
    }
    EXPECT_EQ(checked, 3);
    EXPECT_EQ(locked, kAttempts - 3);
    EXPECT_EQ(server.stop(SIGTERM), 0);
}

// ---- a TLS-only server
// ----------------------------------------------------------------------------

// port=off leaves the plain listener out: the server speaks TLS only. Without a TLS listener the
// key is refused, by check=1 too.
TEST_F(DvsdHostile, PortOffServesTlsOnly) {
    const dvtest::tls_identity& id = dvtest::tls_certs().server;
    ASSERT_TRUE(id.ok()) << "no test certificate (openssl)";
    const std::string root = tmp_ / "tls_only";
    make_tree(root, {});
    {
        DvsdProcess server({"root=" + root, "listen=127.0.0.1", "port=off", "ssl_port=0",
                            "ssl_cert=" + id.cert, "ssl_key=" + id.key, "anonymous=1"});
        const std::string line = server.first_line();
        EXPECT_EQ(line.rfind("listening dvps://127.0.0.1:", 0), 0u) << line;
        const std::string url = "dvps://127.0.0.1:" + line.substr(line.rfind(':') + 1) + "/copy";
        const std::string src = tmp_ / "tls_src";
        make_tree(src, {Node::file("seed.txt", "seed\n")});
        const RunResult run = dvcp({"if=" + src, "of=" + url});
        EXPECT_EXIT_STATUS(run, 0);
        EXPECT_EQ(read_file(root + "/copy/seed.txt"), "seed\n");
        EXPECT_EQ(server.stop(SIGTERM), 0);
    }
    for (const char* check : {"0", "1"}) {
        SCOPED_TRACE(std::string("check=") + check);
        RunOptions options;
        options.timeout = std::chrono::seconds(20);
        const RunResult r = run_program(
            {DVSD_BIN, "root=" + root, "anonymous=1", "port=off", std::string("check=") + check},
            options);
        EXPECT_TRUE(r.exited && r.exit_code == 1) << r.describe();
        EXPECT_NE(r.err.find("port=off needs ssl_port="), std::string::npos) << r.describe();
        EXPECT_EQ(r.out.find("listening"), std::string::npos) << r.describe();
    }
}

// ---- the attribute policy ----------------------------------------------------------------------

// What a client asks of owners and modes reaches the served tree only as far as the server's
// policy allows, whichever way it is sent: set-id bits only with keep_setid=1 and credentials,
// owners only for a client with credentials (these tests run as root, as a server that may give
// them). Each path asks for a set-id entry owned by uid 4321.
TEST_F(DvsdHostile, SetIdBitsAndOwnersFollowThePolicyOnEveryWritePath) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, as a server that may give owners";
    struct server_case {
        const char* name;
        bool anonymous;
        bool keep_setid;
    };
    const server_case servers[] = {
        {"anonymous, keep_setid=0", true, false},
        {"anonymous, keep_setid=1", true, true},
        {"credentials, keep_setid=0", false, false},
        {"credentials, keep_setid=1", false, true},
    };
    constexpr uint32_t kUid = 4321;
    constexpr uint32_t kGid = 4322;
    for (const server_case& sc : servers) {
        SCOPED_TRACE(sc.name);
        const std::string root = tmp_ / (std::string("policy_") + (sc.anonymous ? "a" : "u") +
                                         (sc.keep_setid ? "1" : "0"));
        make_tree(root, {Node::file("plain", "plain\n")});
        std::vector<std::string> args = {"root=" + root, "listen=127.0.0.1", "port=0",
                                         std::string("keep_setid=") + (sc.keep_setid ? "1" : "0")};
        if (sc.anonymous) {
            args.push_back("anonymous=1");
        } else {
            args.push_back("user=joe");
            args.push_back("passwd=secret");
        }
        DvsdProcess server(args);
        const int port = port_of(server.first_line());
        ASSERT_GT(port, 0);
        conn c(port);
        ASSERT_TRUE(c.ok());
        ASSERT_TRUE(sc.anonymous ? c.login() : c.login("joe", "secret"));
        ASSERT_FALSE(c.exchange(control_frame(10130, "65536\t1000", 0)).empty());

        char line[512];
        // Command 2: a set-gid directory for someone else.
        std::snprintf(line, sizeof(line), "dir\t%x\t%x\t0\t0\t0\t0\t%u\t%u", 1u, 042755u, kUid,
                      kGid);
        EXPECT_NE(c.worker_run(10134, std::string("up\t") + line), "");
        // Command 3: a small set-uid program ("aGVsbG8K" is "hello\n").
        std::snprintf(line, sizeof(line), "suid\t\t%x\t%x\t0\t0\t0\t0\t%u\t%u\taGVsbG8K", 2u,
                      0104755u, kUid, kGid);
        EXPECT_NE(c.worker_run(10135, std::string("up\t") + line), "");
        // Set-attribute of a path (10038): set-uid and an owner for an existing file.
        std::snprintf(line, sizeof(line), "plain\t2\t%x\t0\t0\t0\t0\t%u\t%u", 0104755u, kUid, kGid);
        EXPECT_EQ(c.send(control20_frame(0, 10038, line)) ? c.receive() : outcome::closed,
                  outcome::ok_reply);

        const bool owners = !sc.anonymous;
        const bool setid = !sc.anonymous && sc.keep_setid;
        struct expectation {
            std::string path;
            mode_t setid_bits;
        };
        for (const expectation& e :
             {expectation{root + "/up/dir", S_ISGID}, expectation{root + "/up/suid", S_ISUID},
              expectation{root + "/plain", S_ISUID}}) {
            SCOPED_TRACE(e.path);
            const struct stat st = status_of(e.path);
            ASSERT_NE(st.st_ino, 0u);
            EXPECT_EQ((st.st_mode & e.setid_bits) != 0, setid) << std::oct << st.st_mode;
            EXPECT_EQ(st.st_mode & 0777, 0755u) << std::oct << st.st_mode;
            EXPECT_EQ(st.st_uid == kUid && st.st_gid == kGid, owners)
                << st.st_uid << ":" << st.st_gid;
            if (!owners) {
                EXPECT_EQ(st.st_uid, 0u);
            }
        }
        EXPECT_EQ(server.stop(SIGTERM), 0);
    }
}

}  // namespace
}  // namespace systest
