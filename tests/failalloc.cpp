// Preloaded into kelpfall by the allocation test: fails allocation number
// KF_FAILALLOC (counted from 0) among those kelpfall's own code asks for, as
// a machine out of memory would. The C library's own (stdio buffers) pass.
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/auxv.h>

extern "C" {
void *__libc_malloc(size_t n);
void *__libc_calloc(size_t n, size_t nsize);
void *__libc_realloc(void *p, size_t n);

static long ncalls;
static bool bready;
__attribute__((constructor)) static void fncstart() {
    bready = true;
}

static bool fncfail(void *pcaller) {
    Dl_info iself, icaller;
    const char *s = getenv("KF_FAILALLOC");
    bool bown = bready && dladdr(reinterpret_cast<void *>(getauxval(AT_ENTRY)), &iself) &&
                dladdr(pcaller, &icaller) && icaller.dli_fbase == iself.dli_fbase;
    if (!bown || s == nullptr || ncalls++ != atol(s))
        return false;
    errno = ENOMEM;
    return true;
}

void *malloc(size_t n) {
    return fncfail(__builtin_return_address(0)) ? nullptr : __libc_malloc(n);
}
void *calloc(size_t n, size_t nsize) {
    return fncfail(__builtin_return_address(0)) ? nullptr : __libc_calloc(n, nsize);
}
void *realloc(void *p, size_t n) {
    return fncfail(__builtin_return_address(0)) ? nullptr : __libc_realloc(p, n);
}
}
