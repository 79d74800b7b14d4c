// Ways out of the served root, tried against every request, control and worker command that takes
// a path: "..", absolute paths, absolute and relative links made on disk, links a client made
// itself through the worker (on its own context and on another client's), and a directory swapped
// for a link to the outside between two requests. After every case the tree outside the root is
// compared entry by entry (contents, link texts, owner, bits, access, modification and change
// times) with what it was, and no reply may carry a byte of an outside file or a name listed from
// an outside directory.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "lib/test_support/temp_dir.h"
#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_frame.h"
#include "libdvsd/sd_msg.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/srv_route.h"
#include "libdvsrv/srv_session.h"
#include "libpal/os_root.h"
#include "librdir/mfile.h"
#include "librdir/misc.h"
#include "librdir/mstat.h"
#include "librdir/stat_line.h"

namespace fs = std::filesystem;

namespace {

// What lies outside the root. Replies are sent unpacked ("none"), so a byte of these contents
// or a listed name would show as it is. The names inside the outside directory appear in no link
// text, so a listing that shows one listed that directory.
constexpr char kTopFile[] = "secret-file.txt";
constexpr char kTopContent[] = "OUTSIDE-SECRET-TOP";
constexpr char kDeepFile[] = "outside-deep.txt";
constexpr char kDeepContent[] = "OUTSIDE-SECRET-DEEP";
constexpr char kEmptyDir[] = "outside-empty";
constexpr char kContentMark[] = "OUTSIDE-SECRET";
constexpr uint32_t kOutput = 1 << 20;
constexpr uint32_t kStrangerId = 4321;
// Outside entries carry these times; a request that reached them would change them.
constexpr time_t kOldAtime = 1000000;
constexpr time_t kOldMtime = 1234567;

bool contains(std::span<const uint8_t> bytes, std::string_view needle) {
    return std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end()) != bytes.end();
}

// One entry of the outside tree as text: kind, bits, owner, size, times (ns) and contents or
// link text. Read without touching the access time.
std::string describe(int dir_fd, const char* name, const struct stat& st) {
    char head[256];
    std::snprintf(head, sizeof(head),
                  "mode=%o uid=%u gid=%u size=%lld a=%lld.%09ld m=%lld.%09ld c=%lld.%09ld ",
                  static_cast<unsigned>(st.st_mode), static_cast<unsigned>(st.st_uid),
                  static_cast<unsigned>(st.st_gid), static_cast<long long>(st.st_size),
                  static_cast<long long>(st.st_atim.tv_sec), st.st_atim.tv_nsec,
                  static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec,
                  static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec);
    std::string text = head;
    if (S_ISLNK(st.st_mode)) {
        char link[4096];
        const ssize_t n = readlinkat(dir_fd, name, link, sizeof(link));
        if (n > 0) text.append(link, static_cast<size_t>(n));
    } else if (S_ISREG(st.st_mode)) {
        const int fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NOATIME | O_CLOEXEC);
        EXPECT_GE(fd, 0) << name;
        char buf[4096];
        for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof(buf))) > 0;) {
            text.append(buf, static_cast<size_t>(n));
        }
        if (fd >= 0) close(fd);
    }
    return text;
}

