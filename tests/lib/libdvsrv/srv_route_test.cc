// The request table: codes without a handler of their own, malformed requests and the rows that
// need a connection are answered as before the table, status and text alike.
#include "libdvsrv/srv_route.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "lib/test_support/temp_dir.h"
#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/dvsrv.h"
#include "libdvsrv/srv_session.h"
#include "libpal/os_root.h"
#include "libpal/verr.h"

namespace {

struct answer {
    int32_t error = 0;
    std::string text;
};

answer parse(const sd_frame_msg& reply) {
    static constexpr blobmsg_policy kHead[] = {{SDF_ERRNO, BLOBMSG_TYPE_INT32},
                                               {SDF_ERRNO_STR, BLOBMSG_TYPE_STRING}};
    answer a;
    const auto root = reply.root();
    const blob_attr* tb[2] = {};
    EXPECT_GE(root.size(), BLOB_ATTR_HEADER_SIZE);
    EXPECT_EQ(blobmsg_parse(kHead, 2, tb, root.data() + BLOB_ATTR_HEADER_SIZE,
                            root.size() - BLOB_ATTR_HEADER_SIZE),
              0);
    if (tb[0] == nullptr || tb[1] == nullptr) {
        ADD_FAILURE() << "reply without errno and errno_str";
        return a;
    }
    a.error = blobmsg_get_int32(tb[0]);
    a.text = blobmsg_get_string(tb[1]);
    return a;
}

// A control, or a request with empty fields when `cmd` is unset.
struct route_case {
    const char* name;
    uint8_t code;
    bool control;
    int32_t cmd;
    int32_t error;
    const char* text;  // null: the status's own text
};

void PrintTo(const route_case& c, std::ostream* os) {
    *os << c.name << " (request " << int(c.code);
    if (c.control) *os << ", control " << c.cmd;
    *os << ")";
}

class SrvRouteBase : public testing::Test {
  protected:
    void SetUp() override {
        root_.reset(os_root_open(dir_.path().c_str(), OS_ROOT_IN_ROOT));
        ASSERT_NE(root_, nullptr);
        ctx_ = srv_context_new(&conf_, root_.get(), "");
        ASSERT_NE(ctx_, nullptr);
    }

    answer request(uint8_t code, std::span<const uint8_t> body) {
        sd_frame_msg reply;
        srv_context_request(*ctx_, code, body, reply);
        return parse(reply);
    }
    answer control(uint8_t code, int32_t cmd) {
        static const uint8_t kText[] = "0";
        sd_frame_msg reply;
        srv_context_control(*ctx_, code, 0, cmd, kText, 64, reply);
        return parse(reply);
    }

