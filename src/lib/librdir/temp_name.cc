#include "librdir/temp_name.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace {

constexpr std::string_view kPrefix = ".dvcp.";
constexpr std::string_view kSuffix = ".tmp";
constexpr size_t kDigits = 12;
static_assert(kPrefix.size() + kDigits + kSuffix.size() == RDIR_TEMP_NAME_LEN);

std::atomic<uint32_t> g_counter{0};
// The process id, read once (a name is made per file written); a forked child reads its own.
std::atomic<uint32_t> g_pid{0};

void forget_pid() {
    g_pid.store(0, std::memory_order_relaxed);
}

uint32_t own_pid() {
    uint32_t pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        static const int registered = pthread_atfork(nullptr, nullptr, forget_pid);
        (void)registered;
        pid = static_cast<uint32_t>(getpid());
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

bool is_lower_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

}  // namespace

bool rdir_temp_name_is(std::string_view name) {
    if (name.size() != RDIR_TEMP_NAME_LEN) return false;
    if (name.substr(0, kPrefix.size()) != kPrefix) return false;
    if (name.substr(kPrefix.size() + kDigits) != kSuffix) return false;
    for (char c : name.substr(kPrefix.size(), kDigits)) {
        if (!is_lower_hex(c)) return false;
    }
    return true;
}

void rdir_temp_name_make(char out[RDIR_TEMP_NAME_LEN + 1]) {
    // 8 digits of process id (pid_max is below 2^22), 4 of counter.
    const uint32_t pid = own_pid();
    const uint32_t n = g_counter.fetch_add(1, std::memory_order_relaxed) & 0xffffu;
    std::snprintf(out, RDIR_TEMP_NAME_LEN + 1, ".dvcp.%08x%04x.tmp", pid, n);
}

uint32_t rdir_temp_name_pid(std::string_view name) {
    if (!rdir_temp_name_is(name)) return 0;
    uint32_t pid = 0;
    for (char c : name.substr(kPrefix.size(), 8)) {
        pid = pid * 16 + static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    return pid;
}
