#include "sandbox.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string maketempdir(const char *stag) {
    const char *sbase = getenv("TMPDIR");
    std::string stemplate = std::string(sbase && *sbase ? sbase : "/tmp") + "/" + stag + "XXXXXX";
    std::vector<char> buf(stemplate.begin(), stemplate.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed: " + std::string(strerror(errno)));
    return buf.data();
}

// Runs a shell command; returns its standard output and sets *pstatus.
std::string shell(const std::string &scmd, int *pstatus) {
    std::string sout;
    FILE *p = popen(scmd.c_str(), "r");
    if (p == nullptr) {
        *pstatus = -1;
        return sout;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        sout.append(buf, n);
    int nrc = pclose(p);
    *pstatus = WIFEXITED(nrc) ? WEXITSTATUS(nrc) : -1;
    return sout;
}

// In the child: the private namespace with the fixture trees bound over the
// real ones. Returns an error text, or nullptr.
const char *entersandbox(const Sandbox &s) {
    if (unshare(CLONE_NEWNS) != 0)
        return "unshare(CLONE_NEWNS)";
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return "make / private";
    if (mount(s.sys.c_str(), "/sys/class/block", nullptr, MS_BIND, nullptr) != 0)
        return "bind /sys/class/block";
    if (mount((s.root + "/run").c_str(), "/run", nullptr, MS_BIND, nullptr) != 0)
        return "bind /run";
    if (mount(s.dev.c_str(), "/dev", nullptr, MS_BIND, nullptr) != 0)
        return "bind /dev";
    return nullptr;
}

void childfail(const char *swhat) {
    char buf[256];
    int n = snprintf(buf, sizeof buf, "sandbox: %s: %s\n", swhat, strerror(errno));
    if (write(2, buf, n) < 0)
        _exit(126);
    _exit(126);
}

} // namespace

bool inci() {
    const char *s = getenv("CI");
    return s != nullptr && strcmp(s, "true") == 0;
}

