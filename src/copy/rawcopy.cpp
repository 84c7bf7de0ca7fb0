// The raw image copy engine: the target opened exclusively once it proves to
// be the listed disk; the image onto it from offset 0, chunk by chunk, each
// chunk flushed to the device before the next is read; then the image checked
// for changes and the disk read back.
#include "copy/copy.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

struct stat rstfilecheckstats;
alignas(4096) char srdpipetxttmp[ncopychunksize];
const char iblnkdisksectarray[ncsectorsize] = {};
int32_t dwRead;
int32_t kremwrdatsect;
uint64_t kpipwrpos;
double xtotsrcrawdataszprc;
double xrawwrtpercprog;
uint64_t kimgrdpos;
int32_t nchunkaccepted;
int32_t nerrnocopy;
struct stat rstimgopenstats;
struct stat rsttargetstats;
uint64_t ntargetdiskseq;
struct stat rstimgendstats;
char ssysdevblockpath[64];
char sparentdiskdev[26];

// Reads the image's next chunk into srdpipetxttmp and leaves its length in
// dwRead: short only at the end of the image (a pipe yields at most what it
// holds per read, so the chunk is filled from as many reads as it takes), -1
// with errno set when a read fails (the chunk's bytes are dropped then: the
// copy fails anyway).
static void fncreadimagechunk() {
    dwRead = static_cast<int32_t>(fncreadfull(imgfilehndl, srdpipetxttmp, ncopychunksize));
    if (dwRead > 0)
        kimgrdpos += static_cast<uint64_t>(dwRead);
}

// Completes the chunk with zero bytes to the next multiple of 512. The chunk
// size is a multiple of 512, so a padded chunk never outgrows the buffer.
static void fncpadchunk() {
    kremwrdatsect = dwRead % ncsectorsize;
    if (kremwrdatsect == 0)
        return;
    memcpy(srdpipetxttmp + dwRead, iblnkdisksectarray, ncsectorsize - kremwrdatsect);
    dwRead += ncsectorsize - kremwrdatsect;
}

// Writes the dwRead bytes of the chunk and leaves in nchunkaccepted the bytes
// the device took. berrproc is 1 when it took all of them, 0 with nerrnocopy
// set when a write was refused (ENOSPC past the device's end) or took
// nothing.
static void fncwritechunk() {
    nchunkaccepted =
        static_cast<int32_t>(fncwriteall(iphysdrvhndl, srdpipetxttmp, static_cast<size_t>(dwRead)));
    berrproc = nchunkaccepted == dwRead ? 1 : 0;
    dwiotkn = berrproc == 1 ? nchunkaccepted : -1;
    if (berrproc == 0)
        nerrnocopy = errno;
}

// Starts the read-ahead of the image's next chunk, so that the disk holding
// the image reads it while the target is being flushed. A pipe refuses the
// hint (ESPIPE); it is only a hint.
static void fncadviseimagereadahead() {
    posix_fadvise(imgfilehndl, static_cast<off_t>(kimgrdpos), ncopychunksize, POSIX_FADV_WILLNEED);
}

// fsync of the target: returns 0, or -1 with errno set. An EIO or ENOSPC
// means the chunk may not be on the device; retrying would report success
// falsely, as the kernel reports a writeback error to fsync only once.
static int fncflushtarget() {
    int nrc;
    do
        nrc = fsync(iphysdrvhndl);
    while (nrc == -1 && errno == EINTR);
    return nrc;
}

// Drops the chunk just flushed from the device's page cache: it is on the
// device now, and a device-sized image would otherwise push the rest of the
// cache out.
static void fncdropflushedrange() {
    posix_fadvise(iphysdrvhndl, static_cast<off_t>(kpipwrpos - nchunkaccepted), nchunkaccepted,
                  POSIX_FADV_DONTNEED);
}

// Starts the device's writeback of the chunk just written, so that the
// device works while the read-back's checksums of the chunk are taken. Only
// a start: the flush that follows waits for it and reports its errors.
static void fncstartwriteback() {
    (void)sync_file_range(iphysdrvhndl, static_cast<off_t>(kpipwrpos), nchunkaccepted,
                          SYNC_FILE_RANGE_WRITE);
}

static void fncprintprogress() {
    xrawwrtpercprog = 100.0;
    if (xtotsrcrawdataszprc > 0.0)
        xrawwrtpercprog = static_cast<double>(kpipwrpos) / xtotsrcrawdataszprc;
    if (xrawwrtpercprog > 100.0)
        xrawwrtpercprog = 100.0;
    printf("\rraw data copy written %.2f %% \t%.5f GB ", xrawwrtpercprog,
           static_cast<double>(kpipwrpos) / 1e9);
    fflush(stdout);
}

