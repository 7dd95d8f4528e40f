// gzip: members one after the other, each a header, DEFLATE data (stored, fixed and dynamic
// Huffman blocks) and a trailer with the CRC-32 and the length of the member's output.
#include <algorithm>
#include <cstring>
#include <string>

#include "decompress.h"
#include "decompressCore.h"

namespace {

// DEFLATE reaches at most 32 KiB back: the window, which is also the output, holds that much.
constexpr size_t WINDOWBYTES = 1 << 15;
constexpr int MAXCODEBITS = 15;
// Codes up to this long are found in one table look-up; longer ones, rare by their nature, are
// walked code length by code length.
constexpr int FASTBITS = 10;
constexpr int LITERALCODES = 288, DISTANCECODES = 32, CODELENGTHCODES = 19;
constexpr unsigned ENDOFBLOCK = 256;
constexpr unsigned GZIPMETHODDEFLATE = 8;
enum gzipFlag { FLAGHEADERCRC = 0x02, FLAGEXTRA = 0x04, FLAGNAME = 0x08, FLAGCOMMENT = 0x10, FLAGSRESERVED = 0xE0 };

const uint16_t LENGTHBASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t LENGTHEXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t DISTANCEBASE[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                   193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t DISTANCEEXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// the order in which a dynamic block gives the lengths of the code-length code
const uint8_t CODELENGTHORDER[CODELENGTHCODES] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

[[noreturn]] void corrupt(const std::string& why) { throw decompressError("corrupt gzip data (" + why + ")"); }

// A canonical Huffman code as DEFLATE defines it from the code lengths alone.
struct huffmanStruct {
    uint16_t fast[1 << FASTBITS]; // symbol << 4 | length, for codes of at most FASTBITS; 0 elsewhere
    uint16_t count[MAXCODEBITS + 1];
    uint16_t symbols[LITERALCODES]; // by code length, then by symbol
};

// An incomplete code is accepted only with at most one code in it (a block of literals alone
// has one distance code or none); an oversubscribed one never.
void buildHuffman(huffmanStruct* h, const uint8_t* lengths, int codes) {
    std::fill(h->count, h->count + MAXCODEBITS + 1, uint16_t(0));
    for (int s = 0; s < codes; s++) h->count[lengths[s]]++;
    h->count[0] = 0;
    int left = 1, used = 0;
    for (int len = 1; len <= MAXCODEBITS; len++) {
        left = (left << 1) - h->count[len];
        used += h->count[len];
        if (left < 0) corrupt("an oversubscribed Huffman code");
    }
    if (left > 0 && used > 1) corrupt("an incomplete Huffman code");
    uint16_t offset[MAXCODEBITS + 2];
    offset[1] = 0;
    for (int len = 1; len <= MAXCODEBITS; len++) offset[len + 1] = uint16_t(offset[len] + h->count[len]);
    for (int s = 0; s < codes; s++)
        if (lengths[s]) h->symbols[offset[lengths[s]]++] = uint16_t(s);
    // codes are read from the stream highest bit first, so the table is indexed by the code reversed
    std::fill(h->fast, h->fast + (1 << FASTBITS), uint16_t(0));
    unsigned code = 0;
    int index = 0;
    for (int len = 1; len <= FASTBITS; len++, code <<= 1) {
        for (int k = 0; k < h->count[len]; k++, code++, index++) {
            unsigned reversed = 0;
            for (int b = 0; b < len; b++) reversed |= ((code >> b) & 1) << (len - 1 - b);
            for (unsigned i = reversed; i < (1u << FASTBITS); i += 1u << len)
                h->fast[i] = uint16_t(h->symbols[index] << 4 | len);
        }
    }
}

// The symbol of a code longer than FASTBITS (or of none), from up to MAXCODEBITS bits.
void slowDecode(const huffmanStruct& h, uint64_t bits, unsigned* symbol, unsigned* length) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= MAXCODEBITS; len++) {
        code |= int((bits >> (len - 1)) & 1);
        const int count = h.count[len];
        if (code - first < count) {
            *symbol = h.symbols[index + code - first];
            *length = unsigned(len);
            return;
        }
        index += count;
        first = (first + count) << 1;
        code <<= 1;
    }
    corrupt("a Huffman code that is not in the table");
}

