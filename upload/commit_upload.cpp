#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "upload.h"

enum { OPEN_ATTEMPTS = 16 };

// Opens the target without truncating it, locked against other uploads to
// the same path, and returns the descriptor once it is known to still name
// the file at the path (a failed upload may have removed it meanwhile).
static int open_target_locked()
{
    const char *path = upload_state.target_path;
    for (int attempt = 0; attempt < OPEN_ATTEMPTS; ++attempt) {
        int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0)
            return -1;
        // Before any byte is written: a private key must never be readable
        // by others, not even during the copy.
        fchmod(fd, static_cast<mode_t>(upload_state.target_mode));
        flock(fd, LOCK_EX);
        struct stat held, named;
        if (fstat(fd, &held) == 0 && stat(path, &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            if (ftruncate(fd, 0) == 0)
                return fd;
            close(fd);
            return -1;
        }
        close(fd);
    }
    return -1;
}

// The target is removed while the lock is still held, so that a waiting
// upload reopens the path instead of writing into the removed file.
static int copy_failed()
{
    close(upload_state.temp_fd);
    int result = send_result(false, ERR_IO);
    close(upload_state.target_fd);
    return result;
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
    int fd = open_target_locked();
    if (fd < 0) {
        close(upload_state.temp_fd);
        return send_result(false, ERR_IO);
    }
    upload_state.target_fd = fd;

    uint32_t stored = 0;
    char buffer[READ_CHUNK];
    for (;;) {
        ssize_t got = read(upload_state.temp_fd, buffer, READ_CHUNK);
        if (got == 0)
            break;
        // A spool that cannot be read back must not pass for a short file.
        if (got < 0 || write(fd, buffer, static_cast<size_t>(got)) != got)
            return copy_failed();
        stored += static_cast<uint32_t>(got);
    }
    // Success means the key is on storage and survives a power cut.
    if (fsync(fd) < 0)
        return copy_failed();
    close(upload_state.temp_fd);
    close(fd);
    upload_state.stored_bytes = stored;
    return 0;
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
