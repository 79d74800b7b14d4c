// dvcp: copies, synchronises and lists directory trees.
//
//   dvcp [mode=..] if=SRC [of=DST] [bs=N] [olist=FILE] [dbg=sync_reason] [level=LEVEL]
//        [changes=FILE|-] [dry_run=0|1] [max_delete=N] [hard_links=0|1] [xattrs=0|1]
//        [progress=0|1] [max_dir_entries=N] [max_dir_bytes=SIZE]
//   dvcp ls_mode=[cp|sync]
//   dvcp -v
//   dvcp -h | --help
//
// One run is one job of the copy engine; its result is the exit status. SIGINT, SIGTERM, SIGHUP
// and SIGPIPE stop the job cleanly (status 6): whatever was half written is cleaned up by the
// engine, which an abrupt death would leave behind.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "dvcp/progress.h"
#include "libcdir/cstat.h"
#include "libcdir/libcdir.h"
#include "libconf/ini/conf_client.h"
#include "libdvsd/dvsd_cli.h"
#include "liblog/log2.h"
#include "liblogsink/log_init.h"
#include "libnet/sock_cli.h"
#include "libpal/app.h"
#include "libpal/args.h"
#include "libpal/os_fs.h"
#include "libpal/strnum.h"
#include "libpal/url.h"

#define DVCP_LOG(level, ...) DV_LOG("dvcp", level, __VA_ARGS__)