class gzipDecoder : public decoderBase {
public:
    explicit gzipDecoder(compressedInput* in_) : in(in_), window(WINDOWBYTES) {
        uint8_t lengths[LITERALCODES];
        for (int s = 0; s < LITERALCODES; s++) lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
        buildHuffman(&fixedLiterals, lengths, LITERALCODES);
        std::fill(lengths, lengths + DISTANCECODES, uint8_t(5));
        buildHuffman(&fixedDistances, lengths, DISTANCECODES);
    }
    void next(const uint8_t** data, size_t* size) override;

private:
    // the bit reader: DEFLATE packs its fields lowest bit first
    void refill() {
        if (in->end - in->next >= 8) {
            // eight bytes at once; the bits past the counted ones are the stream's next bits, which
            // a later refill writes over with the same values
            uint64_t v = 0;
            for (int i = 7; i >= 0; i--) v = (v << 8) | in->next[i];
            bits |= v << bitCount;
            in->next += (63 - bitCount) >> 3;
            bitCount |= 56;
            return;
        }
        while (bitCount <= 56) {
            if (in->next == in->end && !in->refill()) return;
            bits |= uint64_t(*in->next++) << bitCount;
            bitCount += 8;
        }
    }
    uint32_t takeBits(unsigned count) {
        if (bitCount < count) {
            refill();
            if (bitCount < count) throw decompressError(in->truncatedText);
        }
        uint32_t v = uint32_t(bits & ((uint64_t(1) << count) - 1));
        bits >>= count;
        bitCount -= count;
        return v;
    }
    unsigned decodeSymbol(const huffmanStruct& h) {
        if (bitCount < MAXCODEBITS) refill();
        unsigned symbol, length;
        const unsigned entry = h.fast[bits & ((1u << FASTBITS) - 1)];
        if (entry) {
            symbol = entry >> 4;
            length = entry & 15;
        } else {
            slowDecode(h, bits, &symbol, &length);
        }
        if (length > bitCount) throw decompressError(in->truncatedText);
        bits >>= length;
        bitCount -= length;
        return symbol;
    }
    void alignToByte() {
        bits >>= bitCount & 7;
        bitCount &= ~7u;
    }
    // whether bytes follow (at a byte boundary)
    bool moreInput() {
        if (bitCount >= 8) return true;
        bits = 0; // nothing counted is left: drop the look-ahead before reading bytes directly
        return !in->atEnd();
    }

    void readMemberHeader();
    void readBlockHeader();
    void readDynamicCodes();
    void copyStored(size_t limit);
    void decodeCoded(size_t limit);
    void finishMember();

    enum phaseKind { MEMBERHEADER, BLOCKHEADER, STORED, CODED, MEMBEREND, FINISHED };
    phaseKind phase = MEMBERHEADER;
    compressedInput* in;
    uint64_t bits = 0;
    unsigned bitCount = 0;

    std::vector<uint8_t> window;
    size_t pos = 0;
    size_t checkedUpTo = 0; // window bytes of this call already in the member's CRC
    uint64_t total = 0;     // the member's output so far
    uint32_t crc = 0;
    long members = 0;

    bool finalBlock = false;
    uint32_t storedLeft = 0;
    uint32_t pendingLength = 0, pendingDistance = 0;
    huffmanStruct fixedLiterals, fixedDistances, dynamicLiterals, dynamicDistances, codeLengths;
    const huffmanStruct* literals = nullptr;
    const huffmanStruct* distances = nullptr;
};

