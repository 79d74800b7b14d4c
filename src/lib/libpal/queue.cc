#include "libpal/queue.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "liblog/log2.h"

#define PAL_LOG(level, ...) DV_LOG("pal", level, __VA_ARGS__)

// Assertion with the text the logs have always shown, whatever the expression is called here.
#define PAL_ASSERT_TEXT(cond, text) \
    (static_cast<bool>(cond) || log2_assert_fail("pal", (text), __FILE__, __LINE__, __func__))

namespace {

// Waits on `cv` until `pred` holds or the time-out runs out; returns pred().
template <class Pred>
bool wait_for_ms(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int timeout_ms,
                 Pred pred) {
    if (timeout_ms < 0) {
        cv.wait(lock, pred);
        return true;
    }
    return cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), pred);
}

struct wrap_cell {
    queue_link link;
    void* item;
};

}  // namespace

// The producers append to `head_`/`tail_` under the mutex. The consumer takes the whole producer
// list over in one step and then pops from its private list without the lock, so a busy consumer
// takes the lock once per batch, not once per item.
struct queue final {
    explicit queue(const queue_conf& conf)
        : user_(conf.user),
          max_(conf.max_count),
          linked_(conf.node_mode == QUEUE_NODE_LINKED),
          release_(conf.release) {}
    queue(const queue&) = delete;
    queue& operator=(const queue&) = delete;
    ~queue() { clear(); }

    int push(void* item, int timeout_ms) {
        queue_link* node;
        if (linked_) {
            node = static_cast<queue_link*>(item);
        } else {
            auto* cell = new (std::nothrow) wrap_cell{{nullptr}, item};
            if (cell == nullptr) return -1;
            node = &cell->link;
        }
        node->next = nullptr;

        bool wake_consumer;
        {
            std::unique_lock lock(mu_);
            if (max_ != 0 && count_.load() >= max_ && !shut_) {
                bool room = false;
                if (timeout_ms != 0) {
                    producers_waiting_.fetch_add(1);
                    room = wait_for_ms(not_full_, lock, timeout_ms,
                                       [this] { return count_.load() < max_ || shut_; });
                    producers_waiting_.fetch_sub(1);
                }
                if (!room || shut_) {
                    lock.unlock();
                    free_node(node);
                    return room ? -1 : -2;
                }
            }
            if (shut_) {
                lock.unlock();
                free_node(node);
                return -1;
            }
            if (tail_ != nullptr) {
                tail_->next = node;
            } else {
                head_ = node;
            }
            tail_ = node;
            count_.fetch_add(1);
            wake_consumer = consumer_waiting_;
        }
        if (wake_consumer) not_empty_.notify_one();
        return 0;
    }

    void* pop(int timeout_ms) {
        if (consumer_ == nullptr) {
            std::unique_lock lock(mu_);
            if (head_ == nullptr) {
                if (timeout_ms == 0 || shut_) return nullptr;
                consumer_waiting_ = true;
                wait_for_ms(not_empty_, lock, timeout_ms,
                            [this] { return head_ != nullptr || shut_; });
                consumer_waiting_ = false;
                if (head_ == nullptr) return nullptr;
            }
            consumer_ = head_;
            head_ = tail_ = nullptr;
        }
        queue_link* node = consumer_;
        consumer_ = node->next;
        void* item = take_item(node);
        count_.fetch_sub(1);
        // Both sides use sequentially consistent operations on count_ and producers_waiting_: a
        // producer that found the queue full either sees this pop's room or is seen waiting here.
        if (max_ != 0 && producers_waiting_.load() != 0) {
            std::lock_guard lock(mu_);
            not_full_.notify_all();
        }
        return item;
    }

    void shutdown() {
        {
            std::lock_guard lock(mu_);
            shut_ = true;
        }
        not_empty_.notify_all();
        not_full_.notify_all();
    }

    int del(void* item) {
        std::unique_lock lock(mu_);
        queue_link* prev = nullptr;
        for (queue_link* n = head_; n != nullptr; prev = n, n = n->next) {
            if (reinterpret_cast<wrap_cell*>(n)->item != item) continue;
            if (prev != nullptr) {
                prev->next = n->next;
            } else {
                head_ = n->next;
            }
            if (tail_ == n) tail_ = prev;
            lock.unlock();
            removed(n);
            return 0;
        }
        prev = nullptr;
        for (queue_link* n = consumer_; n != nullptr; prev = n, n = n->next) {
            if (reinterpret_cast<wrap_cell*>(n)->item != item) continue;
            if (prev != nullptr) {
                prev->next = n->next;
            } else {
                consumer_ = n->next;
            }
            lock.unlock();
            removed(n);
            return 0;
        }
        return -1;
    }

