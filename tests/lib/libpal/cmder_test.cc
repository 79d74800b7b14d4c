#include "libpal/cmder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "liblog/log2.h"

namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

// A gate that a test opens once; waits are bounded so a broken build fails instead of hanging.
class Gate {
  public:
    void open() {
        {
            std::lock_guard lock(mu_);
            open_ = true;
        }
        cv_.notify_all();
    }
    bool wait() {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, 30s, [this] { return open_; });
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool open_ = false;
};

// Shared by the hooks of one test through the user pointer.
struct Owner {
    std::mutex mu;
    std::vector<std::pair<uint32_t, std::string>> handled;  // id, data
    std::vector<uint32_t> data_lens;
    std::vector<bool> had_data;
    std::vector<void*> freed;
    std::atomic<int> timer_calls{0};
    std::atomic<int> init_calls{0};
    std::atomic<int> exit_calls{0};
    std::string thread_name;

    Gate handler_entered;
    Gate release_handler;  // the handler of message id 100 waits for it
    Gate free_entered;
    Gate release_free;  // msg_free of arg == &block_free waits for it
    int block_free = 0;
    cmder* self = nullptr;
};

Owner* owner_of(cmder_call* call) {
    return static_cast<Owner*>(call->user);
}

int record_msg(uint32_t id, void* data, cmder_call* call) {
    Owner* o = owner_of(call);
    if (id == 100) {
        o->handler_entered.open();
        o->release_handler.wait();
    }
    if (id == 200) {
        char name[64];
        os_thread_name_get(name, sizeof(name));
        std::lock_guard lock(o->mu);
        o->thread_name = name;
    }
    if (id == 300 && o->self != nullptr) {  // posts to its own thread
        cmder_post_str(o->self, 301, "tail", nullptr, 0);
    }
    if (id == 400) call->exit = 1;
    if (id == 500) call->need_reinit = 1;
    std::lock_guard lock(o->mu);
    o->handled.emplace_back(
        id, data != nullptr ? std::string(static_cast<char*>(data), call->data_len) : "");
    o->data_lens.push_back(call->data_len);
    o->had_data.push_back(data != nullptr);
    return 0;
}

void record_free(void* user, void* arg) {
    auto* o = static_cast<Owner*>(user);
    if (arg == &o->block_free) {
        o->free_entered.open();
        o->release_free.wait();
    }
    std::lock_guard lock(o->mu);
    o->freed.push_back(arg);
}

cmder_conf base_conf(Owner* o, const char* name = "test_cmder") {
    cmder_conf conf{};
    conf.user = o;
    conf.name = name;
    conf.timer_interval_ms = 1000;
    conf.msg_proc = record_msg;
    conf.msg_free = record_free;
    return conf;
}

void wait_idle(cmder* c) {
    for (int i = 0; i < 30; ++i) {
        if (cmder_wait_idle(c, 1000) == 0) return;
    }
    FAIL() << "never idle";
}

TEST(Cmder, DataIsCopiedAndLengthCounted) {
    Owner o;
    cmder_conf conf = base_conf(&o);
    cmder* c = cmder_init(&conf);
    ASSERT_NE(c, nullptr);
    char bytes[] = {'a', '\0', 'b'};
    ASSERT_EQ(cmder_post_msg3(c, 1, bytes, 3, &o, 1000), 0);
    bytes[0] = 'X';  // the message holds its own copy
    ASSERT_EQ(cmder_post_msg3(c, 2, nullptr, 77, nullptr, 1000), 0);
    ASSERT_EQ(cmder_post_str(c, 3, "path/x", nullptr, 1000), 0);
    ASSERT_EQ(cmder_post_str(c, 4, nullptr, nullptr, 1000), 0);
    wait_idle(c);
    cmder_exit(c);

    ASSERT_EQ(o.handled.size(), 4u);
    EXPECT_EQ(o.handled[0], std::make_pair(1u, std::string("a\0b", 3)));
    EXPECT_EQ(o.handled[2].second, std::string("path/x\0", 7)) << "NUL included";
    EXPECT_THAT(o.data_lens, ::testing::ElementsAre(3u, 0u, 7u, 0u));
    EXPECT_THAT(o.had_data, ::testing::ElementsAre(true, false, true, false));
    EXPECT_THAT(o.freed, ::testing::ElementsAre(&o, nullptr, nullptr, nullptr));
}

