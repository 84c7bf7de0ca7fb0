// Block device discovery: the entries of /sys/class/block/ in name order, one
// device record per whole disk, filled from sysfs and the udev database.
#pragma once

#include "core/core.h"

#include <cstddef>
#include <cstdint>

// Extension block of a device record. nloopnum and sbacking_file are kept
// though nothing reads them: they say which file a loop device shows, for
// someone looking at the record in a debugger; probing them costs two small
// reads per loop device.
struct devextrec {
    int32_t nlogblocksize;    // logical block size in bytes; 0 when unread
    int32_t nloopnum;         // loop device number; 0 when not a loop device
    char sbacking_file[4096]; // loop/backing_file without its final newline
};

// Device record, one per whole disk, created zero-filled. Kept though the
// tool reads none of them: kdevsortix, which leads from a record back to its sysfs entry,
// and the udev fields sfstype, sfsversion, sfslabel, sfsuuid,
// sserialnum_short and sid_path_tag, filled by the same lookup table as the
// vendor, model and bus the drive table shows, so that one table says what
// the record holds of udev's view of the disk (the fuzz target checks
// sid_path_tag).
struct partrootrec {
    uint64_t nlogblocks;       // size in 512-byte sectors, then logical blocks
    uint64_t ncapacity;        // capacity in bytes: sectors * 512
    int32_t nmajor;            // from the uevent file
    int32_t nminor;            // from the uevent file
    uint64_t ndiskseq;         // DISKSEQ from the uevent file; 0 when absent
    int32_t bhidden;           // 1 when sysfs marks the disk hidden
    int32_t kdevsortix;        // position in isortdevices
    char sudevkey[27];         // "b%d:%d": the udev data file name
    char sdevname[256];        // DEVNAME from the uevent file, never cut
    char sdevpath[261];        // "/dev/" + DEVNAME: the node the copy writes
    char sfstype[20];          // udev ID_FS_TYPE
    char sdevtype[10];         // DEVTYPE from the uevent file
    char sfsversion[6];        // udev ID_FS_VERSION
    char sfslabel[32];         // udev ID_FS_LABEL
    char sfsuuid[37];          // udev ID_FS_UUID
    char sserialnum_short[16]; // udev ID_SERIAL_SHORT
    char smodel[16];           // udev ID_MODEL
    char svendor[16];          // udev ID_VENDOR
    char sid_path_tag[297];    // udev ID_PATH_TAG
    devextrec *idevext;        // its extension block; never null
    char sid_bus[16];          // udev ID_BUS
};

// The heap block of one slot of ipartdata: the record and its extension
// block, released together with the slot.
struct partslotblock {
    partrootrec irec;
    devextrec iext;
};

/* scan.cpp: the whole-disk walk over /sys/class/block/ */

// The sysfs directory of block devices, with its final slash.
constexpr char sfnmkrnlsysblock[] = "/sys/class/block/";
// Length of sfnmkrnlsysblock: where a name is appended in sdevrootpath.
constexpr int32_t ncsysblockprefix = sizeof sfnmkrnlsysblock - 1;

// sfnmkrnlsysblock, then a name of up to 255 bytes and an attribute suffix of
// up to 25 characters.
extern char sdevrootpath[298];
// The record being filled during the walk.
extern partrootrec *ipartrootrec;
// Walk cursor: position in isortdevices of the disk being visited.
extern int32_t kscanblkdev;
// Length of the base path in sdevrootpath: 17 + the disk's name length.
extern int32_t ncfilename;
// The disk's name in idirdeventry: the prefix of its partition entries.
extern const char *sdevrootname;
// Length of sdevrootname.
extern int32_t ncdevrootname;
// Count of partition entries in the visited disk's own directory.
extern int32_t nblkpartentries;
// Cursor over idirpartentry while its entries are marked in iskipdevices.
extern int32_t kmarkblkpart;
// Position in isortdevices of the partition entry being marked; -1: none.
extern int32_t kpartsortpos;

// Reads /sys/class/block/ and fills ipartdata with one record per whole disk.
void fncscanblockdevices();

/* mergesort.cpp: the name-ordered index merge sort and its state */

// n: the number of names to order.
extern int32_t noutelem;
// L: number of levels in the workspace, ceil(log2 n).
extern int32_t nmaxlevsortdata;
// n * L: entries in the level storage.
extern int32_t nmaxdimsortdata;
// The level the current pass reads.
extern int32_t klevsort;
// The level the current pass writes.
extern int32_t klevnxtsrt;
// Cursor for filling the level table and copying the rest of a run.
extern int32_t kposvar;
// n - 1: the bound of the pair pass.
extern int32_t ksrtixstop;
// Head of the left run; in the pair pass the pair's first position.
extern int32_t ksrtscna;
// Head of the right run; in the pair pass the pair's second position.
extern int32_t ksrtscnb;
// End (exclusive) of the left run of the current group.
extern int32_t kstrmid;
// End (exclusive) of the right run: the end of the current group.
extern int32_t ksrtmrg;
// g: length of the sorted runs in the source level.
extern int32_t nsrtgrp;
// 2g: length of the merged runs in the destination level.
extern int32_t nsrtnxg;
// Output cursor in the destination level.
extern int32_t ksrtout;

