// The socket event loop of a serving program: one per process, on a thread named "sock_listen".
//
// Sockets are registered with a handler. Listening sockets accept every pending connection and
// hand each to their handler (on the loop thread) or to a new thread running their work procedure;
// datagram sockets call their handler when readable; connected sockets call their handler on
// every event and are closed when it returns a negative value or when they stay idle longer than
// the time-outs of sock_env_set. Handlers run on the loop thread one at a time and must not
// block for long: the loop serves every socket in turn.
//
// Every function may be called from any thread, the loop's handlers included. A registration
// owns its socket: the socket is closed when the registration ends (a failed registration closes
// it too). Contexts stay the caller's and must outlive the registration: until its handler returned
// a negative value, the sweep or sock_del_event closed it, or sock_env_exit returned 0.
#pragma once

#include <cstdint>

#include "libnet/sock_cli.h"

// A registration; 0 means none. Ids are never reused within a process.
using sock_event_id = uint64_t;

// Registration types.
enum sock_event_type : int {
    SOCK_EVENT_DGRAM = 1,
    SOCK_EVENT_LISTEN = 2,
    SOCK_EVENT_CONN = 3,
};

// Called on the loop thread with the registration's socket (for a listening socket: the newly
// accepted one, which the handler then owns), the poll events that woke it (POLLIN, POLLHUP, ...;
// 0 for an accepted socket) and the registration's context. For a connected socket a negative
// result ends the registration; the other types ignore the result.
using sock_event_handler = int (*)(sock_handle sock, uint32_t events, void* context);

// Runs on its own thread with an accepted socket, which it owns and must close.
using sock_work_proc = void (*)(sock_handle sock, void* context);

// Poller parameters.
struct sock_env_param {
    int max_events = 64;  // events taken from the poller per pass (at least 1)
};

// Idle time-outs and the periodic procedure.
struct sock_env_settings {
    // A connected socket that has had no event since it was registered is closed after this
    // long; 0 never closes it.
    int32_t first_idle_ms = 0;
    // One that has had events is closed when the last of them is this long ago; 0 never.
    int32_t idle_ms = 0;
    // Called on the loop thread after every pass (at least once a second) when set.
    void (*periodic)(void* context) = nullptr;
    void* periodic_context = nullptr;
};

// Creates the poller and starts the loop thread. `param` may be null (defaults). A second call
// while the loop exists does nothing. 0, or -1 after logging why.
int sock_env_init(const sock_env_param* param);

// Replaces the settings; they apply from the loop's next pass. 0, or -1 when there is no loop.
int sock_env_set(const sock_env_settings* settings);

// Stops the loop thread and waits up to one second for it. 0 when it has ended (or there is no
// loop); -1 when a handler still holds it (the thread ends once the handler returns).
// Registrations stay until sock_env_exit.
int sock_env_stop();

// Stops the loop and releases it with every registration, closing their sockets. Work threads
// already started go on. 0, or -1 when the thread did not end in time: it is then released once
// its handler returns. A later sock_env_init starts a new loop.
int sock_env_exit();

// Registers a connected socket for `poll_flags` (0: POLLIN), with its last activity now and not
// active yet. The registration or 0 (the socket is then closed).
sock_event_id sock_add_event(sock_handle sock, uint32_t poll_flags, sock_event_handler handler,
                             void* context);

// Registers a listening socket named `name` (for the work threads, "%s_work"). Each accepted
// connection (non-blocking, close-on-exec) goes to `handler` when it is set, else to a new thread
// running `work`. The registration or 0 (the socket is then closed).
sock_event_id sock_add_listen(sock_handle sock, const char* name, sock_event_handler handler,
                              sock_work_proc work, void* context);

// Registers a datagram socket whose handler is called when it is readable. The registration or
// 0 (the socket is then closed).
sock_event_id sock_add_dgram(sock_handle sock, sock_event_handler handler, void* context);

// Ends a registration and closes its socket, at the latest before the loop's next pass; a
// handler may end its own. 0, or -1 when it has already ended.
int sock_del_event(sock_event_id id);
