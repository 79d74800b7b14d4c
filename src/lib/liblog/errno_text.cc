#include "liblog/errno_text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

const char* os_strerror(int eno) {
    if (eno == 0) return "ok";
    // glibc's strerror is thread-safe: static texts, a thread-local buffer for unknown values.
    return strerror(eno);
}

const char* os_last_errno_str() {
    return os_strerror(errno);
}

char* os_errno_str(int eno, char* buf, size_t size) {
    if (buf == nullptr || size == 0) return buf;
    snprintf(buf, size, "%s", os_strerror(eno));
    size_t begin = 0;
    size_t end = strlen(buf);
    while (begin < end && is_blank(buf[begin])) ++begin;
    while (end > begin && is_blank(buf[end - 1])) --end;
    if (begin == end) {
        snprintf(buf, size, "unkown os_errno=%u (0x%x)", static_cast<unsigned>(eno),
                 static_cast<unsigned>(eno));
        return buf;
    }
    memmove(buf, buf + begin, end - begin);
    buf[end - begin] = '\0';
    return buf;
}