void writefile(const std::string &path, const std::string &content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

std::string readfile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string ueventtext(int major, int minor, const std::string &devname,
                       const std::string &devtype) {
    return "MAJOR=" + std::to_string(major) + "\nMINOR=" + std::to_string(minor) +
           "\nDEVNAME=" + devname + "\nDEVTYPE=" + devtype + "\n";
}

bool sandboxavailable(std::string *pwhy) {
    static int ncached = -1;
    static std::string swhy;
    if (ncached == -1) {
        if (geteuid() != 0) {
            ncached = 0;
            swhy = "not root";
        } else {
            Sandbox s;
            pid_t pid = fork();
            if (pid == 0) {
                const char *sfail = entersandbox(s);
                _exit(sfail == nullptr ? 0 : 1);
            }
            int nstatus = 0;
            waitpid(pid, &nstatus, 0);
            ncached = WIFEXITED(nstatus) && WEXITSTATUS(nstatus) == 0;
            if (!ncached)
                swhy = "cannot build a private mount namespace with bind mounts";
        }
    }
    if (pwhy)
        *pwhy = swhy;
    return ncached == 1;
}

bool loopavailable(std::string *pwhy) {
    if (geteuid() != 0) {
        *pwhy = "not root";
        return false;
    }
    if (access("/dev/loop-control", W_OK) != 0) {
        *pwhy = "no /dev/loop-control";
        return false;
    }
    int nrc = 0;
    shell("command -v losetup", &nrc);
    if (nrc != 0) {
        *pwhy = "no losetup";
        return false;
    }
    return true;
}

LoopDevice::LoopDevice(uint64_t nbytes, int nlbs, bool breadonly, const std::string &sbackingdir) {
    std::string sdir = sbackingdir;
    if (sdir.empty())
        sdir = ownedtmpdir = maketempdir("kelpfall-loop.");
    backing = sdir + "/backing.img";
    int kfd = open(backing.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    if (kfd == -1 || ftruncate(kfd, static_cast<off_t>(nbytes)) != 0) {
        error = "cannot make backing file " + backing;
        if (kfd != -1)
            close(kfd);
        return;
    }
    close(kfd);
    std::string scmd = "losetup -f --show";
    if (nlbs != 512)
        scmd += " -b " + std::to_string(nlbs);
    if (breadonly)
        scmd += " -r";
    scmd += " '" + backing + "' 2>&1";
    int nrc = 0;
    std::string sout = shell(scmd, &nrc);
    while (!sout.empty() && (sout.back() == '\n' || sout.back() == ' '))
        sout.pop_back();
    if (nrc != 0 || sout.rfind("/dev/loop", 0) != 0) {
        error = "losetup failed: " + sout;
        return;
    }
    dev = sout;
    name = dev.substr(5);
    struct stat st;
    if (stat(dev.c_str(), &st) == 0) {
        major = ::major(st.st_rdev);
        minor = ::minor(st.st_rdev);
    }
}

LoopDevice::~LoopDevice() {
    if (!dev.empty()) {
        int nrc = 0;
        // Loop numbers are reused at once: detach only while the device is
        // still ours, backed by our own file.
        std::string sback = shell("losetup -nO BACK-FILE " + dev + " 2>/dev/null", &nrc);
        while (!sback.empty() && (sback.back() == '\n' || sback.back() == ' '))
            sback.pop_back();
        // The kernel may still hold the device for a moment after a writer
        // closed it; retry briefly rather than leak an attached loop device.
        bool bours = nrc == 0 && sback == backing;
        for (int k = 0; k < 50 && bours; k++) {
            shell("losetup -d " + dev + " 2>/dev/null", &nrc);
            if (nrc == 0)
                break;
            usleep(100000);
        }
    }
    if (!backing.empty())
        unlink(backing.c_str());
    if (!ownedtmpdir.empty())
        rmdir(ownedtmpdir.c_str());
}

Sandbox::Sandbox() {
    static bool bsigpipeignored = false;
    if (!bsigpipeignored) {
        signal(SIGPIPE, SIG_IGN);
        bsigpipeignored = true;
    }
    root = maketempdir("kelpfall-sandbox.");
    sys = root + "/sys";
    udev = root + "/run/udev/data";
    dev = root + "/dev";
    work = root + "/work";
    for (const std::string &d : {sys, udev, dev, work})
        fs::create_directories(d);
}

Sandbox::~Sandbox() {
    std::error_code ec;
    fs::remove_all(root, ec);
}

void Sandbox::adddisk(const DiskSpec &disk) {
    std::string sdir = sys + "/" + disk.name;
    fs::create_directories(sdir);
    if (disk.uevent)
        writefile(sdir + "/uevent", *disk.uevent);
    if (disk.size)
        writefile(sdir + "/size", *disk.size);
    if (disk.logical_block_size)
        writefile(sdir + "/queue/logical_block_size", *disk.logical_block_size);
    if (disk.backing_file)
        writefile(sdir + "/loop/backing_file", *disk.backing_file);
    // Real sysfs: a partition is a directory inside its disk's directory and a
    // link at the top level of /sys/class/block.
    for (const std::string &spart : disk.partitions) {
        writefile(sdir + "/" + spart + "/partition", "1\n");
        fs::create_directory_symlink(disk.name + "/" + spart, sys + "/" + spart);
    }
}

void Sandbox::addudev(const std::string &key, const std::string &text) {
    writefile(udev + "/" + key, text);
}

void Sandbox::adddevfile(const std::string &name, const std::string &content) {
    writefile(dev + "/" + name, content);
}

void Sandbox::addloop(const LoopDevice &loop) {
    std::error_code ec;
    fs::path real = fs::canonical("/sys/class/block/" + loop.name, ec);
    if (ec)
        throw std::runtime_error("no sysfs entry for " + loop.name);
    fs::create_directory_symlink(real, sys + "/" + loop.name);
    std::string snode = dev + "/" + loop.name;
    if (mknod(snode.c_str(), S_IFBLK | 0600, makedev(loop.major, loop.minor)) != 0)
        throw std::runtime_error("mknod " + snode + ": " + strerror(errno));
}

RunResult Sandbox::run(const RunOptions &options) const {
    RunResult result;
    std::vector<std::string> argv_s{options.program.empty() ? KELPFALL_BINARY : options.program};
    argv_s.insert(argv_s.end(), options.args.begin(), options.args.end());
    std::vector<char *> argv;
    for (std::string &s : argv_s)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    std::string scwd = options.cwd.empty() ? work : options.cwd;

    int pin[2], pout[2], perr[2];
    if (pipe2(pin, O_CLOEXEC) != 0 || pipe2(pout, O_CLOEXEC) != 0 || pipe2(perr, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    int kfdfile = -1;
    if (!options.stdoutfile.empty()) {
        kfdfile = open(options.stdoutfile.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
        if (kfdfile == -1)
            throw std::runtime_error("cannot open " + options.stdoutfile);
    }
    pid_t pid = fork();
    if (pid == 0) {
        const char *sfail = entersandbox(*this);
        if (sfail != nullptr)
            childfail(sfail);
        if (chdir(scwd.c_str()) != 0)
            childfail("chdir");
        dup2(pin[0], 0);
        dup2(kfdfile != -1 ? kfdfile : pout[1], 1);
        dup2(perr[1], 2);
        execv(argv[0], argv.data());
        childfail("execv");
    }
    close(pin[0]);
    close(pout[1]);
    close(perr[1]);
    if (kfdfile != -1)
        close(kfdfile);

    // Feed standard input and drain both outputs together, so that neither
    // side can block the other on a full pipe.
    size_t ninput = 0;
    if (options.input.empty()) {
        close(pin[1]);
        pin[1] = -1;
    }
    fcntl(pin[1], F_SETFL, O_NONBLOCK);
    int kout = pout[0], kerr = perr[0];
    while (kout != -1 || kerr != -1) {
        struct pollfd fds[3];
        int n = 0;
        int ixin = -1, ixout = -1, ixerr = -1;
        if (pin[1] != -1) {
            fds[n] = {pin[1], POLLOUT, 0};
            ixin = n++;
        }
        if (kout != -1) {
            fds[n] = {kout, POLLIN, 0};
            ixout = n++;
        }
        if (kerr != -1) {
            fds[n] = {kerr, POLLIN, 0};
            ixerr = n++;
        }
        if (poll(fds, n, 600000) <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (ixin != -1 && fds[ixin].revents) {
            ssize_t w = write(pin[1], options.input.data() + ninput, options.input.size() - ninput);
            if (w > 0)
                ninput += static_cast<size_t>(w);
            if (w < 0 || ninput == options.input.size()) {
                close(pin[1]);
                pin[1] = -1;
            }
        }
        char buf[65536];
        for (auto [ix, pfd, pstr] :
             {std::tuple{ixout, &kout, &result.out}, std::tuple{ixerr, &kerr, &result.err}}) {
            if (ix == -1 || fds[ix].revents == 0)
                continue;
            ssize_t r = read(*pfd, buf, sizeof buf);
            if (r > 0) {
                pstr->append(buf, static_cast<size_t>(r));
            } else {
                close(*pfd);
                *pfd = -1;
            }
        }
    }
    if (pin[1] != -1)
        close(pin[1]);
    int nstatus = 0;
    waitpid(pid, &nstatus, 0);
    if (WIFEXITED(nstatus))
        result.status = WEXITSTATUS(nstatus);
    else if (WIFSIGNALED(nstatus))
        result.status = 128 + WTERMSIG(nstatus);
    return result;
}
