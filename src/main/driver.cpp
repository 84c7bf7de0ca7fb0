// The program driver: one linear run from start-up to the exit status.
#include "main/main.h"

#include "blockdev/blockdev.h"
#include "copy/copy.h"
#include "image/image.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// The usage text, then the failure of the one-argument mode.
static const char smsgimagenotfound[] = "Usage : kelpfall\nno_args=scan current directory\n"
                                        "1_arg=image_file\n2_arg=images_list_file+dummy_arg\n"
                                        "ERROR: requested image file %s not found,aborting\n";

// Copies a chosen path into simgfilepath. Candidates come from directory
// entries (at most 255 bytes) or from list lines the selection already
// limited, so the text always fits.
static void fncstoreimagepath(const char *spath) {
    size_t nlen = strnlen(spath, sizeof simgfilepath - 1);
    memcpy(simgfilepath, spath, nlen);
    simgfilepath[nlen] = '\0';
    fncmaskedcopy(simgfiledisplay, sizeof simgfiledisplay, simgfilepath);
}

// One-argument mode: the path must open for reading; it is closed at once.
static void fncselectimagefromargument(const char *spath) {
    int kfd = strlen(spath) < sizeof simgfilepath ? open(spath, O_RDONLY) : -1;
    if (kfd == -1) {
        fncprintformattederror(smsgimagenotfound, spath);
        fncterminateprocess(1);
    }
    // Opened only to prove that it can be: nothing to lose on close.
    (void)close(kfd);
    fncstoreimagepath(spath);
}

static void fncprintbanner() {
    printf("selected image file %s\n", simgfiledisplay);
    fflush(stdout);
    puts("choose drive index from the following available drives : ");
    fflush(stdout);
    printf("(NOTE: all disks with logical sector size different than the default %d will not be "
           "written correctly)\n",
           ncsectorsize);
    fflush(stdout);
}

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. open()
// returns the lowest free descriptor, so without this the image or the target
// could become descriptor 1 or 2 and receive the messages meant for the
// terminal. Ends the run when /dev/null cannot be opened.
static void fncguardstandarddescriptors() {
    for (int kfd = 0; kfd <= 2; kfd++) {
        if (fcntl(kfd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (open("/dev/null", O_RDWR) != kfd)
            fncterminateprocess(1);
    }
}

void fncrunprogram(int argc, char **argv) {
    fncguardstandarddescriptors();
    iofdrecproc.kfdin = 0;
    iofdrecproc.kfdout = 1;
    static_assert(sizeof sudevdatapathtrgt > sizeof sudevdatapathroot);
    static_assert(sizeof sdevrootpath > sizeof sfnmkrnlsysblock);
    memcpy(sudevdatapathtrgt, sudevdatapathroot, sizeof sudevdatapathroot);
    memcpy(sdevrootpath, sfnmkrnlsysblock, sizeof sfnmkrnlsysblock);

    if (argc <= 1)
        fncstoreimagepath(fncselectimagefromdir());
    else if (argc == 3)
        fncstoreimagepath(fncselectimagefromlist(argv[1]));
    else
        fncselectimagefromargument(argv[1]);

    fncprintbanner();
    fncscanblockdevices();
    fncprintdrivetable();
    fncselecttargetdrive();
    int32_t bgood = generic_io_stream_raw_copy_buffered();
    fncterminateprocess(bgood == 1 ? 0 : 1);
}