// Several producers: each message is handled exactly once, each producer's in its own order.
TEST(Cmder, ManyProducersExactlyOnceInOrder) {
    Owner o;
    cmder_conf conf = base_conf(&o);
    conf.msg_free = nullptr;
    cmder* c = cmder_init(&conf);
    constexpr uint32_t kProducers = 4;
    constexpr int kPerProducer = 3000;
    std::vector<std::thread> producers;
    for (uint32_t p = 0; p < kProducers; ++p) {
        producers.emplace_back([c, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                ASSERT_EQ(cmder_post_str(c, p, std::to_string(i).c_str(), nullptr, 1000), 0);
            }
        });
    }
    for (auto& t : producers) t.join();
    wait_idle(c);
    cmder_exit(c);

    ASSERT_EQ(o.handled.size(), kProducers * kPerProducer);
    std::vector<int> next(kProducers, 0);
    for (const auto& [id, data] : o.handled) {
        ASSERT_LT(id, kProducers);
        ASSERT_EQ(std::stoi(data), next[id]) << "producer " << id;
        ++next[id];
    }
}

// Idle means the last handler and its msg_free have returned, not that the queue is empty.
TEST(Cmder, WaitIdleOnlyAfterHandlerAndFreeReturned) {
    Owner o;
    cmder_conf conf = base_conf(&o);
    cmder* c = cmder_init(&conf);
    ASSERT_EQ(cmder_post_msg3(c, 100, nullptr, 0, &o.block_free, 1000), 0);
    ASSERT_TRUE(o.handler_entered.wait());
    EXPECT_EQ(cmder_wait_idle(c, 20), -1) << "queue empty, handler still running";
    o.release_handler.open();
    ASSERT_TRUE(o.free_entered.wait());
    EXPECT_EQ(cmder_wait_idle(c, 20), -1) << "handler returned, msg_free still running";
    o.release_free.open();
    wait_idle(c);
    EXPECT_EQ(o.freed.size(), 1u);
    cmder_exit(c);
}

// Messages still queued at shutdown are released with msg_free and never handled; a stop asked
// while a message runs ends the thread right after that message.
TEST(Cmder, ExitReleasesQueuedMessagesWithoutHandlingThem) {
    Owner o;
    cmder_conf conf = base_conf(&o);
    cmder* c = cmder_init(&conf);
    int args[6];
    ASSERT_EQ(cmder_post_msg3(c, 100, nullptr, 0, &args[0], 1000), 0);
    ASSERT_TRUE(o.handler_entered.wait());
    for (int i = 1; i < 6; ++i) ASSERT_EQ(cmder_post_msg3(c, 1, "x", 1, &args[i], 1000), 0);
    cmder_req_stop(c);
    o.release_handler.open();
    cmder_exit(c);

    ASSERT_EQ(o.handled.size(), 1u);
    EXPECT_EQ(o.handled[0].first, 100u);
    EXPECT_THAT(o.freed,
                ::testing::ElementsAre(&args[0], &args[1], &args[2], &args[3], &args[4], &args[5]));
}

TEST(Cmder, HookStopDropsQueueAndIdleStillEnds) {
    Owner o;
    cmder_conf conf = base_conf(&o);
    cmder* c = cmder_init(&conf);
    int args[4];
    ASSERT_EQ(cmder_post_msg3(c, 100, nullptr, 0, &args[0], 1000), 0);
    ASSERT_TRUE(o.handler_entered.wait());
    ASSERT_EQ(cmder_post_msg3(c, 400, nullptr, 0, &args[1], 1000), 0);  // asks to stop
    ASSERT_EQ(cmder_post_msg3(c, 1, nullptr, 0, &args[2], 1000), 0);
    ASSERT_EQ(cmder_post_msg3(c, 2, nullptr, 0, &args[3], 1000), 0);
    o.release_handler.open();
    wait_idle(c);  // would hang if the dropped messages still counted as pending
    EXPECT_EQ(cmder_status(c), CMDER_EXIT_STATUS);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(cmder_post_msg3(c, 3, nullptr, 0, nullptr, 1000), -3);
    EXPECT_THAT(::testing::internal::GetCapturedStderr(),
                HasSubstr("status=2 status!=CMDER_READY_STATUS error!"));
    cmder_exit(c);
    ASSERT_EQ(o.handled.size(), 2u);
    EXPECT_EQ(o.freed.size(), 4u);
}

