// The password step and the per-entry handler.
#include "console/console.hpp"
#include "driver/run_state.hpp"

namespace qx::driver {

void ask_password() {
    RunState& state = run_state();
    console::out("\nEnter password: ");
    std::string password = console::read_password(4, 32);
    if (password.size() < 4) {
        close_list(state);  // a user's list file is never deleted
        console::show_message(console::kind_fatal, console::attr_error, "user requested termination");
    }
    state.password = std::move(password);
}

// Files are not classified, encrypted or decrypted yet: the entry's line is only ended.
void process_entry(const std::string&) { console::out("\n"); }

}  // namespace qx::driver
