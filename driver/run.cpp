// The run driver: start-up, switches, the file list, the walk over its entries and the summary.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "console/console.hpp"
#include "container/pipeline.hpp"
#include "driver/batch.hpp"
#include "driver/command_line.hpp"
#include "driver/driver.hpp"
#include "driver/file_list.hpp"
#include "driver/run_state.hpp"
#include "platform/platform.hpp"
#include "platform/thread.hpp"

namespace qx::driver {

namespace {

constexpr float version = 2.1f;

const char* const syntax_text =
    "syntax: Quillex.exe <file(s)> [- e|d] [-l] [-n]\n"
    " <file(s)>\t: One or more filenames and/or wildcards\n"
    " [- e|d]\t: Encrypt (Decrypt) only [optional]\n"
    " [-l]\t\t: filename is a list of files to be en/de crypted [optional]\n"
    " [-n]\t\t: don't create backup file [optional]\n"
    "\t\t(WARNING! Can lose data if password is forgotten!)";

// The first line of the banner, and all that --version prints.
std::string name_and_version() {
    char line[64];
    std::snprintf(line, sizeof line, "Quillex version %.1f", static_cast<double>(version));
    return line;
}

[[noreturn]] void fatal_syntax() {
    console::show_message(console::kind_fatal, console::attr_error, "%s", syntax_text);
    std::exit(exit_fatal);  // not reached: a fatal message ends the process
}

[[noreturn]] void fatal_list(const std::string& name) {
    console::show_message(console::kind_fatal, console::attr_error, "Can't open filelist %s", printable(name).c_str());
    std::exit(exit_fatal);
}

void scan_switches(RunState& state, std::vector<std::string>& args) {
    for (;;) {
        switch (next_switch(args, native_rules())) {
        case ' ':
            return;
        case 'd':
            if (state.encrypt_only)
                console::show_message(console::kind_fatal, console::attr_error, "Parameter -d can't be used with -e!");
            state.decrypt_only = true;
            break;
        case 'e':
            if (state.decrypt_only)
                console::show_message(console::kind_fatal, console::attr_error, "Parameter -e can't be used with -d!");
            state.encrypt_only = true;
            break;
        case 'l':
            state.use_list_file = true;
            break;
        case 'n':
            state.no_backup = true;
            break;
        default:
            fatal_syntax();
        }
    }
}

// Opens the user's list file for reading; it is never created or written.
void open_user_list(RunState& state, const std::string& name) {
    state.list_file_name = name;
    if (name.size() > max_path_length) fatal_list(name);
    state.list_stream = std::fopen(name.c_str(), "rb");
    if (state.list_stream == nullptr) fatal_list(name);
    // A device other than a terminal or a pipe (/dev/zero, /dev/urandom) may
    // never end: such a list would be read for ever.
    const platform::StreamKind kind = platform::stream_kind(state.list_stream);
    if (kind == platform::StreamKind::device || kind == platform::StreamKind::directory) fatal_list(name);
    state.list_is_seekable = kind == platform::StreamKind::file;
    state.list_is_terminal = kind == platform::StreamKind::terminal;
    // A directory opens but cannot be read: refuse it now, before the password.
    int first = std::fgetc(state.list_stream);
    if (first == EOF && std::ferror(state.list_stream)) fatal_list(name);
    if (first != EOF) std::ungetc(first, state.list_stream);
    state.file_counter = 1;
}

// Creates this run's own temporary list file, exclusively, in the folder that
// `place` names (a path whose directory part is that folder). False when no
// name there can be created and opened.
bool try_temp_list(RunState& state, const std::string& place) {
    uint32_t pid = platform::current_process_id();
    for (char letter = 'a'; letter <= 'z'; ++letter) {
        state.list_file_name = temp_list_name(place, pid, letter, native_rules());
        if (state.list_file_name.size() > max_path_length) return false;
        if (!platform::create_new_file(state.list_file_name, state.list_slot)) continue;
        state.list_is_temporary = true;
        state.list_stream = std::fopen(state.list_file_name.c_str(), "w+b");
        return state.list_stream != nullptr;
    }
    return false;
}

// The temporary list file lies beside the program. An installed program's folder
// is usually not writable by its users; the system's temporary folder then holds it.
void create_temp_list(RunState& state, const std::string& program_path) {
    if (try_temp_list(state, program_path)) return;
    const std::string first_try = state.list_file_name;
    close_list(state);
    if (first_try.size() > max_path_length) fatal_list(first_try);  // refused, never cut
    const std::string fallback = platform::temp_directory();
    if (!fallback.empty() && try_temp_list(state, fallback)) return;
    close_list(state);
    fatal_list(first_try);
}

// Expands the file arguments from the last to the first into the temporary list.
void list_arguments(RunState& state, std::vector<std::string>& args) {
    RunFiles own{state.list_file_name, state.work_file.name};
    std::vector<std::string> refused;
    while (args.size() > 1) {
        SplitArgument split = split_argument(args.back(), native_rules());
        args.pop_back();
        state.file_counter += collect_matches(split.directory, split.pattern, own, state.list_stream,
                                              native_rules(), refused);
    }
    // A list that cannot be written out in full would lose entries without a word.
    if (std::fflush(state.list_stream) != 0 || std::ferror(state.list_stream)) fatal_list(state.list_file_name);
    for (const std::string& name : refused) {
        console::show_message(console::kind_error, console::attr_error, "couldn't open file %s",
                              printable(name).c_str());
        ++state.file_errors;
    }
    if (state.file_counter == 0) {
        close_list(state);
        console::show_message(console::kind_fatal, console::attr_error, "No matching files");
    }
}

void write_mode_line(const RunState& state) {
    std::string line = "\n\n";
    line += state.encrypt_only ? "Encoding " : state.decrypt_only ? "Decoding " : "Analyzing ";
    if (state.use_list_file)
        line += "files from " + printable(state.list_file_name) + ":";
    else
        line += std::to_string(state.file_counter) + " file(s):";
    console::out(line + "\n");
}

// Hands every entry of the list to `each`, in order.
template <typename Each>
void read_entries(std::FILE* stream, Each each) {
    ListParser parser;
    std::vector<std::string> entries;
    char chunk[65536];
    for (bool at_end = false; !at_end;) {
        size_t got = std::fread(chunk, 1, sizeof chunk, stream);
        if (got > 0) {
            parser.feed(std::string_view(chunk, got), entries);
        } else {
            parser.finish(entries);
            at_end = true;
        }
        for (std::string& entry : entries) each(entry);
        entries.clear();
    }
}

// Announces an entry and hands it on; a batch announces it at its turn.
void walk_entry(RunState& state, std::string& entry) {
    if (batch_running()) {
        const int number = state.file_counter;
        state.file_counter += state.use_list_file ? 1 : -1;
        batch_entry(state, std::move(entry), number);
        return;
    }
    state.entry = std::move(entry);
    announce_entry(state.file_counter, state.entry);
    state.file_counter += state.use_list_file ? 1 : -1;
    process_entry(state.entry);
}

// Reads the list back entry by entry, announcing and handing on each one.
//
// Every file the list names is known before the first is processed, so that no
// backup can replace one of them, wherever it stands in the list. A list on a
// disk is read twice for that; a pipe's entries are kept from the one reading.
// A list typed on a terminal can only be known as it is typed.
void walk_list(RunState& state) {
    state.protected_files.add_path(state.list_file_name);
    if (state.list_is_temporary || state.list_is_seekable) {
        if (state.list_is_temporary) std::rewind(state.list_stream);
        read_entries(state.list_stream, [&](const std::string& entry) { state.protected_files.add_path(entry); });
        std::rewind(state.list_stream);
    } else if (!state.list_is_terminal) {
        std::vector<std::string> kept;
        read_entries(state.list_stream, [&](std::string& entry) {
            state.protected_files.add_path(entry);
            kept.push_back(std::move(entry));
        });
        for (std::string& entry : kept) walk_entry(state, entry);
        return;
    }
    read_entries(state.list_stream, [&](std::string& entry) {
        if (state.list_is_terminal) state.protected_files.add_path(entry);
        walk_entry(state, entry);
    });
}

void finish_run(RunState& state) {
    finish_batch(state);
    close_list(state);
    remove_work_file(state.work_file);
    console::out("\nall done,\nencrypted: " + std::to_string(state.encrypted_count) +
                 " files\ndecrypted: " + std::to_string(state.decrypted_count) + " files\n");
}

// Keys and prompts: a standard input that is not a terminal holds the password and
// nothing waits for a key; otherwise keys come from the terminal, and when
// standard output is redirected the prompts are shown on that terminal as well.
void choose_console() {
    if (!platform::standard_input_is_terminal()) {
        console::set_piped_input(true);
        return;
    }
    console::set_prompt_screen(platform::controlling_terminal_output());
    // Keys typed while files are processed are neither echoed nor lost: they wait for the next key wait.
    platform::console_input().enter_quiet_mode();
}

}  // namespace

// Never destroyed: the exit-time handler reads it after main has returned.
RunState& run_state() {
    static RunState* state = new RunState;
    return *state;
}

std::string printable(std::string_view text) {
    std::string shown(text);
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
    return shown;
}

void close_list(RunState& state) {
    if (state.list_stream != nullptr) std::fclose(state.list_stream);
    state.list_stream = nullptr;
    if (!state.list_is_temporary) return;
    platform::delete_file(state.list_file_name);
    platform::untrack_temp_file(state.list_slot);
    state.list_is_temporary = false;
}

std::string free_work_file_name(const std::function<bool(const std::string&)>& taken) {
    const uint32_t pid = platform::current_process_id();
    std::string name;
    for (char letter = 'a'; letter <= 'z'; ++letter) {
        name = work_file_name(pid, letter);
        if (platform::fs::occupant(name) == platform::fs::Occupant::nothing && !(taken && taken(name))) break;
    }
    return name;
}

// The file itself is made when a file is first compressed or decompressed, and
// made again, tracked anew, when another program has deleted it since.
bool create_work_file(RunWorkFile& file) {
    if (file.created && platform::fs::occupant(file.name) == platform::fs::Occupant::nothing) {
        platform::untrack_temp_file(file.slot);
        file.created = false;
    }
    if (!file.created) file.created = platform::create_new_file(file.name, file.slot);
    return file.created;
}

void remove_work_file(RunWorkFile& file) {
    if (!file.created) return;
    platform::delete_file(file.name);
    platform::untrack_temp_file(file.slot);
    file.created = false;
}

void announce_entry(int number, const std::string& entry) {
    console::out("file " + std::to_string(number) + ": " + printable(entry));
}

// Every exit passes here. The run's files are unique to it, so no later run
// would reuse them: they are removed at every stop, before the key wait.
void on_exit() {
    RunState& state = run_state();
    stop_batch();
    close_list(state);
    remove_work_file(state.work_file);
    console::prompt("\nsession closed, any key to continue...\n");
    console::read_key();
    platform::console_input().leave_quiet_mode();
}

namespace {

int run_steps(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    if (args.empty()) args.emplace_back();
    // Answered before anything else: no banner, no closing line, no key wait.
    switch (info_request(args)) {
    case InfoRequest::help:
        console::out(std::string(syntax_text) + "\n");
        return exit_clean;
    case InfoRequest::version:
        console::out(name_and_version() + "\n");
        return exit_clean;
    case InfoRequest::none:
        break;
    }

    static bool handler_registered = false;
    if (!handler_registered) std::atexit(on_exit);
    handler_registered = true;
    platform::install_interrupt_handlers();
    choose_console();

    RunState& state = run_state();
    state = RunState{};
    container::run_random().seed(static_cast<uint32_t>(platform::time_seconds()));
    state.work_file.name = free_work_file_name();
    console::show_message(console::kind_note, console::attr_banner, "%s\n32-bit data encryption software\nby Verdanix",
                          name_and_version().c_str());

    scan_switches(state, args);
    if (args.size() < 2) fatal_syntax();

    if (state.use_list_file) {
        open_user_list(state, args[1]);
    } else {
        create_temp_list(state, args[0]);
        list_arguments(state, args);
    }
    ask_password();
    write_mode_line(state);
    // Entries typed on a terminal are known only one at a time: nothing to work ahead on.
    const int workers = worker_count(std::getenv("QX_JOBS"), platform::processor_count());
    container::run_codec().set_search_threads(static_cast<unsigned>(search_thread_count(workers)));
    if (!state.list_is_terminal) start_batch(state, workers);
    walk_list(state);
    finish_run(state);
    return state.file_errors > 0 ? exit_file_errors : exit_clean;
}

}  // namespace

// Memory that the run itself cannot have (a file's own shortage fails that file
// only) ends the run as a fatal stop: the exit-time handler still removes the
// run's files and gives the terminal its mode back.
int run(int argc, char** argv) {
    try {
        return run_steps(argc, argv);
    } catch (const std::bad_alloc&) {
        console::show_message(console::kind_fatal, console::attr_error, "out of memory");
        return exit_fatal;
    }
}

}  // namespace qx::driver
