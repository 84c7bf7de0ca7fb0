// The texts kelpfall prints, each written here once; the tests build what a
// run must print from them.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace text {

inline const std::string driveprompt = "enter drive device index or q to abort (WARNING: all "
                                       "data will be lost !) : ",
                         nofiles = "ERROR: no files found,aborting\n",
                         badfile = "ERROR: invalid file selection,aborting\n",
                         baddrive = "ERROR: invalid drive selection,aborting\n",
                         nodisk = "ERROR: no physical device nodes found,aborting\n",
                         badtarget = "ERROR : write open handles for target device copy "
                                     "failed,aborting\n",
                         copyfailed = "ERROR : image copy failed \n",
                         nomemory = "ERROR: memory allocation failed,aborting\n";

// The numbered list of image candidates, its header and the prompt.
inline std::string listing(const std::vector<std::string> &names) {
    std::string s = "list of available files : \n";
    for (size_t k = 0; k < names.size(); k++)
        s += (k ? "\t\r" : "\r") + std::to_string(k) + " " + names[k] + "\n";
    return s + "choose image file number (q to abort) : ";
}

inline std::string banner(const std::string &path) {
    return "selected image file " + path +
           "\nchoose drive index from the following available drives : \n(NOTE: all disks with "
           "logical sector size different than the default 512 will not be written correctly)\n";
}

// One line of the drive table: sdrive is the name, vendor and model, each
// after one blank. A sector size other than 512 adds a warning.
inline std::string drive(int k, const std::string &sdrive, unsigned long nbytes, bool busb,
                         int nlbs = 512) {
    char s[600];
    int n = snprintf(s, sizeof s, "%d %s capacity %lu (%f GB) usb_bus: %s\n", k, sdrive.c_str(),
                     nbytes, nbytes / 1e9, busb ? "yes" : "no");
    if (nlbs != 512)
        snprintf(s + n, sizeof s - static_cast<size_t>(n),
                 "WARNING : drive %d logical sector size %d different than default 512\n", k, nlbs);
    return s;
}

inline std::string announce(const std::string &spath, long nsize, const std::string &sdrive,
                            long ncapacity) {
    return " writing image file " + spath + " size " + std::to_string(nsize) + " to target drive " +
           sdrive + " size " + std::to_string(ncapacity) + " ...\n";
}

// What the copy prints: the announcement, a progress line after each of the
// first nchunks chunks (all when negative) of the ndata bytes read from an
// image of nsize bytes, the failure's log line, and the summary.
inline std::string copy(const std::string &spath, long nsize, const std::string &sdrive,
                        long ncapacity, long ndata, long nchunks = -1, const std::string &slog = "",
                        long ncopied = -1) {
    std::string s = announce(spath, nsize, sdrive, ncapacity);
    for (long nwritten = 0, npadded = (ndata + 511) / 512 * 512; nwritten < npadded && nchunks--;) {
        nwritten = std::min(nwritten + 10000384, npadded);
        char sline[100];
        snprintf(sline, sizeof sline, "\rraw data copy written %.2f %% \t%.5f GB ",
                 nsize > 0 ? std::min(100.0, nwritten / (nsize / 100.0)) : 100.0, nwritten / 1e9);
        s += sline;
    }
    return s + slog + "\ngeneric_io_stream_raw_copy_buffered summary bytes copied " +
           std::to_string(((ncopied < 0 ? ndata : ncopied) + 511) / 512 * 512) + "\n";
}

} // namespace text
