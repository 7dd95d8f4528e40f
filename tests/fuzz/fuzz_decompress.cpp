// Fuzz target: damaged compressed files. The first byte of an input is a selector: bit 0 makes
// the CRCs of an xz stream header and of its first block header right, so that damaged header
// fields reach the decoder; bit 1 reads line by line instead of in large pieces. The rest is the
// file's content. Whatever it holds, the reader ends, and it reports a problem exactly when the
// stream goes bad.
#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>

#include "tools/decompress.h"

namespace {

// Enough to pass any window many times; more only slows the fuzzer down on highly compressed input.
constexpr size_t MAXOUTPUTBYTES = 64u << 20;

void storeCrc(std::string* bytes, size_t from, size_t count) {
    uint32_t crc = crc32Update(0, reinterpret_cast<const uint8_t*>(bytes->data()) + from, count);
    for (int i = 0; i < 4; i++) (*bytes)[from + count + i] = char(crc >> (8 * i));
}

void fixXzHeaderCrcs(std::string* bytes) {
    if (bytes->size() < 12 || bytes->compare(0, 6, std::string("\xFD" "7zXZ\0", 6)) != 0) return;
    storeCrc(bytes, 6, 2);
    if (bytes->size() < 13 || (*bytes)[12] == 0) return;
    const size_t headerBytes = (size_t(uint8_t((*bytes)[12])) + 1) * 4;
    if (12 + headerBytes <= bytes->size()) storeCrc(bytes, 12, headerBytes - 4);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t selector = data[0];
    std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (selector & 1) fixXzHeaderCrcs(&bytes);
    std::string problem;
    std::unique_ptr<std::istream> in = openTextInputBytes("fuzz", bytes, &problem);
    if (!in) {
        if (problem.empty()) __builtin_trap();
        return 0;
    }
    size_t total = 0;
    if (selector & 2) {
        std::string line;
        while (total < MAXOUTPUTBYTES && std::getline(*in, line)) total += line.size() + 1;
    } else {
        static char piece[1 << 16];
        while (total < MAXOUTPUTBYTES && (in->read(piece, sizeof(piece)) || in->gcount() > 0)) total += size_t(in->gcount());
    }
    const bool finished = total < MAXOUTPUTBYTES;
    problem = textInputProblem(*in);
    if (in->bad() != !problem.empty()) __builtin_trap();
    if (finished && !in->bad() && !in->eof()) __builtin_trap();
    return 0;
}
