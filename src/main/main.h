// Program driver: the fixed order of the run, from the argument count to the
// exit status.
#pragma once

/* driver.cpp: the run, from the arguments to the exit status */

// Runs the whole program once; never returns (every exit tears down first).
[[noreturn]] void fncrunprogram(int argc, char **argv);
