// LZMA2 and the LZMA decoder under it: a range decoder over adaptive bit probabilities that
// reads literals, matches and repeated matches into the window.
#include <algorithm>
#include <cstring>

#include "decompressCore.h"

namespace {

// the range decoder
constexpr int PROBABILITYBITS = 11;
constexpr uint32_t PROBABILITYONE = 1u << PROBABILITYBITS;
constexpr int ADAPTBITS = 5;
constexpr uint32_t RANGETOP = 1u << 24;

// the model
constexpr int STATES = 12;
constexpr unsigned LITERALSTATES = 7; // states below follow a literal
constexpr int POSITIONSTATESMAX = 16; // pb is at most 4
constexpr int LITERALCONTEXTSMAX = 16; // lc + lp is at most 4 in LZMA2
constexpr int LITERALCODERSIZE = 0x300;
constexpr uint32_t MATCHMINLENGTH = 2;
constexpr int DISTANCELENGTHSTATES = 4;
constexpr int DISTANCESLOTBITS = 6;
constexpr unsigned ENDPOSITIONMODEL = 14; // distance slots below use the tree of special
constexpr int FULLDISTANCES = 128;
constexpr int ALIGNBITS = 4;
constexpr uint32_t ENDMARKER = 0xFFFFFFFFu;

// LZMA2 chunks
constexpr size_t CHUNKMAXCOMPRESSED = 1 << 16;
// A symbol reads at most about fifty bytes; the range decoder may run that far past a damaged
// chunk's end into this slack before the loop notices.
constexpr size_t CHUNKSLACK = 64;
constexpr size_t WINDOWFIRSTBYTES = 1 << 16;
// The largest piece handed out at a time.
constexpr size_t OUTPUTSTEP = 1 << 18;

struct lengthCoderStruct {
    uint16_t choice, choice2;
    uint16_t low[POSITIONSTATESMAX][8];
    uint16_t mid[POSITIONSTATESMAX][8];
    uint16_t high[256];
};

// Every probability of the model; nothing but uint16_t, so a reset fills it as one array.
struct lzmaProbabilitiesStruct {
    uint16_t isMatch[STATES][POSITIONSTATESMAX];
    uint16_t isRep[STATES], isRepG0[STATES], isRepG1[STATES], isRepG2[STATES];
    uint16_t isRep0Long[STATES][POSITIONSTATESMAX];
    uint16_t slot[DISTANCELENGTHSTATES][1 << DISTANCESLOTBITS];
    uint16_t special[FULLDISTANCES - ENDPOSITIONMODEL];
    uint16_t align[1 << ALIGNBITS];
    lengthCoderStruct matchLength, repLength;
    uint16_t literal[LITERALCONTEXTSMAX][LITERALCODERSIZE];
};

struct rangeStruct {
    uint32_t range = 0, code = 0;
    const uint8_t* in = nullptr;
};

[[noreturn]] void damaged(const char* why) { throw lzmaError(why); }

// The decoder normalises after every bit, as the encoder does, so that a chunk's last bit
// leaves the decoder exactly at the chunk's end with nothing left in the code.
inline void normalize(rangeStruct& rc) {
    if (rc.range < RANGETOP) {
        rc.range <<= 8;
        rc.code = (rc.code << 8) | *rc.in++;
    }
}

inline unsigned decodeBit(rangeStruct& rc, uint16_t& probability) {
    uint32_t bound = (rc.range >> PROBABILITYBITS) * probability;
    unsigned bit;
    if (rc.code < bound) {
        rc.range = bound;
        probability = uint16_t(probability + ((PROBABILITYONE - probability) >> ADAPTBITS));
        bit = 0;
    } else {
        rc.range -= bound;
        rc.code -= bound;
        probability = uint16_t(probability - (probability >> ADAPTBITS));
        bit = 1;
    }
    normalize(rc);
    return bit;
}

// Highest bit first, probabilities in a tree indexed from 1.
inline unsigned decodeTree(rangeStruct& rc, uint16_t* probabilities, int bits) {
    unsigned m = 1;
    for (int i = 0; i < bits; i++) m = (m << 1) | decodeBit(rc, probabilities[m]);
    return m - (1u << bits);
}

// Lowest bit first; the tree's node m (from 1) sits at probabilities[m - 1].
inline unsigned decodeReverseTree(rangeStruct& rc, uint16_t* probabilities, int bits) {
    unsigned m = 1, result = 0;
    for (int i = 0; i < bits; i++) {
        unsigned bit = decodeBit(rc, probabilities[m - 1]);
        m = (m << 1) | bit;
        result |= bit << i;
    }
    return result;
}

// Bits of even chance, highest first.
inline uint32_t decodeDirect(rangeStruct& rc, int bits) {
    uint32_t result = 0;
    for (int i = 0; i < bits; i++) {
        rc.range >>= 1;
        uint32_t bit = rc.code >= rc.range;
        if (bit) rc.code -= rc.range;
        result = (result << 1) | bit;
        normalize(rc);
    }
    return result;
}

// A match length less the shortest, 0 to 271.
inline uint32_t decodeLength(rangeStruct& rc, lengthCoderStruct& coder, unsigned positionState) {
    if (!decodeBit(rc, coder.choice)) return decodeTree(rc, coder.low[positionState], 3);
    if (!decodeBit(rc, coder.choice2)) return 8 + decodeTree(rc, coder.mid[positionState], 3);
    return 16 + decodeTree(rc, coder.high, 8);
}

// A match distance less one; the slot gives its highest bits, the rest follow by slot.
inline uint32_t decodeDistance(rangeStruct& rc, lzmaProbabilitiesStruct& p, uint32_t length) {
    unsigned slot = decodeTree(rc, p.slot[std::min<uint32_t>(length, DISTANCELENGTHSTATES - 1)], DISTANCESLOTBITS);
    if (slot < 4) return slot;
    int directBits = int(slot >> 1) - 1;
    uint32_t distance = (2u | (slot & 1)) << directBits;
    if (slot < ENDPOSITIONMODEL) return distance + decodeReverseTree(rc, p.special + (distance - slot), directBits);
    distance += decodeDirect(rc, directBits - ALIGNBITS) << ALIGNBITS;
    return distance + decodeReverseTree(rc, p.align, ALIGNBITS);
}

enum chunkKind { NOCHUNK, UNCOMPRESSEDCHUNK, LZMACHUNK };

} // namespace

