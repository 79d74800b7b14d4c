#include "libpal/queue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using ::testing::HasSubstr;

// An item usable in both node modes: starts with the link word the linked mode needs.
struct Item {
    queue_link link;
    int producer;
    int seq;
};

struct ReleaseLog {
    std::vector<Item*> released;
};

void record_release(void* user, void* item) {
    static_cast<ReleaseLog*>(user)->released.push_back(static_cast<Item*>(item));
}

class QueueModes : public ::testing::TestWithParam<queue_node_mode> {
  protected:
    queue* make(uint32_t max_count, ReleaseLog* log = nullptr) {
        const queue_conf conf{log, max_count, GetParam(), log ? record_release : nullptr};
        return queue_create(&conf);
    }
};

INSTANTIATE_TEST_SUITE_P(Both, QueueModes, ::testing::Values(QUEUE_NODE_WRAP, QUEUE_NODE_LINKED),
                         [](const auto& info) {
                             return info.param == QUEUE_NODE_WRAP ? "Wrap" : "Linked";
                         });

TEST_P(QueueModes, UnboundedNeverBlocksAndKeepsOrder) {
    queue* q = make(0);
    ASSERT_NE(q, nullptr);
    std::vector<Item> items(10000);
    for (size_t i = 0; i < items.size(); ++i) ASSERT_EQ(queue_push(q, &items[i]), 0);
    EXPECT_EQ(queue_size(q), items.size());
    EXPECT_FALSE(queue_isfull(q));
    // Pops interleaved with pushes still come out first in, first out.
    Item late{};
    for (size_t i = 0; i < items.size(); ++i) {
        if (i == 5000) {
            ASSERT_EQ(queue_push(q, &late), 0);
        }
        ASSERT_EQ(queue_pop(q), &items[i]);
    }
    EXPECT_EQ(queue_pop(q), &late);
    EXPECT_EQ(queue_pop(q), nullptr);
    EXPECT_TRUE(queue_empty(q));
    queue_close(q);
}

TEST_P(QueueModes, PopTimesOutOnEmptyQueue) {
    queue* q = make(0);
    EXPECT_EQ(queue_pop(q), nullptr);
    EXPECT_EQ(queue_pop_wait(q, 20), nullptr);
    queue_close(q);
}

TEST_P(QueueModes, BoundedPushWaitsForRoom) {
    queue* q = make(2);
    Item a{}, b{}, c{};
    ASSERT_EQ(queue_push(q, &a), 0);
    ASSERT_EQ(queue_push(q, &b), 0);
    EXPECT_TRUE(queue_isfull(q));
    EXPECT_EQ(queue_push(q, &c), -2);
    EXPECT_EQ(queue_push_wait(q, &c, 20), -2);
    EXPECT_EQ(queue_size(q), 2u);

    std::atomic<int> pushed{1};
    std::thread producer([&] { pushed = queue_push_wait(q, &c, -1); });
    EXPECT_EQ(queue_pop_wait(q, -1), &a);
    producer.join();
    EXPECT_EQ(pushed.load(), 0);
    EXPECT_EQ(queue_pop(q), &b);
    EXPECT_EQ(queue_pop(q), &c);
    queue_close(q);
}

// Several producers, one consumer: every item arrives exactly once and each producer's items in
// the order it pushed them. The bounded run also checks the limit is never exceeded.
TEST_P(QueueModes, ManyProducersOneConsumer) {
    for (uint32_t max_count : {0u, 3u}) {
        queue* q = make(max_count);
        constexpr int kProducers = 4;
        constexpr int kPerProducer = 20000;
        std::vector<std::vector<Item>> items(kProducers, std::vector<Item>(kPerProducer));
        std::vector<std::thread> producers;
        for (int p = 0; p < kProducers; ++p) {
            producers.emplace_back([&, p] {
                for (int i = 0; i < kPerProducer; ++i) {
                    items[p][i] = Item{{nullptr}, p, i};
                    ASSERT_EQ(queue_push_wait(q, &items[p][i], -1), 0);
                }
            });
        }
        std::vector<int> next(kProducers, 0);
        for (int n = 0; n < kProducers * kPerProducer; ++n) {
            if (max_count != 0) {
                ASSERT_LE(queue_size(q), max_count);
            }
            auto* item = static_cast<Item*>(queue_pop_wait(q, 10000));
            ASSERT_NE(item, nullptr) << "lost after " << n << " items";
            ASSERT_EQ(item->seq, next[item->producer]) << "producer " << item->producer;
            ++next[item->producer];
        }
        for (auto& t : producers) t.join();
        EXPECT_EQ(queue_pop(q), nullptr);
        queue_close(q);
    }
}

