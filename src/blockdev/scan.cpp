// Enumeration of /sys/class/block/ and the whole-disk walk.
#include "blockdev/blockdev.h"

#include "main/main.h"

#include <cerrno>
#include <cstring>

partrootrec *ipartrootrec;
DIR *ildrfpthndl;
struct dirent *ildrfptrrec;
int32_t kscanblkdev;
int32_t ncfilename;
const char *sdevrootname;
int32_t ncdevrootname;
int32_t nscanblkpart;
int32_t kscanblkpart;
int32_t ktmpres;
loopptrstructure iskipdevices;

static const char sloadermessage[] = "ERROR: loaddirdatareaddirvers readdir failed ";

// "." and ".." only; other names beginning with a dot are ordinary entries.
static bool fncisdotentry(const char *sname, size_t nlen) {
    return sname[0] == '.' && (nlen == 1 || (nlen == 2 && sname[1] == '.'));
}

static void fncappenddirname(loopptrstructure *itarget, const char *sname, size_t nlen) {
    uint32_t kslot = itarget->count;
    resizeloopptrstructure(itarget, kslot + 1, sizeof(dirnamerec));
    dirnamerec *irec = &static_cast<dirnamerec *>(itarget->data)[kslot];
    irec->length = static_cast<uint8_t>(nlen);
    memcpy(irec->name, sname, nlen + 1);
}

void loaddirdatareaddirvers(const char *sdirpath, loopptrstructure *itarget, const char *sprefix,
                            int32_t nprefix) {
    deleteandresetloopptrstructure(itarget);
    ildrfpthndl = opendir(sdirpath);
    if (ildrfpthndl == nullptr)
        return;
    for (;;) {
        errno = 0;
        ildrfptrrec = readdir(ildrfpthndl);
        if (ildrfptrrec == nullptr)
            break;
        const char *sname = ildrfptrrec->d_name;
        // Local file systems keep names to 255 bytes, but FUSE ones (NTFS,
        // exFAT, sshfs) can return up to 1,024, past the end of d_name's
        // declared size: such a name fits no dirnamerec and is left out.
        size_t nlen = strlen(sname);
        if (nlen >= sizeof(dirnamerec::name) || fncisdotentry(sname, nlen))
            continue;
        if (sprefix != nullptr && strncmp(sname, sprefix, static_cast<size_t>(nprefix)) != 0)
            continue;
        fncappenddirname(itarget, sname, nlen);
    }
    if (errno != 0)
        wrlog(sloadermessage);
    closedir(ildrfpthndl);
    ildrfpthndl = nullptr;
}

static const char *fncdevicename(int32_t kentry) {
    return static_cast<dirnamerec *>(idirdeventry.data)[kentry].name;
}

static int32_t *fncsortorder() {
    return static_cast<int32_t *>(isortdevices.data);
}

// Position of sname in isortdevices, or -1. Names in a directory are unique.
static int32_t fncfindsortposition(const char *sname) {
    int32_t klow = 0;
    int32_t khigh = static_cast<int32_t>(isortdevices.count) - 1;
    while (klow <= khigh) {
        int32_t kmid = klow + (khigh - klow) / 2;
        int ncmp = strcmp(fncdevicename(fncsortorder()[kmid]), sname);
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
    const dirnamerec *ipart = static_cast<const dirnamerec *>(idirpartentry.data);
    for (kscanblkpart = 0; kscanblkpart < nscanblkpart; kscanblkpart++) {
        ktmpres = fncfindsortposition(ipart[kscanblkpart].name);
        if (ktmpres != -1)
            bskip[ktmpres] = 1;
    }
}

// Builds the disk's base path, loads its partition entries and makes and
// fills its record.
static void fncvisitwholedisk() {
    dirnamerec *idisk = &static_cast<dirnamerec *>(idirdeventry.data)[fncsortorder()[kscanblkdev]];
    ncdevrootname = idisk->length;
    sdevrootname = idisk->name;
    memcpy(sdevrootpath + ncsysblockprefix, idisk->name, static_cast<size_t>(ncdevrootname) + 1);
    ncfilename = ncsysblockprefix + ncdevrootname;
    // In sysfs a partition is a subdirectory of its disk named after the disk.
    loaddirdatareaddirvers(sdevrootpath, &idirpartentry, sdevrootname, ncdevrootname);
    nscanblkpart = static_cast<int32_t>(idirpartentry.count);
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
    for (uint32_t k = 0; k < ipartdata.count; k++)
        deletepartrecord(k);
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
