// The rate at which the TLS library encrypts on one core, for the record ciphers dvps:// can end
// up with: 16 KiB records (the largest TLS record), as a bulk transfer sends them. Prints one line
// per cipher, "name MB/s", for bench/remote.sh to set the dvps:// rows against.
#include <mbedtls/chachapoly.h>
#include <mbedtls/gcm.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

double rate(const std::function<void(const unsigned char*, unsigned char*, size_t)>& seal) {
    std::vector<unsigned char> in(16384, 0x5a), out(in.size());
    const auto start = std::chrono::steady_clock::now();
    size_t bytes = 0;
    double seconds = 0;
    while (seconds < 1.0) {
        for (int i = 0; i < 256; ++i) seal(in.data(), out.data(), in.size());
        bytes += 256 * in.size();
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    return static_cast<double>(bytes) / seconds / 1e6;
}

}  // namespace

int main() {
    const unsigned char key[32] = {1, 2, 3};
    unsigned char iv[12] = {4, 5, 6};
    unsigned char tag[16];

    mbedtls_chachapoly_context chacha;
    mbedtls_chachapoly_init(&chacha);
    mbedtls_chachapoly_setkey(&chacha, key);
    std::printf("ChaCha20-Poly1305 %.0f\n",
                rate([&](const unsigned char* in, unsigned char* out, size_t len) {
                    mbedtls_chachapoly_encrypt_and_tag(&chacha, len, iv, nullptr, 0, in, out, tag);
                }));
    mbedtls_chachapoly_free(&chacha);

    for (unsigned bits : {128u, 256u}) {
        mbedtls_gcm_context gcm;
        mbedtls_gcm_init(&gcm);
        mbedtls_gcm_setkey(&gcm, MBEDTLS_CIPHER_ID_AES, key, bits);
        std::printf("AES-%u-GCM %.0f\n", bits,
                    rate([&](const unsigned char* in, unsigned char* out, size_t len) {
                        mbedtls_gcm_crypt_and_tag(&gcm, MBEDTLS_GCM_ENCRYPT, len, iv, sizeof(iv),
                                                  nullptr, 0, in, out, sizeof(tag), tag);
                    }));
        mbedtls_gcm_free(&gcm);
    }
    return 0;
}
