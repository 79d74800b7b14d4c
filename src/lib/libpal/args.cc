#include "libpal/args.h"

int args_walk(int argc, char** argv, unsigned flags,
              const std::function<int(std::string_view key, std::string_view value)>& on_pair,
              std::string_view* bad) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--" && (flags & ARGS_SKIP_DOUBLE_DASH) != 0) continue;
        if (arg == "-h" || arg == "--help") return ARGS_HELP;
        const size_t eq = arg.find('=');
        if (eq == std::string_view::npos) {
            if (bad != nullptr) *bad = arg;
            return ARGS_MALFORMED;
        }
        const int result = on_pair(arg.substr(0, eq), arg.substr(eq + 1));
        if (result != ARGS_DONE) return result;
    }
    return ARGS_DONE;
}
