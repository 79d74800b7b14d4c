// The metrics' own pieces: the metrics= address forms, and a reply counted by its status.
#include "libdvsrv/srv_metrics.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "libdvsd/sd_wire.h"
#include "libdvsrv/srv_session.h"

namespace {

struct address_case {
    const char* text;
    bool ok;
    const char* host;  // when ok
    uint32_t port;
};
void PrintTo(const address_case& c, std::ostream* os) {
    *os << "\"" << c.text << "\"";
}

class MetricsAddress : public testing::TestWithParam<address_case> {};

TEST_P(MetricsAddress, ParsesOrRefuses) {
    std::string host = "unchanged", err;
    uint32_t port = 12345;
    const address_case& c = GetParam();
    ASSERT_EQ(c.ok, srv_metrics_address_parse(c.text, &host, &port, &err)) << err;
    if (c.ok) {
        EXPECT_EQ(c.host, host);
        EXPECT_EQ(c.port, port);
    } else {
        EXPECT_EQ(0u, err.rfind(std::string("metrics=") + c.text + ": ", 0)) << err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, MetricsAddress,
    testing::Values(address_case{"127.0.0.1:9688", true, "127.0.0.1", 9688},
                    address_case{"0.0.0.0:0", true, "0.0.0.0", 0},
                    address_case{"[::1]:65535", true, "::1", 65535},
                    address_case{"localhost:80", true, "localhost", 80},
                    address_case{"", false, "", 0}, address_case{"9688", false, "", 0},
                    address_case{":9688", false, "", 0}, address_case{"host:", false, "", 0},
                    address_case{"host:65536", false, "", 0}, address_case{"host:-1", false, "", 0},
                    address_case{"host:9x", false, "", 0}, address_case{"::1:9688", false, "", 0},
                    address_case{"[::1:9688", false, "", 0}, address_case{"[]:9688", false, "", 0},
                    address_case{"a b:9688", false, "", 0},
                    address_case{"user@host:9688", false, "", 0}));

TEST(MetricsReplies, CountedByTheirStatusField) {
    srv_metrics m;
    sd_frame_msg reply;
    ASSERT_TRUE(srv_reply_begin(reply, 0, ""));
    m.count_reply(3, reply);
    m.count_reply(3, reply);
    ASSERT_TRUE(srv_reply_error(reply, VERR_ACCESS_DENIED));
    m.count_reply(3, reply);
    m.count_reply(255, reply);
    sd_frame_msg never_built;  // a reply that could not be made is a failure too
    m.count_reply(7, never_built);
    EXPECT_EQ(2u, m.requests_ok[3].load());
    EXPECT_EQ(1u, m.requests_failed[3].load());
    EXPECT_EQ(1u, m.requests_failed[255].load());
    EXPECT_EQ(1u, m.requests_failed[7].load());
    EXPECT_EQ(0u, m.requests_ok[7].load());
}

}  // namespace
