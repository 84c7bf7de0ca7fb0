// Block device discovery: the entries of /sys/class/block/ in name order, one
// device record per whole disk, filled from sysfs and the udev database.
#pragma once

#include "core/core.h"

#include <cstdint>

// Extension block of a device record.
struct devextrec {
    int32_t nlogblocksize;    // logical block size in bytes; 0 when unread
    int32_t nloopnum;         // loop device number; 0 when not a loop device
    char sbacking_file[4096]; // loop/backing_file without its final newline
};

// Device record, one per whole disk, created zero-filled.
struct partrootrec {
    uint64_t nlogblocks;       // size in 512-byte sectors, then logical blocks
    uint64_t ncapacity;        // capacity in bytes: sectors * 512
    int32_t nmajor;            // from the uevent file
    int32_t nminor;            // from the uevent file
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
    devextrec *idevext;        // owned extension block; never null
    char sid_bus[16];          // udev ID_BUS
};

// The record being filled during the walk.
extern partrootrec *ipartrootrec;

// Loads the entries of sdirpath (but "." and "..") into itarget, one
// dirnamerec each in directory order; with sprefix, only names beginning with
// its first nprefix bytes.
void loaddirdatareaddirvers(const char *sdirpath, loopptrstructure *itarget, const char *sprefix,
                            int32_t nprefix);
// Puts idirdeventry in byte order of the names into isortdevices (stable).
void fncmergesortdirnames();
// Reads /sys/class/block/ and fills ipartdata with one record per whole disk.
void fncscanblockdevices();
// Appends a zero-filled record with its extension block to ipartdata.
partrootrec *createpartrecord();
// Fills ipartrootrec from the sysfs attributes under sdevrootpath.
void fncprobesysfsdevice();
// Fills the udev fields of ipartrootrec from /run/udev/data/<sudevkey>.
void fncreadudevproperties();
