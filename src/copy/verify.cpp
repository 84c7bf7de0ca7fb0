// The read-back: what the copy must find again on the disk after its last
// flush, and in the image. A counterfeit stick that holds less than it
// reports wraps writes past its real size onto its start or drops them,
// reading zeros there; a failing card loses a region anywhere; each of them
// acknowledges every write and flush. So the first and the last chunk are
// kept whole, and every other chunk is sampled with a page at most
// nsamplereach bytes after the one before, a page holding a byte other than
// zero where the chunk has one. Each region's checksum is taken from the copy
// buffer as the chunk is written; after the copy the regions are read again,
// in offset order, from the disk past every cache and from the image.
#include "copy/copy.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

verifyunitrec iverifyunits[nverifyunitsmax];
uint32_t nverifyunits;
uint32_t nfirstchunkunits;
uint64_t ksamplelast;
int32_t nthinlevel;
uint64_t nimagesum;
int32_t nlastchunklen;
int32_t nverifyalign;
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

void fncfoldchunksum(uint64_t *pnfold, const char *schunk, size_t n) {
    *pnfold = fncchecksumstep(*pnfold, fncchecksum64(schunk, n));
}

// Whether the page at s holds a byte other than zero.
static bool fncpagenonzero(const char *s) {
    for (int32_t k = 0; k < nsamplepagesize; k += 8) {
        uint64_t nword;
        memcpy(&nword, s + k, sizeof nword);
        if (nword != 0)
            return true;
    }
    return false;
}

// The furthest offset at which the next sampled page may start.
static uint64_t fncsamplereach() {
    return ksamplelast + (nsamplereach << nthinlevel);
}

// Halves the samples, keeping every second one and the first chunk's
// regions, and doubles the spacing of those still to come: the table is
// static, so a very large image is sampled more thinly rather than not at all.
static void fncthinsamples() {
    uint32_t nkept = nfirstchunkunits;
    for (uint32_t k = nfirstchunkunits + 1; k < nverifyunits; k += 2)
        iverifyunits[nkept++] = iverifyunits[k];
    nverifyunits = nkept;
    nthinlevel++;
    const verifyunitrec &ilast = iverifyunits[nverifyunits - 1];
    ksamplelast = ilast.koffset + ilast.nlength - nsamplepagesize;
}

// Appends the region of n bytes at koffset on the disk, which the copy buffer
// holds at sdata.
static void fncaddverifyunit(uint64_t koffset, const char *sdata, uint32_t n) {
    iverifyunits[nverifyunits++] = {koffset, fncchecksum64(sdata, n), n};
}

// The chunk of n bytes at kchunk, held by the copy buffer, as regions of at
// most nwholeunitsize bytes: the read-back compares it whole.
static void fncaddwholechunk(uint64_t kchunk, uint32_t n) {
    for (uint32_t k = 0; k < n; k += nwholeunitsize)
        fncaddverifyunit(kchunk + k, srdpipetxttmp + k, std::min(n - k, nwholeunitsize));
    ksamplelast = kchunk + n - std::min(n, static_cast<uint32_t>(nsamplepagesize));
}

// The page furthest on from klow to kfar, a page at a time back from kfar,
// that holds a byte other than zero; kfar when none does. The chunk at
// kchunk is in the copy buffer; klow lies in it, past its first page.
static uint64_t fncdatapage(uint64_t kchunk, uint64_t klow, uint64_t kfar) {
    for (uint64_t kpage = kfar; kpage >= klow; kpage -= nsamplepagesize)
        if (fncpagenonzero(srdpipetxttmp + (kpage - kchunk)))
            return kpage;
    return kfar;
}

// Samples the chunk of n bytes at kchunk until the next sample may lie past
// its end. Each page is the one furthest on, within reach of the one before,
// that holds a byte other than zero; the page at the reach when none does.
// Chunks start on sector boundaries, and so do the pages. The table keeps
// room for the last chunk's regions.
static void fncsamplechunk(uint64_t kchunk, uint32_t n) {
    const uint64_t kend = kchunk + n;
    while (fncsamplereach() < kend) {
        if (nverifyunits + nchunkunitsmax >= nverifyunitsmax) {
            fncthinsamples();
            continue;
        }
        const uint64_t kfar = std::min(fncsamplereach(), kend - nsamplepagesize);
        const uint64_t kpage =
            fncdatapage(kchunk, std::max(kchunk, ksamplelast + nsamplepagesize), kfar);
        fncaddverifyunit(kpage, srdpipetxttmp + (kpage - kchunk), nsamplepagesize);
        ksamplelast = kpage;
    }
}

