#include "libpal/cmder.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "liblog/log2.h"
#include "libpal/queue.h"

#define PAL_LOG(level, ...) DV_LOG("pal", level, __VA_ARGS__)

namespace {

constexpr uint32_t kDefaultTimerMs = 1000;
constexpr int kReadyChecks = 100;
constexpr int kReadyCheckMs = 10;
constexpr int kExitWaitMs = 2000;

enum node_kind : uint32_t {
    NODE_STOP = 0,  // the stop token; no message has this kind
    NODE_CMD = 1,   // synchronous command (never posted here)
    NODE_CALL = 2,  // function call (never posted here)
    NODE_MSG = 3,
};

// One allocation per message: the header, then the copied data.
struct alignas(16) msg_node {
    queue_link link;  // first: the queue links nodes through it
    uint32_t kind;
    uint32_t id;
    void* arg;
    uint32_t length;
    bool has_data;
    char* data() { return reinterpret_cast<char*>(this + 1); }
};

// Everything the thread touches. Shared by the handle and the thread, so a thread that outlives
// cmder_exit still runs on valid state.
struct cmder_state final {
    explicit cmder_state(const cmder_conf& c) : conf(c), name(c.name != nullptr ? c.name : "") {
        conf.name = name.c_str();
        if (conf.timer_interval_ms == 0) conf.timer_interval_ms = kDefaultTimerMs;
        stop_token.kind = NODE_STOP;
    }
    cmder_state(const cmder_state&) = delete;
    cmder_state& operator=(const cmder_state&) = delete;
    ~cmder_state() { queue_close(q); }

    cmder_conf conf;
    std::string name;
    queue* q = nullptr;
    msg_node stop_token{};

