// Image selection: the candidates of the working directory or of a list file,
// and the numbered dialogue that picks one.
#pragma once

#include "core/core.h"

#include <cstdint>

/* dirselect.cpp: the working directory's entries as candidates, and the image prompt */

// The number typed at the image prompt.
extern int32_t kimgfileix;

// Lists the entries of the working directory and returns the chosen name.
// Ends the run when there is none or the answer is invalid.
const char *fncselectimagefromdir();
// Shows the candidates of idirvecdata with sformatter, reads and checks the
// answer; returns the accepted index or ends the run.
int32_t fncchooseimagecandidate(fncformatlisting_t sformatter);

/* listselect.cpp: the lines of a list file as candidates */

// Descriptor of the list file while it is read.
extern int32_t kfddownl;
// Size of the list file, from seeking to its end.
extern int64_t ncrequestsize;
// Result of seeking back to the start of the list file.
extern int64_t kcurreqstart;
// Bytes of the list file read so far.
extern int64_t ncrawdt;
// The list file line being examined.
extern char *sktmp;
// The delimiters that end a list file line.
extern const char sdelimcnst_eol[];

// Makes every line of the NUL-ended text in srawdata that holds a byte other
// than white space a candidate in idirvecdata; the newline ending each line
// becomes its NUL. The text ends at its first NUL.
void fncsplitlistlines();
// Reads the list file sfilename up to its first NUL, offers its non-blank
// lines and returns the chosen line. Ends the run on any failure, and when
// the chosen line is too long for simgfilepath.
const char *fncselectimagefromlist(const char *sfilename);
