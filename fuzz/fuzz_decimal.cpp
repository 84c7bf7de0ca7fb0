// The numeric attribute reader: the input is the text of a sysfs attribute.
// fncparsedecimal must agree with an independent reading of the digits, and
// leave the value untouched when it refuses.
#include "fuzzcheck.h"

#include "blockdev/blockdev.h"

#include <cstdint>
#include <cstring>
#include <string>

// The expected result: white space skipped, an optional '+', then the digits;
// 0 when there is no digit or the number exceeds 64 bits.
static int fncexpecteddecimal(const std::string &stext, uint64_t *pnvalue) {
    size_t k = stext.find_first_not_of(" \t\n\v\f\r");
    if (k == std::string::npos)
        return 0;
    if (stext[k] == '+')
        k++;
    size_t kend = k;
    while (kend < stext.size() && stext[kend] >= '0' && stext[kend] <= '9')
        kend++;
    if (kend == k)
        return 0;
    std::string sdigits = stext.substr(k, kend - k);
    sdigits.erase(0, std::min(sdigits.find_first_not_of('0'), sdigits.size() - 1));
    const std::string smax = "18446744073709551615";
    if (sdigits.size() > smax.size() || (sdigits.size() == smax.size() && sdigits > smax))
        return 0;
    uint64_t nvalue = 0;
    for (char c : sdigits)
        nvalue = nvalue * 10 + static_cast<uint64_t>(c - '0');
    *pnvalue = nvalue;
    return 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The text ends at its first NUL, as in srawdtint.
    std::string stext(reinterpret_cast<const char *>(data), size);
    stext = stext.c_str();
    const uint64_t nuntouched = 0xa5a5a5a5a5a5a5a5ULL;
    uint64_t nvalue = nuntouched;
    uint64_t nexpected = nuntouched;
    int bparsed = fncparsedecimal(stext.c_str(), &nvalue);
    KF_FUZZ_CHECK(bparsed == fncexpecteddecimal(stext, &nexpected));
    KF_FUZZ_CHECK(nvalue == nexpected);
    return 0;
}
