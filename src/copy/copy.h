// Target selection and the raw copy: the drive table, the target prompt and
// the chunked write of the image onto the chosen disk.
#pragma once

#include "blockdev/blockdev.h"

#include <cstddef>
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

// Every block device by its number "MAJ:MIN", partitions included.
constexpr char ssysdevblockroot[] = "/sys/dev/block/";
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
// Status of the image after its last read: a regular file must be unchanged.
extern struct stat rstimgendstats;
// /sys/dev/block/MAJ:MIN/... of an image that is a block device.
extern char ssysdevblockpath[64];
// Text of a sysfs attribute of that device: its partition number, then the
// "MAJ:MIN" of its disk.
extern char sparentdiskdev[26];

// Copies simgfilepath onto ipartinfrec's node. Returns 1 after a complete,
// flushed copy whose first and last chunk read back as written, 0 after any
// failure (its message already printed).
int32_t generic_io_stream_raw_copy_buffered();

/* verify.cpp: the read-back of the first and the last chunk */

// Checksum of the first chunk written, taken as it was written.
extern uint64_t nfirstchunksum;
// Length of the first chunk written, padding included.
extern int32_t nfirstchunklen;
// Length of the last chunk written, padding included.
extern int32_t nlastchunklen;
// Read-only descriptor of the target during the read-back; -1 otherwise.
extern int32_t kfdverify;
// Status of that descriptor: it must be the disk written.
extern struct stat rstverifystats;

// A 64-bit checksum of the n bytes at sdata, for telling a chunk read back
// from the one written; not a cryptographic hash.
uint64_t fncchecksum64(const char *sdata, size_t n);
// Records the chunk just flushed (nchunkaccepted bytes of srdpipetxttmp):
// the first one's checksum, the last one's length.
void fncnotechunkwritten();
// Reads the last and the first chunk back from the device and compares them
// with what was written; the copy buffer must still hold the last chunk.
// Returns 1 when both match or nothing was written, 0 when a read fails or
// a chunk differs. Overwrites the copy buffer.
int32_t fncverifyreadback();
