// Hand-over buffers between threads.
//
//   queue  blocking first-in first-out queue of pointers; many producers, one consumer.
//   qbuf   block queue: a producer hands over variable-length byte blocks, one reader gathers them
//          into its own buffer.
//   rbuf   ring of fixed-size slots that keeps the newest records and drops the oldest when full.
//
// Time-outs are milliseconds: 0 does not wait, -1 (any negative value) waits without limit. Every
// wait re-checks its condition, so a wake-up is never lost.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// queue

// How items are linked.
enum queue_node_mode : int {
    // The queue wraps each item in a cell that it allocates; items are any pointers.
    QUEUE_NODE_WRAP = 0,
    // Each item starts with a queue_link that the queue uses while the item is queued; no
    // allocation per item.
    QUEUE_NODE_LINKED = 1,
};

struct queue_link {
    queue_link* next;
};

// Called for items that the queue discards (queue_clear, queue_close), never for items that are
// popped or removed with queue_del.
using queue_release_fn = void (*)(void* user, void* item);

struct queue_conf {
    void* user;          // handed to `release`
    uint32_t max_count;  // most items queued at once; 0 = unbounded (a push never waits)
    queue_node_mode node_mode;
    queue_release_fn release;  // optional
};

struct queue;

// Returns the new queue, or nullptr when `conf` is null or memory runs out.
queue* queue_create(const queue_conf* conf);

// Discards what is left (as queue_clear) and releases the queue. Called by the consumer, or when
// no other thread uses the queue any more.
void queue_close(queue* q);

// Appends `item` (not null). A bounded, full queue waits up to `timeout_ms` for room.
// Returns 0 when queued, -2 when the queue stayed full, -1 for a null queue or item, no memory
// for the cell, or a queue that was shut down. Any thread. Items leave in the order in which
// their pushes completed.
int queue_push_wait(queue* q, void* item, int timeout_ms);
int queue_push(queue* q, void* item);  // time-out 0

// Takes the oldest item, waiting up to `timeout_ms` for one; nullptr when none came (or the queue
// was shut down and is empty). Exactly one thread may pop from a queue.
void* queue_pop_wait(queue* q, int timeout_ms);
void* queue_pop(queue* q);  // time-out 0

// Refuses every later push (-1) and wakes waiting producers and the consumer; items already
// queued can still be popped. Any thread; cannot be undone.
void queue_shutdown(queue* q);

// Items queued now. Any thread, no lock.
uint32_t queue_size(const queue* q);
bool queue_isfull(const queue* q);
bool queue_empty(const queue* q);

// Removes `item` if it is still queued, without calling the release function (QUEUE_NODE_WRAP
// only). Returns 0 when found, -1 otherwise. Consumer side: the popping thread, or while no pop
// runs.
int queue_del(queue* q, void* item);

// Discards every queued item, calling the release function for each. Consumer side.
void queue_clear(queue* q);

// ---------------------------------------------------------------------------------------------
// qbuf and rbuf reads
//
// A read gathers records into the caller's buffer, waiting up to the time-out for the first one
// only. A record that does not fit in the room left stays queued and is the first one the next
// read considers. Modes:
enum qbuf_read_mode : int {
    QBUF_READ_ALL = 0,    // as many whole records as fit, each as a 4-byte length (host order)
                          // followed by its data
    QBUF_READ_ONE = 1,    // the data of one record
    QBUF_READ_DRAIN = 2,  // every queued record to a callback (a qbuf_sink given as the buffer)
    QBUF_READ_UNTIL = 3,  // the data of whole records, concatenated, stopping after a record for
                          // which the end test is true (then *end_flag = 1)
};
// When the very first record of a QBUF_READ_ONE, QBUF_READ_UNTIL or QBUF_READ_ALL read does not
// fit, the read returns 0 and logs "len=%u blen=%u len must >= blen" (room, record length); a
// later read with a larger buffer receives it.