    void clear() {
        queue_link* producers;
        {
            std::lock_guard lock(mu_);
            producers = head_;
            head_ = tail_ = nullptr;
        }
        queue_link* lists[] = {consumer_, producers};
        consumer_ = nullptr;
        for (queue_link* n : lists) {
            while (n != nullptr) {
                queue_link* next = n->next;
                void* item = take_item(n);
                count_.fetch_sub(1);
                if (release_ != nullptr) release_(user_, item);
                n = next;
            }
        }
        wake_producers();
    }

    uint32_t size() const { return count_.load(std::memory_order_relaxed); }
    bool full() const { return max_ != 0 && size() >= max_; }
    bool linked() const { return linked_; }

  private:
    void* take_item(queue_link* node) {
        if (linked_) return node;
        auto* cell = reinterpret_cast<wrap_cell*>(node);
        void* item = cell->item;
        delete cell;
        return item;
    }

    void free_node(queue_link* node) {
        if (!linked_) delete reinterpret_cast<wrap_cell*>(node);
    }

    void removed(queue_link* node) {
        take_item(node);
        count_.fetch_sub(1);
        wake_producers();
    }

    void wake_producers() {
        if (max_ != 0 && producers_waiting_.load() != 0) {
            std::lock_guard lock(mu_);
            not_full_.notify_all();
        }
    }

    void* const user_;
    const uint32_t max_;
    const bool linked_;
    const queue_release_fn release_;

    std::mutex mu_;
    std::condition_variable not_empty_;
    std::condition_variable not_full_;
    queue_link* head_ = nullptr;  // producer list, under mu_
    queue_link* tail_ = nullptr;
    bool shut_ = false;               // under mu_
    bool consumer_waiting_ = false;   // under mu_
    queue_link* consumer_ = nullptr;  // consumer's private list
    std::atomic<uint32_t> count_{0};
    std::atomic<uint32_t> producers_waiting_{0};
};

queue* queue_create(const queue_conf* conf) {
    if (!DV_ASSERT("pal", conf != nullptr)) return nullptr;
    return new (std::nothrow) queue(*conf);
}

void queue_close(queue* q) {
    delete q;
}

int queue_push_wait(queue* q, void* item, int timeout_ms) {
    if (!PAL_ASSERT_TEXT(q != nullptr, "hq!=NULL")) return -1;
    if (!PAL_ASSERT_TEXT(item != nullptr, "node!=NULL")) return -1;
    return q->push(item, timeout_ms);
}

int queue_push(queue* q, void* item) {
    return queue_push_wait(q, item, 0);
}

void* queue_pop_wait(queue* q, int timeout_ms) {
    if (!PAL_ASSERT_TEXT(q != nullptr, "hq!=NULL")) return nullptr;
    return q->pop(timeout_ms);
}

void* queue_pop(queue* q) {
    return queue_pop_wait(q, 0);
}

void queue_shutdown(queue* q) {
    if (PAL_ASSERT_TEXT(q != nullptr, "hq!=NULL")) q->shutdown();
}

uint32_t queue_size(const queue* q) {
    return q != nullptr ? q->size() : 0;
}

bool queue_isfull(const queue* q) {
    return q != nullptr && q->full();
}

bool queue_empty(const queue* q) {
    return q == nullptr || q->size() == 0;
}

int queue_del(queue* q, void* item) {
    if (!PAL_ASSERT_TEXT(q != nullptr, "hq!=NULL")) return -1;
    if (!PAL_ASSERT_TEXT(item != nullptr, "node!=NULL")) return -1;
    if (!PAL_ASSERT_TEXT(!q->linked(), "ctx->not_alloc_node == FALSE")) return -1;
    return q->del(item);
}

void queue_clear(queue* q) {
    if (PAL_ASSERT_TEXT(q != nullptr, "hq!=NULL")) q->clear();
}

// ---------------------------------------------------------------------------------------------
// The read modes shared by qbuf and rbuf.

