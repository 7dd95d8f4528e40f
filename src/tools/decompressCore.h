// What the decoders of decompress.cpp share: the compressed input, the decoder interface, the
// error they throw, and the checks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// Thrown by a decoder on damaged or unsupported data; the text is what the reader is told.
struct decompressError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The bytes of a compressed file, read in pieces of a bounded size.
class compressedInput {
public:
    explicit compressedInput(std::FILE* file); // takes the file over
    explicit compressedInput(std::string bytes);
    ~compressedInput();
    compressedInput(const compressedInput&) = delete;
    compressedInput& operator=(const compressedInput&) = delete;

    // Unread bytes of the current piece; decoders take them by moving next.
    const uint8_t* next = nullptr;
    const uint8_t* end = nullptr;
    // What a decoder reports when the data ends too soon ("truncated xz data").
    std::string truncatedText = "truncated data";

    // Reads the next piece once next has reached end; false at the end of the data.
    bool refill();
    // Makes at least count bytes (count at most one piece) unread in the current piece where
    // the data has them; false when it ends first.
    bool fill(size_t count);
    bool atEnd() { return next == end && !refill(); }
    // The next byte; throws truncatedText at the end.
    uint8_t byte() {
        if (next == end && !refill()) throw decompressError(truncatedText);
        return *next++;
    }
    void bytes(uint8_t* out, size_t count);
    // Bytes taken so far.
    uint64_t offset() const { return consumedBefore + uint64_t(next - pieceStart); }

private:
    std::FILE* file = nullptr;
    std::string memory;
    std::vector<uint8_t> piece;
    const uint8_t* pieceStart = nullptr;
    uint64_t consumedBefore = 0;
};

// One kind of data: each call gives the next stretch of output.
class decoderBase {
public:
    virtual ~decoderBase() = default;
    // The next bytes of output, valid until the next call; size 0 at the proper end of the data.
    // Throws decompressError on damaged or unsupported data.
    virtual void next(const uint8_t** data, size_t* size) = 0;
};

std::unique_ptr<decoderBase> makeXzDecoder(compressedInput* in);
std::unique_ptr<decoderBase> makeGzipDecoder(compressedInput* in);

// SHA-256, the strongest of xz's checks.
struct sha256Struct {
    uint32_t state[8];
    uint8_t block[64];
    size_t blockBytes = 0;
    uint64_t totalBytes = 0;
    sha256Struct();
    void update(const uint8_t* data, size_t size);
    void finish(uint8_t digest[32]);
};

// Damage found inside LZMA2 data; the xz decoder adds the block it was found in.
struct lzmaError : decompressError {
    using decompressError::decompressError;
};

// The LZMA2 data of one xz block after the other. The window of the last bytes, which the
// matches copy from, is the output as well: it grows by doubling up to the block's dictionary
// and then wraps round.
class lzma2Decoder {
public:
    lzma2Decoder();
    ~lzma2Decoder();
    lzma2Decoder(const lzma2Decoder&) = delete;
    lzma2Decoder& operator=(const lzma2Decoder&) = delete;
    void startBlock(uint32_t dictionaryBytes);
    // The next bytes of output, inside the window; size 0 at the end of the block's LZMA2 data.
    void next(compressedInput* in, const uint8_t** data, size_t* size);

private:
    struct stateStruct;
    std::unique_ptr<stateStruct> s;
};
