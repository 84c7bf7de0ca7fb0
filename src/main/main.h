// Program driver: the fixed order of the run and the state it sets up for
// every later step.
#pragma once

#include "core/core.h"

#include <climits>
#include <cstdint>

// Standard-stream record: input descriptor 0, output descriptor 1.
extern iofdrec iofdrecproc;
// "/sys/class/block/" (17 characters); discovery appends a name and a suffix.
extern char sdevrootpath[298];
// "/run/udev/data/" (15 characters); the udev lookup appends the key.
extern char sudevdatapathtrgt[40];
// The chosen image path; holds any path the system accepts.
extern char simgfilepath[PATH_MAX];
// simgfilepath as shown on the terminal: control bytes masked.
extern char simgfiledisplay[PATH_MAX];

// Length of the "/sys/class/block/" prefix of sdevrootpath.
constexpr int32_t ncsysblockprefix = 17;
// Length of the "/run/udev/data/" prefix of sudevdatapathtrgt.
constexpr int32_t ncudevdataprefix = 15;

// Runs the whole program once; never returns (every exit tears down first).
[[noreturn]] void fncrunprogram(int argc, char **argv);
