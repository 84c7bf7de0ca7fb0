// The raw copy, end to end: the real binary writes images onto loop devices
// chosen at the drive prompt, refuses a disk in use and any node but the
// listed disk, and fails a copy that the image or the disk does not keep.
#include "sandbox.h"
#include "texts.h"

#include <fcntl.h>
#include <linux/blkpg.h>
#include <sys/ioctl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Bytes that no padding or stale block can pass for.
std::string pattern(size_t n) {
    std::string s(n, '\0');
    std::minstd_rand irand(static_cast<unsigned>(n));
    for (char &c : s)
        c = static_cast<char>(irand() >> 8 | 1);
    return s;
}

// What a shell command printed, without its last newline; "!" on failure.
std::string shell(const std::string &scmd) {
    FILE *p = popen(scmd.c_str(), "r");
    std::string sout(4096, '\0');
    sout.resize(fread(sout.data(), 1, sout.size(), p));
    return pclose(p) != 0 ? "!" : sout.substr(0, sout.find_last_not_of('\n') + 1);
}

// A sandbox whose one disk, the USB stick sdz, is a loop device of n bytes.
// Its kind: "" over a sparse file, holding 0xEE bytes at first; "-P" the
// same, partitions scanned; "-r" read-only; "-b 4096" with 4096-byte
// sectors; "full" over a file of a 4 MiB tmpfs, which its first flush fills;
// "wrap" or "drop" a counterfeit that keeps a quarter of it
// (tests/fakedisk.cpp); "hole" a disk that loses the 4 MiB from byte
// 13000000; "rewrite", "touch" and "moved" honest fake disks whose first
// write rewrites the image work/disk.img keeping its modification time, only
// sets that time, or does both.
struct Stick : Sandbox {
    std::string sfake = root + "/fake", sfull = root + "/full", backing = root + "/backing.img";
    std::string dev; // /dev/loopN
    dev_t kdev = 0;
    long nsize;
    char cfill;

    explicit Stick(long n, const std::string &skind = "")
        : nsize(n), cfill(skind.empty() || skind == "-P" ? '\xEE' : '\0') {
        if (skind == "full") {
            fs::create_directory(sfull);
            if (mount("tmpfs", sfull.c_str(), "tmpfs", 0, "size=4m") != 0)
                throw std::runtime_error("tmpfs");
            backing = sfull + "/backing.img";
        }
        std::ofstream(backing).close();
        fs::resize_file(backing, static_cast<uintmax_t>(n));
        const std::string sn = std::to_string(n), simage = " " + root + "/work/disk.img";
        const std::string sfakeargs =
            skind == "wrap" || skind == "drop"     ? skind + " " + sn + " " + std::to_string(n / 4)
            : skind == "hole"                      ? "hole " + sn + " 13000000"
            : skind == "rewrite"                   ? "drop " + sn + " " + sn + simage
            : skind == "touch" || skind == "moved" ? "drop " + sn + " " + sn + simage + " " + skind
                                                   : "";
        if (!sfakeargs.empty()) {
            backing = sfake;
            put("fake", "");
            shell(KELPFALL_FAKEDISK " " + sfake + " " + sfakeargs + " >/dev/null 2>&1 &");
            for (int k = 0; k < 500 && fs::file_size(sfake) != static_cast<uintmax_t>(n); k++)
                usleep(10000);
        }
        dev = shell("losetup -f --show " + (skind.starts_with("-") ? skind : "") + " " + backing);
        struct stat st;
        if (!dev.starts_with("/dev/loop") || stat(dev.c_str(), &st) != 0)
            throw std::runtime_error("losetup: " + dev);
        kdev = st.st_rdev;
        std::ofstream(dev, std::ios::binary) << std::string(cfill ? n : 0, cfill);
        put("sys/sdz/uevent", uevent(major(kdev), minor(kdev), "sdz"));
        put("sys/sdz/size", std::to_string(n / 512) + "\n");
        put("run/udev/data/b" + std::to_string(major(kdev)) + ":" + std::to_string(minor(kdev)),
            readfile(KELPFALL_FIXTURES "/udev/usb-kioxia-transmemory.db-converted.txt"));
        mknod((root + "/dev/sdz").c_str(), S_IFBLK | 0600, kdev);
        // Its partition, as sysfs shows one: a folder in the disk's, a link.
        put("sys/sdz/sdz1/partition", "1\n");
        fs::create_directory_symlink("sdz/sdz1", root + "/sys/sdz1");
    }
    // Loop numbers are reused at once: detach only while the device is still
    // backed by our own file. The kernel may hold it a moment after a writer
    // closed it, so the detach is retried briefly.
    ~Stick() {
        for (int k = 0; k < 50 && shell("losetup -nO BACK-FILE " + dev) == backing; k++)
            if (shell("losetup -d " + dev) != "!" || usleep(100000) != 0)
                break;
        shell("umount -l " + sfake + " " + sfull + " 2>/dev/null");
    }
    // Whether the device holds data, zeros to the end of its last sector,
    // then what was there.
    bool holds(std::string data) const {
        data.resize((data.size() + 511) / 512 * 512, '\0');
        data.resize(nsize, cfill);
        return readfile(dev) == data;
    }
};

} // namespace

