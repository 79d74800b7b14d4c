// Logins: the password login, the key login's challenge and answer, and what a login changes
// for the connection and its context.
#include <sys/random.h>

#include <cstring>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/srv_conn.h"
#include "libdvsrv/srv_handlers.h"
#include "liblog/log2.h"
#include "libpwd/libpwd.h"

namespace {

constexpr char kWrongLogin[] = "Wrong user or password";

std::string address_refusal(const char* peer) {
    return std::string("Login from ") + peer + " not allowed";
}

}  // namespace

void srv_session::count_login_failure(int checked) {
    // 2: the address is locked and nothing was checked; 1: the credentials were wrong.
    if (checked == 2) {
        server_->metrics.refuse(srv_refusal::locked);
    } else {
        server_->metrics.logins_failed.fetch_add(1, std::memory_order_relaxed);
    }
}

bool srv_session::address_refused(verr* error, std::string* text) {
    if (server_->address_allowed(peer_)) return false;
    SRV_LOG(LOG_WARN, "ip=[%s] login refused: address not allowed\n", peer_);
    server_->metrics.refuse(srv_refusal::hosts);
    logged_in_ = false;
    *error = VERR_ACCESS_DENIED;
    *text = address_refusal(peer_);
    return true;
}

void srv_session::login(std::span<const uint8_t> body, sd_frame_msg& reply) {
    static constexpr blobmsg_policy kPolicy[] = {{SDF_USER, BLOBMSG_TYPE_STRING},
                                                 {SDF_PASSWD, BLOBMSG_TYPE_STRING}};
    const blob_attr* tb[2] = {};
    verr error = 0;
    std::string text;
    if (blobmsg_parse(kPolicy, 2, tb, body.data(), body.size()) != 0) {
        error = VERR_NET_PROTOCOL_ERROR;
        text = "malformed login request";
    } else if (address_refused(&error, &text)) {
        // Refused before any password is looked at.
    } else {
        const char* user = tb[0] ? blobmsg_get_string(tb[0]) : "";
        const char* pwd = tb[1] ? blobmsg_get_string(tb[1]) : "";
        if (strcmp(user, ":") == 0 && pwd[0] == '\0') {
            // The client's probe: it asks whether credentials are needed, so it is no failure.
            if (server_->conf.anonymous) {
                if (logged_in_as("", &error, &text)) {
                    logged_user_ = "(anonymous)";
                    SRV_LOG(LOG_DBG, "ip=[%s] anonymous login_ok\n", peer_);
                }
            } else {
                error = 1;
                text = "Login required";
            }
        } else if (server_->conf.key_login) {
            server_->metrics.logins_failed.fetch_add(1, std::memory_order_relaxed);
            logged_in_ = false;
            error = VERR_ACCESS_DENIED;
            text = "Key login required";
        } else {
            char why[512] = "";
            const int checked = libpwd_check_user_pwd(peer_, user, pwd, why, sizeof(why));
            if (checked == 0) {
                logged_in_as(user, &error, &text);
            } else {
                count_login_failure(checked);
                // A failed attempt on a logged-in connection ends that login too.
                logged_in_ = false;
                error = VERR_ACCESS_DENIED;
                text = why[0] != '\0' ? why : kWrongLogin;
            }
        }
    }
    srv_reply_begin(reply, error, text.c_str());
    reply.add_int32(SDF_OS_TYPE, SD_OS_TYPE_LINUX);
}

void srv_session::key_challenge(std::span<const uint8_t> body, sd_frame_msg& reply) {
    static constexpr blobmsg_policy kPolicy[] = {{SDF_USER, BLOBMSG_TYPE_STRING},
                                                 {SDF_VER, BLOBMSG_TYPE_INT32}};
    const blob_attr* tb[2] = {};
    key_pending_ = false;
    key_expected_.clear();
    if (blobmsg_parse(kPolicy, 2, tb, body.data(), body.size()) != 0 || tb[0] == nullptr) {
        srv_reply_error(reply, VERR_NET_PROTOCOL_ERROR, "malformed login request");
        return;
    }
    verr refused = 0;
    std::string why_refused;
    if (address_refused(&refused, &why_refused)) {
        srv_reply_error(reply, refused, why_refused.c_str());
        return;
    }
    const char* user = blobmsg_get_string(tb[0]);
    const int version = tb[1] ? blobmsg_get_int32(tb[1]) : 1;
    char cert[LIBPWD_CERT_SIZE] = "";
    char key[LIBPWD_KEY_SIZE] = "";
    char why[512] = "";
    int version_out = version;
    int rc = libpwd_user_get_cert(peer_, version, &version_out, user, cert, sizeof(cert), key,
                                  sizeof(key), why, sizeof(why));
    if (rc == 2) {
        count_login_failure(rc);
        srv_reply_error(reply, VERR_ACCESS_DENIED, why);
        return;
    }
    if (rc != 0) {
        // An unknown user gets a challenge like anyone else and fails at the answer, so that the
        // reply does not tell which users exist.
        uint8_t random[LIBPWD_CERT_BYTES];
        if (getrandom(random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random))) {
            srv_reply_error(reply, VERR_GENERAL_FAILURE, "no random data");
            return;
        }
        static constexpr char kHex[] = "0123456789abcdef";
        for (size_t i = 0; i < sizeof(random); ++i) {
            cert[2 * i] = kHex[random[i] >> 4];
            cert[2 * i + 1] = kHex[random[i] & 15];
        }
        cert[2 * sizeof(random)] = '\0';
        key[0] = '\0';
    }
    key_pending_ = true;
    key_expected_ = key;
    key_user_ = user;
    srv_reply_begin(reply, 0, "");
    reply.add_int32(SDF_VER, static_cast<uint32_t>(version_out));
    reply.add_string(SDF_CERT, cert);
}

