// Target selection and the raw copy: the drive table, the target prompt and
// the chunked write of the image onto the chosen disk.
#pragma once

#include "blockdev/blockdev.h"

#include <cstdint>

// The chosen device record; read by the copy.
extern partrootrec *ipartinfrec;
// Count of disks listed in the drive table.
extern int32_t navaildevnodes;
// The index typed at the drive prompt.
extern int32_t kscanphysdrv;

// Prints one line per disk with a capacity and marks it selectable; ends the
// run when no disk is listed.
void fncprintdrivetable();
// Asks for the target index, checks it and sets ipartinfrec; ends the run on
// an invalid answer.
void fncselecttargetdrive();
// Copies simgfilepath onto ipartinfrec's node. Returns 1 after a complete,
// flushed copy, 0 after any failure (its message already printed).
int32_t generic_io_stream_raw_copy_buffered();
