// A lying disk for the tests: a FUSE file system in the foreground whose root
// is one file, mounted over a file, that claims CLAIMED bytes and
// acknowledges every write and flush. wrap keeps REAL bytes and takes every
// offset modulo REAL (a counterfeit stick's controller); drop discards writes
// at or past REAL and reads zeros there (with REAL == CLAIMED, an honest
// disk); hole does so only for the 4 MiB from REAL (a failing card). With
// FILE, the first write changes that file's first byte to a NUL (which the
// tests' images never hold) in place and puts its modification time back, as
// a download rewrites an image within one tick of a coarse clock; with FILE
// touch, it only sets that time to now; with FILE moved, it does both. The file is opened with
// direct_io: no page cache of its own, so a loop device over it reads what this program answers.
// Exits when unmounted.
#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

static bool fd_wrap;           // wrap, else drop or hole
static off_t fd_claimed;       // size the file reports
static off_t fd_real;          // bytes kept (wrap), or where the loss starts
static off_t fd_lostend;       // where the loss ends
static std::string fd_data;    // the bytes kept
static const char *fd_rewrite; // the file the first write changes, or null
static const char *fd_how;     // "touch", "moved", or null

// Moves the bytes between buf and what is kept, as the mode maps them;
// returns the length moved, short at the claimed end.
static int fd_io(char *buf, size_t size, off_t off, bool bwrite) {
    size = off >= fd_claimed ? 0 : std::min<size_t>(size, static_cast<size_t>(fd_claimed - off));
    for (size_t k = 0; k < size; k++) {
        off_t pos = off + static_cast<off_t>(k);
        const bool blost = !fd_wrap && pos >= fd_real && pos < fd_lostend;
        char *pkept = blost ? nullptr : &fd_data[fd_wrap ? pos % fd_real : pos];
        if (bwrite && pkept != nullptr)
            *pkept = buf[k];
        else if (!bwrite)
            buf[k] = pkept != nullptr ? *pkept : '\0';
    }
    return static_cast<int>(size);
}

// The first write's change of the file fd_rewrite.
static void fd_change() {
    struct stat st;
    if (stat(fd_rewrite, &st) != 0)
        return;
    const timespec itimes[2] = {st.st_atim, fd_how ? timespec{0, UTIME_NOW} : st.st_mtim};
    if (!fd_how || strcmp(fd_how, "touch") != 0)
        std::ofstream(fd_rewrite, std::ios::in) << '\0';
    utimensat(AT_FDCWD, std::exchange(fd_rewrite, nullptr), itimes, 0);
}

// Usage: fakedisk MOUNTFILE wrap|drop|hole CLAIMED REAL [FILE [touch|moved]]
int main(int argc, char **argv) {
    if (argc < 5 || argc > 7)
        return 2;
    fd_wrap = strcmp(argv[2], "wrap") == 0;
    fd_claimed = atoll(argv[3]);
    fd_real = atoll(argv[4]);
    fd_lostend = strcmp(argv[2], "hole") == 0 ? fd_real + (4 << 20) : fd_claimed;
    fd_rewrite = argc >= 6 ? argv[5] : nullptr;
    fd_how = argc == 7 ? argv[6] : nullptr;
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
        .read = [](const char *, char *buf, size_t size, off_t off,
                   fuse_file_info *) { return fd_io(buf, size, off, false); },
        .write =
            [](const char *, const char *buf, size_t size, off_t off, fuse_file_info *) {
                if (fd_rewrite != nullptr)
                    fd_change();
                return fd_io(const_cast<char *>(buf), size, off, true);
            }};
    char *fargs[] = {argv[0], const_cast<char *>("-f"), const_cast<char *>("-s"), argv[1], nullptr};
    return fuse_main(4, fargs, &ops, nullptr);
}