struct lzma2Decoder::stateStruct {
    // the window: pos is where the next byte goes, total counts the bytes since the dictionary
    // was last reset (no distance reaches further back, and the position contexts count from it)
    std::vector<uint8_t> window;
    size_t pos = 0;
    uint64_t total = 0;
    uint32_t dictionaryBytes = 0;

    std::vector<uint8_t> chunk = std::vector<uint8_t>(CHUNKMAXCOMPRESSED + CHUNKSLACK);
    const uint8_t* chunkEnd = nullptr;
    chunkKind kind = NOCHUNK;
    uint32_t chunkLeft = 0; // bytes of output the chunk still holds
    bool needDictionaryReset = true, needProperties = true, ended = false;

    rangeStruct rc;
    lzmaProbabilitiesStruct p;
    unsigned state = 0;
    uint32_t rep[4] = {0, 0, 0, 0};
    unsigned lc = 0, lp = 0, pb = 0;
    uint32_t pendingLength = 0; // bytes of the last match that did not fit before the limit

    void resetState() {
        uint16_t* all = reinterpret_cast<uint16_t*>(&p);
        std::fill(all, all + sizeof(p) / sizeof(uint16_t), uint16_t(PROBABILITYONE / 2));
        state = 0;
        std::fill(rep, rep + 4, 0);
        pendingLength = 0;
    }

    bool startChunk(compressedInput* in);
    void decodeLzma(size_t limit);
};

lzma2Decoder::lzma2Decoder() : s(std::make_unique<stateStruct>()) {}
lzma2Decoder::~lzma2Decoder() = default;

void lzma2Decoder::startBlock(uint32_t dictionaryBytes) {
    // nothing before a block is needed: starting at the window's front keeps it no larger than
    // the block's output needs
    s->dictionaryBytes = dictionaryBytes;
    s->pos = 0;
    s->total = 0;
    s->kind = NOCHUNK;
    s->chunkLeft = 0;
    s->needDictionaryReset = s->needProperties = true;
    s->ended = false;
    s->pendingLength = 0;
}