    std::atomic<uint32_t> status{CMDER_INIT_STATUS};
    // Posters that find the thread still starting wait here instead of sleeping in steps, so the
    // first message goes out as soon as the thread is ready.
    std::mutex status_mu;
    std::condition_variable status_cv;
    std::atomic<int64_t> pending{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> token_pushed{false};
    cmder_call call{};  // command thread only

    std::mutex end_mu;
    std::condition_variable end_cv;
    bool ended = false;  // under end_mu
};

// Nodes left in a queue that is closed (only possible if the owner misused it): free the memory.
void release_node(void* user, void* item) {
    if (item != &static_cast<cmder_state*>(user)->stop_token) free(item);
}

void request_stop(cmder_state& s) {
    s.stop.store(true);
    if (!s.token_pushed.exchange(true)) {
        // Wakes a thread that waits for a message; if a bounded queue is full the thread is busy
        // and sees the flag after the current message.
        queue_push(s.q, &s.stop_token);
    }
}

// Releases every queued message unhandled. Only the consumer (the command thread, or the owner
// once the thread has ended) calls it.
void discard_queued(cmder_state& s) {
    while (void* item = queue_pop(s.q)) {
        if (item == &s.stop_token) continue;
        auto* node = static_cast<msg_node*>(item);
        if (node->kind == NODE_MSG && s.conf.msg_free != nullptr) {
            s.conf.msg_free(s.conf.user, node->arg);
        }
        free(node);
        s.pending.fetch_sub(1);
    }
}

void set_status(cmder_state& s, uint32_t status) {
    {
        std::lock_guard lock(s.status_mu);
        s.status.store(status);
    }
    s.status_cv.notify_all();
}

cmder_call& fresh_call(cmder_state& s, void* arg) {
    s.call = cmder_call{};
    s.call.user = s.conf.user;
    s.call.arg = arg;
    return s.call;
}

void run_timer(cmder_state& s) {
    if (s.conf.timer_proc != nullptr) s.conf.timer_proc(&fresh_call(s, nullptr));
}

void cmd_srv_exec_msg(cmder_state& s, msg_node* node) {
    void* data = node->has_data ? node->data() : nullptr;
    cmder_call& call = fresh_call(s, node->arg);
    call.data_len = node->has_data ? node->length : 0;
    if (s.conf.msg_proc != nullptr) {
        s.conf.msg_proc(node->id, data, &call);
    } else {
        // The data need not be text: never read past its length.
        PAL_LOG(LOG_ERR, "get cmd=[%.*s] msg_proc=NULL\n",
                data != nullptr ? static_cast<int>(std::min<uint32_t>(node->length, INT_MAX)) : 0,
                data != nullptr ? static_cast<const char*>(data) : "");
    }
    if (s.conf.msg_free != nullptr) s.conf.msg_free(s.conf.user, node->arg);
    free(node);
    // Lowered last, so an idle count means the handler and msg_free have both returned.
    s.pending.fetch_sub(1);
}

void name_thread(const std::string& name) {
    char short_name[16];  // the kernel keeps 15 characters
    snprintf(short_name, sizeof(short_name), "%s", name.c_str());
    pthread_setname_np(pthread_self(), short_name);
    os_thread_name_set(name.c_str());
}

void cmd_srv_thread(std::shared_ptr<cmder_state> state) {
    cmder_state& s = *state;
    name_thread(s.name);
    set_status(s, CMDER_INIT_STATUS);

    bool serve = true;
    if (s.conf.init_proc != nullptr) {
        s.conf.init_proc(&fresh_call(s, nullptr));
        if (s.call.exit != 0) {
            s.stop.store(true);
            serve = false;  // straight to the end, without exit_proc
        }
    }
    if (serve) {
        run_timer(s);
        if (s.call.exit != 0) s.stop.store(true);
        set_status(s, CMDER_READY_STATUS);

        const int interval =
            static_cast<int>(std::min<uint32_t>(s.conf.timer_interval_ms, INT_MAX));
        while (!s.stop.load()) {
            s.call = cmder_call{};
            void* item = queue_pop_wait(s.q, interval);
            if (item == nullptr) {
                run_timer(s);
            } else if (item == &s.stop_token) {
                continue;  // the loop condition decides
            } else {
                auto* node = static_cast<msg_node*>(item);
                if (node->kind == NODE_MSG) {
                    cmd_srv_exec_msg(s, node);
                } else {
                    PAL_LOG(LOG_ERR, "node->type=%d error\n", static_cast<int>(node->kind));
                    free(node);
                    s.pending.fetch_sub(1);
                }
            }
            if (s.call.exit != 0) s.stop.store(true);
            if (s.call.need_reinit != 0) {
                if (s.conf.init_proc == nullptr) {
                    PAL_LOG(LOG_ERR, "need_reinit but ctx->init_proc=NULL\n");
                    break;
                }
                set_status(s, CMDER_INIT_STATUS);
                PAL_LOG(LOG_DBG, "call init_proc\n");
                s.conf.init_proc(&fresh_call(s, nullptr));
                if (s.call.exit != 0) s.stop.store(true);
                set_status(s, CMDER_READY_STATUS);
            }
        }
        if (s.conf.exit_proc != nullptr) s.conf.exit_proc(&fresh_call(s, nullptr));
    }

    // Nothing is handled any more: refuse new posts and release what is queued, so that the
    // owner's wait for idle ends even when a hook stopped the thread early.
    queue_shutdown(s.q);
    discard_queued(s);
    set_status(s, CMDER_EXIT_STATUS);
    os_thread_name_del();
    {
        std::lock_guard lock(s.end_mu);
        s.ended = true;
    }
    s.end_cv.notify_all();
}

}  // namespace

struct cmder final {
    std::shared_ptr<cmder_state> state;
    std::thread thread;
};

cmder* cmder_init(const cmder_conf* conf) {
    if (!DV_ASSERT("pal", conf != nullptr)) return nullptr;
    auto* c = new (std::nothrow) cmder();
    if (c == nullptr) return nullptr;
    try {
        c->state = std::make_shared<cmder_state>(*conf);
    } catch (const std::bad_alloc&) {
        delete c;
        return nullptr;
    }
    cmder_state& s = *c->state;
    PAL_LOG(LOG_VERB, "timer_interval_ms=%u\n", s.conf.timer_interval_ms);

    const queue_conf qconf{&s, s.conf.queue_max, QUEUE_NODE_LINKED, release_node};
    s.q = queue_create(&qconf);
    if (s.q == nullptr) {
        PAL_LOG(LOG_ERR, "queue_create failed\n");
        delete c;
        return nullptr;
    }
    try {
        c->thread = std::thread(cmd_srv_thread, c->state);
    } catch (const std::system_error& e) {
        PAL_LOG(LOG_ERR, "thread %s start failed: %s\n", s.name.c_str(), e.what());
        delete c;
        return nullptr;
    }
    return c;
}

int cmder_init_check(cmder* c) {
    if (!DV_ASSERT("pal", c != nullptr)) return -1;
    cmder_state& s = *c->state;
    uint32_t status = s.status.load();
    if (status == CMDER_INIT_STATUS) {
        // About a second for a starting thread, woken by the change itself. A thread that has
        // ended will not become ready.
        std::unique_lock lock(s.status_mu);
        s.status_cv.wait_for(lock, std::chrono::milliseconds(kReadyChecks * kReadyCheckMs), [&] {
            status = s.status.load();
            return status != CMDER_INIT_STATUS;
        });
    }
    if (status == CMDER_READY_STATUS) return 0;
    PAL_LOG(LOG_ERR, "status=%u status!=CMDER_READY_STATUS error!\n", status);
    return -1;
}

int cmder_post_msg3(cmder* c, uint32_t id, const void* data, uint32_t length, void* arg,
                    int timeout_ms) {
    if (cmder_init_check(c) != 0) return -3;
    cmder_state& s = *c->state;
    const size_t data_size = data != nullptr ? length : 0;
    auto* node = static_cast<msg_node*>(malloc(sizeof(msg_node) + data_size));
    if (node == nullptr) return -4;
    node->link.next = nullptr;
    node->kind = NODE_MSG;
    node->id = id;
    node->arg = arg;
    node->length = static_cast<uint32_t>(data_size);
    node->has_data = data != nullptr;
    if (data_size != 0) memcpy(node->data(), data, data_size);

    // Raised before the push: the thread may handle the message before this call returns, and
    // the count must never read idle while the message is in flight.
    s.pending.fetch_add(1);
    const int r = queue_push_wait(s.q, node, timeout_ms);
    if (r != 0) {
        s.pending.fetch_sub(1);
        free(node);
        return r == -2 ? -2 : -3;  // -1: the thread has stopped and takes no more messages
    }
    return 0;
}

int cmder_post_str(cmder* c, uint32_t id, const char* text, void* arg, int timeout_ms) {
    if (text == nullptr) return cmder_post_msg3(c, id, nullptr, 0, arg, timeout_ms);
    const size_t length = strlen(text) + 1;
    if (length > UINT32_MAX) return -4;
    return cmder_post_msg3(c, id, text, static_cast<uint32_t>(length), arg, timeout_ms);
}

int cmder_wait_idle(cmder* c, int tries) {
    if (!DV_ASSERT("pal", c != nullptr)) return -1;
    for (int i = 0;; ++i) {
        if (c->state->pending.load() == 0) return 0;
        if (i + 1 >= tries) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void cmder_req_stop(cmder* c) {
    if (DV_ASSERT("pal", c != nullptr)) request_stop(*c->state);
}

uint32_t cmder_status(const cmder* c) {
    return c != nullptr ? c->state->status.load() : CMDER_EXIT_STATUS;
}

void cmder_exit(cmder* c) {
    if (c == nullptr) return;
    cmder_state& s = *c->state;
    if (c->thread.joinable()) {
        request_stop(s);
        if (c->thread.get_id() == std::this_thread::get_id()) {
            // Joining itself would deadlock; the thread ends after the current hook.
            PAL_LOG(LOG_ERR, "cmder_exit called on its own thread %s\n", s.name.c_str());
            c->thread.detach();
            delete c;
            return;
        }
        bool ended;
        {
            std::unique_lock lock(s.end_mu);
            ended = s.end_cv.wait_for(lock, std::chrono::milliseconds(kExitWaitMs),
                                      [&s] { return s.ended; });
        }
        if (!ended) {
            // A thread cannot be killed safely: let it finish on the shared state, which it
            // releases itself, and never touch its queue from here again.
            PAL_LOG(LOG_ERR, "os_thread_wait_kill_exit ret=%d\n", -2);
            c->thread.detach();
            delete c;
            return;
        }
        c->thread.join();
    }
    discard_queued(s);
    delete c;
}
