// The argument modes, the banner, the log writer and the sandbox itself.
#include "sandbox.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

const std::string susage = "Usage : kelpfall\nno_args=scan current directory\n1_arg=image_file\n"
                           "2_arg=images_list_file+dummy_arg\n";

std::string banner(const std::string &spath) {
    return "selected image file " + spath +
           "\nchoose drive index from the following available drives : \n"
           "(NOTE: all disks with logical sector size different than the default 512 will not "
           "be written correctly)\n";
}

const std::string snodisk = "ERROR: no physical device nodes found,aborting\n";

} // namespace

TEST(Spine, ArgumentModes) {
    KF_REQUIRE_SANDBOX();
    Sandbox s;
    writefile(s.work + "/disk.img", std::string(1000, 'x'));
    std::string slong = std::string(200, 'a') + "/" + std::string(200, 'b');
    writefile(s.work + "/" + slong, "y");
    struct Case {
        std::vector<std::string> args;
        std::string out, err;
    } cases[] = {
        {{"disk.img"}, banner("disk.img"), snodisk},
        {{"disk.img", "x", "y"}, banner("disk.img"), snodisk},
        {{"disk.img", "x", "y", "z"}, banner("disk.img"), snodisk},
        {{slong}, banner(slong), snodisk},
        {{"missing.img"},
         "",
         susage + "ERROR: requested image file missing.img not found,aborting\n"},
        {{""}, "", susage + "ERROR: requested image file  not found,aborting\n"},
    };
    for (const Case &c : cases) {
        RunResult r = s.run({c.args});
        SCOPED_TRACE(c.args[0]);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 1);
    }
}

TEST(Spine, SandboxShowsOnlyFixtureDevices) {
    KF_REQUIRE_SANDBOX();
    Sandbox s;
    s.adddisk({.name = "sdz", .uevent = ueventtext(8, 0, "sdz"), .size = "2048\n"});
    s.addudev("b8:0", "E:ID_BUS=usb\n");
    s.adddevfile("sdz");
    RunResult r = s.run(
        {.args = {"-c", "ls /sys/class/block /run/udev/data /dev; pwd"}, .program = "/bin/sh"});
    EXPECT_EQ(r.out,
              "/dev:\nsdz\n\n/run/udev/data:\nb8:0\n\n/sys/class/block:\nsdz\n" + s.work + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}
