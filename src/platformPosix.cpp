// The platform layer on Linux and the other POSIX systems: mmap, fork and waitpid.
#include "platform.h"

#ifndef _WIN32

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace {
constexpr size_t HUGEPAGEBYTES = size_t(2) << 20;
}

bool isReadableFile(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) && access(path, R_OK) == 0;
}

bool isDirectory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

const uint8_t* mapFileReadOnly(const char* path, uint64_t* size, int* status) {
    *size = 0;
    // Non-blocking, so that a FIFO named like the file cannot hang the engine.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) close(fd);
        *status = FILEMISSING;
        return nullptr;
    }
    *status = FILEMAPPED;
    if (st.st_size <= 0) {
        close(fd);
        return nullptr;
    }
    void* data = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (data == MAP_FAILED) {
        *status = FILEMAPFAILED;
        return nullptr;
    }
    *size = uint64_t(st.st_size);
    return static_cast<const uint8_t*>(data);
}

void unmapFileReadOnly(const uint8_t* data, uint64_t size) {
    if (data && size && munmap(const_cast<uint8_t*>(data), size_t(size)) != 0) perror("munmap");
}

// Memory from mmap comes zeroed and is only touched when used. With huge pages a probe of the
// table seldom misses the address-translation cache on top of the data cache; where the system
// has none the advice is ignored and the table works the same.
void* allocateLargeMemory(size_t bytes, largeMemoryStruct* memory) {
    const size_t slack = bytes >= HUGEPAGEBYTES ? HUGEPAGEBYTES : 0;
    void* mapping = mmap(nullptr, bytes + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return nullptr;
    memory->mapping = mapping;
    memory->bytes = bytes + slack;
    uintptr_t start = reinterpret_cast<uintptr_t>(mapping);
    if (slack) {
        start = (start + HUGEPAGEBYTES - 1) & ~uintptr_t(HUGEPAGEBYTES - 1);
#ifdef MADV_HUGEPAGE
        madvise(reinterpret_cast<void*>(start), bytes, MADV_HUGEPAGE);
#endif
    }
    return reinterpret_cast<void*>(start);
}

void freeLargeMemory(largeMemoryStruct* memory) {
    if (memory->mapping) munmap(memory->mapping, memory->bytes);
    *memory = largeMemoryStruct{};
}

// A forked worker inherits everything the engine has set up (options, network, tables), so
// work(i) runs as it is and the script is not needed.
bool runWorkerProcesses(int processes, const workerProcessesStruct& workers, std::vector<int>* started) {
    // what is buffered would otherwise be written once more by every child
    std::cout << std::flush;
    std::fflush(stdout);
    std::vector<pid_t> children;
    for (int i = 0; i < processes; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            workers.work(i);
            std::cout << std::flush;
            std::fflush(stdout);
            _exit(0);
        }
        if (pid < 0) {
            workers.notStarted(i);
            continue;
        }
        children.push_back(pid);
        started->push_back(i);
    }
    bool complete = !children.empty();
    for (pid_t pid : children) {
        int status = 0;
        complete &= waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return complete;
}

long currentProcessId() { return long(getpid()); }

bool replaceFile(const char* from, const char* to) { return std::rename(from, to) == 0; }

#endif
