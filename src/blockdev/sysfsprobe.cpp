// Device records and the sysfs attribute probes. Probes never print and never
// end the run: whatever cannot be read leaves its field zero or empty.
#include "blockdev/blockdev.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

char srawdtint[26];
char strtmpbuf[10000];
int32_t nuevtokens;
const char skrnlsysblockqueue[] = "/queue";
const char skrnlsyslogblocksize[] = "/logical_block_size";
const char skrnlsysblockloop[] = "/loop";
const char skrnlsysloopbacking_file[] = "/backing_file";
const char skrnlsysblocksize[] = "/size";
const char skrnlsysblockuevent[] = "/uevent";
const char skrnlsysblockhidden[] = "/hidden";
const char sgenericdevpathprfx[] = "/dev/";
const char sdelimcnst_eol_eq[] = "\n=";

// A uevent file is a few short lines; the first 1000 bytes hold them all.
static const int32_t nmaxueventtext = 1000;
// The first four uevent keys of every block device, in the kernel's order.
static const char *const sueventkeys[4] = {"MAJOR", "MINOR", "DEVNAME", "DEVTYPE"};
// The uevent line of the disk sequence number (Linux 5.15 and later write it
// after DEVTYPE). The kernel counts disks from 1, so 0 means none.
static const char sueventdiskseqline[] = "\nDISKSEQ=";

int32_t fncreadtextfile(const char *spath, char *sbuf, int32_t nmax) {
    ssize_t nread = 0;
    // O_NONBLOCK: a FIFO standing in for the file would otherwise block the
    // open until a writer comes, and its read until it writes. sysfs
    // attributes and udev data files are regular files; nothing else is read.
    int kfd = open(spath, O_RDONLY | O_NONBLOCK);
    if (kfd != -1) {
        struct stat ist;
        if (fstat(kfd, &ist) == 0 && S_ISREG(ist.st_mode))
            nread = fncreadfull(kfd, sbuf, static_cast<size_t>(nmax));
        // Read-only: a failing close loses nothing.
        (void)close(kfd);
    }
    if (nread < 0)
        nread = 0;
    if (nread > 1 && sbuf[nread - 1] == '\n')
        nread--;
    sbuf[nread] = '\0';
    return static_cast<int32_t>(nread);
}

int fncparsedecimal(const char *stext, uint64_t *pnvalue) {
    while (isspace(static_cast<unsigned char>(*stext)))
        stext++;
    if (*stext == '+')
        stext++;
    if (!isdigit(static_cast<unsigned char>(*stext)))
        return 0;
    uint64_t nvalue = 0;
    for (; isdigit(static_cast<unsigned char>(*stext)); stext++) {
        uint64_t ndigit = static_cast<uint64_t>(*stext - '0');
        if (nvalue > (UINT64_MAX - ndigit) / 10)
            return 0;
        nvalue = nvalue * 10 + ndigit;
    }
    *pnvalue = nvalue;
    return 1;
}

int fncreadsysfsnumber(const char *spath, uint64_t *pnvalue) {
    fncreadtextfile(spath, srawdtint, sizeof srawdtint - 1);
    return fncparsedecimal(srawdtint, pnvalue);
}

// Parses stext into a signed 32-bit field; the field keeps its value when
// the text holds no number or a number beyond INT32_MAX.
static void fncparseint32field(const char *stext, int32_t *pnfield) {
    uint64_t nvalue = 0;
    if (fncparsedecimal(stext, &nvalue) && nvalue <= INT32_MAX)
        *pnfield = static_cast<int32_t>(nvalue);
}

// Writes one or two suffixes and the NUL after the base path. The buffer
// holds a 255-byte name and the longest suffix pair, so nothing is cut.
static void fncsetattributepath(const char *ssuffix, const char *ssubsuffix) {
    snprintf(sdevrootpath + ncfilename, sizeof sdevrootpath - static_cast<size_t>(ncfilename),
             "%s%s", ssuffix, ssubsuffix);
}

partrootrec *createpartrecord() {
    uint32_t kslot = ipartdata.count;
    ipartdata.kind = -1;
    resizeloopptrstructure(&ipartdata, kslot + 1, sizeof(loopptrstructure));
    loopptrstructure *islot = fncnestedslot(&ipartdata, kslot);
    memset(islot, 0, sizeof *islot);
    resizeloopptrstructure(islot, 1, sizeof(partslotblock));
    memset(islot->data, 0, sizeof(partslotblock));
    partslotblock *iblock = static_cast<partslotblock *>(islot->data);
    ipartrootrec = &iblock->irec;
    ipartrootrec->idevext = &iblock->iext;
    return ipartrootrec;
}

partrootrec *fncpartrecord(uint32_t k) {
    return &static_cast<partslotblock *>(fncnestedslot(&ipartdata, k)->data)->irec;
}

static void fncprobelogicalblocksize() {
    fncsetattributepath(skrnlsysblockqueue, skrnlsyslogblocksize);
    uint64_t nvalue = 0;
    if (fncreadsysfsnumber(sdevrootpath, &nvalue) && nvalue <= INT32_MAX)
        ipartrootrec->idevext->nlogblocksize = static_cast<int32_t>(nvalue);
}