namespace {

// A Source offers: peek(timeout, data, length) makes the next record visible without taking it
// (false when none came); take() drops the peeked record; deliver(sink) takes it and hands it to
// the sink.
template <class Source>
int gather_records(Source& src, void* buffer, uint32_t size, qbuf_read_mode mode, int timeout_ms,
                   qbuf_end_test end_test, int* end_flag) {
    if (mode == QBUF_READ_DRAIN) {
        const auto* sink = static_cast<const qbuf_sink*>(buffer);
        if (sink == nullptr || sink->fn == nullptr) return -1;
        const char* data;
        uint32_t length;
        for (int wait = timeout_ms; src.peek(wait, &data, &length); wait = 0) src.deliver(*sink);
        return 0;
    }
    if (buffer == nullptr && size != 0) return -1;
    if (mode != QBUF_READ_ALL && mode != QBUF_READ_ONE && mode != QBUF_READ_UNTIL) return -1;
    if (size > INT_MAX) size = INT_MAX;

    auto* out = static_cast<char*>(buffer);
    uint32_t used = 0;
    const char* data;
    uint32_t length;
    for (int wait = timeout_ms; src.peek(wait, &data, &length); wait = 0) {
        const uint64_t need = static_cast<uint64_t>(length) + (mode == QBUF_READ_ALL ? 4 : 0);
        if (need > size - used) {
            if (used == 0) {
                PAL_LOG(LOG_ERR, "len=%u blen=%u len must >= blen", size, length);
            }
            break;  // held back for the next read
        }
        if (mode == QBUF_READ_ALL) {
            memcpy(out + used, &length, 4);
            used += 4;
        }
        if (length != 0) memcpy(out + used, data, length);
        used += length;
        const bool ends = mode == QBUF_READ_UNTIL && end_test != nullptr && end_test(data, length);
        src.take();
        if (mode == QBUF_READ_ONE) break;
        if (ends) {
            if (end_flag != nullptr) *end_flag = 1;
            break;
        }
    }
    return static_cast<int>(used);
}

struct qbuf_block {
    queue_link link;  // first: the queue links blocks through it
    uint32_t length;
    char* data() { return reinterpret_cast<char*>(this + 1); }
};

void qbuf_block_free(void*, void* item) {
    free(item);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// qbuf

struct qbuf final {
    queue* q = nullptr;
    qbuf_block* held = nullptr;  // reader side only

    qbuf() = default;
    qbuf(const qbuf&) = delete;
    qbuf& operator=(const qbuf&) = delete;
    ~qbuf() {
        free(held);
        queue_close(q);
    }

    bool peek(int timeout_ms, const char** data, uint32_t* length) {
        if (held == nullptr) held = static_cast<qbuf_block*>(queue_pop_wait(q, timeout_ms));
        if (held == nullptr) return false;
        *data = held->data();
        *length = held->length;
        return true;
    }
    void take() {
        free(held);
        held = nullptr;
    }
    void deliver(const qbuf_sink& sink) {
        sink.fn(sink.user, held->data(), held->length);
        take();
    }
};

qbuf* qbuf_init(uint32_t limit) {
    auto* qb = new (std::nothrow) qbuf();
    if (qb == nullptr) return nullptr;
    const queue_conf conf{nullptr, limit, QUEUE_NODE_LINKED, qbuf_block_free};
    qb->q = queue_create(&conf);
    if (qb->q == nullptr) {
        delete qb;
        return nullptr;
    }
    return qb;
}

void qbuf_exit(qbuf* qb) {
    delete qb;
}

void qbuf_clear(qbuf* qb) {
    if (qb == nullptr) return;
    qb->take();
    queue_clear(qb->q);
}

int qbuf_write_timeout(qbuf* qb, const void* data, uint32_t length, int timeout_ms) {
    if (qb == nullptr || (data == nullptr && length != 0)) return -1;
    auto* block = static_cast<qbuf_block*>(malloc(sizeof(qbuf_block) + length));
    if (block == nullptr) return -1;
    block->length = length;
    if (length != 0) memcpy(block->data(), data, length);
    if (queue_push_wait(qb->q, block, timeout_ms) != 0) {
        free(block);
        return -1;
    }
    return 0;
}

int qbuf_write(qbuf* qb, const void* data, uint32_t length) {
    return qbuf_write_timeout(qb, data, length, 0);
}

int qbuf_read_imp(qbuf* qb, void* buffer, uint32_t size, qbuf_read_mode mode, int timeout_ms,
                  qbuf_end_test end_test, int* end_flag) {
    if (qb == nullptr) return -1;
    return gather_records(*qb, buffer, size, mode, timeout_ms, end_test, end_flag);
}

int qbuf_read_all(qbuf* qb, void* buffer, uint32_t size, int timeout_ms) {
    return qbuf_read_imp(qb, buffer, size, QBUF_READ_ALL, timeout_ms, nullptr, nullptr);
}

int qbuf_read(qbuf* qb, void* buffer, uint32_t size, int timeout_ms) {
    return qbuf_read_imp(qb, buffer, size, QBUF_READ_ONE, timeout_ms, nullptr, nullptr);
}

int qbuf_drain(qbuf* qb, const qbuf_sink* sink, int timeout_ms) {
    return qbuf_read_imp(qb, const_cast<qbuf_sink*>(sink), 0, QBUF_READ_DRAIN, timeout_ms, nullptr,
                         nullptr);
}

int qbuf_peek_length(qbuf* qb, int timeout_ms, uint32_t* length) {
    if (qb == nullptr || length == nullptr) return 0;
    const char* data = nullptr;
    return qb->peek(timeout_ms, &data, length) ? 1 : 0;
}

int qbuf_read_until(qbuf* qb, void* buffer, uint32_t size, int timeout_ms, qbuf_end_test end_test,
                    int* end_flag) {
    return qbuf_read_imp(qb, buffer, size, QBUF_READ_UNTIL, timeout_ms, end_test, end_flag);
}

uint32_t qbuf_count(const qbuf* qb) {
    if (qb == nullptr) return 0;
    return queue_size(qb->q) + (qb->held != nullptr ? 1 : 0);
}

// ---------------------------------------------------------------------------------------------
// rbuf

struct rbuf final {
    rbuf(uint32_t slots, uint32_t block_size, uint32_t prefix)
        : slots_(slots),
          block_size_(block_size),
          prefix_(prefix),
          area_(size_t{slots} * slot_size()) {}
    rbuf(const rbuf&) = delete;
    rbuf& operator=(const rbuf&) = delete;

    int write(const void* data, uint32_t length) {
        {
            std::lock_guard lock(mu_);
            if (used_ == slots_) {
                ++records_dropped_;
                bytes_dropped_ += record_length(read_pos_);
                advance(read_pos_);
                --used_;
            }
            char* slot = slot_at(write_pos_);
            if (prefix_ == 2) {
                const auto short_length = static_cast<uint16_t>(length);
                memcpy(slot, &short_length, 2);
            } else {
                memcpy(slot, &length, 4);
            }
            memcpy(slot + prefix_, data, length);
            advance(write_pos_);
            ++used_;
            ++records_written_;
            bytes_written_ += length;
        }
        readable_.notify_all();
        return 0;
    }

    void clear() {
        std::lock_guard lock(mu_);
        read_pos_ = write_pos_ = used_ = 0;
    }

    uint32_t count() {
        std::lock_guard lock(mu_);
        return used_;
    }
    uint64_t dropped() {
        std::lock_guard lock(mu_);
        return records_dropped_;
    }

    // One read holds the lock from start to end, except while a drain callback runs.
    int read(void* buffer, uint32_t size, qbuf_read_mode mode, int timeout_ms,
             qbuf_end_test end_test, int* end_flag) {
        Reader reader{*this, std::unique_lock(mu_), {}};
        return gather_records(reader, buffer, size, mode, timeout_ms, end_test, end_flag);
    }

    uint32_t block_size() const { return block_size_; }

  private:
    struct Reader {
        rbuf& rb;
        std::unique_lock<std::mutex> lock;

        bool peek(int timeout_ms, const char** data, uint32_t* length) {
            if (rb.used_ == 0) {
                if (timeout_ms == 0) return false;
                if (!wait_for_ms(rb.readable_, lock, timeout_ms,
                                 [this] { return rb.used_ != 0; })) {
                    return false;
                }
            }
            *length = rb.record_length(rb.read_pos_);
            *data = rb.slot_at(rb.read_pos_) + rb.prefix_;
            return true;
        }
        void take() {
            rb.advance(rb.read_pos_);
            --rb.used_;
        }
        void deliver(const qbuf_sink& sink) {
            // Copy out first: a writer may reuse the slot while the callback runs unlocked.
            const uint32_t length = rb.record_length(rb.read_pos_);
            scratch.assign(rb.slot_at(rb.read_pos_) + rb.prefix_,
                           rb.slot_at(rb.read_pos_) + rb.prefix_ + length);
            take();
            lock.unlock();
            sink.fn(sink.user, scratch.data(), length);
            lock.lock();
        }
        std::vector<char> scratch;
    };

    size_t slot_size() const { return size_t{prefix_} + block_size_; }
    char* slot_at(uint32_t index) { return area_.data() + size_t{index} * slot_size(); }
    void advance(uint32_t& pos) const { pos = pos + 1 == slots_ ? 0 : pos + 1; }
    uint32_t record_length(uint32_t index) {
        const char* slot = slot_at(index);
        if (prefix_ == 2) {
            uint16_t short_length;
            memcpy(&short_length, slot, 2);
            return short_length;
        }
        uint32_t length;
        memcpy(&length, slot, 4);
        return length;
    }

    const uint32_t slots_;
    const uint32_t block_size_;
    const uint32_t prefix_;
    std::vector<char> area_;

    std::mutex mu_;
    std::condition_variable readable_;
    uint32_t read_pos_ = 0;
    uint32_t write_pos_ = 0;
    uint32_t used_ = 0;
    uint64_t records_written_ = 0;
    uint64_t bytes_written_ = 0;
    uint64_t records_dropped_ = 0;
    uint64_t bytes_dropped_ = 0;
};

rbuf* rbuf_init(uint32_t total_size, uint32_t block_size) {
    if (!PAL_ASSERT_TEXT(total_size > 2, "all_size>2")) return nullptr;
    // Blocks of 64 KiB and more are served with a 4-byte prefix; the assertion still reports them.
    if (!PAL_ASSERT_TEXT(block_size > 2 && block_size <= UINT16_MAX,
                         "block_size>2 && block_size<=UINT16_MAX") &&
        block_size <= 2) {
        return nullptr;
    }
    const uint32_t prefix = block_size < 65536 ? 2 : 4;
    const uint64_t slots = total_size / (uint64_t{prefix} + block_size);
    if (slots < 2) {
        PAL_LOG(LOG_ERR, "MaxQueueSize=%d <2 error\n", static_cast<int>(slots));
        return nullptr;
    }
    try {
        return new rbuf(static_cast<uint32_t>(slots), block_size, prefix);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void rbuf_exit(rbuf* rb) {
    delete rb;
}

void rbuf_clear(rbuf* rb) {
    if (rb != nullptr) rb->clear();
}

int rbuf_write(rbuf* rb, const void* data, uint32_t length) {
    if (rb == nullptr || data == nullptr) return -1;
    if (!PAL_ASSERT_TEXT(length > 0 && length <= rb->block_size(),
                         "size>0 && size<=ctx->BlockSize-ctx->bs_byte")) {
        return -1;
    }
    return rb->write(data, length);
}

int rbuf_read_imp(rbuf* rb, void* buffer, uint32_t size, qbuf_read_mode mode, int timeout_ms,
                  qbuf_end_test end_test, int* end_flag) {
    if (rb == nullptr) return -1;
    return rb->read(buffer, size, mode, timeout_ms, end_test, end_flag);
}

int rbuf_read_all(rbuf* rb, void* buffer, uint32_t size, int timeout_ms) {
    return rbuf_read_imp(rb, buffer, size, QBUF_READ_ALL, timeout_ms, nullptr, nullptr);
}

int rbuf_read(rbuf* rb, void* buffer, uint32_t size, int timeout_ms) {
    return rbuf_read_imp(rb, buffer, size, QBUF_READ_ONE, timeout_ms, nullptr, nullptr);
}

int rbuf_drain(rbuf* rb, const qbuf_sink* sink, int timeout_ms) {
    return rbuf_read_imp(rb, const_cast<qbuf_sink*>(sink), 0, QBUF_READ_DRAIN, timeout_ms, nullptr,
                         nullptr);
}

int rbuf_read_until(rbuf* rb, void* buffer, uint32_t size, int timeout_ms, qbuf_end_test end_test,
                    int* end_flag) {
    return rbuf_read_imp(rb, buffer, size, QBUF_READ_UNTIL, timeout_ms, end_test, end_flag);
}

uint32_t rbuf_count(rbuf* rb) {
    return rb != nullptr ? rb->count() : 0;
}

uint64_t rbuf_get_drop_count(rbuf* rb) {
    return rb != nullptr ? rb->dropped() : 0;
}
