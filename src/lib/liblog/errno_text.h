// Text of operating-system error numbers. Lives at the bottom of the graph because every log
// line that asks for the errno text uses it.
#pragma once

#include <cstddef>

// "ok" for 0, otherwise the platform's standard message for `eno`. The text is static or
// thread-local; never null. Any thread.
const char* os_strerror(int eno);

// os_strerror() of the calling thread's current errno.
const char* os_last_errno_str();

// Writes the text of `eno` into `buf` (at most `size` bytes, always NUL-terminated when size > 0):
// "ok" for 0, otherwise the standard message with leading and trailing blanks removed, or
// "unkown os_errno=%u (0x%x)" when that leaves nothing. Returns `buf`.
char* os_errno_str(int eno, char* buf, size_t size);
