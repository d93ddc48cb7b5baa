// Platform code that is the same on every side: console replacement for tests, wildcard matching, file reads, time.
#include "platform/file_system.hpp"
#include "platform/platform.hpp"
#include "platform/side.hpp"

#include <ctime>

namespace qx::platform {

namespace {

ConsoleOutput* output_override = nullptr;
ConsoleInput* input_override = nullptr;

// Where names ignore case, only the ASCII letters are folded, as the file systems do.
char fold(char c, bool case_sensitive) {
    return (!case_sensitive && c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

int64_t time_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

ConsoleOutput& console_output() {
    return output_override != nullptr ? *output_override : side::real_console_output();
}

ConsoleOutput* set_console_output(ConsoleOutput* replacement) {
    ConsoleOutput* previous = &console_output();
    output_override = replacement;
    return previous;
}

ConsoleInput& console_input() { return input_override != nullptr ? *input_override : side::real_console_input(); }

ConsoleInput* set_console_input(ConsoleInput* replacement) {
    ConsoleInput* previous = &console_input();
    input_override = replacement;
    return previous;
}

// '*' matches any run of characters, '?' exactly one; case counts where file names
// tell it apart. "*.*" matches every name, dotted or not, as Windows users expect.
bool wildcard_match(std::string_view pattern, std::string_view name) {
    if (pattern == "*.*") return true;
    const bool case_sensitive = names_are_case_sensitive();
    size_t p = 0, n = 0;
    size_t star = std::string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() &&
            (pattern[p] == '?' || fold(pattern[p], case_sensitive) == fold(name[n], case_sensitive))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

namespace fs {

InputFile::~InputFile() { close(); }

bool InputFile::read_at(uint64_t offset, uint8_t* buffer, size_t count) {
    return read_some(offset, buffer, count) == static_cast<long long>(count);
}

bool InputFile::read_to_end(uint64_t offset, uint8_t* buffer, size_t count) {
    uint8_t probe;
    return read_at(offset, buffer, count) && read_some(offset + count, &probe, 1) == 0;
}

bool read_head(const std::string& path, uint8_t* buffer, size_t capacity, size_t& got, FileStamp* stamp) {
    got = 0;
    InputFile file;
    if (!file.open(path)) return false;
    if (stamp != nullptr) *stamp = file.stamp();
    long long n = file.read_some(0, buffer, capacity);
    got = n > 0 ? static_cast<size_t>(n) : 0;
    return true;
}

}  // namespace fs

}  // namespace qx::platform
