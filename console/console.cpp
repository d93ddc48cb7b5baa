// Placeholder console writer (plain text, no colour, no keyboard); replaced by the real one.
#include "console/console.hpp"

#include <cstdio>
#include <cstdlib>

#include "platform/platform.hpp"

namespace qx::console {

namespace {
ExitFunction exit_function = nullptr;
}

void out(std::string_view text) {
    platform::console_output().write(text);
    platform::console_output().flush();
}

void outf(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    out(buffer);
}

int show_message_v(int kind, int, const char* format, va_list args) {
    char buffer[4096];
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    if (kind >= 0) out("*** error ***\n");
    out(buffer);
    out("\n");
    if (kind > 0) {
        if (exit_function != nullptr) exit_function(kind);
        std::exit(kind);
    }
    if (kind == 0) {
        out("press any key to proceed...\n");
        read_key();
    }
    return n;
}

int show_message(int kind, int attribute, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = show_message_v(kind, attribute, format, args);
    va_end(args);
    return n;
}

int read_key() { return -1; }

std::string read_password(int, int) { return {}; }

ExitFunction set_exit_function(ExitFunction function) {
    ExitFunction previous = exit_function;
    exit_function = function;
    return previous;
}

}  // namespace qx::console