void walk(int dir_fd, const std::string& prefix, std::map<std::string, std::string>* out) {
    DIR* dir = fdopendir(dir_fd);
    ASSERT_NE(dir, nullptr);
    std::vector<std::string> subdirs;
    while (const dirent* de = readdir(dir)) {
        const std::string name = de->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        ASSERT_EQ(fstatat(dirfd(dir), de->d_name, &st, AT_SYMLINK_NOFOLLOW), 0);
        (*out)[prefix + name] = describe(dirfd(dir), de->d_name, st);
        if (S_ISDIR(st.st_mode)) subdirs.push_back(name);
    }
    for (const std::string& name : subdirs) {
        const int fd = openat(dirfd(dir), name.c_str(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOATIME | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        walk(fd, prefix + name + "/", out);
    }
    closedir(dir);
}

// The whole outside tree, the top directory itself included.
std::map<std::string, std::string> snapshot(const std::string& top) {
    std::map<std::string, std::string> out;
    const int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_NOATIME | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    if (fd < 0) return out;
    struct stat st;
    EXPECT_EQ(fstat(fd, &st), 0);
    out["."] = describe(fd, ".", st);
    walk(fd, "", &out);
    return out;
}

void set_old_times(const std::string& path) {
    const struct timespec ts[2] = {{kOldAtime, 0}, {kOldMtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// A worker line writing `name` with `data` (or making a link to `link` when `type` says so),
// owned by a stranger, so that any owner change outside would show.
std::string write_line(const std::string& name, const std::string& data, uint32_t type = 2,
                       const char* link = nullptr) {
    const std::string encoded =
        data.empty() ? std::string()
                     : rdir_b64_encode(std::span<const uint8_t>(
                           reinterpret_cast<const uint8_t*>(data.data()), data.size()));
    mstat_attr a{link, type, 0104777, 0x80, kStrangerId, kStrangerId, 1, 1, 0};
    char out[8192];
    EXPECT_EQ(libmfile_write_printf(name.c_str(), &a, encoded.c_str(), out, sizeof(out)), 0);
    return out;
}

std::string dir_line(const std::string& name) {
    mstat_attr a{nullptr, 1, 040777, 0x80, kStrangerId, kStrangerId, 1, 1, 0};
    char out[512];
    EXPECT_EQ(libmfile_dir_printf(name.c_str(), &a, out, sizeof(out)), 0);
    return out;
}

// A reply: its status and the bytes sent, and for the requests that hand out a number or data,
// those.
struct answer {
    int32_t error = 0;
    uint64_t number = 0;  // an open file or directory
    std::string data;     // the data field of a control with output or of a directory read
};

class Escape : public testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(outside_ + "/dir/" + kEmptyDir);
        dvtest::write_file(outside_ + "/" + kTopFile, kTopContent);
        dvtest::write_file(outside_ + "/dir/" + kDeepFile, kDeepContent);
        chmod((outside_ + "/" + kTopFile).c_str(), 0600);
        chmod((outside_ + "/dir").c_str(), 0750);
        for (const char* p :
             {"/dir/outside-empty", "/dir/outside-deep.txt", "/dir", "/secret-file.txt", ""}) {
            set_old_times(outside_ + p);
        }
        before_ = snapshot(outside_);
        fs::create_directories(root_path_);
        root_ = os_root_open(root_path_.c_str(), OS_ROOT_IN_ROOT);
        ASSERT_NE(root_, nullptr);
        reset_root();
    }
    void TearDown() override {
        a_.reset();
        b_.reset();
        os_root_close(root_);
    }

    // An empty root holding one directory "sub", and two fresh clients on it.
    void reset_root() {
        a_.reset();
        b_.reset();
        // The root's own directory stays: the handle holds it.
        for (const auto& e : fs::directory_iterator(root_path_)) fs::remove_all(e.path());
        fs::create_directories(root_path_ + "/sub");
        a_ = new_context();
        b_ = new_context();
    }
    std::shared_ptr<srv_context> new_context() {
        auto ctx = srv_context_new(&conf_, root_, "joe");
        EXPECT_TRUE(ctx);
        std::memset(ctx->pack.name, 0, sizeof(ctx->pack.name));
        std::strcpy(ctx->pack.name, "none");
        EXPECT_EQ(zcomp_init(&ctx->pack), 0);
        return ctx;
    }

    // Every reply passes here: no byte of an outside file may be in it.
    answer check(uint8_t code, const sd_frame_msg& msg) {
        answer a;
        const auto root = msg.root();
        EXPECT_FALSE(contains(root, kContentMark))
            << "reply to " << int(code) << " carries outside contents";
        auto table = sd_reply_table(code, code != SD_REQ_STAT && code != SD_REQ_FSTAT);
        std::vector<const blob_attr*> tb(table.size());
        if (root.size() < 4 ||
            cli_blobmsg_parse(table.data(), static_cast<int>(tb.size()), tb.data(), root.data() + 4,
                              root.size() - 4) != 0) {
            ADD_FAILURE() << "reply to " << int(code) << " does not parse";
            a.error = -1;
            return a;
        }
        a.error = blobmsg_get_int32(tb[SD_ERRNO]);
        if (a.error != 0) return a;
        if (code == SD_REQ_OPEN || code == SD_REQ_OPEN2 || code == SD_REQ_OPENDIR) {
            a.number = static_cast<uint64_t>(blobmsg_get_int64(tb[SD_FD_FD]));
        } else if (code == SD_REQ_IOCTL && tb[SD_IOCTL_DATA] != nullptr) {
            a.data.assign(reinterpret_cast<const char*>(blobmsg_data(tb[SD_IOCTL_DATA])),
                          blobmsg_data_len(tb[SD_IOCTL_DATA]));
        } else if (code == SD_REQ_READDIR || code == SD_REQ_READDIR_EX) {
            a.data.assign(reinterpret_cast<const char*>(blobmsg_data(tb[SD_READDIR_DATA])),
                          blobmsg_data_len(tb[SD_READDIR_DATA]));
        } else if (code == SD_REQ_STAT || code == SD_REQ_STAT_EX || code == SD_REQ_LSTAT) {
            EXPECT_NE(blobmsg_get_int64(tb[SD_STAT_TIME_WRITE]), kOldMtime)
                << "an outside entry was described";
        }
        return a;
    }

    answer call(srv_context& ctx, uint8_t code, const std::function<void(sd_frame_msg&)>& build) {
        sd_frame_msg req;
        EXPECT_EQ(req.reset(), 0);
        build(req);
        sd_frame_msg reply;
        srv_context_request(ctx, code, req.root().subspan(4), reply);
        return check(code, reply);
    }
    answer path_request(srv_context& ctx, uint8_t code, const std::string& path) {
        return call(ctx, code, [&](sd_frame_msg& m) { m.add_string(SDF_PATH, path.c_str()); });
    }
    answer open10(srv_context& ctx, const std::string& path, uint64_t mode) {
        return call(ctx, SD_REQ_OPEN, [&](sd_frame_msg& m) {
            m.add_string(SDF_PATH, path.c_str());
            m.add_int64(SDF_MODE, mode);
        });
    }
    answer open25(srv_context& ctx, const std::string& path, int flags) {
        return call(ctx, SD_REQ_OPEN2, [&](sd_frame_msg& m) {
            m.add_string(SDF_PATH, path.c_str());
            m.add_int32(SDF_FLAG, static_cast<uint32_t>(flags));
            m.add_int32(SDF_MODE, 04777);
        });
    }
    answer opendir(srv_context& ctx, const std::string& path) {
        return call(ctx, SD_REQ_OPENDIR, [&](sd_frame_msg& m) {
            m.add_string(SDF_PATH, path.c_str());
            m.add_string(SDF_PATTERN, "");
        });
    }
    answer on_number(srv_context& ctx, uint8_t code, uint64_t number,
                     const std::function<void(sd_frame_msg&)>& more = {}) {
        return call(ctx, code, [&](sd_frame_msg& m) {
            m.add_int64(SDF_FD, number);
            if (more) more(m);
        });
    }
    // Whatever a file opened for reading gives, in both ways of reading.
    void read_all(srv_context& ctx, uint64_t number) {
        on_number(ctx, SD_REQ_READ, number, [](sd_frame_msg& m) { m.add_int32(SDF_LEN, 4096); });
        on_number(ctx, SD_REQ_PREAD, number, [](sd_frame_msg& m) {
            m.add_int32(SDF_LEN, 4096);
            m.add_int64(SDF_OFFSET, 0);
        });
    }
    // Writes, truncates, stamps, gives away and closes a file opened for writing.
    void write_all(srv_context& ctx, uint64_t number) {
        static const char kData[] = "PWNED";
        on_number(ctx, SD_REQ_WRITE, number, [](sd_frame_msg& m) {
            m.add_int32(SDF_FLAGS, 0);
            m.add_int32(SDF_LEN, 5);
            m.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, kData, 5);
        });
        on_number(ctx, SD_REQ_SET_LEN, number, [](sd_frame_msg& m) { m.add_int64(SDF_LEN, 1); });
        on_number(ctx, SD_REQ_FSET_TIME, number, [](sd_frame_msg& m) {
            m.add_int64(SDF_TIME_ACCESS, 7);
            m.add_int64(SDF_TIME_WRITE, 7);
            m.add_int64(SDF_TIME_CREATE, 7);
        });
        control20(ctx, 10039, "2\t1ff\t80\t0\t0\t0\t4321\t4321", number);
        on_number(ctx, SD_REQ_CLOSE, number);
    }
    // Reads a directory opened earlier in both line sets, rewinding in between: no outside name.
    void list_all(srv_context& ctx, uint64_t number) {
        for (uint8_t code : {SD_REQ_READDIR, SD_REQ_READDIR_EX}) {
            answer r =
                on_number(ctx, code, number, [](sd_frame_msg& m) { m.add_int32(SDF_LEN, 65536); });
            expect_no_outside_names(r.data);
            control8(ctx, 10050, "0", 0, number);
        }
        on_number(ctx, SD_REQ_CLOSEDIR, number);
    }

    answer control20(srv_context& ctx, int32_t cmd, const std::string& text, uint64_t number = 0) {
        sd_frame_msg reply;
        const auto* p = reinterpret_cast<const uint8_t*>(text.c_str());
        srv_context_control(ctx, SD_REQ_FILE_IOCTL, number, cmd, {p, text.size() + 1}, 0, reply);
        return check(SD_REQ_FILE_IOCTL, reply);
    }
    answer control8(srv_context& ctx, int32_t cmd, const std::string& text, uint32_t olen = kOutput,
                    uint64_t number = 0) {
        sd_frame_msg reply;
        const auto* p = reinterpret_cast<const uint8_t*>(text.c_str());
        const std::span<const uint8_t> data(p, text.size() + 1);
        srv_context_control(ctx, SD_REQ_IOCTL, number, cmd, data, olen, reply);
        return check(SD_REQ_IOCTL, reply);
    }

    void expect_no_outside_names(const std::string& listing) {
        EXPECT_EQ(listing.find(kDeepFile), std::string::npos) << listing;
        EXPECT_EQ(listing.find(kEmptyDir), std::string::npos) << listing;
    }

    // Reads a listing until both streams ended (or reads keep coming back empty); its text.
    std::string read_listing(srv_context& ctx) {
        std::string all;
        int ends = 0;
        for (int empty = 0; empty < 3 && ends < 2;) {
            answer r = control8(ctx, 10123, "");
            if (r.error != 0) break;
            if (r.data.empty()) {
                ++empty;
                continue;
            }
            ends += r.data.find('\r') != std::string::npos;
            all += r.data;
        }
        expect_no_outside_names(all);
        return all;
    }

    // Posts a worker command and collects its results: `entries` answers (text answers end in
    // `sep`; 0 for a command that ends its answers with "$"; data blocks when `blocks`).
    std::string worker(srv_context& ctx, int32_t cmd, const std::string& text, size_t entries,
                       char sep = '\t') {
        if (control8(ctx, cmd, text).error != 0) return {};
        std::string all;
        for (;;) {
            if (cmd == 10133) {
                size_t count = 0;
                for (size_t pos = 0; pos + 4 <= all.size(); ++count) {
                    const auto* h = reinterpret_cast<const uint8_t*>(all.data() + pos);
                    const uint32_t head = (uint32_t{h[0]} << 24) | (uint32_t{h[1]} << 16) |
                                          (uint32_t{h[2]} << 8) | h[3];
                    pos += 4 + (head & MFILE_HEAD_LEN_MASK);
                }
                if (count >= entries) break;
            } else if (entries == 0 ? all.find('$') != std::string::npos
                                    : static_cast<size_t>(
                                          std::count(all.begin(), all.end(), sep)) >= entries) {
                break;
            }
            answer r = control8(ctx, 10132, "");
            if (r.error != 0 || r.data.empty()) {
                ADD_FAILURE() << "worker " << cmd << " [" << text << "] answered " << all.size()
                              << " bytes only";
                break;
            }
            all += r.data;
        }
        return all;
    }
    // The data blocks of a read command, each failed or not.
    std::vector<bool> read_results(srv_context& ctx, const std::string& text, size_t entries) {
        std::string raw = worker(ctx, 10133, text, entries);
        std::vector<bool> failed;
        for (size_t pos = 0; pos < raw.size();) {
            size_t consumed = 0;
            mfile_data_result r;
            if (libmfile_read_get_data_len_err(reinterpret_cast<uint8_t*>(raw.data() + pos),
                                               raw.size() - pos, &consumed, &r) != 0) {
                ADD_FAILURE() << "bad block";
                break;
            }
            failed.push_back(r.open_failed || r.read_failed);
            std::free(r.data);
            pos += consumed;
        }
        return failed;
    }

    // Links made by a client through the worker's link entries, from the root: `file` to the
    // outside file, `dir` to the outside directory, with the texts given.
    void make_links(srv_context& ctx, const std::string& file, const std::string& file_text,
                    const std::string& dir, const std::string& dir_text) {
        control8(ctx, 10130, "65536\t300");
        const std::string made = worker(
            ctx, 10135,
            "/\t" + write_line(file, "", RDIR_TYPE_LINK | RDIR_TYPE_OTHER, file_text.c_str()) +
                "\n" + write_line(dir, "", RDIR_TYPE_LINK | RDIR_TYPE_DIR, dir_text.c_str()),
            2, '\n');
        ASSERT_EQ(made, "0\t0\n0\t0\n");
        struct stat st;
        ASSERT_EQ(lstat((root_path_ + "/" + file).c_str(), &st), 0);
        ASSERT_TRUE(S_ISLNK(st.st_mode));
    }

    // Before a swap: a client works in the directory "sw" (a file kept open for writing, the
    // directory open for listing, the worker and the lister on it).
    void work_in_sw(bool replacing) {
        srv_context& a = *a_;
        ASSERT_EQ(control20(a, 10013, "sw/inner").error, 0);
        ASSERT_EQ(call(a, SD_REQ_PUT_FILE,
                       [](sd_frame_msg& m) {
                           m.add_string(SDF_PATH, "sw");
                           m.add_string(SDF_NAME, "kept");
                           m.add_int32(SDF_LEN, 2);
                           m.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, "ok", 2);
                       })
                      .error,
                  0);
        EXPECT_EQ(path_request(a, SD_REQ_STAT, "sw").error, 0);
        answer kept = replacing ? open10(a, "sw/kept", 0x2a) : open25(a, "sw/kept", O_WRONLY);
        ASSERT_EQ(kept.error, 0);
        kept_file_ = kept.number;
        answer dir = opendir(a, "sw");
        ASSERT_EQ(dir.error, 0);
        kept_dir_ = dir.number;
        control8(a, 10130, "65536\t300");
        EXPECT_EQ(read_results(a, "sw\tkept\t10", 1), std::vector<bool>{false});
        ASSERT_EQ(control8(a, 10120, "sw\t0\t300").error, 0);
    }
    // ... and after it, everything the client still holds from before: first what only looks,
    // then (`change`) what writes.
    void carry_on_in_sw(bool change) {
        if (kept_dir_ == 0 && kept_file_ == 0) return;
        srv_context& a = *a_;
        if (!change) {
            list_all(a, kept_dir_);
            read_listing(a);
            // An empty base keeps the previous one: "sw", now the link.
            EXPECT_EQ(read_results(a, "\tinner\t10", 1), std::vector<bool>{true});
            return;
        }
        write_all(a, kept_file_);
        worker(a, 10135, "\t" + write_line("planted", "PWNED"), 1, '\n');
        worker(a, 10134, "\t" + dir_line("newdir"), 1);
        worker(a, 10136, "\t" + std::string(kDeepFile), 1);
        worker(a, 10138, "", 0);
        kept_dir_ = kept_file_ = 0;
    }

    // The requests that only look: every one must fail or show nothing from outside. `file`
    // leads out to the outside file and `dir` to the outside directory, if anything is followed
    // out of the root; inside it, neither names anything yet.
    void looking(srv_context& a, const std::string& file, const std::string& dir) {
        const std::string deep = dir + "/" + kDeepFile;
        answer r = open10(a, file, 0x1);
        EXPECT_NE(r.error, 0) << "open " << file;
        if (r.error == 0) read_all(a, r.number);
        r = open25(a, file, O_RDONLY);
        EXPECT_NE(r.error, 0) << "open2 " << file;
        if (r.error == 0) read_all(a, r.number);
        r = open25(a, deep, O_RDONLY);
        EXPECT_NE(r.error, 0) << "open2 " << deep;
        if (r.error == 0) read_all(a, r.number);
        for (uint8_t code : {SD_REQ_STAT, SD_REQ_STAT_EX}) {
            EXPECT_NE(path_request(a, code, file).error, 0) << int(code) << " " << file;
            EXPECT_NE(path_request(a, code, dir).error, 0) << int(code) << " " << dir;
        }
        EXPECT_NE(path_request(a, SD_REQ_LSTAT, deep).error, 0) << deep;
        EXPECT_NE(path_request(a, SD_REQ_STATFS, dir).error, 0) << dir;
        r = opendir(a, dir);
        EXPECT_NE(r.error, 0) << "opendir " << dir;
        if (r.error == 0) list_all(a, r.number);
        // The lister, opened on it or told to list it.
        r = control8(a, 10120, dir + "\t0\t300");
        EXPECT_NE(r.error, 0) << "lister " << dir;
        if (r.error == 0) read_listing(a);
        ASSERT_EQ(control8(a, 10120, "sub\t0\t300").error, 0);
        read_listing(a);
        if (control8(a, 10122, dir).error == 0) read_listing(a);
        // The worker's reads: the base itself, and names from the root.
        ASSERT_EQ(control8(a, 10130, "65536\t300").error, 0);
        EXPECT_EQ(read_results(a, dir + "\t" + kDeepFile + "\t100", 1), std::vector<bool>{true});
        EXPECT_EQ(read_results(a, "/\t" + file + "\t100\n" + deep + "\t100", 2),
                  (std::vector<bool>{true, true}));
    }

    // The requests that change something: whatever they answer, nothing outside changes.
    void changing(srv_context& a, const std::string& file, const std::string& dir) {
        const std::string deep = dir + "/" + kDeepFile;
        for (const std::string& p : {file, deep}) {
            answer r = open10(a, p, 0x2a);  // write, create, truncate: replaced
            if (r.error == 0) write_all(a, r.number);
            r = open25(a, p, O_WRONLY | O_APPEND);  // written in place
            if (r.error == 0) write_all(a, r.number);
            r = open25(a, p, O_RDWR | O_CREAT | O_TRUNC);
            if (r.error == 0) write_all(a, r.number);
        }
        answer r = open25(a, dir + "/new-file", O_RDWR | O_CREAT | O_EXCL);
        if (r.error == 0) write_all(a, r.number);
        for (const char* name : {kDeepFile, "planted"}) {
            call(a, SD_REQ_PUT_FILE, [&](sd_frame_msg& m) {
                m.add_string(SDF_PATH, dir.c_str());
                m.add_string(SDF_NAME, name);
                m.add_int32(SDF_LEN, 5);
                m.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, "PWNED", 5);
            });
        }
        for (const std::string& p : {file, dir, deep, dir + "/", dir + "/."}) {
            control20(a, 10038, p + "\t2\t1ff\t80\t0\t0\t0\t4321\t4321");
            control20(a, 10029, p + "\t7\t7\t7\t0\t0\t0");
            control20(a, 10030, p + "\t7\t7\t7\t0\t0\t0");
        }
        control20(a, 10013, dir + "/newdir");
        control20(a, 10013, dir + "/" + kEmptyDir + "/newdir");
        // The worker, based on the directory and from the root.
        control8(a, 10130, "65536\t300");
        worker(a, 10134, dir + "\t" + dir_line("newdir") + "\n" + dir_line(kEmptyDir), 2);
        worker(a, 10135,
               dir + "\t" + write_line(kDeepFile, "PWNED") + "\n" + write_line("planted", "PWNED") +
                   "\n" + write_line("empty-file", "") + "\n" +
                   write_line("own-link", "", RDIR_TYPE_LINK | RDIR_TYPE_OTHER, "/x"),
               4, '\n');
        worker(a, 10135, "/\t" + write_line(file, "PWNED") + "\n" + write_line(deep, "PWNED"), 2,
               '\n');
        worker(a, 10136, dir + "\t" + kDeepFile, 1);
        worker(a, 10136, "/\t" + file + "\n" + deep, 2);
        worker(a, 10138, dir, 0);
        worker(a, 10138, dir + "/" + kEmptyDir, 0);
        // Removing last: a link removed is a link that later requests no longer pass through.
        control20(a, 10037, deep + "\t0");
        control20(a, 10036, dir + "/" + kEmptyDir + "\t0");
        control20(a, 10037, file + "\t0");
        control20(a, 10036, dir + "\t0");
        control20(a, 10037, dir + "\t0");
    }

    dvtest::TempDir top_{"srv_escape_test"};
    std::string root_path_ = top_.at("root");
    std::string outside_ = top_.at("outside");
    std::map<std::string, std::string> before_;
    dvsrv_conf conf_;
    os_root* root_ = nullptr;
    std::shared_ptr<srv_context> a_, b_;  // two clients of the same root
    uint64_t kept_file_ = 0;
    uint64_t kept_dir_ = 0;
};

