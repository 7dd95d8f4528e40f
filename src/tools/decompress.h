// Reading text files that may be compressed: xz (LZMA2) and gzip (DEFLATE) data, recognised by
// their first bytes, is decompressed as it is read, in bounded memory, so that a chunk of games is
// kept and moved small and read as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>

// The largest LZMA2 dictionary accepted (xz -9 and -9e write 64 MiB); a file that asks for more is
// refused rather than allowed to claim any amount of memory.
constexpr uint32_t XZMAXDICTIONARYBYTES = 64u << 20;

// Opens a text file: plain text is passed through as it stands, xz and gzip data (one or more
// streams or members) is decompressed. Null, with *problem set, when the file cannot be opened or
// its name says .xz or .gz but its bytes are not of that kind. Damage found while reading (a
// failed check, corrupt or truncated data) ends the stream with badbit set, as a read error does;
// textInputProblem then says what it was.
std::unique_ptr<std::istream> openTextInput(const std::string& path, std::string* problem);

// The same over bytes already in memory, named name in problems (tests and fuzzing).
std::unique_ptr<std::istream> openTextInputBytes(const std::string& name, std::string bytes, std::string* problem);

// Why a stream of openTextInput stopped early, for instance
// "games-3.pgn.xz: corrupt xz data (check mismatch in block 2)"; empty while nothing went wrong.
std::string textInputProblem(const std::istream& in);

// The checksums of the two formats (CRC-32 of gzip and xz, CRC-64 of xz), continued over data:
// start from 0, and feed the result back in to go on.
uint32_t crc32Update(uint32_t crc, const uint8_t* data, size_t size);
uint64_t crc64Update(uint64_t crc, const uint8_t* data, size_t size);