// One chunk through write and flush. Counts the bytes the device accepted
// once they are flushed; a chunk whose flush failed is not counted. Returns
// 1 to go on, 0 after "WriteFile failed\n" has been logged.
static int fnccopychunk() {
    fncpadchunk();
    fncwritechunk();
    if (berrproc == 1) {
        fncstartwriteback();
        fncadviseimagereadahead();
        fncnotechunkwritten();
    }
    if (fncflushtarget() == 0) {
        kpipwrpos += static_cast<uint64_t>(nchunkaccepted);
        fncdropflushedrange();
    } else if (berrproc == 1) {
        nerrnocopy = errno;
        berrproc = 0;
    }
    if (berrproc == 0) {
        errno = nerrnocopy;
        wrlog("WriteFile failed\n");
        return 0;
    }
    fncprintprogress();
    return 1;
}

// Reads the whole image again, chunk by chunk as the copy did, and tells
// whether it yields the same bytes: as many as were copied, with the same
// checksums.
static bool fncimagerereadmatches() {
    const uint64_t ncopied = kimgrdpos;
    uint64_t nfold = 0;
    kimgrdpos = 0;
    if (lseek(imgfilehndl, 0, SEEK_SET) == -1)
        return false;
    for (;;) {
        fncreadimagechunk();
        if (dwRead <= 0)
            return dwRead == 0 && kimgrdpos == ncopied && nfold == nimagesum;
        fncpadchunk();
        fncfoldchunksum(&nfold, srdpipetxttmp, static_cast<size_t>(dwRead));
    }
}

// Whether the image is a regular file that no longer holds what was copied:
// it yielded another number of bytes than its size at open, or it differs
// at the places the read-back checks. A file cut short, still being written
// (a download, a build) or rewritten in place left the device holding parts
// of two images. Timestamps alone prove nothing: a rewrite within one tick
// of a coarse clock keeps them, and a touch or a chmod (through a copy-up)
// moves them with the content unchanged; so when the size or modification
// time moved, the whole image is read again. Pipes and devices have no such
// record.
static bool fncimagechanged() {
    if (!S_ISREG(rstimgopenstats.st_mode))
        return false;
    if (kimgrdpos != static_cast<uint64_t>(rstimgopenstats.st_size) ||
        fstat(imgfilehndl, &rstimgendstats) != 0)
        return true;
    if (rstimgendstats.st_size != rstimgopenstats.st_size ||
        rstimgendstats.st_mtim.tv_sec != rstimgopenstats.st_mtim.tv_sec ||
        rstimgendstats.st_mtim.tv_nsec != rstimgopenstats.st_mtim.tv_nsec)
        return !fncimagerereadmatches();
    return !fncimageunitsmatch();
}

// The copy loop over the open image and target; leaves berrproc set.
static void fnccopyloop() {
    xtotsrcrawdataszprc = static_cast<double>(rstfilecheckstats.st_size) / 100.0;
    berrproc = 1;
    kpipwrpos = 0;
    kimgrdpos = 0;
    posix_fadvise(imgfilehndl, 0, 0, POSIX_FADV_SEQUENTIAL);
    for (;;) {
        fncreadimagechunk();
        if (dwRead == 0) {
            fncfinishverifyunits();
            if (!fncimagechanged())
                return;
        }
        if (dwRead <= 0) {
            if (dwRead == 0)
                errno = EIO;
            wrlog("ReadFile failed\n");
            berrproc = 0;
            return;
        }
        if (fnccopychunk() == 0)
            return;
    }
}

static void fncannouncecopy() {
    if (stat(simgfilepath, &rstfilecheckstats) != 0)
        rstfilecheckstats.st_size = 0;
    fncmaskdrivetexts(ipartinfrec);
    printf(" writing image file %s size %lu to target drive %s %s %s size %lu ...\n",
           simgfiledisplay, static_cast<unsigned long>(rstfilecheckstats.st_size), sdispdevname,
           sdispvendor, sdispmodel, static_cast<unsigned long>(ipartinfrec->ncapacity));
    fflush(stdout);
}

// Whether the open target is the disk that was listed: a block device with
// the record's device number and, when the uevent named one, its disk
// sequence number. A name in /dev proves nothing: it may be a regular file
// left by a mistyped dd, a node with another disk's number, or a path that
// climbs out of /dev; and a stick swapped while the prompt waited comes back
// with the same name and number but a new sequence number.
static bool fnctargetislisteddisk() {
    if (fstat(iphysdrvhndl, &rsttargetstats) != 0 || !S_ISBLK(rsttargetstats.st_mode) ||
        rsttargetstats.st_rdev != makedev(static_cast<unsigned>(ipartinfrec->nmajor),
                                          static_cast<unsigned>(ipartinfrec->nminor)))
        return false;
    if (ipartinfrec->ndiskseq == 0)
        return true;
    // Kernels before 5.15 have no BLKGETDISKSEQ; drivers refuse unknown
    // ioctls with ENOTTY or EINVAL. Then only the device number is checked.
    if (ioctl(iphysdrvhndl, BLKGETDISKSEQ, &ntargetdiskseq) != 0)
        return errno == ENOTTY || errno == EINVAL;
    return ntargetdiskseq == ipartinfrec->ndiskseq;
}

