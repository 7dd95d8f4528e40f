// Reading compressed text: every form Debian's xz and gzip write (presets, checks, several
// blocks, streams and members, stored data) gives the plain file byte for byte; plain files pass
// through; flipped bytes, truncations and forms this reader refuses end the stream with a problem
// that says what happened, and never with wrong text reported as good.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/decompress.h"

namespace {

const std::string DIR = std::string(KESTRUNE_TEST_DATA) + "/decompress";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct readResultStruct {
    bool opened = false;
    std::string text;
    std::string problem; // the open's problem, or the stream's after reading
    bool bad = false;
};

// Reads everything in pieces of an odd size, so that reads straddle the decoder's pieces.
readResultStruct readAll(std::istream* in) {
    readResultStruct result;
    result.opened = true;
    char piece[1000];
    while (in->read(piece, sizeof(piece)) || in->gcount() > 0) result.text.append(piece, size_t(in->gcount()));
    result.bad = in->bad();
    result.problem = textInputProblem(*in);
    return result;
}

readResultStruct readPath(const std::string& path) {
    std::string problem;
    std::unique_ptr<std::istream> in = openTextInput(path, &problem);
    if (!in) return readResultStruct{false, "", problem, false};
    return readAll(in.get());
}

readResultStruct readBytes(const std::string& name, const std::string& bytes) {
    std::string problem;
    std::unique_ptr<std::istream> in = openTextInputBytes(name, bytes, &problem);
    if (!in) return readResultStruct{false, "", problem, false};
    return readAll(in.get());
}

// mixed.bin of make.sh: text, noise from a 64-bit LCG, text.
std::string mixedBytes() {
    const std::string text = readFile(DIR + "/games.pgn");
    std::string noise;
    uint64_t state = 28;
    for (int i = 0; i < 140000; i++) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        noise += char(state >> 56);
    }
    return text.substr(0, 20000) + noise + text.substr(text.size() - 20000);
}

uint32_t loadLittle32(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--) v = (v << 8) | uint8_t(bytes[at + i]);
    return v;
}

void storeLittle32(std::string* bytes, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) (*bytes)[at + i] = char(v >> (8 * i));
}

uint32_t crc32Of(const std::string& bytes, size_t from, size_t count) {
    return crc32Update(0, reinterpret_cast<const uint8_t*>(bytes.data()) + from, count);
}

// A damaged read: no stream, or a bad one, and in both cases a problem that names the file.
void expectDamageFound(const readResultStruct& result, const std::string& name, const std::string& what) {
    EXPECT_FALSE(result.problem.empty()) << what;
    EXPECT_EQ(result.problem.rfind(name + ": ", 0), 0u) << what << ": " << result.problem;
    if (result.opened) {
        EXPECT_TRUE(result.bad) << what;
    }
}

const char* const XZFORMS[] = {"games.pgn.xz",       "games-9e.pgn.xz",    "games-0.pgn.xz",     "games-crc32.pgn.xz",
                               "games-none.pgn.xz",  "games-sha256.pgn.xz", "games-blocks.pgn.xz", "games-dict4k.pgn.xz",
                               "games-lc4.pgn.xz",   "games-two.pgn.xz"};
const char* const GZIPFORMS[] = {"games.pgn.gz", "games-9.pgn.gz", "games-1.pgn.gz", "games-named.pgn.gz", "games-two.pgn.gz"};

} // namespace

TEST(DecompressForms, EveryXzAndGzipFormGivesThePlainFile) {
    const std::string text = readFile(DIR + "/games.pgn");
    const std::string mixed = mixedBytes();
    std::vector<std::pair<std::string, const std::string*>> cases;
    for (const char* name : XZFORMS) cases.push_back({name, &text});
    for (const char* name : GZIPFORMS) cases.push_back({name, &text});
    // compressed and stored pieces in one file (LZMA2's uncompressed chunk between two
    // compressed ones, deflate's stored blocks); empty input
    const std::string empty;
    cases.push_back({"mixed.bin.xz", &mixed});
    cases.push_back({"mixed.bin.gz", &mixed});
    cases.push_back({"empty.xz", &empty});
    cases.push_back({"empty.gz", &empty});
    for (const auto& [name, expected] : cases) {
        readResultStruct result = readPath(DIR + "/" + name);
        EXPECT_TRUE(result.opened) << name;
        EXPECT_EQ(result.problem, "") << name;
        EXPECT_FALSE(result.bad) << name;
        EXPECT_TRUE(result.text == *expected) << name << ": " << result.text.size() << " bytes, not " << expected->size();
    }
    // the kind is found from the bytes, whatever the name says
    readResultStruct renamed = readBytes("games.pgn", readFile(DIR + "/games.pgn.xz"));
    EXPECT_TRUE(renamed.text == text);
    renamed = readBytes("games.txt", readFile(DIR + "/games-9.pgn.gz"));
    EXPECT_TRUE(renamed.text == text);
}

