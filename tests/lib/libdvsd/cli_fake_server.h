// A scripted file server on a loopback port for the client's tests: it reads request frames with
// the frame codec, records every request with its fields, and answers from per-code (and, for
// control requests, per-control-code) handlers, falling back to plain successful defaults.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_frame.h"
#include "libnet/net_sock.h"
#include "libpack/pack_ex.h"
#include "libssl/ssl.h"

namespace fake {

using Bytes = std::vector<uint8_t>;

struct field {
    int type = 0;
    Bytes value;

    std::string str() const {
        return value.empty() ? std::string() : std::string(value.begin(), value.end() - 1);
    }
    uint64_t u64() const {
        uint64_t v = 0;
        for (uint8_t b : value) v = (v << 8) | b;
        return v;
    }
    uint32_t u32() const { return static_cast<uint32_t>(u64()); }
};

struct request {
    uint8_t code = 0;
    int connection = 0;  // 1 for the first connection accepted, 2 for the next, ...
    std::vector<std::string> order;
    std::map<std::string, field> fields;

    bool has(const std::string& name) const { return fields.count(name) != 0; }
    const field& at(const std::string& name) const {
        static const field none;
        auto it = fields.find(name);
        return it == fields.end() ? none : it->second;
    }
    // Control code of requests 8 and 20.
    int32_t cmd() const { return static_cast<int32_t>(at("cmd").u32()); }
    // The data of a control request as a text (its terminating zero dropped).
    std::string text() const { return at("data").str(); }
};

struct reply {
    int32_t err = 0;
    std::string err_str;
    struct item {
        int type;
        std::string name;
        Bytes value;
        uint64_t number;
    };
    std::vector<item> items;
    bool silent = false;   // send nothing back
    bool hang_up = false;  // close the connection instead of answering
    Bytes raw;             // when not empty: these bytes instead of a frame

    static reply error(int32_t e, std::string text) {
        reply r;
        r.err = e;
        r.err_str = std::move(text);
        return r;
    }
    reply& i32(const std::string& n, uint32_t v) {
        items.push_back({BLOBMSG_TYPE_INT32, n, {}, v});
        return *this;
    }
    reply& i64(const std::string& n, uint64_t v) {
        items.push_back({BLOBMSG_TYPE_INT64, n, {}, v});
        return *this;
    }
    reply& str(const std::string& n, const std::string& v) {
        items.push_back({BLOBMSG_TYPE_STRING, n, Bytes(v.begin(), v.end()), 0});
        return *this;
    }
    reply& bin(const std::string& n, const Bytes& v) {
        items.push_back({BLOBMSG_TYPE_BINARY, n, v, 0});
        return *this;
    }
    reply& bin(const std::string& n, const std::string& v) {
        return bin(n, Bytes(v.begin(), v.end()));
    }
};

using handler = std::function<reply(const request&)>;

inline const char* kDefaultInfo =
    "ver=[1.7.8]\nplat=[linux]\narch=[x86_64]\nbit=[64]\norder=[little]\nis_root=[1]\n";

class server final {
  public:
    server() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 8);
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~server() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    server(const server&) = delete;
    server& operator=(const server&) = delete;

    uint16_t port() const { return port_; }
    // A URL of this server: user "u", password "pw", packer "none" unless `query` says otherwise;
    // "dvps" while it speaks TLS.
    std::string url(const std::string& query = "") const {
        std::string q = query.find("pack=") == std::string::npos ? "pack=none" : "";
        if (!query.empty()) q += (q.empty() ? "" : "&") + query;
        return std::string(tls_.load() != nullptr ? "dvps" : "dvp") +
               "://u:pw@127.0.0.1:" + std::to_string(port_) + "/?" + q;
    }
    // Later connections start with a TLS handshake on `conf` (null: plain again). `conf` must
    // outlive the server.
    void set_tls(ssl_srv_conf* conf) { tls_ = conf; }

    // Handlers run on the server thread; set them before the client talks.
    void on(uint8_t code, handler h) {
        std::lock_guard lock(mutex_);
        by_code_[code] = std::move(h);
    }
    void on_ctl(int32_t cmd, handler h) {
        std::lock_guard lock(mutex_);
        by_cmd_[cmd] = std::move(h);
    }
    void set_info(const std::string& info) {
        std::lock_guard lock(mutex_);
        info_ = info;
    }
    void set_protocol(uint8_t protocol) { protocol_ = protocol; }

    std::vector<request> requests() const {
        std::lock_guard lock(mutex_);
        return log_;
    }
    std::vector<request> requests(uint8_t code) const {
        std::vector<request> out;
        for (auto& r : requests()) {
            if (r.code == code) out.push_back(r);
        }
        return out;
    }
    std::vector<uint8_t> codes() const {
        std::vector<uint8_t> out;
        for (auto& r : requests()) out.push_back(r.code);
        return out;
    }
    // Control requests (8 and 20) with code `cmd`.
    std::vector<request> controls(int32_t cmd) const {
        std::vector<request> out;
        for (auto& r : requests()) {
            if ((r.code == 8 || r.code == 20) && r.cmd() == cmd) out.push_back(r);
        }
        return out;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        log_.clear();
    }
    int connections() const { return connections_.load(); }

