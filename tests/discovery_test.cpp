// Block device discovery and the drive table, run in the sandbox against
// fixture trees like real machines and against loop devices the tests attach.
#include "sandbox.h"

#include <algorithm>
#include <cstdio>
#include <optional>

using namespace std::string_literals;

namespace {

const std::string sheader = "choose drive index from the following available drives : \n"
                            "(NOTE: all disks with logical sector size different than the default "
                            "512 will not be written correctly)\n";
const std::string sprompt =
    "enter drive device index or q to abort (WARNING: all data will be lost !) : ";
const std::string sinvalid = "ERROR: invalid drive selection,aborting\n";
const std::string snodisk = "ERROR: no physical device nodes found,aborting\n";

std::string fixture(const std::string &sname) {
    return readfile(std::string(KELPFALL_FIXTURES) + "/udev/" + sname);
}

// Runs the one-argument mode with an image in the work directory.
RunResult runtable(const Sandbox &s, const std::string &sinput) {
    writefile(s.work + "/disk.img", std::string(512, 'k'));
    return s.run({.args = {"disk.img"}, .input = sinput});
}

// What the run printed after the banner: the table and, when shown, the
// prompt.
std::string afterbanner(const RunResult &r) {
    size_t kstart = r.out.find(sheader);
    if (kstart == std::string::npos)
        return "<no banner>" + r.out;
    return r.out.substr(kstart + sheader.size());
}

// Gives a partition made by adddisk the attributes a real one has, so that
// a walk taking it for a whole disk would list it.
void fillpartition(Sandbox &s, const std::string &sdisk, const std::string &spart, int major,
                   int minor) {
    std::string sdir = s.sys + "/" + sdisk + "/" + spart;
    writefile(sdir + "/uevent", ueventtext(major, minor, spart, "partition") + "PARTN=1\n");
    writefile(sdir + "/size", "2048\n");
}

// A machine with most kinds of disk a user meets; the table it must show.
void buildmachine(Sandbox &s) {
    // A Compaq array: the sysfs entry name spells the node's "/" as "!".
    s.adddisk(
        {.name = "cciss!c0d0", .uevent = ueventtext(104, 0, "cciss/c0d0"), .size = "286677120\n"});
    s.adddisk({.name = "loop0",
               .uevent = ueventtext(7, 0, "loop0"),
               .size = "2048\n",
               .backing_file = "/var/lib/snapd/snaps/core_1.snap\n"});
    s.addudev("b7:0", fixture("loop0-squashfs.db-converted.txt"));
    // A loop device without backing file has size 0 and no loop directory.
    s.adddisk({.name = "loop1", .uevent = ueventtext(7, 1, "loop1"), .size = "0\n"});
    s.adddisk({.name = "mmcblk0",
               .uevent = ueventtext(179, 0, "mmcblk0"),
               .size = "30535680\n",
               .partitions = {"mmcblk0p1", "mmcblk0p2"}});
    // eMMC boot areas are whole disks of their own, sorting between the
    // disk and its partitions.
    s.adddisk(
        {.name = "mmcblk0boot0", .uevent = ueventtext(179, 8, "mmcblk0boot0"), .size = "8192\n"});
    s.adddisk(
        {.name = "mmcblk0boot1", .uevent = ueventtext(179, 16, "mmcblk0boot1"), .size = "8192\n"});
    s.adddisk({.name = "nvme0n1",
               .uevent = fixture("sysfs-uevent-nvme0n1.txt"),
               .size = "1000215216\n",
               .logical_block_size = "4096\n",
               .partitions = {"nvme0n1p1", "nvme0n1p2"}});
    s.addudev("b259:0", fixture("db-nvme-micron-2300.txt"));
    s.adddisk({.name = "sda",
               .uevent = ueventtext(8, 0, "sda"),
               .size = "468862128\n",
               .partitions = {"sda1", "sda10", "sda2"}});
    s.addudev("b8:0", fixture("db-sata-intel-ssd-lvm-b8_32.txt"));
    s.adddisk({.name = "sdaa", .uevent = ueventtext(65, 160, "sdaa"), .size = "976773168\n"});
    s.adddisk({.name = "sdb",
               .uevent = ueventtext(8, 16, "sdb"),
               .size = "60437492\n",
               .partitions = {"sdb1"}});
    s.addudev("b8:16", fixture("usb-kioxia-transmemory.db-converted.txt"));
    // A card reader slot without a card reports size 0.
    s.adddisk({.name = "sdc", .uevent = ueventtext(8, 32, "sdc"), .size = "0\n"});
    s.addudev("b8:32", fixture("usb-cardreader-generic-ultra-hs-combo.db-converted.txt"));
    fillpartition(s, "mmcblk0", "mmcblk0p1", 179, 1);
    fillpartition(s, "mmcblk0", "mmcblk0p2", 179, 2);
    fillpartition(s, "nvme0n1", "nvme0n1p1", 259, 1);
    fillpartition(s, "sda", "sda1", 8, 1);
    fillpartition(s, "sda", "sda10", 8, 10);
    fillpartition(s, "sda", "sda2", 8, 2);
    fillpartition(s, "sdb", "sdb1", 8, 17);
    // A partition its disk's directory does not list (the table changed
    // between two reads): visited as a disk, never offered.
    s.adddisk({.name = "sdb2", .uevent = ueventtext(8, 18, "sdb2", "partition"), .size = "2048\n"});
    s.adddisk({.name = "sr0",
               .uevent = ueventtext(11, 0, "sr0"),
               .size = "2097152\n",
               .logical_block_size = "2048\n"});
    s.addudev("b11:0", fixture("db-usb-ami-virtual-cdrom-b11_0.txt"));
}

const std::string smachinetable =
    "0 cciss/c0d0   capacity 146778685440 (146.778685 GB) usb_bus: no\n"
    "1 loop0   capacity 1048576 (0.001049 GB) usb_bus: no\n"
    "3 mmcblk0   capacity 15634268160 (15.634268 GB) usb_bus: no\n"
    "4 mmcblk0boot0   capacity 4194304 (0.004194 GB) usb_bus: no\n"
    "5 mmcblk0boot1   capacity 4194304 (0.004194 GB) usb_bus: no\n"
    "6 nvme0n1  Micron capacity 512110190592 (512.110191 GB) usb_bus: no\n"
    "WARNING : drive 6 logical sector size 4096 different than default 512\n"
    "7 sda ATA INTEL_SSDS9X9SI capacity 240057409536 (240.057410 GB) usb_bus: no\n"
    "8 sdaa   capacity 500107862016 (500.107862 GB) usb_bus: no\n"
    "9 sdb KIOXIA TransMemory capacity 30943995904 (30.943996 GB) usb_bus: yes\n"
    "12 sr0 AMI Virtual_CDROM0 capacity 1073741824 (1.073742 GB) usb_bus: yes\n"
    "WARNING : drive 12 logical sector size 2048 different than default 512\n";

} // namespace

