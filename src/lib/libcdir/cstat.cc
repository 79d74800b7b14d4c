#include "libcdir/cstat.h"

#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <iterator>

#include "libcdir/comm.h"
#include "libcdir/v_fs.h"
#include "libcdir/v_rdir.h"
#include "libnet/sock_cli.h"
#include "libpal/strnum.h"

int libcdir_verr_2_eno(verr code) {
    switch (code) {
        case VERR_FILE_NOT_FOUND:
        case VERR_PATH_NOT_FOUND:
        case VERR_ACCESS_DENIED:
        case VERR_SHARING_VIOLATION:
            return -2;
        case VERR_WRITE_PROTECT:
            return -3;
        case VERR_DISK_FULL:
            return -4;
        case VERR_DEV_NO_SUCH_DEVICE:
        case VERR_DEV_NOT_READY:
            return -5;
        case VERR_TIMEOUT:
            return -7;
        case VERR_GENERAL_FAILURE:
            return -1;
        default:
            CDIR_LOG(LOG_ERR, "verr=%d [%s]", code, verr2str(code));
            return 0;
    }
}

int libcdir_open_failure_status(const err_info* err) {
    if (err != nullptr && err->code == VERR_NET_USER_STOP) return 6;
    int cls = libcdir_verr_2_eno(err != nullptr ? err->code : VERR_SUCCESS);
    // An open that failed must never look like success to the caller of the process.
    return cls == 0 ? 1 : -cls;
}

bool cdir_class_stops(int cls) {
    return cls != 0 && cls != -2;
}

namespace {

// A status that says the connection to a server is gone or unusable: every later request on it
// would fail the same way, so the job must not walk on as if only one file had failed.
bool connection_lost(verr code) {
    return code == VERR_BROKEN_PIPE ||
           (code <= VERR_NET_IO_ERROR && code > VERR_NET_IO_ERROR - 100);
}

}  // namespace

int cdir_verr_check(libcdir_ctx* job, verr code) {
    if (job == nullptr || code >= 0) return 0;
    int cls = libcdir_verr_2_eno(code);
    if (cls == 0 && connection_lost(code)) cls = libcdir_verr_2_eno(VERR_TIMEOUT);
    job->last_class.store(cls);
    job->last_verr.store(code);
    if (!cdir_class_stops(cls)) return 0;
    CDIR_LOG(LOG_DBG, "verr=%d eno=%d need stop!", code, cls);
    job->stop_class.store(cls);
    job->error_stop.store(1);
    return cls;
}

void cdir_counters_add(cdir_counters* sum, const cdir_counters& part) {
    sum->file_total_size += part.file_total_size;
    sum->file_count += part.file_count;
    sum->dir_count += part.dir_count;
    sum->file_open_count += part.file_open_count;
    sum->i_file_fail_count += part.i_file_fail_count;
    sum->i_dir_fail_count += part.i_dir_fail_count;
    sum->o_file_fail_count += part.o_file_fail_count;
    sum->o_dir_fail_count += part.o_dir_fail_count;
    sum->sync_del_file_count += part.sync_del_file_count;
    sum->sync_del_file_fail_count += part.sync_del_file_fail_count;
    sum->total_read += part.total_read;
    sum->total_write += part.total_write;
}

bool cdir_counts_failures(const cdir_counters& st) {
    return st.i_file_fail_count != 0 || st.o_file_fail_count != 0 || st.i_dir_fail_count != 0 ||
           st.sync_del_file_fail_count != 0;
}

double cdir_elapsed_seconds(uint64_t start_ms, uint64_t now_ms) {
    double seconds = now_ms > start_ms ? static_cast<double>(now_ms - start_ms) / 1000.0 : 0.0;
    return seconds == 0.0 ? 0.001 : seconds;
}

namespace {

std::string format_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

std::string format_line(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    if (n < 0) return std::string();
    return std::string(buf, static_cast<size_t>(n) < sizeof(buf) ? n : sizeof(buf) - 1);
}

long long as_ll(uint64_t v) {
    return static_cast<long long>(v);
}

}  // namespace

