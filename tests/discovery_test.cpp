// Block device discovery and the drive table, run in the sandbox against
// fixture trees like real machines and against loop devices the tests attach.
#include "sandbox.h"

namespace {

const std::string sheader = "choose drive index from the following available drives : \n"
                            "(NOTE: all disks with logical sector size different than the default "
                            "512 will not be written correctly)\n";
const std::string sprompt =
    "enter drive device index or q to abort (WARNING: all data will be lost !) : ";
const std::string sinvalid = "ERROR: invalid drive selection,aborting\n";
const std::string snodisk = "ERROR: no physical device nodes found,aborting\n";

// Runs the one-argument mode with an image in the work directory.
RunResult runtable(Sandbox &s, const std::string &sinput) {
    writefile(s.work + "/disk.img", std::string(512, 'k'));
    return s.run({.args = {"disk.img"}, .input = sinput});
}

// The drive table as printed: everything after the banner, up to the prompt.
std::string tableof(const RunResult &r) {
    std::string sout = r.out;
    size_t kstart = sout.find(sheader);
    if (kstart == std::string::npos)
        return "<no banner>" + sout;
    sout = sout.substr(kstart + sheader.size());
    size_t kprompt = sout.find(sprompt);
    return kprompt == std::string::npos ? sout : sout.substr(0, kprompt);
}

} // namespace

TEST(Discovery, SimpleDisk) {
    KF_REQUIRE_SANDBOX();
    Sandbox s;
    s.adddisk({.name = "sda",
               .uevent = ueventtext(8, 0, "sda"),
               .size = "2048\n",
               .partitions = {"sda1"}});
    s.addudev("b8:0", "E:ID_BUS=usb\nE:ID_VENDOR=Generic\nE:ID_MODEL=Flash_Disk\n");
    RunResult r = runtable(s, "q\n");
    EXPECT_EQ(tableof(r), "0 sda Generic Flash_Disk capacity 1048576 (0.001049 GB) usb_bus: yes\n");
    EXPECT_EQ(r.err, sinvalid);
    EXPECT_EQ(r.status, 1);
}