// A consumer that waits without limit is woken by every push: many round trips, no lost wake-up.
TEST_P(QueueModes, PingPongLosesNoWakeUp) {
    queue* to_worker = make(0);
    queue* to_main = make(0);
    std::vector<Item> items(2);
    std::thread worker([&] {
        for (int i = 0; i < 5000; ++i) {
            void* item = queue_pop_wait(to_worker, -1);
            ASSERT_EQ(queue_push(to_main, item), 0);
        }
    });
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(queue_push(to_worker, &items[i % 2]), 0);
        ASSERT_EQ(queue_pop_wait(to_main, 10000), &items[i % 2]);
    }
    worker.join();
    queue_close(to_worker);
    queue_close(to_main);
}

TEST_P(QueueModes, ClearAndCloseReleaseEveryItem) {
    ReleaseLog log;
    queue* q = make(0, &log);
    Item items[4]{};
    for (auto& item : items) queue_push(q, &item);
    EXPECT_EQ(queue_pop(q), &items[0]);  // the rest now sit on the consumer's side
    queue_push(q, &items[0]);
    queue_clear(q);
    EXPECT_THAT(log.released, ::testing::ElementsAre(&items[1], &items[2], &items[3], &items[0]));
    EXPECT_TRUE(queue_empty(q));

    log.released.clear();
    queue_push(q, &items[2]);
    queue_close(q);
    EXPECT_THAT(log.released, ::testing::ElementsAre(&items[2]));
}

TEST_P(QueueModes, ShutdownRefusesPushesButKeepsQueuedItems) {
    queue* q = make(1);
    Item a{}, b{};
    ASSERT_EQ(queue_push(q, &a), 0);
    std::atomic<int> blocked_push{1};
    std::thread producer([&] { blocked_push = queue_push_wait(q, &b, -1); });
    std::atomic<bool> consumer_woke{false};
    queue_shutdown(q);
    producer.join();
    EXPECT_EQ(blocked_push.load(), -1);
    EXPECT_EQ(queue_push(q, &b), -1);
    EXPECT_EQ(queue_pop_wait(q, -1), &a);
    std::thread consumer([&] {
        EXPECT_EQ(queue_pop_wait(q, -1), nullptr);
        consumer_woke = true;
    });
    consumer.join();
    EXPECT_TRUE(consumer_woke);
    queue_close(q);
}

TEST(Queue, DelFindsItemsOnBothSides) {
    const queue_conf conf{nullptr, 0, QUEUE_NODE_WRAP, nullptr};
    queue* q = queue_create(&conf);
    int v[5]{};
    for (int& x : v) queue_push(q, &x);
    EXPECT_EQ(queue_pop(q), &v[0]);  // v[1..4] on the consumer's side
    int w = 0;
    queue_push(q, &w);  // producer's side
    EXPECT_EQ(queue_del(q, &v[2]), 0);
    EXPECT_EQ(queue_del(q, &v[4]), 0);
    EXPECT_EQ(queue_del(q, &w), 0);
    EXPECT_EQ(queue_del(q, &w), -1);
    EXPECT_EQ(queue_size(q), 2u);
    int after = 0;
    queue_push(q, &after);  // the tail is still right after deleting the last item
    EXPECT_EQ(queue_pop(q), &v[1]);
    EXPECT_EQ(queue_pop(q), &v[3]);
    EXPECT_EQ(queue_pop(q), &after);
    EXPECT_EQ(queue_pop(q), nullptr);
    queue_close(q);
}

