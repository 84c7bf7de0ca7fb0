// Target selection and the raw copy: the drive table, the target prompt and
// the chunked write of the image onto the chosen disk and its read-back.
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

/* rawcopy.cpp: the target opened and proved, the chunked copy, the image checked */

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
// Status of the image after its last read: a size or a modification time
// that moved has the whole image read again.
extern struct stat rstimgendstats;
// /sys/dev/block/MAJ:MIN/... of an image that is a block device.
extern char ssysdevblockpath[64];
// Text of a sysfs attribute of that device: its partition number, then the
// "MAJ:MIN" of its disk.
extern char sparentdiskdev[26];

// Copies simgfilepath onto ipartinfrec's node. Returns 1 after a complete,
// flushed copy that reads back as written, from an image that still holds
// what was copied; 0 after any failure (its message already printed).
int32_t generic_io_stream_raw_copy_buffered();

/* verify.cpp: the read-back of the disk and of the image */

// A region the read-back compares: where it starts on the disk (and in the
// image), its checksum as written and its length.
struct verifyunitrec {
    uint64_t koffset;
    uint64_t nsum;
    uint32_t nlength;
};

// Bytes of a sampled page.
constexpr int32_t nsamplepagesize = 4096;
// The furthest a sampled page starts from the start of the page checked
// before it: any 4 MiB of the image holds a whole checked page.
constexpr uint64_t nsamplereach = (4 << 20) - nsamplepagesize;
// The largest region of a chunk compared whole: one read of the read-back.
constexpr uint32_t nwholeunitsize = 1 << 20;
// Regions of one chunk compared whole.
constexpr uint32_t nchunkunitsmax = (ncopychunksize + nwholeunitsize - 1) / nwholeunitsize;
// Regions the table holds: about 64 GiB of image at the densest spacing.
constexpr uint32_t nverifyunitsmax = 16384;

// The regions to read back, in offset order: the first chunk's, the samples,
// the last chunk's.
extern verifyunitrec iverifyunits[nverifyunitsmax];
// Regions in iverifyunits.
extern uint32_t nverifyunits;
// Regions of the first chunk, at the start of iverifyunits.
extern uint32_t nfirstchunkunits;
// Start of the last page checked: of the last sample, or the last page of a
// chunk compared whole.
extern uint64_t ksamplelast;
// Times the samples were halved: the spacing is nsamplereach << nthinlevel.
extern int32_t nthinlevel;
// Every chunk's checksum folded in order, for an image that is a regular file.
extern uint64_t nimagesum;
// Length of the last chunk written, padding included.
extern int32_t nlastchunklen;
// Alignment of the read-back's offsets and lengths: the disk's logical block
// size, or a sector for the image.
extern int32_t nverifyalign;
// Read-only descriptor of the target during the read-back; -1 otherwise.
extern int32_t kfdverify;
// Status of that descriptor: it must be the disk written.
extern struct stat rstverifystats;

// A 64-bit checksum of the n bytes at sdata, for telling a region read back
// from the one written; not a cryptographic hash.
uint64_t fncchecksum64(const char *sdata, size_t n);
// Folds the checksum of the n bytes at schunk into *pnfold.
void fncfoldchunksum(uint64_t *pnfold, const char *schunk, size_t n);
// Notes the chunk just written (nchunkaccepted bytes of srdpipetxttmp at
// kpipwrpos): folds its checksum into nimagesum, keeps the first chunk's
// regions whole and samples any other.
void fncnotechunkwritten();
// At the end of the image: the last chunk, which the copy buffer still holds,
// is compared whole rather than sampled.
void fncfinishverifyunits();
// Whether every region reads back from the open image with the checksum it
// was written with; bytes past its end read as zeros. Overwrites the copy
// buffer.
bool fncimageunitsmatch();
// Reads every region back from the device and compares it with what was
// written. Returns 1 when all match or nothing was written, 0 when a read
// fails or a region differs. Overwrites the copy buffer.
int32_t fncverifyreadback();