struct escape_case {
    std::string name;
    std::string file;  // would lead to the outside file
    std::string dir;   // would lead to the outside directory
    std::function<void()> prepare;
};

TEST_F(Escape, NoRequestReachesOutsideTheRoot) {
    const std::string out = outside_;
    const std::string file_abs = out + "/" + kTopFile;
    const std::string dir_abs = out + "/dir";
    auto on_disk = [this](const std::string& name, const std::string& text) {
        fs::create_directories(fs::path(root_path_ + "/" + name).parent_path());
        fs::create_symlink(text, root_path_ + "/" + name);
    };
    const std::vector<escape_case> cases = {
        {"dot-dot", "../outside/secret-file.txt", "sub/../../outside/dir", nullptr},
        {"absolute path", file_abs, dir_abs, nullptr},
        {"absolute link on disk", "abs_f", "abs_d",
         [&] {
             on_disk("abs_f", file_abs);
             on_disk("abs_d", dir_abs);
         }},
        {"relative link on disk", "sub/rel_f", "sub/rel_d",
         [&] {
             on_disk("sub/rel_f", "../../outside/secret-file.txt");
             on_disk("sub/rel_d", "../../outside/dir");
         }},
        {"chain of links, link to ..", "chain", "up/outside/dir",
         [&] {
             on_disk("rel_f", "../outside/secret-file.txt");
             on_disk("chain", "rel_f");
             on_disk("up", "..");
         }},
        {"absolute link made by this client", "own_f", "own_d",
         [&] { make_links(*a_, "own_f", file_abs, "own_d", dir_abs); }},
        {"relative link made by this client", "sub/own_f", "sub/own_d",
         [&] {
             make_links(*a_, "sub/own_f", "../../outside/secret-file.txt", "sub/own_d",
                        "../../outside/dir");
         }},
        {"absolute link made by another client", "their_f", "their_d",
         [&] { make_links(*b_, "their_f", file_abs, "their_d", dir_abs); }},
        {"relative link made by another client", "sub/their_f", "sub/their_d",
         [&] {
             make_links(*b_, "sub/their_f", "../../outside/secret-file.txt", "sub/their_d",
                        "../../outside/dir");
         }},
        {"directory swapped for a link on disk", std::string("sw/") + kDeepFile, "sw",
         [&] {
             work_in_sw(true);
             fs::rename(root_path_ + "/sw", root_path_ + "/sw.old");
             on_disk("sw", dir_abs);
         }},
        {"directory swapped for a link by another client", std::string("sw/") + kDeepFile, "sw",
         [&] {
             work_in_sw(false);
             srv_context& b = *b_;
             ASSERT_EQ(control20(b, 10037, "sw/kept\t0").error, 0);
             ASSERT_EQ(control20(b, 10036, "sw/inner\t0").error, 0);
             ASSERT_EQ(control20(b, 10036, "sw\t0").error, 0);
             make_links(b, "sw_f", file_abs, "sw", dir_abs);
         }},
    };
    for (const escape_case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_root();
        if (c.prepare) c.prepare();
        if (HasFatalFailure()) return;
        // Both clients look first: the changes may make the same names inside the root, which
        // is where they belong.
        carry_on_in_sw(false);
        looking(*a_, c.file, c.dir);
        looking(*b_, c.file, c.dir);
        carry_on_in_sw(true);
        changing(*a_, c.file, c.dir);
        changing(*b_, c.file, c.dir);
        a_.reset();
        b_.reset();
        EXPECT_EQ(snapshot(outside_), before_);
    }
}

