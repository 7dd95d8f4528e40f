// The compressed input, the checks, and the stream buffer that hands a decoder's output to the
// reader of the text.
#include "decompress.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>
#include <streambuf>
#include <utility>

#include "decompressCore.h"

namespace {

// Bytes read from a file at a time.
constexpr size_t INPUTPIECEBYTES = 1 << 16;

const uint8_t XZMAGIC[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
const uint8_t GZIPMAGIC[2] = {0x1F, 0x8B};

// Reflected polynomials of the two CRCs (gzip's and xz's CRC-32, xz's CRC-64 of ECMA-182).
constexpr uint32_t CRC32POLYNOMIAL = 0xEDB88320u;
constexpr uint64_t CRC64POLYNOMIAL = 0xC96C5795D7870F42ull;

// Tables for eight bytes at a step: table k advances a byte k places further.
template <typename word, word polynomial>
struct crcTablesStruct {
    word table[8][256];
    crcTablesStruct() {
        for (unsigned i = 0; i < 256; i++) {
            word c = word(i);
            for (int bit = 0; bit < 8; bit++) c = (c & 1) ? (c >> 1) ^ polynomial : c >> 1;
            table[0][i] = c;
        }
        for (int k = 1; k < 8; k++)
            for (unsigned i = 0; i < 256; i++)
                table[k][i] = (table[k - 1][i] >> 8) ^ table[0][table[k - 1][i] & 0xFF];
    }
};

uint64_t loadLittle64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--) v = (v << 8) | p[i];
    return v;
}

} // namespace

