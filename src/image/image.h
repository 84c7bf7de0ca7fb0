// Image selection: the candidates of the working directory or of a list file,
// and the numbered dialogue that picks one.
#pragma once

#include "core/core.h"

#include <cstdint>

// The number typed at the image prompt.
extern int32_t kimgfileix;

// Lists the entries of the working directory and returns the chosen name.
// Ends the run when there is none or the answer is invalid.
const char *fncselectimagefromdir();
// Shows the candidates of idirvecdata with sformatter, reads and checks the
// answer; returns the accepted index or ends the run.
int32_t fncchooseimagecandidate(fncformatlisting_t sformatter);
// Reads the list file sfilename whole, offers its non-blank lines and returns
// the chosen line. Ends the run on any failure.
const char *fncselectimagefromlist(const char *sfilename);
