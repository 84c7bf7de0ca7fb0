// Core utilities every subsystem shares: the growable array descriptor, the
// directory entry record, the standard-stream record, the listing formatter
// signature and the 512-byte sector size; the process-wide state and its
// teardown (structures.cpp); the directory loader (dirloader.cpp); whole
// reads and writes (fileio.cpp); failure messages and the log writer
// (diagnostics.cpp); the console number reader (console.cpp); control bytes
// masked for the terminal (controlmask.cpp); the numbered listing text and
// its writer (listing.cpp).
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <dirent.h>
#include <sys/types.h>

// Growable array descriptor. A descriptor that was never used is all zero.
// kind -1: data holds `count` nested descriptors back to back; 0: plain data.
struct loopptrstructure {
    uint32_t count;
    int32_t kind;
    void *data;
};

// One directory entry as the directory loader appends it.
struct dirnamerec {
    char name[256];
    uint8_t length;
};

// The standard-stream record: descriptors the program reads and writes.
struct iofdrec {
    int32_t kfdin;
    int32_t kfdout;
};

// Listing formatter signature shared by the three formatters.
typedef void (*fncformatlisting_t)(const loopptrstructure *, int32_t, int32_t, const int32_t *,
                                   loopptrstructure *);

// Logical sector size the copy pads to and the drive table takes as default;
// sysfs counts a disk's size in sectors of this size whatever its own.
constexpr int32_t ncsectorsize = 512;

/* structures.cpp: the process-wide state and its teardown */

// Standard-stream record: input descriptor 0, output descriptor 1.
extern iofdrec iofdrecproc;
// The chosen image path; holds any path the system accepts.
extern char simgfilepath[PATH_MAX];
// simgfilepath as shown on the terminal: control bytes masked.
extern char simgfiledisplay[PATH_MAX];
// Image candidates: dirnamerec (no argument) or text pointers into srawdata.
extern loopptrstructure idirvecdata;
// One dirnamerec per entry of /sys/class/block/.
extern loopptrstructure idirdeventry;
// Partition entries of the disk being visited.
extern loopptrstructure idirpartentry;
// int32 indexes into idirdeventry in byte order of the names.
extern loopptrstructure isortdevices;
// The merge sort's three-slot workspace; empty outside the sort.
extern loopptrstructure imergrespt;
// One nested descriptor per whole disk, each holding one device record and
// its extension block in a single block.
extern loopptrstructure ipartdata;
// One byte per position of isortdevices: 1 when that entry was loaded from
// the directory of a disk already visited (a partition, never a whole disk).
// Exists only while the walk runs.
extern loopptrstructure iskipdevices;
// One byte per slot of ipartdata: 1 when that disk may be chosen.
extern loopptrstructure iavaildevnodes;
// Eight text pointers: the tokens of the current uevent text.
extern loopptrstructure starrout;
// The image list file up to its first NUL, and a NUL.
extern loopptrstructure srawdata;
// One listing text with its final NUL.
extern loopptrstructure spdbgoutptr;
// Image file descriptor; -1 while not open.
extern int32_t imgfilehndl;
// Target device descriptor; -1 while not open.
extern int32_t iphysdrvhndl;
// Position of the reentrant tokeniser (list file lines, uevent tokens) and
// the result of the udev key search.
extern char *stktmpptr;

// Gives d room for n elements of nelemsize bytes and sets its count to n.
// Ends the run when the allocation fails; d is left unchanged then.
void resizeloopptrstructure(loopptrstructure *d, uint32_t n, size_t nelemsize);
// Releases d's block and, for kind -1, every nested descriptor first, in index
// order. Frees nothing when count is 0. Leaves d's fields unchanged.
void deleteloopptrstructure(loopptrstructure *d);
// deleteloopptrstructure, then count, kind and data back to zero.
void deleteandresetloopptrstructure(loopptrstructure *d);
// Slot k of a descriptor of kind -1.
loopptrstructure *fncnestedslot(const loopptrstructure *d, uint32_t k);
// Element k of a descriptor of dirnamerec.
dirnamerec *fncdirnamerec(const loopptrstructure *d, uint32_t k);
// Element k of a descriptor of text pointers.
char **fnctextptrslot(const loopptrstructure *d, uint32_t k);
// The teardown: every descriptor, then the target and image descriptors.
void deleteallstructures();
// Teardown, then process exit with nexitcode. Never returns.
[[noreturn]] void fncterminateprocess(int nexitcode);

/* dirloader.cpp: the directory loader shared by image selection and discovery */

// The loader's open directory stream; open only within one loader call.
extern DIR *ildrfpthndl;
// The entry the loader's last readdir returned.
extern struct dirent *ildrfptrrec;

