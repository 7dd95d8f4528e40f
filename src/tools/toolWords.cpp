// Reading the offline tools' words.
#include "toolWords.h"

#include <cctype>
#include <cstdio>

bool wholeNumber(const std::string& word, uint64_t* value) {
    if (word.empty() || word.size() > 20) return false;
    uint64_t v = 0;
    for (char c : word) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        uint64_t next = v * 10 + uint64_t(c - '0');
        if (next / 10 != v) return false; // overflow
        v = next;
    }
    *value = v;
    return true;
}

std::string readToolWords(std::istringstream& words, const std::string& tool, std::initializer_list<toolNumberStruct> numbers,
                          std::initializer_list<toolNameStruct> names) {
    std::string word;
    while (words >> word) {
        const toolNameStruct* name = nullptr;
        for (const toolNameStruct& n : names)
            if (word == n.key) name = &n;
        if (name) {
            if (!(words >> *name->value)) return tool + ": " + word + " needs a file name";
            continue;
        }
        const toolNumberStruct* number = nullptr;
        for (const toolNumberStruct& n : numbers)
            if (word == n.key) number = &n;
        if (!number) return tool + ": unknown word '" + word + "'";
        std::string text;
        uint64_t value;
        if (!(words >> text) || !wholeNumber(text, &value)) return tool + ": " + word + " needs a number";
        if (value < number->low || value > number->high) {
            if (number->high == NOUPPERLIMIT) return tool + ": " + word + " must be at least " + std::to_string(number->low);
            return tool + ": " + word + " must be from " + std::to_string(number->low) + " to " +
                   std::to_string(number->high);
        }
        *number->value = value;
    }
    return "";
}

std::vector<std::string> collectWords(std::istringstream& words) {
    std::vector<std::string> list;
    std::string word;
    while (words >> word) list.push_back(word);
    return list;
}

std::string lowerCase(std::string text) {
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string fixedDecimals(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
