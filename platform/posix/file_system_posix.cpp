// POSIX side of the container's file operations: plain descriptors, fsync and rename.
#include "platform/file_system.hpp"

#if !defined(_WIN32)

#include "platform/platform.hpp"
#include "platform/posix/descriptors.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qx::platform::fs {

namespace {

// Opens a path for reading without blocking on a pipe or device; -1 unless it is a regular file.
int open_regular(const std::string& path, struct stat& st) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string directory_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Makes a rename in `directory` durable; a failure only weakens durability, never the contents.
void flush_directory(const std::string& directory) {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

std::atomic<unsigned> temp_counter{0};

FileStamp stamp_of(const struct stat& st) {
    FileStamp stamp;
    stamp.device = static_cast<uint64_t>(st.st_dev);
    stamp.file = static_cast<uint64_t>(st.st_ino);
    stamp.size = static_cast<uint64_t>(st.st_size);
    stamp.modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.changed = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    stamp.valid = true;
    return stamp;
}

// Sets the owner and, separately, the group where the system permits each: a
// member of the file's group may keep the group although only root may keep
// another user as owner. A change of owner clears set-id bits; fchmod comes after.
void keep_owner_and_group(int fd, uint32_t owner, uint32_t group) {
    if (::fchown(fd, owner, group) == 0) return;
    if (::fchown(fd, static_cast<uid_t>(-1), group) != 0) {
        // Neither is permitted: the new contents are ours, with our group.
    }
}

}  // namespace

bool stamp_path(const std::string& path, FileStamp& stamp) {
    struct stat st;
    stamp = FileStamp{};
    if (::stat(path.c_str(), &st) != 0) return false;
    stamp = stamp_of(st);
    return true;
}

Occupant occupant(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? Occupant::nothing : Occupant::other;
    if (S_ISLNK(st.st_mode)) return Occupant::link;
    if (S_ISDIR(st.st_mode)) return Occupant::directory;
    if (!S_ISREG(st.st_mode)) return Occupant::other;
    return (st.st_mode & 0222) != 0 ? Occupant::file : Occupant::protected_file;
}

bool InputFile::lock() {
    if (fd_ < 0) return false;
    for (;;) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno == EINTR) continue;
        // A file system without locks leaves only the check before the replace.
        return errno != EWOULDBLOCK;
    }
}

bool InputFile::open(const std::string& path) {
    close();
    struct stat st;
    fd_ = open_regular(path, st);
    if (fd_ < 0) return false;
    // Reads block normally from here on.
    int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
    size_ = static_cast<uint64_t>(st.st_size);
    stamp_ = stamp_of(st);
    return true;
}

long long InputFile::read_some(uint64_t offset, uint8_t* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        size_t chunk = count - done > (1u << 30) ? (1u << 30) : count - done;
        ssize_t n = ::pread(fd_, buffer + done, chunk, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<long long>(done);
}

// An open file may be renamed over here: it stays open, and its lock with it.
void InputFile::release_for_replace() {}

void InputFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    size_ = 0;
    stamp_ = FileStamp{};
}

bool inspect_target(const std::string& path, Target& target) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return false;
    target.path = path;
    if (S_ISLNK(st.st_mode)) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) return false;
        target.path = resolved;
        std::free(resolved);
    }
    if (::stat(target.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    target.mode = st.st_mode & 07777;
    target.owner = st.st_uid;
    target.group = st.st_gid;
    target.links = st.st_nlink;
    // A file without any write bit is write-protected even for a user whom the
    // system would let write it (the read-only attribute binds everyone).
    target.writable = false;
    if (st.st_mode & 0222) {
        int fd = ::open(target.path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd >= 0) {
            target.writable = true;
            ::close(fd);
        }
    }
    return true;
}

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

Replacement::~Replacement() { discard(); }

bool Replacement::begin(const std::string& path) {
    discard();
    path_ = path;
    size_t slash = path.rfind('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.size() > 200) base.resize(200);
    std::string prefix = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_ = prefix + "." + base + ".qxtmp" + std::to_string(::getpid()) + "." +
                std::to_string(temp_counter.fetch_add(1));
        fd_ = posix::open_new_tracked(temp_, slot_);
        if (fd_ >= 0) return true;
        if (errno != EEXIST) break;
    }
    temp_.clear();
    return false;
}

bool Replacement::write(const uint8_t* data, size_t count) {
    return fd_ >= 0 && posix::write_all(fd_, data, count);
}

// On Linux the bytes just written start on their way to the disk at once, so
// that the flush before the rename waits only for the last of them, not for
// the whole file. That flush still decides: a failure here shows there.
bool Replacement::write_at(uint64_t offset, const uint8_t* data, size_t count) {
    if (fd_ < 0 || !posix::write_all_at(fd_, offset, data, count)) return false;
#ifdef __linux__
    ::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(count), SYNC_FILE_RANGE_WRITE);
#endif
    return true;
}

