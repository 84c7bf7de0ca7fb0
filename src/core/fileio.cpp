// Whole reads and writes: a read from a pipe returns only what it holds and
// a write may take part of its bytes (a signal, a device's end), so one call
// is never a whole transfer.
#include "core/core.h"

#include <cerrno>
#include <unistd.h>

ssize_t fncreadfull(int kfd, char *sbuf, size_t nmax) {
    size_t nfill = 0;
    while (nfill < nmax) {
        ssize_t n = read(kfd, sbuf + nfill, nmax - nfill);
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1)
            return -1;
        if (n == 0)
            break;
        nfill += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(nfill);
}

size_t fncwriteall(int kfd, const char *sbuf, size_t n) {
    size_t nwritten = 0;
    while (nwritten < n) {
        ssize_t nresult = write(kfd, sbuf + nwritten, n - nwritten);
        if (nresult == -1 && errno == EINTR)
            continue;
        if (nresult <= 0) {
            if (nresult == 0)
                errno = ENOSPC;
            break;
        }
        nwritten += static_cast<size_t>(nresult);
    }
    return nwritten;
}