// Emptying a base keeps directories and links to directories, and removes the rest. A link is
// judged inside the root, as a listing shows it: one whose text names an outside directory leads
// nowhere in the root and goes like any other, so what the command keeps or removes tells
// nothing about what exists outside.
TEST_F(Escape, EmptyingABaseJudgesLinksInsideTheRoot) {
    const std::string ls = root_path_ + "/ls";
    fs::create_directories(ls);
    fs::create_symlink(outside_ + "/dir", ls + "/abs_out_dir");
    fs::create_symlink("../../outside/dir", ls + "/rel_out_dir");
    fs::create_symlink(outside_ + "/" + kTopFile, ls + "/abs_out_file");
    fs::create_symlink("/sub", ls + "/in_dir");
    fs::create_symlink("../sub", ls + "/rel_in_dir");
    dvtest::write_file(ls + "/file", "x");
    srv_context& a = *a_;
    ASSERT_EQ(control8(a, 10130, "65536\t300").error, 0);
    EXPECT_EQ(worker(a, 10138, "ls", 0), "F\t0\t0\t0\t0\t$");
    std::set<std::string> left;
    for (const auto& e : fs::directory_iterator(ls)) left.insert(e.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"in_dir", "rel_in_dir"}));
    a_.reset();
    EXPECT_EQ(snapshot(outside_), before_);
}

}  // namespace
