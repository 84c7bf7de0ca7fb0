// Test sandbox: runs the built kelpfall binary, unchanged, in a private mount
// namespace whose /sys/class/block, /run and /dev are fixture trees, so that
// only test devices exist for it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What one run of the binary left behind.
struct RunResult {
    std::string out; // standard output (empty when it went to a file)
    std::string err; // standard error
    int status = -1; // exit status, or 128 + signal number
};

// How to run the binary.
struct RunOptions {
    std::vector<std::string> args; // arguments after the program name
    std::string input;             // bytes on standard input, then its end
    std::string cwd;               // working directory; default: the sandbox's work/
    std::string stdoutfile;        // when set, standard output is this file
    std::string program;           // default: the built kelpfall binary
};

// A whole disk in the fixture sysfs. An unset attribute file is missing.
struct DiskSpec {
    std::string name;                  // entry under /sys/class/block
    std::optional<std::string> uevent; // whole uevent text
    std::optional<std::string> size;   // size attribute text
    std::optional<std::string> logical_block_size = std::string("512\n");
    std::optional<std::string> backing_file; // makes it a loop device
    std::vector<std::string> partitions;     // inside its dir and at top level
};

// "MAJOR=..\nMINOR=..\nDEVNAME=..\nDEVTYPE=disk\n" as the kernel writes it.
std::string ueventtext(int major, int minor, const std::string &devname,
                       const std::string &devtype = "disk");

// A loop device attached by the test over a sparse file of its own, detached
// (and the file removed) when it goes out of scope.
class LoopDevice {
  public:
    // nbytes: device size; nlbs: logical block size; breadonly: losetup -r;
    // sbackingdir: directory for the backing file (default: a new temp dir).
    explicit LoopDevice(uint64_t nbytes, int nlbs = 512, bool breadonly = false,
                        const std::string &sbackingdir = "");
    ~LoopDevice();
    LoopDevice(const LoopDevice &) = delete;
    LoopDevice &operator=(const LoopDevice &) = delete;

    bool ok() const {
        return !dev.empty();
    }
    std::string dev;     // /dev/loopN
    std::string name;    // loopN
    std::string backing; // the backing file
    std::string error;   // why attaching failed
    unsigned major = 0, minor = 0;

  private:
    std::string ownedtmpdir;
};

class Sandbox {
  public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    std::string root; // the fixture root
    std::string sys;  // becomes /sys/class/block
    std::string udev; // becomes /run/udev/data
    std::string dev;  // becomes /dev
    std::string work; // default working directory

    void adddisk(const DiskSpec &disk);
    // /run/udev/data/<key> with the given text.
    void addudev(const std::string &key, const std::string &text);
    // A regular file /dev/<name> standing in for a device node.
    void adddevfile(const std::string &name, const std::string &content = "");
    // Exposes a real loop device: its sysfs entry and its block node.
    void addloop(const LoopDevice &loop);
    RunResult run(const RunOptions &options) const;
};

// Writes (creating directories) or reads a whole file.
void writefile(const std::string &path, const std::string &content);
std::string readfile(const std::string &path);
// Whether this process can build the sandbox; why not, when it cannot.
bool sandboxavailable(std::string *pwhy);
// Whether loop devices can be attached here.
bool loopavailable(std::string *pwhy);
// CI=true: tests that need root, namespaces or loop devices must run.
bool inci();

// Skips a test whose requirement is missing, or fails it under CI=true.
#define KF_REQUIRE(available, what)                                                                \
    do {                                                                                           \
        std::string kf_why;                                                                        \
        if (!(available)(&kf_why)) {                                                               \
            if (inci())                                                                            \
                FAIL() << what " unavailable under CI: " << kf_why;                                \
            GTEST_SKIP() << what " unavailable: " << kf_why;                                       \
        }                                                                                          \
    } while (0)

// Tests that run the binary in the sandbox.
#define KF_REQUIRE_SANDBOX() KF_REQUIRE(sandboxavailable, "sandbox")

// Tests that also attach loop devices.
#define KF_REQUIRE_LOOP()                                                                          \
    do {                                                                                           \
        KF_REQUIRE_SANDBOX();                                                                      \
        KF_REQUIRE(loopavailable, "loop devices");                                                 \
    } while (0)
