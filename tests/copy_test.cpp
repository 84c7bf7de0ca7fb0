// The raw copy, end to end: the real binary writes images onto real loop
// devices (and fixture nodes) chosen at the drive prompt.
#include "sandbox.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string sprompt =
    "enter drive device index or q to abort (WARNING: all data will be lost !) : ";
const std::string sfailed = "ERROR : image copy failed \n";
// What a byte of the device holds before the copy.
const char cuntouched = '\xEE';
// Every test disk presents itself as this USB stick.
const std::string skioxia =
    std::string(KELPFALL_FIXTURES) + "/udev/usb-kioxia-transmemory.db-converted.txt";

// Bytes that no padding or stale block can pass for.
std::string pattern(size_t n, uint32_t nseed) {
    std::string s(n, '\0');
    for (size_t k = 0; k < n; k++) {
        nseed = nseed * 1103515245u + 12345u;
        s[k] = static_cast<char>((nseed >> 16) | 1);
    }
    return s;
}

// Writes content at offset 0 of a node or file and flushes it.
void writenode(const std::string &path, const std::string &content) {
    int kfd = open(path.c_str(), O_WRONLY);
    ASSERT_NE(kfd, -1) << path;
    ASSERT_EQ(write(kfd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ASSERT_EQ(fsync(kfd), 0);
    close(kfd);
}

std::string readnode(const std::string &path, size_t n) {
    std::string s(n, '\0');
    int kfd = open(path.c_str(), O_RDONLY);
    ssize_t nread = kfd == -1 ? -1 : pread(kfd, s.data(), n, 0);
    if (kfd != -1)
        close(kfd);
    s.resize(nread > 0 ? static_cast<size_t>(nread) : 0);
    return s;
}

// The device after a copy of image onto a device of ndevsize untouched bytes:
// the image, zeros to the next sector boundary, then untouched bytes.
std::string deviceafter(const std::string &image, size_t ndevsize) {
    std::string s = image.substr(0, ndevsize);
    s.resize(std::min(ndevsize, (s.size() + 511) / 512 * 512), '\0');
    s.resize(ndevsize, cuntouched);
    return s;
}

// Offset of the first differing byte, or -1 (keeps failure output short).
long firstdiff(const std::string &a, const std::string &b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t k = 0; k < n; k++)
        if (a[k] != b[k])
            return static_cast<long>(k);
    return a.size() == b.size() ? -1 : static_cast<long>(n);
}

// Shows a loop device in the sandbox as the only disk, with the udev record
// of a USB stick, after filling its first nfill bytes with untouched bytes.
void addtestloop(Sandbox &s, const LoopDevice &lp, uint64_t nfill) {
    ASSERT_TRUE(lp.ok()) << lp.error;
    if (nfill > 0)
        writenode(lp.dev, std::string(nfill, cuntouched));
    s.addloop(lp);
    s.addudev("b" + std::to_string(lp.major) + ":" + std::to_string(lp.minor), readfile(skioxia));
}

std::string announce(const std::string &spath, uint64_t nsize, const std::string &sname,
                     uint64_t ncapacity) {
    return " writing image file " + spath + " size " + std::to_string(nsize) + " to target drive " +
           sname + " KIOXIA TransMemory size " + std::to_string(ncapacity) + " ...\n";
}

std::string progress(const std::string &spercent, const std::string &sgb) {
    return "\rraw data copy written " + spercent + " % \t" + sgb + " GB ";
}

std::string summary(uint64_t n) {
    return "\ngeneric_io_stream_raw_copy_buffered summary bytes copied " + std::to_string(n) + "\n";
}

// What the run printed after the drive prompt: the copy's own output.
std::string copyoutput(const RunResult &r) {
    size_t k = r.out.find(sprompt);
    return k == std::string::npos ? "<no drive prompt in: " + r.out + ">"
                                  : r.out.substr(k + sprompt.size());
}

const uint64_t nchunk = 10000384;

// A 4 MiB tmpfs on a temporary directory, for a backing store that fills up.
struct TmpfsMount {
    std::string sdir = (std::filesystem::temp_directory_path() / "kelpfall-full.XXXXXX").string();
    bool bmounted = false;
    TmpfsMount() {
        if (mkdtemp(sdir.data()) != nullptr)
            bmounted = mount("tmpfs", sdir.c_str(), "tmpfs", 0, "size=4m") == 0;
    }
    ~TmpfsMount() {
        if (bmounted)
            umount2(sdir.c_str(), MNT_DETACH);
        rmdir(sdir.c_str());
    }
    bool ok() const {
        return bmounted;
    }
};

} // namespace

