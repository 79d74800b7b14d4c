// Inside the file server: the one way in for a request. Every request code, and every control
// code of requests 8 and 20, is a row of one table (srv_route.cc) naming its handler and what it
// needs; the connection looks a request up, checks the row's needs and runs its handler.
//
// Adding a request or a control is adding a row: its codes, its needs, its handler, and the key
// the server information offers for it when it goes beyond what every client may expect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "libdvsd/sd_frame.h"
#include "libdvsrv/dvsrv.h"

struct srv_context;
class srv_session;

// One request on its way to its handler.
struct srv_call final {
    srv_context& ctx;
    srv_session* session =
        nullptr;       // the connection serving it; null for a context served alone (tests)
    uint8_t code = 0;  // the request code
    std::span<const uint8_t> body = {};  // the request's fields
    // Of a control request (8 and 20): the object (0: the connection), the control code, its
    // data and (request 8) the room the client has for the output.
    uint64_t fd = 0;
    int32_t cmd = 0;
    std::span<const uint8_t> data = {};
    uint32_t olen = 0;
    sd_frame_msg& reply;
    // Set by a handler to end the connection (after the reply, for a request that has one):
    // why, for the closing log line.
    const char* end = nullptr;
};

// Fills call.reply (or, for a row that stands outside the context, answers by itself).
using srv_handler = void (*)(srv_call& call);

// What a row needs; a row without SRV_OPEN is refused before a login.
enum srv_need : uint32_t {
    SRV_OPEN = 1u << 0,  // allowed before a login (the login requests and quit)
    // Creates, changes or removes entries of the served tree (what a read-only serving refuses).
    SRV_CHANGES_TREE = 1u << 1,
    // Works on the connection itself (login, server contexts): not served on a context alone.
    SRV_CONNECTION = 1u << 2,
    // Stands outside the context's count of requests and its kept response: the handler answers
    // by itself, if at all (quit, re-attach).
    SRV_UNCOUNTED = 1u << 3,
};

struct srv_route final {
    uint8_t code;  // request code
    // For requests 8 and 20: the control code of the row; unused for other requests.
    int32_t cmd;
    uint32_t needs;  // srv_need bits
    srv_handler handler;
    // The key the server information offers as "KEY=[1]" when this row goes beyond what every
    // client may expect; null for none.
    const char* offer = nullptr;
    // A setting that sizes the offer: "KEY=[value]", and no offer while it is 0. Null: "[1]".
    uint32_t dvsrv_conf::*offer_value = nullptr;
};

// The row for request `code` with fields `body`. For requests 8 and 20 whose fields parse, the
// control's row, with call->fd, cmd, data and olen filled in. Never null: a code without a row of
// its own gets a row that answers it as unknown.
const srv_route* srv_route_find(srv_call* call);

// Runs the row's handler: a body that is not a well-formed table is refused alike for every
// request; running out of memory becomes a VERR_NO_MEMORY reply.
void srv_route_run(const srv_route& route, srv_call& call);

// The "KEY=[1]\n" (or "KEY=[value]\n") lines of the rows that offer something under `conf`, in
// table order.
std::string srv_route_offers(const dvsrv_conf& conf);

// A request served on a context alone, as a logged-in connection would serve it (tests and fuzz
// targets). Rows that need the connection answer VERR_NOT_SUPPORTED. The reply is always filled.
void srv_context_request(srv_context& ctx, uint8_t code, std::span<const uint8_t> body,
                         sd_frame_msg& reply);
// The same for control `cmd` of request `code` (8 with output, 20 without).
void srv_context_control(srv_context& ctx, uint8_t code, uint64_t fd, int32_t cmd,
                         std::span<const uint8_t> data, uint32_t olen, sd_frame_msg& reply);
