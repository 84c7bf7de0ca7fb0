// Image selection: the working directory, the list file, the numbered listing.
#include "sandbox.h"

#include "core/core.h"

#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string sheader = "list of available files : \n";
const std::string sprompt = "choose image file number (q to abort) : ";
const std::string sinvalid = "ERROR: invalid file selection,aborting\n";
const std::string snofiles = "ERROR: no files found,aborting\n";
const std::string snodisk = "ERROR: no physical device nodes found,aborting\n";

std::string listing(const std::vector<std::string> &entries) {
    std::string s;
    for (size_t k = 0; k < entries.size(); k++)
        s += (k ? "\t\r" : "\r") + std::to_string(k) + " " + entries[k] + "\n";
    return s;
}

std::string banner(const std::string &spath) {
    return "selected image file " + spath +
           "\nchoose drive index from the following available drives : \n"
           "(NOTE: all disks with logical sector size different than the default 512 will not "
           "be written correctly)\n";
}

// The entries of sdir but "." and "..", in the order the kernel yields them.
std::vector<std::string> streamorder(const std::string &sdir) {
    std::vector<std::string> names;
    DIR *d = opendir(sdir.c_str());
    while (dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    closedir(d);
    return names;
}

// What a run shows for candidates `entries` and the answer picking `ksel`
// (-1: refused).
void expectdialogue(const RunResult &r, const std::vector<std::string> &entries, int ksel) {
    EXPECT_EQ(r.out,
              sheader + listing(entries) + sprompt + (ksel >= 0 ? banner(entries[ksel]) : ""));
    EXPECT_EQ(r.err, ksel >= 0 ? snodisk : sinvalid);
    EXPECT_EQ(r.status, 1);
}

} // namespace

