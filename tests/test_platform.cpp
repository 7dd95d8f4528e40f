// The platform layer as this system has it: file mappings, large memory and worker processes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform.h"
#include "testSupport.h"

namespace {

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

TEST(Platform, MapsReadableRegularFilesOnly) {
    tempDirStruct dir;
    const std::string file = dir.path + "/table", empty = dir.path + "/empty", fifo = dir.path + "/fifo";
    std::ofstream(file, std::ios::binary) << std::string("abc\0def", 7);
    std::ofstream(empty, std::ios::binary).flush();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    uint64_t size = 1;
    int status = -1;
    const uint8_t* data = mapFileReadOnly(file.c_str(), &size, &status);
    ASSERT_EQ(status, FILEMAPPED);
    ASSERT_EQ(size, 7u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), 7), std::string("abc\0def", 7));
    unmapFileReadOnly(data, size);

    // an empty file is there but has nothing to map
    data = mapFileReadOnly(empty.c_str(), &size, &status);
    EXPECT_EQ(status, FILEMAPPED);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(data, nullptr);

    // a directory, a FIFO (which must not block) and nothing at all are not files
    for (const std::string& path : {dir.path, fifo, dir.path + "/missing"}) {
        EXPECT_FALSE(isReadableFile(path.c_str())) << path;
        EXPECT_EQ(mapFileReadOnly(path.c_str(), &size, &status), nullptr) << path;
        EXPECT_EQ(status, FILEMISSING) << path;
        EXPECT_EQ(size, 0u);
    }
    EXPECT_TRUE(isReadableFile(file.c_str()));
    EXPECT_TRUE(isDirectory(dir.path.c_str()));
    EXPECT_FALSE(isDirectory(file.c_str()));
    EXPECT_FALSE(isDirectory(fifo.c_str()));
}

TEST(Platform, LargeMemoryIsZeroedAndHugeBlocksStartOnAHugePage) {
    for (size_t bytes : {size_t(4096), size_t(5) << 20}) {
        largeMemoryStruct memory;
        uint8_t* block = static_cast<uint8_t*>(allocateLargeMemory(bytes, &memory));
        ASSERT_NE(block, nullptr);
        EXPECT_NE(memory.mapping, nullptr);
        EXPECT_GE(memory.bytes, bytes);
        if (bytes >= (size_t(2) << 20)) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % (size_t(2) << 20), 0u);
        }
        size_t nonZero = 0;
        for (size_t i = 0; i < bytes; i++) nonZero += block[i] != 0;
        EXPECT_EQ(nonZero, 0u);
        block[0] = block[bytes - 1] = 1; // all of it writable
        freeLargeMemory(&memory);
        EXPECT_EQ(memory.mapping, nullptr);
        EXPECT_EQ(memory.bytes, 0u);
    }
}

TEST(Platform, WorkerProcessesRunEachShareAndReportAFailedOne) {
    tempDirStruct dir;
    for (int failing : {-1, 1}) {
        workerProcessesStruct workers;
        workers.work = [&](int i) {
            std::ofstream(dir.path + "/share" + std::to_string(i)) << "share " << i;
            if (i == failing) std::_Exit(3);
        };
        workers.script = [](int) { return std::string(); };
        workers.forward = [](const std::string&) {};
        int notStarted = 0;
        workers.notStarted = [&](int) { notStarted++; };
        std::vector<int> started;
        EXPECT_EQ(runWorkerProcesses(3, workers, &started), failing < 0);
        EXPECT_EQ(started, (std::vector<int>{0, 1, 2}));
        EXPECT_EQ(notStarted, 0);
        for (int i = 0; i < 3; i++) EXPECT_EQ(fileText(dir.path + "/share" + std::to_string(i)), "share " + std::to_string(i));
    }
}

TEST(Platform, ReplaceFileRenamesOverAnExistingFile) {
    tempDirStruct dir;
    const std::string from = dir.path + "/new", to = dir.path + "/old";
    std::ofstream(from) << "new";
    std::ofstream(to) << "old";
    EXPECT_TRUE(replaceFile(from.c_str(), to.c_str()));
    EXPECT_EQ(fileText(to), "new");
    EXPECT_FALSE(isReadableFile(from.c_str()));
    EXPECT_FALSE(replaceFile(from.c_str(), to.c_str()));
}