// A good copy leaves every byte of the image on the disk, zeros to the end of
// its last sector and nothing after it. A failed one says why, counts what
// the disk took and flushed, and ends with status 1.
TEST(Copy, Outcomes) {
    KF_NEED(true);
    const std::string swrite = "WriteFile failed\n ERRORMSG: ",
                      seio = " ERRORMSG: 5 Input/output error\n";
    // A sysfs attribute: a regular file of 4096 bytes that yields fewer, as
    // an image cut short while it is copied.
    const std::string sattribute = "/sys/devices/system/cpu/online";
    struct Case {
        long ndevsize, nsize;
        std::string ssummary;         // bytes copied, as the summary line says
        std::string slog = "";        // the failure's log line; "": a good copy
        std::string skind = "";       // the stick's kind
        std::string sclosed = "";     // descriptors closed at the start, in sh
        long ncopied = -1;            // image bytes on the disk (-1: all)
        std::string stranscript = ""; // all it prints after the drive prompt
        // Makes the image disk.img in sh, from the bytes in ../image.
        std::string smake = "cp ../image disk.img";
        long nzeros = 0;      // zero bytes that end the image
        bool bsparse = false; // data in one page a MiB, zeros between
        bool bmapped = false; // another process maps the disk during the copy
    } cases[] = {
        {24 << 20, 0, "0"},
        {24 << 20, 15000000, "15000064", "", "", "", -1,
         " writing image file disk.img size 15000000 to target drive sdz KIOXIA TransMemory size "
         "25165824 ...\n"
         "\rraw data copy written 66.67 % \t0.01000 GB "
         "\rraw data copy written 100.00 % \t0.01500 GB "
         "\ngeneric_io_stream_raw_copy_buffered summary bytes copied 15000064\n"},
        // A FIFO yields at most 64 KiB per read: many reads fill a chunk.
        // kelpfall opens the image once to check it and again to copy it; the
        // feeder holds the FIFO read-write, so the pipe outlives the first
        // close and the feeder never meets a FIFO without a reader. It leaves
        // the run's socket alone: a run that fails early ends at once.
        {24 << 20, 10196995, "10197504", "", "", "", -1, "",
         "mkfifo disk.img && (timeout 60 cat ../image 1<>disk.img <&- 2>&- &)"},
        // A disk of 4096-byte sectors: the read-back's reads are widened to
        // whole sectors, as O_DIRECT needs.
        {32 << 20, 30000000, "30000128", "", "-b 4096"},
        {12000256, 25000000, "12000256", swrite + "28 No space left on device\n", "", "", 12000256},
        {1 << 20, 5000, "0", swrite + "1 Operation not permitted\n", "-r", "", 0},
        // The chunk goes into the page cache; its flush fails with EIO.
        {32 << 20, 20000000, "0", swrite + "5 Input/output error\n", "full"},
        {1 << 20, 0, "0", "ReadFile failed\n ERRORMSG: 21 Is a directory\n", "", "", -1, "",
         "mkdir disk.img"},
        // Started with standard output, or it and standard error, closed:
        // no message lands on the disk.
        {1 << 20, 1000, "", "", "", ">&-"},
        {1 << 20, 0, "", "-", "", ">&- 2>&-", -1, "", "mkdir disk.img"},
        {1 << 20, 0, "512", "ReadFile failed\n" + seio, "", "", -1, "",
         "ln -s " + sattribute + " disk.img"},
        // A counterfeit stick that keeps a quarter of what it says: its first
        // chunk reads back wrong, or (112 MiB keeping 28) the end of its last
        // chunk, past every sample; with an image of sparse data that ends
        // in zeros, the samples of the chunks between, pages that hold data.
        // Another process that maps the disk keeps what was written in the
        // page cache: the read-back reads past it. A stick that loses 4 MiB
        // mid-chunk.
        {64 << 20, 30000000, "30000128", "VerifyFile failed\n" + seio, "wrap"},
        {112 << 20, 30000000, "30000128", "VerifyFile failed\n" + seio, "drop"},
        {.ndevsize = 64 << 20,
         .nsize = 45000000,
         .ssummary = "45000192",
         .slog = "VerifyFile failed\n" + seio,
         .skind = "drop",
         .nzeros = 5000000,
         .bsparse = true},
        {.ndevsize = 64 << 20,
         .nsize = 30000000,
         .ssummary = "30000128",
         .slog = "VerifyFile failed\n" + seio,
         .skind = "drop",
         .bmapped = true},
        {.ndevsize = 32 << 20,
         .nsize = 30000000,
         .ssummary = "30000128",
         .slog = "VerifyFile failed\n" + seio,
         .skind = "hole"},
        // The stick's node is gone before the read-back, as when the stick is
        // pulled out: the feeder removes it before the image ends, once the
        // copy has read all but what a pipe holds (64 KiB).
        {24 << 20, 1000000, "1000448", "VerifyFile failed\n" + seio, "", "", -1, "",
         "mkfifo disk.img && (timeout 60 sh -c 'cat ../image; rm /dev/sdz' 1<>disk.img <&- 2>&- "
         "&)"},
        // Rewritten in place, same size, at the copy's first write, keeping
        // its modification time or not: parts of two images on the disk.
        // Touched instead, it still holds what was copied: a good copy.
        {1 << 20, 1000, "1024", "ReadFile failed\n" + seio, "rewrite"},
        {1 << 20, 1000, "1024", "ReadFile failed\n" + seio, "moved"},
        {.ndevsize = 32 << 20, .nsize = 25000000, .ssummary = "25000448", .skind = "touch"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.nsize) + " " + c.skind + " " + c.sclosed + " " + c.slog);
        Stick st(c.ndevsize, c.skind);
        std::string image = c.smake.starts_with("ln")
                                ? readfile(sattribute)
                                : pattern(c.nsize - c.nzeros) + std::string(c.nzeros, '\0');
        for (size_t k = 0; c.bsparse && k < image.size(); k++)
            image[k] = k / 4096 % 256 == 0 ? image[k] : '\0';
        st.put("image", image);
        void *pmap = MAP_FAILED;
        if (c.bmapped) { // every page of the disk mapped and read
            int kfd = open(st.dev.c_str(), O_RDONLY);
            pmap = mmap(nullptr, c.ndevsize, PROT_READ, MAP_SHARED, kfd, 0);
            close(kfd);
            ASSERT_NE(pmap, MAP_FAILED);
            for (long k = 0; k < c.ndevsize; k += 4096)
                (void)*(static_cast<volatile char *>(pmap) + k);
        }
        Result r = st.run(
            {.args = {"-c", c.smake + " && exec \"$0\" disk.img " + c.sclosed, KELPFALL_BINARY},
             .answer = "0\n",
             .outfile = c.sclosed.empty() ? "" : "/dev/null",
             .program = "/bin/sh"});
        if (pmap != MAP_FAILED)
            munmap(pmap, c.ndevsize);
        EXPECT_EQ(r.status, c.slog.empty() ? 0 : 1);
        if (c.sclosed.empty()) { // the log line, the summary, the verdict
            EXPECT_TRUE(r.out.ends_with(
                c.slog + "\ngeneric_io_stream_raw_copy_buffered summary bytes copied " +
                c.ssummary + "\n" + (c.slog.empty() ? "" : "ERROR : image copy failed \n")))
                << r.out;
        }
        if (!c.stranscript.empty()) {
            EXPECT_EQ(r.out, text::banner("disk.img") +
                                 "0 sdz KIOXIA TransMemory capacity 25165824 (0.025166 GB) "
                                 "usb_bus: yes\n" +
                                 text::driveprompt + c.stranscript);
        }
        if (c.skind.empty() || c.skind == "-r" || c.skind == "-b 4096") {
            EXPECT_TRUE(st.holds(image.substr(0, c.ncopied)));
        }
    }
}

