// Placeholder until the lister and worker are served.
#include "libdvsrv/srv_session.h"

struct srv_batch {};
void srv_batch_deleter::operator()(srv_batch* batch) const {
    delete batch;
}
srv_batch* srv_batch_new() {
    return new srv_batch;
}
bool srv_batch_control(srv_context&, int32_t, std::span<const uint8_t>, uint32_t, sd_frame_msg&) {
    return false;
}
void srv_batch_interrupt(srv_context&) {}
