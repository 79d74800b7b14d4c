// Command lines of key=value arguments, as dvcp and dvsd take them.
#pragma once

#include <functional>
#include <string_view>

// args_walk results besides those of the pair handler.
inline constexpr int ARGS_DONE = -1;       // every argument was taken
inline constexpr int ARGS_HELP = -2;       // "-h" or "--help" was asked for
inline constexpr int ARGS_MALFORMED = -3;  // an argument without "="

// args_walk flags: "--" is passed over instead of being a malformed argument.
inline constexpr unsigned ARGS_SKIP_DOUBLE_DASH = 1;

// Hands argv[1] to argv[argc - 1] in order to `on_pair`, each split at its first "=" (so that a
// value may hold "=" and may be empty). `on_pair` returns ARGS_DONE to go on; any other value
// ends the walk and is returned. "-h" or "--help" ends it with ARGS_HELP, an argument without "="
// with ARGS_MALFORMED and the argument in *bad (when `bad` is given). The views point into argv.
int args_walk(int argc, char** argv, unsigned flags,
              const std::function<int(std::string_view key, std::string_view value)>& on_pair,
              std::string_view* bad = nullptr);
