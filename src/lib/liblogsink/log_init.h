// Logging set-up from INI text (the "log" section of dvcp.ini).
//
// Keys of the section "log" (or "log_<name>" when a name is given), applied in this order whatever
// their order in the text; an absent or empty value leaves the setting alone and every value read
// is echoed as a diagnostic ("log.level=dbg"):
//   debug      "1" turns the module's own diagnostics on ("0" off)
//   level      level name ("crit" ... "verb"); a bad name leaves the level unchanged
//   flags      prefix option names joined by "|"
//   syslog     syslog URL; configures the syslog sink and turns it on
//   bsvlog     structured record collector URL ("udp://host[:port]"); see log_sinks.h
//   file_dir   directory of the log file (relative: below the executable's directory)
//   file_mode  "w" (truncate, the default) or "a" (append)
//   file       log file name (".pcap": a capture file of records); opens it, turns the sink on
//   file_size  size cap with unit suffix ("4M"); values below 2048 are refused with a warning
// A setting that cannot be applied gives a warning line on the configured context; the other keys
// are still applied.
#pragma once

struct log2_ctx;

// Configures logging from `source`: `type` "ini_file" (a path) or "ini_str" (INI text). The first
// call configures the global context and returns it; every later call creates and returns a new,
// separate context, which the caller releases with log2_exit. After log2_exit(nullptr) the next
// call configures the fresh global context again.
// A file that does not exist configures nothing and is not an error. Returns null (and creates
// nothing) for an unknown type ("type [%s] error\n" as a diagnostic), a null source, or a file or
// text that cannot be read as INI (a message on standard error).
log2_ctx* log2_init_imp(const char* type, const char* source, const char* name);

// log2_init_imp("ini_file", path, name).
log2_ctx* log2_init_file(const char* path, const char* name);

// log2_init_imp("ini_str", text, name).
log2_ctx* log2_init_str(const char* text, const char* name);