void gzipDecoder::next(const uint8_t** data, size_t* size) {
    if (pos == WINDOWBYTES) pos = 0;
    const size_t start = pos;
    checkedUpTo = pos;
    while (pos < WINDOWBYTES && phase != FINISHED) {
        switch (phase) {
        case MEMBERHEADER: readMemberHeader(); break;
        case BLOCKHEADER: readBlockHeader(); break;
        case STORED: copyStored(WINDOWBYTES); break;
        case CODED: decodeCoded(WINDOWBYTES); break;
        case MEMBEREND: finishMember(); break;
        case FINISHED: break;
        }
    }
    crc = crc32Update(crc, window.data() + checkedUpTo, pos - checkedUpTo);
    *data = window.data() + start;
    *size = pos - start;
}

void gzipDecoder::readMemberHeader() {
    uint32_t headerCrc = 0;
    auto nextByte = [&]() {
        const uint8_t b = uint8_t(takeBits(8));
        headerCrc = crc32Update(headerCrc, &b, 1);
        return b;
    };
    const uint8_t id1 = nextByte(), id2 = nextByte();
    if (id1 != 0x1F || id2 != 0x8B) corrupt("what follows member " + std::to_string(members) + " is not a gzip member");
    members++;
    const std::string member = "member " + std::to_string(members);
    const unsigned method = nextByte();
    if (method != GZIPMETHODDEFLATE)
        throw decompressError("unsupported gzip compression method " + std::to_string(method) + " in " + member);
    const unsigned flags = nextByte();
    if (flags & FLAGSRESERVED) throw decompressError("unsupported gzip header flags in " + member);
    for (int i = 0; i < 6; i++) nextByte(); // time, extra flags, system
    if (flags & FLAGEXTRA) {
        const unsigned low = nextByte();
        const unsigned extraBytes = low | unsigned(nextByte()) << 8;
        for (unsigned i = 0; i < extraBytes; i++) nextByte();
    }
    if (flags & FLAGNAME)
        while (nextByte() != 0) {}
    if (flags & FLAGCOMMENT)
        while (nextByte() != 0) {}
    if (flags & FLAGHEADERCRC) {
        const uint32_t expected = headerCrc & 0xFFFF;
        if (takeBits(16) != expected) corrupt("header CRC mismatch in " + member);
    }
    crc = 0;
    total = 0;
    checkedUpTo = pos;
    finalBlock = false;
    phase = BLOCKHEADER;
}

void gzipDecoder::readBlockHeader() {
    if (finalBlock) {
        phase = MEMBEREND;
        return;
    }
    finalBlock = takeBits(1) != 0;
    switch (takeBits(2)) {
    case 0: {
        alignToByte();
        const uint32_t length = takeBits(16), complement = takeBits(16);
        if (length != (~complement & 0xFFFF)) corrupt("a stored block's length damaged");
        storedLeft = length;
        phase = STORED;
        break;
    }
    case 1:
        literals = &fixedLiterals;
        distances = &fixedDistances;
        phase = CODED;
        break;
    case 2:
        readDynamicCodes();
        literals = &dynamicLiterals;
        distances = &dynamicDistances;
        phase = CODED;
        break;
    default: corrupt("a block of the reserved type 3");
    }
}

void gzipDecoder::readDynamicCodes() {
    const int literalCodes = int(takeBits(5)) + 257, distanceCodes = int(takeBits(5)) + 1;
    const int lengthCodes = int(takeBits(4)) + 4;
    if (literalCodes > 286 || distanceCodes > 30) corrupt("too many length or distance codes");
    uint8_t lengths[LITERALCODES + DISTANCECODES] = {};
    for (int i = 0; i < lengthCodes; i++) lengths[CODELENGTHORDER[i]] = uint8_t(takeBits(3));
    buildHuffman(&codeLengths, lengths, CODELENGTHCODES);
    std::fill(lengths, lengths + CODELENGTHCODES, uint8_t(0));
    // the code lengths of both codes, in one run: 16 repeats the last length, 17 and 18 give zeros
    const int all = literalCodes + distanceCodes;
    for (int i = 0; i < all;) {
        const unsigned symbol = decodeSymbol(codeLengths);
        if (symbol < 16) {
            lengths[i++] = uint8_t(symbol);
            continue;
        }
        uint8_t value = 0;
        unsigned repeat;
        if (symbol == 16) {
            if (i == 0) corrupt("a repeated code length with none before it");
            value = lengths[i - 1];
            repeat = 3 + takeBits(2);
        } else if (symbol == 17) {
            repeat = 3 + takeBits(3);
        } else {
            repeat = 11 + takeBits(7);
        }
        if (i + int(repeat) > all) corrupt("code lengths run past their count");
        std::fill(lengths + i, lengths + i + repeat, value);
        i += int(repeat);
    }
    if (lengths[ENDOFBLOCK] == 0) corrupt("a block without an end-of-block code");
    buildHuffman(&dynamicLiterals, lengths, literalCodes);
    buildHuffman(&dynamicDistances, lengths + literalCodes, distanceCodes);
}