// Only loop devices have a loop directory in sysfs; their entry name is
// "loop" followed by the number.
static void fncprobeloopdevice() {
    fncsetattributepath(skrnlsysblockloop, "");
    int kfd = open(sdevrootpath, O_RDONLY | O_DIRECTORY);
    if (kfd == -1)
        return;
    (void)close(kfd);
    const int32_t nloopname = sizeof "loop" - 1;
    if (ncdevrootname > nloopname)
        fncparseint32field(sdevrootpath + ncsysblockprefix + nloopname,
                           &ipartrootrec->idevext->nloopnum);
    fncsetattributepath(skrnlsysblockloop, skrnlsysloopbacking_file);
    devextrec *iext = ipartrootrec->idevext;
    fncreadtextfile(sdevrootpath, iext->sbacking_file, sizeof iext->sbacking_file - 1);
}

// The size attribute counts 512-byte sectors whatever the logical block
// size. A count whose byte size would not fit 64 bits is no size.
static void fncprobesize() {
    fncsetattributepath(skrnlsysblocksize, "");
    uint64_t nsectors = 0;
    if (!fncreadsysfsnumber(sdevrootpath, &nsectors) || nsectors > UINT64_MAX / ncsectorsize)
        return;
    ipartrootrec->nlogblocks = nsectors;
    ipartrootrec->ncapacity = nsectors * ncsectorsize;
    // Without a logical block size nlogblocks keeps the sector count.
    uint64_t nblocksize = static_cast<uint64_t>(ipartrootrec->idevext->nlogblocksize);
    if (nblocksize != 0 && nblocksize != ncsectorsize) {
        ipartrootrec->nlogblocks = ipartrootrec->ncapacity / nblocksize;
        if (ipartrootrec->ncapacity % nblocksize != 0)
            ipartrootrec->nlogblocks++;
    }
}

static char *fncueventtoken(int32_t kslot) {
    return *fnctextptrslot(&starrout, static_cast<uint32_t>(kslot));
}

// Splits strtmpbuf at newlines and "=" into up to 8 tokens in starrout:
// the keys and values of the first four uevent lines.
static void fnctokeniseuevent() {
    deleteandresetloopptrstructure(&starrout);
    resizeloopptrstructure(&starrout, 8, sizeof(char *));
    memset(starrout.data, 0, 8 * sizeof(char *));
    char *stoken = strtok_r(strtmpbuf, sdelimcnst_eol_eq, &stktmpptr);
    for (nuevtokens = 0; nuevtokens < 8 && stoken != nullptr; nuevtokens++) {
        *fnctextptrslot(&starrout, static_cast<uint32_t>(nuevtokens)) = stoken;
        stoken = strtok_r(nullptr, sdelimcnst_eol_eq, &stktmpptr);
    }
}

// Whether the tokens are MAJOR, MINOR, DEVNAME and DEVTYPE with their values.
static bool fncueventcomplete() {
    if (nuevtokens < 8)
        return false;
    for (int32_t k = 0; k < 4; k++) {
        if (strcmp(fncueventtoken(2 * k), sueventkeys[k]) != 0)
            return false;
    }
    return true;
}

// A record without a complete uevent keeps no key, name or path and is
// never offered: there is no node it could name. A DEVNAME too long for
// sdevname is left out too rather than cut to another node's name.
static void fncstoreueventfields() {
    if (!fncueventcomplete())
        return;
    fncparseint32field(fncueventtoken(1), &ipartrootrec->nmajor);
    fncparseint32field(fncueventtoken(3), &ipartrootrec->nminor);
    snprintf(ipartrootrec->sudevkey, sizeof ipartrootrec->sudevkey, "b%d:%d", ipartrootrec->nmajor,
             ipartrootrec->nminor);
    snprintf(ipartrootrec->sdevtype, sizeof ipartrootrec->sdevtype, "%s", fncueventtoken(7));
    const char *sname = fncueventtoken(5);
    size_t nlen = strlen(sname);
    if (nlen >= sizeof ipartrootrec->sdevname)
        return;
    memcpy(ipartrootrec->sdevname, sname, nlen + 1);
    snprintf(ipartrootrec->sdevpath, sizeof ipartrootrec->sdevpath, "%s%s", sgenericdevpathprfx,
             sname);
}

// Reads DISKSEQ into ipartrootrec before the tokeniser cuts the text.
static void fncstorediskseq() {
    const char *sline = strstr(strtmpbuf, sueventdiskseqline);
    if (sline != nullptr)
        fncparsedecimal(sline + strlen(sueventdiskseqline), &ipartrootrec->ndiskseq);
}

void fncparseuevent() {
    fncstorediskseq();
    fnctokeniseuevent();
    fncstoreueventfields();
}

// NVMe native multipath shows each path of a disk as a hidden disk
// (nvme0c0n1) without a node, beside the disk itself (nvme0n1).
static void fncprobehidden() {
    fncsetattributepath(skrnlsysblockhidden, "");
    uint64_t nvalue = 0;
    if (fncreadsysfsnumber(sdevrootpath, &nvalue) && nvalue == 1)
        ipartrootrec->bhidden = 1;
}

void fncprobesysfsdevice() {
    fncprobehidden();
    fncprobelogicalblocksize();
    fncprobeloopdevice();
    fncprobesize();
    fncsetattributepath(skrnlsysblockuevent, "");
    fncreadtextfile(sdevrootpath, strtmpbuf, nmaxueventtext);
    fncparseuevent();
}
