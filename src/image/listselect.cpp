// Image candidates from a list file, one path per line.
#include "image/image.h"

const char *fncselectimagefromlist(const char *) {
    fncterminateprocess(1);
}