TEST(RawCopy, ImageSizesOnLoopDevice) {
    KF_REQUIRE_LOOP();
    const uint64_t ndevsize = 24 << 20;
    struct Case {
        uint64_t nsize;
        std::string sprogress;
        uint64_t ncopied;
    } cases[] = {
        {0, "", 0},
        {1000, progress("100.00", "0.00000"), 1024},
        {nchunk, progress("100.00", "0.01000"), nchunk},
        {nchunk + 1, progress("100.00", "0.01000") + progress("100.00", "0.01000"), nchunk + 512},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.nsize);
        Sandbox s;
        LoopDevice lp(ndevsize);
        addtestloop(s, lp, ndevsize);
        std::string image = pattern(c.nsize, static_cast<uint32_t>(c.nsize));
        writefile(s.work + "/disk.img", image);
        RunResult r = s.run({.args = {"disk.img"}, .input = "0\n"});
        EXPECT_EQ(copyoutput(r), announce("disk.img", c.nsize, lp.name, ndevsize) + c.sprogress +
                                     summary(c.ncopied));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(firstdiff(readnode(lp.dev, ndevsize), deviceafter(image, ndevsize)), -1);
    }
}

// Devices that do not take the data: never a success, and the summary counts
// only what the device took and flushed.
TEST(RawCopy, DeviceRefusesData) {
    KF_REQUIRE_LOOP();
    TmpfsMount itmpfs;
    ASSERT_TRUE(itmpfs.ok());
    const std::string senospc = "28 No space left on device";
    struct Case {
        const char *swhat;
        uint64_t ndevsize, nsize;
        bool breadonly;
        std::string sbackingdir, sprogress, serrno;
        uint64_t ncopied;
    } cases[] = {
        {"overrun by more than a chunk", 12000256, 25000000, false, "",
         progress("40.00", "0.01000"), senospc, 12000256},
        {"overrun by less than a chunk", 12000256, 12500000, false, "",
         progress("80.00", "0.01000"), senospc, 12000256},
        {"read-only device", 1 << 20, 5000, true, "", "", "1 Operation not permitted", 0},
        // The device takes the chunk into its page cache; its flush fails
        // with EIO once the 4 MiB tmpfs under the backing file is full.
        {"backing store fills up", 32 << 20, 20000000, false, itmpfs.sdir, "",
         "5 Input/output error", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.swhat);
        Sandbox s;
        LoopDevice lp(c.ndevsize, 512, c.breadonly, c.sbackingdir);
        bool bfill = !c.breadonly && c.sbackingdir.empty();
        addtestloop(s, lp, bfill ? c.ndevsize : 0);
        std::string image = pattern(c.nsize, 7);
        writefile(s.work + "/disk.img", image);
        RunResult r = s.run({.args = {"disk.img"}, .input = "0\n"});
        EXPECT_EQ(copyoutput(r), announce("disk.img", c.nsize, lp.name, c.ndevsize) + c.sprogress +
                                     "WriteFile failed\n ERRORMSG: " + c.serrno + "\n" +
                                     summary(c.ncopied));
        EXPECT_EQ(r.err, sfailed);
        EXPECT_EQ(r.status, 1);
        std::string sdevice = image.substr(0, c.ncopied);
        sdevice.resize(c.ndevsize, bfill ? cuntouched : '\0');
        if (c.sbackingdir.empty()) {
            EXPECT_EQ(firstdiff(readnode(lp.dev, c.ndevsize), sdevice), -1);
        }
    }
}

