// Numbered listing text: built whole in spdbgoutptr, written in one raw write.
//
// Text format: one entry per element, "\r<index> <value>\n", a TAB after every
// entry but the last, a NUL after the last; count is the byte length with the
// NUL. On a terminal the carriage return undoes the TAB, so each entry starts
// at the left margin.
#include "core/core.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

int32_t dwiotkn;
int32_t berrproc;

// Bytes reserved per entry before the build; longer entries grow the block.
static const size_t nclistingentryreserve = 1000;

// Clamps [*pkfirst, *pklast] to the source: a start outside restarts at 0, an
// end outside stops at the last element, a reversed range lists *pkfirst only.
// Returns 0 when there is nothing to list (null or empty source).
static int fncclamplistingrange(const loopptrstructure *isource, int32_t *pkfirst,
                                int32_t *pklast) {
    if (isource == nullptr || isource->count == 0)
        return 0;
    int64_t ncount = isource->count;
    if (*pkfirst < 0 || *pkfirst >= ncount)
        *pkfirst = 0;
    if (*pklast < 0 || *pklast >= ncount)
        *pklast = static_cast<int32_t>(ncount - 1);
    if (*pkfirst > *pklast)
        *pklast = *pkfirst;
    return 1;
}

// Empties idest and reserves the per-entry budget for kfirst..klast. While
// the text is built, idest->count is the size of the block in bytes.
static void fncreservelisting(loopptrstructure *idest, int32_t kfirst, int32_t klast) {
    size_t nbytes = (static_cast<size_t>(klast) - kfirst + 1) * nclistingentryreserve;
    if (nbytes > UINT32_MAX)
        nbytes = UINT32_MAX;
    idest->kind = 0;
    resizeloopptrstructure(idest, static_cast<uint32_t>(nbytes), 1);
}

// Source element shown at listing position i: the index map's choice, or i.
// Returns -1 for a map value outside the source; that position is skipped.
static int32_t fnclistingsourceindex(const loopptrstructure *isource, const int32_t *kindexmap,
                                     int32_t i) {
    if (kindexmap == nullptr)
        return i;
    int32_t k = kindexmap[i];
    return k >= 0 && static_cast<uint32_t>(k) < isource->count ? k : -1;
}

// Appends "\r<k> " + the nvalue bytes of svalue (control bytes masked) +
// "\n" + TAB at *pnpos, growing the block first when the entry does not fit
// what is left of it.
static void fncappendlistingentry(loopptrstructure *idest, size_t *pnpos, int32_t k,
                                  const char *svalue, size_t nvalue) {
    char sindex[16];
    size_t nindex = static_cast<size_t>(snprintf(sindex, sizeof sindex, "\r%d ", k));
    size_t nneeded = *pnpos + nindex + nvalue + 2;
    if (nneeded > idest->count) {
        if (nneeded > UINT32_MAX)
            fncabortwithmessage(smsgnomemory);
        size_t ngrown = 2 * static_cast<size_t>(idest->count);
        if (ngrown < nneeded)
            ngrown = nneeded;
        if (ngrown > UINT32_MAX)
            ngrown = UINT32_MAX;
        resizeloopptrstructure(idest, static_cast<uint32_t>(ngrown), 1);
    }
    char *sout = static_cast<char *>(idest->data) + *pnpos;
    memcpy(sout, sindex, nindex);
    memcpy(sout + nindex, svalue, nvalue);
    fncmaskcontrolbytes(sout + nindex, nvalue);
    sout[nindex + nvalue] = '\n';
    sout[nindex + nvalue + 1] = '\t';
    *pnpos = nneeded;
}

// Turns the TAB after the last entry into the final NUL and shrinks the block
// to the text; with no entry at all idest is left empty.
static void fncfinishlisting(loopptrstructure *idest, size_t npos) {
    if (npos == 0) {
        deleteandresetloopptrstructure(idest);
        return;
    }
    static_cast<char *>(idest->data)[npos - 1] = '\0';
    resizeloopptrstructure(idest, static_cast<uint32_t>(npos), 1);
}

