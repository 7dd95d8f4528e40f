// The platform layer on Windows: file mappings, VirtualAlloc, and worker processes started as new
// processes of the engine's own executable, since Windows cannot fork.
#include "platform.h"

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <thread>

namespace {

constexpr DWORD PIPEBYTES = 1 << 16;
constexpr DWORD MODULEPATHCHARS = 32768; // the longest path Windows has
const std::string WORKERREADY = "readyok";

// Paths come as UTF-8, as every other text of the engine; Windows wants them in UTF-16.
std::wstring widePath(const char* path) {
    const int chars = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    if (chars <= 0) return std::wstring();
    std::wstring wide(size_t(chars), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path, -1, &wide[0], chars);
    wide.resize(size_t(chars - 1));
    return wide;
}

DWORD attributesOf(const char* path) {
    const std::wstring wide = widePath(path);
    return wide.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(wide.c_str());
}

std::wstring ownExecutable() {
    std::wstring path(MODULEPATHCHARS, L'\0');
    const DWORD chars = GetModuleFileNameW(nullptr, &path[0], MODULEPATHCHARS);
    path.resize(chars > 0 && chars < MODULEPATHCHARS ? chars : 0);
    return path;
}

// A started worker: the process, and the end of the pipe its output comes through.
struct childStruct {
    int index;
    HANDLE process;
    HANDLE output;
};

// Starts the engine's own executable with the ends of two pipes as its standard input and
// output; the caller gets the other ends.
bool startChild(const std::wstring& executable, HANDLE* input, HANDLE* output, HANDLE* process) {
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE childInput = nullptr, childOutput = nullptr;
    if (!CreatePipe(&childInput, input, &inherited, PIPEBYTES)) return false;
    if (!CreatePipe(output, &childOutput, &inherited, PIPEBYTES)) {
        CloseHandle(childInput);
        CloseHandle(*input);
        return false;
    }
    // only the child's ends are inherited
    SetHandleInformation(*input, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(*output, HANDLE_FLAG_INHERIT, 0);
    HANDLE errors = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(), &errors, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOutput;
    startup.hStdError = errors;
    PROCESS_INFORMATION info{};
    std::wstring commandLine = L"\"" + executable + L"\"";
    // Workers are started one after another from one thread, so no other child's pipe ends are
    // inheritable while this one starts.
    const bool ok = CreateProcessW(executable.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                   &startup, &info);
    CloseHandle(childInput);
    CloseHandle(childOutput);
    if (errors) CloseHandle(errors);
    if (!ok) {
        CloseHandle(*input);
        CloseHandle(*output);
        return false;
    }
    CloseHandle(info.hThread);
    *process = info.hProcess;
    return true;
}

void writeAll(HANDLE pipe, const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        DWORD written = 0;
        if (!WriteFile(pipe, text.data() + at, DWORD(text.size() - at), &written, nullptr) || written == 0) return;
        at += written;
    }
}

// Reads a worker's output to its end; the lines after its first "readyok" go to forward (what
// came before is the banner and the answers to its setup).
void forwardOutput(HANDLE pipe, const std::function<void(const std::string&)>& forward) {
    std::string pending;
    bool ready = false;
    char buffer[4096];
    DWORD got = 0;
    auto handle = [&](std::string line) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (ready) forward(line);
        else ready = line == WORKERREADY;
    };
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        pending.append(buffer, got);
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            handle(pending.substr(0, end));
            pending.erase(0, end + 1);
        }
    }
    if (!pending.empty()) handle(pending);
}

} // namespace

bool isReadableFile(const char* path) {
    const DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool isDirectory(const char* path) {
    const DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

const uint8_t* mapFileReadOnly(const char* path, uint64_t* size, int* status) {
    *size = 0;
    *status = FILEMISSING;
    const std::wstring wide = widePath(path);
    if (wide.empty()) return nullptr;
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    LARGE_INTEGER bytes;
    // a pipe or a device named like the file is not the file
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &bytes)) {
        CloseHandle(file);
        return nullptr;
    }
    *status = FILEMAPPED;
    if (bytes.QuadPart <= 0) {
        CloseHandle(file);
        return nullptr;
    }
    // the view keeps the mapping and the file open once their handles are closed
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    CloseHandle(file);
    void* data = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (mapping) CloseHandle(mapping);
    if (!data) {
        *status = FILEMAPFAILED;
        return nullptr;
    }
    *size = uint64_t(bytes.QuadPart);
    return static_cast<const uint8_t*>(data);
}

void unmapFileReadOnly(const uint8_t* data, uint64_t size) {
    if (data && size && !UnmapViewOfFile(data)) std::fprintf(stderr, "UnmapViewOfFile failed\n");
}

// Committed pages come zeroed and take memory only once touched. Large pages would need a
// privilege that a user's account seldom has, so the table uses ordinary ones.
void* allocateLargeMemory(size_t bytes, largeMemoryStruct* memory) {
    void* mapping = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!mapping) return nullptr;
    memory->mapping = mapping;
    memory->bytes = bytes;
    return mapping;
}

void freeLargeMemory(largeMemoryStruct* memory) {
    if (memory->mapping) VirtualFree(memory->mapping, 0, MEM_RELEASE);
    *memory = largeMemoryStruct{};
}

bool runWorkerProcesses(int processes, const workerProcessesStruct& workers, std::vector<int>* started) {
    std::cout << std::flush;
    std::fflush(stdout);
    const std::wstring executable = ownExecutable();
    std::vector<childStruct> children;
    for (int i = 0; i < processes; i++) {
        HANDLE input = nullptr, output = nullptr, process = nullptr;
        if (executable.empty() || !startChild(executable, &input, &output, &process)) {
            workers.notStarted(i);
            continue;
        }
        // the script ends with the end of input, which ends the worker once its command is done
        writeAll(input, workers.script(i));
        CloseHandle(input);
        children.push_back({i, process, output});
        started->push_back(i);
    }
    std::vector<std::thread> readers;
    for (const childStruct& child : children)
        readers.emplace_back(forwardOutput, child.output, std::cref(workers.forward));
    bool complete = !children.empty();
    for (const childStruct& child : children) {
        DWORD status = 1;
        complete &= WaitForSingleObject(child.process, INFINITE) == WAIT_OBJECT_0 &&
                    GetExitCodeProcess(child.process, &status) && status == 0;
        CloseHandle(child.process);
    }
    for (std::thread& reader : readers) reader.join();
    for (const childStruct& child : children) CloseHandle(child.output);
    return complete;
}

long currentProcessId() { return long(GetCurrentProcessId()); }

bool replaceFile(const char* from, const char* to) {
    const std::wstring wideFrom = widePath(from), wideTo = widePath(to);
    return !wideFrom.empty() && !wideTo.empty() &&
           MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
}

#endif
