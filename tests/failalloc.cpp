// Preloaded into kelpfall by the allocation test: fails realloc call number
// KF_FAILALLOC (counted from 0), as a machine out of memory would. kelpfall
// allocates only through realloc (every block grows through
// resizeloopptrstructure), and the C library's paths it takes never call it.
#include <cerrno>
#include <cstdlib>

extern "C" void *__libc_realloc(void *p, size_t n);

extern "C" void *realloc(void *p, size_t n) {
    static long ncalls;
    const char *s = getenv("KF_FAILALLOC");
    if (s != nullptr && ncalls++ == atol(s))
        return errno = ENOMEM, nullptr;
    return __libc_realloc(p, n);
}
