// The directory loader shared by image selection (the working directory) and
// discovery (/sys/class/block/ and each disk's own directory).
#include "core/core.h"

#include <cerrno>
#include <cstring>

DIR *ildrfpthndl;
struct dirent *ildrfptrrec;

static const char sloadermessage[] = "ERROR: loaddirdatareaddirvers readdir failed ";

// "." and ".." only; other names beginning with a dot are ordinary entries.
static bool fncisdotentry(const char *sname, size_t nlen) {
    return sname[0] == '.' && (nlen == 1 || (nlen == 2 && sname[1] == '.'));
}

static void fncappenddirname(loopptrstructure *itarget, const char *sname, size_t nlen) {
    uint32_t kslot = itarget->count;
    resizeloopptrstructure(itarget, kslot + 1, sizeof(dirnamerec));
    dirnamerec *irec = fncdirnamerec(itarget, kslot);
    irec->length = static_cast<uint8_t>(nlen);
    memcpy(irec->name, sname, nlen + 1);
}

void loaddirdatareaddirvers(const char *sdirpath, loopptrstructure *itarget, const char *sprefix,
                            int32_t nprefix) {
    deleteandresetloopptrstructure(itarget);
    ildrfpthndl = opendir(sdirpath);
    if (ildrfpthndl == nullptr)
        return;
    for (;;) {
        errno = 0;
        ildrfptrrec = readdir(ildrfpthndl);
        if (ildrfptrrec == nullptr)
            break;
        const char *sname = ildrfptrrec->d_name;
        // Local file systems keep names to 255 bytes, but FUSE ones (NTFS,
        // exFAT, sshfs) can return up to 1,024, past the end of d_name's
        // declared size: such a name fits no dirnamerec and is left out.
        size_t nlen = strlen(sname);
        if (nlen >= sizeof(dirnamerec::name) || fncisdotentry(sname, nlen))
            continue;
        if (sprefix != nullptr && strncmp(sname, sprefix, static_cast<size_t>(nprefix)) != 0)
            continue;
        fncappenddirname(itarget, sname, nlen);
    }
    if (errno != 0)
        wrlog(sloadermessage);
    // A stream only read from has nothing a failing close could lose.
    (void)closedir(ildrfpthndl);
    ildrfpthndl = nullptr;
}
