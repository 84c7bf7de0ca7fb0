// Invariant check shared by the fuzz targets: a broken invariant aborts, which
// libFuzzer reports as a crash and saves the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define KF_FUZZ_CHECK(bcondition)                                                                  \
    do {                                                                                           \
        if (!(bcondition)) {                                                                       \
            fprintf(stderr, "invariant broken: %s (%s:%d)\n", #bcondition, __FILE__, __LINE__);    \
            abort();                                                                               \
        }                                                                                          \
    } while (0)