// Reads the sysfs attribute sattr of the block device numbered kdev into
// sparentdiskdev; returns its length, 0 when there is none.
static int32_t fncreaddevattribute(dev_t kdev, const char *sattr) {
    snprintf(ssysdevblockpath, sizeof ssysdevblockpath, "%s%u:%u/%s", ssysdevblockroot, major(kdev),
             minor(kdev), sattr);
    return fncreadtextfile(ssysdevblockpath, sparentdiskdev, sizeof sparentdiskdev - 1);
}

// Whether the block device numbered kpart is a partition of the disk
// numbered kdisk: /sys/dev/block/MAJ:MIN of a partition holds a "partition"
// attribute, and its parent directory is its disk's, whose "dev" reads
// "MAJ:MIN".
static bool fncispartitionofdisk(dev_t kpart, dev_t kdisk) {
    if (fncreaddevattribute(kpart, "partition") == 0)
        return false;
    fncreaddevattribute(kpart, "../dev");
    char sdisk[24];
    snprintf(sdisk, sizeof sdisk, "%u:%u", major(kdisk), minor(kdisk));
    return strcmp(sparentdiskdev, sdisk) == 0;
}

// Whether the open image is the target disk or one of its partitions: the
// copy would overwrite what it is still to read. An image in a file system
// of the target never gets here: the exclusive open refused the disk.
static bool fncimageliesontarget() {
    if (!S_ISBLK(rstimgopenstats.st_mode))
        return false;
    return rstimgopenstats.st_rdev == rsttargetstats.st_rdev ||
           fncispartitionofdisk(rstimgopenstats.st_rdev, rsttargetstats.st_rdev);
}

// Opens the target's node write-only and exclusively: for a block device
// O_EXCL fails with EBUSY while the disk or one of its partitions is
// mounted, used as swap, part of an md or dm device, or opened exclusively
// by another program (a second kelpfall), and holds the disk against them
// until the teardown closes it. Nothing else: no O_CREAT (a missing node
// must not become a file in /dev), no O_TRUNC, O_SYNC or O_DIRECT. Leaves
// iphysdrvhndl -1, its message printed, when the open fails, the node is not
// the listed disk, or the image lies on it.
static void fncopentarget() {
    iphysdrvhndl = open(ipartinfrec->sdevpath, O_WRONLY | O_EXCL);
    if (iphysdrvhndl == -1) {
        if (errno == EBUSY)
            fncprintformattederror("ERROR : target drive %s is in use (a file system on it is "
                                   "mounted, or another program holds it)\n",
                                   sdispdevname);
        return;
    }
    if (fnctargetislisteddisk()) {
        if (!fncimageliesontarget())
            return;
        fncprintformattederror("ERROR : image file %s lies on target drive %s\n", simgfiledisplay,
                               sdispdevname);
    }
    // Nothing was written through it: there is nothing a close could report.
    (void)close(iphysdrvhndl);
    iphysdrvhndl = -1;
}

int32_t generic_io_stream_raw_copy_buffered() {
    fncannouncecopy();
    imgfilehndl = open(simgfilepath, O_RDONLY);
    if (imgfilehndl == -1) {
        fncprintformattederror("ERROR : open read handles for image %s copy failed,aborting \n",
                               simgfiledisplay);
        return 0;
    }
    // The size the copy must reach; a descriptor that cannot tell is held to
    // no size.
    if (fstat(imgfilehndl, &rstimgopenstats) != 0)
        rstimgopenstats.st_mode = 0;
    fncopentarget();
    if (iphysdrvhndl == -1) {
        fncprintfixederror("ERROR : write open handles for target device copy failed,aborting\n");
        return 0;
    }
    fnccopyloop();
    if (berrproc == 1 && fncverifyreadback() == 0) {
        errno = EIO;
        wrlog("VerifyFile failed\n");
        berrproc = 0;
    }
    printf("\ngeneric_io_stream_raw_copy_buffered summary bytes copied %llu\n",
           static_cast<unsigned long long>(kpipwrpos));
    fflush(stdout);
    if (berrproc != 1)
        fncprintfixederror("ERROR : image copy failed \n");
    return berrproc;
}
