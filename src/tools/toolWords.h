// What the offline tools share to read their words (whole numbers, file names, "<key> <value>"
// pairs with their ranges) and to write their reports.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

// A whole word that is a decimal number (no sign, nothing after it).
bool wholeNumber(const std::string& word, uint64_t* value);

// A key followed by a number that must lie in [low, high]; NOUPPERLIMIT leaves it open above.
constexpr uint64_t NOUPPERLIMIT = UINT64_MAX;
struct toolNumberStruct {
    const char* key;
    uint64_t low, high;
    uint64_t* value;
};
// A key followed by a file name.
struct toolNameStruct {
    const char* key;
    std::string* value;
};

// Reads "<key> <value>" pairs to the end of the words. Returns "" or the problem in the tool's
// words: "<tool>: <key> needs a file name", "<tool>: unknown word '<word>'", "<tool>: <key> needs
// a number", "<tool>: <key> must be from <low> to <high>" (or "must be at least <low>").
std::string readToolWords(std::istringstream& words, const std::string& tool, std::initializer_list<toolNumberStruct> numbers,
                          std::initializer_list<toolNameStruct> names = {});

// The remaining words.
std::vector<std::string> collectWords(std::istringstream& words);

std::string lowerCase(std::string text);
bool endsWith(const std::string& text, const std::string& tail);
// value with the given number of decimals, as printf's %.*f writes it.
std::string fixedDecimals(double value, int decimals);
// Seconds on the steady clock since start.
double secondsSince(std::chrono::steady_clock::time_point start);
