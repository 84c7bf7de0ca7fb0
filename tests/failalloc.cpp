// Preloaded into kelpfall by the allocation test: fails allocation number
// KF_FAILALLOC (counted from 0) that kelpfall's own code asks for, as a
// machine out of memory would. kelpfall allocates only through realloc (every
// block grows through resizeloopptrstructure); the C library's own
// allocations, and those before main, pass.
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/auxv.h>

extern "C" void *__libc_realloc(void *p, size_t n);

extern "C" void *realloc(void *p, size_t n) {
    static long ncalls;
    Dl_info iself, icaller;
    const char *s = getenv("KF_FAILALLOC");
    if (s != nullptr && dladdr(reinterpret_cast<void *>(getauxval(AT_ENTRY)), &iself) &&
        dladdr(__builtin_return_address(0), &icaller) && icaller.dli_fbase == iself.dli_fbase &&
        ncalls++ == atol(s)) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_realloc(p, n);
}
