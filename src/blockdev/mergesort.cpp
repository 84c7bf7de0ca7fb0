// Name-ordered index merge sort: a bottom-up merge over lists of indexes,
// every pass writing a level of its own, stable on equal names.
#include "blockdev/blockdev.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

int32_t noutelem;
int32_t nmaxlevsortdata;
int32_t nmaxdimsortdata;
int32_t klevsort;
int32_t klevnxtsrt;
int32_t kposvar;
int32_t ksrtixstop;
int32_t ksrtscna;
int32_t ksrtscnb;
int32_t kstrmid;
int32_t ksrtmrg;
int32_t nsrtgrp;
int32_t nsrtnxg;
int32_t ksrtout;

const char *fncdirentryname(int32_t k) {
    return fncdirnamerec(&idirdeventry, static_cast<uint32_t>(k))->name;
}

static loopptrstructure *fncsortslot(int32_t kslot) {
    return fncnestedslot(&imergrespt, static_cast<uint32_t>(kslot));
}

static int32_t *fncsortlevel(int32_t klevel) {
    return static_cast<int32_t **>(fncsortslot(1)->data)[klevel];
}

// The three workspace slots: level storage, level table, result view.
static void fnccreatesortworkspace() {
    imergrespt.kind = -1;
    resizeloopptrstructure(&imergrespt, 3, sizeof(loopptrstructure));
    memset(imergrespt.data, 0, 3 * sizeof(loopptrstructure));
    // ceil(log2 n) is exact in double for every 32-bit count.
    nmaxlevsortdata = static_cast<int32_t>(ceil(log2(static_cast<double>(noutelem))));
    nmaxdimsortdata = noutelem * nmaxlevsortdata;
    resizeloopptrstructure(fncsortslot(0), static_cast<uint32_t>(nmaxdimsortdata), sizeof(int32_t));
    resizeloopptrstructure(fncsortslot(1), static_cast<uint32_t>(nmaxlevsortdata),
                           sizeof(int32_t *));
    int32_t *istorage = static_cast<int32_t *>(fncsortslot(0)->data);
    for (kposvar = 0; kposvar < nmaxlevsortdata; kposvar++)
        static_cast<int32_t **>(fncsortslot(1)->data)[kposvar] =
            istorage + static_cast<ptrdiff_t>(kposvar) * noutelem;
}

// Level 0: neighbouring pairs in order; with an odd count the last entry
// stands alone.
static void fncsortpairpass() {
    int32_t *ilevel = fncsortlevel(0);
    ksrtixstop = noutelem - 1;
    for (ksrtscna = 0; ksrtscna < ksrtixstop; ksrtscna += 2) {
        ksrtscnb = ksrtscna + 1;
        bool bswap = strcmp(fncdirentryname(ksrtscna), fncdirentryname(ksrtscnb)) > 0;
        ilevel[ksrtscna] = bswap ? ksrtscnb : ksrtscna;
        ilevel[ksrtscnb] = bswap ? ksrtscna : ksrtscnb;
    }
    if (ksrtscna == ksrtixstop)
        ilevel[ksrtscna] = ksrtscna;
}

// Merges runs of nsrtgrp of level klevsort into runs of nsrtnxg of level
// klevnxtsrt. On equal names the left run wins, which keeps the sort stable.
static void fncsortmergepass() {
    const int32_t *isrc = fncsortlevel(klevsort);
    int32_t *idst = fncsortlevel(klevnxtsrt);
    ksrtout = 0;
    ksrtmrg = 0;
    while (ksrtmrg < noutelem) {
        ksrtscna = ksrtmrg;
        kstrmid = std::min(ksrtscna + nsrtgrp, noutelem);
        ksrtscnb = kstrmid;
        ksrtmrg = std::min(ksrtscna + nsrtnxg, noutelem);
        while (ksrtscna < kstrmid && ksrtscnb < ksrtmrg) {
            if (strcmp(fncdirentryname(isrc[ksrtscna]), fncdirentryname(isrc[ksrtscnb])) > 0)
                idst[ksrtout++] = isrc[ksrtscnb++];
            else
                idst[ksrtout++] = isrc[ksrtscna++];
        }
        for (kposvar = ksrtscna; kposvar < kstrmid; kposvar++)
            idst[ksrtout++] = isrc[kposvar];
        for (kposvar = ksrtscnb; kposvar < ksrtmrg; kposvar++)
            idst[ksrtout++] = isrc[kposvar];
    }
}

// Runs the passes; returns the level holding the final order (n >= 2).
static int32_t fncsortallpasses() {
    fncsortpairpass();
    if (noutelem == 2)
        return 0;
    nsrtgrp = 2;
    nsrtnxg = 4;
    for (;;) {
        fncsortmergepass();
        if (nsrtnxg >= noutelem)
            return klevnxtsrt;
        nsrtgrp = nsrtnxg;
        nsrtnxg = 2 * nsrtgrp;
        klevsort = klevnxtsrt;
        klevnxtsrt++;
    }
}

void fncmergesortdirnames() {
    deleteandresetloopptrstructure(&isortdevices);
    noutelem = static_cast<int32_t>(idirdeventry.count);
    fnccreatesortworkspace();
    klevsort = 0;
    klevnxtsrt = 1;
    resizeloopptrstructure(&isortdevices, static_cast<uint32_t>(noutelem), sizeof(int32_t));
    int32_t *iorder = static_cast<int32_t *>(isortdevices.data);
    if (noutelem == 1) {
        iorder[0] = 0;
    } else {
        // The result view borrows the final level; slot 0 owns the storage.
        fncsortslot(2)->data = fncsortlevel(fncsortallpasses());
        memcpy(iorder, fncsortslot(2)->data, static_cast<size_t>(noutelem) * sizeof(int32_t));
    }
    deleteandresetloopptrstructure(&imergrespt);
}
