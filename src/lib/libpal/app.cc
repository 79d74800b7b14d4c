#include "libpal/app.h"

#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "liblog/log2.h"
#include "libpal/strnum.h"

#define PAL_LOG(level, ...) DV_LOG("pal", level, __VA_ARGS__)

namespace {

constexpr int kFatalSignals[] = {SIGILL, SIGABRT, SIGBUS, SIGFPE, SIGSEGV};
constexpr int kMaxSignal = 65;

std::mutex g_mu;  // app_start / app_end
bool g_platform_ready = false;
char g_cmdline[APP_CMDLINE_SIZE];
app_info g_info;

struct sigaction g_previous[kMaxSignal];
bool g_installed[kMaxSignal];

// Room for the handler to run after a stack overflow.
alignas(16) char g_alt_stack[64 * 1024];

// ---- async-signal-safe output: write(2) only, no formatting library.

void put(const char* text) {
    size_t len = strlen(text);
    while (len > 0) {
        const ssize_t n = write(STDERR_FILENO, text, len);
        if (n <= 0) return;
        text += n;
        len -= static_cast<size_t>(n);
    }
}

void put_number(uint64_t value) {
    char digits[24];
    char* p = digits + sizeof(digits) - 1;
    *p = '\0';
    do {
        *--p = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    put(p);
}

const char* signal_name(int sig) {
    switch (sig) {
        case SIGILL:
            return "SIGILL";
        case SIGABRT:
            return "SIGABRT";
        case SIGBUS:
            return "SIGBUS";
        case SIGFPE:
            return "SIGFPE";
        case SIGSEGV:
            return "SIGSEGV";
        default:
            return "signal";
    }
}

void fatal_signal_handler(int sig, siginfo_t* info, void*) {
    const int saved_errno = errno;
    put("\n*** fatal signal ");
    put_number(static_cast<uint64_t>(sig));
    put(" (");
    put(signal_name(sig));
    put(") pid ");
    put_number(static_cast<uint64_t>(getpid()));
    put(", command line: ");
    put(g_cmdline);
    put("\n*** most recent log lines:\n");
    put(log2_recent_lines());
    put("*** end of recent log lines\n");

    // Hand the signal to whoever had it before (the default action ends the process). A fault
    // repeats when the faulting instruction runs again on return; a sent signal is raised again
    // and stays pending until this handler returns.
    if (sig > 0 && sig < kMaxSignal && g_installed[sig]) {
        sigaction(sig, &g_previous[sig], nullptr);
    } else {
        signal(sig, SIG_DFL);
    }
    if (info == nullptr || info->si_code <= 0) raise(sig);
    errno = saved_errno;
}

bool install_fatal_handlers() {
    bool ok = true;
    for (int sig : kFatalSignals) {
        struct sigaction sa {};
        sa.sa_sigaction = fatal_signal_handler;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&sa.sa_mask);
        if (sigaction(sig, &sa, &g_previous[sig]) != 0) {
            PAL_LOG(LOG_ERR | LOG_ERRNO, "sigaction %d error: ", sig);
            ok = false;
            continue;
        }
        g_installed[sig] = true;
    }
    return ok;
}

void restore_fatal_handlers() {
    for (int sig : kFatalSignals) {
        if (!g_installed[sig]) continue;
        sigaction(sig, &g_previous[sig], nullptr);
        g_installed[sig] = false;
    }
}

void install_alt_stack() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) return;
    stack_t ss{};
    ss.ss_sp = g_alt_stack;
    ss.ss_size = sizeof(g_alt_stack);
    sigaltstack(&ss, nullptr);
}

uint8_t arch_id_of(const char* machine) {
    if (strcmp(machine, "x86_64") == 0) return 2;
    if (machine[0] == 'i' && strstr(machine, "86") != nullptr) return 1;
    if (strcmp(machine, "aarch64") == 0 || strncmp(machine, "arm64", 5) == 0) return 4;
    if (strncmp(machine, "arm", 3) == 0) return 3;
    return 0;
}

