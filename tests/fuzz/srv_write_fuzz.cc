// Untrusted packed payloads as the server unpacks them in file writes: write (13), positional write
// (30) and whole small files (9), with either packer. Whatever the payload claims, a write either
// stores exactly what the payload unpacks to, or is refused and leaves the file as it was: a
// refused payload that does unpack to the stated length, or a stored file that differs, aborts.
//
// Input: byte 0 picks packer (bit 0: "none", else "lz4") and request (bits 1-2: write, positional
// write, small file, raw body); bytes 1-4 the stated length (big-endian), bytes 5-7 the offset of
// a positional write; the rest is the payload (or, for a raw body, the request's fields, sent to
// the request named by bits 3-4).
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/dvsrv.h"
#include "libdvsrv/srv_route.h"
#include "libdvsrv/srv_session.h"
#include "libpal/os_root.h"

namespace {

namespace fs = std::filesystem;

struct served {
    fs::path dir;
    dvsrv_conf conf;
    os_root* root = nullptr;
    zcomp_ctx check[2];  // independent unpackers: 0 "none", 1 "lz4"
};

served& tree() {
    static served* s = [] {
        auto* t = new served;
        t->dir = fs::temp_directory_path() / ("srv_write_fuzz." + std::to_string(getpid()));
        fs::create_directories(t->dir);
        t->conf.root = t->dir.string();
        t->conf.anonymous = true;
        t->root = os_root_open(t->conf.root.c_str(), OS_ROOT_IN_ROOT);
        if (t->root == nullptr) std::abort();
        for (int id = 0; id < 2; ++id) {
            t->check[id].id = id;
            if (zcomp_init(&t->check[id]) != 0) std::abort();
        }
        return t;
    }();
    return *s;
}

// The reply's "errno" (-1 when the reply has none) and, when asked, its "fd".
int32_t reply_errno(const sd_frame_msg& reply, uint64_t* fd = nullptr) {
    static constexpr blobmsg_policy kPolicy[] = {{SDF_ERRNO, BLOBMSG_TYPE_INT32},
                                                 {SDF_FD, BLOBMSG_TYPE_INT64}};
    const blob_attr* tb[2] = {};
    if (!reply.ok()) std::abort();
    const auto root = reply.root().subspan(BLOB_ATTR_HEADER_SIZE);
    if (blobmsg_parse(kPolicy, 2, tb, root.data(), root.size()) != 0 || tb[0] == nullptr) {
        std::abort();
    }
    if (fd != nullptr && tb[1] != nullptr) *fd = static_cast<uint64_t>(blobmsg_get_int64(tb[1]));
    return blobmsg_get_int32(tb[0]);
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    served& s = tree();
    auto ctx = srv_context_new(&s.conf, s.root, "");
    if (!ctx) return 0;
    const int packer = (data[0] & 1) != 0 ? ZCOMP_ID_NONE : ZCOMP_ID_LZ4;
    if (packer == ZCOMP_ID_NONE) {
        std::memset(ctx->pack.name, 0, sizeof(ctx->pack.name));
        std::strcpy(ctx->pack.name, "none");
        if (zcomp_init(&ctx->pack) != 0) std::abort();
    }
    const int kind = (data[0] >> 1) & 3;
    const uint32_t len =
        (uint32_t{data[1]} << 24) | (uint32_t{data[2]} << 16) | (uint32_t{data[3]} << 8) | data[4];
    const uint64_t offset = (uint64_t{data[5]} << 16) | (uint64_t{data[6]} << 8) | data[7];
    const std::span<const uint8_t> payload(data + 8, size - 8);

    sd_frame_msg msg;
    sd_frame_msg reply;
    // A file of 4 bytes to write into, opened in place.
    std::ofstream(s.dir / "w", std::ios::binary | std::ios::trunc) << "keep";
    msg.reset();
    msg.add_string(SDF_PATH, "w");
    msg.add_int32(SDF_FLAG, 02 | 0100);  // read-write, create
    msg.add_int32(SDF_MODE, 0644);
    srv_context_request(*ctx, SD_REQ_OPEN2, msg.root().subspan(BLOB_ATTR_HEADER_SIZE), reply);
    uint64_t fd = 0;
    if (reply_errno(reply, &fd) != 0) std::abort();

    uint8_t code = SD_REQ_WRITE;
    msg.reset();
    if (kind == 3) {
        static constexpr uint8_t kRawCodes[] = {SD_REQ_WRITE, SD_REQ_PWRITE, SD_REQ_PUT_FILE,
                                                SD_REQ_WRITE};
        code = kRawCodes[(data[0] >> 3) & 3];
    } else if (kind == 2) {
        code = SD_REQ_PUT_FILE;
        msg.add_string(SDF_PATH, "p");
        msg.add_string(SDF_NAME, "f");
        msg.add_int32(SDF_LEN, len);
        msg.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, payload.data(), payload.size());
    } else {
        code = kind == 1 ? SD_REQ_PWRITE : SD_REQ_WRITE;
        msg.add_int64(SDF_FD, fd);
        msg.add_int32(SDF_LEN, len);
        msg.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, payload.data(), payload.size());
        if (kind == 1) msg.add_int64(SDF_OFFSET, offset);
    }
    const std::span<const uint8_t> body =
        kind == 3 ? payload : msg.root().subspan(BLOB_ATTR_HEADER_SIZE);
    const std::string before_put = read_file(s.dir / "p" / "f");
    srv_context_request(*ctx, code, body, reply);
    const int32_t status = reply_errno(reply);

    msg.reset();
    msg.add_int64(SDF_FD, fd);
    srv_context_request(*ctx, SD_REQ_CLOSE, msg.root().subspan(BLOB_ATTR_HEADER_SIZE), reply);
    if (reply_errno(reply) != 0) std::abort();
    if (kind == 3) return 0;

    // What the payload really unpacks to, with one byte of room to see a longer result. No
    // payload unpacks to more than 255 times its size, so a forged length costs no more here.
    const size_t most = packer == ZCOMP_ID_NONE ? payload.size() : payload.size() * 255 + 16;
    std::vector<uint8_t> plain(std::min({size_t{len}, SRV_MAX_BLOCK, most}) + 1);
    const int n = zcomp_decompress(&s.check[packer], payload.data(), payload.size(), plain.data(),
                                   plain.size());
    const bool valid = len <= SRV_MAX_BLOCK && n >= 0 && static_cast<uint32_t>(n) == len;
    if (valid != (status == 0)) std::abort();
    std::string expected;
    const std::string unpacked(reinterpret_cast<const char*>(plain.data()), valid ? len : 0);
    if (kind == 2) {
        expected = valid ? unpacked : before_put;
        if (read_file(s.dir / "p" / "f") != expected) std::abort();
        return 0;
    }
    // Written in place over "keep": a refused write leaves it as it was.
    expected = "keep";
    if (valid && len > 0) {  // writing nothing at an offset does not extend the file
        const size_t at = kind == 1 ? offset : 0;
        if (expected.size() < at + len) expected.resize(at + len, '\0');
        expected.replace(at, len, unpacked);
    }
    if (read_file(s.dir / "w") != expected) std::abort();
    return 0;
}
