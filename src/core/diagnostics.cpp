// Diagnostics: messages on standard error and the log writer, which
// writes straight to descriptor 1 and adds the failed operation's errno.
#include "core/core.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

const char smsgnomemory[] = "ERROR: memory allocation failed,aborting\n";
char stmpbuf_wrlog[1001];
int32_t nctmpbuf_wrlog;
int32_t kfdout_wrlog;
int32_t dwwrite_wrlog;
int32_t berrflag;

void wrlog(const char *smessage) {
    // The fsync below fails on terminals and pipes and would overwrite errno:
    // keep the value the failed operation left.
    int nerrno = errno;
    nctmpbuf_wrlog = snprintf(stmpbuf_wrlog, sizeof stmpbuf_wrlog, "%s", smessage);
    if (nctmpbuf_wrlog > static_cast<int32_t>(sizeof stmpbuf_wrlog) - 1)
        nctmpbuf_wrlog = sizeof stmpbuf_wrlog - 1;
    kfdout_wrlog = 1;
    dwwrite_wrlog = static_cast<int32_t>(write(kfdout_wrlog, stmpbuf_wrlog, nctmpbuf_wrlog));
    berrflag = dwwrite_wrlog != -1 ? 1 : 0;
    (void)fsync(kfdout_wrlog);
    printf(" ERRORMSG: %d %s\n", nerrno, strerror(nerrno));
    fflush(stderr);
}

void fncprintfixederror(const char *smessage) {
    fputs(smessage, stderr);
    fflush(stderr);
}

void fncprintformattederror(const char *sformat, const char *stext, const char *stext2) {
    // A format with one conversion leaves stext2 unread, as printf allows.
    fprintf(stderr, sformat, stext, stext2);
    fflush(stderr);
}

void fncabortwithmessage(const char *smessage) {
    fncprintfixederror(smessage);
    fncterminateprocess(1);
}
