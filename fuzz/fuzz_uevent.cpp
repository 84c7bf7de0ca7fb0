// The uevent tokeniser and field extraction: the input is the text of a
// kernel uevent file as read into strtmpbuf. The tokens must lie inside the
// text, and the record's fields must be NUL-ended within their widths and
// follow from the first four lines as written.
#include "fuzzcheck.h"

#include "blockdev/blockdev.h"
#include "core/core.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// Whether the field holds a NUL within its width.
#define KF_FIELD_ENDED(field) (memchr((field), '\0', sizeof(field)) != nullptr)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // fncprobesysfsdevice reads at most 1000 bytes; the whole buffer is
    // fuzzed so that the longest texts are covered too.
    size_t ntext = size < sizeof strtmpbuf - 1 ? size : sizeof strtmpbuf - 1;
    memcpy(strtmpbuf, data, ntext);
    strtmpbuf[ntext] = '\0';

    // Expected tokens: the runs of bytes other than '\n' and '=' before the
    // first NUL, at most 8.
    std::string stext(strtmpbuf);
    std::vector<std::string> stokens;
    size_t k = 0;
    while (stokens.size() < 8) {
        k = stext.find_first_not_of("\n=", k);
        if (k == std::string::npos)
            break;
        size_t kend = stext.find_first_of("\n=", k);
        if (kend == std::string::npos)
            kend = stext.size();
        stokens.push_back(stext.substr(k, kend - k));
        k = kend;
    }

    partrootrec *irec = createpartrecord();
    fncparseuevent();

    KF_FUZZ_CHECK(nuevtokens == static_cast<int32_t>(stokens.size()));
    KF_FUZZ_CHECK(starrout.count == 8);
    char **stokenptrs = static_cast<char **>(starrout.data);
    for (int32_t t = 0; t < 8; t++) {
        char *stoken = stokenptrs[t];
        if (t >= nuevtokens) {
            KF_FUZZ_CHECK(stoken == nullptr);
            continue;
        }
        KF_FUZZ_CHECK(stoken >= strtmpbuf && stoken < strtmpbuf + ntext);
        KF_FUZZ_CHECK(std::string(stoken) == stokens[t]);
    }

    KF_FUZZ_CHECK(KF_FIELD_ENDED(irec->sudevkey));
    KF_FUZZ_CHECK(KF_FIELD_ENDED(irec->sdevname));
    KF_FUZZ_CHECK(KF_FIELD_ENDED(irec->sdevpath));
    KF_FUZZ_CHECK(KF_FIELD_ENDED(irec->sdevtype));
    KF_FUZZ_CHECK(irec->nmajor >= 0 && irec->nminor >= 0);
    bool bcomplete = stokens.size() == 8 && stokens[0] == "MAJOR" && stokens[2] == "MINOR" &&
                     stokens[4] == "DEVNAME" && stokens[6] == "DEVTYPE";
    if (!bcomplete) {
        // An incomplete uevent names no node and no udev file.
        KF_FUZZ_CHECK(irec->sudevkey[0] == '\0' && irec->sdevname[0] == '\0' &&
                      irec->sdevpath[0] == '\0' && irec->sdevtype[0] == '\0');
    } else {
        char skey[sizeof irec->sudevkey];
        snprintf(skey, sizeof skey, "b%d:%d", irec->nmajor, irec->nminor);
        KF_FUZZ_CHECK(strcmp(skey, irec->sudevkey) == 0);
        KF_FUZZ_CHECK(stokens[7].compare(0, sizeof irec->sdevtype - 1, irec->sdevtype) == 0);
        // DEVNAME is stored whole or not at all, never cut to another name.
        if (stokens[5].size() < sizeof irec->sdevname) {
            KF_FUZZ_CHECK(stokens[5] == irec->sdevname);
            KF_FUZZ_CHECK("/dev/" + stokens[5] == irec->sdevpath);
        } else {
            KF_FUZZ_CHECK(irec->sdevname[0] == '\0' && irec->sdevpath[0] == '\0');
        }
    }
    deleteallstructures();
    return 0;
}