TEST(DecompressForms, PlainFilesPassThroughAndReadLineByLine) {
    readResultStruct result = readPath(DIR + "/games.pgn");
    EXPECT_EQ(result.problem, "");
    EXPECT_TRUE(result.text == readFile(DIR + "/games.pgn"));
    const std::string mixed = mixedBytes();
    EXPECT_TRUE(readBytes("mixed.bin", mixed).text == mixed);
    EXPECT_EQ(readBytes("empty.pgn", "").text, "");
    EXPECT_EQ(readBytes("one.pgn", "1. e4 *").text, "1. e4 *");

    // getline, as the PGN reader reads, gives the same lines from every form
    std::vector<std::string> plainLines;
    std::ifstream plain(DIR + "/games.pgn");
    for (std::string line; std::getline(plain, line);) plainLines.push_back(line);
    for (const char* name : {"games.pgn", "games-blocks.pgn.xz", "games-two.pgn.gz"}) {
        std::string problem;
        std::unique_ptr<std::istream> in = openTextInput(DIR + "/" + name, &problem);
        ASSERT_TRUE(in) << problem;
        std::vector<std::string> lines;
        for (std::string line; std::getline(*in, line);) lines.push_back(line);
        EXPECT_TRUE(lines == plainLines) << name;
        EXPECT_FALSE(in->bad()) << name;
    }
}

TEST(DecompressForms, ManyStreamsAndMembersInARow) {
    // fifty copies: many streams with padding between some, many members
    const std::string text = readFile(DIR + "/games.pgn");
    const std::string xz = readFile(DIR + "/games-blocks.pgn.xz"), gz = readFile(DIR + "/games-1.pgn.gz");
    std::string manyXz, manyGz, expected;
    for (int copy = 0; copy < 50; copy++) {
        manyXz += xz + std::string(4 * (copy % 3), '\0');
        manyGz += gz;
        expected += text;
    }
    readResultStruct result = readBytes("many.xz", manyXz);
    EXPECT_EQ(result.problem, "");
    EXPECT_TRUE(result.text == expected);
    result = readBytes("many.gz", manyGz);
    EXPECT_EQ(result.problem, "");
    EXPECT_TRUE(result.text == expected);
}

TEST(DecompressChecks, KnownValuesAndPieces) {
    const std::string digits = "123456789";
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(digits.data());
    EXPECT_EQ(crc32Update(0, bytes, digits.size()), 0xCBF43926u);
    EXPECT_EQ(crc64Update(0, bytes, digits.size()), 0x995DC9BBDF1939FAull);
    // continued over pieces of every split, across the eight-byte steps
    const std::string text = readFile(DIR + "/games.pgn").substr(0, 100);
    const uint8_t* t = reinterpret_cast<const uint8_t*>(text.data());
    for (size_t split = 0; split <= text.size(); split += 7) {
        EXPECT_EQ(crc32Update(crc32Update(0, t, split), t + split, text.size() - split), crc32Update(0, t, text.size()));
        EXPECT_EQ(crc64Update(crc64Update(0, t, split), t + split, text.size() - split), crc64Update(0, t, text.size()));
    }
}

TEST(DecompressDamage, FlippedBytesAreFoundEverywhere) {
    // Every byte of an xz file with a check is protected by something. In a gzip member's header
    // the time, the extra flags and the system bytes (4 to 9) are not.
    for (const char* name : {"games.pgn.xz", "games-sha256.pgn.xz", "games-crc32.pgn.xz", "games-blocks.pgn.xz",
                             "games-two.pgn.xz", "mixed.bin.xz", "games.pgn.gz", "games-two.pgn.gz", "mixed.bin.gz"}) {
        const std::string original = readFile(DIR + "/" + name);
        std::vector<bool> unprotected(original.size());
        if (std::string(name).find(".gz") != std::string::npos)
            for (size_t member = 0; (member = original.find("\x1F\x8B\x08", member)) != std::string::npos; member++)
                for (size_t at = member + 4; at < member + 10 && at < original.size(); at++) unprotected[at] = true;
        const size_t step = original.size() / 97 + 1;
        for (size_t at = 0; at < original.size(); at += (at < 64 || at + 64 > original.size()) ? 1 : step) {
            if (unprotected[at]) continue;
            std::string damaged = original;
            damaged[at] = char(damaged[at] ^ 0x55);
            expectDamageFound(readBytes(name, damaged), name, std::string(name) + " byte " + std::to_string(at));
        }
    }
}