    dvtest::TempDir dir_{"srv_route_test"};
    std::unique_ptr<os_root, decltype(&os_root_close)> root_{nullptr, os_root_close};
    dvsrv_conf conf_;
    std::shared_ptr<srv_context> ctx_;
};

class SrvRoute : public SrvRouteBase, public testing::WithParamInterface<route_case> {};

TEST_P(SrvRoute, AnswersAsBefore) {
    const route_case& c = GetParam();
    const answer a = c.control ? control(c.code, c.cmd) : request(c.code, {});
    EXPECT_EQ(a.error, c.error);
    EXPECT_EQ(a.text, c.text != nullptr ? c.text : verr2str(c.error));
}

INSTANTIATE_TEST_SUITE_P(
    Table, SrvRoute,
    testing::Values(
        route_case{"no row", 17, false, 0, VERR_NOT_IMPLEMENTED, "Unknown request 17"},
        route_case{"no row, top code", 255, false, 0, VERR_NOT_IMPLEMENTED, "Unknown request 255"},
        route_case{"not offered", SD_REQ_RANGE, false, 0, VERR_NOT_SUPPORTED, nullptr},
        route_case{"not offered", SD_REQ_WOPEN, false, 0, VERR_NOT_SUPPORTED, nullptr},
        route_case{"not offered", SD_REQ_RANGE_LEN, false, 0, VERR_NOT_SUPPORTED, nullptr},
        route_case{"control without a code", SD_REQ_IOCTL, false, 0, VERR_NET_PROTOCOL_ERROR,
                   "malformed control request"},
        route_case{"control without a code", SD_REQ_FILE_IOCTL, false, 0, VERR_NET_PROTOCOL_ERROR,
                   "malformed control request"},
        route_case{"needs the connection", SD_REQ_LOGIN, false, 0, VERR_NOT_SUPPORTED, nullptr},
        route_case{"without output: no row", SD_REQ_FILE_IOCTL, true, 10050, VERR_NOT_SUPPORTED,
                   "Not supported."},
        route_case{"without output: a batch code", SD_REQ_FILE_IOCTL, true, SD_CTL_RDIR_OPEN,
                   VERR_NOT_SUPPORTED, "Not supported."},
        route_case{"without output: time-out", SD_REQ_FILE_IOCTL, true, SD_CTL_FD_WRITE_TIMEOUT, 0,
                   ""},
        route_case{"with output: settings", SD_REQ_IOCTL, true, SD_CTL_SET_CONF, VERR_NOT_SUPPORTED,
                   "Not supported."},
        route_case{"with output: host query", SD_REQ_IOCTL, true, SD_CTL_FD_READ_TIMEOUT,
                   VERR_NOT_SUPPORTED, "Not supported."},
        route_case{"with output: host command", SD_REQ_IOCTL, true, SD_CTL_HASH_GET2,
                   VERR_NOT_SUPPORTED, "Not supported."},
        route_case{"with output: output text", SD_REQ_IOCTL, true, SD_CTL_OUT_10004,
                   VERR_NOT_SUPPORTED, "Not supported."},
        route_case{"with output: counters", SD_REQ_IOCTL, true, SD_CTL_PACK, VERR_NOT_IMPLEMENTED,
                   "Unknown control 10001"},
        route_case{"with output: below the contexts", SD_REQ_IOCTL, true, 100, VERR_NOT_IMPLEMENTED,
                   "Unknown control 100"},
        route_case{"with output: between the batch codes", SD_REQ_IOCTL, true, 10137,
                   VERR_NOT_IMPLEMENTED, "Unknown control 10137"},
        route_case{"with output: context", SD_REQ_IOCTL, true, SD_CTL_CTX_GET_ADDR,
                   VERR_NOT_SUPPORTED, nullptr}));

TEST_F(SrvRouteBase, MalformedFieldsAreRefusedAlikeForEveryRequest) {
    // A header announcing more than there is.
    static const uint8_t kBroken[] = {0x84, 0x00, 0x00, 0x40, 0x00, 0x01, 0x61, 0x00};
    for (uint8_t code :
         std::vector<uint8_t>{SD_REQ_STAT, SD_REQ_OPEN, SD_REQ_IOCTL, SD_REQ_FILE_IOCTL, 17}) {
        SCOPED_TRACE(int(code));
        const answer a = request(code, kBroken);
        EXPECT_EQ(a.error, VERR_NET_PROTOCOL_ERROR);
        EXPECT_EQ(a.text, "malformed request");
    }
}

TEST(SrvRouteOffers, InformationOffersThePipeSizedByItsSettingAndTheListerFlag) {
    dvsrv_conf conf;
    EXPECT_EQ(srv_route_offers(conf), "pipe=[64]\nstale_temps=[1]\n");
    const std::string info = dvsrv_info_text(conf);
    ASSERT_GE(info.size(), srv_route_offers(conf).size());
    EXPECT_EQ(info.substr(info.size() - srv_route_offers(conf).size()), srv_route_offers(conf));
    conf.pipe = 7;
    EXPECT_EQ(srv_route_offers(conf), "pipe=[7]\nstale_temps=[1]\n");
    // pipe=0: not offered at all, so that clients keep to one exchange at a time.
    conf.pipe = 0;
    EXPECT_EQ(srv_route_offers(conf), "stale_temps=[1]\n");
}

}  // namespace