bool Replacement::read_at(uint64_t offset, uint8_t* data, size_t count) {
    return fd_ >= 0 && posix::read_all_at(fd_, offset, data, count);
}

bool Replacement::truncate(uint64_t size) { return fd_ >= 0 && ::ftruncate(fd_, static_cast<off_t>(size)) == 0; }

bool Replacement::flush_written() {
#ifdef __linux__
    return fd_ >= 0 && ::fdatasync(fd_) == 0;
#else
    return fd_ >= 0 && ::fsync(fd_) == 0;
#endif
}

bool Replacement::commit(uint32_t mode, uint32_t owner, uint32_t group, const FileStamp* expected) {
    changed_ = false;
    if (fd_ < 0) return false;
    // The contents reach the disk while the file is still owner-only, so that a
    // file left behind by a kill during the long flush exposes nothing. Then the
    // owner, group and mode, and a second, short flush for them.
    bool ok = ::fsync(fd_) == 0;
    if (ok) {
        keep_owner_and_group(fd_, owner, group);
        ok = ::fchmod(fd_, mode) == 0 && ::fsync(fd_) == 0;
    }
    ok = (::close(fd_) == 0) && ok;
    fd_ = -1;
    if (ok && expected != nullptr) {
        FileStamp now;
        changed_ = !stamp_path(path_, now) || !now.unchanged(*expected);
        ok = !changed_;
    }
    // Until this rename the path holds its old contents; from it on, the new ones.
    if (!ok || ::rename(temp_.c_str(), path_.c_str()) != 0) {
        discard();
        return false;
    }
    platform::untrack_temp_file(slot_);
    slot_ = -1;
    temp_.clear();
    flush_directory(directory_of(path_));
    return true;
}

void Replacement::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    if (slot_ >= 0) platform::untrack_temp_file(slot_);
    slot_ = -1;
    temp_.clear();
}

WorkFile::~WorkFile() { close(); }

bool WorkFile::open(const std::string& path) {
    close();
    // Never O_CREAT: the file was made, tracked, before its first use. An
    // interrupt's handler deletes it on another thread while this one may be
    // about to open it; making it again here would leave it behind.
    //
    // Nor O_TRUNC: what an earlier file left is cut at close() instead, to where
    // the new bytes end. On ext4, a file emptied by truncation is written out
    // when it is closed (the file system's guard for programs that rewrite a
    // file in place), which here cost a flush on every close and the freeing
    // of the blocks it took on the unlink at the end of the run, for a file
    // that is never meant to reach the disk.
    fd_ = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    end_ = 0;
    return fd_ >= 0;
}

bool WorkFile::write_at(uint64_t offset, const uint8_t* data, size_t count) {
    if (fd_ < 0 || !posix::write_all_at(fd_, offset, data, count)) return false;
    if (offset + count > end_) end_ = offset + count;
    return true;
}

bool WorkFile::read_at(uint64_t offset, uint8_t* data, size_t count) {
    return fd_ >= 0 && posix::read_all_at(fd_, offset, data, count);
}

bool WorkFile::close() {
    if (fd_ < 0) return true;
    struct stat st;
    bool ok = ::fstat(fd_, &st) == 0;
    if (ok && static_cast<uint64_t>(st.st_size) > end_) ok = ::ftruncate(fd_, static_cast<off_t>(end_)) == 0;
    ok = ::close(fd_) == 0 && ok;
    fd_ = -1;
    return ok;
}

}  // namespace qx::platform::fs

#endif  // !_WIN32
