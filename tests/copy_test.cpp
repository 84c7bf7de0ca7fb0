// The raw copy, end to end: the real binary writes images onto loop devices
// chosen at the drive prompt, and refuses any node but the listed disk.
#include "sandbox.h"
#include "texts.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/mount.h>
#include <thread>
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

// A sandbox whose only disk is a loop device (losetup options sopts) over a
// sparse file sbacking (made here when missing), shown as a USB stick. Unless
// it is read-only or its file was given, it holds 0xEE bytes at first.
struct Stick : Sandbox {
    std::string backing, dev, name; // /dev/loopN, loopN
    unsigned major = 0, minor = 0;
    long nsize;
    char cfill;

    explicit Stick(long n, const std::string &sopts = "", const std::string &sbacking = "")
        : backing(sbacking.empty() ? root + "/backing.img" : sbacking), nsize(n),
          cfill(sopts == "-r" || !sbacking.empty() ? '\0' : '\xEE') {
        if (!fs::exists(backing)) {
            std::ofstream(backing).close();
            fs::resize_file(backing, static_cast<uintmax_t>(n));
        }
        dev = shell("losetup -f --show " + sopts + " '" + backing + "'");
        struct stat st;
        if (!dev.starts_with("/dev/loop") || stat(dev.c_str(), &st) != 0)
            throw std::runtime_error("losetup: " + dev);
        name = dev.substr(5), major = ::major(st.st_rdev), minor = ::minor(st.st_rdev);
        std::ofstream(dev, std::ios::binary) << std::string(cfill ? n : 0, cfill);
        fs::create_directory_symlink(fs::canonical("/sys/class/block/" + name),
                                     root + "/sys/" + name);
        mknod((root + "/dev/" + name).c_str(), S_IFBLK | 0600, makedev(major, minor));
        put("run/udev/data/b" + std::to_string(major) + ":" + std::to_string(minor),
            readfile(KELPFALL_FIXTURES "/udev/usb-kioxia-transmemory.db-converted.txt"));
    }
    // Loop numbers are reused at once: detach only while the device is still
    // backed by our own file. The kernel may hold it a moment after a writer
    // closed it, so the detach is retried briefly.
    ~Stick() {
        for (int k = 0; k < 50 && shell("losetup -nO BACK-FILE " + dev) == backing; k++)
            if (shell("losetup -d " + dev) != "!" || usleep(100000) != 0)
                break;
    }
    // Whether the device holds data, zeros to the end of its last sector,
    // then what was there.
    bool holds(std::string data) const {
        data.resize((data.size() + 511) / 512 * 512, '\0');
        data.resize(nsize, cfill);
        return readfile(dev) == data;
    }
};

// A disk that lies (tests/fakedisk.cpp): a file that claims nclaimed bytes
// and keeps nreal, mounted until the end of the object's life.
struct FakeDisk {
    std::string mnt = fs::temp_directory_path() / "kelpfall-fake.XXXXXX", disk = "";

    FakeDisk(const std::string &smode, long nclaimed, long nreal, const std::string &sgate = "") {
        if (mkdtemp(mnt.data()) == nullptr)
            throw std::runtime_error("mkdtemp");
        shell(KELPFALL_FAKEDISK " " + mnt + " " + smode + " " + std::to_string(nclaimed) + " " +
              std::to_string(nreal) + " " + sgate + " >/dev/null 2>&1 &");
        for (int k = 0; k < 500 && disk.empty(); k++, usleep(10000))
            if (struct stat st; stat((mnt + "/disk").c_str(), &st) == 0 && st.st_size == nclaimed)
                disk = mnt + "/disk";
    }
    ~FakeDisk() {
        shell("umount -l " + mnt);
        rmdir(mnt.c_str());
    }
};

} // namespace

