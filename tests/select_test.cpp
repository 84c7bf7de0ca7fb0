// Naming the image: the argument modes, the listing of the working directory
// and of a list file, and the number typed at the image prompt. No disk is
// shown, so every run ends after the banner.
#include "sandbox.h"
#include "texts.h"

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

static const std::string snofiles = "ERROR: no files found,aborting\n",
                         sbadfile = "ERROR: invalid file selection,aborting\n";

// The numbered list of image candidates, its header and the prompt.
static std::string listing(const std::vector<std::string> &names) {
    std::string s = "list of available files : \n";
    for (size_t k = 0; k < names.size(); k++)
        s += (k ? "\t\r" : "\r") + std::to_string(k) + " " + names[k] + "\n";
    return s + "choose image file number (q to abort) : ";
}

TEST(ImageSelection, Dialogue) {
    KF_NEED(false);
    Sandbox s;
    const std::string slong = std::string(200, 'a') + "/" + std::string(200, 'b');
    // Only "." and ".." are left out: ".a" and "..b" are entries like others.
    for (const std::string &sname : {std::string(".a"), std::string("..b"), slong})
        s.put("work/" + sname, "x");
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(s.root + "/work")) // readdir's order
        names.push_back(e.path().filename());
    // A disk image named as a list file: a line, a NUL, 1 GiB of sectors;
    // only its text is read. A sysfs attribute claims 4096 bytes and holds
    // fewer. /proc/self/mem cannot seek to its end.
    s.put("image", std::string("disk.img\n\0", 10));
    std::filesystem::resize_file(s.root + "/image", 1 << 30);
    const std::string sdir = listing(names), s4095(4095, 'p'), s4096(4096, 'q');
    const std::string susage = "Usage : kelpfall\nno_args=scan current directory\n"
                               "1_arg=image_file\n2_arg=images_list_file+dummy_arg\n";
    const std::vector<std::string> slist = {"../list", "-"};
    auto chosen = [](const std::string &spath) { return text::banner(spath) + text::nodisk; };
    auto listerror = [](const std::string &s) { return "ERROR : sfilename " + s + "\n"; };
    struct Case {
        std::vector<std::string> args;
        std::string answer, out, list = "", outfile = "";
    } cases[] = {
        {{}, "2abc\n", sdir + chosen(names[2])},
        {{}, "\n  \n 0\n", sdir + chosen(names[0])},
        {{}, "3\n", sdir + sbadfile},
        {{}, "", sdir + sbadfile},
        // The listing cannot be written: the run goes on without it.
        {{}, "0\n", "", "", "/dev/full"},
        {{".a", "x", "y", "z"}, "", chosen(".a")},
        {{"missing"}, "", susage + "ERROR: requested image file missing not found,aborting\n"},
        // List files; the second argument is never examined.
        {{"../list", ""}, "1\n", listing({"a", "b"}) + chosen("b"), "a\n\n   \nb\n"},
        // A CR stays in the path; the terminal is shown "?".
        {slist, "0 1\n", listing({"a?", "b"}) + chosen("a?"), "\n\na\r\nb"},
        {slist, "2\n", listing({"a", "b"}) + sbadfile, std::string("a\nb\0c\nd\n", 8)},
        {slist, "0\n", listing({s4095, s4096}) + chosen(s4095), s4095 + "\n" + s4096},
        {slist, "1\n", listing({s4095, s4096}) + sbadfile, s4095 + "\n" + s4096},
        {slist, "", snofiles, " \t\r\n\v\f\n\n"},
        {slist, "", snofiles, ""},
        {{"../none", "-"}, "", listerror("../none read open error,aborting")},
        {{"/proc/self/mem", "-"}, "", listerror("/proc/self/mem could not seek end,aborting")},
        {{"../image", "-"}, "q\n", listing({"disk.img"}) + sbadfile},
        {{"/sys/kernel/uevent_seqnum", "-"},
         "",
         listerror("/sys/kernel/uevent_seqnum could not read data, aborting ")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE((c.args.empty() ? "" : c.args[0]) + " " + c.answer + c.list.substr(0, 20));
        s.put("list", c.list);
        Result r = s.run({.args = c.args, .answer = c.answer, .outfile = c.outfile});
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, 1);
        EXPECT_LT(r.maxrss, 64 << 10) << "KiB";
    }
    EXPECT_EQ(Sandbox().run({.answer = "0\n"}).out, snofiles); // an empty folder
}
