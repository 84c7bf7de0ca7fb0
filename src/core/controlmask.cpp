// Outside text (file names, list lines, sysfs and udev values) is shown with
// its control bytes masked; the text itself, and every path opened from it,
// stays as it is.
#include "core/core.h"

#include <cstring>

// UTF-8 writes the C1 controls U+0080 to U+009F as 0xC2 followed by 0x80 to
// 0x9F; terminals that take UTF-8 obey some of them (CSI is U+009B).
static bool fncisc1control(const char *s, size_t k, size_t n) {
    return k + 1 < n && static_cast<unsigned char>(s[k]) == 0xC2 &&
           static_cast<unsigned char>(s[k + 1]) >= 0x80 &&
           static_cast<unsigned char>(s[k + 1]) <= 0x9F;
}

void fncmaskcontrolbytes(char *s, size_t n) {
    for (size_t k = 0; k < n; k++) {
        unsigned char c = static_cast<unsigned char>(s[k]);
        if ((c >= 0x01 && c <= 0x1F) || c == 0x7F) {
            s[k] = '?';
        } else if (fncisc1control(s, k, n)) {
            s[k] = '?';
            s[++k] = '?';
        }
    }
}

const char *fncmaskedcopy(char *sdest, size_t ndest, const char *stext) {
    size_t nlen = strnlen(stext, ndest - 1);
    memcpy(sdest, stext, nlen);
    sdest[nlen] = '\0';
    fncmaskcontrolbytes(sdest, nlen);
    return sdest;
}
