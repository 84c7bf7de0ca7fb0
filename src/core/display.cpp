// Outside text (file names, list lines, sysfs and udev values) is shown with
// its control bytes masked; the text itself, and every path opened from it,
// stays as it is.
#include "core/core.h"

#include <cstring>

void fncmaskcontrolbytes(char *s, size_t n) {
    for (size_t k = 0; k < n; k++) {
        unsigned char c = static_cast<unsigned char>(s[k]);
        if ((c >= 0x01 && c <= 0x1F) || c == 0x7F)
            s[k] = '?';
    }
}

const char *fncmaskedcopy(char *sdest, size_t ndest, const char *stext) {
    size_t nlen = strnlen(stext, ndest - 1);
    memcpy(sdest, stext, nlen);
    sdest[nlen] = '\0';
    fncmaskcontrolbytes(sdest, nlen);
    return sdest;
}
