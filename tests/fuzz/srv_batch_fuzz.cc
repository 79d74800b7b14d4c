// Untrusted control texts of the lister and the batch worker, as a client sends them in control
// requests with output: open texts, directories to list, command blocks (base and list) and
// collections of results, in any order. Every input works on a context of its own over a small
// served tree that is put back before each input, so what one input writes, removes or empties
// cannot grow or leak into the next.
//
// Input: records of [op][length, 2 bytes little-endian][text]. The op picks the control code; for
// collections the first 3 bytes of the text are the output length. Waits are kept short by the
// harness (an open's time-out field is replaced, except in the raw form, which closes again at
// once), so that no input costs seconds.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "libdvsd/sd_wire.h"
#include "libdvsrv/dvsrv.h"
#include "libdvsrv/srv_route.h"
#include "libdvsrv/srv_session.h"
#include "libpal/os_root.h"

namespace {

namespace fs = std::filesystem;

constexpr int32_t kListerOpen = 10120;
constexpr int32_t kListerClose = 10121;
constexpr int32_t kListerEnum = 10122;
constexpr int32_t kListerRead = 10123;
constexpr int32_t kWorkerOpen = 10130;
constexpr int32_t kWorkerClose = 10131;
constexpr int32_t kWorkerResults = 10132;
// Collections that may wait: beyond this many in one input the rest are skipped.
constexpr int kMaxWaits = 6;
constexpr size_t kMaxOps = 48;

struct served {
    fs::path dir;
    dvsrv_conf conf;
    os_root* root = nullptr;
};

served& tree() {
    static served* s = [] {
        auto* t = new served;
        t->dir = fs::temp_directory_path() / ("srv_batch_fuzz." + std::to_string(getpid()));
        fs::create_directories(t->dir);
        t->conf.root = t->dir.string();
        t->conf.anonymous = true;
        t->root = os_root_open(t->conf.root.c_str(), OS_ROOT_IN_ROOT);
        if (t->root == nullptr) std::abort();
        return t;
    }();
    return *s;
}

void put(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Empties the served directory (whatever modes an input left on what it made) and lays out the
// few entries the seeds name.
void reset_tree(const fs::path& dir) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0755);
    }
    for (const auto& entry : fs::directory_iterator(dir, ec)) fs::remove_all(entry.path(), ec);
    fs::create_directories(dir / "sub" / "deep", ec);
    put(dir / "a.txt", "hello\n");
    put(dir / "sub" / "b.bin", std::string(300, 'b'));
    put(dir / "sub" / "deep" / "c", "");
    fs::create_symlink("../a.txt", dir / "sub" / "to_a", ec);
}

// The text with its last tab field (the time-out) replaced by a short wait of 1 to 30 ms.
std::string short_wait(std::string text, uint8_t pick) {
    const size_t tab = text.rfind('\t');
    const std::string wait = std::to_string(1 + pick % 30);
    if (tab == std::string::npos) return text + "\t" + wait;
    return text.substr(0, tab + 1) + wait;
}

uint32_t output_length(std::span<const uint8_t> text) {
    if (text.size() < 3) return 1u << 20;
    return (uint32_t{text[0]} << 16) | (uint32_t{text[1]} << 8) | text[2];
}

void control(srv_context& ctx, int32_t cmd, std::span<const uint8_t> text, uint32_t olen) {
    sd_frame_msg reply;
    srv_context_control(ctx, SD_REQ_IOCTL, 0, cmd, text, olen, reply);
    // Every code gets a complete reply.
    if (!reply.ok()) std::abort();
}

std::span<const uint8_t> bytes_of(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    served& s = tree();
    reset_tree(s.dir);
    auto ctx = srv_context_new(&s.conf, s.root, "");
    if (!ctx) return 0;
    int waits = 0;
    size_t at = 0;
    for (size_t ops = 0; ops < kMaxOps && at + 3 <= size; ++ops) {
        const uint8_t op = data[at];
        size_t len = data[at + 1] | (size_t{data[at + 2]} << 8);
        at += 3;
        len = std::min(len, size - at);
        const std::span<const uint8_t> text(data + at, len);
        at += len;
        const std::string as_text(reinterpret_cast<const char*>(text.data()), text.size());
        switch (op % 16) {
            case 0:
                control(*ctx, kListerOpen, bytes_of(short_wait(as_text, op >> 4)), 0);
                break;
            case 1:
                control(*ctx, kListerClose, text, 0);
                break;
            case 2:
                control(*ctx, kListerEnum, text, 0);
                break;
            case 3:
                if (++waits <= kMaxWaits) control(*ctx, kListerRead, {}, output_length(text));
                break;
            case 4:
                control(*ctx, kWorkerOpen, bytes_of(short_wait(as_text, op >> 4)), 0);
                break;
            case 5:
                control(*ctx, kWorkerClose, text, 0);
                break;
            case 6:
                if (++waits <= kMaxWaits) control(*ctx, kWorkerResults, {}, output_length(text));
                break;
            case 7:
            case 8:
            case 9:
            case 10:
                // Read, create directories, write, remove.
                control(*ctx, 10133 + (op % 16 - 7), text, 0);
                break;
            case 11:
                control(*ctx, 10138, text, 0);
                break;
            case 12:
                // The raw open text, time-out and all; closed again before anything waits on it.
                control(*ctx, kListerOpen, text, 0);
                control(*ctx, kListerClose, {}, 0);
                break;
            case 13:
                control(*ctx, kWorkerOpen, text, 0);
                control(*ctx, kWorkerClose, {}, 0);
                break;
            case 14:
                // A stop from another connection: the next wait ends early.
                srv_batch_interrupt(*ctx);
                break;
            default:
                // Codes next to the served ones (10124-10129, 10137, ...) are not taken.
                control(*ctx, 10119 + static_cast<int32_t>(op >> 4), text, 0);
                break;
        }
    }
    // The context goes with its lister and worker; their threads end first.
    ctx.reset();
    return 0;
}
