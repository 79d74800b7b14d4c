#include "libpwd/ipchk.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>

#include "liblog/flog.h"
#include "liblog/log2.h"
#include "libpwd/pwd_internal.h"

#define PWD_LOG(level, ...) DV_LOG("pwd", level, __VA_ARGS__)

namespace {

constexpr uint32_t kDefaultLockMinutes = 60;
constexpr uint32_t kDefaultMaxAddresses = 10000;

uint64_t steady_ms() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

struct ip_entry {
    uint64_t created = 0;
    uint64_t last_fail = 0;  // 0: never failed
    uint64_t locked_until = 0;
    uint32_t fails = 0;
};

class throttle final {
  public:
    throttle() = default;
    throttle(const throttle&) = delete;
    throttle& operator=(const throttle&) = delete;
    ~throttle() {
        if (login_log_ != nullptr) flog_close(login_log_);
    }

    void init(const libpwd_conf& conf) {
        std::lock_guard lock(mutex_);
        reset_locked();
        if (conf.login_log != nullptr && *conf.login_log != '\0') {
            login_log_ = flog_open(conf.login_log, conf.login_log_opt);
            if (login_log_ == nullptr) {
                PWD_LOG(LOG_WARN, "open login log [%s] failed\n", conf.login_log);
            } else if (conf.login_log_max_size != 0) {
                flog_set_max_size(login_log_, conf.login_log_max_size);
            }
        }
        if (conf.login_fail_count == 0) {
            PWD_LOG(LOG_WARN, "dvsd_login_fail_count==0 stop ipcheck\n");
            return;
        }
        on_ = true;
        limit_ = conf.login_fail_count;
        uint32_t minutes = conf.login_lock_minutes ? conf.login_lock_minutes : kDefaultLockMinutes;
        lock_ms_ = 60000ull * minutes;
        max_ = conf.login_max_ip ? conf.login_max_ip : kDefaultMaxAddresses;
        clock_ = conf.clock ? conf.clock : steady_ms;
    }

    void exit() {
        std::lock_guard lock(mutex_);
        reset_locked();
    }

    int check(const char* address, char* err, size_t err_size) {
        std::lock_guard lock(mutex_);
        if (!on_) return 0;
        const uint64_t now = clock_();
        auto it = table_.find(address);
        if (it != table_.end()) {
            ip_entry& e = it->second;
            if (e.fails < limit_) return 0;
            if (now >= e.locked_until) {
                e.fails = 0;
                return 0;
            }
            pwd_set_err(err, err_size, "Login failed %d times, Please try again in %0.2f minutes",
                        static_cast<int>(e.fails),
                        static_cast<double>(e.locked_until - now) / 60000.0);
            return 2;
        }
        if (table_.size() >= max_) evict_oldest_locked();
        ip_entry e;
        e.created = now;
        table_.emplace(address, e);
        return 0;
    }

    void login_ok(const char* address, const char* user) {
        std::lock_guard lock(mutex_);
        if (login_log_ != nullptr) {
            flog_printf(login_log_, "\tinfo\t%s\tlogin\tlogin from %s\n",
                        pwd_log_text(user).c_str(), pwd_log_text(address).c_str());
        }
        if (on_) table_.erase(address);
    }

    void login_fail(const char* address, const char* user) {
        std::lock_guard lock(mutex_);
        if (login_log_ != nullptr) {
            flog_printf(login_log_, "\twarn\t%s\tlogin\tlogin failed form %s\n",
                        pwd_log_text(user).c_str(), pwd_log_text(address).c_str());
        }
        if (!on_) return;
        auto it = table_.find(address);
        if (it == table_.end()) return;
        const uint64_t now = clock_();
        ip_entry& e = it->second;
        e.last_fail = now;
        ++e.fails;
        if (e.fails >= limit_) {
            e.locked_until = now + lock_ms_;
            if (e.fails == limit_) {
                ++locks_;
                PWD_LOG(LOG_WARN | LOG_NETREC,
                        "ip=[%s] locked for %llu minutes after %u failed logins\n",
                        pwd_log_text(address).c_str(),
                        static_cast<unsigned long long>(lock_ms_ / 60000), e.fails);
            }
        }
    }

    void lock_stats(uint64_t* locks, size_t* locked_now) {
        std::lock_guard lock(mutex_);
        *locks = locks_;
        *locked_now = 0;
        if (!on_) return;
        const uint64_t now = clock_();
        for (const auto& [address, e] : table_) {
            if (e.fails >= limit_ && now < e.locked_until) ++*locked_now;
        }
    }

    size_t tracked() {
        std::lock_guard lock(mutex_);
        return table_.size();
    }

  private:
    void reset_locked() {
        if (login_log_ != nullptr) {
            flog_close(login_log_);
            login_log_ = nullptr;
        }
        table_.clear();
        on_ = false;
    }

    // Drops every entry whose last failure is the oldest (all never-failed entries, if any).
    void evict_oldest_locked() {
        uint64_t oldest = UINT64_MAX;
        for (const auto& [address, e] : table_) oldest = std::min(oldest, e.last_fail);
        std::erase_if(table_,
                      [oldest](const auto& item) { return item.second.last_fail == oldest; });
    }

    std::mutex mutex_;
    bool on_ = false;
    uint32_t limit_ = 0;
    uint64_t lock_ms_ = 0;
    size_t max_ = kDefaultMaxAddresses;
    libpwd_clock clock_ = steady_ms;
    flog* login_log_ = nullptr;
    uint64_t locks_ = 0;  // addresses locked since start, across re-initialisations
    std::unordered_map<std::string, ip_entry> table_;
};

throttle& state() {
    static throttle t;
    return t;
}

const char* or_empty(const char* s) {
    return s ? s : "";
}

}  // namespace

int ipcheck_init(const libpwd_conf* conf) {
    libpwd_conf defaults;
    state().init(conf ? *conf : defaults);
    return 0;
}

int ipcheck_exit() {
    state().exit();
    return 0;
}

int ipcheck(const char* address, char* err, size_t err_size) {
    return state().check(or_empty(address), err, err_size);
}

std::unique_lock<std::mutex> ipcheck_attempt() {
    static std::mutex attempts;
    return std::unique_lock<std::mutex>(attempts);
}

void ipcheck_login_ok(const char* address, const char* user) {
    state().login_ok(or_empty(address), or_empty(user));
}

void ipcheck_login_fail(const char* address, const char* user) {
    state().login_fail(or_empty(address), or_empty(user));
}

size_t ipcheck_tracked() {
    return state().tracked();
}

void libpwd_lock_stats(uint64_t* locks, size_t* locked_now) {
    state().lock_stats(locks, locked_now);
}
