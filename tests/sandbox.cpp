#include "sandbox.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// What a shell command printed, without its last newline; "!" on failure.
std::string shell(const std::string &scmd) {
    FILE *p = popen(scmd.c_str(), "r");
    std::string sout(4096, '\0');
    sout.resize(fread(sout.data(), 1, sout.size(), p));
    return pclose(p) != 0 ? "!" : sout.substr(0, sout.find_last_not_of('\n') + 1);
}

// In a child: the fixture trees bound over the real ones, in a private mount
// namespace. Returns whether all of it worked.
bool enter(const std::string &root) {
    bool bok = unshare(CLONE_NEWNS) == 0 && mount("", "/", "", MS_REC | MS_PRIVATE, nullptr) == 0;
    for (const std::string s : {"/sys/class/block", "/run", "/dev"})
        bok = bok && !mount((root + (s[1] == 's' ? "/sys" : s)).c_str(), s.c_str(), "", MS_BIND, 0);
    return bok;
}

} // namespace

std::string uevent(unsigned major, unsigned minor, const std::string &devname,
                   const std::string &devtype) {
    return "MAJOR=" + std::to_string(major) + "\nMINOR=" + std::to_string(minor) +
           "\nDEVNAME=" + devname + "\nDEVTYPE=" + devtype + "\n";
}

std::string readfile(const std::string &path) {
    std::ostringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

std::string missing(bool bloop) {
    return geteuid() != 0                                    ? "not root"
           : bloop && access("/dev/loop-control", W_OK) != 0 ? "no loop devices"
                                                             : "";
}

Loop::Loop(long nbytes, bool breadonly, const std::string &sdir) : backing(sdir + "/backing.img") {
    std::ofstream(backing).close();
    fs::resize_file(backing, static_cast<uintmax_t>(nbytes));
    dev = shell("losetup -f --show " + std::string(breadonly ? "-r '" : "'") + backing + "'");
    struct stat st;
    if (!dev.starts_with("/dev/loop") || stat(dev.c_str(), &st) != 0)
        throw std::runtime_error("losetup: " + dev);
    name = dev.substr(5), major = ::major(st.st_rdev), minor = ::minor(st.st_rdev);
}

Loop::~Loop() {
    // Loop numbers are reused at once: detach only while the device is still
    // backed by our own file. The kernel may hold it a moment after a writer
    // closed it, so the detach is retried briefly.
    for (int k = 0; k < 50 && shell("losetup -nO BACK-FILE " + dev) == backing; k++)
        if (shell("losetup -d " + dev) != "!" || usleep(100000) != 0)
            break;
}

Sandbox::Sandbox() : root(fs::temp_directory_path() / "kelpfall-sandbox.XXXXXX") {
    signal(SIGPIPE, SIG_IGN);
    if (mkdtemp(root.data()) == nullptr)
        throw std::runtime_error("mkdtemp");
    for (const char *s : {"/sys", "/run/udev/data", "/dev", "/work"})
        fs::create_directories(root + s);
    mknod((root + "/dev/null").c_str(), S_IFCHR | 0666, makedev(1, 3)); // as in every /dev
}

Sandbox::~Sandbox() {
    fs::remove_all(root);
}

void Sandbox::put(const std::string &path, const std::string &text) const {
    fs::create_directories(fs::path(root + "/" + path).parent_path());
    std::ofstream(root + "/" + path, std::ios::binary) << text;
}

void Sandbox::disk(const std::string &name, unsigned major, unsigned minor,
                   const std::string &sectors, const std::string &udev,
                   const std::string &devtype) const {
    put("sys/" + name + "/uevent", uevent(major, minor, name, devtype));
    put("sys/" + name + "/size", sectors + "\n");
    put("run/udev/data/b" + std::to_string(major) + ":" + std::to_string(minor), udev);
}

Result Sandbox::run(const RunOptions &o) const {
    std::vector<char *> argv{const_cast<char *>(o.program.c_str())};
    for (const std::string &s : o.args)
        argv.push_back(const_cast<char *>(s.c_str()));
    argv.push_back(nullptr);
    int pin[2], pout[2];
    (void)!pipe2(pin, O_CLOEXEC), (void)!pipe2(pout, O_CLOEXEC);
    int kout = o.outfile.empty() ? pout[1] : open(o.outfile.c_str(), O_WRONLY | O_CLOEXEC);
    pid_t pid = fork();
    if (pid == 0) {
        if (!enter(root) || chdir((root + "/work").c_str()) != 0)
            _exit(126);
        dup2(pin[0], 0), dup2(kout, 1), dup2(kout, 2);
        alarm(60); // a run that hangs dies and fails its test
#ifdef KELPFALL_FAILALLOC
        if (!o.failalloc.empty())
            setenv("LD_PRELOAD", KELPFALL_FAILALLOC, 1),
                setenv("KF_FAILALLOC", o.failalloc.c_str(), 1);
#endif
        execv(argv[0], argv.data());
        _exit(127);
    }
    for (int k : {pin[0], pout[1], kout})
        close(k);
    // Each answer waits for its prompt: a prompt left in the buffer while the
    // program waits for the answer is a hang, as at a terminal.
    Result r;
    char buf[65536];
    size_t k = 0, nmark = 0;
    for (ssize_t n = 0; n >= 0; r.out.append(buf, static_cast<size_t>(n))) {
        bool bprompt = !o.outfile.empty() || (r.out.size() > nmark && r.out.ends_with(": "));
        for (; k < o.answers.size() && bprompt; k++, bprompt = !o.outfile.empty())
            (void)!write(pin[1], o.answers[k].data(), o.answers[k].size()), nmark = r.out.size();
        if (k == o.answers.size() && pin[1] != -1)
            close(std::exchange(pin[1], -1));
        if ((n = read(pout[0], buf, sizeof buf)) <= 0)
            break;
    }
    close(pin[1]), close(pout[0]);
    int nstatus = 0;
    waitpid(pid, &nstatus, 0);
    r.status = WIFEXITED(nstatus) ? WEXITSTATUS(nstatus) : 128 + WTERMSIG(nstatus);
    return r;
}
