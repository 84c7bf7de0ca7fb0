// Texts kelpfall prints in more than one test, each written here once.
#pragma once

#include <string>

namespace text {

inline const std::string driveprompt = "enter drive device index or q to abort (WARNING: all "
                                       "data will be lost !) : ",
                         baddrive = "ERROR: invalid drive selection,aborting\n",
                         nodisk = "ERROR: no physical device nodes found,aborting\n",
                         badtarget = "ERROR : write open handles for target device copy "
                                     "failed,aborting\n";

inline std::string banner(const std::string &path) {
    return "selected image file " + path +
           "\nchoose drive index from the following available drives : \n(NOTE: all disks with "
           "logical sector size different than the default 512 will not be written correctly)\n";
}

} // namespace text
