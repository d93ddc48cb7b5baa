// The file list: the list-file parser, the expansion of file arguments and the run's file names.
#include "driver/file_list.hpp"

#include <cctype>
#include <filesystem>
#include <system_error>

#include "platform/platform.hpp"

namespace qx::driver {

void ListParser::feed(std::string_view bytes, std::vector<std::string>& entries) {
    for (char c : bytes) {
        if (pending_cr_) {
            pending_cr_ = false;
            if (c == '\n') {
                end_piece(entries);
                continue;
            }
            append('\r', entries);
        }
        if (c == '\n')
            end_piece(entries);
        else if (c == '\r')
            pending_cr_ = true;  // a line end if LF follows, else an ordinary character
        else
            append(c, entries);
    }
}

void ListParser::finish(std::vector<std::string>& entries) {
    if (pending_cr_) append('\r', entries);
    pending_cr_ = false;
    end_piece(entries);
}

void ListParser::append(char c, std::vector<std::string>& entries) {
    if (piece_.size() == max_path_length) end_piece(entries);
    piece_ += c;
}

void ListParser::end_piece(std::vector<std::string>& entries) {
    std::string entry = piece_.substr(0, piece_.find('\0'));
    piece_.clear();
    if (entry.empty()) return;
    if (entry.starts_with(".\\")) entry.erase(0, 2);
    entries.push_back(std::move(entry));
}

namespace {

// Directory texts end in a separator (or are empty); "dir/." names the directory
// itself on every platform, where a trailing separator alone is not resolved everywhere.
bool same_directory(const std::string& a, const std::string& b) {
    auto itself = [](const std::string& directory) { return directory.empty() ? std::string(".") : directory + "."; };
    std::error_code error;
    return std::filesystem::equivalent(itself(a), itself(b), error);
}

// Names compare without case where file names ignore it.
bool same_name(std::string_view a, std::string_view b, const CommandLineRules& rules) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x != y && !(rules.fold_file_case && std::tolower(x) == std::tolower(y))) return false;
    }
    return true;
}

// True when `name`, found in `directory`, is one of this run's own files. A user's
// file or another run's file that only looks like one is listed as any file is.
bool is_run_file(const std::string& directory, const std::string& name, const RunFiles& own,
                 const CommandLineRules& rules) {
    if (!is_run_file_name(name)) return false;
    for (const std::string* own_file : {&own.list_file, &own.work_file}) {
        if (own_file->empty()) continue;
        const SplitArgument split = split_argument(*own_file, rules);
        if (same_name(split.pattern, name, rules) && same_directory(directory, split.directory)) return true;
    }
    return false;
}

// The line that names `name` found under `directory`, or "" when no list line can name it.
std::string list_line(const std::string& directory, const std::string& name, const CommandLineRules& rules) {
    std::string line = directory + name;
    // Where "\" is an ordinary character, a leading ".\" would be removed on reading back.
    if (!rules.backslash_separates && line.starts_with(".\\")) line.insert(0, "./");
    if (line.size() > max_path_length || line.find_first_of(std::string_view("\n\0", 2)) != std::string::npos ||
        line.back() == '\r')
        return {};
    return line;
}

}  // namespace

int collect_matches(const std::string& directory, const std::string& pattern, const RunFiles& own,
                    std::FILE* list_stream, const CommandLineRules& rules, std::vector<std::string>& refused) {
    std::string dir = directory;
    if (!dir.empty() && dir.back() != rules.separator) dir += rules.separator;
    platform::DirectorySearch search;
    platform::FoundFile found;
    int count = 0;
    for (bool more = search.first(dir, pattern, found); more; more = search.next(found)) {
        if (found.is_directory || is_run_file(dir, found.name, own, rules)) continue;
        std::string line = list_line(dir, found.name, rules);
        if (line.empty()) {
            refused.push_back(dir + found.name);
            continue;
        }
        line += '\n';
        if (std::fwrite(line.data(), 1, line.size(), list_stream) != line.size()) {
            refused.push_back(dir + found.name);
            continue;
        }
        ++count;
    }
    return count;
}

std::string temp_list_name(std::string_view program_path, uint32_t pid, char letter, const CommandLineRules& rules) {
    return split_argument(program_path, rules).directory + "QXLList_" + std::to_string(pid) + letter + ".Tmp";
}

std::string work_file_name(uint32_t pid, char letter) {
    std::string digits = std::to_string(pid % 100000);
    return std::string("EX") + letter + std::string(5 - digits.size(), '0') + digits;
}

bool is_run_file_name(std::string_view name) {
    if (name.starts_with("QXLList_") && name.ends_with(".Tmp")) return true;
    if (name.size() != 8 || !name.starts_with("EX") || name[2] < 'a' || name[2] > 'z') return false;
    for (char c : name.substr(3))
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace qx::driver
