// Untrusted frames: a stream of bytes read frame by frame as a client or a server would, under a
// small size cap and the full one. Every frame accepted must write back as the same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_frame.h"

namespace {

// Reads from the fuzz input; a read past its end comes back short, as from a peer that closed.
class input_stream final : public net_stream {
  public:
    input_stream(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    verr read_full(std::span<uint8_t> buf, size_t* done) override {
        const size_t n = std::min(buf.size(), size_ - at_);
        if (n > 0) std::memcpy(buf.data(), data_ + at_, n);
        at_ += n;
        *done = n;
        return n == buf.size() ? VERR_SUCCESS : VERR_NET_NOT_CONNECTED;
    }
    verr write_full(std::span<const uint8_t>, size_t* done) override {
        *done = 0;
        return VERR_NOT_SUPPORTED;
    }
    size_t at() const { return at_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

class output_stream final : public net_stream {
  public:
    verr read_full(std::span<uint8_t>, size_t* done) override {
        *done = 0;
        return VERR_NOT_SUPPORTED;
    }
    verr write_full(std::span<const uint8_t> buf, size_t* done) override {
        bytes.insert(bytes.end(), buf.begin(), buf.end());
        *done = buf.size();
        return VERR_SUCCESS;
    }
    std::vector<uint8_t> bytes;
};

void read_all(const uint8_t* data, size_t size, size_t max_frame) {
    input_stream in(data, size);
    std::vector<uint8_t> buf;
    for (int frames = 0; frames < 64; ++frames) {
        const size_t start = in.at();
        sd_frame_head head;
        if (sd_frame_read(in, &buf, &head, max_frame) != SD_FRAME_OK) return;
        if (head.padded_len < 4 || SD_FRAME_PREFIX_SIZE + head.padded_len > max_frame ||
            buf.size() < head.padded_len + 4) {
            std::abort();
        }
        const size_t frame_len = in.at() - start;
        if (frame_len != SD_FRAME_PREFIX_SIZE + head.padded_len) std::abort();

        // The payload is a message body: walking it must stay inside the buffer.
        const auto* root = reinterpret_cast<const blob_attr*>(buf.data());
        const blobmsg_policy any[] = {{"errno", BLOBMSG_TYPE_INT32}, {"data", 0}};
        const blob_attr* tb[2];
        blobmsg_parse(any, 2, tb, blob_data(root), head.padded_len - 4);

        output_stream out;
        if (sd_frame_write(out, head.protocol, head.code,
                           std::span<const uint8_t>(buf.data(), head.padded_len)) != SD_FRAME_OK ||
            out.bytes.size() != frame_len ||
            std::memcmp(out.bytes.data(), data + start, frame_len) != 0) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    read_all(data, size, 64);
    read_all(data, size, SD_FRAME_MAX_SIZE);
    return 0;
}
