// Preloaded into kelpfall by the tests of the plain build (the sanitizer build
// has LeakSanitizer instead): reports at exit, on standard error, the blocks
// kelpfall's own code allocated and never freed. Blocks the C library
// allocates for itself (stdio buffers) are its own business.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <sys/auxv.h>

void *__libc_malloc(size_t n);
void *__libc_calloc(size_t n, size_t nsize);
void *__libc_realloc(void *p, size_t n);
void __libc_free(void *p);

static void *live[8192];
static int nready;

__attribute__((constructor)) static void start(void) {
    nready = 1;
}

// Forgets old and, when kelpfall's own code called, remembers p.
static void *track(void *old, void *p, void *caller) {
    Dl_info self, info;
    for (int k = 0; old != NULL && p != NULL && k < 8192; k++)
        if (live[k] == old && (live[k] = NULL) == NULL)
            break;
    if (p == NULL || caller == NULL || !nready || !dladdr(caller, &info) ||
        !dladdr((void *)getauxval(AT_ENTRY), &self) || info.dli_fbase != self.dli_fbase)
        return p;
    for (int k = 0; k < 8192; k++)
        if (live[k] == NULL && (live[k] = p) != NULL)
            break;
    return p;
}

void *malloc(size_t n) {
    return track(NULL, __libc_malloc(n), __builtin_return_address(0));
}

void *calloc(size_t n, size_t nsize) {
    return track(NULL, __libc_calloc(n, nsize), __builtin_return_address(0));
}

void *realloc(void *old, size_t n) {
    return track(old, __libc_realloc(old, n), __builtin_return_address(0));
}

void free(void *p) {
    track(p, p, NULL);
    __libc_free(p);
}

__attribute__((destructor)) static void report(void) {
    int n = 0;
    for (int k = 0; k < 8192; k++)
        n += live[k] != NULL;
    if (n != 0)
        fprintf(stderr, "alloccheck: %d blocks never freed\n", n);
}