// Every byte of the image, zeros to the end of its last sector, nothing
// after it; or, when the device does not take the data or the image does not
// yield it, a failure whose summary counts what the device took and flushed.
TEST(Copy, Outcomes) {
    KF_NEED(true);
    // A 4 MiB tmpfs, for a backing file whose store fills up.
    std::string sfull = fs::temp_directory_path() / "kelpfall-full.XXXXXX";
    ASSERT_TRUE(mkdtemp(sfull.data()) && !mount("tmpfs", sfull.c_str(), "tmpfs", 0, "size=4m"));
    const long nchunk = 10000384;
    const std::string sw = "WriteFile failed\n ERRORMSG: ", sr = "ReadFile failed\n ERRORMSG: ";
    struct Case {
        long ndevsize, nsize;
        std::string spath;
        long nprogress = -1; // progress lines (-1: all)
        std::string slog;    // empty: a good copy
        long ncopied = -1;   // image bytes on the device (-1: all)
        bool breadonly = false, bfull = false;
    } cases[] = {
        {24 << 20, 0, "disk.img"},
        {24 << 20, nchunk + 1, "disk.img"},
        // The working directory's only entry, with control bytes in its name;
        // the number left on the line answers the drive prompt.
        {24 << 20, 1000, "im\x1b]0;t\x07g"},
        // A FIFO yields at most 64 KiB per read: many reads fill a chunk.
        // kelpfall opens the image once to check it and again to copy it; the
        // feeder holds the FIFO read-write, so the pipe outlives the first
        // close and the feeder never meets a FIFO without a reader.
        {24 << 20, nchunk + 196611, "fifo"},
        {12000256, 25000000, "disk.img", 1, sw + "28 No space left on device\n", 12000256},
        {1 << 20, 5000, "disk.img", 0, sw + "1 Operation not permitted\n", 0, true},
        // The chunk goes into the page cache; its flush fails with EIO once
        // the tmpfs under the backing file is full.
        {32 << 20, 20000000, "disk.img", 0, sw + "5 Input/output error\n", 0, false, true},
        {1 << 20, 0, "adir", 0, sr + "21 Is a directory\n", 0},
        // Started with standard output, or it and standard error, closed:
        // no message lands on the disk.
        {1 << 20, 1000, "disk.img >&-", 0, "", -1},
        {1 << 20, 0, "adir >&- 2>&-", 0, "-", 0},
        // A regular file that ends before the size it had at open, as one
        // cut short while it is copied: a sysfs attribute says 4096 bytes.
        {1 << 20, 0, "sysfs", 1, sr + "5 Input/output error\n", 5},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.spath + " " + std::to_string(c.nsize) + " " + c.slog);
        Stick st(c.ndevsize, c.breadonly ? "-r" : "", c.bfull ? sfull + "/backing.img" : "");
        std::string image = pattern(c.nsize), sshown = c.spath, sprefix;
        RunOptions o = {.args = {c.spath}, .answer = "0\n"};
        if (c.spath == "sysfs")
            image = readfile(o.args[0] = sshown = "/sys/class/block/" + st.name + "/size");
        if (c.spath.starts_with("adir"))
            fs::create_directory(st.root + "/work/adir");
        std::string sfile = c.spath.substr(0, c.spath.find(' '));
        st.put(c.spath == "fifo" ? "image" : "work/" + sfile, image);
        bool bclosed = c.spath.find('&') != std::string::npos;
        if (c.spath.starts_with("im"))
            o = {.answer = "0 0\n"}, sprefix = text::listing({sshown = "im?]0;t?g"});
        if (c.spath == "fifo" && mkfifo((st.root + "/work/fifo").c_str(), 0600) == 0)
            o.args = {"-c",
                      "timeout 60 sh -c 'cat ../image 1<>fifo' >/dev/null 2>&1 & exec \"$0\" fifo",
                      KELPFALL_BINARY};
        if (bclosed)
            o.args = {"-c", "exec \"$0\" " + c.spath, KELPFALL_BINARY}, o.outfile = "/dev/null";
        if (bclosed || c.spath == "fifo")
            o.program = "/bin/sh";
        struct stat sb = {};
        stat(sshown[0] == '/' ? sshown.c_str() : (st.root + "/work/" + sfile).c_str(), &sb);
        Result r = st.run(o);
        const std::string sdrive = st.name + " KIOXIA TransMemory";
        if (o.outfile.empty()) {
            EXPECT_EQ(r.out, sprefix + text::banner(sshown) +
                                 text::drive(0, sdrive, st.nsize, true) + text::driveprompt +
                                 text::copy(sshown, sb.st_size, sdrive, st.nsize, image.size(),
                                            c.nprogress, c.slog, c.ncopied) +
                                 (c.slog.empty() ? "" : text::copyfailed));
        }
        EXPECT_EQ(r.status, c.slog.empty() ? 0 : 1);
        EXPECT_TRUE(c.bfull || st.holds(image.substr(0, c.ncopied)));
    }
    umount2(sfull.c_str(), MNT_DETACH);
    rmdir(sfull.c_str());
}