TEST(Cmder, NotReadyWithinASecondRefusesPost) {
    Owner o;
    cmder_conf conf = base_conf(&o);
    static Gate* init_gate;
    Gate gate;
    init_gate = &gate;
    conf.init_proc = [](cmder_call*) {
        init_gate->wait();
        return 0;
    };
    cmder* c = cmder_init(&conf);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(cmder_post_str(c, 1, "early", nullptr, 1000), -3);
    EXPECT_THAT(::testing::internal::GetCapturedStderr(),
                HasSubstr("status=0 status!=CMDER_READY_STATUS error!"));
    gate.open();
    EXPECT_EQ(cmder_init_check(c), 0);
    EXPECT_EQ(cmder_post_str(c, 1, "later", nullptr, 1000), 0);
    wait_idle(c);
    cmder_exit(c);
    ASSERT_EQ(o.handled.size(), 1u);
    EXPECT_EQ(o.handled[0].second, std::string("later\0", 6));
}

TEST(Cmder, BoundedQueueRefusesWhenFull) {
    Owner o;
    cmder_conf conf = base_conf(&o);
    conf.queue_max = 1;
    cmder* c = cmder_init(&conf);
    ASSERT_EQ(cmder_post_msg3(c, 100, nullptr, 0, nullptr, 1000), 0);
    ASSERT_TRUE(o.handler_entered.wait());
    ASSERT_EQ(cmder_post_msg3(c, 1, nullptr, 0, nullptr, 0), 0);
    EXPECT_EQ(cmder_post_msg3(c, 2, nullptr, 0, nullptr, 0), -2);
    EXPECT_EQ(cmder_post_msg3(c, 2, nullptr, 0, nullptr, 10), -2);
    o.release_handler.open();
    wait_idle(c);
    cmder_exit(c);
    EXPECT_EQ(o.handled.size(), 2u);
    EXPECT_EQ(o.freed.size(), 2u) << "refused messages are not released";
}

TEST(Cmder, HandlerMayPostToItsOwnThread) {
    Owner o;
    cmder_conf conf = base_conf(&o);
    cmder* c = cmder_init(&conf);
    o.self = c;
    // Both are queued before the first of them runs.
    ASSERT_EQ(cmder_post_msg3(c, 100, nullptr, 0, nullptr, 1000), 0);
    ASSERT_TRUE(o.handler_entered.wait());
    ASSERT_EQ(cmder_post_str(c, 300, "head", nullptr, 1000), 0);
    ASSERT_EQ(cmder_post_str(c, 1, "queued", nullptr, 1000), 0);
    o.release_handler.open();
    wait_idle(c);
    cmder_exit(c);
    ASSERT_EQ(o.handled.size(), 4u);
    EXPECT_EQ(o.handled[2].first, 1u);
    EXPECT_EQ(o.handled[3].first, 301u) << "joins the end of the queue";
}