TEST(Queue, MisuseIsRefusedWithAssertionLines) {
    const queue_conf linked{nullptr, 0, QUEUE_NODE_LINKED, nullptr};
    queue* q = queue_create(&linked);
    Item a{};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(queue_push(nullptr, &a), -1);
    EXPECT_EQ(queue_push(q, nullptr), -1);
    EXPECT_EQ(queue_pop(nullptr), nullptr);
    EXPECT_EQ(queue_del(q, &a), -1);
    EXPECT_EQ(queue_create(nullptr), nullptr);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("expr[hq!=NULL]: assert failed"));
    EXPECT_THAT(err, HasSubstr("expr[node!=NULL]: assert failed"));
    EXPECT_THAT(err, HasSubstr("expr[ctx->not_alloc_node == FALSE]: assert failed"));
    queue_close(q);
}

// ---------------------------------------------------------------------------------------------
// qbuf

int ends_with_cr(const char* data, uint32_t length) {
    return length > 0 && data[0] == '\r';
}

class Qbuf : public ::testing::Test {
  protected:
    void SetUp() override { qb = qbuf_init(0); }
    void TearDown() override { qbuf_exit(qb); }
    void write(const std::string& s) {
        ASSERT_EQ(qbuf_write(qb, s.data(), static_cast<uint32_t>(s.size())), 0);
    }
    qbuf* qb = nullptr;
    char buf[256];
};

TEST_F(Qbuf, ReadUntilTooSmallBufferHoldsBlockForLaterRead) {
    write("0123456789");
    write("ab");
    int end = 0;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(qbuf_read_until(qb, buf, 5, 0, ends_with_cr, &end), 0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("len=5 blen=10 len must >= blen"));
    EXPECT_EQ(err.find("len must"), err.rfind("len must")) << "logged once";
    EXPECT_EQ(end, 0);
    EXPECT_EQ(qbuf_count(qb), 2u);

    EXPECT_EQ(qbuf_read_until(qb, buf, sizeof(buf), 0, ends_with_cr, &end), 12);
    EXPECT_EQ(std::string(buf, 12), "0123456789ab");
}

TEST_F(Qbuf, ReadUntilStopsAfterEndBlock) {
    write("one");
    write("\r0");
    write("two");
    int end = 0;
    // Room for all three, but the second ends the stream.
    EXPECT_EQ(qbuf_read_until(qb, buf, 8, 0, ends_with_cr, &end), 5);
    EXPECT_EQ(std::string(buf, 5), "one\r0");
    EXPECT_EQ(end, 1);
    end = 0;
    EXPECT_EQ(qbuf_read_until(qb, buf, sizeof(buf), 0, ends_with_cr, &end), 3);
    EXPECT_EQ(end, 0);
}

TEST_F(Qbuf, ReadUntilTakesWholeBlocksOnly) {
    write("aaaa");
    write("bbbb");
    write("cccc");
    int end = 0;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(qbuf_read_until(qb, buf, 10, 0, ends_with_cr, &end), 8);
    EXPECT_EQ(::testing::internal::GetCapturedStderr().find("len must"), std::string::npos)
        << "a block that does not fit after others is no error";
    EXPECT_EQ(qbuf_read_until(qb, buf, 10, 0, ends_with_cr, &end), 4);
    EXPECT_EQ(std::string(buf, 4), "cccc");
}

TEST_F(Qbuf, ReadAllPutsLengthBeforeEachBlock) {
    write("xy");
    write("");
    write("12345");
    EXPECT_EQ(qbuf_read_all(qb, buf, 4 + 2 + 4 + 4, 0), 10);  // the third block is held back
    uint32_t len;
    memcpy(&len, buf, 4);
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(std::string(buf + 4, 2), "xy");
    memcpy(&len, buf + 6, 4);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(qbuf_read_all(qb, buf, sizeof(buf), 0), 9);
    memcpy(&len, buf, 4);
    EXPECT_EQ(len, 5u);
    EXPECT_EQ(std::string(buf + 4, 5), "12345");
}

