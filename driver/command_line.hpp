// Command-line rules: switch scanning and the split of a file argument into directory and pattern.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qx::driver {

// How arguments and paths are read on a platform. The functions below take the
// rules as a parameter so that both families are exercised on every build.
struct CommandLineRules {
    bool drive_letters;            // "c:" in front of a path names a drive
    bool backslash_separates;      // "\" ends a directory part as "/" does
    bool slash_switch_any_length;  // every argument that starts with "/" is a switch
    bool fold_file_case;           // file arguments are lower-cased while switches are searched
    char separator;                // what a directory text is completed with
};

// Drive letters, both separators, "/x" switches of any length, names without case.
inline constexpr CommandLineRules windows_rules{true, true, true, true, '\\'};
// "/" alone separates, "/" starts a switch only in a two-character argument, names keep their case.
inline constexpr CommandLineRules posix_rules{false, false, false, false, '/'};

// The rules of the platform the program runs on.
const CommandLineRules& native_rules();

// "--help" or "--version" as a whole argument (index 0, the program, never is one)
// asks for that text alone, before any switch is scanned; the first of the two
// in the arguments counts. Anything else, "--helpx" or "--HELP" included, stays
// an ordinary argument for next_switch.
enum class InfoRequest { none, help, version };
InfoRequest info_request(const std::vector<std::string>& args);

// Returns the letter of the first switch left in `args` (index 0, the program,
// is never one), lower-cased, and removes that argument; ' ' when no switch is
// left; 0 when the first switch is not exactly two characters long (then `args`
// stays as it is). An argument is a switch when it starts with "-", or with "/"
// as the rules allow. Arguments passed over are lower-cased when the rules fold case.
char next_switch(std::vector<std::string>& args, const CommandLineRules& rules);

// One file argument split into the directory text written in front of each
// match (drive and directory part, ending in a separator or empty) and the
// search pattern (the last name, which may hold "*" and "?").
struct SplitArgument {
    std::string directory;
    std::string pattern;
};
SplitArgument split_argument(std::string_view argument, const CommandLineRules& rules);

}  // namespace qx::driver
