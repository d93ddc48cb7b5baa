// Win32 side of the file calls: directory search, file tests, deletion, time, path rules.
#include <windows.h>

#include <ctime>
#include <io.h>

#include "platform/platform.hpp"
#include "platform/win32/interrupt_win32.hpp"

namespace qx::platform {

struct DirectorySearch::State {
    HANDLE handle = INVALID_HANDLE_VALUE;
};

DirectorySearch::DirectorySearch() : state_(new State) {}

DirectorySearch::~DirectorySearch() {
    if (state_->handle != INVALID_HANDLE_VALUE) ::FindClose(state_->handle);
    delete state_;
}

namespace {

void take(const WIN32_FIND_DATAA& data, FoundFile& found) {
    found.name = data.cFileName;
    found.is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

// Searches `directory` without entering it: the search names the directory in
// front of the pattern. Matches come in the order the file system returns them,
// with the system's own wildcard rules (names without case, "*.*" for every name).
bool DirectorySearch::first(const std::string& directory, const std::string& pattern, FoundFile& found) {
    if (state_->handle != INVALID_HANDLE_VALUE) ::FindClose(state_->handle);
    state_->handle = INVALID_HANDLE_VALUE;
    if (pattern.empty()) return false;  // a bare directory would name itself
    std::string query = directory;
    if (!query.empty() && query.back() != '\\' && query.back() != '/' && query.back() != ':') query += '\\';
    query += pattern;
    WIN32_FIND_DATAA data;
    state_->handle = ::FindFirstFileA(query.c_str(), &data);
    if (state_->handle == INVALID_HANDLE_VALUE) return false;
    take(data, found);
    return true;
}

bool DirectorySearch::next(FoundFile& found) {
    if (state_->handle == INVALID_HANDLE_VALUE) return false;
    WIN32_FIND_DATAA data;
    if (!::FindNextFileA(state_->handle, &data)) {
        ::FindClose(state_->handle);
        state_->handle = INVALID_HANDLE_VALUE;
        return false;
    }
    take(data, found);
    return true;
}

uint32_t current_process_id() { return static_cast<uint32_t>(::GetCurrentProcessId()); }

bool delete_file(const std::string& path) { return ::DeleteFileA(path.c_str()) != 0; }

std::string temp_directory() {
    char buffer[MAX_PATH + 1];
    DWORD n = ::GetTempPathA(sizeof buffer, buffer);
    return (n > 0 && n < sizeof buffer) ? std::string(buffer, n) : std::string();
}

// CREATE_NEW fails when anything already has the name, a link included; the
// file inherits the directory's access rights. The console handler runs on a
// thread of its own at any moment, so the name is tracked before the file exists.
bool create_new_file(const std::string& path, int& slot) {
    slot = -1;
    if (win32::ending()) return false;
    slot = track_temp_file(path);
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        untrack_temp_file(slot);
        slot = -1;
        return false;
    }
    ::CloseHandle(h);
    return true;
}

// GetFileType: a disk file, a pipe, or a character device, which is the console
// when the console accepts its mode query and otherwise a device such as NUL.
StreamKind stream_kind(std::FILE* stream) {
    const intptr_t os_handle = ::_get_osfhandle(::_fileno(stream));
    HANDLE h = reinterpret_cast<HANDLE>(os_handle);
    if (os_handle == -1 || h == INVALID_HANDLE_VALUE) return StreamKind::device;
    switch (::GetFileType(h)) {
    case FILE_TYPE_DISK: {
        BY_HANDLE_FILE_INFORMATION info;
        if (::GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return StreamKind::directory;
        return StreamKind::file;
    }
    case FILE_TYPE_PIPE:
        return StreamKind::pipe;
    case FILE_TYPE_CHAR: {
        DWORD mode = 0;
        return ::GetConsoleMode(h, &mode) ? StreamKind::terminal : StreamKind::device;
    }
    default:
        return StreamKind::device;
    }
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

bool names_are_case_sensitive() { return false; }

}  // namespace qx::platform