TEST(DecompressDamage, TruncationsAreFoundAtEveryKindOfPlace) {
    // single streams and members: every shorter prefix is incomplete
    for (const char* name : {"games.pgn.xz", "games-blocks.pgn.xz", "games-none.pgn.xz", "mixed.bin.xz", "empty.xz",
                             "games.pgn.gz", "mixed.bin.gz", "empty.gz"}) {
        const std::string original = readFile(DIR + "/" + name);
        const size_t step = original.size() / 61 + 1;
        for (size_t length = 0; length < original.size(); length += (length < 40 || length + 40 > original.size()) ? 1 : step)
            expectDamageFound(readBytes(name, original.substr(0, length)), name,
                              std::string(name) + " cut to " + std::to_string(length));
    }
    // the texts say what the reader met
    const std::string xz = readFile(DIR + "/games.pgn.xz");
    EXPECT_EQ(readBytes("a.xz", xz.substr(0, xz.size() / 2)).problem, "a.xz: truncated xz data");
    const std::string gz = readFile(DIR + "/games.pgn.gz");
    EXPECT_EQ(readBytes("a.gz", gz.substr(0, gz.size() / 2)).problem, "a.gz: truncated gzip data");
    // a cut inside the second stream or member keeps the first one's text, then fails
    const std::string twoXz = readFile(DIR + "/games-two.pgn.xz");
    readResultStruct cut = readBytes("two.xz", twoXz.substr(0, twoXz.size() - 100));
    EXPECT_EQ(cut.problem, "two.xz: truncated xz data");
    EXPECT_EQ(cut.text.substr(0, 20000), readFile(DIR + "/games.pgn").substr(0, 20000));
}

TEST(DecompressDamage, ProblemsNameThePlaceAndTheStreamStaysFailed) {
    std::string xz = readFile(DIR + "/games-crc32.pgn.xz");
    // the block's CRC32 sits before the index, whose size the footer gives
    const size_t indexBytes = (size_t(loadLittle32(xz, xz.size() - 8)) + 1) * 4;
    std::string badCheck = xz;
    badCheck[xz.size() - 12 - indexBytes - 4] ^= 1;
    EXPECT_EQ(readBytes("games-3.pgn.xz", badCheck).problem, "games-3.pgn.xz: corrupt xz data (check mismatch in block 1)");
    std::string badFooter = xz;
    badFooter[xz.size() - 1] ^= 1;
    EXPECT_EQ(readBytes("f.xz", badFooter).problem, "f.xz: corrupt xz data (footer of stream 1 damaged)");
    std::string badPadding = readFile(DIR + "/games-two.pgn.xz");
    const size_t secondStream = badPadding.find(std::string("\xFD" "7zXZ\0", 6), 1);
    ASSERT_NE(secondStream, std::string::npos);
    badPadding.insert(secondStream, "\0\0", 2); // six bytes of padding after the first stream
    EXPECT_EQ(readBytes("p.xz", badPadding).problem,
              "p.xz: corrupt xz data (stream padding after stream 1 not a multiple of four bytes)");

    std::string gz = readFile(DIR + "/games.pgn.gz");
    std::string badCrc = gz, badLength = gz;
    badCrc[gz.size() - 8] ^= 1;
    badLength[gz.size() - 1] ^= 1;
    EXPECT_EQ(readBytes("c.gz", badCrc).problem, "c.gz: corrupt gzip data (CRC mismatch in member 1)");
    EXPECT_EQ(readBytes("l.gz", badLength).problem, "l.gz: corrupt gzip data (length mismatch in member 1)");
    EXPECT_EQ(readBytes("t.gz", gz + "trailing").problem,
              "t.gz: corrupt gzip data (what follows member 1 is not a gzip member)");

    // after the problem every read fails the same way
    std::string problem;
    std::unique_ptr<std::istream> in = openTextInputBytes("c.gz", badCrc, &problem);
    ASSERT_TRUE(in);
    std::string line;
    while (std::getline(*in, line)) {}
    EXPECT_TRUE(in->bad());
    in->clear();
    EXPECT_FALSE(std::getline(*in, line));
    EXPECT_TRUE(in->bad());
    EXPECT_EQ(textInputProblem(*in), "c.gz: corrupt gzip data (CRC mismatch in member 1)");
}

