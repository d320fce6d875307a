// Thousands of downloads in one process, every way out taken, leave no open file and no memory behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <malloc.h>
#include <string>

#include "link/parallel_link.h"
#include "test_support.h"

namespace {
size_t open_descriptors()
{
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dir && readdir(dir))
        ++count;
    if (dir)
        closedir(dir);
    return count;
}

struct WayOut {
    uint32_t port_address;
    uint32_t offset;
    BoardMode mode;
    uint64_t stall_after;
    const char* refusal;
    int status;
};

// Every way out of the download, each with a real file: the file must be closed and every
// allocation given back whichever way the run ends.
TEST(Leaks, ThousandsOfDownloadsLeaveNothingBehind)
{
    const WayOut ways[] = {
        {0x378, 0, BoardMode::ok, NO_STALL, nullptr, 0},       // complete
        {0x378, 0xFFFE, BoardMode::ok, NO_STALL, nullptr, 0},  // file longer than the room
        {0x378, 0, BoardMode::ok, 4, nullptr, 1},              // stops answering
        {0x378, 0, BoardMode::ok, 8, nullptr, 1},              // end command not answered
        {0x378, 0, BoardMode::silent, NO_STALL, nullptr, 1},   // not found
        {0x378, 0, BoardMode::ok, NO_STALL, "no", 1},          // no port rights
        {0xFFFF, 0, BoardMode::ok, NO_STALL, nullptr, 1},      // port out of range
        {0x378, 0x10000, BoardMode::ok, NO_STALL, nullptr, 1}, // offset out of range
    };
    const std::string path = testing::TempDir() + "quorva-leak.bin";
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("abc", file);
    std::fclose(file);
    FILE* null_stream = std::fopen("/dev/null", "w");
    set_console(null_stream);

    // The cheap ways out run often; the ones with 200000 zero writes or a time-out less so.
    auto run_all = [&](int rounds) {
        int wrong = 0;
        for (int round = 0; round < rounds; ++round)
            for (const WayOut& w : ways) {
                const bool cheap = w.refusal || w.port_address > PORT_ADDRESS_MAX || w.offset > 0xFFFF;
                if (!cheap && round % 5 != 0)
                    continue;
                SimBoardConfig config;
                config.mode = w.mode;
                config.stall_after = w.stall_after;
                config.refusal = w.refusal;
                sim_reset(config);
                wrong += run_download(DownloadSettings{w.port_address, w.offset}, std::fopen(path.c_str(), "rb")) !=
                         w.status;
            }
        return wrong;
    };
    EXPECT_EQ(run_all(1), 0);  // the first runs may set up the library's own buffers
    const size_t descriptors = open_descriptors();
    const size_t in_use = mallinfo2().uordblks;
    EXPECT_EQ(run_all(1000), 0);
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(mallinfo2().uordblks, in_use);

    set_console(nullptr);
    std::fclose(null_stream);
    std::remove(path.c_str());
}
}  // namespace
