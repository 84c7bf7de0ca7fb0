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
        const char *name;
        std::vector<std::string> args;
        std::string answer, out, list = "";
    };
    // clang-format off
    const Case cases[] = {
        {.name = "text after the number", .answer = "2abc\n", .out = sdir + chosen(names[2])},
        {.name = "past the last", .answer = "3\n", .out = sdir + sbadfile},
        {.name = "a missing image", .args = {"missing"},
         .out = susage + "ERROR: requested image file missing not found,aborting\n"},
        // List files; the second argument is never examined.
        {.name = "a list file", .args = {"../list", ""}, .answer = "1\n", .out = listing({"a", "b"}) + chosen("b"),
         .list = "a\n\n   \nb\n"},
        // A CR stays in the path; the terminal is shown "?".
        {.name = "CR line ends", .args = slist, .answer = "0 1\n", .out = listing({"a?", "b"}) + chosen("a?"),
         .list = "\n\na\r\nb"},
        {.name = "a line of 4096 bytes", .args = slist, .answer = "1\n", .out = listing({s4095, s4096}) + sbadfile,
         .list = s4095 + "\n" + s4096},
        {.name = "an empty list", .args = slist, .out = snofiles, .list = ""},
        {.name = "a list with no end", .args = {"/proc/self/mem", "-"},
         .out = listerror("/proc/self/mem could not seek end,aborting")},
        {.name = "a disk image as list", .args = {"../image", "-"}, .answer = "q\n",
         .out = listing({"disk.img"}) + sbadfile},
        {.name = "a list cut short", .args = {"/sys/kernel/uevent_seqnum", "-"},
         .out = listerror("/sys/kernel/uevent_seqnum could not read data, aborting ")},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        s.put("list", c.list);
        Result r = s.run({.args = c.args, .answer = c.answer});
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, 1);
        EXPECT_LT(r.maxrss, 64 << 10) << "KiB";
    }
    EXPECT_EQ(Sandbox().run({.answer = "0\n"}).out, snofiles); // an empty folder
}
