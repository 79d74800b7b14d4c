// Helpers shared by the credential units; not part of the library's interface.
#pragma once

#include <cstddef>
#include <string>

// Formats into an optional error buffer (null or size 0 is ignored), cut to fit.
void pwd_set_err(char* err, size_t err_size, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

// A text from a client made safe for a log line: control characters (which could start a forged
// line or field) become "?".
std::string pwd_log_text(const char* text);