TEST(Cmder, HooksRunInTheirOrder) {
    static Owner* o;
    Owner owner;
    o = &owner;
    cmder_conf conf = base_conf(o, "hooks_cmder");
    conf.timer_interval_ms = 5;
    conf.init_proc = [](cmder_call* call) {
        EXPECT_EQ(call->user, o);
        ++o->init_calls;
        return 0;
    };
    conf.exit_proc = [](cmder_call*) {
        EXPECT_EQ(o->timer_calls.load(), 3);
        ++o->exit_calls;
        return 0;
    };
    conf.timer_proc = [](cmder_call* call) {
        EXPECT_EQ(call->arg, nullptr);
        if (++o->timer_calls == 3) call->exit = 1;  // a quiet thread keeps waking its timer
        return 0;
    };
    cmder* c = cmder_init(&conf);
    for (int i = 0; i < 3000 && cmder_status(c) != CMDER_EXIT_STATUS; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(cmder_status(c), CMDER_EXIT_STATUS);
    cmder_exit(c);
    EXPECT_EQ(owner.init_calls.load(), 1);
    EXPECT_EQ(owner.exit_calls.load(), 1);
}

TEST(Cmder, ReinitCallsInitAgainOrEndsWithoutIt) {
    static std::atomic<int> init_calls;
    init_calls = 0;
    for (bool with_init : {true, false}) {
        Owner o;
        cmder_conf conf = base_conf(&o);
        if (with_init) {
            conf.init_proc = [](cmder_call*) {
                ++init_calls;
                return 0;
            };
        }
        cmder* c = cmder_init(&conf);
        ::testing::internal::CaptureStderr();
        // Everything is queued before the re-initialisation is asked for.
        ASSERT_EQ(cmder_post_msg3(c, 100, nullptr, 0, nullptr, 1000), 0);
        ASSERT_TRUE(o.handler_entered.wait());
        ASSERT_EQ(cmder_post_msg3(c, 500, nullptr, 0, nullptr, 1000), 0);
        ASSERT_EQ(cmder_post_msg3(c, 1, nullptr, 0, nullptr, 1000), 0);
        o.release_handler.open();
        wait_idle(c);
        const std::string err = ::testing::internal::GetCapturedStderr();
        cmder_exit(c);
        if (with_init) {
            EXPECT_EQ(init_calls.load(), 2);
            EXPECT_EQ(o.handled.size(), 3u);
            EXPECT_THAT(err, HasSubstr("call init_proc"));
        } else {
            EXPECT_EQ(o.handled.size(), 2u) << "the loop ended; the rest was released";
            EXPECT_EQ(o.freed.size(), 3u);
            EXPECT_THAT(err, HasSubstr("need_reinit but ctx->init_proc=NULL"));
        }
    }
}

TEST(Cmder, MissingHandlerLogsDataAndStillReleases) {
    Owner o;
    cmder_conf conf = base_conf(&o);
    conf.msg_proc = nullptr;
    cmder* c = cmder_init(&conf);
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(cmder_post_str(c, 1, "hello", &o, 1000), 0);
    const char unterminated[] = {'a', 'b', 'c'};
    ASSERT_EQ(cmder_post_msg3(c, 2, unterminated, 3, &o, 1000), 0);
    wait_idle(c);
    const std::string err = ::testing::internal::GetCapturedStderr();
    cmder_exit(c);
    EXPECT_THAT(err, HasSubstr("get cmd=[hello] msg_proc=NULL"));
    EXPECT_THAT(err, HasSubstr("get cmd=[abc] msg_proc=NULL"));
    EXPECT_EQ(o.freed.size(), 2u);
}

TEST(Cmder, ThreadCarriesItsName) {
    Owner o;
    cmder_conf conf = base_conf(&o, "cdir_cmder");
    cmder* c = cmder_init(&conf);
    ASSERT_EQ(cmder_post_msg3(c, 200, nullptr, 0, nullptr, 1000), 0);
    wait_idle(c);
    cmder_exit(c);
    EXPECT_THAT(o.thread_name, ::testing::StartsWith("cdir_cmder_"));
}

// A handler that outlives the 2000 ms exit wait: cmder_exit returns and logs, the thread finishes
// later on its own state and still releases what was queued.
TEST(Cmder, ExitLeavesStuckThreadToFinishSafely) {
    Owner o;
    cmder_conf conf = base_conf(&o);
    cmder* c = cmder_init(&conf);
    int args[2];
    ASSERT_EQ(cmder_post_msg3(c, 100, nullptr, 0, &args[0], 1000), 0);
    ASSERT_TRUE(o.handler_entered.wait());
    ASSERT_EQ(cmder_post_msg3(c, 1, nullptr, 0, &args[1], 1000), 0);
    ::testing::internal::CaptureStderr();
    cmder_exit(c);
    EXPECT_THAT(::testing::internal::GetCapturedStderr(),
                HasSubstr("os_thread_wait_kill_exit ret=-2"));
    o.release_handler.open();
    for (int i = 0; i < 3000; ++i) {
        {
            std::lock_guard lock(o.mu);
            if (o.freed.size() == 2) break;
        }
        std::this_thread::sleep_for(10ms);
    }
    std::lock_guard lock(o.mu);
    EXPECT_THAT(o.freed, ::testing::ElementsAre(&args[0], &args[1]));
    EXPECT_EQ(o.handled.size(), 1u);
}

}  // namespace
