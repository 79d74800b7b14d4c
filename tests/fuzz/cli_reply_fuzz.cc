// Untrusted replies: a server that answers the connection set-up properly and then sends the fuzz
// input as the replies to every kind of request the client makes (stat, open, read, write,
// listings, the server's lister and worker, controls with output, information requests). The
// client must refuse what does not parse, never read or write out of bounds, and never wait once
// the server has closed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "libdvsd/dvsd_cli.h"
#include "libdvsd/sd_frame.h"

namespace {

void append_frame(std::vector<uint8_t>* out, uint8_t code, const sd_frame_msg& msg) {
    out->insert(out->end(), {SD_FRAME_MAGIC0, SD_FRAME_MAGIC1, 1, code});
    out->insert(out->end(), msg.root().begin(), msg.root().end());
}

// Replies to the login probe, the packer choice and the server information.
std::vector<uint8_t> set_up_replies() {
    std::vector<uint8_t> out;
    sd_frame_msg msg;
    msg.reset();
    msg.add_int32(SDF_ERRNO, 0);
    msg.add_string(SDF_ERRNO_STR, "");
    msg.add_int32(SDF_OS_TYPE, 2);
    append_frame(&out, SD_REQ_LOGIN, msg);
    msg.reset();
    msg.add_int32(SDF_ERRNO, 0);
    msg.add_string(SDF_ERRNO_STR, "");
    append_frame(&out, SD_REQ_FILE_IOCTL, msg);
    msg.reset();
    msg.add_int32(SDF_ERRNO, 0);
    msg.add_string(SDF_ERRNO_STR, "");
    msg.add_string(SDF_INFO, "ver=[1.7.8]\nplat=[linux]\n");
    append_frame(&out, SD_REQ_INFO, msg);
    return out;
}

int listener(uint16_t* port) {
    static int fd = [] {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            listen(s, 8) != 0) {
            abort();
        }
        dvsd_cli_init();
        return s;
    }();
    sockaddr_in bound{};
    socklen_t len = sizeof(bound);
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    *port = ntohs(bound.sin_port);
    return fd;
}

void exercise(dvsd_cli_ctx* ctx) {
    std::vector<char> buf(1 << 16);
    dvsd_stat st;
    dvsd_cli_stat(ctx, "a", &st);
    dvsd_cli_lstat(ctx, "a", &st);
    if (dvsd_cli_file* f = dvsd_cli_open(ctx, "a", 0x3)) {
        dvsd_cli_read(f, buf.data(), 100000, 0);
        dvsd_cli_read(f, buf.data(), 10, DVSD_CLI_CUR_POS);
        uint32_t packed = 0;
        std::vector<char> packed_buf(70000);
        dvsd_cli_read_packed(f, packed_buf.data(), 65536, &packed, 0);
        dvsd_cli_write(f, buf.data(), 5000, 0);
        dvsd_cli_seek(f, 0, 0);
        dvsd_cli_fstat(f, &st);
        dvsd_cli_get_size(f);
        dvsd_cli_close(f);
    }
    if (dvsd_cli_dir* d = dvsd_cli_opendir(ctx, "d", nullptr)) {
        for (int i = 0; i < 64 && dvsd_cli_readdir(d) != nullptr; ++i) {
        }
        dvsd_cli_seekdir(d, 0);
        dvsd_cli_readdir(d);
        dvsd_cli_closedir(d);
    }
    dvsd_cli_rdir_open(ctx, "d", 0, 1000);
    dvsd_cli_rdir_read(ctx, buf.data(), uint32_t(buf.size()));
    dvsd_cli_mfile_open(ctx, 65536, 1000);
    dvsd_cli_mfile_list_ret(ctx, buf.data(), uint32_t(buf.size()));
    dvsd_statfs fs;
    dvsd_cli_statfs(ctx, "", &fs);
    dvsd_cli_info(ctx, buf.data(), 512);
    uint64_t counters[11];
    dvsd_cli_get_counters(ctx, "x", counters);
    int deny = 0;
    dvsd_cli_deny_set_readonly(ctx, &deny);
    uint32_t out_len = 0;
    dvsd_cli_ioctl2(ctx, 10002, "x", DVSD_CLI_TEXT, buf.data(), 100, &out_len);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint16_t port = 0;
    const int fd = listener(&port);
    std::thread server([fd, data, size] {
        int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        std::vector<uint8_t> bytes = set_up_replies();
        bytes.insert(bytes.end(), data, data + size);
        size_t at = 0;
        while (at < bytes.size()) {
            ssize_t n = send(c, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0) break;
            at += static_cast<size_t>(n);
        }
        shutdown(c, SHUT_WR);
        char sink[65536];
        while (recv(c, sink, sizeof(sink), 0) > 0) {
        }
        close(c);
    });
    const std::string url = "dvp://127.0.0.1:" + std::to_string(port) + "/?read_timeout=2";
    err_info err;
    if (dvsd_cli_ctx* ctx = dvsd_cli_connect(url.c_str(), &err)) {
        exercise(ctx);
        dvsd_cli_exit(ctx);
    }
    server.join();
    return 0;
}
