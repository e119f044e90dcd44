#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stddef.h>
#include <stdio.h>   // rename; nothing of the buffered streams
#include <string.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "file_identity.h"
#include "upload.h"

enum { OPEN_ATTEMPTS = 16, IN_PLACE = 1 };

// More than any upload, less than the most one sendfile call moves.
constexpr size_t COPY_CHUNK = 1 << 30;

static const char SIDE_SUFFIX[] = ".new";

// Opens the file without truncating it, locked against other uploads to the
// same path, and returns it empty once it is known to still be the file at
// the path (a failed upload may have removed it meanwhile). On failure errno
// is the open's when the open failed, else EIO.
static int open_locked(const char *path, int flags)
{
    for (int attempt = 0; attempt < OPEN_ATTEMPTS; ++attempt) {
        bool made = false;
        int fd = open(path, flags);
        if (fd < 0 && errno == ENOENT) {
            fd = open(path, flags | O_CREAT, 0600);
            made = true;
        }
        if (fd < 0)
            return -1;
        // Before any byte is written: a private key must never be readable
        // by others, not even during the copy. The system call itself: the
        // descriptor is never an O_PATH one, for which musl's fchmod would
        // bring a /proc/self/fd fallback along.
        syscall(SYS_fchmod, fd, static_cast<mode_t>(upload_state.target_mode));
        flock(fd, LOCK_EX);
        file_status held, named;
        bool held_ok = status_of(fd, held);
        bool at_path = held_ok && status_at(path, true, named) && same_file(held, named);
        if (at_path && ftruncate(fd, 0) == 0)
            return fd;
        // A failed upload never leaves a file that was not there. Only an
        // empty one is ours: another upload may have filled it before we
        // got the lock.
        if (made && held_ok && held.size == 0 && status_at(path, false, named) && same_file(held, named))
            unlink(path);
        close(fd);
        if (at_path)
            break;
    }
    errno = EIO;
    return -1;
}

// The read()/write() copy, for a target whose file system the kernel cannot
// hand a file to (no splice support: EINVAL) or a kernel without sendfile.
static int copy_by_blocks(int fd)
{
    char buffer[READ_CHUNK];
    for (;;) {
        ssize_t got = read(upload_state.temp_fd, buffer, READ_CHUNK);
        if (got <= 0)
            return static_cast<int>(got);
        if (write(fd, buffer, static_cast<size_t>(got)) != got)
            return -1;
        upload_state.stored_bytes += static_cast<uint32_t>(got);
    }
}

// Spool to target, then storage: success means the key survives a power cut.
// sendfile moves the bytes inside the kernel; on a slow CPU the two copies
// through user space cost as much again as the write itself.
static int copy_spool(int fd)
{
    for (;;) {
        ssize_t sent = sendfile(fd, upload_state.temp_fd, nullptr, COPY_CHUNK);
        if (sent == 0)
            return fsync(fd);
        // A spool that cannot be read back must not pass for a short file.
        if (sent < 0) {
            if (upload_state.stored_bytes != 0 || (errno != EINVAL && errno != ENOSYS) || copy_by_blocks(fd) != 0)
                return -1;
            return fsync(fd);
        }
        upload_state.stored_bytes += static_cast<uint32_t>(sent);
    }
}

static int io_failed(int fd)
{
    close(upload_state.temp_fd);
    close(fd);
    return send_result(false, ERR_IO);
}

// Renaming over a hard link would part it from its other names, and over a
// symbolic link would replace the link; a target we may not write must
// stay refused.
static bool target_may_be_renamed_over()
{
    file_status st;
    if (!status_at(upload_state.target_path, false, st))
        return errno == ENOENT;
    return S_ISREG(st.mode) && st.nlink == 1 && access(upload_state.target_path, W_OK) == 0;
}

// The side file's name is fixed per target and hidden, so that a leftover of
// a power cut is reused by the next upload instead of piling up, and two
// uploads to one slot meet at its lock. Returns the length of the directory
// part with its slash, or 0 when the name does not fit.
static size_t side_path(char (&side)[PATH_MAX])
{
    const char *path = upload_state.target_path;
    const char *slash = strrchr(path, '/');
    size_t length = strlen(path);
    if (!slash || length + sizeof SIDE_SUFFIX + 1 > sizeof side)
        return 0;
    size_t dir_length = static_cast<size_t>(slash - path) + 1;
    memcpy(side, path, dir_length);
    side[dir_length] = '.';
    memcpy(side + dir_length + 1, slash + 1, length - dir_length);
    memcpy(side + length + 1, SIDE_SUFFIX, sizeof SIDE_SUFFIX);
    return dir_length;
}

// Write beside, fsync, rename over the target, fsync the directory: the
// target is the old key or the new one at every moment, also across a power
// cut. IN_PLACE when the directory will not take the side file.
static int commit_by_rename()
{
    char side[PATH_MAX];
    size_t dir_length = side_path(side);
    if (dir_length == 0)
        return IN_PLACE;
    side[dir_length] = '\0';
    int dir = open(side, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    side[dir_length] = '.';
    if (dir < 0)
        return IN_PLACE;
    int fd = open_locked(side, O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno != EACCES && errno != EPERM && errno != EROFS)
            return io_failed(dir);
        close(dir);
        return IN_PLACE;
    }
    if (copy_spool(fd) != 0 || rename(side, upload_state.target_path) != 0) {
        // Removed while the lock is held, so that a waiting upload opens a
        // new side file instead of writing into the removed one.
        unlink(side);
        close(fd);
        return io_failed(dir);
    }
    close(fd);
    // The rename is on storage only with its directory; a file system that
    // cannot sync a directory (EINVAL) has nothing more to do.
    if (fsync(dir) != 0 && errno != EINVAL)
        return io_failed(dir);
    close(upload_state.temp_fd);
    close(dir);
    return 0;
}

// Where a rename cannot keep what the target is (a link, a file in a
// directory we may not write), its content is replaced in place. On a failed
// copy send_result removes the target while the lock is still held, so that
// a waiting upload reopens the path instead of writing into the removed file.
static int commit_in_place()
{
    int fd = open_locked(upload_state.target_path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        close(upload_state.temp_fd);
        return send_result(false, ERR_IO);
    }
    upload_state.target_fd = fd;
    if (copy_spool(fd) != 0) {
        close(upload_state.temp_fd);
        int result = send_result(false, ERR_IO);
        close(fd);
        return result;
    }
    close(upload_state.temp_fd);
    close(fd);
    return 0;
}

int commit_upload()
{
    if (!upload_state.have_file_data) {
        close(upload_state.temp_fd);
        return send_result(false, ERR_EMPTY_FILE);
    }
    if (lseek(upload_state.temp_fd, 0, SEEK_SET) < 0) {
        close(upload_state.temp_fd);
        return send_result(false, ERR_IO);
    }
    int result = target_may_be_renamed_over() ? commit_by_rename() : IN_PLACE;
    return result == IN_PLACE ? commit_in_place() : result;
}

int upload_part_finish(multipart_scanner *)
{
    if (upload_state.part_kind != KIND_FILE) {
        upload_state.part_kind = KIND_NONE;
        return 0;
    }
    if (spool_flush() != 0) {
        close(upload_state.temp_fd);
        return send_result(false, ERR_IO);
    }
    if (commit_upload() != 0)
        return -1;
    return send_result(true, 0);
}
