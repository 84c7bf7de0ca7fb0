// Test sandbox: runs the built kelpfall binary, unchanged, in a private mount
// namespace whose /sys/class/block, /run and /dev are fixture trees, so that
// it sees only test devices; and loop devices that a test attaches itself.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct Result {
    std::string out; // standard output and error, as a terminal shows them
    int status = -1; // exit status, or 128 + signal number
};

struct RunOptions {
    std::vector<std::string> args;    // arguments after the program name
    std::vector<std::string> answers; // each written once stdout ends in ": "
    std::string outfile;              // standard output to this file instead
    std::string program = KELPFALL_BINARY;
    std::string failalloc; // preload the allocation-failure library, failing this one
};

// A loop device over a sparse file sdir/backing.img of its own, detached when
// it goes out of scope, but only while it is still backed by that file.
struct Loop {
    Loop(long nbytes, bool breadonly, const std::string &sdir);
    ~Loop();
    std::string dev, name, backing; // /dev/loopN, loopN
    unsigned major = 0, minor = 0;
};

struct Sandbox {
    Sandbox();
    ~Sandbox();
    std::string root; // holds sys/, run/udev/data/, dev/ and work/
    // Writes root/<path> ("sys/sda/size", "work/disk.img"), making folders.
    void put(const std::string &path, const std::string &text) const;
    // A whole disk sys/<name>: uevent, size and udev database file.
    void disk(const std::string &name, unsigned major, unsigned minor,
              const std::string &sectors = "2048", const std::string &udev = "",
              const std::string &devtype = "disk") const;
    Result run(const RunOptions &o) const;
};

// A uevent file as the kernel writes it for a block device.
std::string uevent(unsigned major, unsigned minor, const std::string &devname,
                   const std::string &devtype = "disk");
// A whole file or block device; a missing one is empty.
std::string readfile(const std::string &path);
// Why the sandbox (with bloop: and loop devices) cannot be used; "" if it can.
// A root without mount namespaces fails the runs instead.
std::string missing(bool bloop);

// Skips a test whose requirement is missing, or fails it under CI=true.
#define KF_NEED(bloop)                                                                             \
    if (std::string kf_why = missing(bloop); kf_why.empty()) {                                     \
    } else if (getenv("CI") != nullptr && getenv("CI") == std::string("true"))                     \
        FAIL() << kf_why << " (CI)";                                                               \
    else                                                                                           \
        GTEST_SKIP() << kf_why
