// The parsers of outside input, each fed the same bytes: a sysfs number, a
// uevent file, a udev database file and a list file. (The answers typed at the
// prompts are read a character at a time into no buffer; the tests cover their
// overflow.) Each must stay inside its buffers (AddressSanitizer), never end
// the run (an exit is reported as a crash) and keep the invariants below: what
// it takes from the text is text that was there.
#include "blockdev/blockdev.h"
#include "core/core.h"
#include "image/image.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// A broken invariant aborts; libFuzzer reports it and keeps the input.
#define KF_CHECK(b) ((b) ? (void)0 : (fprintf(stderr, "invariant broken: %s\n", #b), abort()))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *sdata = reinterpret_cast<const char *>(data);
    const std::string stext(sdata, strnlen(sdata, std::min(size, sizeof strtmpbuf - 1)));
    auto bfound = [&stext](const std::string &s) { return stext.find(s) != std::string::npos; };
    uint64_t nvalue = 0;
    KF_CHECK(!fncparsedecimal(stext.c_str(), &nvalue) || bfound(std::to_string(nvalue)));

    partrootrec *irec = createpartrecord();
    memcpy(strtmpbuf, stext.c_str(), stext.size() + 1);
    fncparseuevent();
    KF_CHECK(bfound(irec->sdevtype) && bfound(irec->sdevname) &&
             irec->sdevpath == (*irec->sdevname ? "/dev/" + std::string(irec->sdevname) : ""));
    memcpy(strtmpbuf, stext.c_str(), stext.size() + 1);
    fncparseudevproperties();
    for (const char *sfield : {irec->svendor, irec->smodel, irec->sid_bus, irec->sid_path_tag})
        KF_CHECK(bfound(sfield) && strcspn(sfield, " \t\n\v\f\r") == strlen(sfield));

    // List lines: non-empty, without a newline, pointing into the buffer.
    resizeloopptrstructure(&srawdata, static_cast<uint32_t>(stext.size() + 1), 1);
    memcpy(srawdata.data, stext.c_str(), stext.size() + 1);
    fncsplitlistlines();
    for (uint32_t k = 0; k < idirvecdata.count; k++) {
        const char *sline = static_cast<char **>(idirvecdata.data)[k];
        KF_CHECK(sline >= srawdata.data &&
                 sline < static_cast<char *>(srawdata.data) + stext.size() && *sline != '\0' &&
                 strchr(sline, '\n') == nullptr && bfound(sline));
    }

    deleteallstructures();
    return 0;
}
