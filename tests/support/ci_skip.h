#pragma once

// Skipping a test for want of something the machine lacks (privileges, kernel features, demo keys): on a
// developer's machine the test is skipped with the reason; where CI is set it fails instead, so CI can
// never go green by skipping it.

#include <gtest/gtest.h>

#include <cstdlib>

#define HALVEX_SKIP_OUTSIDE_CI(reason)                                          \
    do {                                                                        \
        if (std::getenv("CI") != nullptr) FAIL() << (reason) << " (CI is set)"; \
        GTEST_SKIP() << (reason);                                               \
    } while (false)
