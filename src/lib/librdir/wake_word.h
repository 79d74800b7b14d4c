// A wake-up word for one waiting side of a hand-over between two threads.
//
// The waiter announces itself (prepare), looks at its condition once more and sleeps only while
// the word is unchanged; a notifier bumps the word and makes a system call only when somebody
// is announced. Unlike a condition variable, the sleep needs no mutex, so waking costs one call
// on each side and never a second one for handing a mutex back.
//
// Use, with the condition guarded by a mutex (or atomic):
//   waiter:   for (;;) { seen = w.prepare(); if (condition) { w.cancel(); break; } w.wait(seen,
//   ms); } notifier: make the condition true; w.notify();
// A notify that comes between prepare and wait makes the wait return at once.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <ctime>

class rdir_wake_word {
  public:
    // Announces a waiter; returns the word to hand to wait().
    uint32_t prepare() {
        waiters_.fetch_add(1);
        return value_.load();
    }

    // Sleeps until a notify after prepare(), at most `timeout_ms` (or less: callers look at their
    // condition again in any case), then ends the announcement.
    void wait(uint32_t seen, int timeout_ms) {
        if (timeout_ms > 0) {
            timespec ts{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
            syscall(SYS_futex, word(), FUTEX_WAIT_PRIVATE, seen, &ts, nullptr, 0);
        }
        waiters_.fetch_sub(1);
    }

    // Ends an announcement without sleeping.
    void cancel() { waiters_.fetch_sub(1); }

    // Wakes every announced waiter.
    void notify() {
        value_.fetch_add(1);
        if (waiters_.load() != 0)
            syscall(SYS_futex, word(), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
    }

  private:
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free);
    uint32_t* word() { return reinterpret_cast<uint32_t*>(&value_); }

    std::atomic<uint32_t> value_{0};
    std::atomic<uint32_t> waiters_{0};
};
