// Tests that need a real peer (a proxy, a port, a tool the set-up script installs) and cannot
// start it: outside CI they skip, saying why; in CI, where scripts/setup.sh installed everything,
// they fail, so that a missing peer is never a hole nobody sees.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

namespace dvtest {

inline bool in_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && *ci != '\0';
}

}  // namespace dvtest

// Ends the test (or the helper it is called from) with a skip, or in CI with a failure.
#define DV_PEER_MISSING(why)                                              \
    do {                                                                  \
        if (dvtest::in_ci()) {                                            \
            GTEST_FAIL() << why << " (CI is set: a failure, not a skip)"; \
        } else {                                                          \
            GTEST_SKIP() << why;                                          \
        }                                                                 \
    } while (0)