// Element types the formatters list.
enum listingelementkind : uint8_t { klistdirname, klisttextptr, klistschar };

// Points *psvalue at the text of element k and returns its length; numbers
// are printed into snumber first.
static size_t fnclistingvalue(const loopptrstructure *isource, listingelementkind kkind, int32_t k,
                              char (&snumber)[8], const char **psvalue) {
    switch (kkind) {
    case klistdirname: {
        const dirnamerec *irec = fncdirnamerec(isource, static_cast<uint32_t>(k));
        *psvalue = irec->name;
        return strnlen(irec->name, sizeof irec->name);
    }
    case klisttextptr:
        *psvalue = *fnctextptrslot(isource, static_cast<uint32_t>(k));
        return strlen(*psvalue);
    case klistschar:
        break;
    }
    *psvalue = snumber;
    return static_cast<size_t>(
        snprintf(snumber, sizeof snumber, "%d", static_cast<const int8_t *>(isource->data)[k]));
}

// The one formatter loop: clamps the range, reserves, appends each listed
// element and finishes the text.
static void fncformatlisting(const loopptrstructure *isource, int32_t kfirst, int32_t klast,
                             const int32_t *kindexmap, loopptrstructure *idest,
                             listingelementkind kkind) {
    if (!fncclamplistingrange(isource, &kfirst, &klast))
        return;
    fncreservelisting(idest, kfirst, klast);
    size_t npos = 0;
    for (int32_t i = kfirst; i <= klast; i++) {
        int32_t k = fnclistingsourceindex(isource, kindexmap, i);
        if (k == -1)
            continue;
        char snumber[8];
        const char *svalue = nullptr;
        size_t nvalue = fnclistingvalue(isource, kkind, k, snumber, &svalue);
        fncappendlistingentry(idest, &npos, k, svalue, nvalue);
    }
    fncfinishlisting(idest, npos);
}

void fncprintdebuggnptrdata_index_filename(const loopptrstructure *isource, int32_t kfirst,
                                           int32_t klast, const int32_t *kindexmap,
                                           loopptrstructure *idest) {
    fncformatlisting(isource, kfirst, klast, kindexmap, idest, klistdirname);
}

void fncprintdebuggnptrdata_index_charptr(const loopptrstructure *isource, int32_t kfirst,
                                          int32_t klast, const int32_t *kindexmap,
                                          loopptrstructure *idest) {
    fncformatlisting(isource, kfirst, klast, kindexmap, idest, klisttextptr);
}

void fncprintdebuggnptrdata_num_char(const loopptrstructure *isource, int32_t kfirst, int32_t klast,
                                     const int32_t *kindexmap, loopptrstructure *idest) {
    fncformatlisting(isource, kfirst, klast, kindexmap, idest, klistschar);
}

void fnc_iotransfrdata_write_stream() {
    if (spdbgoutptr.count == 0 || iofdrecproc.kfdout == -1)
        return;
    // Normally one write call; one that writes only part of the text (a
    // signal, a non-blocking descriptor) is continued so that no entry is
    // lost.
    size_t nlength = spdbgoutptr.count - 1;
    size_t nwritten =
        fncwriteall(iofdrecproc.kfdout, static_cast<const char *>(spdbgoutptr.data), nlength);
    berrproc = nwritten == nlength ? 1 : 0;
    dwiotkn = berrproc == 0          ? -1
              : nwritten > INT32_MAX ? INT32_MAX
                                     : static_cast<int32_t>(nwritten);
    // fsync fails on terminals and pipes: keep the errno of the write.
    int nerrno = errno;
    (void)fsync(iofdrecproc.kfdout);
    if (berrproc == 0) {
        errno = nerrno;
        wrlog("fnc_iotransfrdata_write_stream failed");
    }
}
