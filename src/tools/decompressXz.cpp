// The xz container: streams of blocks, each block's check, the index that lists the blocks and
// the footer that points back at it, and the padding between streams (as xz -T0 and cat of
// several files leave them). Every field the format protects is checked.
#include <cstdio>
#include <cstring>
#include <string>

#include "decompress.h"
#include "decompressCore.h"

namespace {

constexpr size_t STREAMHEADERBYTES = 12;
constexpr size_t STREAMFOOTERBYTES = 12;
constexpr uint64_t LZMA2FILTERID = 0x21;
constexpr uint64_t NOSIZE = ~uint64_t(0);
const uint8_t XZHEADERMAGIC[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
const uint8_t XZFOOTERMAGIC[2] = {'Y', 'Z'};

enum checkKind { CHECKNONE = 0x00, CHECKCRC32 = 0x01, CHECKCRC64 = 0x04, CHECKSHA256 = 0x0A };

size_t checkBytesOf(unsigned check) {
    switch (check) {
    case CHECKCRC32: return 4;
    case CHECKCRC64: return 8;
    case CHECKSHA256: return 32;
    default: return 0;
    }
}

[[noreturn]] void corrupt(const std::string& why) { throw decompressError("corrupt xz data (" + why + ")"); }

uint32_t loadLittle32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A variable-length integer, seven bits a byte, lowest first.
template <typename byteFunction>
uint64_t readNumber(byteFunction nextByte) {
    uint64_t value = 0;
    for (int i = 0; i < 9; i++) {
        const uint8_t b = nextByte();
        value |= uint64_t(b & 0x7F) << (7 * i);
        if (!(b & 0x80)) {
            if (b == 0 && i > 0) corrupt("a number not written in its shortest form");
            return value;
        }
    }
    corrupt("a number longer than nine bytes");
}

class xzDecoder : public decoderBase {
public:
    explicit xzDecoder(compressedInput* in_) : in(in_) {}
    void next(const uint8_t** data, size_t* size) override;

private:
    void readStreamHeader();
    void readBlockHeader(uint8_t first);
    void finishBlock();
    void readIndex();
    void readStreamFooter();
    // One block's sizes as the index lists them, folded into the stream's record.
    void addRecord(uint64_t unpadded, uint64_t uncompressed, uint32_t* hash) {
        uint8_t bytes[16];
        for (int i = 0; i < 8; i++) {
            bytes[i] = uint8_t(unpadded >> (8 * i));
            bytes[8 + i] = uint8_t(uncompressed >> (8 * i));
        }
        *hash = crc32Update(*hash, bytes, sizeof(bytes));
    }
    std::string blockName() const { return "block " + std::to_string(blocks); }
    std::string streamName() const { return "stream " + std::to_string(streams); }

    enum phaseKind { STREAMHEADER, BLOCKORINDEX, INBLOCK, AFTERSTREAM, FINISHED };
    phaseKind phase = STREAMHEADER;
    compressedInput* in;
    lzma2Decoder lzma2;
    long streams = 0, blocks = 0; // counted over the whole file, for the messages

    // the stream's header, and its blocks as its index must list them
    uint8_t streamFlags[2] = {0, 0};
    unsigned check = CHECKNONE;
    uint64_t streamBlocks = 0, indexBytes = 0;
    uint32_t recordHash = 0;

    // the block being read
    uint64_t headerBytes = 0, dataStart = 0, uncompressed = 0;
    uint64_t declaredCompressed = NOSIZE, declaredUncompressed = NOSIZE;
    uint32_t crc32 = 0;
    uint64_t crc64 = 0;
    sha256Struct sha256;
};

void xzDecoder::next(const uint8_t** data, size_t* size) {
    *size = 0;
    for (;;) {
        switch (phase) {
        case STREAMHEADER:
            readStreamHeader();
            phase = BLOCKORINDEX;
            break;
        case BLOCKORINDEX: {
            // a block header's first byte is its size, never 0; the index starts with 0
            const uint8_t first = in->byte();
            if (first == 0) {
                readIndex();
                readStreamFooter();
                phase = AFTERSTREAM;
            } else {
                readBlockHeader(first);
                phase = INBLOCK;
            }
            break;
        }
        case INBLOCK:
            try {
                lzma2.next(in, data, size);
            } catch (const lzmaError& e) {
                corrupt(std::string(e.what()) + " in " + blockName());
            }
            if (*size == 0) {
                finishBlock();
                phase = BLOCKORINDEX;
                break;
            }
            uncompressed += *size;
            if (declaredUncompressed != NOSIZE && uncompressed > declaredUncompressed)
                corrupt(blockName() + " holds more than its header says");
            if (check == CHECKCRC32) crc32 = crc32Update(crc32, *data, *size);
            if (check == CHECKCRC64) crc64 = crc64Update(crc64, *data, *size);
            if (check == CHECKSHA256) sha256.update(*data, *size);
            return;
        case AFTERSTREAM: {
            // stream padding: zero bytes in fours, then another stream or the end of the file
            uint64_t padding = 0;
            while (!in->atEnd() && *in->next == 0) {
                in->next++;
                padding++;
            }
            if (padding % 4 != 0) corrupt("stream padding after " + streamName() + " not a multiple of four bytes");
            if (in->atEnd()) {
                phase = FINISHED;
                return;
            }
            phase = STREAMHEADER;
            break;
        }
        case FINISHED:
            return;
        }
    }
}

void xzDecoder::readStreamHeader() {
    uint8_t header[STREAMHEADERBYTES];
    in->bytes(header, sizeof(header));
    if (std::memcmp(header, XZHEADERMAGIC, sizeof(XZHEADERMAGIC)) != 0)
        corrupt("what follows " + streamName() + " is not an xz stream");
    streams++;
    if (crc32Update(0, header + 6, 2) != loadLittle32(header + 8)) corrupt("header of " + streamName() + " damaged");
    if (header[6] != 0 || (header[7] & 0xF0) != 0)
        throw decompressError("unsupported xz stream flags in " + streamName() + " (written by a newer xz?)");
    check = header[7] & 0x0F;
    if (check != CHECKNONE && check != CHECKCRC32 && check != CHECKCRC64 && check != CHECKSHA256)
        throw decompressError("unsupported xz check type " + std::to_string(check) + " in " + streamName() +
                              " (this reader knows none, CRC32, CRC64 and SHA-256)");
    streamFlags[0] = header[6];
    streamFlags[1] = header[7];
    streamBlocks = 0;
    recordHash = 0;
}

void xzDecoder::readBlockHeader(uint8_t first) {
    blocks++;
    streamBlocks++;
    const size_t headerSize = (size_t(first) + 1) * 4;
    uint8_t header[1024];
    header[0] = first;
    in->bytes(header + 1, headerSize - 1);
    const size_t fieldsEnd = headerSize - 4;
    if (crc32Update(0, header, fieldsEnd) != loadLittle32(header + fieldsEnd)) corrupt("header of " + blockName() + " damaged");
    size_t at = 1;
    auto nextByte = [&]() -> uint8_t {
        if (at >= fieldsEnd) corrupt("header of " + blockName() + " too short for its fields");
        return header[at++];
    };
    const uint8_t flags = nextByte();
    if (flags & 0x3C) throw decompressError("unsupported xz block flags in " + blockName() + " (written by a newer xz?)");
    declaredCompressed = (flags & 0x40) ? readNumber(nextByte) : NOSIZE;
    declaredUncompressed = (flags & 0x80) ? readNumber(nextByte) : NOSIZE;
    if (declaredCompressed == 0) corrupt(blockName() + " declares no compressed bytes");
    const int filters = (flags & 0x03) + 1;
    uint32_t dictionaryBytes = 0;
    for (int f = 0; f < filters; f++) {
        const uint64_t id = readNumber(nextByte);
        const uint64_t propertyBytes = readNumber(nextByte);
        if (propertyBytes > fieldsEnd - at) corrupt("header of " + blockName() + " too short for its fields");
        if (id != LZMA2FILTERID) {
            char hex[24];
            std::snprintf(hex, sizeof(hex), "0x%02llx", static_cast<unsigned long long>(id));
            throw decompressError(std::string("unsupported xz filter ") + hex + " in " + blockName() +
                                  " (this reader takes LZMA2 alone, as xz writes by default)");
        }
        if (f != filters - 1) corrupt("the LZMA2 filter is not the last of " + blockName());
        if (propertyBytes != 1) corrupt("LZMA2 properties of " + blockName() + " not one byte");
        const uint8_t dictionary = nextByte();
        if (dictionary > 40) corrupt("LZMA2 dictionary size of " + blockName() + " out of range");
        dictionaryBytes = dictionary == 40 ? 0xFFFFFFFFu : (2u | (dictionary & 1u)) << (dictionary / 2 + 11);
        if (dictionaryBytes > XZMAXDICTIONARYBYTES)
            throw decompressError("xz dictionary of " + std::to_string((uint64_t(dictionaryBytes) + 1) >> 20) +
                                  " MiB in " + blockName() + " is larger than the " +
                                  std::to_string(XZMAXDICTIONARYBYTES >> 20) + " MiB this reader allows");
    }
    while (at < fieldsEnd)
        if (header[at++] != 0) corrupt("header padding of " + blockName() + " not zero");
    headerBytes = headerSize;
    dataStart = in->offset();
    uncompressed = 0;
    crc32 = 0;
    crc64 = 0;
    sha256 = sha256Struct();
    lzma2.startBlock(dictionaryBytes);
}

void xzDecoder::finishBlock() {
    const uint64_t compressed = in->offset() - dataStart;
    if (declaredCompressed != NOSIZE && compressed != declaredCompressed)
        corrupt(blockName() + " is not the compressed size its header says");
    if (declaredUncompressed != NOSIZE && uncompressed != declaredUncompressed)
        corrupt(blockName() + " is not the uncompressed size its header says");
    for (uint64_t k = compressed; k % 4 != 0; k++)
        if (in->byte() != 0) corrupt("padding of " + blockName() + " not zero");
    const size_t checkBytes = checkBytesOf(check);
    uint8_t stored[32], computed[32];
    in->bytes(stored, checkBytes);
    if (check == CHECKCRC32)
        for (int i = 0; i < 4; i++) computed[i] = uint8_t(crc32 >> (8 * i));
    if (check == CHECKCRC64)
        for (int i = 0; i < 8; i++) computed[i] = uint8_t(crc64 >> (8 * i));
    if (check == CHECKSHA256) sha256.finish(computed);
    if (std::memcmp(stored, computed, checkBytes) != 0) corrupt("check mismatch in " + blockName());
    addRecord(headerBytes + compressed + checkBytes, uncompressed, &recordHash);
}

void xzDecoder::readIndex() {
    const uint8_t indicator = 0;
    uint32_t crc = crc32Update(0, &indicator, 1);
    indexBytes = 1;
    auto nextByte = [&]() -> uint8_t {
        const uint8_t b = in->byte();
        crc = crc32Update(crc, &b, 1);
        indexBytes++;
        return b;
    };
    const uint64_t records = readNumber(nextByte);
    if (records != streamBlocks)
        corrupt("index of " + streamName() + " lists " + std::to_string(records) + " blocks, the stream holds " +
                std::to_string(streamBlocks));
    uint32_t hash = 0;
    for (uint64_t r = 0; r < records; r++) {
        const uint64_t unpadded = readNumber(nextByte);
        const uint64_t size = readNumber(nextByte);
        addRecord(unpadded, size, &hash);
    }
    if (hash != recordHash) corrupt("index of " + streamName() + " does not match its blocks");
    while (indexBytes % 4 != 0)
        if (nextByte() != 0) corrupt("index padding of " + streamName() + " not zero");
    uint8_t stored[4];
    in->bytes(stored, sizeof(stored));
    indexBytes += sizeof(stored);
    if (loadLittle32(stored) != crc) corrupt("index of " + streamName() + " damaged");
}

void xzDecoder::readStreamFooter() {
    uint8_t footer[STREAMFOOTERBYTES];
    in->bytes(footer, sizeof(footer));
    if (std::memcmp(footer + 10, XZFOOTERMAGIC, sizeof(XZFOOTERMAGIC)) != 0 ||
        crc32Update(0, footer + 4, 6) != loadLittle32(footer))
        corrupt("footer of " + streamName() + " damaged");
    if ((uint64_t(loadLittle32(footer + 4)) + 1) * 4 != indexBytes)
        corrupt("footer of " + streamName() + " does not point back at its index");
    if (footer[8] != streamFlags[0] || footer[9] != streamFlags[1])
        corrupt("footer of " + streamName() + " does not repeat its header's flags");
}

} // namespace

std::unique_ptr<decoderBase> makeXzDecoder(compressedInput* in) { return std::make_unique<xzDecoder>(in); }