namespace {

constexpr const char* kAppName = "dvcp";
constexpr const char* kVersion = APP_VERSION_TEXT;
constexpr const char* kVersionDate = "2023-11-8";
constexpr const char* kDescription = "Quickly copy synced files";
constexpr const char* kConfigName = "dvcp.ini";

// Keys in table order; the position is the key's number.
constexpr const char kKeywords[] =
    "mode\0if\0of\0bs\0olist\0dbg\0level\0ls_mode\0changes\0dry_run\0max_delete\0hard_links\0"
    "xattrs\0progress\0max_dir_entries\0max_dir_bytes\0";
enum key_no {
    KEY_MODE,
    KEY_IF,
    KEY_OF,
    KEY_BS,
    KEY_OLIST,
    KEY_DBG,
    KEY_LEVEL,
    KEY_LS_MODE,
    KEY_CHANGES,
    KEY_DRY_RUN,
    KEY_MAX_DELETE,
    KEY_HARD_LINKS,
    KEY_XATTRS,
    KEY_PROGRESS,
    KEY_MAX_DIR_ENTRIES,
    KEY_MAX_DIR_BYTES,
};

struct mode_entry {
    const char* name;
    bool list;  // a list job: the comparison rule stays as it is
    uint32_t job_type;
    uint32_t cmp_mode;
};

constexpr mode_entry kModes[] = {
    {"ls", true, LIBCDIR_JOB_LIST, 0},
    {"copy_overwrite", false, LIBCDIR_JOB_COPY, LIBCDIR_CMP_OVERWRITE},
    {"cp", false, LIBCDIR_JOB_COPY, LIBCDIR_CMP_OVERWRITE},
    {"copy_diff_size_date", false, LIBCDIR_JOB_COPY, LIBCDIR_CMP_DIFF_SIZE_DATE},
    {"copy_newer", false, LIBCDIR_JOB_COPY, LIBCDIR_CMP_NEWER},
    // Leaves files that already exist at the destination alone.
    {"copy_no_overwrite", false, LIBCDIR_JOB_COPY, LIBCDIR_CMP_NO_OVERWRITE},
    {"sync_diff_size_date", false, LIBCDIR_JOB_SYNC, LIBCDIR_CMP_SYNC_DIFF_SIZE_DATE},
    {"sync", false, LIBCDIR_JOB_SYNC, LIBCDIR_CMP_SYNC_DIFF_SIZE_DATE},
    {"sync_diff_size_date_bin", false, LIBCDIR_JOB_SYNC, 6},
    {"sync_diff_size_date_hash", false, LIBCDIR_JOB_SYNC, 7},
    {"sync_diff_size_date_rsync", false, LIBCDIR_JOB_SYNC, 8},
    {"sync_diff_size_date_auto_hash_rsync", false, LIBCDIR_JOB_SYNC, 9},
};

constexpr const char* kAdvertisedModes[] = {"copy_overwrite", "copy_diff_size_date",
                                            "sync_diff_size_date"};

const char* byte_order() {
    const uint16_t probe = 1;
    unsigned char first;
    memcpy(&first, &probe, 1);
    return first == 1 ? "little" : "big";
}

void print_usage(FILE* out) {
    fprintf(out, "%s v%s (%s) [%s] - %s\n", kAppName, kVersion, kVersionDate, byte_order(),
            kDescription);
    fprintf(out, "Copies, synchronises and lists directory trees, locally or with dvsd.\n");
    fprintf(out, "\n");
    fprintf(out, "usage: dvcp [mode=..] [if=dir] [of=dir] [bs=N]\n");
    fprintf(out, "\tmode=[mode=cp|sync|ls|rm|...] Specifying the working mode\n");
    fprintf(out, "\tls_mode=[cp|sync] Enumerate available modes\n");
    fprintf(out, "\tdbg=[sync_reason]  print dbg info ..\n");
    fprintf(out, "\tbs=BYTES    read and write BYTES bytes at a time\n");
    fprintf(out, "\tlevel=LEVEL    set log level: [verb, dbg, info, warn, err]\n");
    fprintf(out, "\tolist=FILE    mode=ls: write the listing to FILE (required)\n");
    fprintf(out,
            "\tchanges=FILE    list changes: + created, ~ updated, - deleted, ! failed "
            "(- for stdout)\n");
    fprintf(out,
            "\tdry_run=0|1    1: compare and report as the mode would, write and delete "
            "nothing\n");
    fprintf(out,
            "\tmax_delete=N    a sync that would delete more than N files deletes none "
            "(exit 8)\n");
    fprintf(out, "\thard_links=0|1    1: keep hard-linked files linked at a local destination\n");
    fprintf(out, "\txattrs=0|1    1: copy extended attributes and ACLs on local routes\n");
    fprintf(out,
            "\tprogress=0|1    status line on standard error (default: when it is a "
            "terminal)\n");
    fprintf(out,
            "\tmax_dir_entries=N, max_dir_bytes=SIZE    most entries and listing bytes one "
            "directory may have (default 1000000 and 128M); beyond them it fails\n");
    fprintf(out, "\t-h, --help    this text; -v    the version\n");
    fprintf(out, "SIGINT, SIGTERM, SIGHUP or SIGPIPE stop the run cleanly (exit 6).\n");
}

// A usage error with its reason: the specific complaint first, then the usual text.
int usage_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

int usage_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
    print_usage(stderr);
    return 1;
}

void print_modes(std::string_view value) {
    std::string key = value == "cp" ? "copy" : std::string(value.substr(0, 255));
    std::string list;
    for (const char* name : kAdvertisedModes) {
        if (std::string_view(name).starts_with(key)) {
            list += name;
            list += "\n";
        }
    }
    printf("supprots_mode:\n%s", list.c_str());
    fflush(stdout);
}

int keyword_number(std::string_view key) {
    int no = 0;
    for (const char* k = kKeywords; *k != '\0'; k += strlen(k) + 1, ++no) {
        if (key == k) return no;
    }
    return -1;
}

const mode_entry* find_mode(std::string_view name) {
    for (const mode_entry& m : kModes) {
        if (name == m.name) return &m;
    }
    return nullptr;
}

// What the arguments ask for.
struct args {
    std::string i_url;
    std::string o_url;
    std::string olist;
    std::string changes;
    bool has_o_url = false;
    bool has_olist = false;
    bool has_changes = false;
    bool list = false;  // the last mode= asked for a listing
    int progress = -1;  // progress=: 0 off, 1 on, -1 when standard error is a terminal
};

// Shown in a complaint: a value is cut short rather than flooding the terminal.
std::string shown(std::string_view value) {
    return std::string(value.substr(0, 200));
}

