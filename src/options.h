// The UCI options as data: one row per option (name, kind, range, default, how a new value is
// applied), which both the uci listing and setoption read, so that an option is one row and its
// limits are written once.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "settings.h"

enum optionKind { OPTIONSPIN, OPTIONCHECK, OPTIONSTRING, OPTIONBUTTON };

// A value as setoption read it: the words after "value", the number of a spin (limited to the
// option's range) and the truth of a check ("true").
struct optionValueStruct {
    std::string text;
    int number = 0;
    bool on = false;
};

struct optionStruct;
using optionApplyFunction = void (*)(const optionStruct& option, const optionValueStruct& value, int& searchCount);

struct optionStruct {
    const char* name;
    optionKind kind;
    int low, high;              // a spin's range
    int engineStruct::*number;  // the setting of a spin; its default is the setting's initial value
    bool engineStruct::*flag;   // the setting of a check; the same
    const char* defaultText;    // a string's default as the listing shows it
    const char* reply;          // a plain change answers "info string <reply><value>"
    optionApplyFunction apply;
};

// The rows in the order of the uci listing (the five original options first).
extern const std::vector<optionStruct> optionTable;

// The "option name ..." lines of the uci listing.
std::vector<std::string> optionLines();

// setoption name <name> [value <value>]: a spin's value that is not a number is refused with
// one info line; an unknown name is ignored.
void setoptionCommand(std::istringstream& words, int& searchCount);

// The Clear Hash button: the table, the threads' history tables, killers, counter moves and
// caches are cleared once no search runs; "info string Hash cleared" follows.
void clearHashCommand(int& searchCount);
