// Certificates for TLS tests, made by openssl when first asked for: self-signed RSA certificates
// for CN=localhost with their unencrypted keys, in a temporary directory that goes with the
// process. Two of them, so that a test can show one certificate or CA where another is expected.
#pragma once

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lib/test_support/temp_dir.h"

namespace dvtest {

struct tls_identity {
    std::string cert;
    std::string key;
    std::string fingerprint;  // SHA-256 of the DER certificate as openssl shows it: "AB:CD:..."

    bool ok() const { return !fingerprint.empty(); }
    // The fingerprint as ssl-pin takes it and the log shows it: lower case, no colons.
    std::string bare_fingerprint() const {
        std::string bare;
        for (char c : fingerprint) {
            if (c != ':') bare += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return bare;
    }
};

// The first line a shell command prints; "" when it fails.
inline std::string command_first_line(const std::string& command) {
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return {};
    char line[512] = "";
    const bool got = fgets(line, sizeof line, p) != nullptr;
    if (pclose(p) != 0 || !got) return {};
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

inline tls_identity make_tls_identity(const std::string& dir, const std::string& name) {
    tls_identity id{dir + "/" + name + ".crt", dir + "/" + name + ".key", ""};
    const std::string make =
        "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -keyout " + id.key +
        " -out " + id.cert + " -days 2 >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) return id;
    const std::string shown =
        command_first_line("openssl x509 -noout -fingerprint -sha256 -in " + id.cert);
    const size_t eq = shown.find('=');
    if (eq != std::string::npos) id.fingerprint = shown.substr(eq + 1);
    return id;
}

struct tls_certificates {
    TempDir dir{"dvcp-tls-certs"};
    tls_identity server = make_tls_identity(dir.path(), "server");
    tls_identity other = make_tls_identity(dir.path(), "other");
};

// Made on first use, removed at exit.
inline tls_certificates& tls_certs() {
    static tls_certificates made;
    return made;
}

}  // namespace dvtest