uint32_t crc32Update(uint32_t crc, const uint8_t* data, size_t size) {
    static const crcTablesStruct<uint32_t, CRC32POLYNOMIAL> tables;
    const auto& t = tables.table;
    crc = ~crc;
    for (; size >= 8; data += 8, size -= 8) {
        uint64_t v = loadLittle64(data) ^ crc;
        crc = t[7][v & 0xFF] ^ t[6][(v >> 8) & 0xFF] ^ t[5][(v >> 16) & 0xFF] ^ t[4][(v >> 24) & 0xFF] ^
              t[3][(v >> 32) & 0xFF] ^ t[2][(v >> 40) & 0xFF] ^ t[1][(v >> 48) & 0xFF] ^ t[0][v >> 56];
    }
    for (; size > 0; data++, size--) crc = t[0][(crc ^ *data) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint64_t crc64Update(uint64_t crc, const uint8_t* data, size_t size) {
    static const crcTablesStruct<uint64_t, CRC64POLYNOMIAL> tables;
    const auto& t = tables.table;
    crc = ~crc;
    for (; size >= 8; data += 8, size -= 8) {
        uint64_t v = loadLittle64(data) ^ crc;
        crc = t[7][v & 0xFF] ^ t[6][(v >> 8) & 0xFF] ^ t[5][(v >> 16) & 0xFF] ^ t[4][(v >> 24) & 0xFF] ^
              t[3][(v >> 32) & 0xFF] ^ t[2][(v >> 40) & 0xFF] ^ t[1][(v >> 48) & 0xFF] ^ t[0][v >> 56];
    }
    for (; size > 0; data++, size--) crc = t[0][(crc ^ *data) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

// SHA-256 ----------------------------------------------------------------------------------------

namespace {

// The constants are the first 32 bits of the fractions of the square roots (initial state) and
// cube roots (round constants) of the first primes, found exactly with integer roots.
struct sha256ConstantsStruct {
    uint32_t initial[8];
    uint32_t round[64];
    sha256ConstantsStruct() {
        int primes[64], found = 0;
        for (int n = 2; found < 64; n++) {
            bool prime = true;
            for (int d = 2; d * d <= n; d++)
                if (n % d == 0) prime = false;
            if (prime) primes[found++] = n;
        }
        using wide = unsigned __int128;
        for (int i = 0; i < 64; i++) {
            // the largest x with x^3 <= p * 2^96; its low 32 bits are the fraction's
            wide target = wide(primes[i]) << 96;
            uint64_t x = uint64_t(std::cbrt(double(primes[i])) * 4294967296.0);
            while (wide(x + 1) * (x + 1) * (x + 1) <= target) x++;
            while (wide(x) * x * x > target) x--;
            round[i] = uint32_t(x);
            if (i < 8) {
                wide squareTarget = wide(primes[i]) << 64;
                uint64_t y = uint64_t(std::sqrt(double(primes[i])) * 4294967296.0);
                while (wide(y + 1) * (y + 1) <= squareTarget) y++;
                while (wide(y) * y > squareTarget) y--;
                initial[i] = uint32_t(y);
            }
        }
    }
};

const sha256ConstantsStruct& sha256Constants() {
    static const sha256ConstantsStruct constants;
    return constants;
}

uint32_t rotateRight(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void sha256Compress(uint32_t state[8], const uint8_t block[64]) {
    const uint32_t* k = sha256Constants().round;
    uint32_t w[64];
    for (int i = 0; i < 16; i++)
        w[i] = uint32_t(block[4 * i]) << 24 | uint32_t(block[4 * i + 1]) << 16 | uint32_t(block[4 * i + 2]) << 8 |
               block[4 * i + 3];
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = rotateRight(w[i - 15], 7) ^ rotateRight(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotateRight(w[i - 2], 17) ^ rotateRight(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; i++) {
        uint32_t t1 = h + (rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
        uint32_t t2 = (rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

} // namespace

sha256Struct::sha256Struct() {
    std::memcpy(state, sha256Constants().initial, sizeof(state));
}

void sha256Struct::update(const uint8_t* data, size_t size) {
    totalBytes += size;
    while (size > 0) {
        size_t take = std::min(size, sizeof(block) - blockBytes);
        std::memcpy(block + blockBytes, data, take);
        blockBytes += take;
        data += take;
        size -= take;
        if (blockBytes == sizeof(block)) {
            sha256Compress(state, block);
            blockBytes = 0;
        }
    }
}

void sha256Struct::finish(uint8_t digest[32]) {
    uint64_t bits = totalBytes * 8;
    uint8_t tail[72] = {0x80};
    size_t padding = (blockBytes < 56 ? 56 : 120) - blockBytes;
    for (int i = 0; i < 8; i++) tail[padding + i] = uint8_t(bits >> (56 - 8 * i));
    update(tail, padding + 8);
    for (int i = 0; i < 32; i++) digest[i] = uint8_t(state[i / 4] >> (24 - 8 * (i % 4)));
}

// The compressed input -----------------------------------------------------------------------------

compressedInput::compressedInput(std::FILE* file_) : file(file_), piece(INPUTPIECEBYTES) {
    pieceStart = next = end = piece.data();
}

compressedInput::compressedInput(std::string bytes) : memory(std::move(bytes)) {
    pieceStart = next = reinterpret_cast<const uint8_t*>(memory.data());
    end = next + memory.size();
}

compressedInput::~compressedInput() {
    if (file) std::fclose(file);
}

bool compressedInput::refill() {
    if (next < end) return true;
    if (!file) return false;
    consumedBefore += uint64_t(end - pieceStart);
    size_t got = std::fread(piece.data(), 1, piece.size(), file);
    if (got == 0 && std::ferror(file)) throw decompressError("read error");
    pieceStart = next = piece.data();
    end = next + got;
    return got > 0;
}

bool compressedInput::fill(size_t count) {
    if (size_t(end - next) >= count) return true;
    if (!file || count > piece.size()) return false;
    size_t left = size_t(end - next);
    consumedBefore += uint64_t(next - pieceStart);
    std::memmove(piece.data(), next, left);
    while (left < count) {
        size_t got = std::fread(piece.data() + left, 1, piece.size() - left, file);
        if (got == 0) {
            if (std::ferror(file)) throw decompressError("read error");
            break;
        }
        left += got;
    }
    pieceStart = next = piece.data();
    end = next + left;
    return left >= count;
}

void compressedInput::bytes(uint8_t* out, size_t count) {
    while (count > 0) {
        if (next == end && !refill()) throw decompressError(truncatedText);
        size_t take = std::min(count, size_t(end - next));
        std::memcpy(out, next, take);
        next += take;
        out += take;
        count -= take;
    }
}

// The stream -----------------------------------------------------------------------------------

namespace {

// Plain text: the input's pieces as they are.
class plainDecoder : public decoderBase {
public:
    explicit plainDecoder(compressedInput* in_) : in(in_) {}
    void next(const uint8_t** data, size_t* size) override {
        *size = 0;
        if (in->atEnd()) return;
        *data = in->next;
        *size = size_t(in->end - in->next);
        in->next = in->end;
    }

private:
    compressedInput* in;
};

// Hands the decoder's pieces to the reader one after the other. Damage throws out of underflow,
// which the istream turns into badbit; the problem stays for textInputProblem.
class decompressingBuffer : public std::streambuf {
public:
    decompressingBuffer(std::string name_, std::unique_ptr<compressedInput> input_, std::unique_ptr<decoderBase> decoder_)
        : name(std::move(name_)), input(std::move(input_)), decoder(std::move(decoder_)) {}
    std::string problem;

protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        if (!problem.empty()) throw decompressError(problem);
        if (ended) return traits_type::eof();
        const uint8_t* data = nullptr;
        size_t size = 0;
        try {
            decoder->next(&data, &size);
        } catch (const decompressError& e) {
            fail(e.what());
        } catch (const std::bad_alloc&) {
            fail("not enough memory to decompress");
        }
        if (size == 0) {
            ended = true;
            setg(nullptr, nullptr, nullptr);
            return traits_type::eof();
        }
        char* start = const_cast<char*>(reinterpret_cast<const char*>(data));
        setg(start, start, start + size);
        return traits_type::to_int_type(*start);
    }

private:
    [[noreturn]] void fail(const std::string& why) {
        problem = name + ": " + why;
        setg(nullptr, nullptr, nullptr);
        throw decompressError(problem);
    }

    std::string name;
    std::unique_ptr<compressedInput> input; // before the decoder, which reads it
    std::unique_ptr<decoderBase> decoder;
    bool ended = false;
};

class decompressingStream : public std::istream {
public:
    explicit decompressingStream(std::unique_ptr<decompressingBuffer> buffer_)
        : std::istream(nullptr), buffer(std::move(buffer_)) {
        rdbuf(buffer.get());
    }
    std::unique_ptr<decompressingBuffer> buffer;
};

bool endsWith(const std::string& text, const std::string& tail) {
    if (text.size() < tail.size()) return false;
    for (size_t i = 0; i < tail.size(); i++)
        if (std::tolower(static_cast<unsigned char>(text[text.size() - tail.size() + i])) != tail[i]) return false;
    return true;
}

std::unique_ptr<std::istream> openInput(const std::string& name, std::unique_ptr<compressedInput> input,
                                        std::string* problem) {
    std::unique_ptr<decoderBase> decoder;
    bool isXz = false, isGzip = false;
    try {
        bool filled = input->fill(sizeof(XZMAGIC));
        size_t have = size_t(input->end - input->next);
        isXz = filled && std::memcmp(input->next, XZMAGIC, sizeof(XZMAGIC)) == 0;
        isGzip = have >= sizeof(GZIPMAGIC) && std::memcmp(input->next, GZIPMAGIC, sizeof(GZIPMAGIC)) == 0;
    } catch (const decompressError& e) {
        *problem = name + ": " + e.what();
        return nullptr;
    }
    if (endsWith(name, ".xz") && !isXz) {
        *problem = name + ": not xz data (the file does not start as an xz file does)";
        return nullptr;
    }
    if (endsWith(name, ".gz") && !isGzip) {
        *problem = name + ": not gzip data (the file does not start as a gzip file does)";
        return nullptr;
    }
    if (isXz) {
        input->truncatedText = "truncated xz data";
        decoder = makeXzDecoder(input.get());
    } else if (isGzip) {
        input->truncatedText = "truncated gzip data";
        decoder = makeGzipDecoder(input.get());
    } else {
        decoder = std::make_unique<plainDecoder>(input.get());
    }
    problem->clear();
    return std::make_unique<decompressingStream>(
        std::make_unique<decompressingBuffer>(name, std::move(input), std::move(decoder)));
}

} // namespace

std::unique_ptr<std::istream> openTextInput(const std::string& path, std::string* problem) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        *problem = path + ": cannot be opened (" + std::strerror(errno) + ")";
        return nullptr;
    }
    return openInput(path, std::make_unique<compressedInput>(file), problem);
}

std::unique_ptr<std::istream> openTextInputBytes(const std::string& name, std::string bytes, std::string* problem) {
    return openInput(name, std::make_unique<compressedInput>(std::move(bytes)), problem);
}

std::string textInputProblem(const std::istream& in) {
    if (auto* buffer = dynamic_cast<const decompressingBuffer*>(in.rdbuf())) return buffer->problem;
    return in.bad() ? "read error" : "";
}