// Name of entry k of idirdeventry: the key the sort orders by, and the one
// the walk looks a partition's name up by.
const char *fncdirentryname(int32_t k);
// Puts idirdeventry in byte order of the names into isortdevices (stable).
void fncmergesortdirnames();

/* sysfsprobe.cpp: device records and the sysfs attribute probes */

// Text of the numeric attribute being read (at most 25 bytes and a NUL).
extern char srawdtint[26];
// Text of the uevent file, then of the udev data file, and a NUL.
extern char strtmpbuf[10000];
// Tokens of the uevent text found in strtmpbuf (at most 8).
extern int32_t nuevtokens;
// Attribute path suffixes and the device node prefix.
extern const char skrnlsysblockqueue[];
extern const char skrnlsyslogblocksize[];
extern const char skrnlsysblockloop[];
extern const char skrnlsysloopbacking_file[];
extern const char skrnlsysblocksize[];
extern const char skrnlsysblockuevent[];
extern const char skrnlsysblockhidden[];
extern const char sgenericdevpathprfx[];
// uevent token delimiters: newline and "=".
extern const char sdelimcnst_eol_eq[];

// Appends a zero-filled record with its extension block to ipartdata and
// makes it ipartrootrec.
partrootrec *createpartrecord();
// The record of slot k of ipartdata.
partrootrec *fncpartrecord(uint32_t k);
// Fills ipartrootrec from the sysfs attributes under sdevrootpath.
void fncprobesysfsdevice();
// Splits the NUL-ended uevent text in strtmpbuf into starrout and, when it
// starts with MAJOR, MINOR, DEVNAME and DEVTYPE, fills ipartrootrec from them;
// takes DISKSEQ from any later line.
void fncparseuevent();
// Reads at most nmax bytes of the file spath into sbuf and ends them with a
// NUL; when more than one byte was read and the last is a newline, the NUL
// replaces it. A file that cannot be opened or read, or that is not a
// regular file, gives the empty text; nothing waits on a FIFO.
// Returns the length of the text kept.
int32_t fncreadtextfile(const char *spath, char *sbuf, int32_t nmax);
// Parses a decimal number as sysfs writes it: white space skipped, an
// optional '+', digits up to the first other byte. Returns 1 with *pnvalue
// set, or 0 (and *pnvalue untouched) when there is no number or it does not
// fit 64 bits.
int fncparsedecimal(const char *stext, uint64_t *pnvalue);
// Reads the numeric attribute file spath into *pnvalue; 0 and *pnvalue
// untouched when the file is missing or holds no number.
int fncreadsysfsnumber(const char *spath, uint64_t *pnvalue);

/* udevprops.cpp: the udev property lookup */

// The udev database directory, with its final slash.
constexpr char sudevdatapathroot[] = "/run/udev/data/";
// Length of sudevdatapathroot: where the key is appended in sudevdatapathtrgt.
constexpr int32_t ncudevdataprefix = sizeof sudevdatapathroot - 1;

// One udev property and the record field that receives its first word.
struct udevpropertyrow {
    const char *skey;   // property key, matched whole on an "E:KEY=" line
    size_t koffset;     // offset of the field in partrootrec
    size_t nfieldwidth; // field width, NUL included
};

// sudevdatapathroot, then a key of up to 24 characters.
extern char sudevdatapathtrgt[40];
// Property keys, in lookup order.
extern const char sudevpropertykey_fstype[];
extern const char sudevpropertykey_fslabel[];
extern const char sudevpropertykey_fsversion[];
extern const char sudevpropertykey_fsuuid[];
extern const char sudevpropertykey_serialnum_short[];
extern const char sudevpropertykey_model[];
extern const char sudevpropertykey_vendor[];
extern const char sudevpropertykey_id_path_tag[];
extern const char sudevpropertykey_id_bus[];
// The nine lookups, in order.
extern const udevpropertyrow iudevpropertytable[9];

// Fills the udev fields of ipartrootrec from the NUL-ended udev data text in
// strtmpbuf.
void fncparseudevproperties();
// Fills the udev fields of ipartrootrec from /run/udev/data/<sudevkey>;
// does nothing when the record has no key.
void fncreadudevproperties();
