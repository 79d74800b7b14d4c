// Untrusted request streams against the whole serving path of one connection: frame heads, the
// fields of every request, dispatch, the handlers and their control texts. Every input runs after
// an anonymous login, on a served root of its own that the handlers may change at will.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "libdvsd/sd_frame.h"
#include "libdvsrv/dvsrv.h"
#include "libnet/net_sock.h"

namespace {

dvsrv* server() {
    static dvsrv* s = [] {
        auto dir = std::filesystem::temp_directory_path() /
                   ("srv_request_fuzz." + std::to_string(getpid()));
        std::filesystem::create_directories(dir / "sub");
        dvsrv_conf conf;
        conf.root = dir.string();
        conf.anonymous = true;
        conf.login_timeout_s = 1;
        conf.idle_timeout_s = 1;
        std::string err;
        dvsrv* opened = dvsrv_open(conf, &err);
        if (opened == nullptr) abort();
        return opened;
    }();
    return s;
}

// The login probe every input starts with.
std::vector<uint8_t> probe() {
    sd_frame_msg msg;
    msg.reset();
    msg.add_string(SDF_USER, ":");
    msg.add_string(SDF_PASSWD, "");
    std::vector<uint8_t> bytes = {SD_FRAME_MAGIC0, SD_FRAME_MAGIC1, SD_FRAME_PROTOCOL,
                                  SD_REQ_LOGIN};
    bytes.insert(bytes.end(), msg.root().begin(), msg.root().end());
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    dvsrv* s = server();
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    // The client end: writes the requests, then reads and drops every reply until the server
    // closes.
    std::thread client([fd = fds[0], data, size] {
        std::vector<uint8_t> bytes = probe();
        bytes.insert(bytes.end(), data, data + size);
        size_t at = 0;
        while (at < bytes.size()) {
            ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0) break;
            at += static_cast<size_t>(n);
        }
        shutdown(fd, SHUT_WR);
        char sink[65536];
        while (recv(fd, sink, sizeof(sink), 0) > 0) {
        }
        close(fd);
    });
    fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    net_handle handle;
    handle.sock = sock_from_fd(fds[1]);
    dvsrv_serve(s, &handle, "192.0.2.99");
    net_close(&handle);
    client.join();
    return 0;
}
