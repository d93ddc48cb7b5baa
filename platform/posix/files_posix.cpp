// POSIX side of the file calls: directory search with wildcards, exclusive creation, deletion, time.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <vector>

#include "platform/platform.hpp"
#include "platform/posix/descriptors.hpp"

namespace qx::platform {

// The matches of one search, sorted by name so that runs list files in a stable order.
struct DirectorySearch::State {
    std::vector<FoundFile> found;
    size_t next = 0;
};

DirectorySearch::DirectorySearch() : state_(new State) {}
DirectorySearch::~DirectorySearch() { delete state_; }

namespace {

bool has_wildcard(std::string_view pattern) { return pattern.find_first_of("*?") != std::string_view::npos; }

// True when `path` is a directory, following a link as a directory search does.
bool is_directory_path(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

// Searches `directory` ("" for the current one) without entering it. A pattern
// without wildcards is looked up directly, which also finds a file in a
// directory that may be passed through but not listed.
bool DirectorySearch::first(const std::string& directory, const std::string& pattern, FoundFile& found) {
    state_->found.clear();
    state_->next = 0;
    if (pattern.empty()) return false;
    std::string prefix = directory;
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';
    if (!has_wildcard(pattern)) {
        struct stat st;
        std::string path = prefix + pattern;
        if (::lstat(path.c_str(), &st) != 0) return false;
        state_->found.push_back({pattern, is_directory_path(path)});
    } else {
        DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
        if (dir == nullptr) return false;
        while (const dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (!wildcard_match(pattern, name)) continue;
            bool is_dir = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) is_dir = is_directory_path(prefix + name);
            state_->found.push_back({std::move(name), is_dir});
        }
        ::closedir(dir);
        std::sort(state_->found.begin(), state_->found.end(),
                  [](const FoundFile& a, const FoundFile& b) { return a.name < b.name; });
    }
    return next(found);
}

bool DirectorySearch::next(FoundFile& found) {
    if (state_->next >= state_->found.size()) return false;
    found = state_->found[state_->next++];
    return true;
}

uint32_t current_process_id() { return static_cast<uint32_t>(::getpid()); }

bool delete_file(const std::string& path) { return ::unlink(path.c_str()) == 0; }

// Fixed rather than taken from TMPDIR: where the run's files go never depends on the
// environment (the console reads only the locale variables, for the character set).
std::string temp_directory() { return "/tmp/"; }

bool posix::write_all(int fd, const void* data, size_t count) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (count > 0) {
        // Large buffers go in pieces of at most 1 GiB, which every system accepts in one call.
        const ssize_t n = ::write(fd, bytes, count > (size_t{1} << 30) ? (size_t{1} << 30) : count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

// Large pieces go in calls of at most 1 GiB, which every system accepts.
constexpr size_t largest_call = size_t{1} << 30;

bool posix::write_all_at(int fd, uint64_t offset, const void* data, size_t count) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (count > 0) {
        const ssize_t n = ::pwrite(fd, bytes, count < largest_call ? count : largest_call, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += n;
        offset += static_cast<uint64_t>(n);
        count -= static_cast<size_t>(n);
    }
    return true;
}

bool posix::read_all_at(int fd, uint64_t offset, void* data, size_t count) {
    auto* bytes = static_cast<uint8_t*>(data);
    while (count > 0) {
        const ssize_t n = ::pread(fd, bytes, count < largest_call ? count : largest_call, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        bytes += n;
        offset += static_cast<uint64_t>(n);
        count -= static_cast<size_t>(n);
    }
    return true;
}

bool create_new_file(const std::string& path, int& slot) {
    const int fd = posix::open_new_tracked(path, slot);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

StreamKind stream_kind(std::FILE* stream) {
    struct stat st;
    const int fd = ::fileno(stream);
    if (fd < 0 || ::fstat(fd, &st) != 0) return StreamKind::device;
    if (S_ISREG(st.st_mode)) return StreamKind::file;
    if (S_ISDIR(st.st_mode)) return StreamKind::directory;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return StreamKind::pipe;
    if (::isatty(fd) == 1) return StreamKind::terminal;
    return StreamKind::device;
}

bool is_separator(char c) { return c == '/'; }

bool names_are_case_sensitive() { return true; }

}  // namespace qx::platform
