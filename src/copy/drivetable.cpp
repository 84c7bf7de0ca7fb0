// The drive table and the target prompt.
#include "copy/copy.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <termios.h>
#include <unistd.h>

partrootrec *ipartinfrec;
int32_t navaildevnodes;
int32_t kscanphysdrv;
char sdispdevname[256];
char sdispvendor[16];
char sdispmodel[16];

// DEVTYPE of a whole disk; a partition says "partition".
static const char sdevtypedisk[] = "disk";

// Whether the table lists the record: a whole disk with a capacity and a
// node to open, not hidden. A partition entry that its disk's directory no
// longer lists (the table changed between two reads) is visited as a disk,
// but never offered; nor is a hidden path of a multipath disk, which has no
// node of its own.
static bool fncisrecordlisted(const partrootrec *irec) {
    return irec->ncapacity != 0 && irec->sdevpath[0] != '\0' && irec->bhidden == 0 &&
           strcmp(irec->sdevtype, sdevtypedisk) == 0;
}

// One availability byte per entry of /sys/class/block/, all 0: there are
// never more whole disks than entries.
static void fncprepareavailability() {
    if (iavaildevnodes.count != 0 || idirdeventry.count == 0)
        return;
    resizeloopptrstructure(&iavaildevnodes, idirdeventry.count, 1);
    memset(iavaildevnodes.data, 0, iavaildevnodes.count);
}

void fncmaskdrivetexts(const partrootrec *irec) {
    fncmaskedcopy(sdispdevname, sizeof sdispdevname, irec->sdevname);
    fncmaskedcopy(sdispvendor, sizeof sdispvendor, irec->svendor);
    fncmaskedcopy(sdispmodel, sizeof sdispmodel, irec->smodel);
}

static void fncprintdriveline(uint32_t kslot, const partrootrec *irec) {
    fncmaskdrivetexts(irec);
    printf("%d %s %s %s capacity %" PRIu64 " (%f GB) usb_bus: %s\n", static_cast<int>(kslot),
           sdispdevname, sdispvendor, sdispmodel, irec->ncapacity,
           static_cast<double>(irec->ncapacity) / 1e9,
           strcmp(irec->sid_bus, "usb") == 0 ? "yes" : "no");
    fflush(stdout);
    int32_t nblocksize = irec->idevext->nlogblocksize;
    if (nblocksize != 0 && nblocksize != ncsectorsize) {
        printf("WARNING : drive %d logical sector size %d different than default %d\n",
               static_cast<int>(kslot), nblocksize, ncsectorsize);
        fflush(stdout);
    }
}

void fncprintdrivetable() {
    fncprepareavailability();
    uint8_t *bavail = static_cast<uint8_t *>(iavaildevnodes.data);
    for (uint32_t kslot = 0; kslot < ipartdata.count; kslot++) {
        const partrootrec *irec = fncpartrecord(kslot);
        if (!fncisrecordlisted(irec))
            continue;
        fncprintdriveline(kslot, irec);
        bavail[kslot] = 1;
        navaildevnodes++;
    }
    if (navaildevnodes == 0)
        fncabortwithmessage("ERROR: no physical device nodes found,aborting\n");
}

// Discards what was typed at the terminal before the table was shown, so
// that only a key pressed after reading it can choose a disk. Input from a
// pipe or a file is an answer prepared on purpose and stays.
static void fncdiscardtypeahead() {
    if (isatty(iofdrecproc.kfdin) == 1)
        // Failing, it leaves the typed keys: the answer is read as before.
        (void)tcflush(iofdrecproc.kfdin, TCIFLUSH);
}

void fncselecttargetdrive() {
    fncdiscardtypeahead();
    fputs("enter drive device index or q to abort (WARNING: all data will be lost !) : ", stdout);
    fflush(stdout);
    // A number beyond 32 bits is refused by the reader, never wrapped.
    bool bvalid = fncreadconsolenumber(&kscanphysdrv) == 1 && kscanphysdrv >= 0 &&
                  static_cast<uint32_t>(kscanphysdrv) < ipartdata.count &&
                  static_cast<uint8_t *>(iavaildevnodes.data)[kscanphysdrv] == 1;
    if (!bvalid)
        fncabortwithmessage("ERROR: invalid drive selection,aborting\n");
    ipartinfrec = fncpartrecord(static_cast<uint32_t>(kscanphysdrv));
}
