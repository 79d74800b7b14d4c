// Giving up root: run_as=USER[:GROUP], after the listeners, roots, key and certificate are open.
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "libdvsrv/srv_server.h"
#include "liblog/log2.h"

namespace {

bool parse_id(const std::string& text, uint32_t* id) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *id);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

// The "CapPrm" and "CapEff" sets of the calling thread, and whether both are empty.
bool capabilities_empty(std::string* seen) {
    std::ifstream status("/proc/thread-self/status");
    if (!status) status.open("/proc/self/status");
    int found = 0;
    bool empty = true;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("CapPrm:", 0) != 0 && line.rfind("CapEff:", 0) != 0) continue;
        ++found;
        *seen += line + " ";
        if (line.find_first_not_of("0", line.find_first_not_of(" \t", 7)) != std::string::npos) {
            empty = false;
        }
    }
    return found == 2 && empty;
}

}  // namespace

int srv_resolve_run_as(const std::string& run_as, uint32_t* uid, uint32_t* gid, std::string* err) {
    const size_t colon = run_as.find(':');
    const std::string user = run_as.substr(0, colon);
    const std::string group = colon == std::string::npos ? "" : run_as.substr(colon + 1);
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* found_user = nullptr;
    bool have_group = false;
    if (getpwnam_r(user.c_str(), &pw, buffer.data(), buffer.size(), &found_user) == 0 &&
        found_user != nullptr) {
        *uid = pw.pw_uid;
        *gid = pw.pw_gid;
        have_group = true;
    } else if (!parse_id(user, uid)) {
        *err = "run_as=" + run_as + ": no user " + user;
        return -1;
    }
    if (!group.empty()) {
        ::group gr{};
        ::group* found_group = nullptr;
        if (getgrnam_r(group.c_str(), &gr, buffer.data(), buffer.size(), &found_group) == 0 &&
            found_group != nullptr) {
            *gid = gr.gr_gid;
        } else if (!parse_id(group, gid)) {
            *err = "run_as=" + run_as + ": no group " + group;
            return -1;
        }
        have_group = true;
    }
    if (!have_group) {
        *err = "run_as=" + run_as + ": a numeric user needs a group (run_as=UID:GID)";
        return -1;
    }
    if (*uid == 0 || *gid == 0) {
        *err = "run_as=" + run_as + ": must name a user and group other than root";
        return -1;
    }
    return 0;
}

int dvsrv_drop_privileges(dvsrv* server, std::string* err) {
    const dvsrv_conf& conf = server->conf;
    if (conf.run_as.empty()) {
        if (geteuid() == 0) {
            SRV_LOG(LOG_WARN, "running as root without run_as=: dvsd keeps root\n");
        }
        return 0;
    }
    if (geteuid() != 0) {
        *err = "run_as=" + conf.run_as + ": dvsd must be started as root to change its user";
        return -1;
    }
    const uid_t uid = server->run_as_uid;
    const gid_t gid = server->run_as_gid;
    // No capability survives the change of user, and none may be regained.
    if (prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0) != 0 || setgroups(0, nullptr) != 0 ||
        setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0) {
        *err = "run_as=" + conf.run_as + ": " + strerror(errno);
        return -1;
    }
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    std::string caps;
    const bool dropped = getresuid(&ruid, &euid, &suid) == 0 && ruid == uid && euid == uid &&
                         suid == uid && getresgid(&rgid, &egid, &sgid) == 0 && rgid == gid &&
                         egid == gid && sgid == gid && getgroups(0, nullptr) == 0 &&
                         capabilities_empty(&caps) && setuid(0) != 0 && setgid(0) != 0;
    if (!dropped) {
        *err = "run_as=" + conf.run_as + ": root could still be regained after the change (" +
               caps + "): refusing to go on";
        return -1;
    }
    SRV_LOG(LOG_INFO, "running as uid=%u gid=%u (run_as=%s): owners clients send are not applied\n",
            static_cast<unsigned>(uid), static_cast<unsigned>(gid), conf.run_as.c_str());
    return 0;
}