// Reads the next chunk's header (and an LZMA chunk's compressed bytes) after checking that
// the previous chunk ended cleanly; false at the end of the LZMA2 data.
bool lzma2Decoder::stateStruct::startChunk(compressedInput* in) {
    if (kind == LZMACHUNK) {
        if (pendingLength > 0) damaged("a match runs past the end of its LZMA2 chunk");
        if (rc.in != chunkEnd || rc.code != 0) damaged("an LZMA2 chunk does not end where its size says");
    }
    kind = NOCHUNK;
    const unsigned control = in->byte();
    if (control == 0x00) {
        ended = true;
        return false;
    }
    if (control < 0x80) {
        if (control > 0x02) damaged("invalid LZMA2 chunk type");
        if (control == 0x01) {
            total = 0;
            needDictionaryReset = false;
        } else if (needDictionaryReset) {
            damaged("LZMA2 data does not start with a dictionary reset");
        }
        unsigned high = in->byte();
        chunkLeft = ((high << 8) | in->byte()) + 1;
        kind = UNCOMPRESSEDCHUNK;
        return true;
    }
    unsigned b1 = in->byte();
    unsigned b2 = in->byte();
    const uint32_t unpacked = (((control & 0x1F) << 16) | (b1 << 8) | b2) + 1;
    b1 = in->byte();
    b2 = in->byte();
    const size_t packed = ((b1 << 8) | b2) + 1;
    const unsigned reset = (control >> 5) & 3; // 1 state, 2 also properties, 3 also the dictionary
    if (reset == 3) {
        total = 0;
        needDictionaryReset = false;
    } else if (needDictionaryReset) {
        damaged("LZMA2 data does not start with a dictionary reset");
    }
    if (reset >= 2) {
        unsigned properties = in->byte();
        if (properties >= 9 * 5 * 5) damaged("invalid LZMA properties");
        lc = properties % 9;
        lp = (properties / 9) % 5;
        pb = properties / 45;
        if (lc + lp > 4) damaged("LZMA2 literal contexts lc + lp above 4");
        needProperties = false;
    } else if (needProperties) {
        damaged("the first LZMA chunk carries no properties");
    }
    if (reset >= 1) resetState();
    if (packed < 5) damaged("an LZMA chunk too short for its range coder");
    in->bytes(chunk.data(), packed);
    chunkEnd = chunk.data() + packed;
    if (chunk[0] != 0) damaged("an LZMA chunk's range coder starts wrong");
    rc.range = 0xFFFFFFFFu;
    rc.code = uint32_t(chunk[1]) << 24 | uint32_t(chunk[2]) << 16 | uint32_t(chunk[3]) << 8 | chunk[4];
    rc.in = chunk.data() + 5;
    kind = LZMACHUNK;
    chunkLeft = unpacked;
    return true;
}

