// The training data: '<FEN> | <score> | <result>' lines read in large blocks and packed into
// 32 bytes a position; a line that is not sound is skipped and counted, never trusted.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "trainer.h"

namespace {

int pieceCode(char c) {
    switch (c) {
    case 'P': return 0;
    case 'N': return 1;
    case 'B': return 2;
    case 'R': return 3;
    case 'Q': return 4;
    case 'K': return 5;
    case 'p': return 6;
    case 'n': return 7;
    case 'b': return 8;
    case 'r': return 9;
    case 'q': return 10;
    case 'k': return 11;
    default: return -1;
    }
}

template <typename number> const char* parseNumber(const char*& p, const char* end, number* value) {
    p = skipBlanks(p, end);
    if (p < end && *p == '+') p++;
    auto [next, error] = std::from_chars(p, end, *value);
    if (error != std::errc() || !std::isfinite(*value)) return "a score or result that is not a number";
    p = next;
    return nullptr;
}

void noteSkipped(dataSetStruct* data, const std::string& name, size_t line, const char* reason) {
    if (data->firstProblems.size() < REPORTEDBADLINES)
        data->firstProblems.push_back(name + ":" + std::to_string(line) + ": " + reason);
    data->skipped++;
}

} // namespace

const char* parsePlacement(const char*& p, const char* end, int8_t board[64], int* men) {
    std::fill(board, board + 64, int8_t(-1));
    int rank = 7, file = 0, count = 0;
    for (; p < end && !isBlank(*p) && *p != '|'; p++) {
        const char c = *p;
        if (c == '/') {
            if (file != 8 || rank == 0) return "a rank of the wrong length";
            rank--;
            file = 0;
        } else if (c >= '1' && c <= '8') {
            file += c - '0';
            if (file > 8) return "a rank of the wrong length";
        } else {
            const int code = pieceCode(c);
            if (code < 0) return "an unknown character in the placement";
            if (file >= 8) return "a rank of the wrong length";
            if (++count > MAXMEN) return "more than 32 men";
            board[rank * 8 + file++] = int8_t(code);
        }
    }
    if (rank != 0 || file != 8) return "a placement without 8 ranks of 8 squares";
    *men = count;
    return nullptr;
}

const char* skipBlanks(const char* p, const char* end) {
    while (p < end && isBlank(*p)) p++;
    return p;
}

const char* parseDataLine(const char* p, const char* end, packedPositionStruct* out) {
    int8_t board[64];
    int men = 0;
    p = skipBlanks(p, end);
    if (const char* problem = parsePlacement(p, end, board, &men)) return problem;
    p = skipBlanks(p, end);
    if (p == end || (*p != 'w' && *p != 'b') || (p + 1 < end && !isBlank(p[1]) && p[1] != '|'))
        return "no side to move after the placement";
    out->blackToMove = *p == 'b';
    const char* bar = static_cast<const char*>(std::memchr(p, '|', size_t(end - p)));
    if (!bar) return "no '|' before the score";
    p = bar + 1;
    float score;
    double result;
    if (const char* problem = parseNumber(p, end, &score)) return problem;
    p = skipBlanks(p, end);
    if (p == end || *p != '|') return "no '|' between the score and the result";
    p++;
    if (const char* problem = parseNumber(p, end, &result)) return problem;
    if (skipBlanks(p, end) != end) return "text after the result";
    if (result != 0.0 && result != 0.5 && result != 1.0) return "a result other than 1.0, 0.5 or 0.0";
    out->score = score;
    out->result = uint8_t(result * 2);
    out->occupied = 0;
    std::memset(out->men, 0, sizeof out->men);
    out->pad[0] = out->pad[1] = 0;
    for (int square = 0, count = 0; square < 64; square++) {
        if (board[square] < 0) continue;
        out->occupied |= 1ull << square;
        out->men[count >> 1] |= uint8_t(board[square] << ((count & 1) * 4));
        count++;
    }
    return nullptr;
}

std::vector<std::string> dataFiles(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    std::vector<std::string> files;
    if (fs::is_directory(path, error)) {
        for (const auto& entry : fs::directory_iterator(path, error))
            if (entry.path().extension() == ".txt" && entry.is_regular_file(error)) files.push_back(entry.path().string());
        std::sort(files.begin(), files.end());
        if (files.empty()) throw std::runtime_error("no data files (*.txt) in the folder " + path);
        return files;
    }
    if (!fs::is_regular_file(path, error)) throw std::runtime_error("cannot read the data " + path + ": no such file or folder");
    return {path};
}

void readDataFile(const std::string& name, dataSetStruct* data) {
    constexpr size_t BLOCK = size_t(1) << 24;
    FILE* file = std::fopen(name.c_str(), "rb");
    if (!file) throw std::runtime_error("cannot open the data file " + name + ": " + std::strerror(errno));
    std::vector<char> buffer(BLOCK);
    size_t kept = 0, lineNumber = 0;
    bool discarding = false; // inside a line too long for the buffer
    for (;;) {
        const size_t got = std::fread(buffer.data() + kept, 1, BLOCK - kept, file);
        if (got == 0 && std::ferror(file)) {
            std::fclose(file);
            throw std::runtime_error("error reading the data file " + name);
        }
        const bool last = got == 0;
        const char* p = buffer.data();
        const char* end = buffer.data() + kept + got;
        for (;;) {
            const char* newline = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
            if (!newline && !last) break;
            const char* lineEnd = newline ? newline : end;
            if (!newline && p == end) break;
            lineNumber++;
            if (discarding) {
                discarding = false;
            } else if (skipBlanks(p, lineEnd) != lineEnd) {
                packedPositionStruct position;
                if (const char* problem = parseDataLine(p, lineEnd, &position)) noteSkipped(data, name, lineNumber, problem);
                else data->positions.push_back(position);
            }
            p = newline ? newline + 1 : end;
            if (!newline) break;
        }
        if (last) break;
        kept = size_t(end - p);
        if (kept == BLOCK) { // one line fills the whole buffer
            if (!discarding) noteSkipped(data, name, lineNumber + 1, "a line longer than 16 MB");
            discarding = true;
            kept = 0;
        } else {
            std::memmove(buffer.data(), p, kept);
        }
    }
    std::fclose(file);
}