// A switch value: exactly "0" or "1".
std::optional<bool> parse_switch(std::string_view value) {
    if (value == "0") return false;
    if (value == "1") return true;
    return std::nullopt;
}

// A count of 0 or more in decimal digits; no sign, no suffix, nothing beyond int64.
std::optional<int64_t> parse_count(std::string_view value) {
    if (value.empty() || value.front() < '0' || value.front() > '9') return std::nullopt;
    int64_t n = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (ec != std::errc() || end != value.data() + value.size()) return std::nullopt;
    return n;
}

// Fills `param` and `a` from the arguments. Returns -1 to run the job, otherwise the exit status
// of a run that ends here (usage text, version, mode listing).
int parse_args(int argc, char** argv, libcdir_param* param, args* a) {
    if (argc == 2 && strcmp(argv[1], "-v") == 0) {
        printf("%s\n", kVersion);
        fflush(stdout);
        return 0;
    }
    std::string_view bad;
    const int walked = args_walk(
        argc, argv, ARGS_SKIP_DOUBLE_DASH,
        [&](std::string_view key, std::string_view value) {
            const int number = keyword_number(key);
            switch (number) {
                case KEY_MODE: {
                    const mode_entry* m = find_mode(value);
                    if (m == nullptr) return usage_error("bad mode \"%s\"", shown(value).c_str());
                    param->job_type = m->job_type;
                    a->list = m->list;
                    if (!m->list) param->cmp_mode = m->cmp_mode;
                    break;
                }
                case KEY_IF:
                    if (value.empty()) return usage_error("empty value for if=");
                    a->i_url = value;
                    break;
                case KEY_OF:
                    if (value.empty()) return usage_error("empty value for of=");
                    a->o_url = value;
                    a->has_o_url = true;
                    break;
                case KEY_BS: {
                    std::string text(value);
                    uint64_t bs = str_size_parse(text.c_str());
                    // A block size that is unusable for the job's buffers is refused up front.
                    if (!libcdir_bs_valid(bs)) {
                        return usage_error("bs=%s: must be a size from 64k to 256M", text.c_str());
                    }
                    param->bs = static_cast<uint32_t>(bs);
                    break;
                }
                case KEY_OLIST:
                    a->olist = value;
                    a->has_olist = true;
                    break;
                case KEY_DBG:
                    // A misspelt option must not pass for one that was applied.
                    if (value != "sync_reason") {
                        return usage_error("bad dbg \"%s\"", shown(value).c_str());
                    }
                    param->dbg |= LIBCDIR_DBG_SYNC_REASON;
                    break;
                case KEY_LEVEL: {
                    std::string level(value);
                    if (log_level_from_name(level.c_str()) < 0) {
                        return usage_error("bad level \"%s\"", shown(value).c_str());
                    }
                    log2_ioctl(nullptr, 3, level.data(), -1);
                    if (level == "dbg" || level == "verb") {
                        char flags[] = "time|tid|func";
                        log2_ioctl(nullptr, 4, flags, -1);
                    }
                    break;
                }
                case KEY_LS_MODE:
                    print_modes(value);
                    return 0;
                case KEY_CHANGES:
                    if (value.empty()) return usage_error("empty value for changes=");
                    a->changes = value;
                    a->has_changes = true;
                    break;
                case KEY_MAX_DELETE: {
                    std::optional<int64_t> n = parse_count(value);
                    if (!n) {
                        return usage_error(
                            "bad max_delete \"%s\": must be a whole number, 0 or more",
                            shown(value).c_str());
                    }
                    param->max_delete = *n;
                    break;
                }
                case KEY_MAX_DIR_ENTRIES: {
                    std::optional<int64_t> n = parse_count(value);
                    if (!n || *n == 0) {
                        return usage_error(
                            "bad max_dir_entries \"%s\": must be a whole number, 1 or more",
                            shown(value).c_str());
                    }
                    param->max_dir_entries = static_cast<uint64_t>(*n);
                    break;
                }
                case KEY_MAX_DIR_BYTES: {
                    std::string text(value);
                    const uint64_t n = str_size_parse(text.c_str());
                    if (n == 0) {
                        return usage_error("bad max_dir_bytes \"%s\": must be a size above 0",
                                           shown(value).c_str());
                    }
                    param->max_dir_bytes = n;
                    break;
                }
                case KEY_DRY_RUN:
                case KEY_HARD_LINKS:
                case KEY_XATTRS:
                case KEY_PROGRESS: {
                    std::optional<bool> on = parse_switch(value);
                    std::string name(key);
                    if (!on) {
                        return usage_error("bad %s \"%s\": must be 0 or 1", name.c_str(),
                                           shown(value).c_str());
                    }
                    if (number == KEY_DRY_RUN) param->dry_run = *on ? 1 : 0;
                    if (number == KEY_HARD_LINKS) param->hard_links = *on ? 1 : 0;
                    if (number == KEY_XATTRS) param->xattrs = *on ? 1 : 0;
                    if (number == KEY_PROGRESS) a->progress = *on ? 1 : 0;
                    break;
                }
                default:
                    return usage_error("unknown key \"%s\"", shown(key).c_str());
            }
            return ARGS_DONE;
        },
        &bad);
    if (walked == ARGS_HELP) {
        // Asked for, the usage text is the output of a successful run, not a complaint.
        print_usage(stdout);
        fflush(stdout);
        return 0;
    }
    if (walked == ARGS_MALFORMED) {
        return usage_error("bad argument \"%s\": expected key=value", shown(bad).c_str());
    }
    if (walked != ARGS_DONE) return walked;
    if (a->i_url.empty()) return usage_error("missing if=SRC");
    // A listing nobody receives is a run that does nothing and reports success.
    if (a->list && a->olist.empty()) return usage_error("mode=ls needs olist=FILE");
    return -1;
}