TEST(ImageSelection, WorkingDirectoryAnswers) {
    KF_REQUIRE_SANDBOX();
    Sandbox s;
    writefile(s.work + "/disk.img", "x");
    writefile(s.work + "/.hidden.img", "y");
    std::filesystem::create_directory(s.work + "/sub");
    std::vector<std::string> names = streamorder(s.work);
    ASSERT_EQ(names.size(), 3u);
    struct Case {
        std::string input;
        int ksel;
    } cases[] = {
        {"q\n", -1},          {"-1\n", -1},  {"3\n", -1},  {"", -1},
        {"4294967296\n", -1}, {"2abc\n", 2}, {"1 0\n", 1}, {"\n  \n 0\n", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        expectdialogue(s.run({.input = c.input}), names, c.ksel);
    }
    // Standard output as a file receives the same bytes in the same order.
    std::string sout = s.root + "/out.txt";
    RunResult r = s.run({.input = "0\n", .stdoutfile = sout});
    EXPECT_EQ(readfile(sout), sheader + listing(names) + sprompt + banner(names[0]));
    EXPECT_EQ(r.err, snodisk);

    std::filesystem::create_directory(s.root + "/empty");
    r = s.run({.input = "0\n", .cwd = s.root + "/empty"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, snofiles);
    EXPECT_EQ(r.status, 1);
}

TEST(ImageSelection, ListFileLines) {
    KF_REQUIRE_SANDBOX();
    Sandbox s;
    std::string slong = std::string(4095, 'p'), stoolong = std::string(4096, 'q');
    struct Case {
        std::string content, input;
        std::vector<std::string> entries; // none: "no files found"
        int ksel;
    } cases[] = {
        {"a.img\n\n   \nb.img\n", "1\n", {"a.img", "b.img"}, 1},
        {"  spaced name.img  \n", "0\n", {"  spaced name.img  "}, 0},
        // A CR stays in the path; the terminal is shown "?".
        {"a.img\r\nb.img\r\n", "1\n", {"a.img?", "b.img?"}, 1},
        {"\n\na.img\nlast.img", "1 0\n", {"a.img", "last.img"}, 1},
        {std::string("a.img\nb.i\0mg\nc.img\n", 20), "2\n", {"a.img", "b.i"}, -1},
        {slong + "\n" + stoolong + "\n", "0\n", {slong, stoolong}, 0},
        {slong + "\n" + stoolong + "\n", "1\n", {slong, stoolong}, -1},
        {" \t\r\n\v\f\n\n", "0\n", {}, -1},
        {"", "0\n", {}, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.content.substr(0, 40));
        writefile(s.work + "/list.txt", c.content);
        RunResult r = s.run({.args = {"list.txt", "dummy"}, .input = c.input});
        if (c.entries.empty()) {
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, snofiles);
            EXPECT_EQ(r.status, 1);
        } else {
            expectdialogue(r, c.entries, c.ksel);
        }
    }
    // The second argument is never examined.
    writefile(s.work + "/list.txt", "a.img\n");
    for (const char *sdummy : {"", "missing/nothing"})
        expectdialogue(s.run({.args = {"list.txt", sdummy}, .input = "0\n"}), {"a.img"}, 0);
}

TEST(ImageSelection, UnreadableListFiles) {
    KF_REQUIRE_SANDBOX();
    Sandbox s;
    // A FIFO with a writer held open here: the open succeeds, the seek fails.
    ASSERT_EQ(mkfifo((s.work + "/fifo").c_str(), 0600), 0);
    int kfdfifo = open((s.work + "/fifo").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_NE(kfdfifo, -1);
    // UINT32_MAX bytes and a NUL do not fit the 32-bit buffer count.
    int kfdhuge = open((s.work + "/huge.txt").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_EQ(ftruncate(kfdhuge, UINT32_MAX), 0);
    close(kfdhuge);
    struct Case {
        std::string path, err;
    } cases[] = {
        {"missing.txt", "ERROR : sfilename missing.txt read open error,aborting\n"},
        {"fifo", "ERROR : sfilename fifo could not seek end,aborting\n"},
        {"huge.txt", "ERROR : sfilename huge.txt could not read data, aborting \n"},
    };
    for (const Case &c : cases) {
        RunResult r = s.run({.args = {c.path, "x"}, .input = "0\n"});
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 1);
    }
    close(kfdfifo);
}

TEST(Listing, FormatterRangesAndIndexMap) {
    dirnamerec names[5] = {};
    for (int k = 0; k < 5; k++)
        names[k].name[0] = static_cast<char>('a' + k);
    loopptrstructure inames = {5, 0, names};
    int8_t nbytes[2] = {5, -1};
    loopptrstructure inumbers = {2, 0, nbytes};
    std::string sline(3000, 'L');
    char *stexts[2] = {sline.data(), const_cast<char *>("x")};
    loopptrstructure itexts = {2, 0, stexts};
    int32_t kmap[3] = {2, 0, 1};
    using namespace std::string_literals;
    struct Case {
        fncformatlisting_t fformat;
        const loopptrstructure *isource;
        int32_t kfirst, klast;
        const int32_t *kindexmap;
        std::string text; // with the final NUL
    } cases[] = {
        {fncprintdebuggnptrdata_index_filename, &inames, 3, 1, nullptr, "\r3 d\n\0"s},
        {fncprintdebuggnptrdata_index_filename, &inames, 7, 2, nullptr,
         "\r0 a\n\t\r1 b\n\t\r2 c\n\0"s},
        {fncprintdebuggnptrdata_index_filename, &inames, -1, -1, nullptr,
         "\r0 a\n\t\r1 b\n\t\r2 c\n\t\r3 d\n\t\r4 e\n\0"s},
        {fncprintdebuggnptrdata_index_filename, &inames, 0, 2, kmap,
         "\r2 c\n\t\r0 a\n\t\r1 b\n\0"s},
        {fncprintdebuggnptrdata_num_char, &inumbers, 0, 1, nullptr, "\r0 5\n\t\r1 -1\n\0"s},
        {fncprintdebuggnptrdata_index_charptr, &itexts, 0, 1, nullptr,
         "\r0 " + sline + "\n\t\r1 x\n\0"s},
    };
    for (const Case &c : cases) {
        loopptrstructure idest = {};
        c.fformat(c.isource, c.kfirst, c.klast, c.kindexmap, &idest);
        EXPECT_EQ(std::string(static_cast<char *>(idest.data), idest.count), c.text);
        deleteandresetloopptrstructure(&idest);
    }
}

TEST(ImageSelection, LeftoverAnswersTheDrivePrompt) {
    // "0 0" on one line: the first number picks the image, the second is read
    // at once by the drive prompt and the copy runs; "0 q" aborts there.
    KF_REQUIRE_LOOP();
    struct Case {
        std::string input;
        int nstatus;
        std::string stail;
    } cases[] = {
        {"0 0\n", 0, "generic_io_stream_raw_copy_buffered summary bytes copied 512\n"},
        {"0 q\n", 1,
         "enter drive device index or q to abort (WARNING: all data will be lost !) : "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        Sandbox s;
        writefile(s.work + "/only.img", "image");
        LoopDevice lp(4096);
        ASSERT_TRUE(lp.ok()) << lp.error;
        writefile(lp.dev, std::string(4096, '\xEE'));
        s.addloop(lp);
        RunResult r = s.run({.input = c.input});
        EXPECT_EQ(r.status, c.nstatus) << r.err;
        EXPECT_TRUE(r.out.ends_with(c.stail)) << r.out;
        std::string sdev = readfile(lp.dev);
        EXPECT_EQ(sdev.substr(0, 512),
                  c.nstatus == 0 ? "image" + std::string(507, '\0') : std::string(512, '\xEE'));
    }
}
