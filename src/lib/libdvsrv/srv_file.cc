// Placeholder until the file requests are served.
#include "libdvsrv/srv_session.h"

struct srv_files {};
void srv_files_deleter::operator()(srv_files* files) const {
    delete files;
}
srv_files* srv_files_new() {
    return new srv_files;
}
bool srv_file_handles(uint8_t) {
    return false;
}
void srv_file_request(srv_context&, uint8_t, std::span<const uint8_t>, sd_frame_msg& reply) {
    srv_reply_error(reply, VERR_NOT_SUPPORTED);
}
bool srv_file_control(srv_context&, uint64_t, int32_t, std::span<const uint8_t>, sd_frame_msg&) {
    return false;
}
bool srv_file_control_output(srv_context&, uint64_t, int32_t, std::span<const uint8_t>, uint32_t,
                             sd_frame_msg&) {
    return false;
}
