// Image candidates from the working directory, and the numbered dialogue that
// both selection modes use.
#include "image/image.h"

#include <cstdio>

int32_t kimgfileix;

const char *fncselectimagefromdir() {
    // Every entry but "." and "..", in directory stream order, unfiltered:
    // subdirectories, device nodes and dot names are candidates too.
    loaddirdatareaddirvers(".", &idirvecdata, nullptr, 0);
    if (idirvecdata.count == 0)
        fncabortwithmessage("ERROR: no files found,aborting\n");
    int32_t k = fncchooseimagecandidate(fncprintdebuggnptrdata_index_filename);
    return fncdirnamerec(&idirvecdata, static_cast<uint32_t>(k))->name;
}

int32_t fncchooseimagecandidate(fncformatlisting_t sformatter) {
    // Header and prompt go through stdout, the listing straight to the
    // descriptor: flushing before and after keeps them in this order.
    puts("list of available files : ");
    fflush(stdout);
    deleteandresetloopptrstructure(&spdbgoutptr);
    sformatter(&idirvecdata, 0, static_cast<int32_t>(idirvecdata.count - 1), nullptr, &spdbgoutptr);
    fnc_iotransfrdata_write_stream();
    printf("choose image file number (q to abort) : ");
    fflush(stdout);
    // What follows the number on the line stays unread for the drive prompt.
    if (!fncreadconsolenumber(&kimgfileix) || kimgfileix < 0 ||
        static_cast<uint32_t>(kimgfileix) >= idirvecdata.count)
        fncabortwithmessage("ERROR: invalid file selection,aborting\n");
    return kimgfileix;
}