// Every whole disk appears once, in name order, partitions never; disks
// without capacity keep their index but get no line. Invalid answers end the
// run; a valid one (text after it stays unread) goes on to the copy.
TEST(Discovery, MachineTableAndAnswers) {
    KF_REQUIRE_SANDBOX();
    Sandbox s;
    buildmachine(s);
    for (const char *sanswer : {"q\n", "-1\n", "13\n", "2\n", "10\n", "11\n", "", "\n\n",
                                "4294967297\n", "4294967304\n", "-\n"}) {
        SCOPED_TRACE(std::string("invalid answer: ") + sanswer);
        RunResult r = runtable(s, sanswer);
        EXPECT_EQ(afterbanner(r), smachinetable + sprompt);
        EXPECT_EQ(r.err, sinvalid);
        EXPECT_EQ(r.status, 1);
    }
    for (const char *sanswer : {"1abc\n", "\n\n  4\n", "+9 5\n", "12"}) {
        SCOPED_TRACE(std::string("valid answer: ") + sanswer);
        RunResult r = runtable(s, sanswer);
        EXPECT_EQ(afterbanner(r).substr(0, smachinetable.size() + sprompt.size()),
                  smachinetable + sprompt);
        EXPECT_EQ(r.err.find("ERROR: invalid"), std::string::npos) << r.err;
    }
}

// No disk with a capacity: no table, no prompt.
TEST(Discovery, NoListedDisk) {
    KF_REQUIRE_SANDBOX();
    Sandbox s;
    s.adddisk({.name = "loop0", .uevent = ueventtext(7, 0, "loop0"), .size = "0\n"});
    s.adddisk({.name = "sdc", .uevent = ueventtext(8, 32, "sdc"), .size = "0\n"});
    s.addudev("b8:32", fixture("usb-cardreader-generic-ultra-hs-combo.db-converted.txt"));
    RunResult r = runtable(s, "0\n");
    EXPECT_EQ(afterbanner(r), "");
    EXPECT_EQ(r.err, snodisk);
    EXPECT_EQ(r.status, 1);
}

