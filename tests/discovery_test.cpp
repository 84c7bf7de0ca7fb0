// Block device discovery, the drive table and the drive prompt, run against
// fixture sysfs trees and udev databases like those of real machines.
#include "sandbox.h"
#include "texts.h"

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>

using namespace std::string_literals;

// Runs the one-argument mode; out holds what follows the banner.
static Result table(const Sandbox &s, const std::string &sanswer) {
    s.put("work/disk.img", std::string(512, 'k'));
    Result r = s.run({.args = {"disk.img"}, .answer = sanswer});
    r.out.erase(0, text::banner("disk.img").size()); // asserted where images are chosen
    return r;
}

// Every whole disk appears once, in name order, partitions never; disks
// without capacity or naming no node keep their index but get no line.
TEST(Discovery, MachineTableAndAnswers) {
    KF_NEED(false);
    // tests/fixtures/machine: a Compaq array, whose sysfs entry name spells
    // the node's "/" as "!"; a loop device without backing file; an eMMC
    // disk and its boot area, a whole disk that sorts between the disk and
    // its partitions; an NVMe disk with 4 KiB sectors, a SATA disk and a USB
    // stick, with their udev files; sdb2, a partition its disk's folder no
    // longer lists (the table changed between two reads), visited as a disk
    // but never offered; sdd, a link that cannot be opened. Sixteen entries
    // with the partitions, in sysfs layout: a folder in the disk's folder and
    // a link at the top.
    Sandbox s;
    s.copy("machine");
    const std::string stable = readfile(KELPFALL_FIXTURES "/machine/table.txt") + text::driveprompt;
    for (const std::string sanswer : {"q\n", "-1\n", "9\n", "1\n", "7\n", "8\n", "", "\n\n",
                                      "4294967296\n", "4294967302\n", "-\n"}) {
        SCOPED_TRACE("invalid answer: " + sanswer);
        Result r = table(s, sanswer);
        EXPECT_EQ(r.out, stable + text::baddrive);
        EXPECT_EQ(r.status, 1);
    }
    // A valid answer reaches the copy, whose node is missing here; text after
    // the number stays unread.
    const std::string scopy = " writing image file disk.img size 512 to target drive sdb KIOXIA "
                              "TransMemory size 30943995904 ...\n" +
                              text::badtarget;
    EXPECT_EQ(ending(table(s, "\n\n +6 5\n").out, scopy), scopy);
    // A list line names an image that does not exist: the copy cannot open it.
    s.put("list", "gone\n");
    Result r = s.run({.args = {"../list", "-"}, .answer = "0 0\n"});
    EXPECT_EQ(r.status, 1);
    const std::string sgone = "ERROR : open read handles for image gone copy failed,aborting \n";
    EXPECT_EQ(ending(r.out, sgone), sgone);
}

// At a terminal, keys pressed before the drive table was shown are discarded:
// only the answer typed at the prompt counts.
TEST(Discovery, TypeaheadDiscarded) {
    KF_NEED(false);
    Sandbox s;
    s.copy("onedisk");
    s.put("work/disk.img", "x");
    Result r = s.run({.args = {"disk.img"}, .answer = "q\n", .typeahead = "2\n"});
    const std::string sending = text::baddrive.substr(0, text::baddrive.size() - 1) + "\r\n";
    EXPECT_EQ(ending(r.out, sending), sending);
    EXPECT_EQ(r.status, 1);
}

