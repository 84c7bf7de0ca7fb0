// Test sandbox: runs the built kelpfall binary, unchanged, in a private mount
// namespace whose /sys/class/block, /run and /dev are fixture trees, so that
// it sees only test devices.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <pty.h>
#include <sched.h>
#include <iterator>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

struct Result {
    std::string out; // standard output and error, as a terminal shows them
    int status = -1; // exit status, or 128 + signal number
    long maxrss = 0; // peak resident set size in KiB
};

struct RunOptions {
    std::vector<std::string> args; // arguments after the program name
    // The answer is written once stdout ends in ") : " (the first prompt), or
    // at once when standard output goes to outfile instead; then input ends.
    std::string answer, outfile;
    std::string program = KELPFALL_BINARY;
    // When set, the run has a terminal (a pty) on which this was typed
    // before the program started; the answer follows at the first prompt.
    std::string typeahead = "";
};

// A uevent file as the kernel writes it for a block device.
inline std::string uevent(unsigned major, unsigned minor, const std::string &devname,
                          const std::string &devtype = "disk") {
    return "MAJOR=" + std::to_string(major) + "\nMINOR=" + std::to_string(minor) +
           "\nDEVNAME=" + devname + "\nDEVTYPE=" + devtype + "\n";
}

// A whole file or block device; a missing one is empty.
inline std::string readfile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

// The end of out as long as sexpected, to compare with EXPECT_EQ: a failure
// then shows both texts.
inline std::string ending(const std::string &out, const std::string &sexpected) {
    return out.substr(out.size() - std::min(out.size(), sexpected.size()));
}

// In a run's child, before its exec: which step failed and its errno, on
// descriptor 0, the socket or pty that the test reads even when output goes
// to a file; then exit status 127.
[[noreturn]] inline void die(const std::string &sstep) {
    const std::string s = "sandbox: " + sstep + " failed: " + strerror(errno) + "\n";
    (void)!write(0, s.data(), s.size());
    _exit(127);
}

// Skips a test that needs root (and with bloop, loop devices) where they are
// missing; scripts/test.sh fails a run with skips under CI=true. A root
// without mount namespaces fails the runs instead.
#define KF_NEED(bloop)                                                                             \
    if (geteuid() != 0 || ((bloop) && access("/dev/loop-control", W_OK) != 0))                     \
    GTEST_SKIP() << "needs root" << ((bloop) ? " and loop devices" : "")

struct Sandbox {
    std::string root; // holds sys/, run/udev/data/, dev/ and work/

    Sandbox() : root(std::filesystem::temp_directory_path() / "kelpfall-sandbox.XXXXXX") {
        signal(SIGPIPE, SIG_IGN);
        if (mkdtemp(root.data()) == nullptr)
            throw std::runtime_error("mkdtemp");
        for (const char *s : {"/sys", "/run/udev/data", "/dev", "/work"})
            std::filesystem::create_directories(root + s);
        mknod((root + "/dev/null").c_str(), S_IFCHR | 0666, makedev(1, 3)); // as in every /dev
    }
    ~Sandbox() {
        std::filesystem::remove_all(root);
    }

    // Writes root/<path> ("sys/sda/size", "work/disk.img"), making folders.
    void put(const std::string &path, const std::string &text) const {
        std::filesystem::create_directories(std::filesystem::path(root + "/" + path).parent_path());
        std::ofstream(root + "/" + path, std::ios::binary) << text;
    }

    // The fixture tree tests/fixtures/<name>, its sys/ and run/, copied into
    // root: links in sys/ stay links, as in sysfs; those in run/ are followed.
    void copy(const std::string &name) const {
        using o = std::filesystem::copy_options;
        const std::string sfrom = KELPFALL_FIXTURES "/" + name;
        std::filesystem::copy(sfrom + "/sys", root + "/sys", o::recursive | o::copy_symlinks);
        std::filesystem::copy(sfrom + "/run", root + "/run", o::recursive | o::overwrite_existing);
    }

    // In a child: the fixture trees bound over the real ones, in a private
    // mount namespace, and the working directory work/; a step that fails
    // ends the child (die).
    void enter() const {
        if (unshare(CLONE_NEWNS) != 0 || mount("", "/", "", MS_REC | MS_PRIVATE, nullptr) != 0)
            die("unshare, a private mount namespace");
        for (const std::string s : {"/sys", "/run", "/dev"}) {
            const std::string sto = s == "/sys" ? "/sys/class/block" : s;
            if (mount((root + s).c_str(), sto.c_str(), "", MS_BIND, nullptr) != 0)
                die("bind mount of " + root + s + " over " + sto);
        }
        if (chdir((root + "/work").c_str()) != 0)
            die("chdir to " + root + "/work");
    }

    // Standard input, output and error are one socket, or a pty for a run
    // with typeahead. KELPFALL_WRAPPER, when set, names a program that stands
    // in for kelpfall wherever a run starts it, directly or through a shell
    // (kelpfall under valgrind, say).
    Result run(const RunOptions &o) const {
        std::vector<std::string> sargv{o.program};
        sargv.insert(sargv.end(), o.args.begin(), o.args.end());
        if (const char *swrapper = getenv("KELPFALL_WRAPPER"); swrapper && *swrapper)
            std::replace(sargv.begin(), sargv.end(), std::string(KELPFALL_BINARY),
                         std::string(swrapper));
        std::vector<char *> argv;
        for (std::string &s : sargv)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        const bool bterminal = !o.typeahead.empty();
        int kio[2] = {-1, -1}; // ours, the run's
        if (!bterminal && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, kio) != 0)
            throw std::runtime_error("socketpair");
        pid_t pid = bterminal ? forkpty(&kio[0], nullptr, nullptr, nullptr) : fork();
        if (pid == 0) {
            int kout = o.outfile.empty() ? kio[1] : open(o.outfile.c_str(), O_WRONLY);
            if (!bterminal && (dup2(kio[1], 0) < 0 || dup2(kout, 1) < 0 || dup2(kout, 2) < 0))
                die("dup2 of the run's socket");
            close_range(3, ~0U, CLOSE_RANGE_CLOEXEC); // nothing inherited from the test's caller
            alarm(60);                                // a run that hangs dies and fails its test
            enter();
            execv(argv[0], argv.data());
            die(std::string("exec ") + argv[0]);
        }
        close(kio[1]);
        (void)!write(kio[0], o.typeahead.data(), o.typeahead.size());
        // The answer waits for the first prompt: a prompt left in the buffer
        // while the program waits for its answer is a hang, as at a terminal.
        Result r;
        bool banswered = false;
        char buf[65536];
        ssize_t n = 0;
        do {
            r.out.append(buf, static_cast<size_t>(n));
            // Not ": " alone: a terminal's output processing may pass on the
            // banner's "drives : " before its line end, and an answer typed
            // then is discarded with the typeahead.
            if (!banswered && (!o.outfile.empty() || r.out.ends_with(") : "))) {
                (void)!write(kio[0], o.answer.data(), o.answer.size());
                shutdown(kio[0], SHUT_WR); // a pty has no end of input: ENOTSOCK
                banswered = true;
            }
        } while ((n = read(kio[0], buf, sizeof buf)) > 0);
        close(kio[0]);
        struct rusage iusage = {};
        wait4(pid, &r.status, 0, &iusage);
        r.maxrss = iusage.ru_maxrss;
        r.status = WIFEXITED(r.status) ? WEXITSTATUS(r.status) : 128 + WTERMSIG(r.status);
        return r;
    }
};
