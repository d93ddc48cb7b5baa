// File operations for the pipelines: reading whole files, and replacing a file by
// a fresh one beside it so that its path always names complete contents.
//
// POSIX side in posix/file_system_posix.cpp, Win32 side in win32/file_system_win32.cpp.
// Results are plain booleans; nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qx::platform::fs {

// Reads up to `capacity` bytes from the start of a regular file. False when the
// path cannot be opened for reading or names no regular file.
bool read_head(const std::string& path, uint8_t* buffer, size_t capacity, size_t& got);

// A regular file opened for reading.
class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // False when it cannot be opened or is no regular file.
    bool open(const std::string& path);
    uint64_t size() const { return size_; }
    // Reads exactly `count` bytes at `offset`. False on an error or a short read.
    bool read_at(uint64_t offset, uint8_t* buffer, size_t count);
    // Reads up to `count` bytes at `offset`; returns the number read, or -1 on error.
    long long read_some(uint64_t offset, uint8_t* buffer, size_t count);
    // Reads exactly `count` bytes at `offset` and finds the file's end right after
    // them: false also when the file has grown since, so nothing is cut silently.
    bool read_to_end(uint64_t offset, uint8_t* buffer, size_t count);
    void close();

private:
    int fd_ = -1;
    uint64_t size_ = 0;
};

// What a replacement must know about the file it replaces.
struct Target {
    std::string path;       // the file itself: a symbolic link followed to the file it names
    uint32_t mode = 0;      // permission bits to give the new contents
    uint32_t owner = 0;     // user and group to give them
    uint32_t group = 0;
    uint64_t links = 1;     // hard links to the file
    bool writable = false;  // open for writing succeeds and some write bit is set
};

// Describes the file at `path`, following symbolic links. False when there is no
// regular file there.
bool inspect_target(const std::string& path, Target& target);

// True when both paths exist and name the same file (after following links).
bool same_file(const std::string& a, const std::string& b);

// New contents for a path, written to a fresh file in the same directory and put
// in place with one rename, so that the path names either the complete old or
// the complete new contents at every moment. The fresh file is owner-only until
// commit() and is tracked for deletion on an interrupt.
class Replacement {
public:
    Replacement() = default;
    ~Replacement();  // discards an uncommitted file
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    // Creates the fresh file beside `path` (which must be a path that rename can
    // replace: a link is replaced itself, not followed). False when it cannot be made.
    bool begin(const std::string& path);
    // Appends bytes. False on any error (a full disk, a file-size limit).
    bool write(const uint8_t* data, size_t count);
    // Gives the file its owner and permission bits, flushes it to the disk, renames
    // it over the path and flushes the directory. False (and the path untouched)
    // when any step before the rename fails.
    bool commit(uint32_t mode, uint32_t owner, uint32_t group);
    // Deletes the fresh file; the path is untouched.
    void discard();

private:
    std::string path_;
    std::string temp_;
    int fd_ = -1;
    int slot_ = -1;
};

// Writes the run's work file whole (created or truncated; never through a link).
bool write_work_file(const std::string& path, const uint8_t* data, size_t count);

}  // namespace qx::platform::fs
