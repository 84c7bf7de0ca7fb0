// A lying disk for the tests: a FUSE file system in the foreground whose root
// is one file, mounted over a file, that claims CLAIMED bytes but keeps REAL
// of them in memory and acknowledges every write and flush. wrap takes every
// offset modulo REAL (a counterfeit stick's controller); drop discards writes
// at or past REAL and reads zeros there (with REAL == CLAIMED, an honest
// disk). With REWRITE, the first write changes that file's first byte to a
// NUL (which the tests' images never hold) in place, as a download or a build
// rewrites an image while it is copied. The file is opened with direct_io: no
// page cache of its own, so a loop device over it reads what this program
// answers. Exits when unmounted.
#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

static bool fd_wrap;           // wrap, else drop
static off_t fd_claimed;       // size the file reports
static off_t fd_real;          // bytes kept
static std::string fd_data;    // the bytes kept
static const char *fd_rewrite; // the file the first write rewrites, or null

// Moves the bytes between buf and what is kept, as the mode maps them;
// returns the length moved, short at the claimed end.
static int fd_io(char *buf, size_t size, off_t off, bool bwrite) {
    size = off >= fd_claimed ? 0 : std::min<size_t>(size, static_cast<size_t>(fd_claimed - off));
    for (size_t k = 0; k < size; k++) {
        off_t pos = off + static_cast<off_t>(k);
        char *pkept = fd_wrap || pos < fd_real ? &fd_data[pos % fd_real] : nullptr;
        if (bwrite && pkept != nullptr)
            *pkept = buf[k];
        else if (!bwrite)
            buf[k] = pkept != nullptr ? *pkept : '\0';
    }
    return static_cast<int>(size);
}

// Usage: fakedisk MOUNTFILE wrap|drop CLAIMED REAL [REWRITE]
int main(int argc, char **argv) {
    if (argc != 5 && argc != 6)
        return 2;
    fd_wrap = strcmp(argv[2], "wrap") == 0;
    fd_claimed = atoll(argv[3]);
    fd_real = atoll(argv[4]);
    fd_rewrite = argc == 6 ? argv[5] : nullptr;
    fd_data.assign(static_cast<size_t>(fd_real), '\0');
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
                    std::ofstream(std::exchange(fd_rewrite, nullptr), std::ios::in) << '\0';
                return fd_io(const_cast<char *>(buf), size, off, true);
            }};
    char *fargs[] = {argv[0], const_cast<char *>("-f"), const_cast<char *>("-s"), argv[1], nullptr};
    return fuse_main(4, fargs, &ops, nullptr);
}
