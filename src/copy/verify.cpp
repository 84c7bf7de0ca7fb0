// Read-back of the copy: the first and the last chunk written are read from
// the device again and compared with what was written. A counterfeit stick
// that holds less than it reports either wraps writes past its real size onto
// its start (the first chunk reads back overwritten) or drops them (the last
// chunk reads back wrong), while acknowledging every write and flush.
#include "copy/copy.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

uint64_t nfirstchunksum;
int32_t nfirstchunklen;
int32_t nlastchunklen;
int32_t kfdverify = -1;
struct stat rstverifystats;

// An odd 64-bit constant (the golden ratio's fraction): multiplying by it
// spreads every input bit over the upper bits.
static const uint64_t nchecksumprime = 0x9E3779B97F4A7C15ULL;

// One step of a lane: the value folded in, then spread by the multiply.
static uint64_t fncchecksumstep(uint64_t nlane, uint64_t nvalue) {
    return (nlane ^ nvalue ^ (nvalue >> 29)) * nchecksumprime;
}

uint64_t fncchecksum64(const char *sdata, size_t n) {
    // Four independent lanes over 8-byte words keep the multiplier busy; the
    // tail is taken byte by byte.
    uint64_t nlane[4] = {n, n ^ 1, n ^ 2, n ^ 3};
    size_t k = 0;
    for (; k + 32 <= n; k += 32) {
        for (size_t klane = 0; klane < 4; klane++) {
            uint64_t nword;
            memcpy(&nword, sdata + k + 8 * klane, sizeof nword);
            nlane[klane] = fncchecksumstep(nlane[klane], nword);
        }
    }
    for (; k < n; k++)
        nlane[k % 4] = fncchecksumstep(nlane[k % 4], static_cast<unsigned char>(sdata[k]));
    return fncchecksumstep(fncchecksumstep(fncchecksumstep(nlane[0], nlane[1]), nlane[2]),
                           nlane[3]);
}

void fncnotechunkwritten() {
    nlastchunklen = nchunkaccepted;
    if (kpipwrpos != static_cast<uint64_t>(nchunkaccepted))
        return;
    nfirstchunklen = nchunkaccepted;
    nfirstchunksum = fncchecksum64(srdpipetxttmp, static_cast<size_t>(nchunkaccepted));
}

// Whether the n bytes at koffset of the device read back with checksum nsum.
static bool fncreadbackmatches(uint64_t koffset, int32_t n, uint64_t nsum) {
    if (lseek(kfdverify, static_cast<off_t>(koffset), SEEK_SET) == -1 ||
        fncreadfull(kfdverify, srdpipetxttmp, static_cast<size_t>(n)) != n)
        return false;
    return fncchecksum64(srdpipetxttmp, static_cast<size_t>(n)) == nsum;
}

int32_t fncverifyreadback() {
    if (kpipwrpos == 0)
        return 1;
    // The copy buffer still holds the last chunk: the read that found the
    // end of the image read nothing into it.
    uint64_t nlastsum = fncchecksum64(srdpipetxttmp, static_cast<size_t>(nlastchunklen));
    uint64_t klastoffset = kpipwrpos - static_cast<uint64_t>(nlastchunklen);
    kfdverify = open(ipartinfrec->sdevpath, O_RDONLY);
    if (kfdverify == -1)
        return 0;
    // The node must still be the disk written, not one put in its place.
    // The disk's whole page cache is dropped, so that the reads reach the
    // device rather than the pages the copy wrote: dropping only a chunk's
    // range keeps the pages and large folios that straddle its ends. After
    // the last flush every cached page is clean, so nothing is lost.
    bool bgood = fstat(kfdverify, &rstverifystats) == 0 && S_ISBLK(rstverifystats.st_mode) &&
                 rstverifystats.st_rdev == rsttargetstats.st_rdev &&
                 posix_fadvise(kfdverify, 0, 0, POSIX_FADV_DONTNEED) == 0 &&
                 fncreadbackmatches(klastoffset, nlastchunklen, nlastsum) &&
                 (klastoffset == 0 || fncreadbackmatches(0, nfirstchunklen, nfirstchunksum));
    // Only read: a failing close loses nothing.
    (void)close(kfdverify);
    kfdverify = -1;
    return bgood ? 1 : 0;
}
