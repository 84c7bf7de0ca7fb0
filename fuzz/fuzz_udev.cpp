// The udev property lookup: the input is the text of a udev database file as
// read into strtmpbuf. Each of the nine fields must hold the first word of the
// value of the first "E:KEY=" line with that whole key, cut to the field's
// width, NUL-ended; a field whose key is absent stays all zero, and nothing
// outside the nine fields changes.
#include "fuzzcheck.h"

#include "blockdev/blockdev.h"
#include "core/core.h"

#include <cstdint>
#include <cstring>
#include <string>

// The expected field text for skey: the first word of the value of the first
// line "E:<skey>=" of stext, at most nwidth - 1 bytes. Returns false when no
// line carries the key.
static bool fncexpectedudevvalue(const std::string &stext, const char *skey, size_t nwidth,
                                 std::string *svalue) {
    const std::string sprefix = std::string("E:") + skey + "=";
    size_t kline = 0;
    while (kline <= stext.size()) {
        size_t kend = stext.find('\n', kline);
        if (kend == std::string::npos)
            kend = stext.size();
        if (stext.compare(kline, sprefix.size(), sprefix) == 0) {
            size_t k = kline + sprefix.size();
            while (k < kend && (stext[k] == ' ' || stext[k] == '\t'))
                k++;
            size_t kword = stext.find_first_of(" \t\n\v\f\r", k);
            if (kword == std::string::npos || kword > kend)
                kword = kend;
            *svalue = stext.substr(k, std::min(kword - k, nwidth - 1));
            return true;
        }
        kline = kend + 1;
    }
    return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t ntext = size < sizeof strtmpbuf - 1 ? size : sizeof strtmpbuf - 1;
    memcpy(strtmpbuf, data, ntext);
    strtmpbuf[ntext] = '\0';
    std::string stext(strtmpbuf);

    // A record with a key, as discovery leaves it before the lookup.
    partrootrec *irec = createpartrecord();
    memcpy(irec->sudevkey, "b8:0", 5);
    partrootrec ibefore;
    memcpy(&ibefore, irec, sizeof ibefore);

    fncparseudevproperties();

    unsigned char *pbefore = reinterpret_cast<unsigned char *>(&ibefore);
    unsigned char *pafter = reinterpret_cast<unsigned char *>(irec);
    for (const udevpropertyrow &irow : iudevpropertytable) {
        const char *sfield = reinterpret_cast<const char *>(pafter + irow.koffset);
        KF_FUZZ_CHECK(memchr(sfield, '\0', irow.nfieldwidth) != nullptr);
        std::string sexpected;
        if (fncexpectedudevvalue(stext, irow.skey, irow.nfieldwidth, &sexpected)) {
            KF_FUZZ_CHECK(sexpected == sfield);
        } else {
            for (size_t k = 0; k < irow.nfieldwidth; k++)
                KF_FUZZ_CHECK(sfield[k] == '\0');
        }
        // Mark the field as checked: every other byte must be as before.
        memset(pbefore + irow.koffset, 0, irow.nfieldwidth);
        memset(pafter + irow.koffset, 0, irow.nfieldwidth);
    }
    KF_FUZZ_CHECK(memcmp(pbefore, pafter, sizeof ibefore) == 0);
    deleteallstructures();
    return 0;
}
