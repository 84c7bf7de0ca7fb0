// The directory loader shared by the image candidates, /sys/class/block/ and
// each disk's partition scan.
#include "blockdev/blockdev.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>

// The open directory stream; used within one call of the loader only.
static DIR *ildrfpthndl;
// The entry that the last readdir returned.
static dirent *ildrfptrrec;

void loaddirdatareaddirvers(const char *sdirpath, loopptrstructure *itarget, const char *sprefix,
                            int32_t nprefix) {
    deleteandresetloopptrstructure(itarget);
    ildrfpthndl = opendir(sdirpath);
    if (ildrfpthndl == nullptr)
        return;
    for (;;) {
        // readdir returns null both at the end and on failure; only errno
        // tells them apart.
        errno = 0;
        ildrfptrrec = readdir(ildrfpthndl);
        if (ildrfptrrec == nullptr)
            break;
        const char *sname = ildrfptrrec->d_name;
        // d_name holds at most 255 bytes and its NUL.
        size_t nname = strlen(sname);
        if (sname[0] == '.' && (nname == 1 || (nname == 2 && sname[1] == '.')))
            continue;
        if (sprefix != nullptr && strncmp(sname, sprefix, static_cast<size_t>(nprefix)) != 0)
            continue;
        uint32_t kslot = itarget->count;
        resizeloopptrstructure(itarget, itarget->count + 1, sizeof(dirnamerec));
        dirnamerec *irec = &static_cast<dirnamerec *>(itarget->data)[kslot];
        irec->length = static_cast<uint8_t>(nname);
        memcpy(irec->name, sname, nname + 1);
    }
    if (errno != 0)
        wrlog("ERROR: loaddirdatareaddirvers readdir failed ");
    closedir(ildrfpthndl);
    ildrfpthndl = nullptr;
}
