// A lying disk for the tests: a FUSE file system in the foreground whose only
// file, "disk", claims CLAIMED bytes but keeps REAL of them in memory and
// acknowledges every write and flush. wrap takes every offset modulo REAL (a
// counterfeit stick's controller); drop discards writes at or past REAL and
// reads zeros there (with REAL == CLAIMED, an honest disk). With GATE, a
// FIFO, the first write waits until the test has opened the FIFO for writing
// and closed it again: the copy is held in its first chunk meanwhile. The
// file is opened with direct_io: no page cache of its own, so a loop device
// over it reads what this program answers. Exits when unmounted.
#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

static std::string fd_mode; // wrap or drop
static off_t fd_claimed;    // size the file reports
static off_t fd_real;       // bytes kept
static char *fd_data;       // the bytes kept
static const char *fd_gate; // the FIFO the first write waits on, or null

static int fd_getattr(const char *path, struct stat *st, fuse_file_info *) {
    *st = {};
    if (strcmp(path, "/") == 0)
        st->st_mode = S_IFDIR | 0755, st->st_nlink = 2;
    else if (strcmp(path, "/disk") == 0)
        st->st_mode = S_IFREG | 0644, st->st_nlink = 1, st->st_size = fd_claimed;
    else
        return -ENOENT;
    return 0;
}

static int fd_open(const char *, fuse_file_info *fi) {
    fi->direct_io = 1;
    return 0;
}

// Copies between buf and the kept bytes as the mode maps them; the length
// done, short at the claimed end.
static int fd_io(char *buf, size_t size, off_t off, bool bwrite) {
    size = static_cast<size_t>(std::clamp<off_t>(fd_claimed - off, 0, static_cast<off_t>(size)));
    for (size_t done = 0, k; done < size; done += k) {
        off_t pos = off + static_cast<off_t>(done), at = pos % fd_real;
        bool blost = fd_mode == "drop" && pos >= fd_real;
        k = blost ? size - done : std::min(size - done, static_cast<size_t>(fd_real - at));
        if (blost && !bwrite)
            memset(buf + done, 0, k);
        else if (!blost)
            memcpy(bwrite ? fd_data + at : buf + done, bwrite ? buf + done : fd_data + at, k);
    }
    return static_cast<int>(size);
}

static int fd_read(const char *, char *buf, size_t size, off_t off, fuse_file_info *) {
    return fd_io(buf, size, off, false);
}

static int fd_write(const char *, const char *buf, size_t size, off_t off, fuse_file_info *) {
    if (fd_gate != nullptr) {
        char c;
        int kfd = open(fd_gate, O_RDONLY); // returns once the test opened it
        while (kfd != -1 && read(kfd, &c, 1) > 0) {
        }
        close(kfd);
        fd_gate = nullptr;
    }
    return fd_io(const_cast<char *>(buf), size, off, true);
}

int main(int argc, char **argv) {
    if (argc == 5 || argc == 6) {
        fd_mode = argv[2], fd_claimed = atoll(argv[3]), fd_real = atoll(argv[4]);
        fd_gate = argc == 6 ? argv[5] : nullptr;
    }
    if ((fd_mode != "wrap" && fd_mode != "drop") || fd_real <= 0 || fd_real > fd_claimed) {
        fprintf(stderr, "usage: fakedisk MOUNTPOINT wrap|drop CLAIMED REAL [GATE]\n");
        return 2;
    }
    fd_data = static_cast<char *>(calloc(static_cast<size_t>(fd_real), 1));
    fuse_operations ops = {};
    ops.getattr = fd_getattr, ops.open = fd_open, ops.read = fd_read, ops.write = fd_write;
    char *fargs[] = {argv[0], const_cast<char *>("-f"), const_cast<char *>("-s"), argv[1], nullptr};
    int status = fd_data == nullptr ? 1 : fuse_main(4, fargs, &ops, nullptr);
    free(fd_data);
    return status;
}
