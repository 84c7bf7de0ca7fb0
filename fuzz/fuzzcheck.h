// Invariant check shared by the fuzz targets: a broken invariant aborts, which
// libFuzzer reports as a crash and saves the input.
//
// Routines that end the run call exit() through fncterminateprocess. libFuzzer
// reports an exit inside a target as a crash too ("fuzz target exited"), so
// each target feeds only inputs that cannot reach those paths (they need an
// allocation failure or a text of 4 GiB), and an exit is a fault found.
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
