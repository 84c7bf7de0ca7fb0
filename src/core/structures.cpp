// Descriptor arrays: the growth idiom, the recursive release and the teardown
// that runs immediately before every process exit.
#include "core/core.h"

#include "blockdev/blockdev.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

loopptrstructure idirvecdata;
loopptrstructure idirdeventry;
loopptrstructure idirpartentry;
loopptrstructure isortdevices;
loopptrstructure imergrespt;
loopptrstructure ipartdata;
loopptrstructure iavaildevnodes;
loopptrstructure starrout;
loopptrstructure srawdata;
loopptrstructure spdbgoutptr;
int32_t imgfilehndl = -1;
int32_t iphysdrvhndl = -1;
char *stktmpptr;

static const char smsgnomemory[] = "ERROR: memory allocation failed,aborting\n";

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
        loopptrstructure *inested = static_cast<loopptrstructure *>(d->data);
        for (uint32_t k = 0; k < d->count; k++)
            deleteloopptrstructure(&inested[k]);
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

void deletepartrecord(uint32_t k) {
    loopptrstructure *islot = &static_cast<loopptrstructure *>(ipartdata.data)[k];
    partrootrec *irec = static_cast<partrootrec *>(islot->data);
    if (irec->idevext != nullptr) {
        free(irec->idevext);
        irec->idevext = nullptr;
    }
    deleteandresetloopptrstructure(islot);
}

void deleteallstructures() {
    for (uint32_t k = 0; k < ipartdata.count; k++)
        deletepartrecord(k);
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
    if (iphysdrvhndl != -1) {
        close(iphysdrvhndl);
        iphysdrvhndl = -1;
    }
    if (imgfilehndl != -1) {
        close(imgfilehndl);
        imgfilehndl = -1;
    }
}

void fncterminateprocess(int nexitcode) {
    deleteallstructures();
    exit(nexitcode);
}
