// udev property lookup: nine properties of the disk's udev database file.
// systemd writes one property per line as "E:KEY=value", in the order the
// rules set them, so ID_VENDOR_ENC= and ID_VENDOR_ID= may stand before
// ID_VENDOR= or without it: keys are matched whole, never as substrings.
#include "blockdev/blockdev.h"

#include <cctype>
#include <cstdio>
#include <cstring>

char sudevdatapathtrgt[40];
const char sudevpropertykey_fstype[] = "ID_FS_TYPE";
const char sudevpropertykey_fslabel[] = "ID_FS_LABEL";
const char sudevpropertykey_fsversion[] = "ID_FS_VERSION";
const char sudevpropertykey_fsuuid[] = "ID_FS_UUID";
const char sudevpropertykey_serialnum_short[] = "ID_SERIAL_SHORT";
const char sudevpropertykey_model[] = "ID_MODEL";
const char sudevpropertykey_vendor[] = "ID_VENDOR";
const char sudevpropertykey_id_path_tag[] = "ID_PATH_TAG";
const char sudevpropertykey_id_bus[] = "ID_BUS";

#define KF_UDEVFIELD(field) offsetof(partrootrec, field), sizeof(partrootrec::field)
const udevpropertyrow iudevpropertytable[9] = {
    {sudevpropertykey_fstype, KF_UDEVFIELD(sfstype)},
    {sudevpropertykey_fslabel, KF_UDEVFIELD(sfslabel)},
    {sudevpropertykey_fsversion, KF_UDEVFIELD(sfsversion)},
    {sudevpropertykey_fsuuid, KF_UDEVFIELD(sfsuuid)},
    {sudevpropertykey_serialnum_short, KF_UDEVFIELD(sserialnum_short)},
    {sudevpropertykey_model, KF_UDEVFIELD(smodel)},
    {sudevpropertykey_vendor, KF_UDEVFIELD(svendor)},
    {sudevpropertykey_id_path_tag, KF_UDEVFIELD(sid_path_tag)},
    {sudevpropertykey_id_bus, KF_UDEVFIELD(sid_bus)},
};
#undef KF_UDEVFIELD

// Property prefix of a udev database line, and its length.
static const char sudevpropertyprefix[] = "E:";
static constexpr size_t nudevpropertyprefix = sizeof sudevpropertyprefix - 1;

// Sets stktmpptr to the value of the first line "E:<skey>=" in strtmpbuf,
// or to null when no line carries that key.
static void fncfindudevproperty(const char *skey) {
    size_t nkeylen = strlen(skey);
    for (char *sline = strtmpbuf; sline != nullptr;) {
        if (strncmp(sline, sudevpropertyprefix, nudevpropertyprefix) == 0 &&
            strncmp(sline + nudevpropertyprefix, skey, nkeylen) == 0 &&
            sline[nudevpropertyprefix + nkeylen] == '=') {
            stktmpptr = sline + nudevpropertyprefix + nkeylen + 1;
            return;
        }
        sline = strchr(sline, '\n');
        if (sline != nullptr)
            sline++;
    }
    stktmpptr = nullptr;
}

// Stores the first word of the value at stktmpptr, cut to nwidth - 1 bytes.
// The word never reaches past the line: an empty value stores nothing.
static void fncstoreudevvalue(char *sfield, size_t nwidth) {
    const char *sword = stktmpptr;
    while (*sword != '\n' && isspace(static_cast<unsigned char>(*sword)))
        sword++;
    size_t nlen = 0;
    while (sword[nlen] != '\0' && !isspace(static_cast<unsigned char>(sword[nlen])))
        nlen++;
    if (nlen > nwidth - 1)
        nlen = nwidth - 1;
    memcpy(sfield, sword, nlen);
    sfield[nlen] = '\0';
}

void fncparseudevproperties() {
    for (const udevpropertyrow &irow : iudevpropertytable) {
        fncfindudevproperty(irow.skey);
        if (stktmpptr != nullptr)
            fncstoreudevvalue(reinterpret_cast<char *>(ipartrootrec) + irow.koffset,
                              irow.nfieldwidth);
    }
}

void fncreadudevproperties() {
    if (ipartrootrec->sudevkey[0] == '\0')
        return;
    // The longest key, "b-2147483648:-2147483648", fits behind the prefix.
    snprintf(sudevdatapathtrgt + ncudevdataprefix, sizeof sudevdatapathtrgt - ncudevdataprefix,
             "%.24s", ipartrootrec->sudevkey);
    fncreadtextfile(sudevdatapathtrgt, strtmpbuf, sizeof strtmpbuf - 1);
    fncparseudevproperties();
}
