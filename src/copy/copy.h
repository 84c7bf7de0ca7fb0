// Target selection and the raw copy: the drive table, the target prompt and
// the chunked write of the image onto the chosen disk.
#pragma once

#include "blockdev/blockdev.h"

#include <cstdint>
#include <sys/stat.h>

/* drivetable.cpp: the drive table and the target prompt */

// The chosen device record; read by the copy.
extern partrootrec *ipartinfrec;
// Count of disks listed in the drive table.
extern int32_t navaildevnodes;
// The index typed at the drive prompt.
extern int32_t kscanphysdrv;
// A record's name, vendor and model as shown on the terminal: control bytes
// masked (fncmaskdrivetexts).
extern char sdispdevname[256];
extern char sdispvendor[16];
extern char sdispmodel[16];

// Fills sdispdevname, sdispvendor and sdispmodel from irec.
void fncmaskdrivetexts(const partrootrec *irec);
// Prints one line per disk the table lists and marks it selectable; ends the
// run when no disk is listed.
void fncprintdrivetable();
// Asks for the target index, checks it and sets ipartinfrec; ends the run on
// an invalid answer.
void fncselecttargetdrive();

/* rawcopy.cpp: the chunked copy onto the target */

// Bytes in one chunk: the size of the copy buffer, a whole number of sectors.
constexpr int32_t ncopychunksize = 10000384;

// Status of the image, taken before it is opened; only st_size is used.
extern struct stat rstfilecheckstats;
// The copy buffer: one static block reused for every chunk.
extern char srdpipetxttmp[ncopychunksize];
// A sector of zero bytes: the source of the padding.
extern const char iblnkdisksectarray[ncsectorsize];
// Length of the current chunk: first as read, then as padded; -1 after a
// failed read.
extern int32_t dwRead;
// The chunk length modulo the sector size, before padding.
extern int32_t kremwrdatsect;
// Bytes the device accepted and flushed so far, padding included.
extern uint64_t kpipwrpos;
// Image size divided by 100.0: the percentage base.
extern double xtotsrcrawdataszprc;
// Progress percentage, never above 100.0.
extern double xrawwrtpercprog;
// Bytes read from the image so far: where its next chunk starts.
extern uint64_t kimgrdpos;
// Bytes of the current chunk the device accepted.
extern int32_t nchunkaccepted;
// errno of the write or flush that failed the copy.
extern int32_t nerrnocopy;
// Status of the open image: a regular file must yield st_size bytes.
extern struct stat rstimgopenstats;
// Status of the open target: must be the listed disk's block device.
extern struct stat rsttargetstats;
// Disk sequence number of the open target (BLKGETDISKSEQ).
extern uint64_t ntargetdiskseq;

// Copies simgfilepath onto ipartinfrec's node. Returns 1 after a complete,
// flushed copy, 0 after any failure (its message already printed).
int32_t generic_io_stream_raw_copy_buffered();
