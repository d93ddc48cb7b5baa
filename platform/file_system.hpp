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
// path cannot be opened for reading or names no regular file. `stamp`, when
// given, receives the file's stamp as it was opened.
struct FileStamp;
bool read_head(const std::string& path, uint8_t* buffer, size_t capacity, size_t& got, FileStamp* stamp = nullptr);

// Which file a path names and the state it was in: device and file number, size,
// and the modification and change times at the finest resolution the system keeps.
// Two stamps that are equal describe the same file with nothing changed in between
// (as far as the system can tell: a write that keeps the size within one tick of
// the clock would go unseen, which current file systems make very unlikely).
struct FileStamp {
    uint64_t device = 0;
    uint64_t file = 0;
    uint64_t size = 0;
    int64_t modified = 0;  // nanoseconds (or the system's unit) since its epoch
    int64_t changed = 0;   // the inode change time; 0 where the system has none
    bool valid = false;

    bool same_file(const FileStamp& other) const {
        return valid && other.valid && device == other.device && file == other.file;
    }
    bool unchanged(const FileStamp& other) const {
        return same_file(other) && size == other.size && modified == other.modified && changed == other.changed;
    }
};

// The stamp of the file `path` names, following symbolic links. False (and an
// invalid stamp) when nothing is there.
bool stamp_path(const std::string& path, FileStamp& stamp);

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
    // The file as it was when it was opened.
    const FileStamp& stamp() const { return stamp_; }
    // Takes an advisory lock on the open file that other runs of this program
    // respect, held until close(). False when another run holds it. Where the
    // system has no such lock that leaves other readers alone, it does nothing.
    bool lock();
    // Reads exactly `count` bytes at `offset`. False on an error or a short read.
    bool read_at(uint64_t offset, uint8_t* buffer, size_t count);
    // Reads up to `count` bytes at `offset`; returns the number read, or -1 on error.
    long long read_some(uint64_t offset, uint8_t* buffer, size_t count);
    // Reads exactly `count` bytes at `offset` and finds the file's end right after
    // them: false also when the file has grown since, so nothing is cut silently.
    bool read_to_end(uint64_t offset, uint8_t* buffer, size_t count);
    // Called right before the path is replaced: where an open file cannot be renamed
    // over (Windows), closes the file; stamp() stays for the last check. Elsewhere the
    // file stays open and locked until close().
    void release_for_replace();
    void close();

private:
    int fd_ = -1;
    uint64_t size_ = 0;
    FileStamp stamp_;
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

// What a path names itself, without following a symbolic link at its end.
enum class Occupant {
    nothing,    // no such entry
    file,       // a regular file that may be replaced
    protected_file,  // a regular file without write permission: its protection binds a replacement too
    link,       // a symbolic link, which a replacement replaces rather than follows
    directory,  // a folder, which no file can replace
    other,      // a device, pipe or socket
};
Occupant occupant(const std::string& path);

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
    // Writes bytes at `offset`, reads them back, or cuts the file to `size`, for
    // contents that are put together out of order; not to be mixed with write().
    // False on any error, a short read included.
    bool write_at(uint64_t offset, const uint8_t* data, size_t count);
    bool read_at(uint64_t offset, uint8_t* data, size_t count);
    bool truncate(uint64_t size);
    // Flushes the bytes written so far to the disk (fdatasync, FlushFileBuffers),
    // so that commit()'s flush has only the rest left. It may run on another
    // thread while this one writes. False when the flush failed.
    bool flush_written();
    // Flushes the file to the disk, gives it its owner, group and permission bits
    // (owner and group each where the system permits; until then it stays
    // owner-only), renames it over the path and flushes the directory. With
    // `expected`, the path must still name that file unchanged right before the
    // rename. False (and the path untouched, the fresh file deleted) when any
    // step before the rename fails; changed() then tells whether the check did.
    bool commit(uint32_t mode, uint32_t owner, uint32_t group, const FileStamp* expected = nullptr);
    bool changed() const { return changed_; }
    // Deletes the fresh file; the path is untouched.
    void discard();

private:
    std::string path_;
    std::string temp_;
    int fd_ = -1;
    int slot_ = -1;
    bool changed_ = false;
};

// The run's work file open for writing and reading at any offset: open() takes
// the file as made by create_new_file, never making it itself (so that an
// interrupt's deletion stays final) and never through a link. Closed by close()
// or the destructor; from then on it holds exactly what was written since open().
class WorkFile {
public:
    WorkFile() = default;
    ~WorkFile();
    WorkFile(const WorkFile&) = delete;
    WorkFile& operator=(const WorkFile&) = delete;

    bool open(const std::string& path);
    // False on any error, a short read included.
    bool write_at(uint64_t offset, const uint8_t* data, size_t count);
    bool read_at(uint64_t offset, uint8_t* data, size_t count);
    // False when the last writes could not be completed.
    bool close();

private:
    int fd_ = -1;
    uint64_t end_ = 0;  // where the bytes written end
};

}  // namespace qx::platform::fs