std::vector<std::string> cdir_report_lines(const cdir_counters& st, uint32_t job_type,
                                           double seconds) {
    std::vector<std::string> lines;
    char size_text[128];
    lines.push_back(
        format_line("file_total_size=%lld (%s)\n", as_ll(st.file_total_size),
                    str_size_text(st.file_total_size, 0, size_text, sizeof(size_text))));
    lines.push_back(format_line("file_count=%lld\n", as_ll(st.file_count)));
    lines.push_back(format_line("dir_count=%lld\n", as_ll(st.dir_count)));
    lines.push_back(format_line("file_open_count=%lld\n", as_ll(st.file_open_count)));
    lines.push_back(format_line("i_file_fail_count=%lld\n", as_ll(st.i_file_fail_count)));
    lines.push_back(format_line("i_dir_fail_count=%lld\n", as_ll(st.i_dir_fail_count)));
    bool copy = job_type == LIBCDIR_JOB_COPY;
    bool sync = job_type == LIBCDIR_JOB_SYNC;
    if (copy || sync) {
        lines.push_back(format_line("o_file_fail_count=%lld\n", as_ll(st.o_file_fail_count)));
        lines.push_back(format_line("o_dir_fail_count=%lld\n", as_ll(st.o_dir_fail_count)));
        if (sync) {
            lines.push_back(
                format_line("sync_del_file_count=%lld\n", as_ll(st.sync_del_file_count)));
            lines.push_back(
                format_line("sync_del_file_fail_count=%lld\n", as_ll(st.sync_del_file_fail_count)));
        }
        lines.push_back(format_line("total_read=%lld (%s)\n", as_ll(st.total_read),
                                    str_size_text(st.total_read, 0, size_text, sizeof(size_text))));
        lines.push_back(
            format_line("total_write=%lld (%s)\n", as_ll(st.total_write),
                        str_size_text(st.total_write, 0, size_text, sizeof(size_text))));
    }
    if (copy) {
        auto rate = static_cast<uint64_t>(static_cast<double>(st.total_write) / seconds);
        lines.push_back(
            format_line("trans_rate=%s\n", str_size_text(rate, 0, size_text, sizeof(size_text))));
        lines.push_back(
            format_line("file_rate=%.2f\n", static_cast<double>(st.file_open_count) / seconds));
    }
    char time_text[128];
    lines.push_back(
        format_line("total_time=%s\n", str_time_text(seconds, time_text, sizeof(time_text))));
    return lines;
}