// The node opened must be the disk that was listed: whatever else stands
// under its name is refused before a byte is written, as a failed open.
TEST(Copy, TargetMustBeTheListedDisk) {
    KF_NEED(true);
    Stick st(1 << 20);
    std::string sreal = readfile("/sys/class/block/" + st.name + "/uevent");
    std::string sseq = std::to_string(std::stoull(sreal.substr(sreal.find("DISKSEQ=") + 8)) + 1000);
    enum { file, nonode, othernumber, climbing, swapped };
    for (int knode : {file, nonode, othernumber, climbing, swapped}) {
        SCOPED_TRACE(knode);
        Sandbox s;
        bool bloop = knode == swapped;
        unsigned major = bloop ? st.major : 8, minor = bloop ? st.minor : 16;
        std::string sname = knode == climbing ? ".." + s.root + "/work/x" : bloop ? st.name : "sdx";
        s.disk("disk", major, minor);
        s.disk("zz", 9, 9, "0"); // two names for the sort, the disk first
        // Same name and number as listed; the listing saw an earlier disk.
        s.put("sys/disk/uevent",
              uevent(major, minor, sname) + (bloop ? "DISKSEQ=" + sseq + "\n" : ""));
        if (knode == othernumber || bloop)
            mknod((s.root + "/dev/" + sname).c_str(), S_IFBLK | 0600, makedev(st.major, st.minor));
        if (knode == file || knode == climbing)
            s.put(knode == file ? "dev/sdx" : "work/x", "kept");
        s.put("work/disk.img", pattern(1000));
        Result r = s.run({.args = {"disk.img"}, .answer = "0\n"});
        EXPECT_EQ(r.out, text::banner("disk.img") + text::drive(0, sname + "  ", 1048576, false) +
                             text::driveprompt +
                             text::announce("disk.img", 1000, sname + "  ", 1048576) +
                             text::badtarget);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(st.holds(""));
        EXPECT_EQ(readfile(s.root + (knode == file ? "/dev/sdx" : "/work/x")),
                  knode == file || knode == climbing ? "kept" : "");
    }
}