TEST_F(Qbuf, ReadTakesOneBlock) {
    write("first");
    write("second");
    EXPECT_EQ(qbuf_read(qb, buf, sizeof(buf), 0), 5);
    EXPECT_EQ(qbuf_read(qb, buf, sizeof(buf), 0), 6);
    EXPECT_EQ(std::string(buf, 6), "second");
    EXPECT_EQ(qbuf_read(qb, buf, sizeof(buf), 0), 0);
}

TEST_F(Qbuf, DrainHandsEveryBlockToCallback) {
    write("a");
    write("bb");
    write("ccc");
    std::vector<std::string> got;
    const qbuf_sink sink{[](void* user, const char* data, uint32_t length) {
                             static_cast<std::vector<std::string>*>(user)->emplace_back(data,
                                                                                        length);
                         },
                         &got};
    EXPECT_EQ(qbuf_drain(qb, &sink, 0), 0);
    EXPECT_THAT(got, ::testing::ElementsAre("a", "bb", "ccc"));
    EXPECT_EQ(qbuf_count(qb), 0u);
    EXPECT_EQ(qbuf_drain(qb, nullptr, 0), -1);
}

TEST_F(Qbuf, ClearDropsHeldAndQueuedBlocks) {
    write(std::string(100, 'x'));
    write("y");
    int end = 0;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(qbuf_read_until(qb, buf, 10, 0, ends_with_cr, &end), 0);  // holds the big one back
    ::testing::internal::GetCapturedStderr();
    qbuf_clear(qb);
    EXPECT_EQ(qbuf_count(qb), 0u);
    write("z");
    EXPECT_EQ(qbuf_read(qb, buf, sizeof(buf), 0), 1);
    EXPECT_EQ(buf[0], 'z');
}

TEST_F(Qbuf, BoundedWriteFailsWhenFullAndFreesBlock) {
    qbuf* small = qbuf_init(1);
    EXPECT_EQ(qbuf_write(small, "a", 1), 0);
    EXPECT_EQ(qbuf_write_timeout(small, "b", 1, 10), -1);
    EXPECT_EQ(qbuf_write(small, nullptr, 3), -1);
    qbuf_exit(small);
}

// A writer thread streams lines while the reader gathers them with a waiting read: every byte
// arrives once, in order, and a waiting reader is woken by the writes.
TEST_F(Qbuf, StreamsAcrossThreads) {
    constexpr int kLines = 20000;
    std::thread writer([this] {
        for (int i = 0; i < kLines; ++i) {
            const std::string line = std::to_string(i) + "\n";
            ASSERT_EQ(qbuf_write_timeout(qb, line.data(), static_cast<uint32_t>(line.size()), -1),
                      0);
        }
        ASSERT_EQ(qbuf_write(qb, "\r0", 2), 0);
    });
    std::string all;
    int end = 0;
    while (end == 0) {
        const int n = qbuf_read_until(qb, buf, sizeof(buf), 10000, ends_with_cr, &end);
        ASSERT_GT(n, 0);
        all.append(buf, n);
    }
    writer.join();
    std::string want;
    for (int i = 0; i < kLines; ++i) want += std::to_string(i) + "\n";
    want += "\r0";
    EXPECT_EQ(all, want);
}

// ---------------------------------------------------------------------------------------------
// rbuf

TEST(Rbuf, KeepsNewestRecordsAndCountsDrops) {
    constexpr uint32_t kBlock = 16;
    rbuf* rb = rbuf_init(10 * (2 + kBlock), kBlock);  // ten slots
    ASSERT_NE(rb, nullptr);
    for (int i = 0; i < 15; ++i) {
        const std::string rec = "rec" + std::to_string(i);
        ASSERT_EQ(rbuf_write(rb, rec.data(), static_cast<uint32_t>(rec.size())), 0);
    }
    EXPECT_EQ(rbuf_count(rb), 10u);
    EXPECT_EQ(rbuf_get_drop_count(rb), 5u);
    char buf[16];
    for (int i = 5; i < 15; ++i) {
        const int n = rbuf_read(rb, buf, sizeof(buf), 0);
        EXPECT_EQ(std::string(buf, n), "rec" + std::to_string(i));
    }
    EXPECT_EQ(rbuf_read(rb, buf, sizeof(buf), 0), 0);
    rbuf_exit(rb);
}