// Whatever stands under the disk's name but the listed disk, a disk in use,
// and an image that is the disk or one of its partitions are refused at the
// open: the reason, the failed open, status 1, and not a byte written.
TEST(Copy, TargetRefused) {
    KF_NEED(true);
    Stick st(4 << 20, "-P");
    // Partition 1 of the loop device: 1 MiB from 1 MiB, holding ext4.
    blkpg_partition ipart = {.start = 1 << 20, .length = 1 << 20, .pno = 1};
    blkpg_ioctl_arg iarg = {.op = BLKPG_ADD_PARTITION, .datalen = sizeof ipart, .data = &ipart};
    int kdisk = open(st.dev.c_str(), O_RDONLY);
    ASSERT_EQ(ioctl(kdisk, BLKPG, &iarg), 0);
    close(kdisk);
    ASSERT_EQ(shell("mkfs.ext4 -qO ^has_journal " + st.dev + "p1 && echo ok"), "ok");
    struct stat sb;
    ASSERT_EQ(stat((st.dev + "p1").c_str(), &sb), 0);
    mknod((st.root + "/dev/sdz1").c_str(), S_IFBLK | 0600, sb.st_rdev);
    st.put("work/disk.img", pattern(1000));
    fs::create_directory(st.root + "/work/mnt");
    const std::string sinuse = "ERROR : target drive sdz is in use (a file system on it is "
                               "mounted, or another program holds it)\n";
    enum class Node { disk, file, partition };
    struct Case {
        std::string simage, smessage = "";
        std::string sname = "sdz"; // the DEVNAME the uevent gives
        Node knode = Node::disk;   // what stands at /dev/sdz
        std::string sdiskseq = ""; // a DISKSEQ line: the listing saw another disk
        std::string sbefore = "";  // run in the sandbox before kelpfall
        bool bheld = false;        // another program holds the disk exclusively
    } cases[] = {
        {"mnt/disk.img", sinuse, "sdz", Node::disk, "",
         "mount /dev/sdz1 mnt && cp disk.img mnt && "},
        {"disk.img", sinuse, "sdz", Node::disk, "", "", true},
        {"/dev/sdz", "ERROR : image file /dev/sdz lies on target drive sdz\n"},
        {"disk.img", "", "sdz", Node::file},
        {"disk.img", "", "sdz", Node::partition},
        {"disk.img", "", ".." + st.root + "/work/x"},
        {"disk.img", "", "sdz", Node::disk, "DISKSEQ=4000000000\n"},
        // Last: the disk under its own name, as the run after the table needs.
        {"/dev/sdz1", "ERROR : image file /dev/sdz1 lies on target drive sdz\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.simage + " " + c.sname + " " + c.smessage);
        fs::remove(st.root + "/dev/sdz");
        if (c.knode != Node::file)
            mknod((st.root + "/dev/sdz").c_str(), S_IFBLK | 0600,
                  c.knode == Node::disk ? st.kdev : sb.st_rdev);
        st.put(c.knode == Node::file ? "dev/sdz" : "work/x", "kept");
        st.put("sys/sdz/uevent", uevent(major(st.kdev), minor(st.kdev), c.sname) + c.sdiskseq);
        int kheld = c.bheld ? open(st.dev.c_str(), O_RDONLY | O_EXCL) : -1;
        Result r =
            st.run({.args = {"-c", c.sbefore + "exec \"$0\" \"$1\"", KELPFALL_BINARY, c.simage},
                    .answer = "0\n",
                    .program = "/bin/sh"});
        close(kheld);
        EXPECT_EQ(r.out, text::banner(c.simage) + "0 " + c.sname +
                             " KIOXIA TransMemory capacity 4194304 (0.004194 GB) usb_bus: yes\n" +
                             text::driveprompt + " writing image file " + c.simage + " size " +
                             (c.simage[0] == '/' ? "0" : "1000") + " to target drive " + c.sname +
                             " KIOXIA TransMemory size 4194304 ...\n" + c.smessage +
                             text::badtarget);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(readfile(st.dev).substr(0, 1 << 20), std::string(1 << 20, '\xEE'));
        EXPECT_EQ(readfile(st.root + (c.knode == Node::file ? "/dev/sdz" : "/work/x")), "kept");
    }
    // At a terminal, keys pressed before the drive table was shown are
    // discarded: only the answer typed at the prompt counts.
    Result r = st.run({.args = {"disk.img"}, .answer = "q\n", .typeahead = "0\n"});
    EXPECT_TRUE(r.out.ends_with(text::baddrive.substr(0, text::baddrive.size() - 1) + "\r\n"));
    EXPECT_EQ(r.status, 1);
}

// The sanitizers' runtime must be loaded first and has its own allocator: the
// allocation-failure library is preloaded into the plain build only.
#ifndef __SANITIZE_ADDRESS__
// Whichever allocation fails, the run ends with the memory message, the
// teardown and status 1, never a signal.
TEST(Copy, EveryAllocationFails) {
    KF_NEED(true);
    Stick st(1 << 20);
    st.put("work/disk.img", pattern(1000));
    Result r;
    for (int n = 0; r.status != 0 && n < 1000; n++) {
        r = st.run({.args = {"LD_PRELOAD=" KELPFALL_FAILALLOC, "KF_FAILALLOC=" + std::to_string(n),
                             KELPFALL_BINARY},
                    .answer = "0 0\n",
                    .program = "/usr/bin/env"});
        EXPECT_TRUE(
            r.status == 0 ||
            (r.status == 1 && r.out.ends_with("ERROR: memory allocation failed,aborting\n")))
            << n << ": " << r.status << " " << r.out;
    }
    EXPECT_EQ(r.status, 0);
}
#endif
