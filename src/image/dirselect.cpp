// Image candidates from the working directory.
#include "image/image.h"

int32_t kimgfileix;

const char *fncselectimagefromdir() {
    fncterminateprocess(1);
}

int32_t fncchooseimagecandidate(fncformatlisting_t) {
    fncterminateprocess(1);
}