std::string cdir_size_for_people(uint64_t bytes) {
    if (bytes < 1024) return format_line("%llu B", static_cast<unsigned long long>(bytes));
    static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    // Rounding up to the next unit reads better than "1024 KiB".
    if (value >= 999.5 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    const char* fmt = value < 9.995 ? "%.2f %s" : value < 99.95 ? "%.1f %s" : "%.0f %s";
    return format_line(fmt, value, kUnits[unit]);
}

std::string cdir_duration_for_people(double seconds) {
    if (!(seconds >= 0.0)) seconds = 0.0;
    if (seconds < 10.0) return format_line("%.2f s", seconds);
    if (seconds < 60.0) return format_line("%.1f s", seconds);
    auto whole = static_cast<unsigned long long>(std::llround(seconds));
    unsigned long long hours = whole / 3600;
    unsigned long long minutes = whole / 60 % 60;
    unsigned long long secs = whole % 60;
    if (hours == 0) return format_line("%llum%02llus", minutes, secs);
    return format_line("%lluh%02llum%02llus", hours, minutes, secs);
}

std::string cdir_summary_line(const cdir_counters& st, uint32_t job_type, bool dry_run,
                              double seconds) {
    std::string elapsed = cdir_duration_for_people(seconds);
    uint64_t failed = st.i_file_fail_count + st.o_file_fail_count + st.sync_del_file_fail_count;
    std::string dirs_failed;
    if (st.i_dir_fail_count != 0) {
        dirs_failed = format_line(" (and %llu directories)",
                                  static_cast<unsigned long long>(st.i_dir_fail_count));
    }
    if (job_type != LIBCDIR_JOB_COPY && job_type != LIBCDIR_JOB_SYNC) {
        return format_line("listed %llu files in %llu directories, %llu failed%s, in %s\n",
                           static_cast<unsigned long long>(st.file_count),
                           static_cast<unsigned long long>(st.dir_count),
                           static_cast<unsigned long long>(failed), dirs_failed.c_str(),
                           elapsed.c_str());
    }
    auto files = static_cast<unsigned long long>(st.file_open_count);
    auto deleted = static_cast<unsigned long long>(st.sync_del_file_count);
    if (dry_run) {
        // Nothing was written, so there is no byte count or rate worth showing.
        return format_line("dry run: %llu files to copy, %llu to delete, %llu failed%s, in %s\n",
                           files, deleted, static_cast<unsigned long long>(failed),
                           dirs_failed.c_str(), elapsed.c_str());
    }
    auto rate = static_cast<uint64_t>(static_cast<double>(st.total_write) / seconds);
    return format_line(
        "%llu files copied, %llu deleted, %llu failed%s, %s written at %s/s, in %s\n", files,
        deleted, static_cast<unsigned long long>(failed), dirs_failed.c_str(),
        cdir_size_for_people(st.total_write).c_str(), cdir_size_for_people(rate).c_str(),
        elapsed.c_str());
}

const char* cdir_conn_kind_name(uint32_t kind) {
    switch (kind) {
        case CDIR_CONN_FILE:
            return "file";
        case CDIR_CONN_LISTER:
            return "lister";
        case CDIR_CONN_BATCH:
            return "batch";
        default:
            return "other";
    }
}

std::vector<std::string> cdir_traffic_lines(const cdir_traffic_kinds& kinds) {
    std::vector<std::string> lines;
    for (uint32_t kind = 0; kind < CDIR_CONN_KINDS; ++kind) {
        const cdir_traffic& t = kinds[kind];
        if (t.connections == 0) continue;
        const char* name = cdir_conn_kind_name(kind);
        lines.push_back(format_line("%s_conns=%lld\n", name, as_ll(t.connections)));
        lines.push_back(format_line("%s_requests=%lld\n", name, as_ll(t.requests)));
        lines.push_back(format_line("%s_waits=%lld\n", name, as_ll(t.waits)));
    }
    return lines;
}

std::string cdir_traffic_summary(const cdir_traffic_kinds& kinds) {
    std::string parts;
    for (uint32_t kind = 0; kind < CDIR_CONN_KINDS; ++kind) {
        const cdir_traffic& t = kinds[kind];
        if (t.connections == 0) continue;
        if (!parts.empty()) parts += ", ";
        parts += format_line("%s requests=%llu waits=%llu", cdir_conn_kind_name(kind),
                             static_cast<unsigned long long>(t.requests),
                             static_cast<unsigned long long>(t.waits));
    }
    return parts.empty() ? parts : "server round trips: " + parts + "\n";
}

namespace {

cdir_traffic_kinds job_traffic(const libcdir_ctx* job) {
    cdir_traffic_kinds kinds{};
    for (const vrdir* h : {job->irdir.get(), job->ordir.get()}) {
        if (h != nullptr) h->add_traffic(&kinds);
    }
    for (const vmfile* h : {job->imfile.get(), job->omfile.get()}) {
        if (h != nullptr) h->add_traffic(&kinds);
    }
    for (const vbfile* h : {job->ibfile.get(), job->obfile.get()}) {
        if (h != nullptr) h->add_traffic(&kinds);
    }
    return kinds;
}

}  // namespace

int cdir_report_and_status(libcdir_ctx* job) {
    // A progress line on the console must be gone, and stay gone, before the report.
    log2_status_end(nullptr);
    double seconds = cdir_elapsed_seconds(job->start_ms, os_time_ms());
    for (const std::string& line : cdir_report_lines(job->st, job->job_type, seconds)) {
        CDIR_LOG(LOG_DBG, "%s", line.c_str());
    }
    CDIR_LOG(LOG_INFO, "%s",
             cdir_summary_line(job->st, job->job_type, job->dry_run, seconds).c_str());
    const cdir_traffic_kinds traffic = job_traffic(job);
    for (const std::string& line : cdir_traffic_lines(traffic))
        CDIR_LOG(LOG_DBG, "%s", line.c_str());
    const std::string round_trips = cdir_traffic_summary(traffic);
    if (!round_trips.empty()) CDIR_LOG(LOG_VERB, "%s", round_trips.c_str());
    bool user_stop = job->user_stop.load() != 0;
    bool error_stop = job->error_stop.load() != 0;
    // A run that left files behind must not read as a complete one; a stop says more, so it wins.
    if (!user_stop && !error_stop) {
        const bool failed = cdir_counts_failures(job->st) || job->o_dirs_left != 0;
        job->last_class.store(failed ? -CDIR_STATUS_FILES_FAILED : 0);
    }
    // A failure recorded after the one that stopped the job must not hide it (class 0 would
    // read as success).
    if (error_stop) job->last_class.store(job->stop_class.load());
    if (user_stop) job->last_class.store(-6);
    return -job->last_class.load();
}
