// Enciphered credentials from the network: input is <out size byte><key length byte><key><text>.
// Decoding any text into an exactly sized buffer stays inside it, and whatever is enciphered
// deciphers back to the same text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "liblog/log2.h"
#include "libpwd/libpwd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        int off = 0;
        return log2_ioctl(nullptr, 40, &off, -1) == 0;
    }();
    (void)quiet;
    if (size < 2) return 0;
    const size_t out_size = data[0];
    size_t key_len = data[1];
    data += 2;
    size -= 2;
    if (key_len > size) key_len = size;
    const std::string key(reinterpret_cast<const char*>(data), key_len);
    const std::string text(reinterpret_cast<const char*>(data + key_len), size - key_len);

    // A heap buffer of exactly out_size bytes, so a write past it is caught.
    std::vector<char> out(out_size);
    int ret = libpwd_decrypt_b64(text.c_str(), key.c_str(), out.empty() ? nullptr : out.data(),
                                 out.size());
    if (ret == 0 && std::memchr(out.data(), '\0', out.size()) == nullptr) std::abort();

    // Round trip of the text as a plain credential.
    const size_t plain_len = std::strlen(text.c_str());
    std::vector<char> b64(4 * (plain_len / 3 + 1) + 1);
    if (libpwd_encrypt_b64(text.c_str(), key.c_str(), b64.data(), b64.size()) == 0 &&
        plain_len > 0) {
        std::vector<char> back(plain_len + 1);
        if (libpwd_decrypt_b64(b64.data(), key.c_str(), back.data(), back.size()) != 0)
            std::abort();
        // The deciphered bytes are the original ones.
        if (std::memcmp(back.data(), text.c_str(), plain_len) != 0) std::abort();
    } else if (key.c_str()[0] != '\0' && plain_len > 0) {
        std::abort();  // a big enough buffer and a key must encipher
    }
    return 0;
}