// tests/fixtures/onedisk: one disk, loop7, after two entries without size
// (three names for the sort), with one file changed. Odd contents leave their
// field zero or empty and print nothing; a disk without a usable size, or
// without a complete uevent naming its node, is not offered. Vendor, model
// and bus are the first word of the first whole "E:KEY=" line of the udev
// file.
TEST(Discovery, OneDisk) {
    KF_NEED(false);
    // The table line of the disk at index 2 with its name, vendor and model.
    auto line = [](const std::string &s, bool busb = false) {
        return "2 " + s + " capacity 1048576 (0.001049 GB) usb_bus: " + (busb ? "yes\n" : "no\n");
    };
    const std::string sline = line("loop7  ", true), s255(255, 'n'), sudev = "run/udev/data/b7:7",
                      slbs = "queue/logical_block_size", suevent = uevent(7, 7, "loop7");
    struct Case {
        const char *name;
        std::string path = "uevent", text, table; // table: "": none offered
        // A FIFO stands in for the file, holding text, its writer gone:
        // neither the open nor the read may wait, and nothing is read.
        bool fifo = false;
    };
    // clang-format off
    const Case cases[] = {
        // A path of an NVMe multipath disk: no node of its own.
        {.name = "hidden", .path = "hidden", .text = "1\n"},
        {.name = "a FIFO", .text = suevent, .fifo = true},
        // A byte count beyond 64 bits is no size, never a wrapped one.
        {.name = "past 64 bits", .path = "size", .text = "36028797018963969\n"},
        {.name = "a large sector", .path = slbs, .text = "2147483647", .table = sline +
         "WARNING : drive 2 logical sector size 2147483647 different than default 512\n"},
        {.name = "past 32 bits", .path = slbs, .text = "4294971392\n", .table = sline},
        {.name = "no DEVTYPE", .text = "MAJOR=7\nMINOR=7\nDEVNAME=loop7\n"},
        {.name = "no MAJOR first", .text = "DISKSEQ=4" + suevent.substr(7)},
        {.name = "255 bytes", .text = uevent(7, 7, s255), .table = line(s255 + "  ", true)},
        {.name = "256 bytes", .text = uevent(7, 7, s255 + "n")},
        {.name = "controls", .text = uevent(7, 7, "lo\x1b[2J\x7fop7"), .table = line("lo?[2J?op7  ", true)},
        // Only the first 1000 bytes are read: leading zeros push "x" past them.
        {.name = "past 1000 bytes",
         .text = "MAJOR=" + std::string(958, '0') + "7\nMINOR=7\nDEVNAME=loop7\nDEVTYPE=diskx", .table = sline},
        // Keys inside other keys, values or link lines do not count; nor does
        // what lies past the 9999 bytes read.
        {.name = "keys inside others", .path = sudev,
         .text = "S:ID_VENDOR=W\nE:SCSI_VENDOR=W\nE:ID_USB_MODEL=W\nE:X=E:ID_BUS=usb\n"
                 "E:ID_VENDORX=" + std::string(10000, 'W'),
         .table = line("loop7  ")},
        // Vendor and model are cut to 15 bytes.
        {.name = "16 bytes", .path = sudev,
         .text = "E:ID_VENDOR=ABCDEFGHIJKLMNOPQ\nE:ID_MODEL=0123456789abcdef\nE:ID_BUS=USB\n",
         .table = line("loop7 ABCDEFGHIJKLMNO 0123456789abcde")},
        // Control bytes, DEL and UTF-8 C1 controls are shown as "?"; other
        // bytes as they are.
        {.name = "controls in the vendor", .path = sudev,
         .text = "E:ID_VENDOR=V\xc2\x9b\xc2\xa0\xff\x01\x1f\x7fx\nE:ID_MODEL=Mo\0del\n"
                 "E:ID_BUS=usb\n"s,
         .table = line("loop7 V??\xc2\xa0\xff???x Mo")},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox s;
        s.copy("onedisk");
        const std::string sfile = (c.path == sudev ? "" : "sys/loop7/") + c.path;
        s.put(sfile, c.text);
        const std::string path = s.root + "/" + sfile;
        int kfifo = -1;
        if (c.fifo) { // what was written stays while the test holds it open
            std::filesystem::remove(path);
            mkfifo(path.c_str(), 0600);
            kfifo = open(path.c_str(), O_RDONLY | O_NONBLOCK);
            int kwriter = open(path.c_str(), O_WRONLY);
            (void)!write(kwriter, c.text.data(), c.text.size());
            close(kwriter);
        }
        Result r = table(s, "q\n");
        close(kfifo);
        EXPECT_EQ(r.out,
                  c.table.empty() ? text::nodisk : c.table + text::driveprompt + text::baddrive);
        EXPECT_EQ(r.status, 1);
    }
}
