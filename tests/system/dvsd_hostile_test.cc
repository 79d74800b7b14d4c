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
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

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

}  // namespace
}  // namespace systest
