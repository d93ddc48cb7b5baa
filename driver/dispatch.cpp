// The password step and the per-entry handler: classify each file, then encrypt, decrypt or report it.
#include <cstdarg>

#include "console/console.hpp"
#include "console/progress.hpp"
#include "container/format.hpp"
#include "container/pipeline.hpp"
#include "driver/run_state.hpp"

namespace qx::driver {

namespace {

// The support contact named in the failure messages.
const char* const support_address = "support@verdanix.example";

}  // namespace

console::StepProgress& entry_progress() {
    static console::StepProgress steps;
    return steps;
}

container::RunContext& pipeline_context(RunState& state) {
    static container::RunContext context;
    context.work_file = state.work_file.name;
    context.make_work_file = [&state] { return create_work_file(state.work_file); };
    context.no_backup = state.no_backup;
    context.protected_files = &state.protected_files;
    context.progress = [](std::string_view piece) { entry_progress().piece(piece); };
    context.advance = [](uint64_t done, uint64_t total) { entry_progress().advance(done, total); };
    return context;
}

void report_done(RunState& state, const container::Result& result, bool encrypted) {
    entry_progress().clear();
    console::out(" done.\n");
    if (encrypted) {
        ++state.encrypted_count;
        return;
    }
    console::show_message(console::kind_note, console::attr_note, " - encrypted by %s",
                          printable(result.identification).c_str());
    ++state.decrypted_count;
}

namespace {

// A per-file error: shown with a key wait, counted so that the run exits with status 2.
__attribute__((format(printf, 2, 3))) void file_error(RunState& state, const char* format, ...) {
    va_list args;
    va_start(args, format);
    console::show_message_v(console::kind_error, console::attr_error, format, args);
    va_end(args);
    ++state.file_errors;
}

// A codec input/output failure ends the run once the pipeline has left the file whole.
void stop_on_codec_failure(container::Status status) {
    if (const char* message = container::codec_message(status))
        console::show_message(console::kind_fatal, console::attr_codec_error, "%s", message);
}

// The refusals that keep a file as it is for a reason of its own (another
// program, a backup that cannot be taken) get a line that names it; true when
// `fault` was one of them.
bool refusal(RunState& state, const std::string& entry, container::Fault fault) {
    using container::Fault;
    const std::string shown = printable(entry);
    const std::string backup = printable(container::backup_name(entry));
    switch (fault) {
    case Fault::changed:
        file_error(state, "%s was changed by another program during processing; this run left it as it is",
                   shown.c_str());
        return true;
    case Fault::busy:
        file_error(state, "%s is being processed by another run; this run left it as it is", shown.c_str());
        return true;
    case Fault::backup_collides:
        file_error(state, "%s left as it is: its backup %s would replace a file that this run lists or has written",
                   shown.c_str(), backup.c_str());
        return true;
    case Fault::backup_is_file:
        file_error(state, "%s left as it is: its backup name %s leads to the file itself", shown.c_str(),
                   backup.c_str());
        return true;
    case Fault::backup_blocked:
        file_error(state, "%s left as it is: no backup can be written to %s", shown.c_str(), backup.c_str());
        return true;
    case Fault::unverified:
        file_error(state,
                   "%s left as it is: its encrypted form did not decode back to it "
                   "(a fault of this program or of this computer's memory)",
                   shown.c_str());
        return true;
    default:
        return false;
    }
}

void encrypt_entry(RunState& state, const std::string& entry, const container::FileClass& file_class) {
    container::Result result =
        container::encrypt_file(entry, state.password, file_class.kind, pipeline_context(state), &file_class.stamp);
    entry_progress().clear();
    stop_on_codec_failure(result.status);
    if (result.status == container::Status::done) return report_done(state, result, true);
    if (refusal(state, entry, result.fault)) return;
    file_error(state,
               "could be caused by variety of reasons :)\nPlease email %s with bug-report.\n"
               "Write down condition under which the error has happened:\nfile type/size, your OS, memory, etc",
               support_address);
}

void decrypt_entry(RunState& state, const std::string& entry, const container::FileClass& file_class) {
    container::Result result = container::decrypt_file(entry, state.password, file_class, pipeline_context(state));
    entry_progress().clear();
    stop_on_codec_failure(result.status);
    if (result.status == container::Status::done) return report_done(state, result, false);
    if (refusal(state, entry, result.fault)) return;
    std::string backup = entry;
    container::replace_extension(backup, "bak");
    file_error(state,
               "wrong password or file is corrupt.\n\nPlease try again with correct password\n"
               "or try to restore the file from backup: look for %s file,\n"
               "if it was encrypted recently. Otherwise, your information is LOST.\n"
               "Contact Verdanix - %s - with questions.",
               printable(backup).c_str(), support_address);
}

// The password as the first line of a piped standard input; a line that the
// field would not have taken ends the run. Empty when the input ended before any line.
std::string piped_password(RunState& state) {
    using Status = console::PasswordLine::Status;
    console::PasswordLine line = console::read_password_line(4, 32);
    const char* fault = nullptr;
    switch (line.status) {
    case Status::accepted:
    case Status::end_of_input:
        return std::move(line.text);
    case Status::too_short:
        fault = "it is shorter than 4 characters";
        break;
    case Status::too_long:
        fault = "it is longer than 32 characters";
        break;
    case Status::refused_character:
        fault = "it holds a character outside codes 32 to 126";
        break;
    }
    close_list(state);
    console::show_message(console::kind_fatal, console::attr_error,
                          "password from standard input refused: %s\n"
                          "(its first line must hold 4 to 32 characters of codes 32 to 126)",
                          fault);
    return {};
}

}  // namespace

void ask_password() {
    RunState& state = run_state();
    console::prompt("\nEnter password: ");
    std::string password = console::piped_input() ? piped_password(state) : console::read_password(4, 32);
    if (password.size() < 4) {
        close_list(state);  // a user's list file is never deleted
        console::show_message(console::kind_fatal, console::attr_error, "user requested termination");
    }
    state.password = std::move(password);
}

void process_entry(const std::string& entry) {
    RunState& state = run_state();
    const container::FileClass file_class = container::classify_file(entry);
    const std::string shown = printable(entry);
    switch (file_class.kind) {
    case container::kind_cannot_open:
        file_error(state, "couldn't open file %s", shown.c_str());
        break;
    case container::kind_plain_stored:
    case container::kind_plain_compressed:
        if (state.decrypt_only)
            file_error(state, "%s is not encoded", shown.c_str());
        else
            encrypt_entry(state, entry, file_class);
        break;
    case container::kind_encrypted_stored:
    case container::kind_encrypted_compressed:
        if (state.encrypt_only)
            file_error(state, "%s already is encoded", shown.c_str());
        else
            decrypt_entry(state, entry, file_class);
        break;
    default:
        file_error(state, "wrong file format");
        break;
    }
}

}  // namespace qx::driver