// Vendor, model and bus come from whole "E:KEY=" lines of the udev file.
TEST(Discovery, UdevProperties) {
    KF_REQUIRE_SANDBOX();
    std::string spadding;
    for (int k = 0; spadding.size() < 9000; k++)
        spadding += "S:disk/by-id/wwn-0x5000c500a1b2c3d" + std::to_string(k) + "\n";
    struct Case {
        std::string sudev;
        std::string sline; // after "0 sda "
    } cases[] = {
        // systemd sets the _ENC and _ID keys first, or only them for a blank
        // vendor.
        {"S:disk/by-id/usb-Generic_Flash\nI:123\nE:ID_VENDOR_ENC=\\x20\\x20\\x20\\x20\n"
         "E:ID_VENDOR_ID=346d\nE:ID_MODEL_ENC=USB\\x20DISK\nE:ID_MODEL_ID=5678\n"
         "E:ID_MODEL=USB_DISK\nE:ID_VENDOR=Generic\nE:ID_BUS=usb\nG:systemd\nQ:systemd\nV:1\n",
         "Generic USB_DISK capacity 1048576 (0.001049 GB) usb_bus: yes"},
        {"E:ID_VENDOR_ENC=\\x20\\x20\\x20\\x20\nE:ID_VENDOR_ID=346d\nE:ID_MODEL=USB_DISK\n"
         "E:ID_BUS=usb\n",
         " USB_DISK capacity 1048576 (0.001049 GB) usb_bus: yes"},
        // An empty value stays empty; it never takes the next line.
        {"E:ID_VENDOR=\nE:ID_MODEL=\nE:ID_BUS=\nE:ID_FS_TYPE=ext4\n",
         "  capacity 1048576 (0.001049 GB) usb_bus: no"},
        // Keys inside other keys, values or link lines do not count.
        {"S:disk/by-id/ID_VENDOR=Wrong\nE:SCSI_VENDOR=Scsi\nE:ID_USB_MODEL=Wrong\n"
         "E:X=E:ID_BUS=usb\nE:ID_VENDORX=Wrong\n",
         "  capacity 1048576 (0.001049 GB) usb_bus: no"},
        // First line wins, first word, cut to 15 characters.
        {"E:ID_VENDOR=First\nE:ID_VENDOR=Second\nE:ID_MODEL=Micron 2300 NVMe\n"
         "E:ID_BUS=usb2\n",
         "First Micron capacity 1048576 (0.001049 GB) usb_bus: no"},
        {"E:ID_VENDOR=ABCDEFGHIJKLMNOPQRSTUVWXYZ\nE:ID_MODEL=0123456789abcdef\nE:ID_BUS=USB\n",
         "ABCDEFGHIJKLMNO 0123456789abcde capacity 1048576 (0.001049 GB) usb_bus: no"},
        // The whole file is read: a vendor near byte 9,000 is found, the
        // last line needs no newline.
        {spadding + "E:ID_VENDOR=Late\nE:ID_BUS=usb",
         "Late  capacity 1048576 (0.001049 GB) usb_bus: yes"},
        {"", "  capacity 1048576 (0.001049 GB) usb_bus: no"},
        // Control bytes are shown as "?"; other bytes as they are.
        {"E:ID_VENDOR=Ven\xff\x01x\nE:ID_MODEL=Mo\0del\nE:ID_BUS=usb\n"s,
         "Ven\xff?x Mo capacity 1048576 (0.001049 GB) usb_bus: no"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sline);
        Sandbox s;
        s.adddisk({.name = "sda", .uevent = ueventtext(8, 0, "sda"), .size = "2048\n"});
        s.addudev("b8:0", c.sudev);
        RunResult r = runtable(s, "q\n");
        EXPECT_EQ(afterbanner(r), "0 sda " + c.sline + "\n" + sprompt);
        EXPECT_EQ(r.err, sinvalid);
        EXPECT_EQ(r.status, 1);
    }
}

