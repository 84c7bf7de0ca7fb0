// Texts kelpfall prints in more than one test, each written here once.
#pragma once

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
                                     "failed,aborting\n";

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

} // namespace text
