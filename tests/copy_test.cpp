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
#include <optional>
#include <random>
#include <sys/mman.h>
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

// A stick's kind: a loop device over a sparse file holding 0xEE bytes at first
// (plain), the same with its partitions scanned (partscan), or with 4096-byte
// sectors (sect4k); or, from wrap on, over the fake disk of tests/fakedisk.cpp
// in the mode of the same name, with work/disk.img as the file that its modes
// rewrite, touch and later change.
enum class Disk { plain, partscan, sect4k, wrap, drop, noread, nowrite, rewrite, touch, later };
const char *const sfakemodes[] = {"wrap", "drop", "noread", "nowrite", "rewrite", "touch", "later"};

// A sandbox whose one disk, the USB stick sdz, is a loop device of n bytes.
struct Stick : Sandbox {
    std::string sfake = root + "/fake", backing = root + "/backing.img";
    std::string dev; // /dev/loopN
    dev_t kdev = 0;
    long nsize;
    char cfill;

    explicit Stick(long n, Disk kdisk = Disk::plain)
        : nsize(n), cfill(kdisk <= Disk::partscan ? '\xEE' : '\0') {
        std::ofstream(backing).close();
        fs::resize_file(backing, static_cast<uintmax_t>(n));
        if (kdisk >= Disk::wrap) {
            backing = sfake;
            put("fake", "");
            shell(KELPFALL_FAKEDISK " " + sfake + " " +
                  sfakemodes[static_cast<int>(kdisk) - static_cast<int>(Disk::wrap)] + " " +
                  std::to_string(n) + " " + root + "/work/disk.img >/dev/null 2>&1 &");
            for (int k = 0; k < 500 && fs::file_size(sfake) != static_cast<uintmax_t>(n); k++)
                usleep(10000);
        }
        const char *const sflags[] = {"", "-P", "-b 4096"}; // plain to sect4k
        dev = shell(std::string("losetup -f --show ") +
                    (kdisk <= Disk::sect4k ? sflags[static_cast<int>(kdisk)] : "") + " " + backing);
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
        shell("umount -l " + sfake + " 2>/dev/null");
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

// How the image disk.img is made from the bytes in ../image: a copy; a FIFO
// that a process feeds; a directory; a link to a sysfs attribute, a regular
// file of 4096 bytes that yields fewer, as an image cut short while it is
// copied; a link to /dev/sdy, another stick, whose bytes are the image.
enum class Image { file, fifo, directory, attribute, disk };
const std::string sattribute = "/sys/devices/system/cpu/online";
// A FIFO yields at most 64 KiB per read: many reads fill a chunk. kelpfall
// opens the image once to check it and again to copy it; the feeder holds the
// FIFO read-write, so the pipe outlives the first close and the feeder never
// meets a FIFO without a reader. It leaves the run's socket alone: a run that
// fails early ends at once.
const std::string smakes[] = {
    "cp ../image disk.img", "mkfifo disk.img && (timeout 60 cat ../image 1<>disk.img <&- 2>&- &)",
    "mkdir disk.img", "ln -s " + sattribute + " disk.img", "ln -s /dev/sdy disk.img"};

// A good copy leaves every byte of the image on the disk, zeros to the end of
// its last sector and nothing after it. A failed one says why, counts what
// the disk took and flushed, and ends with status 1.
TEST(Copy, Outcomes) {
    KF_NEED(true);
    const std::string swrite = "WriteFile failed\n ERRORMSG: ",
                      seio = " ERRORMSG: 5 Input/output error\n",
                      sverify = "VerifyFile failed\n" + seio, sread = "ReadFile failed\n" + seio,
                      sisdir = "ReadFile failed\n ERRORMSG: 21 Is a directory\n";
    struct Case {
        const char *name;
        long dev, size;               // the disk's bytes, the image's
        std::string copied, log = ""; // as the summary says; the failure's log line
        Disk disk = Disk::plain;
        Image image = Image::file;
        std::string closed = "";     // descriptors closed at the start, in sh
        std::string transcript = ""; // what it prints between the drive prompt and the end
        long zeros = 0;              // zero bytes that end the image
        bool sparse = false;         // data in one page a MiB, zeros between
        bool mapped = false;         // another process maps the disk during the copy
    };
    const long n1m = 1 << 20, n24m = 24 << 20, n32m = 32 << 20, n64m = 64 << 20; // disk sizes
    // A counterfeit stick's first chunk reads back wrong (wrap), or the end
    // of its last chunk, past every sample (112 MiB keeping 28); with an
    // image of sparse data that ends in zeros, the samples of the chunks
    // between are pages that hold data. A process that maps the disk keeps
    // what was written in the page cache: the read-back reads past it. A disk
    // whose reads fail fails the read-back, even when all the image's regions
    // are alike (zeros). An image rewritten in place at the first write
    // keeping its modification time, or later at a place no sample holds
    // with the time a second on, leaves parts of two images on the disk;
    // touched, it still holds what was copied.
    // clang-format off
    const Case cases[] = {
        {.name = "an empty image", .dev = n24m, .size = 0, .copied = "0"},
        {.name = "the whole dialogue", .dev = n24m, .size = 15000000, .copied = "15000064",
         .transcript = " writing image file disk.img size 15000000 to target drive sdz KIOXIA "
                       "TransMemory size 25165824 ...\n"
                       "\rraw data copy written 66.67 % \t0.01000 GB "
                       "\rraw data copy written 100.00 % \t0.01500 GB "},
        {.name = "a FIFO", .dev = n24m, .size = 10196995, .copied = "10197504", .image = Image::fifo},
        // The read-back's reads are widened to whole sectors, as O_DIRECT needs.
        {.name = "4096-byte sectors", .dev = n32m, .size = 30000000, .copied = "30000128", .disk = Disk::sect4k},
        {.name = "the disk full", .dev = 12000256, .size = 25000000, .copied = "12000256",
         .log = swrite + "28 No space left on device\n"},
        // The chunk goes into the page cache; its flush fails with EIO.
        {.name = "the flush fails", .dev = n32m, .size = 20000000, .copied = "0",
         .log = swrite + "5 Input/output error\n", .disk = Disk::nowrite},
        // No message lands on the disk.
        {.name = "one byte, standard output closed", .dev = n1m, .size = 1, .copied = "", .closed = ">&-"},
        {.name = "standard output and error closed", .dev = n1m, .size = 0, .copied = "", .log = sisdir,
         .image = Image::directory, .closed = ">&- 2>&-"},
        {.name = "an image cut short", .dev = n1m, .size = 0, .copied = "512", .log = sread, .image = Image::attribute},
        {.name = "a counterfeit that wraps", .dev = n64m, .size = 30000000, .copied = "30000128", .log = sverify,
         .disk = Disk::wrap},
        {.name = "a counterfeit that drops", .dev = 112 << 20, .size = 30000000, .copied = "30000128", .log = sverify,
         .disk = Disk::drop},
        {.name = "a counterfeit, the image sparse", .dev = n64m, .size = 45000000, .copied = "45000192", .log = sverify,
         .disk = Disk::drop, .zeros = 5000000, .sparse = true},
        {.name = "a counterfeit, the disk mapped", .dev = n64m, .size = 30000000, .copied = "30000128", .log = sverify,
         .disk = Disk::drop, .mapped = true},
        {.name = "unreadable disk", .dev = n1m, .size = 8192, .copied = "8192", .log = sverify, .disk = Disk::noread,
         .zeros = 8192},
        {.name = "another disk as the image", .dev = 2 << 20, .size = 0, .copied = "1048576", .image = Image::disk},
        {.name = "image rewritten", .dev = n1m, .size = 1000, .copied = "1024", .log = sread, .disk = Disk::rewrite},
        {.name = "the image rewritten, its time a second on", .dev = n32m, .size = 25000000, .copied = "25000448",
         .log = sread, .disk = Disk::later},
        {.name = "the image touched", .dev = n32m, .size = 25000000, .copied = "25000448", .disk = Disk::touch},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Stick st(c.dev, c.disk);
        std::optional<Stick> other;
        if (c.image == Image::disk) {
            other.emplace(1 << 20);
            mknod((st.root + "/dev/sdy").c_str(), S_IFBLK | 0600, other->kdev);
        }
        std::string sbytes = c.image == Image::attribute ? readfile(sattribute)
                             : other                     ? readfile(other->dev)
                                     : pattern(c.size - c.zeros) + std::string(c.zeros, '\0');
        for (size_t k = 0; c.sparse && k < sbytes.size(); k++)
            sbytes[k] = k / 4096 % 256 == 0 ? sbytes[k] : '\0';
        st.put("image", sbytes);
        void *pmap = MAP_FAILED;
        if (c.mapped) { // every page of the disk mapped and read
            int kfd = open(st.dev.c_str(), O_RDONLY);
            pmap = mmap(nullptr, c.dev, PROT_READ, MAP_SHARED, kfd, 0);
            close(kfd);
            ASSERT_NE(pmap, MAP_FAILED);
            for (long k = 0; k < c.dev; k += 4096)
                (void)*(static_cast<volatile char *>(pmap) + k);
        }
        const std::string smake = smakes[static_cast<int>(c.image)];
        Result r =
            st.run({.args = {"-c", smake + " && exec \"$0\" disk.img " + c.closed, KELPFALL_BINARY},
                    .answer = "0\n",
                    .outfile = c.closed.empty() ? "" : "/dev/null",
                    .program = "/bin/sh"});
        if (pmap != MAP_FAILED)
            munmap(pmap, c.dev);
        EXPECT_EQ(r.status, c.log.empty() ? 0 : 1);
        const std::string send =
            c.log + "\ngeneric_io_stream_raw_copy_buffered summary bytes copied " + c.copied +
            "\n" + (c.log.empty() ? "" : "ERROR : image copy failed \n");
        if (c.closed.empty()) { // the log line, the summary, the verdict
            EXPECT_EQ(ending(r.out, send), send);
        }
        if (!c.transcript.empty()) {
            EXPECT_EQ(r.out, text::banner("disk.img") +
                                 "0 sdz KIOXIA TransMemory capacity 25165824 (0.025166 GB) "
                                 "usb_bus: yes\n" +
                                 text::driveprompt + c.transcript + send);
        }
        // The bytes on a loop device over a file.
        EXPECT_TRUE(c.disk > Disk::sect4k || st.holds(sbytes));
    }
}

// Whatever stands under the disk's name but the listed disk, a disk in use,
// and an image that is the disk or one of its partitions are refused at the
// open: the reason, the failed open, status 1, and not a byte written.
TEST(Copy, TargetRefused) {
    KF_NEED(true);
    Stick st(4 << 20, Disk::partscan);
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
        const char *name;
        std::string image = "disk.img", message = "";
        std::string devname = "sdz"; // the DEVNAME the uevent gives
        Node node = Node::disk;      // what stands at /dev/sdz
        std::string diskseq = "";    // a DISKSEQ line: the listing saw another disk
        std::string before = "";     // run in the sandbox before kelpfall
        bool held = false;           // another program holds the disk exclusively
    };
    // clang-format off
    const Case cases[] = {
        {.name = "a file system mounted", .image = "mnt/disk.img", .message = sinuse,
         .before = "mount /dev/sdz1 mnt && cp disk.img mnt && "},
        {.name = "held by another program", .message = sinuse, .held = true},
        {.name = "the image is the disk", .image = "/dev/sdz",
         .message = "ERROR : image file /dev/sdz lies on target drive sdz\n"},
        {.name = "the image is a partition", .image = "/dev/sdz1",
         .message = "ERROR : image file /dev/sdz1 lies on target drive sdz\n"},
        {.name = "a file at the node", .node = Node::file},
        {.name = "a partition at the node", .node = Node::partition},
        {.name = "a name out of /dev", .devname = ".." + st.root + "/work/x"},
        {.name = "another disk since the listing", .diskseq = "DISKSEQ=4000000000\n"},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(st.root + "/dev/sdz");
        if (c.node != Node::file)
            mknod((st.root + "/dev/sdz").c_str(), S_IFBLK | 0600,
                  c.node == Node::disk ? st.kdev : sb.st_rdev);
        st.put(c.node == Node::file ? "dev/sdz" : "work/x", "kept");
        st.put("sys/sdz/uevent", uevent(major(st.kdev), minor(st.kdev), c.devname) + c.diskseq);
        int kheld = c.held ? open(st.dev.c_str(), O_RDONLY | O_EXCL) : -1;
        Result r =
            st.run({.args = {"-c", c.before + "exec \"$0\" \"$1\"", KELPFALL_BINARY, c.image},
                    .answer = "0\n",
                    .program = "/bin/sh"});
        close(kheld);
        EXPECT_EQ(r.out, text::banner(c.image) + "0 " + c.devname +
                             " KIOXIA TransMemory capacity 4194304 (0.004194 GB) usb_bus: yes\n" +
                             text::driveprompt + " writing image file " + c.image + " size " +
                             (c.image[0] == '/' ? "0" : "1000") + " to target drive " + c.devname +
                             " KIOXIA TransMemory size 4194304 ...\n" + c.message +
                             text::badtarget);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(readfile(st.dev).substr(0, 1 << 20), std::string(1 << 20, '\xEE'));
        EXPECT_EQ(readfile(st.root + (c.node == Node::file ? "/dev/sdz" : "/work/x")), "kept");
    }
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
    const std::string snomem = "ERROR: memory allocation failed,aborting\n";
    Result r;
    for (int n = 0; r.status != 0 && n < 1000; n++) {
        r = st.run({.args = {"LD_PRELOAD=" KELPFALL_FAILALLOC, "KF_FAILALLOC=" + std::to_string(n),
                             KELPFALL_BINARY},
                    .answer = "0 0\n",
                    .program = "/usr/bin/env"});
        if (r.status != 0) {
            EXPECT_EQ(r.status, 1) << "failing allocation " << n;
            EXPECT_EQ(ending(r.out, snomem), snomem) << "failing allocation " << n;
        }
    }
    EXPECT_EQ(r.status, 0);
}
#endif
