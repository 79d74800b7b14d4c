// Address lists and the users of the configuration file: parsing, matching, and the check that
// names the faulty section.
#include "libdvsrv/srv_access.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "lib/test_support/temp_dir.h"
#include "libdvsrv/dvsrv.h"

namespace {

struct match_case {
    const char* list;
    const char* peer;
    bool matches;
};
void PrintTo(const match_case& c, std::ostream* os) {
    *os << "[" << c.list << "] " << c.peer;
}

class NetListMatch : public testing::TestWithParam<match_case> {};

TEST_P(NetListMatch, AsExpected) {
    std::vector<srv_net> list;
    std::string err;
    ASSERT_TRUE(srv_net_list_parse(GetParam().list, &list, &err)) << err;
    EXPECT_EQ(srv_net_list_match(list, GetParam().peer), GetParam().matches);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NetListMatch,
    testing::Values(
        match_case{"127.0.0.1", "127.0.0.1", true}, match_case{"127.0.0.1", "127.0.0.2", false},
        match_case{"10.0.0.0/8", "10.200.3.4", true}, match_case{"10.0.0.0/8", "11.0.0.1", false},
        match_case{"192.168.1.128/25", "192.168.1.200", true},
        match_case{"192.168.1.128/25", "192.168.1.100", false},
        match_case{"0.0.0.0/0", "203.0.113.9", true},
        match_case{" 10.0.0.1 , 127.0.0.0/8 ", "127.5.5.5", true},
        // A dual-stack listener reports IPv4 clients mapped.
        match_case{"127.0.0.0/8", "::ffff:127.0.0.1", true}, match_case{"::1", "::1", true},
        match_case{"::1", "127.0.0.1", false}, match_case{"127.0.0.1", "::1", false},
        match_case{"fd00::/8", "fd12:3456::1", true}, match_case{"fd00::/8", "fe80::1", false},
        match_case{"2001:db8::/33", "2001:db8:7fff::1", true},
        match_case{"2001:db8::/33", "2001:db8:8000::1", false}, match_case{"", "127.0.0.1", false},
        match_case{"127.0.0.1", "not an address", false}));

TEST(NetListParse, BadEntriesAreNamed) {
    struct bad {
        const char* list;
        const char* named;
    };
    for (const bad& b :
         {bad{"10.0.0.0/33", "10.0.0.0/33"}, bad{"::/129", "::/129"},
          bad{"10.0.0.1,host.example", "host.example"}, bad{"10.0.0.0/", "10.0.0.0/"},
          bad{"10.0.0.0/8x", "10.0.0.0/8x"}, bad{"300.1.1.1", "300.1.1.1"}}) {
        SCOPED_TRACE(b.list);
        std::vector<srv_net> list;
        std::string err;
        EXPECT_FALSE(srv_net_list_parse(b.list, &list, &err));
        EXPECT_NE(err.find(std::string("\"") + b.named + "\""), std::string::npos) << err;
    }
}

// ---- users of the configuration file ----

class ConfUsers : public testing::Test {
  protected:
    std::string write_ini(const std::string& text) {
        const std::string path = dir_.path() + "/dvsd.ini";
        std::ofstream(path) << text;
        return path;
    }
    dvtest::TempDir dir_{"srv_access_test"};
};

TEST_F(ConfUsers, SectionsBecomeUsersInFileOrder) {
    mkdir((dir_.path() + "/alice").c_str(), 0755);
    const std::string path = write_ini(
        "[dvsd]\nroot=" + dir_.path() + "\nread_only=1\nhosts_deny=10.0.0.0/8\n" +
        "[user/alice]\npasswd=a\nroot=" + dir_.path() + "/alice\nhosts_allow=127.0.0.1, ::1\n" +
        "[user/bob]\npasswd={SHA}XJPfCIuJgPAM7vaW1IF9Rn9hMvM=\nread_only=1\n");
    dvsrv_conf conf;
    std::string err;
    ASSERT_EQ(dvsrv_conf_load(&conf, path.c_str(), &err), 0) << err;
    EXPECT_TRUE(conf.read_only);
    EXPECT_EQ(conf.hosts_deny, "10.0.0.0/8");
    ASSERT_EQ(conf.users.size(), 2u);
    EXPECT_EQ(conf.users[0].name, "alice");
    EXPECT_EQ(conf.users[0].root, dir_.path() + "/alice");
    EXPECT_EQ(conf.users[0].hosts_allow, "127.0.0.1, ::1");
    EXPECT_FALSE(conf.users[0].read_only);
    EXPECT_EQ(conf.users[1].name, "bob");
    EXPECT_TRUE(conf.users[1].read_only);
    EXPECT_TRUE(conf.users[1].root.empty());
    dvsrv* server = dvsrv_open(conf, &err);
    EXPECT_NE(server, nullptr) << err;
    dvsrv_close(server);
}

struct fault_case {
    const char* name;
    std::string section;  // the [user/...] section's body
    const char* said;     // what the error says after the section name
    bool at_load;         // found reading the file (else by the check at open)
};
void PrintTo(const fault_case& c, std::ostream* os) {
    *os << c.name;
}

class ConfUserFault : public ConfUsers, public testing::WithParamInterface<fault_case> {};

TEST_P(ConfUserFault, NamesTheSection) {
    const fault_case& c = GetParam();
    const std::string path = write_ini("[dvsd]\nroot=" + dir_.path() +
                                       "\n[user/good]\npasswd=g\n[user/bad]\n" + c.section);
    dvsrv_conf conf;
    std::string err;
    const int loaded = dvsrv_conf_load(&conf, path.c_str(), &err);
    if (c.at_load) {
        EXPECT_EQ(loaded, -1);
    } else {
        ASSERT_EQ(loaded, 0) << err;
        dvsrv* server = dvsrv_open(conf, &err);
        EXPECT_EQ(server, nullptr);
        dvsrv_close(server);
    }
    EXPECT_NE(err.find("[user/bad] "), std::string::npos) << err;
    EXPECT_NE(err.find(c.said), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConfUserFault,
    testing::Values(fault_case{"unknown key", "passwd=p\nhome=/x\n", "unknown key \"home\"", true},
                    fault_case{"bad flag", "passwd=p\nread_only=yes\n", "read_only=yes", true},
                    fault_case{"no password", "root=/\n", "passwd=", false},
                    fault_case{"short sha", "passwd={SHA}abc\n", "passwd=", false},
                    fault_case{"missing root", "passwd=p\nroot=/nonexistent/dir\n",
                               "root=/nonexistent/dir: not a directory", false},
                    fault_case{"root a file", "passwd=p\nroot=/etc/hostname\n", "not a directory",
                               false},
                    fault_case{"bad address", "passwd=p\nhosts_allow=10.0.0.1,nowhere\n",
                               "hosts_allow=: \"nowhere\"", false}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& ch : n) ch = ch == ' ' ? '_' : ch;
        return n;
    });

TEST_F(ConfUsers, ServerWideAddressListsAreChecked) {
    dvsrv_conf conf;
    conf.root = dir_.path();
    conf.anonymous = true;
    conf.hosts_allow = "127.0.0.1/40";
    std::string err;
    EXPECT_EQ(dvsrv_open(conf, &err), nullptr);
    EXPECT_NE(err.find("hosts_allow=: \"127.0.0.1/40\""), std::string::npos) << err;
}

}  // namespace