    // Packs / unpacks with the codec the client chose (10001).
    Bytes pack(const Bytes& raw) {
        std::lock_guard lock(mutex_);
        Bytes out(zcomp_bound(raw.size()));
        const int n = zcomp_compress(&codec_, raw.data(), raw.size(), out.data(), out.size());
        out.resize(n < 0 ? 0 : static_cast<size_t>(n));
        return out;
    }
    Bytes unpack(const Bytes& packed, size_t len) {
        std::lock_guard lock(mutex_);
        Bytes out(len);
        if (len == 0) return out;
        const int n = zcomp_decompress(&codec_, packed.data(), packed.size(), out.data(), len);
        out.resize(n < 0 ? 0 : static_cast<size_t>(n));
        return out;
    }

  private:
    void run() {
        {
            std::lock_guard lock(mutex_);
            snprintf(codec_.name, sizeof codec_.name, "none");
            zcomp_init(&codec_);
        }
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 50) != 1) continue;
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) continue;
            ++connections_;
            serve(fd, connections_.load());
        }
    }

    void serve(int fd, int connection) {
        net_handle h;
        h.sock = sock_from_fd(fd);
        h.timeout_ms = 100;
        ssl_srv_conf* tls = tls_.load();
        if (tls != nullptr && ssl_srv_new(tls, &h, 5000) == nullptr) {
            net_close(&h);
            return;
        }
        net_sock_stream stream(&h);
        std::vector<uint8_t> buf;
        while (!stop_) {
            sd_frame_head head;
            const int rc = sd_frame_read(stream, &buf, &head);
            if (rc == SD_FRAME_TIMEOUT) continue;
            if (rc != SD_FRAME_OK) break;
            request req = decode(buf, head, connection);
            {
                std::lock_guard lock(mutex_);
                log_.push_back(req);
            }
            if (req.code == 2) break;
            const reply r = answer(req);
            if (r.hang_up) break;
            if (r.silent) continue;
            if (!r.raw.empty()) {
                size_t done = 0;
                stream.write_full(r.raw, &done);
                continue;
            }
            sd_frame_msg m;
            m.reset();
            m.add_int32("errno", static_cast<uint32_t>(r.err));
            m.add_string("errno_str", r.err_str.c_str());
            for (const auto& it : r.items) {
                if (it.type == BLOBMSG_TYPE_INT32) {
                    m.add_int32(it.name.c_str(), static_cast<uint32_t>(it.number));
                } else if (it.type == BLOBMSG_TYPE_INT64) {
                    m.add_int64(it.name.c_str(), it.number);
                } else if (it.type == BLOBMSG_TYPE_STRING) {
                    m.add_string(it.name.c_str(),
                                 std::string(it.value.begin(), it.value.end()).c_str());
                } else {
                    m.add_field(it.type, it.name.c_str(), it.value.data(), it.value.size());
                }
            }
            if (sd_frame_write(stream, protocol_, req.code, m.root()) != SD_FRAME_OK) break;
        }
        net_close(&h);
    }

    static request decode(const std::vector<uint8_t>& buf, const sd_frame_head& head,
                          int connection) {
        request req;
        req.code = head.code;
        req.connection = connection;
        const size_t root_len = head.root_word & BLOB_ATTR_LEN_MASK;
        size_t off = 4;
        while (off + 4 <= root_len) {
            const blob_attr* a = reinterpret_cast<const blob_attr*>(buf.data() + off);
            const size_t pad = blob_pad_len(a);
            if (pad < 4 || off + blob_raw_len(a) > root_len) break;
            field f;
            f.type = static_cast<int>(blob_id(a));
            const uint8_t* d = blobmsg_data(a);
            f.value.assign(d, d + blobmsg_data_len(a));
            req.order.push_back(blobmsg_name(a));
            req.fields.emplace(blobmsg_name(a), std::move(f));
            off += pad;
        }
        return req;
    }

    reply answer(const request& req) {
        handler h;
        {
            std::lock_guard lock(mutex_);
            if (req.code == 8 || req.code == 20) {
                auto it = by_cmd_.find(req.cmd());
                if (it != by_cmd_.end()) h = it->second;
            }
            if (!h) {
                auto it = by_code_.find(req.code);
                if (it != by_code_.end()) h = it->second;
            }
        }
        reply r = h ? h(req) : fallback(req);
        if (req.code == 20 && req.cmd() == 10001 && r.err == 0) {
            std::lock_guard lock(mutex_);
            snprintf(codec_.name, sizeof codec_.name, "%s", req.text().c_str());
            zcomp_init(&codec_);
        }
        return r;
    }

    reply fallback(const request& req) {
        reply r;
        switch (req.code) {
            case 1:
                r.i32("os_type", 0);
                break;
            case 4: {
                std::lock_guard lock(mutex_);
                r.str("info", info_);
                break;
            }
            case 8:
                r.bin("data", Bytes{});
                break;
            case 10:
            case 24:
            case 25:
            case 41:
                r.i64("fd", 7);
                break;
            case 15:
                r.i64("offset", req.at("offset").u64());
                break;
            case 11:
            case 14:
            case 16:
            case 20:
            case 22:
            case 23:
            case 27:
            case 43:
            case 91:
                break;
            default:
                r = reply::error(-12, "not handled by the fake server");
        }
        return r;
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<uint8_t> protocol_{1};
    std::atomic<ssl_srv_conf*> tls_{nullptr};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::map<uint8_t, handler> by_code_;
    std::map<int32_t, handler> by_cmd_;
    std::string info_ = kDefaultInfo;
    std::vector<request> log_;
    zcomp_ctx codec_;
};

}  // namespace fake