void srv_session::key_answer(std::span<const uint8_t> body, sd_frame_msg& reply) {
    static constexpr blobmsg_policy kPolicy[] = {{SDF_LKEY, BLOBMSG_TYPE_STRING}};
    const blob_attr* tb[1] = {};
    const bool pending = key_pending_;
    const std::string expected = std::move(key_expected_);
    key_pending_ = false;  // a challenge answers one attempt only
    key_expected_.clear();
    logged_in_ = false;
    if (blobmsg_parse(kPolicy, 1, tb, body.data(), body.size()) != 0 || tb[0] == nullptr) {
        srv_reply_error(reply, VERR_NET_PROTOCOL_ERROR, "malformed login request");
        return;
    }
    if (!pending || expected.empty()) {
        count_login_failure(1);
        srv_reply_error(reply, VERR_ACCESS_DENIED, kWrongLogin);
        return;
    }
    char why[512] = "";
    if (const int checked =
            libpwd_check_key(peer_, blobmsg_get_string(tb[0]), expected.c_str(), why, sizeof(why));
        checked != 0) {
        count_login_failure(checked);
        srv_reply_error(reply, VERR_ACCESS_DENIED, why[0] != '\0' ? why : kWrongLogin);
        return;
    }
    verr error = 0;
    std::string text;
    if (!logged_in_as(key_user_, &error, &text)) {
        srv_reply_error(reply, error, text.c_str());
        return;
    }
    srv_reply_begin(reply, 0, "");
}

bool srv_session::logged_in_as(const std::string& user, verr* error, std::string* text) {
    const srv_account* account = nullptr;
    if (!user.empty()) {
        auto it = server_->accounts.find(user);
        if (it != server_->accounts.end()) account = &it->second;
    }
    if (account != nullptr && !account->allow.empty() &&
        !srv_net_list_match(account->allow, peer_)) {
        SRV_LOG(LOG_WARN, "ip=[%s] user=[%s] login refused: address not allowed\n", peer_,
                user.c_str());
        server_->metrics.refuse(srv_refusal::user_hosts);
        logged_in_ = false;
        *error = VERR_ACCESS_DENIED;
        *text = address_refusal(peer_);
        return false;
    }
    if (watch_ != nullptr && !server_->admit(watch_)) {
        SRV_LOG(LOG_WARN, "ip=[%s] refused: %u connections\n", peer_,
                server_->conf.max_connections);
        server_->metrics.refuse(srv_refusal::max_connections);
        logged_in_ = false;
        refused_ = true;
        *error = VERR_TRY_AGAIN;
        *text = "Too many connections, try again later";
        return false;
    }
    logged_in_ = true;
    server_->metrics.logins_ok.fetch_add(1, std::memory_order_relaxed);
    user_ = user;
    logged_user_ = user;
    ctx_->read_only = server_->conf.read_only || (account != nullptr && account->read_only);
    const os_root* root = account != nullptr ? account->root : server_->root.get();
    if (ctx_->user == user && ctx_->root == root) return true;
    // What the old user opened is not the new one's to use.
    srv_files* files = srv_files_new();
    if (files == nullptr) {
        logged_in_ = false;
        *error = VERR_NO_MEMORY;
        *text = verr2str(VERR_NO_MEMORY);
        return false;
    }
    ctx_->files.reset(files);
    // The lister and the worker were opened under the old user's rights.
    srv_batch_close(*ctx_);
    // A context with an address can be attached by the user it was made for only. When someone
    // else logs in on its connection, its address is withdrawn: the context carries on for this
    // connection alone and no other connection of the new user (or of the old one) can take it.
    if (ctx_->address != 0) {
        SRV_LOG(LOG_INFO, "ip=[%s] another user logged in: context address withdrawn\n", peer_);
        server_->forget_context(ctx_->address);
        ctx_->address = 0;
        ctx_->persistent = false;
    }
    ctx_->user = user;
    ctx_->root = root;
    ctx_->fd_caps = server_->fd_caps(user);
    // Kept responses count against the user they were kept for: the new one starts with none.
    srv_drop_kept(*ctx_);
    ctx_->kept_caps = server_->kept_caps(user);
    return true;
}

void srv_req_login(srv_call& call) {
    call.session->login(call.body, call.reply);
}

void srv_req_key_login1(srv_call& call) {
    call.session->key_challenge(call.body, call.reply);
}

void srv_req_key_login2(srv_call& call) {
    call.session->key_answer(call.body, call.reply);
}