TEST(Rbuf, InitRefusesTooSmallGeometry) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(rbuf_init(2, 16), nullptr);
    EXPECT_EQ(rbuf_init(1000, 2), nullptr);
    EXPECT_EQ(rbuf_init(35, 16), nullptr);  // one slot of 18 bytes
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("expr[all_size>2]: assert failed"));
    EXPECT_THAT(err, HasSubstr("expr[block_size>2 && block_size<=UINT16_MAX]: assert failed"));
    EXPECT_THAT(err, HasSubstr("MaxQueueSize=1 <2 error"));
    rbuf* rb = rbuf_init(36, 16);
    EXPECT_NE(rb, nullptr);
    rbuf_exit(rb);
}

TEST(Rbuf, LargeBlocksUseFourBytePrefix) {
    constexpr uint32_t kBlock = 70000;
    ::testing::internal::CaptureStderr();
    rbuf* rb = rbuf_init(2 * (4 + kBlock), kBlock);
    ::testing::internal::GetCapturedStderr();
    ASSERT_NE(rb, nullptr);
    const std::string big(kBlock, 'q');
    ASSERT_EQ(rbuf_write(rb, big.data(), kBlock), 0);
    std::vector<char> buf(kBlock);
    EXPECT_EQ(rbuf_read(rb, buf.data(), kBlock, 0), static_cast<int>(kBlock));
    EXPECT_EQ(std::string(buf.data(), kBlock), big);
    rbuf_exit(rb);
}

TEST(Rbuf, WriteRefusesEmptyAndOversizedRecords) {
    rbuf* rb = rbuf_init(100, 8);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(rbuf_write(rb, "x", 0), -1);
    EXPECT_EQ(rbuf_write(rb, "123456789", 9), -1);
    EXPECT_THAT(::testing::internal::GetCapturedStderr(),
                HasSubstr("expr[size>0 && size<=ctx->BlockSize-ctx->bs_byte]: assert failed"));
    EXPECT_EQ(rbuf_write(rb, "12345678", 8), 0);
    EXPECT_EQ(rbuf_count(rb), 1u);
    rbuf_exit(rb);
}

TEST(Rbuf, ReadModes) {
    rbuf* rb = rbuf_init(1000, 8);
    for (const char* rec : {"ab", "\rX", "cde"}) rbuf_write(rb, rec, strlen(rec));
    char buf[64];
    int end = 0;
    EXPECT_EQ(rbuf_read_until(rb, buf, sizeof(buf), 0, ends_with_cr, &end), 4);
    EXPECT_EQ(end, 1);
    EXPECT_EQ(rbuf_read_all(rb, buf, sizeof(buf), 0), 7);
    uint32_t len;
    memcpy(&len, buf, 4);
    EXPECT_EQ(len, 3u);

    // A drain callback may write to the same ring: it runs without the lock.
    rbuf_write(rb, "r1", 2);
    rbuf_write(rb, "r2", 2);
    struct Ctx {
        rbuf* rb;
        std::vector<std::string> got;
    } ctx{rb, {}};
    const qbuf_sink sink{[](void* user, const char* data, uint32_t length) {
                             auto* c = static_cast<Ctx*>(user);
                             c->got.emplace_back(data, length);
                             if (c->got.size() == 1) rbuf_write(c->rb, "r3", 2);
                         },
                         &ctx};
    EXPECT_EQ(rbuf_drain(rb, &sink, 0), 0);
    EXPECT_THAT(ctx.got, ::testing::ElementsAre("r1", "r2", "r3"));
    rbuf_clear(rb);
    EXPECT_EQ(rbuf_count(rb), 0u);
    rbuf_exit(rb);
}

TEST(Rbuf, WaitingReaderIsWokenByWriter) {
    rbuf* rb = rbuf_init(1000, 8);
    std::thread writer([rb] { rbuf_write(rb, "late", 4); });
    char buf[8];
    EXPECT_EQ(rbuf_read(rb, buf, sizeof(buf), 10000), 4);
    writer.join();
    rbuf_exit(rb);
}

}  // namespace
