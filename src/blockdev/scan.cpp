// Enumeration of /sys/class/block/ and the whole-disk walk.
#include "blockdev/blockdev.h"

#include <cstring>

char sdevrootpath[298];
partrootrec *ipartrootrec;
int32_t kscanblkdev;
int32_t ncfilename;
const char *sdevrootname;
int32_t ncdevrootname;
int32_t nblkpartentries;
int32_t kmarkblkpart;
int32_t kpartsortpos;

static int32_t *fncsortorder() {
    return static_cast<int32_t *>(isortdevices.data);
}

// Position of sname in isortdevices, or -1. Names in a directory are unique.
static int32_t fncfindsortposition(const char *sname) {
    int32_t klow = 0;
    int32_t khigh = static_cast<int32_t>(isortdevices.count) - 1;
    while (klow <= khigh) {
        int32_t kmid = klow + (khigh - klow) / 2;
        int ncmp = strcmp(fncdirentryname(fncsortorder()[kmid]), sname);
        if (ncmp == 0)
            return kmid;
        if (ncmp < 0)
            klow = kmid + 1;
        else
            khigh = kmid - 1;
    }
    return -1;
}

// Marks every partition entry of the visited disk's own directory, so that
// the walk never takes one for a whole disk. Counting positions instead
// would fail whenever another disk's name sorts between a disk and its
// partitions (mmcblk0, mmcblk0boot0, mmcblk0p1).
static void fncmarkpartitionentries() {
    uint8_t *bskip = static_cast<uint8_t *>(iskipdevices.data);
    for (kmarkblkpart = 0; kmarkblkpart < nblkpartentries; kmarkblkpart++) {
        kpartsortpos = fncfindsortposition(
            fncdirnamerec(&idirpartentry, static_cast<uint32_t>(kmarkblkpart))->name);
        if (kpartsortpos != -1)
            bskip[kpartsortpos] = 1;
    }
}

// Builds the disk's base path, loads its partition entries and makes and
// fills its record.
static void fncvisitwholedisk() {
    const dirnamerec *idisk =
        fncdirnamerec(&idirdeventry, static_cast<uint32_t>(fncsortorder()[kscanblkdev]));
    ncdevrootname = idisk->length;
    sdevrootname = idisk->name;
    memcpy(sdevrootpath + ncsysblockprefix, idisk->name, static_cast<size_t>(ncdevrootname) + 1);
    ncfilename = ncsysblockprefix + ncdevrootname;
    // In sysfs a partition is a subdirectory of its disk named after the disk.
    loaddirdatareaddirvers(sdevrootpath, &idirpartentry, sdevrootname, ncdevrootname);
    nblkpartentries = static_cast<int32_t>(idirpartentry.count);
    fncmarkpartitionentries();
    createpartrecord();
    fncprobesysfsdevice();
    fncreadudevproperties();
    ipartrootrec->kdevsortix = kscanblkdev;
}

void fncscanblockdevices() {
    sdevrootpath[ncsysblockprefix] = '\0';
    loaddirdatareaddirvers(sdevrootpath, &idirdeventry, nullptr, 0);
    if (idirdeventry.count >= 1)
        fncmergesortdirnames();
    deleteandresetloopptrstructure(&ipartdata);
    if (idirdeventry.count == 0)
        return;
    deleteandresetloopptrstructure(&iskipdevices);
    resizeloopptrstructure(&iskipdevices, idirdeventry.count, 1);
    memset(iskipdevices.data, 0, idirdeventry.count);
    const uint8_t *bskip = static_cast<const uint8_t *>(iskipdevices.data);
    for (kscanblkdev = 0; static_cast<uint32_t>(kscanblkdev) < idirdeventry.count; kscanblkdev++) {
        if (bskip[kscanblkdev] == 0)
            fncvisitwholedisk();
    }
    deleteandresetloopptrstructure(&iskipdevices);
}
