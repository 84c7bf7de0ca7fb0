// The texts kelpfall prints, each written here once; the tests build what a
// run must print from them.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace text {

inline const std::string files = "list of available files : \n",
                         fileprompt = "choose image file number (q to abort) : ",
                         driveprompt = "enter drive device index or q to abort (WARNING: all data "
                                       "will be lost !) : ",
                         nofiles = "ERROR: no files found,aborting\n",
                         badfile = "ERROR: invalid file selection,aborting\n",
                         baddrive = "ERROR: invalid drive selection,aborting\n",
                         nodisk = "ERROR: no physical device nodes found,aborting\n",
                         nomemory = "ERROR: memory allocation failed,aborting\n",
                         badtarget = "ERROR : write open handles for target device copy "
                                     "failed,aborting\n",
                         copyfailed = "ERROR : image copy failed \n";

inline std::string notfound(const std::string &path) {
    return "Usage : kelpfall\nno_args=scan current directory\n1_arg=image_file\n"
           "2_arg=images_list_file+dummy_arg\nERROR: requested image file " +
           path + " not found,aborting\n";
}

// A failure of the list file: "read open error,aborting\n" and the like.
inline std::string listfile(const std::string &path, const std::string &what) {
    return "ERROR : sfilename " + path + " " + what;
}

// The numbered list of image candidates, its header and the prompt.
inline std::string listing(const std::vector<std::string> &names) {
    std::string s = files;
    for (size_t k = 0; k < names.size(); k++)
        s += (k ? "\t\r" : "\r") + std::to_string(k) + " " + names[k] + "\n";
    return s + fileprompt;
}

inline std::string banner(const std::string &path) {
    return "selected image file " + path +
           "\nchoose drive index from the following available drives : \n(NOTE: all disks with "
           "logical sector size different than the default 512 will not be written correctly)\n";
}

// One line of the drive table; a sector size other than 512 adds a warning.
inline std::string drive(int k, const std::string &sname, const std::string &svendor,
                         const std::string &smodel, unsigned long nbytes, bool busb,
                         int nlbs = 512) {
    char s[100];
    snprintf(s, sizeof s, " capacity %lu (%f GB) usb_bus: %s\n", nbytes, nbytes / 1e9,
             busb ? "yes" : "no");
    return std::to_string(k) + " " + sname + " " + svendor + " " + smodel + s +
           (nlbs == 512 ? ""
                        : "WARNING : drive " + std::to_string(k) + " logical sector size " +
                              std::to_string(nlbs) + " different than default 512\n");
}

inline std::string announce(const std::string &spath, long nsize, const std::string &sdrive,
                            long ncapacity) {
    return " writing image file " + spath + " size " + std::to_string(nsize) + " to target drive " +
           sdrive + " size " + std::to_string(ncapacity) + " ...\n";
}

// The progress lines of a copy of ndata bytes from an image of nsize bytes,
// after each of its first nchunks chunks (all of them when negative).
inline std::string progress(long ndata, long nsize, long nchunks = -1) {
    std::string s;
    for (long nwritten = 0, npadded = (ndata + 511) / 512 * 512; nwritten < npadded && nchunks--;) {
        nwritten = std::min(nwritten + 10000384, npadded);
        char sline[100];
        snprintf(sline, sizeof sline, "\rraw data copy written %.2f %% \t%.5f GB ",
                 nsize > 0 ? std::min(100.0, nwritten / (nsize / 100.0)) : 100.0, nwritten / 1e9);
        s += sline;
    }
    return s;
}

// A failed read or write: its message, then the errno of the failure.
inline std::string log(const std::string &smessage, int nerrno) {
    return smessage + " ERRORMSG: " + std::to_string(nerrno) + " " + strerror(nerrno) + "\n";
}

inline std::string summary(long ncopied) {
    return "\ngeneric_io_stream_raw_copy_buffered summary bytes copied " +
           std::to_string((ncopied + 511) / 512 * 512) + "\n";
}

} // namespace text