// True (non-zero) when the record ends a QBUF_READ_UNTIL read.
using qbuf_end_test = int (*)(const char* data, uint32_t length);

// Receives each record of a QBUF_READ_DRAIN read.
struct qbuf_sink {
    void (*fn)(void* user, const char* data, uint32_t length);
    void* user;
};

// ---------------------------------------------------------------------------------------------
// qbuf: any number of writer threads, exactly one reader thread.

struct qbuf;

// `limit`: most blocks queued at once, 0 = unbounded (a write never waits for room).
qbuf* qbuf_init(uint32_t limit);
// Releases the queue and every block still in it. Reader side.
void qbuf_exit(qbuf* qb);
// Discards every queued block (and the held-back one). Reader side.
void qbuf_clear(qbuf* qb);

// Copies `length` bytes into a new block and queues it. Returns 0, or -1 for bad arguments, no
// memory, or a bounded queue that stayed full for `timeout_ms` (the block is then freed).
int qbuf_write_timeout(qbuf* qb, const void* data, uint32_t length, int timeout_ms);
int qbuf_write(qbuf* qb, const void* data, uint32_t length);

// Returns the bytes placed in `buffer` (0 for QBUF_READ_DRAIN), or -1 for bad arguments.
// `end_test` and `end_flag` are used by QBUF_READ_UNTIL only (end_flag may be null).
int qbuf_read_imp(qbuf* qb, void* buffer, uint32_t size, qbuf_read_mode mode, int timeout_ms,
                  qbuf_end_test end_test, int* end_flag);
int qbuf_read_all(qbuf* qb, void* buffer, uint32_t size, int timeout_ms);
int qbuf_read(qbuf* qb, void* buffer, uint32_t size, int timeout_ms);
int qbuf_drain(qbuf* qb, const qbuf_sink* sink, int timeout_ms);
// Waits up to `timeout_ms` for a block without taking it: 1 with its length in `*length`, or 0
// when none came. Reader side.
int qbuf_peek_length(qbuf* qb, int timeout_ms, uint32_t* length);
int qbuf_read_until(qbuf* qb, void* buffer, uint32_t size, int timeout_ms, qbuf_end_test end_test,
                    int* end_flag);

// Blocks queued (the held-back one included). Any thread.
uint32_t qbuf_count(const qbuf* qb);

// ---------------------------------------------------------------------------------------------
// rbuf: one lock for writers and readers; any thread may write or read.

struct rbuf;

// `total_size` bytes cut into slots of a length prefix (2 bytes when block_size < 65536, else 4)
// plus `block_size` data bytes. Needs total_size > 2, block_size > 2 and at least 2 slots
// ("MaxQueueSize=%d <2 error" otherwise); returns nullptr when they are not met.
rbuf* rbuf_init(uint32_t total_size, uint32_t block_size);
void rbuf_exit(rbuf* rb);
void rbuf_clear(rbuf* rb);

// Stores one record of 1 to block_size bytes, dropping the oldest record when every slot is full.
// Returns 0, or -1 for bad arguments. Never waits.
int rbuf_write(rbuf* rb, const void* data, uint32_t length);

// Same modes and results as the qbuf reads.
int rbuf_read_imp(rbuf* rb, void* buffer, uint32_t size, qbuf_read_mode mode, int timeout_ms,
                  qbuf_end_test end_test, int* end_flag);
int rbuf_read_all(rbuf* rb, void* buffer, uint32_t size, int timeout_ms);
int rbuf_read(rbuf* rb, void* buffer, uint32_t size, int timeout_ms);
int rbuf_drain(rbuf* rb, const qbuf_sink* sink, int timeout_ms);
int rbuf_read_until(rbuf* rb, void* buffer, uint32_t size, int timeout_ms, qbuf_end_test end_test,
                    int* end_flag);

// Records held now; records dropped so far.
uint32_t rbuf_count(rbuf* rb);
uint64_t rbuf_get_drop_count(rbuf* rb);
