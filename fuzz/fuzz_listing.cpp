// The listing formatters: the input chooses a formatter, a source (directory
// names, texts or signed bytes), an optional index map and two ranges. The
// text built into spdbgoutptr must be exactly the entries "\r<k> <value>\n"
// joined by TAB, its count its length + 1 with the NUL last, and a second
// listing into the same descriptor must replace the first whole.
//
// The formatters end the run only when an allocation fails or the text would
// pass 4 GiB; the sources here stay below 300 elements of at most 256 bytes,
// so neither can happen and an exit would be a fault (libFuzzer reports one).
#include "fuzzcheck.h"

#include "core/core.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// Upper bound of the source length: listings of directories are this short.
static const int32_t nmaxfuzzelements = 300;

// A range bound: mostly near the source, sometimes anything.
static int32_t fncconsumebound(FuzzedDataProvider *ifdp) {
    if (ifdp->ConsumeBool())
        return ifdp->ConsumeIntegral<int32_t>();
    return ifdp->ConsumeIntegralInRange<int32_t>(-2, nmaxfuzzelements + 2);
}

// The expected listing text of values[first..last] as the formatters clamp
// the range and apply the map; empty when there is no entry.
static std::string fncexpectedlisting(const std::vector<std::string> &svalues, int32_t kfirst,
                                      int32_t klast, const std::vector<int32_t> &kmap,
                                      bool busemap) {
    int64_t ncount = static_cast<int64_t>(svalues.size());
    if (ncount == 0)
        return "";
    if (kfirst < 0 || kfirst >= ncount)
        kfirst = 0;
    if (klast < 0 || klast >= ncount)
        klast = static_cast<int32_t>(ncount - 1);
    if (kfirst > klast)
        klast = kfirst;
    std::string stext;
    for (int32_t i = kfirst; i <= klast; i++) {
        int32_t k = busemap ? kmap[static_cast<size_t>(i)] : i;
        if (k < 0 || k >= ncount)
            continue;
        if (!stext.empty())
            stext += '\t';
        std::string svalue = svalues[static_cast<size_t>(k)];
        for (char &c : svalue)
            if ((c >= 0x01 && c <= 0x1F) || c == 0x7F)
                c = '?';
        stext += "\r" + std::to_string(k) + " " + svalue + "\n";
    }
    return stext;
}

static void fncchecklisting(const std::string &sexpected) {
    if (sexpected.empty()) {
        KF_FUZZ_CHECK(spdbgoutptr.count == 0 && spdbgoutptr.data == nullptr);
        return;
    }
    const char *stext = static_cast<const char *>(spdbgoutptr.data);
    KF_FUZZ_CHECK(spdbgoutptr.count == sexpected.size() + 1);
    KF_FUZZ_CHECK(stext[spdbgoutptr.count - 1] == '\0');
    KF_FUZZ_CHECK(memcmp(stext, sexpected.data(), sexpected.size()) == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider ifdp(data, size);
    int32_t kformatter = ifdp.ConsumeIntegralInRange<int32_t>(0, 2);
    int32_t ncount = ifdp.ConsumeIntegralInRange<int32_t>(0, nmaxfuzzelements);
    bool busemap = ifdp.ConsumeBool();
    int32_t kfirst = fncconsumebound(&ifdp);
    int32_t klast = fncconsumebound(&ifdp);
    int32_t ksecondfirst = fncconsumebound(&ifdp);
    int32_t ksecondlast = fncconsumebound(&ifdp);

    std::vector<int32_t> kmap(static_cast<size_t>(ncount));
    for (int32_t &k : kmap)
        k = ifdp.ConsumeBool() ? ifdp.ConsumeIntegral<int32_t>()
                               : ifdp.ConsumeIntegralInRange<int32_t>(-1, ncount);

    // The source and, for each element, the text the listing must show.
    std::vector<std::string> svalues;
    std::vector<dirnamerec> inames;
    std::vector<std::string> sstrings;
    std::vector<char *> stexts;
    std::vector<int8_t> nbytes;
    for (int32_t k = 0; k < ncount; k++) {
        if (kformatter == 0) {
            // A name field may be full with no NUL: the listing stops at 256.
            dirnamerec irec;
            memset(&irec, 0, sizeof irec);
            std::string sname =
                ifdp.ConsumeBytesAsString(ifdp.ConsumeIntegralInRange<size_t>(0, sizeof irec.name));
            memcpy(irec.name, sname.data(), sname.size());
            irec.length = static_cast<uint8_t>(strnlen(irec.name, sizeof irec.name));
            inames.push_back(irec);
            svalues.emplace_back(irec.name, strnlen(irec.name, sizeof irec.name));
        } else if (kformatter == 1) {
            sstrings.push_back(ifdp.ConsumeRandomLengthString(4096));
            svalues.emplace_back(sstrings.back().c_str());
        } else {
            nbytes.push_back(ifdp.ConsumeIntegral<int8_t>());
            svalues.push_back(std::to_string(nbytes.back()));
        }
    }
    for (std::string &s : sstrings)
        stexts.push_back(s.data());

    loopptrstructure isource;
    isource.count = static_cast<uint32_t>(ncount);
    isource.kind = 0;
    isource.data = kformatter == 0   ? static_cast<void *>(inames.data())
                   : kformatter == 1 ? static_cast<void *>(stexts.data())
                                     : static_cast<void *>(nbytes.data());
    fncformatlisting_t sformatter = kformatter == 0   ? fncprintdebuggnptrdata_index_filename
                                    : kformatter == 1 ? fncprintdebuggnptrdata_index_charptr
                                                      : fncprintdebuggnptrdata_num_char;
    const int32_t *kindexmap = busemap ? kmap.data() : nullptr;

    sformatter(&isource, kfirst, klast, kindexmap, &spdbgoutptr);
    fncchecklisting(fncexpectedlisting(svalues, kfirst, klast, kmap, busemap));
    // The drive table follows the image listing in the same descriptor.
    sformatter(&isource, ksecondfirst, ksecondlast, kindexmap, &spdbgoutptr);
    fncchecklisting(fncexpectedlisting(svalues, ksecondfirst, ksecondlast, kmap, busemap));
    deleteallstructures();
    return 0;
}
