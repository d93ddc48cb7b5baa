// The file list: reading list-file bytes into entries, expanding file arguments, naming the run's files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "driver/command_line.hpp"

namespace qx::driver {

// Longest path an entry or a list-file name may hold.
inline constexpr size_t max_path_length = 255;

// Turns the bytes of a list file into entries, fed in any number of pieces.
// Lines end with LF or CR LF (the CR is dropped); a line longer than 255
// characters is cut into pieces of 255, each an entry of its own; empty lines
// are skipped; an entry ends at a NUL byte; one leading ".\" is removed.
// Nothing else changes: blanks, case and wildcards stay as they are.
class ListParser {
public:
    // Appends to `entries` every entry completed by `bytes`.
    void feed(std::string_view bytes, std::vector<std::string>& entries);
    // Appends the last entry when the list does not end with a line end.
    void finish(std::vector<std::string>& entries);

private:
    void append(char c, std::vector<std::string>& entries);
    void end_piece(std::vector<std::string>& entries);

    std::string piece_;
    bool pending_cr_ = false;
};

// The temporary files of this run; collect_matches never lists them, nor the
// files of other runs that have the same shape and lie in the same directory.
struct RunFiles {
    std::string list_file;  // "" when the run uses the user's list
    std::string work_file;
};

// Searches `directory` (a directory text from split_argument, "" for the
// current directory) for `pattern` without changing the current directory,
// and writes one line per matching file to `list_stream`: the directory text,
// the found name and a line end. Directories and the run files are skipped.
// A match whose line would not read back as the same path (longer than 255
// characters, a line end or NUL inside) is not written but added to `refused`.
// Returns the number of lines written.
int collect_matches(const std::string& directory, const std::string& pattern, const RunFiles& own,
                    std::FILE* list_stream, const CommandLineRules& rules, std::vector<std::string>& refused);

// "QXLList_<pid><letter>.Tmp" beside the program named by `program_path` (argument 0),
// or in the current directory when that path has no directory part.
std::string temp_list_name(std::string_view program_path, uint32_t pid, char letter, const CommandLineRules& rules);

// "EX<letter><five lowest decimal digits of pid>", for the work file in the current directory.
std::string work_file_name(uint32_t pid, char letter);

// True for names shaped like a temporary list file or a work file of any run.
bool is_run_file_name(std::string_view name);

}  // namespace qx::driver
