// The list-file splitter: the input is the whole list file as read into
// srawdata. Every candidate must be a non-blank line of the text before its
// first NUL, in order, ended by a NUL inside the buffer, and every such line
// must be a candidate.
#include "fuzzcheck.h"

#include "core/core.h"
#include "image/image.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // fncloadlistfile refuses files of UINT32_MAX bytes and more; libFuzzer's
    // inputs are far below that, so the splitter never reaches an exit.
    resizeloopptrstructure(&srawdata, static_cast<uint32_t>(size + 1), 1);
    char *stext = static_cast<char *>(srawdata.data);
    memcpy(stext, data, size);
    stext[size] = '\0';

    // Expected candidates: the lines of the text up to its first NUL that
    // hold a byte other than " \t\v\f\r".
    std::string stextcopy(stext);
    std::vector<std::string> sexpected;
    size_t kstart = 0;
    while (kstart <= stextcopy.size()) {
        size_t kend = stextcopy.find('\n', kstart);
        if (kend == std::string::npos)
            kend = stextcopy.size();
        std::string sline = stextcopy.substr(kstart, kend - kstart);
        if (sline.find_first_not_of(" \t\v\f\r") != std::string::npos)
            sexpected.push_back(sline);
        kstart = kend + 1;
    }

    fncsplitlistlines();

    KF_FUZZ_CHECK(idirvecdata.count == sexpected.size());
    char **scandidates = static_cast<char **>(idirvecdata.data);
    const char *sprevious = nullptr;
    for (uint32_t k = 0; k < idirvecdata.count; k++) {
        const char *sline = scandidates[k];
        KF_FUZZ_CHECK(sline >= stext && sline < stext + size);
        KF_FUZZ_CHECK(sline > sprevious);
        size_t nlen = strnlen(sline, static_cast<size_t>(stext + size + 1 - sline));
        KF_FUZZ_CHECK(sline + nlen <= stext + size);
        KF_FUZZ_CHECK(std::string(sline, nlen) == sexpected[k]);
        sprevious = sline + nlen;
    }
    deleteallstructures();
    return 0;
}
