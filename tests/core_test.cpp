// Teardown and the log writer, through the library.
#include "blockdev/blockdev.h"
#include "core/core.h"
#include "sandbox.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Gives descriptor d n zero-filled elements of nsize bytes.
void fill(loopptrstructure *d, uint32_t n, size_t nsize) {
    resizeloopptrstructure(d, n, nsize);
    memset(d->data, 0, n * nsize);
}

// One device record slot in ipartdata, as discovery leaves it.
void addrecord() {
    uint32_t k = ipartdata.count;
    ipartdata.kind = -1;
    resizeloopptrstructure(&ipartdata, k + 1, sizeof(loopptrstructure));
    loopptrstructure *islot = &static_cast<loopptrstructure *>(ipartdata.data)[k];
    *islot = {};
    fill(islot, 1, sizeof(partrootrec));
    static_cast<partrootrec *>(islot->data)->idevext =
        static_cast<devextrec *>(calloc(1, sizeof(devextrec)));
}

bool isopen(int kfd) {
    return fcntl(kfd, F_GETFD) != -1;
}

// Runs fn in a child whose standard output is kfdout; returns what the child
// wrote there, read from kfdread.
template <typename Fn> std::string capturestdout(Fn fn, bool bpipe) {
    char stemplate[] = "/tmp/kelpfall-wrlog.XXXXXX";
    int kfile = mkstemp(stemplate);
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(bpipe ? p[1] : kfile, 1);
        close(p[0]);
        fn();
        exit(0);
    }
    close(p[1]);
    std::string sout;
    char buf[4096];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0)
        sout.append(buf, static_cast<size_t>(n));
    close(p[0]);
    int nstatus;
    waitpid(pid, &nstatus, 0);
    if (!bpipe)
        sout = readfile(stemplate);
    close(kfile);
    unlink(stemplate);
    return sout;
}

} // namespace

TEST(Teardown, ReleasesEverythingAndClosesOnlyOpenHandles) {
    addrecord();
    addrecord();
    fill(&idirdeventry, 3, sizeof(dirnamerec));
    fill(&isortdevices, 3, sizeof(int32_t));
    fill(&iavaildevnodes, 3, 1);
    fill(&spdbgoutptr, 27, 1);
    fill(&srawdata, 10, 1);
    fill(&starrout, 8, sizeof(char *));
    // A nested workspace as the sort leaves it while it runs.
    imergrespt.kind = -1;
    fill(&imergrespt, 3, sizeof(loopptrstructure));
    fill(&static_cast<loopptrstructure *>(imergrespt.data)[0], 6, sizeof(int32_t));

    int kimage = open("/dev/null", O_RDONLY);
    ASSERT_NE(kimage, -1);
    imgfilehndl = kimage;
    iphysdrvhndl = -1;

    deleteallstructures();

    for (loopptrstructure *d :
         {&ipartdata, &idirdeventry, &idirpartentry, &isortdevices, &idirvecdata, &imergrespt,
          &spdbgoutptr, &starrout, &srawdata, &iavaildevnodes}) {
        EXPECT_EQ(d->count, 0u);
        EXPECT_EQ(d->kind, 0);
        EXPECT_EQ(d->data, nullptr);
    }
    EXPECT_FALSE(isopen(kimage));
    EXPECT_EQ(imgfilehndl, -1);
    EXPECT_EQ(iphysdrvhndl, -1);
    EXPECT_TRUE(isopen(0));
    EXPECT_TRUE(isopen(1));
    EXPECT_TRUE(isopen(2));
    // A second teardown on the emptied state is harmless.
    deleteallstructures();
}

TEST(Wrlog, PrintsTheFailedOperationsErrnoAfterTheRawLine) {
    // On a pipe the fsync of descriptor 1 fails with EINVAL; the line must
    // still name the error of the read that failed.
    for (bool bpipe : {false, true}) {
        SCOPED_TRACE(bpipe ? "pipe" : "file");
        std::string sout = capturestdout(
            [] {
                printf("before ");
                fflush(stdout);
                errno = EISDIR;
                wrlog("ReadFile failed\n");
                printf("after\n");
            },
            bpipe);
        EXPECT_EQ(sout, "before ReadFile failed\n ERRORMSG: 21 Is a directory\nafter\n");
    }
}

TEST(Resize, FailedAllocationEndsTheRunWithAMessage) {
    loopptrstructure d{};
    EXPECT_EXIT(resizeloopptrstructure(&d, UINT32_MAX, size_t{1} << 30), testing::ExitedWithCode(1),
                "ERROR: memory allocation failed,aborting\n$");
}