// ---- signals ----
//
// The handler only writes the signal number into a pipe; a thread of its own reads it, logs and
// asks the job to stop. Logging takes a lock, which a signal handler must never do.

int g_signal_pipe[2] = {-1, -1};
std::mutex g_job_mutex;
libcdir_ctx* g_job = nullptr;  // the open job, or none; under g_job_mutex
bool g_stop_pending = false;   // a stop asked for before the job was open; under g_job_mutex
// Handed to the job's server connections, so that a stop also ends a connect or a login that
// libcdir_open is still waiting for.
sock_cancel g_cancel;
std::thread g_signal_thread;
constexpr int kCaughtSignals[] = {SIGUSR1, SIGPIPE, SIGINT, SIGTERM, SIGHUP};

// The signals that end the run: each asks the job to stop, so that it ends with status 6 and
// leaves no partial file, rather than dying wherever the signal lands.
bool stops_the_run(int signum) {
    return signum == SIGINT || signum == SIGPIPE || signum == SIGTERM || signum == SIGHUP;
}

extern "C" void on_signal(int signum) {
    int saved = errno;
    unsigned char b = static_cast<unsigned char>(signum);
    ssize_t ret = write(g_signal_pipe[1], &b, 1);
    (void)ret;
    errno = saved;
}

void signal_loop() {
    pthread_setname_np(pthread_self(), "dvcp_signal");
    os_thread_name_set("signal");
    bool pipe_seen = false;
    for (;;) {
        unsigned char b = 0;
        ssize_t n = read(g_signal_pipe[0], &b, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || b == 0) break;
        // Logging to a closed pipe raises SIGPIPE again: report that one once.
        if (b != SIGPIPE || !pipe_seen) DVCP_LOG(LOG_DBG, "signum=%d\n", static_cast<int>(b));
        if (b == SIGPIPE) pipe_seen = true;
        if (stops_the_run(b)) {
            std::lock_guard<std::mutex> lock(g_job_mutex);
            // An interrupt while the job is still being opened must not be forgotten.
            if (g_job == nullptr) g_stop_pending = true;
            g_cancel.stop.store(1, std::memory_order_release);
            libcdir_req_stop(g_job);
        }
    }
    os_thread_name_del();
}