// Odd contents in any sysfs file read: the probe leaves the field zero or
// empty, prints nothing and the run goes on. A disk without a usable size,
// or without a complete uevent naming its node, is not offered.
TEST(Discovery, OddSysfsFiles) {
    KF_REQUIRE_SANDBOX();
    const std::string sline = "0 loop7   capacity 1048576 (0.001049 GB) usb_bus: yes\n";
    const std::string swarn = "WARNING : drive 0 logical sector size 4096 different than default "
                              "512\n";
    const std::string sbinary = "\x00\xff\x01\n\x7f=\x00\x80"s;
    const std::string slongdigits(30000, '9');
    const std::string sname255(255, 'n'), sname256(256, 'n');
    struct Case {
        std::string sfile;                   // under the disk's sysfs directory
        std::optional<std::string> scontent; // nullopt: the file is missing
        std::string stable;                  // lines before the prompt; "": none
    } cases[] = {
        {"size", "", ""},
        {"size", " \n\t+2048 sectors\n", sline},
        {"size", "abc\n", ""},
        {"size", "-2048\n", ""},
        {"size", slongdigits, ""},
        {"size", "36028797018963968\n", ""}, // 2^55 sectors: bytes beyond 64 bits
        {"size", sbinary, ""},
        {"queue/logical_block_size", std::nullopt, sline},
        {"queue/logical_block_size", "0\n", sline},
        {"queue/logical_block_size", "4096", sline + swarn},
        {"queue/logical_block_size", "-4096\n", sline},
        {"queue/logical_block_size", "4294971392\n", sline},
        {"queue/logical_block_size", sbinary, sline},
        {"uevent", std::nullopt, ""},
        {"uevent", "", ""},
        {"uevent", "MAJOR=7\nMINOR=7\nDEVNAME=loop7\n", ""},
        {"uevent", "DISKSEQ=4\n" + ueventtext(7, 7, "loop7"), ""},
        {"uevent", "MAJOR=7\nMINOR=7\nDEVNAME=loop7\nDEVTYPE=disk", sline},
        {"uevent", ueventtext(7, 7, sname255), "0 " + sname255 + sline.substr(7)},
        {"uevent", ueventtext(7, 7, sname256), ""},
        {"uevent", "MAJOR=x\n" + ueventtext(7, 7, "loop7").substr(8),
         "0 loop7   capacity 1048576 (0.001049 GB) usb_bus: no\n"},
        {"uevent", sbinary, ""},
        {"loop/backing_file", "\n", sline},
        {"loop/backing_file", std::string(5000, '/'), sline},
        {"loop/backing_file", sbinary, sline},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sfile + ": " + (c.scontent ? c.scontent->substr(0, 40) : "(missing)"));
        Sandbox s;
        s.adddisk({.name = "loop7",
                   .uevent = ueventtext(7, 7, "loop7"),
                   .size = "2048\n",
                   .backing_file = "/srv/images/disk.img\n"});
        s.addudev("b7:7", "E:ID_BUS=usb\n");
        std::string spath = s.sys + "/loop7/" + c.sfile;
        if (c.scontent)
            writefile(spath, *c.scontent);
        else
            remove(spath.c_str());
        RunResult r = runtable(s, "q\n");
        if (c.stable.empty()) {
            EXPECT_EQ(afterbanner(r), "");
            EXPECT_EQ(r.err, snodisk);
        } else {
            EXPECT_EQ(afterbanner(r), c.stable + sprompt);
            EXPECT_EQ(r.err, sinvalid);
        }
        EXPECT_EQ(r.status, 1);
    }
}

namespace {

// Standard output of a shell command, trailing white space removed.
std::string commandoutput(const std::string &scmd) {
    std::string sout;
    FILE *p = popen(scmd.c_str(), "r");
    if (p == nullptr)
        return sout;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        sout.append(buf, n);
    pclose(p);
    while (!sout.empty() && isspace(static_cast<unsigned char>(sout.back())))
        sout.pop_back();
    return sout;
}

} // namespace

// Real kernel devices: the capacity and the sector-size warning agree with
// what the kernel reports through blockdev.
TEST(Discovery, RealLoopDevices) {
    KF_REQUIRE_LOOP();
    LoopDevice iloop512(5u << 20);
    LoopDevice iloop4096(8u << 20, 4096);
    ASSERT_TRUE(iloop512.ok()) << iloop512.error;
    ASSERT_TRUE(iloop4096.ok()) << iloop4096.error;
    Sandbox s;
    s.addloop(iloop512);
    s.addloop(iloop4096);
    std::vector<const LoopDevice *> iloops = {&iloop512, &iloop4096};
    std::sort(iloops.begin(), iloops.end(),
              [](const LoopDevice *a, const LoopDevice *b) { return a->name < b->name; });
    std::string sexpect;
    for (size_t k = 0; k < iloops.size(); k++) {
        std::string sbytes = commandoutput("blockdev --getsize64 " + iloops[k]->dev);
        std::string ssector = commandoutput("blockdev --getss " + iloops[k]->dev);
        char sgb[64];
        snprintf(sgb, sizeof sgb, "%f", std::stod(sbytes) / 1e9);
        sexpect += std::to_string(k) + " " + iloops[k]->name + "   capacity " + sbytes + " (" +
                   sgb + " GB) usb_bus: no\n";
        if (ssector != "512")
            sexpect += "WARNING : drive " + std::to_string(k) + " logical sector size " + ssector +
                       " different than default 512\n";
    }
    EXPECT_EQ(commandoutput("blockdev --getss " + iloop4096.dev), "4096");
    EXPECT_NE(sexpect.find("logical sector size 4096"), std::string::npos);
    RunResult r = runtable(s, "2\n");
    EXPECT_EQ(afterbanner(r), sexpect + sprompt);
    EXPECT_EQ(r.err, sinvalid);
    EXPECT_EQ(r.status, 1);
}
