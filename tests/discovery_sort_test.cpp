// The name order of /sys/class/block/ entries, through the library.
#include "blockdev/blockdev.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// Loads the names into idirdeventry, sorts, and returns isortdevices.
std::vector<int32_t> sortnames(const std::vector<std::string> &snames) {
    deleteandresetloopptrstructure(&idirdeventry);
    resizeloopptrstructure(&idirdeventry, static_cast<uint32_t>(snames.size()), sizeof(dirnamerec));
    for (size_t k = 0; k < snames.size(); k++) {
        dirnamerec *irec = &static_cast<dirnamerec *>(idirdeventry.data)[k];
        memcpy(irec->name, snames[k].c_str(), snames[k].size() + 1);
        irec->length = static_cast<uint8_t>(snames[k].size());
    }
    fncmergesortdirnames();
    const int32_t *iorder = static_cast<const int32_t *>(isortdevices.data);
    std::vector<int32_t> iresult(iorder, iorder + isortdevices.count);
    EXPECT_EQ(imergrespt.count, 0u);
    EXPECT_EQ(imergrespt.data, nullptr);
    deleteandresetloopptrstructure(&isortdevices);
    deleteandresetloopptrstructure(&idirdeventry);
    return iresult;
}

} // namespace

TEST(DiscoverySort, ByteOrderAndStability) {
    struct Case {
        std::vector<std::string> snames;
        std::vector<int32_t> iexpect;
    } cases[] = {
        {{"sda"}, {0}},
        {{"sdb", "sda"}, {1, 0}},
        {{"sdb", "sda1", "sda"}, {2, 1, 0}},
        {{"sdb", "sda2", "loop0", "sda", "sda1"}, {2, 3, 4, 1, 0}},
        {{"sdaa", "sda2", "sda10", "sda1", "sda"}, {4, 3, 2, 1, 0}},
        {{"a", "Z"}, {1, 0}},
        {{"x", "x", "a", "x"}, {2, 0, 1, 3}},
        {{"\xff", "~", "sda"}, {2, 1, 0}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(sortnames(c.snames), c.iexpect) << c.snames[0] << " ... " << c.snames.size();
}

// Every count up to past 64 (odd counts, powers of two and one more) against
// a stable reference sort, with many equal names.
TEST(DiscoverySort, MatchesStableSortForEveryCount) {
    std::mt19937 irandom(7);
    for (int n = 1; n <= 70; n++) {
        std::vector<std::string> snames;
        for (int k = 0; k < n; k++)
            snames.push_back("sd" + std::string(1, static_cast<char>('a' + irandom() % 4)) +
                             (irandom() % 2 ? std::to_string(irandom() % 12) : ""));
        std::vector<int32_t> iexpect(n);
        for (int k = 0; k < n; k++)
            iexpect[k] = k;
        std::stable_sort(iexpect.begin(), iexpect.end(), [&](int32_t a, int32_t b) {
            return strcmp(snames[a].c_str(), snames[b].c_str()) < 0;
        });
        EXPECT_EQ(sortnames(snames), iexpect) << "n = " << n;
    }
}
