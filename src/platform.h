// What the engine needs from the operating system beyond the standard library: files mapped
// read-only (the tablebases), large zeroed memory (the transposition table), worker processes
// (the data tools), the process's id and renaming over a file. platformPosix.cpp serves Linux
// and the other POSIX systems, platformWindows.cpp Windows; each compiles to nothing on the other,
// and the rest of the engine never sees which one it runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The separator of the directories in SyzygyPath: Windows paths hold ':' after the drive letter.
#ifdef _WIN32
constexpr char SEARCHPATHSEPARATOR = ';';
#else
constexpr char SEARCHPATHSEPARATOR = ':';
#endif

// The assembler's directives around data placed in the read-only section (the network built into
// the binary): Windows' object files know no section stack, and call the section .rdata.
#ifdef _WIN32
#define ASMREADONLYBEGIN ".section .rdata,\"dr\"\n"
#define ASMREADONLYEND ".text\n"
#else
#define ASMREADONLYBEGIN ".pushsection .rodata\n"
#define ASMREADONLYEND ".popsection\n"
#endif

// Files mapped read-only. A path that names no regular file that can be read (nothing, a
// directory, a FIFO or a device) counts as missing and is never opened in a way that could block.
enum { FILEMAPPED, FILEMISSING, FILEMAPFAILED };
bool isReadableFile(const char* path);
bool isDirectory(const char* path);
// Maps the whole file read-only and shared, sets size and status (FILEMAPPED with size 0 and no
// data for an empty file, which no system can map).
const uint8_t* mapFileReadOnly(const char* path, uint64_t* size, int* status);
void unmapFileReadOnly(const uint8_t* data, uint64_t size);

// Zeroed memory for a large table, taken from the system directly so that its pages cost nothing
// until they are touched. A block of a huge page or more starts on a huge-page boundary and asks
// for huge pages where the system gives them without privileges. nullptr when the system has no
// memory to give; otherwise memory holds what freeLargeMemory hands back.
struct largeMemoryStruct {
    void* mapping = nullptr;
    size_t bytes = 0;
};
void* allocateLargeMemory(size_t bytes, largeMemoryStruct* memory);
void freeLargeMemory(largeMemoryStruct* memory);

// Worker processes, each doing one share of a tool's work. Where the system can fork, worker i is
// a copy of this process that runs work(i) and ends; where it cannot (Windows), worker i is a new
// process of this program that reads the command lines script(i) on its standard input, and what
// it writes after its first "readyok" line reaches forward, line by line. notStarted(i) is told of
// a worker that could not be started; started receives the others. True when at least one started
// and every one that started ended with status 0.
struct workerProcessesStruct {
    std::function<void(int)> work;
    std::function<std::string(int)> script;
    std::function<void(const std::string&)> forward;
    std::function<void(int)> notStarted;
};
bool runWorkerProcesses(int processes, const workerProcessesStruct& workers, std::vector<int>* started);

// This process's id, for names of temporary files that no other process picks.
long currentProcessId();
// Renames the file from to to, replacing a file already named to (as POSIX's rename does and the
// C library's on Windows does not).
bool replaceFile(const char* from, const char* to);