bool start_signals() {
    if (pipe2(g_signal_pipe, O_CLOEXEC) != 0) {
        DVCP_LOG(LOG_ERR | LOG_ERRNO, "pipe error: ");
        return false;
    }
    fcntl(g_signal_pipe[1], F_SETFL, O_NONBLOCK);
    try {
        g_signal_thread = std::thread(signal_loop);
    } catch (const std::system_error&) {
        DVCP_LOG(LOG_ERR, "cannot start the signal thread");
        return false;
    }
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : kCaughtSignals) sigaction(sig, &sa, nullptr);
    return true;
}

void stop_signals() {
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    for (int sig : kCaughtSignals) sigaction(sig, &sa, nullptr);
    if (g_signal_thread.joinable()) {
        unsigned char stop = 0;
        while (write(g_signal_pipe[1], &stop, 1) < 0 && errno == EINTR) {
        }
        g_signal_thread.join();
    }
    for (int& fd : g_signal_pipe) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

// progress=1 and progress=0 decide; otherwise a terminal on standard error does, unless the
// changes go to that same terminal, where the status line would break them up.
bool wants_progress(const args& a) {
    if (a.progress >= 0) return a.progress == 1;
    if (isatty(STDERR_FILENO) == 0) return false;
    return !(a.has_changes && a.changes == "-" && isatty(STDOUT_FILENO) != 0);
}

int run_job(libcdir_param* param, bool progress) {
    param->cancel = &g_cancel;
    libcdir_ctx* job = libcdir_open(param);
    if (job == nullptr) {
        DVCP_LOG(LOG_ERR, "error: %s", err_info_str(&param->err));
        std::lock_guard<std::mutex> lock(g_job_mutex);
        // Whatever the open failed on once a stop had come, the run was stopped.
        if (g_stop_pending) return 6;
        return libcdir_open_failure_status(&param->err);
    }
    {
        std::lock_guard<std::mutex> lock(g_job_mutex);
        g_job = job;
        if (g_stop_pending) libcdir_req_stop(job);
    }
    std::optional<progress_display> display;
    if (progress) {
        try {
            display.emplace(job);
        } catch (const std::system_error&) {
            // A run without its progress line is still the run that was asked for.
            log2_status_end(nullptr);
            DVCP_LOG(LOG_WARN, "cannot start the progress thread");
        }
    }
    int status = 0;
    {
        // The job ends on this thread with its report and summary: those go to a collector.
        log2_collector_scope report;
        status = libcdir_wait_stop(job);
    }
    display.reset();
    {
        std::lock_guard<std::mutex> lock(g_job_mutex);
        g_job = nullptr;
    }
    libcdir_close(job);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    app_start(argc, argv);

    char exe_dir[PL_MAX_PATH] = "";
    if (os_exe_get_dir(exe_dir, sizeof(exe_dir)) != 0) exe_dir[0] = '\0';
    std::string dir = exe_dir;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::string ini_path = dir + "/" + kConfigName;
    if (ini_path.size() >= PL_MAX_URL) ini_path.resize(PL_MAX_URL - 1);

    char level[] = "dbg";
    log2_ioctl(nullptr, 3, level, -1);
    char flags[] = "time|tid|func";
    log2_ioctl(nullptr, 4, flags, -1);
    // dvcp.ini beside the executable may override all of the above; a missing file is fine.
    log2_init_file(ini_path.c_str(), nullptr);

    start_signals();

    // Session and proxy profiles beside the executable (or in DV_ENV_CONF_DIR), then the
    // file-server client, for remote sides.
    dv_conf_set_path(dir.c_str());
    dvsd_cli_init();

    libcdir_param param;
    libcdir_param_init(&param);
    args a;
    int status = parse_args(argc, argv, &param, &a);
    if (status < 0) {
        param.i_url = a.i_url.c_str();
        param.o_url = a.has_o_url ? a.o_url.c_str() : nullptr;
        param.olist = a.has_olist ? a.olist.c_str() : nullptr;
        param.changes = a.has_changes ? a.changes.c_str() : nullptr;
        status = run_job(&param, wants_progress(a));
    }

    dvsd_cli_uninit();
    stop_signals();
    DVCP_LOG(LOG_DBG, "<== ret=%d\n", status);
    app_end();
    return status;
}
