// Fuzz target for the command line: switch scanning and the split of file arguments, under both rule sets.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/command_line.hpp"

namespace {

void check(std::vector<std::string> args, const qx::driver::CommandLineRules& rules) {
    size_t before = args.size();
    char letter;
    while ((letter = qx::driver::next_switch(args, rules)) != ' ' && letter != 0) {
        if (args.size() != --before) std::abort();  // each switch found is removed, nothing else
    }
    for (size_t i = 1; i < args.size(); ++i) {
        // The split never loses or adds a character: directory text and pattern make up the argument.
        auto split = qx::driver::split_argument(args[i], rules);
        if (split.directory + split.pattern != args[i]) std::abort();
        if (split.pattern.find('/') != std::string::npos) std::abort();
    }
}

}  // namespace

// The input is the argument vector, arguments separated by NUL bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args(1, "prog");
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    args.push_back(current);
    check(args, qx::driver::posix_rules);
    check(args, qx::driver::windows_rules);
    return 0;
}