void fncnotechunkwritten() {
    const uint64_t kchunk = kpipwrpos;
    const uint32_t n = static_cast<uint32_t>(nchunkaccepted);
    nlastchunklen = nchunkaccepted;
    if (S_ISREG(rstimgopenstats.st_mode))
        fncfoldchunksum(&nimagesum, srdpipetxttmp, n);
    if (kchunk == 0) {
        nverifyunits = 0;
        nthinlevel = 0;
        fncaddwholechunk(0, n);
        nfirstchunkunits = nverifyunits;
    } else if (n >= static_cast<uint32_t>(nsamplepagesize)) {
        fncsamplechunk(kchunk, n);
    }
}

void fncfinishverifyunits() {
    const uint64_t klast = kpipwrpos - static_cast<uint64_t>(nlastchunklen);
    if (kpipwrpos == 0 || klast == 0)
        return;
    while (nverifyunits > nfirstchunkunits && iverifyunits[nverifyunits - 1].koffset >= klast)
        nverifyunits--;
    fncaddwholechunk(klast, static_cast<uint32_t>(nlastchunklen));
}

// Reads the n bytes at koffset of kfd into the copy buffer, the read widened
// to whole blocks of nverifyalign bytes, as O_DIRECT needs its offsets and
// lengths. With bpadend, bytes past the file's end read as zeros (the
// padding of an image's last chunk); else a read that ends short fails.
// Returns where the n bytes start in the buffer, or nullptr with errno set.
static const char *fncreadrange(int kfd, uint64_t koffset, uint32_t n, bool bpadend) {
    const uint64_t nalign = static_cast<uint64_t>(nverifyalign);
    const uint64_t kstart = koffset / nalign * nalign;
    const size_t nspan = (koffset + n - kstart + nalign - 1) / nalign * nalign;
    if (lseek(kfd, static_cast<off_t>(kstart), SEEK_SET) == -1)
        return nullptr;
    const ssize_t nread = fncreadfull(kfd, srdpipetxttmp, nspan);
    if (nread == -1)
        return nullptr;
    if (static_cast<size_t>(nread) < nspan) {
        if (!bpadend) {
            errno = EIO;
            return nullptr;
        }
        memset(srdpipetxttmp + nread, 0, nspan - static_cast<size_t>(nread));
    }
    return srdpipetxttmp + (koffset - kstart);
}

// Whether every region reads back from kfd with the checksum it was written
// with.
static bool fncunitsmatch(int kfd, bool bpadend) {
    for (uint32_t k = 0; k < nverifyunits; k++) {
        const verifyunitrec &iunit = iverifyunits[k];
        const char *sdata = fncreadrange(kfd, iunit.koffset, iunit.nlength, bpadend);
        if (sdata == nullptr || fncchecksum64(sdata, iunit.nlength) != iunit.nsum)
            return false;
    }
    return true;
}

bool fncimageunitsmatch() {
    nverifyalign = ncsectorsize;
    // The samples are far apart: readahead around each would read the image
    // many times over where it has left the page cache. Only a hint.
    posix_fadvise(imgfilehndl, 0, 0, POSIX_FADV_RANDOM);
    return fncunitsmatch(imgfilehndl, true);
}

// Opens the target for the read-back into kfdverify. O_DIRECT reads reach the
// device: neither the page cache nor another process's mapping of the disk
// can answer for it. A device that refuses O_DIRECT (EINVAL) is read through
// the page cache instead, after the disk's whole cache is dropped: dropping
// only a chunk's range keeps the pages and large folios that straddle its
// ends, and pages another process maps stay whatever is dropped. After the
// last flush every cached page is clean, so nothing is lost.
static bool fncopenverify() {
    kfdverify = open(ipartinfrec->sdevpath, O_RDONLY | O_DIRECT);
    if (kfdverify == -1 && errno == EINVAL) {
        kfdverify = open(ipartinfrec->sdevpath, O_RDONLY);
        return kfdverify != -1 && posix_fadvise(kfdverify, 0, 0, POSIX_FADV_DONTNEED) == 0;
    }
    return kfdverify != -1;
}

int32_t fncverifyreadback() {
    if (kpipwrpos == 0)
        return 1;
    // The node must still be the disk written, not one put in its place.
    // Reads are widened to its logical block size.
    int nblocksize = 0;
    bool bgood = fncopenverify() && fstat(kfdverify, &rstverifystats) == 0 &&
                 S_ISBLK(rstverifystats.st_mode) &&
                 rstverifystats.st_rdev == rsttargetstats.st_rdev &&
                 ioctl(kfdverify, BLKSSZGET, &nblocksize) == 0;
    nverifyalign = nblocksize;
    bgood = bgood && fncunitsmatch(kfdverify, false);
    if (kfdverify != -1) {
        // Only read: a failing close loses nothing.
        (void)close(kfdverify);
        kfdverify = -1;
    }
    return bgood ? 1 : 0;
}
