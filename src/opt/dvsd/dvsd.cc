// dvsd: serves a directory tree to dvcp over the file-server protocol.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "libdvsrv/dvsrv.h"
#include "liblog/log2.h"
#include "liblogsink/log_init.h"
#include "libpal/app.h"
#include "libpal/args.h"

namespace {

void print_usage(FILE* out) {
    fprintf(out,
            "usage: dvsd root=DIR [listen=ADDRESS] [port=N|off] (user=NAME passwd=PASSWORD | "
            "anonymous=1)\n"
            "            [level=LEVEL] [conf=FILE.ini] [max_connections=N] [login_timeout=S]\n"
            "            [idle_timeout=S] [read_timeout=S] [max_login_connections=N]\n"
            "            [login_fail_count=N] [login_lock_minutes=M]\n"
            "            [login=pwd|key] [keep_setid=0|1] [max_contexts=N] [context_timeout=S]\n"
            "            [pipe=N]\n"
            "            [ssl_port=N ssl_cert=FILE ssl_key=FILE] [read_only=0|1]\n"
            "            [hosts_allow=LIST] [hosts_deny=LIST] [run_as=USER[:GROUP]]\n"
            "            [metrics=ADDRESS:PORT] [check=1]\n"
            "       dvsd -v\n"
            "Serves DIR. port=0 takes any free port; each listener is announced on standard\n"
            "output as \"listening dvp://ADDRESS:PORT\". ssl_port=N adds a TLS listener\n"
            "(dvps://) on the same address with the certificate file ssl_cert (PEM: the\n"
            "server's certificate first, then its CA chain) and the unencrypted key file\n"
            "ssl_key; it is announced as \"listening dvps://ADDRESS:PORT\" after the plain\n"
            "one; port=off leaves the plain listener out (TLS only). conf=FILE reads the same\n"
            "keys from the [dvsd] section of an INI file and the log settings from its [log]\n"
            "section, as dvcp.ini does; keys given later override earlier ones. Each\n"
            "[user/NAME] section of that file adds a user with passwd= (plain or {SHA}),\n"
            "root= (default: root=), read_only=1 and hosts_allow=. read_only=1 refuses every\n"
            "change to the tree (\"write-protect\"). hosts_allow= and hosts_deny= take\n"
            "comma-separated addresses and CIDR ranges, IPv4 and IPv6. run_as=USER[:GROUP]\n"
            "makes a dvsd started as root change to that user once its listeners, roots, key\n"
            "and certificate are open (owners clients send are then not applied); a root\n"
            "dvsd without it warns that it keeps root. metrics=ADDRESS:PORT serves\n"
            "counters and gauges in the Prometheus text format over plain HTTP at\n"
            "/metrics on that address ([ADDRESS] for IPv6; port 0 takes any free port,\n"
            "announced as \"listening http://ADDRESS:PORT/metrics\"). check=1 validates\n"
            "the configuration (roots, credentials, users, listeners, metrics address,\n"
            "certificate and key) and exits: 0 when it is good. SIGHUP reopens the log\n"
            "file, so that it can be rotated.\n");
}

int usage_error(const std::string& why) {
    fprintf(stderr, "dvsd: %s\n", why.c_str());
    print_usage(stderr);
    return 1;
}

// -1 to serve, otherwise the exit status.
int parse_args(int argc, char** argv, dvsrv_conf* conf, std::string* log_conf, bool* check) {
    if (argc == 2 && strcmp(argv[1], "-v") == 0) {
        printf("%s\n", DVSRV_VERSION);
        fflush(stdout);
        return 0;
    }
    std::string_view bad;
    const int walked = args_walk(
        argc, argv, 0,
        [&](std::string_view key, std::string_view value) {
            std::string err;
            if (key == "check") {
                if (value != "0" && value != "1") return usage_error("check= must be 0 or 1");
                *check = value == "1";
            } else if (key == "conf") {
                if (dvsrv_conf_load(conf, std::string(value).c_str(), &err) != 0) {
                    return usage_error(err);
                }
                *log_conf = value;
            } else if (dvsrv_conf_set(conf, key, value, &err) != 0) {
                return usage_error(err);
            }
            return ARGS_DONE;
        },
        &bad);
    if (walked == ARGS_HELP) {
        print_usage(stdout);
        fflush(stdout);
        return 0;
    }
    if (walked == ARGS_MALFORMED) {
        return usage_error("bad argument \"" + std::string(bad) + "\": expected key=value");
    }
    if (walked != ARGS_DONE) return walked;
    if (conf->root.empty()) return usage_error("root= is required");
    if (conf->user.empty() && conf->users.empty() && !conf->anonymous) {
        return usage_error("user= and passwd=, a [user/NAME] section, or anonymous=1, is required");
    }
    return -1;
}

// check=1: everything dvsrv_open refuses to start with, without listening (a running server may
// hold the port).
int check_only(const dvsrv_conf& conf) {
    std::string err;
    dvsrv* server = dvsrv_open(conf, &err);
    if (server == nullptr) {
        fprintf(stderr, "dvsd: %s\n", err.c_str());
        return 1;
    }
    dvsrv_close(server);
    printf("dvsd: configuration ok\n");
    fflush(stdout);
    return 0;
}

// Silent connections wait in the accept loop holding only a descriptor: let the server have as
// many as the system allows it.
void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, rlim_t{1} << 20);
    setrlimit(RLIMIT_NOFILE, &limit);
}

