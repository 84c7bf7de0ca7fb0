// A lying disk for the tests: a FUSE file system in the foreground whose root
// is one file, mounted over a file, that claims CLAIMED bytes and acknowledges
// every write and flush. By MODE: wrap keeps a quarter of it and takes every
// offset modulo that quarter (a counterfeit stick's controller); drop keeps
// the first quarter, discards writes past it and reads zeros there; noread
// keeps everything and fails every read with EIO, nowrite every write (cards
// worn out). rewrite, touch and later keep everything (an honest disk) and
// change FILE: at the first write, rewrite changes its first byte to a NUL
// (which the tests' images never hold) in place and puts its modification time
// back, as a download rewrites an image within one tick of a coarse clock;
// touch only sets that time to now; at the first write from byte 20000768 on
// (the third chunk), later changes byte 12000000 (copied, in the second chunk,
// before its first sample) and sets the time one second on, keeping its
// nanoseconds. The file is opened with direct_io: no page cache of its own, so
// a loop device over it reads what this program answers. Exits when unmounted.
#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

static bool fd_wrap;           // wrap, else writes past fd_real are lost
static off_t fd_claimed;       // size the file reports
static off_t fd_real;          // bytes kept
static std::string fd_data;    // the bytes kept
static const char *fd_rewrite; // the file a write changes, or null
static off_t fd_trigger;       // where that write starts at least
static std::string fd_how;     // the mode

// Moves the bytes between buf and what is kept, as the mode maps them;
// returns the length moved, short at the claimed end.
static int fd_io(char *buf, size_t size, off_t off, bool bwrite) {
    size = off >= fd_claimed ? 0 : std::min<size_t>(size, static_cast<size_t>(fd_claimed - off));
    for (size_t k = 0; k < size; k++) {
        off_t pos = off + static_cast<off_t>(k);
        const bool blost = !fd_wrap && pos >= fd_real;
        char *pkept = blost ? nullptr : &fd_data[fd_wrap ? pos % fd_real : pos];
        if (bwrite && pkept != nullptr)
            *pkept = buf[k];
        else if (!bwrite)
            buf[k] = pkept != nullptr ? *pkept : '\0';
    }
    return static_cast<int>(size);
}

// The change of the file fd_rewrite.
static void fd_change() {
    struct stat st;
    if (stat(fd_rewrite, &st) != 0)
        return;
    timespec itimes[2] = {st.st_atim, st.st_mtim};
    itimes[1].tv_sec += fd_how == "later";
    if (fd_how == "touch")
        itimes[1] = {0, UTIME_NOW};
    else
        std::ofstream(fd_rewrite, std::ios::in).seekp(fd_how == "later" ? 12000000 : 0) << '\0';
    utimensat(AT_FDCWD, std::exchange(fd_rewrite, nullptr), itimes, 0);
}

// Usage: fakedisk MOUNTFILE wrap|drop|noread|nowrite|rewrite|touch|later CLAIMED FILE
int main(int argc, char **argv) {
    if (argc != 5)
        return 2;
    fd_how = argv[2];
    fd_wrap = fd_how == "wrap";
    fd_claimed = atoll(argv[3]);
    fd_real = fd_wrap || fd_how == "drop" ? fd_claimed / 4 : fd_claimed;
    fd_rewrite = fd_real == fd_claimed && !fd_how.starts_with("no") ? argv[4] : nullptr;
    fd_trigger = fd_how == "later" ? 20000768 : 0;
    fd_data.assign(static_cast<size_t>(fd_wrap ? fd_real : fd_claimed), '\0');
    fuse_operations ops = {
        .getattr =
            [](const char *, struct stat *st, fuse_file_info *) {
                *st = {.st_nlink = 1, .st_mode = S_IFREG | 0644, .st_size = fd_claimed};
                return 0;
            },
        .open =
            [](const char *, fuse_file_info *fi) {
                fi->direct_io = 1;
                return 0;
            },
        .read =
            [](const char *, char *buf, size_t size, off_t off, fuse_file_info *) {
                return fd_how == "noread" ? -EIO : fd_io(buf, size, off, false);
            },
        .write =
            [](const char *, const char *buf, size_t size, off_t off, fuse_file_info *) {
                if (fd_rewrite != nullptr && off >= fd_trigger)
                    fd_change();
                return fd_how == "nowrite" ? -EIO : fd_io(const_cast<char *>(buf), size, off, true);
            }};
    char *fargs[] = {argv[0], const_cast<char *>("-f"), const_cast<char *>("-s"), argv[1], nullptr};
    return fuse_main(4, fargs, &ops, nullptr);
}
