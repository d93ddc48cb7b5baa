// Switch scanning and argument splitting: pure functions over the argument texts.
#include "driver/command_line.hpp"

#include "platform/platform.hpp"

namespace qx::driver {

// Windows-family rules where "\" separates paths, POSIX rules otherwise.
const CommandLineRules& native_rules() {
    static const CommandLineRules rules = platform::is_separator('\\') ? windows_rules : posix_rules;
    return rules;
}

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_switch(const std::string& arg, const CommandLineRules& rules) {
    if (arg.empty()) return false;
    if (arg[0] == '-') return true;
    return arg[0] == '/' && (rules.slash_switch_any_length || arg.size() == 2);
}

}  // namespace

InfoRequest info_request(const std::vector<std::string>& args) {
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--help") return InfoRequest::help;
        if (args[i] == "--version") return InfoRequest::version;
    }
    return InfoRequest::none;
}

char next_switch(std::vector<std::string>& args, const CommandLineRules& rules) {
    for (size_t i = 1; i < args.size(); ++i) {
        if (rules.fold_file_case)
            for (char& c : args[i]) c = lower(c);
        if (!is_switch(args[i], rules)) continue;
        if (args[i].size() != 2) return 0;
        char letter = lower(args[i][1]);
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
        return letter;
    }
    return ' ';
}

SplitArgument split_argument(std::string_view argument, const CommandLineRules& rules) {
    std::string_view drive;
    std::string_view rest = argument;
    if (rules.drive_letters && argument.size() >= 2 && argument[1] == ':') {
        drive = argument.substr(0, 2);
        rest = argument.substr(2);
    }
    size_t cut = 0;
    for (size_t i = 0; i < rest.size(); ++i)
        if (rest[i] == '/' || (rules.backslash_separates && rest[i] == '\\')) cut = i + 1;
    SplitArgument split;
    split.directory.assign(drive);
    split.directory.append(rest.substr(0, cut));
    split.pattern.assign(rest.substr(cut));
    return split;
}

}  // namespace qx::driver