int serve(const dvsrv_conf& conf, const sigset_t& stop_signals) {
    std::string err;
    dvsrv* server = dvsrv_open(conf, &err);
    if (server == nullptr) {
        fprintf(stderr, "dvsd: %s\n", err.c_str());
        return 1;
    }
    if (dvsrv_listen(server, &err) != 0) {
        fprintf(stderr, "dvsd: %s\n", err.c_str());
        dvsrv_close(server);
        return 1;
    }
    if (dvsrv_drop_privileges(server, &err) != 0) {
        fprintf(stderr, "dvsd: %s\n", err.c_str());
        dvsrv_close(server);
        return 1;
    }
    std::string urls;
    for (const std::string& url : dvsrv_listen_urls(server)) {
        printf("listening %s\n", url.c_str());
        urls += (urls.empty() ? "" : " ") + url;
    }
    const std::string metrics = dvsrv_metrics_url(server);
    if (!metrics.empty()) printf("listening %s\n", metrics.c_str());
    fflush(stdout);
    DV_LOG("dvsd", LOG_NOTI | LOG_NETREC, "dvsd %s started: %s%s%s\n", DVSRV_VERSION, urls.c_str(),
           metrics.empty() ? "" : " metrics ", metrics.c_str());

    // Signals arrive on this one thread, so that stopping is ordinary code, not a handler.
    std::thread waiter([&] {
        pthread_setname_np(pthread_self(), "dvsd_signal");
        int signum = 0;
        while (sigwait(&stop_signals, &signum) == 0) {
            if (signum == SIGHUP) {
                // Log rotation: the old file has been moved away; carry on in a new one.
                if (log2_ioctl(nullptr, 25, nullptr, 0) != 0) {
                    fprintf(stderr, "dvsd: SIGHUP: the log file could not be reopened\n");
                } else {
                    DV_LOG("dvsd", LOG_INFO, "SIGHUP: log file reopened\n");
                }
                continue;
            }
            if (signum != SIGUSR1) {
                fprintf(stderr, "dvsd: signal %d, stopping\n", signum);
            }
            dvsrv_stop(server);
            return;
        }
    });
    int status = dvsrv_run(server) == 0 ? 0 : 1;
    DV_LOG("dvsd", LOG_NOTI | LOG_NETREC, "dvsd stopped: status %d\n", status);
    // Wakes the waiter when the run ended for another reason than a signal.
    pthread_kill(waiter.native_handle(), SIGUSR1);
    waiter.join();
    dvsrv_close(server);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    app_start(argc, argv);
    // Blocked before any thread starts, so that every thread inherits the mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGUSR1);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    dvsrv_conf conf;
    std::string log_conf;
    bool check = false;
    int status = parse_args(argc, argv, &conf, &log_conf, &check);
    // Names, paths and texts that clients send reach the log: none may forge a line of its own.
    const int escape = 1;
    log2_ioctl(nullptr, 50, const_cast<int*>(&escape), -1);
    if (status < 0 && !log_conf.empty()) log2_init_file(log_conf.c_str(), nullptr);
    if (status < 0) {
        const char* level = conf.level.empty() ? "info" : conf.level.c_str();
        if (log2_ioctl(nullptr, 3, const_cast<char*>(level), -1) != 0) {
            status = usage_error("level=" + conf.level + ": unknown level");
        } else {
            if (check) {
                status = check_only(conf);
            } else {
                raise_descriptor_limit();
                status = serve(conf, stop_signals);
            }
        }
    }
    app_end();
    return status;
}
