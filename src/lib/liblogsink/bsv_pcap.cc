#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "liblog/log2_sink.h"
#include "liblogsink/bsv.h"
#include "sink_impl.h"

namespace logsink::pcap {

namespace {

// Capture files are written in this machine's byte order; readers tell it by the magic.
struct global_header {
    uint32_t magic;
    uint16_t version_major;
    uint16_t version_minor;
    int32_t zone;
    uint32_t accuracy;
    uint32_t snapshot_length;
    uint32_t link_type;
};
static_assert(sizeof(global_header) == BSV_PCAP_HEADER_SIZE);

struct packet_header {
    uint32_t sec;
    uint32_t usec;
    uint32_t captured;
    uint32_t original;
};
static_assert(sizeof(packet_header) == BSV_PCAP_PACKET_HEADER_SIZE);

constexpr uint32_t kSnapshotLength = 65536;

global_header header_for(int record_type) {
    return {BSV_PCAP_MAGIC,
            2,
            4,
            0,
            0,
            kSnapshotLength,
            BSV_PCAP_LINK_BASE + static_cast<uint32_t>(record_type)};
}

bool read_at(int fd, void* buffer, size_t length, off_t offset) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    while (length > 0) {
        const ssize_t n = pread(fd, bytes, length, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

bool put(FILE* file, const void* data, size_t length) {
    return length == 0 || fwrite(data, 1, length, file) == length;
}

// The end of the file, where the stream is left.
bool end_of(FILE* file, off_t* size) {
    if (fflush(file) != 0 || fseeko(file, 0, SEEK_END) != 0) return false;
    *size = ftello(file);
    return *size >= 0;
}

}  // namespace

FILE* open(const char* path, char mode, int record_type) {
    FILE* file = fopen(path, mode == 'a' ? "ab+e" : "wb+e");
    if (file == nullptr) {
        log2_diag("fopen %s err\n", path);
        return nullptr;
    }
    const global_header wanted = header_for(record_type);
    off_t size = 0;
    bool ok = end_of(file, &size);
    if (ok && size > 0) {
        global_header found{};
        ok = static_cast<size_t>(size) >= sizeof(found) &&
             read_at(fileno(file), &found, sizeof(found), 0) && found.magic == wanted.magic &&
             found.link_type == wanted.link_type;
        if (!ok) {
            log2_diag("fopen %s err: not a capture file of link type %u in this byte order\n", path,
                      wanted.link_type);
        }
    } else if (ok) {
        ok = put(file, &wanted, sizeof(wanted)) && fflush(file) == 0;
        if (!ok) log2_diag("log_file_write: fwrite error\n");
    }
    if (!ok) {
        fclose(file);
        return nullptr;
    }
    return file;
}

int append(FILE* file, std::span<const uint8_t> record, uint64_t sec, uint32_t usec) {
    if (record.size() <= BSV_PCAP_RECORD_SKIP) {
        log2_diag("expr[%s]: assert failed\n", "len > 12");
        return -1;
    }
    off_t start = 0;
    if (!end_of(file, &start)) return -1;
    const auto length = static_cast<uint32_t>(record.size() - BSV_PCAP_RECORD_SKIP);
    const packet_header header{static_cast<uint32_t>(sec), usec, length, length};
    if (put(file, &header, sizeof(header)) &&
        put(file, record.data() + BSV_PCAP_RECORD_SKIP, length) && fflush(file) == 0 &&
        !ferror(file)) {
        return 0;
    }
    // A partial packet would make every later one unreadable.
    clearerr(file);
    if (ftruncate(fileno(file), start) != 0) {
        log2_diag("log_file_write: cannot take back a partial record\n");
    }
    return -1;
}

int keep_newest_half(FILE* file, uint64_t max_size) {
    off_t size = 0;
    if (!end_of(file, &size)) return -1;
    if (max_size == 0 || static_cast<uint64_t>(size) < max_size) return 0;

    // Walk the packet headers to the first packet from which at most half the cap remains.
    const int fd = fileno(file);
    const uint64_t keep = max_size / 2;
    uint64_t offset = BSV_PCAP_HEADER_SIZE;
    const auto end = static_cast<uint64_t>(size);
    while (offset < end && end - offset > keep) {
        packet_header header{};
        if (end - offset < sizeof(header) ||
            !read_at(fd, &header, sizeof(header), static_cast<off_t>(offset))) {
            offset = end;  // a damaged tail: keep only the global header
            break;
        }
        const uint64_t next = offset + sizeof(header) + header.captured;
        if (header.captured > kSnapshotLength || next > end) {
            offset = end;
            break;
        }
        offset = next;
    }

    std::vector<uint8_t> tail(end - offset);
    if (!tail.empty() && !read_at(fd, tail.data(), tail.size(), static_cast<off_t>(offset))) {
        return -1;
    }
    if (ftruncate(fd, BSV_PCAP_HEADER_SIZE) != 0 || fseeko(file, 0, SEEK_END) != 0 ||
        !put(file, tail.data(), tail.size()) || fflush(file) != 0) {
        return -1;
    }
    return 1;
}

}  // namespace logsink::pcap
