// The drive table and the target prompt.
#include "copy/copy.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

partrootrec *ipartinfrec;
int32_t navaildevnodes;
int32_t kscanphysdrv;
char sdispdevname[256];
char sdispvendor[16];
char sdispmodel[16];

// The logical sector size the copy pads to.
static const int32_t ndefaultsectorsize = 512;

static partrootrec *fncdriverecord(uint32_t kslot) {
    return static_cast<partrootrec *>(static_cast<loopptrstructure *>(ipartdata.data)[kslot].data);
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
    if (nblocksize != 0 && nblocksize != ndefaultsectorsize) {
        printf("WARNING : drive %d logical sector size %d different than default %d\n",
               static_cast<int>(kslot), nblocksize, ndefaultsectorsize);
        fflush(stdout);
    }
}

void fncprintdrivetable() {
    fncprepareavailability();
    uint8_t *bavail = static_cast<uint8_t *>(iavaildevnodes.data);
    for (uint32_t kslot = 0; kslot < ipartdata.count; kslot++) {
        const partrootrec *irec = fncdriverecord(kslot);
        if (!fncisrecordwritable(irec))
            continue;
        fncprintdriveline(kslot, irec);
        bavail[kslot] = 1;
        navaildevnodes++;
    }
    if (navaildevnodes == 0)
        fncabortwithmessage("ERROR: no physical device nodes found,aborting\n");
}

void fncselecttargetdrive() {
    fputs("enter drive device index or q to abort (WARNING: all data will be lost !) : ", stdout);
    fflush(stdout);
    // A number beyond 32 bits is refused by the reader, never wrapped.
    bool bvalid = fncreadconsolenumber(&kscanphysdrv) == 1 && kscanphysdrv >= 0 &&
                  static_cast<uint32_t>(kscanphysdrv) < ipartdata.count &&
                  static_cast<uint8_t *>(iavaildevnodes.data)[kscanphysdrv] == 1;
    if (!bvalid)
        fncabortwithmessage("ERROR: invalid drive selection,aborting\n");
    ipartinfrec = fncdriverecord(static_cast<uint32_t>(kscanphysdrv));
}
