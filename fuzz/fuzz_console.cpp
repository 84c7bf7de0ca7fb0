// The console number reader: the input is what the user types, read through
// stdin (replaced by a memory stream over the input). Each call must agree
// with an independent reading of "%d": the value within int32 and equal to
// the digits, a number that does not fit refused, and the byte that ended the
// number left unread.
#include "fuzzcheck.h"

#include "core/core.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

// Reads one number from stext at *pk as the prompt does; *pk ends at the
// first byte not taken (the one that stays unread). Returns 1 with *pnvalue,
// or 0.
static int fncexpectednumber(const std::string &stext, size_t *pk, int32_t *pnvalue) {
    size_t k = *pk;
    while (k < stext.size() && strchr(" \t\n\v\f\r", stext[k]) != nullptr && stext[k] != '\0')
        k++;
    bool bnegative = false;
    if (k < stext.size() && (stext[k] == '+' || stext[k] == '-')) {
        bnegative = stext[k] == '-';
        k++;
    }
    size_t kdigits = k;
    while (k < stext.size() && stext[k] >= '0' && stext[k] <= '9')
        k++;
    *pk = k;
    if (k == kdigits)
        return 0;
    std::string sdigits = stext.substr(kdigits, k - kdigits);
    sdigits.erase(0, std::min(sdigits.find_first_not_of('0'), sdigits.size() - 1));
    const std::string slimit = bnegative ? "2147483648" : "2147483647";
    if (sdigits.size() > slimit.size() || (sdigits.size() == slimit.size() && sdigits > slimit))
        return 0;
    int64_t nvalue = 0;
    for (char c : sdigits)
        nvalue = nvalue * 10 + (c - '0');
    *pnvalue = static_cast<int32_t>(bnegative ? -nvalue : nvalue);
    return 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string stext(reinterpret_cast<const char *>(data), size);
    // A memory stream over an empty buffer is refused on some C libraries:
    // give it one byte and no input.
    FILE *imemory = fmemopen(const_cast<char *>(stext.data()), size == 0 ? 1 : size, "r");
    if (imemory == nullptr)
        return 0;
    if (size == 0)
        (void)getc(imemory);
    FILE *isavedstdin = stdin;
    stdin = imemory;
    size_t kexpected = 0;
    // Every prompt reads one number; read on while numbers convert, as many
    // prompts in a row would.
    for (;;) {
        const int32_t nuntouched = 0x5a5a5a5a;
        int32_t nvalue = nuntouched;
        int32_t nexpected = nuntouched;
        int bread = fncreadconsolenumber(&nvalue);
        int bexpected = fncexpectednumber(stext, &kexpected, &nexpected);
        KF_FUZZ_CHECK(bread == bexpected);
        if (bread == 1)
            KF_FUZZ_CHECK(nvalue == nexpected);
        else
            KF_FUZZ_CHECK(nvalue == nuntouched);
        // The byte that ended the number is the next one read.
        int c = getchar();
        KF_FUZZ_CHECK(c == (kexpected < size ? static_cast<unsigned char>(stext[kexpected]) : EOF));
        if (c != EOF)
            ungetc(c, stdin);
        if (bread == 0)
            break;
    }
    stdin = isavedstdin;
    fclose(imemory);
    return 0;
}