TEST(DecompressRefusals, FormsThisReaderDoesNotTakeSayWhy) {
    EXPECT_EQ(readPath(DIR + "/games-x86.pgn.xz").problem,
              DIR + "/games-x86.pgn.xz: unsupported xz filter 0x04 in block 1 (this reader takes LZMA2 alone, as xz "
                    "writes by default)");
    // a dictionary past the limit is refused before anything is allocated for it; the block
    // header of a single-stream file starts at 12 with its size, flags and the filter's three bytes
    const std::string xz = readFile(DIR + "/games.pgn.xz");
    ASSERT_EQ(xz[13], 0) << "block flags: one filter, no sizes";
    ASSERT_EQ(xz[14], 0x21) << "the LZMA2 filter";
    ASSERT_EQ(xz[15], 1) << "one byte of properties";
    std::string bigDictionary = xz;
    bigDictionary[16] = 37; // 3 << 29 bytes, 1.5 GiB
    const size_t headerBytes = (size_t(uint8_t(xz[12])) + 1) * 4;
    storeLittle32(&bigDictionary, 12 + headerBytes - 4, crc32Of(bigDictionary, 12, headerBytes - 4));
    EXPECT_EQ(readBytes("big.xz", bigDictionary).problem,
              "big.xz: xz dictionary of 1536 MiB in block 1 is larger than the 64 MiB this reader allows");
    std::string oddCheck = xz;
    oddCheck[7] = 2; // a check type of four bytes this reader has no code for
    storeLittle32(&oddCheck, 8, crc32Of(oddCheck, 6, 2));
    EXPECT_EQ(readBytes("odd.xz", oddCheck).problem,
              "odd.xz: unsupported xz check type 2 in stream 1 (this reader knows none, CRC32, CRC64 and SHA-256)");
    std::string oddMethod = readFile(DIR + "/games.pgn.gz");
    oddMethod[2] = 7;
    EXPECT_EQ(readBytes("m.gz", oddMethod).problem, "m.gz: unsupported gzip compression method 7 in member 1");

    // a name that promises compressed data which is not there
    readResultStruct plainXz = readBytes("games.pgn.xz", readFile(DIR + "/games.pgn"));
    EXPECT_FALSE(plainXz.opened);
    EXPECT_EQ(plainXz.problem, "games.pgn.xz: not xz data (the file does not start as an xz file does)");
    EXPECT_EQ(readBytes("x.GZ", readFile(DIR + "/games.pgn.xz")).problem,
              "x.GZ: not gzip data (the file does not start as a gzip file does)");
    readResultStruct missing = readPath(DIR + "/no-such-file.pgn.xz");
    EXPECT_FALSE(missing.opened);
    EXPECT_EQ(missing.problem.rfind(DIR + "/no-such-file.pgn.xz: cannot be opened", 0), 0u) << missing.problem;
}

TEST(DecompressGzipHeader, OptionalFieldsAreReadAndTheHeaderCrcChecked) {
    // games.pgn.gz has the bare ten-byte header: give it an extra field, a name, a comment and
    // the header's own CRC
    const std::string gz = readFile(DIR + "/games.pgn.gz");
    ASSERT_EQ(gz[3], 0);
    std::string header = gz.substr(0, 10);
    header[3] = 0x02 | 0x04 | 0x08 | 0x10;
    header += std::string("\x05\x00", 2) + "extra" + std::string("name.pgn\0", 9) + std::string("a comment\0", 10);
    const uint32_t headerCrc = crc32Of(header, 0, header.size());
    std::string full = header + char(headerCrc & 0xFF) + char((headerCrc >> 8) & 0xFF) + gz.substr(10);
    readResultStruct result = readBytes("h.gz", full);
    EXPECT_EQ(result.problem, "");
    EXPECT_TRUE(result.text == readFile(DIR + "/games.pgn"));
    full[header.size()] ^= 1;
    EXPECT_EQ(readBytes("h.gz", full).problem, "h.gz: corrupt gzip data (header CRC mismatch in member 1)");
}