// Loads the entries of sdirpath (but "." and "..") into itarget, one
// dirnamerec each in directory order; with sprefix, only names beginning with
// its first nprefix bytes. Names longer than 255 bytes are skipped.
void loaddirdatareaddirvers(const char *sdirpath, loopptrstructure *itarget, const char *sprefix,
                            int32_t nprefix);

/* fileio.cpp: reads and writes that finish their job */

// Reads from kfd into sbuf until nmax bytes are in or the file ends; EINTR is
// retried. Returns the bytes read (fewer than nmax only at the end of the
// file), or -1 with errno set when a read fails.
ssize_t fncreadfull(int kfd, char *sbuf, size_t nmax);
// Writes the n bytes of sbuf to kfd, continuing after partial writes; EINTR
// is retried. Returns the bytes written; fewer than n when a write failed
// (errno set) or wrote nothing (errno ENOSPC: drivers do that at a device's
// end).
size_t fncwriteall(int kfd, const char *sbuf, size_t n);

/* diagnostics.cpp: failure messages and the log writer */

// "ERROR: memory allocation failed,aborting\n"
extern const char smsgnomemory[];
// The formatted log line.
extern char stmpbuf_wrlog[1001];
// Length of the formatted log line.
extern int32_t nctmpbuf_wrlog;
// Descriptor the log line goes to; always 1.
extern int32_t kfdout_wrlog;
// Result of the log line's write. Kept though nothing reads it: a log line
// that could not be written has nowhere else to be reported, and the value
// stays for a debugger.
extern int32_t dwwrite_wrlog;
// 1 when the log line's write did not return -1. Kept though nothing reads
// it, for the reason given at dwwrite_wrlog.
extern int32_t berrflag;

// Writes smessage raw to descriptor 1, then " ERRORMSG: %d %s\n" with the
// errno of the failed operation (as it was on entry) through stdout.
void wrlog(const char *smessage);
// Writes a fixed message to stderr and flushes it.
void fncprintfixederror(const char *smessage);
// Writes sformat, whose conversions are one or two %s, with stext and
// stext2 to stderr and flushes it.
void fncprintformattederror(const char *sformat, const char *stext, const char *stext2 = "");
// Writes a fixed message to stderr and ends the run with status 1.
[[noreturn]] void fncabortwithmessage(const char *smessage);

/* console.cpp: numbers typed at the prompts */

// Reads one decimal number from stdin as "%d" does: white space skipped, an
// optional sign, digits up to the first other character, which stays unread.
// Returns 1 with *pnvalue set, or 0 when nothing converted, the input ended,
// or the number does not fit a signed 32-bit integer.
int fncreadconsolenumber(int32_t *pnvalue);

/* controlmask.cpp: control bytes of outside text masked for the terminal */

// Replaces each control byte (0x01 to 0x1F and 0x7F) of the n bytes at s by
// '?', and each two-byte UTF-8 C1 control (0xC2 0x80 to 0xC2 0x9F) by "??",
// as ls does on a terminal: a file name, a list line or a udev value must not
// move the cursor, clear the screen or send terminal commands.
void fncmaskcontrolbytes(char *s, size_t n);
// Copies stext into sdest (ndest bytes, NUL included; a longer text is cut)
// with its control bytes masked. Returns sdest.
const char *fncmaskedcopy(char *sdest, size_t ndest, const char *stext);

/* listing.cpp: numbered listing text */

// Result of the last raw write of a listing or of the copy. Kept though
// nothing reads it: callers take the outcome from berrproc; the raw count
// stays for a debugger.
extern int32_t dwiotkn;
// Outcome flag shared by the listing writer and the copy: 1 good, 0 failed.
extern int32_t berrproc;

// Formats dirnamerec names as "\r%d %s\n" entries separated by TAB, NUL-ended.
void fncprintdebuggnptrdata_index_filename(const loopptrstructure *isource, int32_t kfirst,
                                           int32_t klast, const int32_t *kindexmap,
                                           loopptrstructure *idest);
// Formats NUL-terminated text pointers as "\r%d %s\n" entries.
void fncprintdebuggnptrdata_index_charptr(const loopptrstructure *isource, int32_t kfirst,
                                          int32_t klast, const int32_t *kindexmap,
                                          loopptrstructure *idest);
// Formats signed 8-bit values as "\r%d %d\n" entries. Kept though no
// dialogue calls it now: it completes the three element kinds a descriptor
// holds (dirnamerec, text pointers, bytes), so a byte table is listed the
// same way as the other two.
void fncprintdebuggnptrdata_num_char(const loopptrstructure *isource, int32_t kfirst, int32_t klast,
                                     const int32_t *kindexmap, loopptrstructure *idest);
// Writes spdbgoutptr without its NUL to the output descriptor in one write.
void fnc_iotransfrdata_write_stream();
