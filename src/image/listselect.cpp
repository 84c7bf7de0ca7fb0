// Image candidates from a list file, one path per line.
#include "image/image.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int32_t kfddownl = -1;
int64_t ncrequestsize;
int64_t kcurreqstart;
int64_t ncrawdt;
char *sktmp;
const char sdelimcnst_eol[] = "\n";

// Bytes of the list file read at a time, until its first NUL.
static constexpr int32_t nlistreadsize = 1 << 20;

// Bytes that make a line blank when it holds nothing else.
static const char swhitespace_eol[] = " \t\v\f\r";

// Prints the list-file message sformat with the path, closes the list file
// and ends the run with status 1.
[[noreturn]] static void fncabortlistfile(const char *sformat, const char *sfilename) {
    fncprintformattederror(sformat, sfilename);
    if (kfddownl != -1) {
        (void)close(kfddownl);
        kfddownl = -1;
    }
    fncterminateprocess(1);
}

// Reads the list file into srawdata up to its first NUL, which ends the
// text, and ends the text with a NUL. A disk image named as a list file
// holds a NUL within its first sectors, so only that much of it is read.
static void fncloadlistfile(const char *sfilename) {
    kfddownl = open(sfilename, O_RDONLY | O_CLOEXEC);
    if (kfddownl == -1)
        fncabortlistfile("ERROR : sfilename %s read open error,aborting\n", sfilename);
    // A pipe or anything else that cannot seek has no size and ends here.
    ncrequestsize = lseek(kfddownl, 0, SEEK_END);
    if (ncrequestsize == -1)
        fncabortlistfile("ERROR : sfilename %s could not seek end,aborting\n", sfilename);
    kcurreqstart = lseek(kfddownl, 0, SEEK_SET);
    if (kcurreqstart == -1)
        fncabortlistfile("ERROR : sfilename %s could not seek start, aborting\n", sfilename);
    ncrawdt = 0;
    for (;;) {
        // The text and its NUL must fit the 32-bit count of srawdata.
        if (ncrawdt + nlistreadsize + 1 >= static_cast<int64_t>(UINT32_MAX))
            fncabortlistfile("ERROR : sfilename %s could not read data, aborting \n", sfilename);
        resizeloopptrstructure(&srawdata, static_cast<uint32_t>(ncrawdt + nlistreadsize + 1), 1);
        char *spiece = static_cast<char *>(srawdata.data) + ncrawdt;
        const ssize_t nread = fncreadfull(kfddownl, spiece, nlistreadsize);
        if (nread == -1)
            fncabortlistfile("ERROR : sfilename %s could not read data, aborting \n", sfilename);
        ncrawdt += nread;
        spiece[nread] = '\0';
        if (nread < nlistreadsize || memchr(spiece, '\0', static_cast<size_t>(nread)) != nullptr)
            break;
    }
    // A file that ends sooner than its size said, before any NUL, is a
    // failed read.
    const char *stext = static_cast<const char *>(srawdata.data);
    if (ncrawdt < ncrequestsize && strlen(stext) == static_cast<size_t>(ncrawdt))
        fncabortlistfile("ERROR : sfilename %s could not read data, aborting \n", sfilename);
    (void)close(kfddownl);
    kfddownl = -1;
}

void fncsplitlistlines() {
    if (idirvecdata.count != 0)
        deleteandresetloopptrstructure(&idirvecdata);
    sktmp = strtok_r(static_cast<char *>(srawdata.data), sdelimcnst_eol, &stktmpptr);
    while (sktmp != nullptr) {
        if (sktmp[strspn(sktmp, swhitespace_eol)] != '\0') {
            resizeloopptrstructure(&idirvecdata, idirvecdata.count + 1, sizeof(char *));
            *fnctextptrslot(&idirvecdata, idirvecdata.count - 1) = sktmp;
        }
        sktmp = strtok_r(nullptr, sdelimcnst_eol, &stktmpptr);
    }
}

const char *fncselectimagefromlist(const char *sfilename) {
    fncloadlistfile(sfilename);
    fncsplitlistlines();
    if (idirvecdata.count == 0)
        fncabortwithmessage("ERROR: no files found,aborting\n");
    int32_t k = fncchooseimagecandidate(fncprintdebuggnptrdata_index_charptr);
    // The whole line is the path: one that simgfilepath cannot hold is refused
    // rather than cut to another file's name.
    const char *sline = *fnctextptrslot(&idirvecdata, static_cast<uint32_t>(k));
    if (strnlen(sline, sizeof simgfilepath) >= sizeof simgfilepath)
        fncabortwithmessage("ERROR: invalid file selection,aborting\n");
    return sline;
}
