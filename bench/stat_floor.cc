// The least a no-change sync of two trees must do: list every directory of both trees and stat
// every entry, one thread per tree, comparing nothing and writing nothing. bench/local.sh times it
// beside dvcp and rsync, so that a no-change sync's figure can be read against what the system
// calls alone cost on the machine.
//
//   stat_floor SOURCE DESTINATION     exit 0 when both trees have as many entries
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct linux_dirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

// Entries below the directory open as `dir`, which it closes.
long walk(int dir) {
    alignas(8) char buf[32768];
    long entries = 0;
    std::vector<std::string> subdirs;
    for (;;) {
        const long got = syscall(SYS_getdents64, dir, buf, sizeof(buf));
        if (got <= 0) break;
        for (long off = 0; off < got;) {
            const auto* d = reinterpret_cast<const linux_dirent64*>(buf + off);
            off += d->d_reclen;
            if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
            struct stat st;
            if (fstatat(dir, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            ++entries;
            if (S_ISDIR(st.st_mode)) subdirs.emplace_back(d->d_name);
        }
    }
    for (const std::string& name : subdirs) {
        const int sub = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (sub >= 0) entries += walk(sub);
    }
    close(dir);
    return entries;
}

long walk_path(const char* path) {
    const int dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return dir < 0 ? -1 : walk(dir);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: stat_floor SOURCE DESTINATION\n");
        return 2;
    }
    long src = 0;
    std::thread other([&] { src = walk_path(argv[1]); });
    const long dst = walk_path(argv[2]);
    other.join();
    return src >= 0 && src == dst ? 0 : 1;
}
