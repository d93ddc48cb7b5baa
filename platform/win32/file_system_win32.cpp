// Win32 side of the container's file operations: file handles, flushes and one MoveFileExA.
//
// The handles live behind C runtime descriptors (the ints the shared header
// keeps), so the declarations stay the same on both sides.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <string>

#include "platform/file_system.hpp"
#include "platform/platform.hpp"
#include "platform/win32/interrupt_win32.hpp"

namespace qx::platform::fs {

namespace {

// Attributes a replacement carries over. Read-only is not among them: a
// read-only file is refused before it is replaced, and a read-only backup
// would block the next backup of the same name.
constexpr DWORD carried_attributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

HANDLE handle_of(int fd) { return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

// Wraps a handle into a descriptor; closes the handle and returns -1 when that fails.
int descriptor_for(HANDLE h, int flags) {
    int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
    if (fd < 0) ::CloseHandle(h);
    return fd;
}

// Opens a file on disk for reading; INVALID_HANDLE_VALUE for anything else
// (a directory, a device such as CON or NUL, a pipe). Others may read, write,
// rename and delete it meanwhile, so that holding it never blocks a replacement.
HANDLE open_disk_file(const std::string& path, DWORD access) {
    HANDLE h = ::CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        ::CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

bool write_all(HANDLE h, const uint8_t* data, size_t count) {
    while (count > 0) {
        DWORD chunk = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
        DWORD written = 0;
        if (!::WriteFile(h, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        count -= written;
    }
    return true;
}

// Positional transfers: each call names its own 64-bit offset in an OVERLAPPED.
OVERLAPPED at_offset(uint64_t offset) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return where;
}

bool write_all_at(HANDLE h, uint64_t offset, const uint8_t* data, size_t count) {
    while (count > 0) {
        DWORD chunk = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
        OVERLAPPED where = at_offset(offset);
        DWORD written = 0;
        if (!::WriteFile(h, data, chunk, &written, &where) || written == 0) return false;
        data += written;
        offset += written;
        count -= written;
    }
    return true;
}

bool read_all_at(HANDLE h, uint64_t offset, uint8_t* data, size_t count) {
    while (count > 0) {
        DWORD chunk = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
        OVERLAPPED where = at_offset(offset);
        DWORD got = 0;
        if (!::ReadFile(h, data, chunk, &got, &where) || got == 0) return false;
        data += got;
        offset += got;
        count -= got;
    }
    return true;
}

std::atomic<unsigned> temp_counter{0};

// The path a reparse point (a symbolic link) leads to, in the plain drive form when it has one.
bool final_path(const std::string& path, std::string& out) {
    HANDLE h = open_disk_file(path, 0);
    if (h == INVALID_HANDLE_VALUE) return false;
    char buffer[MAX_PATH + 8];
    DWORD n = ::GetFinalPathNameByHandleA(h, buffer, sizeof buffer, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    ::CloseHandle(h);
    if (n == 0 || n >= sizeof buffer) return false;
    out.assign(buffer, n);
    if (out.rfind("\\\\?\\UNC\\", 0) == 0) {
        out.erase(0, 8);  // \\?\UNC\server\share becomes \\server\share
        out.insert(0, 2, '\\');
    } else if (out.rfind("\\\\?\\", 0) == 0) {
        out.erase(0, 4);
    }
    return true;
}

// The stamp of an open file: volume serial number and file index, size, the last
// write time in 100 ns ticks, and the change time (which also moves on a change of
// attributes or name) where the file system reports one, else 0.
bool stamp_handle(HANDLE h, FileStamp& stamp) {
    stamp = FileStamp{};
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(h, &info)) return false;
    stamp.device = info.dwVolumeSerialNumber;
    stamp.file = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    stamp.size = static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    stamp.modified = static_cast<int64_t>(static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32 |
                                          info.ftLastWriteTime.dwLowDateTime);
    FILE_BASIC_INFO basic;
    if (::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
        stamp.changed = basic.ChangeTime.QuadPart;
    stamp.valid = true;
    return true;
}

}  // namespace

bool stamp_path(const std::string& path, FileStamp& stamp) {
    stamp = FileStamp{};
    HANDLE h = open_disk_file(path, FILE_READ_ATTRIBUTES);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = stamp_handle(h, stamp);
    ::CloseHandle(h);
    return ok;
}

// A directory reparse point (a directory link or junction) counts as a directory:
// unlike a link to a file, no file can be renamed over it.
Occupant occupant(const std::string& path) {
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Occupant::nothing : Occupant::other;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Occupant::directory;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return Occupant::link;
    // Device names such as NUL and CON have attributes too; only a disk file may be replaced.
    HANDLE h = ::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        bool disk = ::GetFileType(h) == FILE_TYPE_DISK;
        ::CloseHandle(h);
        if (!disk) return Occupant::other;
    }
    return (attributes & FILE_ATTRIBUTE_READONLY) ? Occupant::protected_file : Occupant::file;
}

bool InputFile::open(const std::string& path) {
    close();
    HANDLE h = open_disk_file(path, GENERIC_READ);
    if (h == INVALID_HANDLE_VALUE) return false;
    FileStamp stamp;
    if (!stamp_handle(h, stamp)) {
        ::CloseHandle(h);
        return false;
    }
    fd_ = descriptor_for(h, _O_RDONLY);
    if (fd_ < 0) return false;
    size_ = stamp.size;
    stamp_ = stamp;
    return true;
}

// No lock: byte-range locks are mandatory here and would fail this program's own reads through other handles.
bool InputFile::lock() { return fd_ >= 0; }

// Positional reads: each read names its own 64-bit offset.
long long InputFile::read_some(uint64_t offset, uint8_t* buffer, size_t count) {
    HANDLE h = handle_of(fd_);
    if (h == INVALID_HANDLE_VALUE) return -1;
    size_t done = 0;
    while (done < count) {
        DWORD chunk = count - done > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count - done);
        uint64_t at = offset + done;
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD got = 0;
        if (!::ReadFile(h, buffer + done, chunk, &got, &where)) {
            if (::GetLastError() == ERROR_HANDLE_EOF) break;
            return -1;
        }
        if (got == 0) break;
        done += got;
    }
    return static_cast<long long>(done);
}

// MoveFileEx cannot replace a file that is open, even with FILE_SHARE_DELETE.
void InputFile::release_for_replace() {
    if (fd_ >= 0) ::_close(fd_);
    fd_ = -1;
}

void InputFile::close() {
    if (fd_ >= 0) ::_close(fd_);
    fd_ = -1;
    size_ = 0;
    stamp_ = FileStamp{};
}

// `mode` holds the file's attributes; owner and group stay 0 (access rights come
// from the directory). A read-only file, or one that cannot be opened for
// writing, is not writable.
bool inspect_target(const std::string& path, Target& target) {
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    target = Target{};
    target.path = path;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        if (!final_path(path, target.path)) return false;
        attributes = ::GetFileAttributesA(target.path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    HANDLE h = open_disk_file(target.path, GENERIC_READ);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool known = ::GetFileInformationByHandle(h, &info) != 0;
    ::CloseHandle(h);
    if (!known) return false;
    target.mode = attributes & carried_attributes;
    target.links = info.nNumberOfLinks;
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) {
        HANDLE w = open_disk_file(target.path, GENERIC_WRITE);
        if (w != INVALID_HANDLE_VALUE) {
            target.writable = true;
            ::CloseHandle(w);
        }
    }
    return true;
}

bool same_file(const std::string& a, const std::string& b) {
    BY_HANDLE_FILE_INFORMATION ia, ib;
    HANDLE ha = open_disk_file(a, 0);
    if (ha == INVALID_HANDLE_VALUE) return false;
    bool ok = ::GetFileInformationByHandle(ha, &ia) != 0;
    ::CloseHandle(ha);
    HANDLE hb = ok ? open_disk_file(b, 0) : INVALID_HANDLE_VALUE;
    if (hb == INVALID_HANDLE_VALUE) return false;
    ok = ::GetFileInformationByHandle(hb, &ib) != 0;
    ::CloseHandle(hb);
    return ok && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
           ia.nFileIndexLow == ib.nFileIndexLow;
}

Replacement::~Replacement() { discard(); }

bool Replacement::begin(const std::string& path) {
    discard();
    path_ = path;
    if (platform::win32::ending()) return false;
    size_t cut = path.find_last_of("\\/:");
    std::string prefix = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    std::string base = cut == std::string::npos ? path : path.substr(cut + 1);
    if (base.size() > 200) base.resize(200);
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_ = prefix + base + ".qxtmp" + std::to_string(::GetCurrentProcessId()) + "." +
                std::to_string(temp_counter.fetch_add(1));
        // The interrupt handler runs on a thread of its own at any moment: the name is
        // tracked before the file exists, so that a file created meanwhile is deleted too.
        slot_ = platform::track_temp_file(temp_);
        // Delete sharing lets an interrupt delete the fresh file while it is open.
        HANDLE h = ::CreateFileA(temp_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            fd_ = descriptor_for(h, _O_RDWR);
            if (fd_ >= 0) return true;
            ::DeleteFileA(temp_.c_str());  // created by this call, but unusable
        }
        const DWORD error = h == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_INVALID_HANDLE;
        platform::untrack_temp_file(slot_);
        slot_ = -1;
        // Only a name that another file holds is worth another try; that file stays.
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    temp_.clear();
    return false;
}

bool Replacement::write(const uint8_t* data, size_t count) { return fd_ >= 0 && write_all(handle_of(fd_), data, count); }

bool Replacement::write_at(uint64_t offset, const uint8_t* data, size_t count) {
    return fd_ >= 0 && write_all_at(handle_of(fd_), offset, data, count);
}

bool Replacement::read_at(uint64_t offset, uint8_t* data, size_t count) {
    return fd_ >= 0 && read_all_at(handle_of(fd_), offset, data, count);
}

bool Replacement::flush_written() { return fd_ >= 0 && ::FlushFileBuffers(handle_of(fd_)) != 0; }

bool Replacement::truncate(uint64_t size) {
    if (fd_ < 0) return false;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    HANDLE h = handle_of(fd_);
    return ::SetFilePointerEx(h, at, nullptr, FILE_BEGIN) != 0 && ::SetEndOfFile(h) != 0;
}

// Flushes the fresh file to the disk and moves it over the path in one step with
// MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH: until then the path names
// the old contents, from then on the new ones. `mode` is the attributes to give it.
// The stamp check comes last, so that the window left to another program's change is
// only the time between it and the move.
bool Replacement::commit(uint32_t mode, uint32_t, uint32_t, const FileStamp* expected) {
    changed_ = false;
    if (fd_ < 0) return false;
    bool ok = ::FlushFileBuffers(handle_of(fd_)) != 0;
    ok = (::_close(fd_) == 0) && ok;
    fd_ = -1;
    DWORD attributes = mode & carried_attributes;
    if (ok && attributes != 0) ok = ::SetFileAttributesA(temp_.c_str(), attributes) != 0;
    if (ok && expected != nullptr) {
        FileStamp now;
        changed_ = !stamp_path(path_, now) || !now.unchanged(*expected);
        ok = !changed_;
    }
    if (!ok || !::MoveFileExA(temp_.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        discard();
        return false;
    }
    platform::untrack_temp_file(slot_);
    slot_ = -1;
    temp_.clear();
    return true;
}

void Replacement::discard() {
    if (fd_ >= 0) ::_close(fd_);
    fd_ = -1;
    if (!temp_.empty()) {
        ::SetFileAttributesA(temp_.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileA(temp_.c_str());
    }
    if (slot_ >= 0) platform::untrack_temp_file(slot_);
    slot_ = -1;
    temp_.clear();
}

WorkFile::~WorkFile() { close(); }

// A link of that name is refused rather than followed.
bool WorkFile::open(const std::string& path) {
    close();
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    if (platform::win32::ending()) return false;
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, TRUNCATE_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    fd_ = descriptor_for(h, _O_RDWR);
    return fd_ >= 0;
}

bool WorkFile::write_at(uint64_t offset, const uint8_t* data, size_t count) {
    return fd_ >= 0 && write_all_at(handle_of(fd_), offset, data, count);
}

bool WorkFile::read_at(uint64_t offset, uint8_t* data, size_t count) {
    return fd_ >= 0 && read_all_at(handle_of(fd_), offset, data, count);
}

bool WorkFile::close() {
    if (fd_ < 0) return true;
    const bool ok = ::_close(fd_) == 0;
    fd_ = -1;
    return ok;
}

}  // namespace qx::platform::fs
