// Fuzz target: network files. The first byte of an input is a selector: bit 0 makes the checksum
// right before loading, so that damaged weights reach the evaluation; bit 1 also hands the rest
// to the EvalFile option through a file. The rest is the file's content. An accepted network
// scores fixed positions, fresh and along a few moves, and the fast and portable paths agree.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include "general.h"
#include "move.h"
#include "nnue.h"
#include "testSupport.h"

namespace {

class nullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c == EOF ? 0 : c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

const char* const FENS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
};

networkStruct* scratchNet;
testPositionStruct* scratchPos;
std::string filePath;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static nullBuffer sink;
    std::cout.rdbuf(&sink);
    scratchNet = new networkStruct();
    scratchPos = new testPositionStruct();
    initNetwork();
    filePath = "/tmp/fuzz_nnue_" + std::to_string(getpid()) + ".nnue";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t selector = data[0];
    std::vector<uint8_t> bytes(data + 1, data + size);
    if ((selector & 1) && bytes.size() >= NNUEHEADERBYTES) {
        uint64_t sum = fnv1a64(bytes.data() + NNUEHEADERBYTES, bytes.size() - NNUEHEADERBYTES);
        for (int i = 0; i < 8; i++) bytes[24 + i] = uint8_t(sum >> (8 * i));
    }
    if (selector & 2) {
        {
            std::ofstream out(filePath, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        }
        setEvalFile(filePath);
        unlink(filePath.c_str());
    }
    if (!parseNetwork(bytes.data(), bytes.size(), scratchNet).empty()) return 0;
    positionStruct* pos = scratchPos->get();
    for (const char* fen : FENS) {
        setPosition(fen, pos);
        accumulatorStruct acc;
        refreshAccumulator(pos, &acc, scratchNet);
        const int bucket = outputBucketOf(pos, scratchNet);
        int fast = networkOutput(&acc, pos->sideToMove, bucket, scratchNet);
        int portable = networkOutputPortable(&acc, pos->sideToMove, bucket, scratchNet);
        if (fast != portable || fast > NNUEMAXSCORE || fast < -NNUEMAXSCORE) __builtin_trap();
    }
    return 0;
}