// The copy fails, summary and all, when the disk does not give back what it
// acknowledged (its first or its last chunk), and when the image is
// rewritten while it is copied.
TEST(Copy, LyingDiskOrChangingImage) {
    KF_NEED(true);
    const std::string sverify = "VerifyFile failed\n ERRORMSG: 5 Input/output error\n";
    struct Case {
        std::string smode;
        long nclaimed, nreal, nsize;
        std::string slog;
    } cases[] = {
        // A counterfeit stick: says 64 MiB, keeps 16 MiB and wraps the rest
        // onto its start, or drops it.
        {"wrap", 64 << 20, 16 << 20, 30000000, sverify},
        {"drop", 64 << 20, 16 << 20, 30000000, sverify},
        // An honest disk; the copy is held at its first write while the image
        // is rewritten in place, same size, other bytes.
        {"drop", 1 << 20, 1 << 20, 1000, "ReadFile failed\n ERRORMSG: 5 Input/output error\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.smode + " " + std::to_string(c.nreal));
        const bool bgated = c.slog[0] == 'R';
        std::string sgate =
            fs::temp_directory_path() / ("kelpfall-gate." + std::to_string(getpid()));
        ASSERT_TRUE(!bgated || mkfifo(sgate.c_str(), 0600) == 0);
        FakeDisk fd(c.smode, c.nclaimed, c.nreal, bgated ? sgate : "");
        ASSERT_FALSE(fd.disk.empty());
        Stick st(c.nclaimed, "", fd.disk);
        const std::string image = pattern(c.nsize), sdrive = st.name + " KIOXIA TransMemory";
        st.put("work/disk.img", image);
        std::thread irewrite([&] {
            int kfd = -1;
            for (int k = 0; bgated && kfd == -1 && k < 3000; k++, usleep(10000))
                kfd = open(sgate.c_str(), O_WRONLY | O_NONBLOCK); // fails until the copy waits
            if (kfd != -1)
                std::ofstream(st.root + "/work/disk.img", std::ios::in | std::ios::binary)
                    << std::string(image.rbegin(), image.rend());
            close(kfd);
        });
        Result r = st.run({.args = {"disk.img"}, .answer = "0\n"});
        irewrite.join();
        unlink(sgate.c_str());
        EXPECT_EQ(r.out,
                  text::banner("disk.img") + text::drive(0, sdrive, c.nclaimed, true) +
                      text::driveprompt +
                      text::copy("disk.img", c.nsize, sdrive, c.nclaimed, c.nsize, -1, c.slog) +
                      text::copyfailed);
        EXPECT_EQ(r.status, 1);
    }
}

// A disk in use, or the image on the disk itself, is refused at the open:
// status 1, the reason and the failed open, and not a byte written.
TEST(Copy, TargetInUseOrHoldingTheImage) {
    KF_NEED(true);
    Stick st(4 << 20, "-P");
    // Partition 1: 1 MiB from 1 MiB, holding an ext4 file system.
    const std::string spart = st.name + "p1";
    ASSERT_EQ(shell("addpart " + st.dev + " 1 2048 2048 && mkfs.ext4 -qO ^has_journal /dev/" +
                    spart + " && echo ok"),
              "ok");
    struct stat sb;
    ASSERT_EQ(stat(("/dev/" + spart).c_str(), &sb), 0);
    mknod((st.root + "/dev/" + spart).c_str(), S_IFBLK | 0600, sb.st_rdev);
    st.put("work/disk.img", pattern(1000));
    fs::create_directory(st.root + "/work/mnt");
    const std::string sdrive = st.name + " KIOXIA TransMemory",
                      sinuse = "ERROR : target drive " + st.name +
                               " is in use (a file system on it is mounted, or another program "
                               "holds it)\n";
    struct Case {
        std::string simage, smessage;
        std::string smount = ""; // the image lies in the partition's mounted file system
        bool bheld = false;      // another program holds the disk exclusively
    } cases[] = {
        {"mnt/disk.img", sinuse, "mount /dev/" + spart + " mnt && cp disk.img mnt && "},
        {"disk.img", sinuse, "", true},
        {"/dev/" + st.name,
         "ERROR : image file /dev/" + st.name + " lies on target drive " + st.name + "\n"},
        {"/dev/" + spart,
         "ERROR : image file /dev/" + spart + " lies on target drive " + st.name + "\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.simage);
        int kheld = c.bheld ? open(st.dev.c_str(), O_RDONLY | O_EXCL) : -1;
        Result r =
            st.run({.args = {"-c", c.smount + "exec \"$0\" \"$1\"", KELPFALL_BINARY, c.simage},
                    .answer = "0\n",
                    .program = "/bin/sh"});
        if (kheld != -1)
            close(kheld);
        EXPECT_EQ(r.out,
                  text::banner(c.simage) + text::drive(0, sdrive, st.nsize, true) +
                      text::driveprompt +
                      text::announce(c.simage, c.simage[0] == '/' ? 0 : 1000, sdrive, st.nsize) +
                      c.smessage + text::badtarget);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(readfile(st.dev).substr(0, 1 << 20), std::string(1 << 20, '\xEE'));
    }
}

// At a terminal, keys pressed before the drive table was shown are
// discarded: only the answer typed at the prompt counts.
TEST(Copy, TypeaheadAtATerminal) {
    KF_NEED(true);
    Stick st(1 << 20);
    st.put("work/disk.img", pattern(1000));
    Result r = st.run({.args = {"disk.img"}, .answer = "q\n", .typeahead = "0\n"});
    EXPECT_TRUE(r.out.ends_with(text::baddrive.substr(0, text::baddrive.size() - 1) + "\r\n"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(st.holds(""));
}

#ifdef KELPFALL_FAILALLOC
// Whichever allocation fails, the run ends with the memory message, the
// teardown and status 1, never a signal.
TEST(Copy, EveryAllocationFails) {
    KF_NEED(true);
    Stick st(1 << 20);
    st.put("work/disk.img", pattern(1000));
    Result r;
    for (int n = 0; r.status != 0 && n < 1000; n++) {
        std::vector<std::string> args = {"LD_PRELOAD=" KELPFALL_FAILALLOC,
                                         "KF_FAILALLOC=" + std::to_string(n), KELPFALL_BINARY};
        r = st.run({.args = args, .answer = "0 0\n", .program = "/usr/bin/env"});
        EXPECT_TRUE(r.status == 0 || (r.status == 1 && r.out.ends_with(text::nomemory)))
            << n << ": " << r.status << " " << r.out;
    }
    EXPECT_EQ(r.status, 0);
}
#endif
