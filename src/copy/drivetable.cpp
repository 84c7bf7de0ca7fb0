// The drive table and the target prompt.
#include "copy/copy.h"

partrootrec *ipartinfrec;
int32_t navaildevnodes;
int32_t kscanphysdrv;

void fncprintdrivetable() {
    fncabortwithmessage("ERROR: no physical device nodes found,aborting\n");
}

void fncselecttargetdrive() {
    fncabortwithmessage("ERROR: invalid drive selection,aborting\n");
}
