// The parsers of outside input, each fed the same bytes: a sysfs number, a
// uevent file, a udev database file, a list file and the answers typed at the
// prompts. Each must stay inside its buffers (AddressSanitizer), never end
// the run (an exit is reported as a crash) and keep the invariants below: what
// it takes from the text is text that was there.
#include "blockdev/blockdev.h"
#include "core/core.h"
#include "image/image.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

// A broken invariant aborts; libFuzzer reports it and keeps the input.
#define KF_CHECK(b) ((b) ? (void)0 : (fprintf(stderr, "invariant broken: %s\n", #b), abort()))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string sbytes(reinterpret_cast<const char *>(data), size);
    const std::string stext = sbytes.substr(0, sizeof strtmpbuf - 1).c_str();
    uint64_t nvalue = 0;
    KF_CHECK(!fncparsedecimal(stext.c_str(), &nvalue) ||
             stext.find(std::to_string(nvalue)) != std::string::npos);

    partrootrec *irec = createpartrecord();
    memcpy(strtmpbuf, stext.c_str(), stext.size() + 1);
    fncparseuevent();
    KF_CHECK(stext.find(irec->sdevtype) != std::string::npos &&
             (irec->sdevname[0] == '\0'
                  ? irec->sdevpath[0] == '\0'
                  : stext.find(irec->sdevname) != std::string::npos &&
                        irec->sdevpath == "/dev/" + std::string(irec->sdevname)));
    memcpy(strtmpbuf, stext.c_str(), stext.size() + 1);
    fncparseudevproperties();
    for (const char *sfield : {irec->svendor, irec->smodel, irec->sid_bus, irec->sid_path_tag})
        KF_CHECK(stext.find(sfield) != std::string::npos &&
                 strcspn(sfield, " \t\n\v\f\r") == strlen(sfield));

    resizeloopptrstructure(&srawdata, static_cast<uint32_t>(stext.size() + 1), 1);
    memcpy(srawdata.data, stext.c_str(), stext.size() + 1);
    fncsplitlistlines();
    for (uint32_t k = 0; k < idirvecdata.count; k++) {
        const char *sline = static_cast<char **>(idirvecdata.data)[k];
        KF_CHECK(sline >= srawdata.data &&
                 sline < static_cast<char *>(srawdata.data) + stext.size());
        KF_CHECK(*sline != '\0' && strchr(sline, '\n') == nullptr &&
                 stext.find(sline) != std::string::npos);
    }

    // The answers: every number read prints back as digits of the input.
    FILE *isaved = stdin;
    stdin = fmemopen(const_cast<char *>(sbytes.data()), size + 1, "r");
    for (int32_t nanswer = 0; stdin != nullptr && fncreadconsolenumber(&nanswer) == 1;)
        KF_CHECK(sbytes.find(std::to_string(nanswer).substr(nanswer < 0)) != std::string::npos);
    fclose(std::exchange(stdin, isaved));
    deleteallstructures();
    return 0;
}