// Decodes LZMA symbols into the window until it reaches limit (at most the window's end and
// the chunk's end). A match cut by the limit is finished by the next call.
void lzma2Decoder::stateStruct::decodeLzma(size_t limit) {
    rangeStruct r = rc;
    uint8_t* const w = window.data();
    const size_t size = window.size();
    const uint64_t totalAtZero = total - pos; // total = totalAtZero + pos throughout (no wrap before limit)
    size_t at = pos;
    unsigned st = state;
    uint32_t rep0 = rep[0], rep1 = rep[1], rep2 = rep[2], rep3 = rep[3];
    const unsigned positionMask = (1u << pb) - 1, literalPositionMask = (1u << lp) - 1;

    // copies length bytes from rep0 + 1 back, as far as the limit allows
    auto copyMatch = [&](uint32_t length) {
        size_t count = std::min<size_t>(length, limit - at);
        size_t from = at > rep0 ? at - rep0 - 1 : at + size - rep0 - 1;
        if (from < at && rep0 + 1 >= count) {
            std::memcpy(w + at, w + from, count);
            at += count;
        } else {
            for (size_t i = 0; i < count; i++) {
                w[at++] = w[from++];
                if (from == size) from = 0;
            }
        }
        pendingLength = uint32_t(length - count);
    };
    auto distanceFits = [&](uint64_t bytesBefore) { return rep0 < bytesBefore && rep0 < size; };

    if (pendingLength > 0) copyMatch(pendingLength);
    while (at < limit) {
        if (r.in > chunkEnd) damaged("LZMA data runs past the end of its chunk");
        const uint64_t done = totalAtZero + at;
        const unsigned positionState = unsigned(done) & positionMask;
        if (!decodeBit(r, p.isMatch[st][positionState])) {
            // a literal, coded in the context of the byte before (and of the byte at rep0 after a match)
            unsigned previous = done > 0 ? w[at > 0 ? at - 1 : size - 1] : 0;
            uint16_t* probabilities = p.literal[((unsigned(done) & literalPositionMask) << lc) + (previous >> (8 - lc))];
            unsigned symbol = 1;
            if (st >= LITERALSTATES) {
                if (!distanceFits(done)) damaged("a match reaches before the start of the data");
                unsigned matchByte = w[at > rep0 ? at - rep0 - 1 : at + size - rep0 - 1];
                do {
                    unsigned matchBit = (matchByte >> 7) & 1;
                    matchByte <<= 1;
                    unsigned bit = decodeBit(r, probabilities[0x100 + (matchBit << 8) + symbol]);
                    symbol = (symbol << 1) | bit;
                    if (bit != matchBit) break;
                } while (symbol < 0x100);
            }
            while (symbol < 0x100) symbol = (symbol << 1) | decodeBit(r, probabilities[symbol]);
            w[at++] = uint8_t(symbol);
            st = st < 4 ? 0 : st < 10 ? st - 3 : st - 6;
            continue;
        }
        uint32_t length;
        if (!decodeBit(r, p.isRep[st])) {
            // a match at a new distance
            length = decodeLength(r, p.matchLength, positionState);
            st = st < LITERALSTATES ? 7 : 10;
            uint32_t distance = decodeDistance(r, p, length);
            if (distance == ENDMARKER) damaged("an end marker inside an LZMA2 chunk");
            rep3 = rep2;
            rep2 = rep1;
            rep1 = rep0;
            rep0 = distance;
        } else {
            // a match at one of the last four distances
            if (!decodeBit(r, p.isRepG0[st])) {
                if (!decodeBit(r, p.isRep0Long[st][positionState])) {
                    // one byte from rep0
                    if (!distanceFits(done)) damaged("a match reaches before the start of the data");
                    st = st < LITERALSTATES ? 9 : 11;
                    w[at] = w[at > rep0 ? at - rep0 - 1 : at + size - rep0 - 1];
                    at++;
                    continue;
                }
            } else {
                uint32_t distance;
                if (!decodeBit(r, p.isRepG1[st])) {
                    distance = rep1;
                } else {
                    if (!decodeBit(r, p.isRepG2[st])) {
                        distance = rep2;
                    } else {
                        distance = rep3;
                        rep3 = rep2;
                    }
                    rep2 = rep1;
                }
                rep1 = rep0;
                rep0 = distance;
            }
            length = decodeLength(r, p.repLength, positionState);
            st = st < LITERALSTATES ? 8 : 11;
        }
        if (!distanceFits(done)) damaged("a match reaches before the start of the data");
        copyMatch(length + MATCHMINLENGTH);
    }
    total = totalAtZero + at;
    pos = at;
    rc = r;
    state = st;
    rep[0] = rep0;
    rep[1] = rep1;
    rep[2] = rep2;
    rep[3] = rep3;
}

void lzma2Decoder::next(compressedInput* in, const uint8_t** data, size_t* size) {
    stateStruct& d = *s;
    *size = 0;
    if (d.ended) return;
    if (d.pos == d.window.size()) {
        if (d.window.size() < d.dictionaryBytes)
            d.window.resize(std::min<size_t>(std::max(2 * d.window.size(), WINDOWFIRSTBYTES), d.dictionaryBytes));
        else
            d.pos = 0;
    }
    const size_t start = d.pos, limit = std::min(d.window.size(), start + OUTPUTSTEP);
    while (d.pos < limit) {
        if (d.chunkLeft == 0) {
            if (!d.startChunk(in)) break;
            continue;
        }
        const size_t before = d.pos, stop = std::min<uint64_t>(limit, d.pos + uint64_t(d.chunkLeft));
        if (d.kind == UNCOMPRESSEDCHUNK) {
            in->bytes(d.window.data() + d.pos, stop - d.pos);
            d.pos = stop;
            d.total += stop - before;
        } else {
            d.decodeLzma(stop);
        }
        d.chunkLeft -= uint32_t(d.pos - before);
    }
    *data = d.window.data() + start;
    *size = d.pos - start;
}