uint64_t clock_ms(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

void fill_info() {
    g_info = app_info{};
    snprintf(g_info.os_name, sizeof(g_info.os_name), "linux");
    g_info.os_id = 2;
    utsname u{};
    if (uname(&u) == 0) {
        snprintf(g_info.arch_name, sizeof(g_info.arch_name), "%s", u.machine);
        g_info.arch_id = arch_id_of(u.machine);
    }
    if (gethostname(g_info.host_name, sizeof(g_info.host_name)) != 0) g_info.host_name[0] = '\0';
    g_info.host_name[sizeof(g_info.host_name) - 1] = '\0';
    g_info.start_ms = clock_ms(CLOCK_REALTIME);
    g_info.start_mono_ms = os_time_ms();
    const uint64_t up_ms = clock_ms(CLOCK_BOOTTIME);
    g_info.boot_ms = g_info.start_ms > up_ms ? g_info.start_ms - up_ms : 0;
    const long page = sysconf(_SC_PAGESIZE);
    g_info.page_size = page > 0 ? static_cast<size_t>(page) : 4096;
}

void apply_env_log_level() {
    const char* value = getenv("DV_ENV_LOG_LEVEL");
    if (value == nullptr || value[0] == '\0') return;
    // A number is taken as the level itself; a name goes through the level names.
    if (strspn(value, "0123456789") == strlen(value)) {
        int level = atoi(value);
        log2_ioctl(nullptr, 1, &level, sizeof(level));
    } else {
        log2_ioctl(nullptr, 3, const_cast<char*>(value), -1);
    }
}

int pl_init() {
    if (g_platform_ready) return 0;
    int result = 0;
    apply_env_log_level();
    fill_info();
    install_alt_stack();
    if (!install_fatal_handlers()) result = -1;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        PAL_LOG(LOG_ERR, "os_socket_init_env failed\n");
        result = -1;
    }
    g_platform_ready = true;
    return result;
}

void pl_exit() {
    if (!g_platform_ready) return;
    // The handlers read the log's recent lines, which log2_exit releases.
    restore_fatal_handlers();
    g_platform_ready = false;
    log2_exit(nullptr);
}

void join_cmdline(int argc, char** argv) {
    size_t used = 0;
    g_cmdline[0] = '\0';
    for (int i = 0; argv != nullptr && i < argc && argv[i] != nullptr; ++i) {
        const char* arg = argv[i];
        const bool quote = strpbrk(arg, " \t") != nullptr;
        const int n =
            snprintf(g_cmdline + used, sizeof(g_cmdline) - used, quote ? "\"%s\" " : "%s ", arg);
        if (n < 0) break;
        used += static_cast<size_t>(n);
        if (used >= sizeof(g_cmdline) - 1) break;  // cut: snprintf kept what fits
    }
}

}  // namespace

int app_start(int argc, char** argv) {
    std::lock_guard lock(g_mu);
    const int result = pl_init();
    os_thread_name_set("main");
    join_cmdline(argc, argv);
    return result;
}

void app_end() {
    std::lock_guard lock(g_mu);
    g_cmdline[0] = '\0';
    os_thread_name_del();
    pl_exit();
}

const char* app_cmdline() {
    return g_cmdline;
}

uint32_t app_version_id(const char* text) {
    if (text == nullptr) return 0;
    uint32_t id = 0;
    int parts = 0;
    const char* at = text;
    for (;;) {
        if (*at < '0' || *at > '9' || parts == 4) return 0;
        uint32_t part = 0;
        while (*at >= '0' && *at <= '9') {
            part = part * 10 + static_cast<uint32_t>(*at++ - '0');
            if (part > 255) return 0;
        }
        id |= part << (8 * (3 - parts));
        ++parts;
        if (*at == '\0') return id;
        if (*at++ != '.') return 0;
    }
}

const app_info* app_info_get() {
    return &g_info;
}