// A FIFO yields at most its 64 KiB buffer per read: the chunks are filled
// from many reads, and only the end of the data is padded.
TEST(RawCopy, FifoImageFedInPieces) {
    KF_REQUIRE_LOOP();
    const uint64_t ndevsize = 24 << 20;
    Sandbox s;
    LoopDevice lp(ndevsize);
    addtestloop(s, lp, ndevsize);
    std::string sfifo = s.work + "/image.fifo";
    ASSERT_EQ(mkfifo(sfifo.c_str(), 0600), 0);
    std::string image = pattern(10000383 + 3 * 65537 + 7777, 11);
    // Read-write: kelpfall's opens never wait, and the data stays in the pipe
    // until kelpfall reads it; closing it is the end of the image.
    int kfeed = open(sfifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_NE(kfeed, -1);
    std::atomic<bool> bdone = false;
    std::thread ifeeder([&] {
        const size_t npieces[] = {1, 511, 4097, 65537, 100003, 3000017};
        size_t npos = 0, kpiece = 0;
        while (npos < image.size() && !bdone) {
            size_t nwant = std::min(npieces[kpiece++ % std::size(npieces)], image.size() - npos);
            while (nwant > 0 && !bdone) {
                ssize_t n = write(kfeed, image.data() + npos, nwant);
                if (n > 0) {
                    npos += static_cast<size_t>(n);
                    nwant -= static_cast<size_t>(n);
                } else {
                    struct pollfd p = {kfeed, POLLOUT, 0};
                    poll(&p, 1, 100);
                }
            }
        }
        close(kfeed);
    });
    RunResult r = s.run({.args = {"image.fifo"}, .input = "0\n"});
    bdone = true;
    ifeeder.join();
    uint64_t ncopied = (image.size() + 511) / 512 * 512;
    EXPECT_EQ(copyoutput(r), announce("image.fifo", 0, lp.name, ndevsize) +
                                 progress("100.00", "0.01000") + progress("100.00", "0.01021") +
                                 summary(ncopied));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(firstdiff(readnode(lp.dev, ndevsize), deviceafter(image, ndevsize)), -1);
}

// The node opened must be the disk that was listed: whatever else stands
// under its name is refused before a byte is written, as a failed open.
TEST(RawCopy, TargetMustBeTheListedDisk) {
    KF_REQUIRE_LOOP();
    const uint64_t ndevsize = 1 << 20;
    const std::string sdevice(ndevsize, cuntouched);
    LoopDevice lp(ndevsize);
    ASSERT_TRUE(lp.ok()) << lp.error;
    writenode(lp.dev, sdevice);
    std::string sreal = readfile("/sys/class/block/" + lp.name + "/uevent");
    size_t kseq = sreal.find("DISKSEQ=");
    ASSERT_NE(kseq, std::string::npos) << sreal;
    uint64_t nseq = std::stoull(sreal.substr(kseq + 8));
    enum Node { regularfile, nonode, othernumber, climbing, swapped };
    for (Node knode : {regularfile, nonode, othernumber, climbing, swapped}) {
        SCOPED_TRACE(knode);
        Sandbox s;
        std::string sname = "sdx", suevent = ueventtext(8, 16, sname);
        std::string snode = s.dev + "/" + sname;
        if (knode == climbing) {
            // /dev/../<sandbox>/work/x: a regular file outside /dev.
            sname = ".." + s.work + "/x";
            suevent = ueventtext(8, 16, sname);
            snode = s.work + "/x";
        } else if (knode == swapped) {
            // Same name and number as listed; the listing saw an earlier disk.
            sname = lp.name;
            suevent = ueventtext(lp.major, lp.minor, sname) +
                      "DISKSEQ=" + std::to_string(nseq + 1000) + "\n";
            snode = s.dev + "/" + sname;
        }
        s.adddisk({.name = "disk", .uevent = suevent, .size = "2048\n"});
        s.addudev(knode == swapped ? "b" + std::to_string(lp.major) + ":" + std::to_string(lp.minor)
                                   : "b8:16",
                  readfile(skioxia));
        if (knode == regularfile || knode == climbing)
            writefile(snode, sdevice);
        if (knode == othernumber || knode == swapped) {
            ASSERT_EQ(mknod(snode.c_str(), S_IFBLK | 0600, makedev(lp.major, lp.minor)), 0);
        }
        writefile(s.work + "/disk.img", pattern(1000, 5));
        RunResult r = s.run({.args = {"disk.img"}, .input = "0\n"});
        EXPECT_EQ(copyoutput(r), announce("disk.img", 1000, sname, ndevsize));
        EXPECT_EQ(r.err, "ERROR : write open handles for target device copy failed,aborting\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(firstdiff(readnode(lp.dev, ndevsize), sdevice), -1);
        if (knode == regularfile || knode == climbing) {
            EXPECT_EQ(readfile(snode), sdevice);
        } else if (knode == nonode) {
            EXPECT_FALSE(std::filesystem::exists(snode));
        }
    }
}

// Images that do not yield what they promised: a directory (the read fails)
// and a regular file that ends before its size at open, as one cut short
// while it is copied (a sysfs attribute says 4096 bytes and holds a few).
TEST(RawCopy, ImageThatFailsToRead) {
    KF_REQUIRE_LOOP();
    const uint64_t ndevsize = 1 << 20;
    struct Case {
        std::string simage, sout;
        uint64_t ncopied;
    } cases[] = {
        {"adir", "ReadFile failed\n ERRORMSG: 21 Is a directory\n", 0},
        {"", progress("12.50", "0.00000") + "ReadFile failed\n ERRORMSG: 5 Input/output error\n",
         512},
    };
    for (Case &c : cases) {
        Sandbox s;
        LoopDevice lp(ndevsize);
        addtestloop(s, lp, ndevsize);
        std::filesystem::create_directory(s.work + "/adir");
        if (c.simage.empty())
            c.simage = "/sys/class/block/" + lp.name + "/size";
        SCOPED_TRACE(c.simage);
        std::string ssysfs = readfile("/sys/class/block/" + lp.name + "/size");
        struct stat st;
        ASSERT_EQ(stat(c.simage == "adir" ? (s.work + "/adir").c_str() : c.simage.c_str(), &st), 0);
        RunResult r = s.run({.args = {c.simage}, .input = "0\n"});
        EXPECT_EQ(copyoutput(r),
                  announce(c.simage, static_cast<uint64_t>(st.st_size), lp.name, ndevsize) +
                      c.sout + summary(c.ncopied));
        EXPECT_EQ(r.err, sfailed);
        EXPECT_EQ(r.status, 1);
        std::string sexpected = c.ncopied ? deviceafter(ssysfs, ndevsize) : "";
        sexpected.resize(ndevsize, cuntouched);
        EXPECT_EQ(firstdiff(readnode(lp.dev, ndevsize), sexpected), -1);
    }
}

// Started with standard output and error closed, the tool still writes the
// image and nothing else onto the disk: no message lands on it.
TEST(RawCopy, ClosedStandardDescriptors) {
    KF_REQUIRE_LOOP();
    const uint64_t ndevsize = 1 << 20;
    for (const char *simage : {"disk.img", "adir"}) {
        SCOPED_TRACE(simage);
        Sandbox s;
        LoopDevice lp(ndevsize);
        addtestloop(s, lp, ndevsize);
        std::string snull = s.dev + "/null";
        ASSERT_EQ(mknod(snull.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
        std::string image = pattern(1000, 3);
        writefile(s.work + "/disk.img", image);
        std::filesystem::create_directory(s.work + "/adir");
        RunResult r = s.run({.args = {"-c", "exec \"$0\" \"$1\" >&- 2>&-", KELPFALL_BINARY, simage},
                             .input = "0\n",
                             .program = "/bin/sh"});
        bool bgood = std::string(simage) == "disk.img";
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_EQ(r.status, bgood ? 0 : 1);
        EXPECT_EQ(firstdiff(readnode(lp.dev, ndevsize), deviceafter(bgood ? image : "", ndevsize)),
                  -1);
    }
}

// Control bytes in a file name, a device name or a udev value are shown as
// "?" and never reach the terminal; the file and the node are opened by
// their real names.
TEST(RawCopy, ControlBytesShownNotObeyed) {
    KF_REQUIRE_LOOP();
    const uint64_t ndevsize = 1 << 20;
    Sandbox s;
    LoopDevice lp(ndevsize);
    ASSERT_TRUE(lp.ok()) << lp.error;
    writenode(lp.dev, std::string(ndevsize, cuntouched));
    const std::string sname = "ev\x1b[2Jil", simage = "im\x1b]0;title\x07g";
    s.adddisk({.name = "evil", .uevent = ueventtext(lp.major, lp.minor, sname), .size = "2048\n"});
    std::string snode = s.dev + "/" + sname;
    ASSERT_EQ(mknod(snode.c_str(), S_IFBLK | 0600, makedev(lp.major, lp.minor)), 0);
    s.addudev("b" + std::to_string(lp.major) + ":" + std::to_string(lp.minor),
              "E:ID_VENDOR=\x1b]52;c;aGk=\x07\nE:ID_MODEL=Mod\x7f"
              "el\n");
    std::string image = pattern(1000, 9);
    writefile(s.work + "/" + simage, image);
    RunResult r = s.run({.input = "0\n0\n"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char *sshown :
         {"\r0 im?]0;title?g\n", "selected image file im?]0;title?g\n",
          "0 ev?[2Jil ?]52;c;aGk=? Mod?el capacity 1048576",
          " writing image file im?]0;title?g size 1000 to target drive ev?[2Jil ?]52;c;aGk=? "
          "Mod?el size 1048576 ...\n"})
        EXPECT_NE(r.out.find(sshown), std::string::npos) << sshown;
    EXPECT_EQ(r.out.find_first_of("\x1b\x07\x7f"), std::string::npos);
    EXPECT_EQ(firstdiff(readnode(lp.dev, ndevsize), deviceafter(image, ndevsize)), -1);
}
