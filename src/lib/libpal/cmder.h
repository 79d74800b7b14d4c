// Command threads: one worker thread that handles posted messages one at a time, in posting order,
// with a handler its owner supplies.
//
// Any thread may post; the owner waits until everything posted has been handled
// (cmder_wait_idle) and then shuts the thread down (cmder_exit). The thread registers its name with
// the log, so its lines show it.
#pragma once

#include <cstdint>

// Status of a command thread.
#define CMDER_INIT_STATUS 0u   // starting, or re-initialising
#define CMDER_READY_STATUS 1u  // serving messages
#define CMDER_EXIT_STATUS 2u   // its loop has ended

// The record handed to every hook. It is cleared before each hook call, then `user` and `arg`
// filled in.
struct cmder_call {
    uint32_t exit;         // set by a hook: stop the thread (after the current hook)
    uint32_t cmd_ref;      // synchronous commands only; unused by messages
    uint32_t need_reinit;  // set by a hook: call init_proc again before the next message
    void* user;            // the configured user pointer
    void* arg;             // the handled message's argument (nullptr for the other hooks)
    uint32_t data_len;     // length of the handled message's data (0 when it has none)
};

using cmder_hook = int (*)(cmder_call* call);
// Handles one message. `data` is the copy made when it was posted (nullptr when posted without
// data); it is valid only during the call. The result is ignored.
using cmder_msg_proc = int (*)(uint32_t id, void* data, cmder_call* call);
// Releases a message's argument: after its handler returned, or unhandled when the thread is
// shut down with the message still queued.
using cmder_msg_free = void (*)(void* user, void* arg);

struct cmder_conf {
    void* user;                  // handed back to every hook
    uint32_t queue_max;          // most queued messages; 0 = unbounded (posting never waits)
    uint32_t timer_interval_ms;  // how long the thread waits for a message before timer_proc;
                                 // 0 means 1000
    const char* name;            // thread name shown in log lines (copied)
    cmder_hook init_proc;        // optional: at start, and again when a hook asks for it
    cmder_hook exit_proc;        // optional: once when the loop ends
    cmder_hook timer_proc;       // optional: once at start and whenever a wait times out
    cmder_msg_proc cmd_proc;     // synchronous commands: reserved, never called
    cmder_msg_proc msg_proc;     // the message handler
    cmder_msg_free msg_free;     // optional
};

struct cmder;

// Copies `conf` and starts the thread; returns without waiting for it to become ready.
// Returns nullptr when the queue or the thread cannot be created.
cmder* cmder_init(const cmder_conf* conf);

// Posts one message: `length` bytes of `data` are copied (no data when `data` is null). Any
// thread, including the command thread itself (the message joins the end of the queue).
// Returns 0 when queued, -3 when the thread is not ready within about 1 s or has stopped,
// -4 when there is no memory for the message, -2 when a bounded queue stays full for
// `timeout_ms`. When it fails, the message is not queued and msg_free is not called.
int cmder_post_msg3(cmder* c, uint32_t id, const void* data, uint32_t length, void* arg,
                    int timeout_ms);

// Posts `text` with its terminating NUL (data_len = strlen + 1); no data when `text` is null.
int cmder_post_str(cmder* c, uint32_t id, const char* text, void* arg, int timeout_ms);

// Checks up to `tries` times, 1 ms apart, whether every posted message has been completely
// handled (its handler and msg_free returned) or dropped because the thread stopped.
// Returns 0 when so, -1 otherwise. Owners loop on it before cmder_exit.
int cmder_wait_idle(cmder* c, int tries);

// Waits up to about 1 s for the thread to be ready, returning as soon as it is. Returns 0 when
// it is, else logs "status=%u status!=CMDER_READY_STATUS error!" and returns -1.
int cmder_init_check(cmder* c);

// Asks the thread to stop after the hook or message it is running; messages still queued are
// then released with msg_free and never handled. Does not wait. Any thread.
void cmder_req_stop(cmder* c);

// Stops the thread (as cmder_req_stop), waits up to 2000 ms for it to end, releases what is still
// queued with msg_free, and frees `c`. A thread that does not end in time is logged
// ("os_thread_wait_kill_exit ret=%d") and left to finish on its own: it still releases what is
// queued when its current hook returns, and never touches `c`. Call once, after posting has
// stopped, from any thread but the command thread itself.
void cmder_exit(cmder* c);

// Current status (CMDER_*_STATUS). Any thread.
uint32_t cmder_status(const cmder* c);
