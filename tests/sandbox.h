// Test sandbox: runs the built kelpfall binary, unchanged, in a private mount
// namespace whose /sys/class/block, /run and /dev are fixture trees, so that
// it sees only test devices.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <pty.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

struct Result {
    std::string out; // standard output and error, as a terminal shows them
    int status = -1; // exit status, or 128 + signal number
};

struct RunOptions {
    std::vector<std::string> args; // arguments after the program name
    // The answer is written once stdout ends in ": " (the first prompt), or at
    // once when standard output goes to outfile instead.
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
    std::ostringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

// Why the sandbox (with bloop: and loop devices) cannot be used; "" if it can.
// A root without mount namespaces fails the runs instead.
inline std::string missing(bool bloop) {
    return geteuid() != 0                                    ? "not root"
           : bloop && access("/dev/loop-control", W_OK) != 0 ? "no loop devices"
                                                             : "";
}

// Skips a test whose requirement is missing (scripts/test.sh fails a run
// with skips under CI=true).
#define KF_NEED(bloop)                                                                             \
    if (std::string kf_why = missing(bloop); !kf_why.empty())                                      \
    GTEST_SKIP() << kf_why

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

    // A whole disk sys/<name>: uevent, size and udev database file.
    void disk(const std::string &name, unsigned major, unsigned minor,
              const std::string &sectors = "2048", const std::string &udev = "",
              const std::string &devtype = "disk") const {
        put("sys/" + name + "/uevent", uevent(major, minor, name, devtype));
        put("sys/" + name + "/size", sectors + "\n");
        put("run/udev/data/b" + std::to_string(major) + ":" + std::to_string(minor), udev);
    }

    // In a child: the fixture trees bound over the real ones, in a private
    // mount namespace. Returns whether all of it worked.
    bool enter() const {
        bool bok = !unshare(CLONE_NEWNS) && !mount("", "/", "", MS_REC | MS_PRIVATE, nullptr);
        for (const std::string s : {"/sys/class/block", "/run", "/dev"})
            bok = bok &&
                  !mount((root + (s[1] == 's' ? "/sys" : s)).c_str(), s.c_str(), "", MS_BIND, 0);
        return bok;
    }

    // KELPFALL_WRAPPER, when set, is a command put in front of kelpfall
    // wherever a run starts it, directly or through a shell (valgrind, say).
    Result run(const RunOptions &o) const {
        std::vector<std::string> sargv{o.program};
        sargv.insert(sargv.end(), o.args.begin(), o.args.end());
        if (const char *swrapper = getenv("KELPFALL_WRAPPER"); swrapper && *swrapper) {
            put("wrapped",
                "#!/bin/sh\nexec " + std::string(swrapper) + " '" KELPFALL_BINARY "' \"$@\"\n");
            chmod((root + "/wrapped").c_str(), 0755);
            std::replace(sargv.begin(), sargv.end(), std::string(KELPFALL_BINARY),
                         root + "/wrapped");
        }
        std::vector<char *> argv;
        for (std::string &s : sargv)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        int pin[2], pout[2];
        (void)!pipe2(pin, O_CLOEXEC), (void)!pipe2(pout, O_CLOEXEC);
        int kout = o.outfile.empty() ? pout[1] : open(o.outfile.c_str(), O_WRONLY | O_CLOEXEC);
        bool bterminal = !o.typeahead.empty();
        if (bterminal) { // the terminal's one descriptor stands for both pipes
            close(pin[1]);
            close(pout[0]);
        }
        pid_t pid = bterminal ? forkpty(&pin[1], nullptr, nullptr, nullptr) : fork();
        if (pid == 0) {
            if (!enter() || chdir((root + "/work").c_str()) != 0)
                _exit(126);
            if (!bterminal)
                dup2(pin[0], 0), dup2(kout, 1), dup2(kout, 2);
            close_range(3, ~0U, CLOSE_RANGE_CLOEXEC); // nothing inherited from the test's caller
            alarm(60);                                // a run that hangs dies and fails its test
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(pin[0]), close(pout[1]), close(kout); // kout may be pout[1]: EBADF then
        if (bterminal) {
            pout[0] = dup(pin[1]);
            (void)!write(pin[1], o.typeahead.data(), o.typeahead.size());
        }
        // The answer waits for the first prompt: a prompt left in the buffer
        // while the program waits for its answer is a hang, as at a terminal.
        // With standard output in a file, it is written at once.
        Result r;
        char buf[65536];
        ssize_t n = 0;
        do {
            r.out.append(buf, static_cast<size_t>(n));
            if (pin[1] != -1 && (!o.outfile.empty() || r.out.ends_with(": ")))
                (void)!write(pin[1], o.answer.data(), o.answer.size()),
                    close(std::exchange(pin[1], -1));
        } while ((n = read(pout[0], buf, sizeof buf)) > 0);
        close(pin[1]), close(pout[0]);
        waitpid(pid, &r.status, 0);
        r.status = WIFEXITED(r.status) ? WEXITSTATUS(r.status) : 128 + WTERMSIG(r.status);
        return r;
    }
};