void gzipDecoder::copyStored(size_t limit) {
    while (storedLeft > 0 && pos < limit && bitCount >= 8) {
        window[pos++] = uint8_t(bits);
        bits >>= 8;
        bitCount -= 8;
        storedLeft--;
        total++;
    }
    if (storedLeft > 0 && pos < limit) {
        bits = 0; // the bit reader is empty: the look-ahead bytes are read directly now
        while (storedLeft > 0 && pos < limit) {
            if (in->next == in->end && !in->refill()) throw decompressError(in->truncatedText);
            const size_t take = std::min({size_t(storedLeft), limit - pos, size_t(in->end - in->next)});
            std::memcpy(window.data() + pos, in->next, take);
            in->next += take;
            pos += take;
            total += take;
            storedLeft -= uint32_t(take);
        }
    }
    if (storedLeft == 0) phase = BLOCKHEADER;
}

void gzipDecoder::decodeCoded(size_t limit) {
    uint8_t* const w = window.data();
    auto copyMatch = [&](uint32_t length, uint32_t distance) {
        const size_t count = std::min<size_t>(length, limit - pos);
        size_t from = (pos - distance) & (WINDOWBYTES - 1);
        if (from < pos && distance >= count) {
            std::memcpy(w + pos, w + from, count);
            pos += count;
        } else {
            for (size_t i = 0; i < count; i++) {
                w[pos++] = w[from];
                from = (from + 1) & (WINDOWBYTES - 1);
            }
        }
        total += count;
        pendingLength = uint32_t(length - count);
        pendingDistance = distance;
    };
    if (pendingLength > 0) copyMatch(pendingLength, pendingDistance);
    while (pos < limit) {
        if (bitCount < 48) refill(); // enough for a length, a distance and their extra bits
        const unsigned symbol = decodeSymbol(*literals);
        if (symbol < 256) {
            w[pos++] = uint8_t(symbol);
            total++;
            continue;
        }
        if (symbol == ENDOFBLOCK) {
            phase = BLOCKHEADER;
            return;
        }
        const unsigned lengthCode = symbol - 257;
        if (lengthCode >= 29) corrupt("an invalid length code");
        const uint32_t length = LENGTHBASE[lengthCode] + takeBits(LENGTHEXTRA[lengthCode]);
        const unsigned distanceCode = decodeSymbol(*distances);
        if (distanceCode >= 30) corrupt("an invalid distance code");
        const uint32_t distance = DISTANCEBASE[distanceCode] + takeBits(DISTANCEEXTRA[distanceCode]);
        if (distance > total) corrupt("a distance reaching before the start of the data");
        copyMatch(length, distance);
    }
}

void gzipDecoder::finishMember() {
    crc = crc32Update(crc, window.data() + checkedUpTo, pos - checkedUpTo);
    checkedUpTo = pos;
    alignToByte();
    const std::string member = "member " + std::to_string(members);
    if (takeBits(32) != crc) corrupt("CRC mismatch in " + member);
    if (takeBits(32) != uint32_t(total)) corrupt("length mismatch in " + member);
    phase = moreInput() ? MEMBERHEADER : FINISHED;
}

} // namespace

std::unique_ptr<decoderBase> makeGzipDecoder(compressedInput* in) { return std::make_unique<gzipDecoder>(in); }
