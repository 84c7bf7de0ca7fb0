// Descriptor arrays: the growth idiom, the recursive release and the teardown
// that runs immediately before every process exit. Every heap block of the
// program hangs from one of these descriptors, so the teardown needs no
// knowledge of what the blocks hold.
#include "core/core.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

iofdrec iofdrecproc;
char simgfilepath[PATH_MAX];
char simgfiledisplay[PATH_MAX];
loopptrstructure idirvecdata;
loopptrstructure idirdeventry;
loopptrstructure idirpartentry;
loopptrstructure isortdevices;
loopptrstructure imergrespt;
loopptrstructure ipartdata;
loopptrstructure iskipdevices;
loopptrstructure iavaildevnodes;
loopptrstructure starrout;
loopptrstructure srawdata;
loopptrstructure spdbgoutptr;
int32_t imgfilehndl = -1;
int32_t iphysdrvhndl = -1;
char *stktmpptr;

void resizeloopptrstructure(loopptrstructure *d, uint32_t n, size_t nelemsize) {
    size_t nbytes = static_cast<size_t>(n) * nelemsize;
    if (nbytes == 0) {
        // realloc(p, 0) may or may not free: release explicitly instead.
        if (d->count != 0)
            free(d->data);
        d->data = nullptr;
        d->count = 0;
        return;
    }
    void *pnew = realloc(d->data, nbytes);
    if (pnew == nullptr)
        fncabortwithmessage(smsgnomemory);
    d->data = pnew;
    d->count = n;
}

void deleteloopptrstructure(loopptrstructure *d) {
    if (d->kind == -1) {
        for (uint32_t k = 0; k < d->count; k++)
            deleteloopptrstructure(fncnestedslot(d, k));
    }
    if (d->count != 0)
        free(d->data);
}

void deleteandresetloopptrstructure(loopptrstructure *d) {
    deleteloopptrstructure(d);
    d->count = 0;
    d->kind = 0;
    d->data = nullptr;
}

loopptrstructure *fncnestedslot(const loopptrstructure *d, uint32_t k) {
    return &static_cast<loopptrstructure *>(d->data)[k];
}

dirnamerec *fncdirnamerec(const loopptrstructure *d, uint32_t k) {
    return &static_cast<dirnamerec *>(d->data)[k];
}

char **fnctextptrslot(const loopptrstructure *d, uint32_t k) {
    return &static_cast<char **>(d->data)[k];
}

// Releases a descriptor handle that is open. Only the target was written, and
// its data was flushed chunk by chunk before the outcome was decided, so a
// failing close changes nothing the run reports.
static void fncclosehandle(int32_t *pkfd) {
    if (*pkfd == -1)
        return;
    (void)close(*pkfd);
    *pkfd = -1;
}

void deleteallstructures() {
    deleteandresetloopptrstructure(&ipartdata);
    deleteandresetloopptrstructure(&idirdeventry);
    deleteandresetloopptrstructure(&idirpartentry);
    deleteandresetloopptrstructure(&isortdevices);
    deleteandresetloopptrstructure(&idirvecdata);
    deleteandresetloopptrstructure(&imergrespt);
    deleteandresetloopptrstructure(&iskipdevices);
    deleteandresetloopptrstructure(&spdbgoutptr);
    deleteandresetloopptrstructure(&starrout);
    deleteandresetloopptrstructure(&srawdata);
    deleteandresetloopptrstructure(&iavaildevnodes);
    fncclosehandle(&iphysdrvhndl);
    fncclosehandle(&imgfilehndl);
}

void fncterminateprocess(int nexitcode) {
    deleteallstructures();
    exit(nexitcode);
}
