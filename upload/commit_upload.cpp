// SPDX-License-Identifier: MIT
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>   // rename; nothing of the buffered streams
#include <string.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "file_identity.h"
#if UPLOAD_SESSION_CHECK
#include "session_check.h"
#endif
#include "upload.h"

// An attempt is lost only when another upload to the same slot made the
// file beside the target or ended meanwhile: of many at once on a disk, each
// holding the lock through its fsync, some lose dozens. The bound only keeps
// a file system that never settles from holding us for ever.
enum { OPEN_ATTEMPTS = 1024, IN_PLACE = 1 };

// More than any upload, less than the most one sendfile call moves.
constexpr size_t COPY_CHUNK = 1 << 30;

static const char SIDE_SUFFIX[] = ".new";

// The name the target finally leads to: a symbolic link, or a chain of
// them, is followed at the last component (a relative one from its own
// directory), so that the key is replaced where it lasts and every link
// stays. Directories on the way are the kernel's to follow. A chain longer
// than the kernel would follow stays a link, which is refused.
static char target[PATH_MAX];

// As the kernel's fs.protected_symlinks has it, whatever the sysctl says: in
// a sticky directory that anyone may write, a link is followed only when it
// belongs to this user or to the directory's owner, since anyone else's
// could lead the key anywhere. A link that cannot be told stays a link.
static bool may_follow(char (&name)[PATH_MAX])
{
    file_status link, dir;
    char *end = strrchr(name, '/');
    end = end ? end + 1 : name;
    const char kept = *end;
    *end = '\0';
    const bool known = status_at(*name ? name : ".", dir);
    *end = kept;
    return known && status_at(name, link) &&
           ((dir.mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH) || link.uid == geteuid() || link.uid == dir.uid);
}

static void resolve_target(char (&name)[PATH_MAX])
{
    char link[PATH_MAX];
    // Too long a name stays empty, which no commit takes.
    size_t size = strlen(upload_state.target_path) + 1;
    name[0] = '\0';
    if (size > sizeof name)
        return;
    memcpy(name, upload_state.target_path, size);
    for (int hop = 0; hop < 40; ++hop) {
        // The system call itself: musl's readlink adds a case for an empty
        // buffer, which this never is.
        long length = syscall(SYS_readlinkat, AT_FDCWD, name, link, sizeof link - 1);
        if (length <= 0 || !may_follow(name))
            return;
        const char *slash = strrchr(name, '/');
        size_t keep = link[0] == '/' || !slash ? 0 : static_cast<size_t>(slash + 1 - name);
        if (keep + static_cast<size_t>(length) >= sizeof name)
            return;
        link[length] = '\0';
        memcpy(name + keep, link, static_cast<size_t>(length) + 1);
    }
}

// A failed upload never leaves a file that was not there. Only an empty one
// is ours: another upload may have filled it before we got the lock.
static void remove_made(const char *path, int fd)
{
    file_status held;
    if (names_file(path, fd, held) && held.size == 0)
        unlink(path);
}

// The file beside the target is written only when it is our own: a regular
// file with one name, of our user.
static bool ours(const file_status &st)
{
    return S_ISREG(st.mode) && st.nlink == 1 && st.uid == geteuid();
}

// Opens the file without truncating it, locked against other uploads to the
// same path, and returns it empty once it is known to still be the file at
// the path (a failed upload may have removed it meanwhile) with no access
// for group or others. On failure errno is the open's when the open failed,
// else EIO. O_NONBLOCK: a FIFO at the name fails the open instead of holding
// the upload until a reader comes; O_NOCTTY: a terminal there never becomes
// ours. O_NOFOLLOW: the target's links were followed already, and a link
// put at either name since leads where nothing may be written. A target
// that was judged (judged) must be that very file, not one put in its
// place since.
static int open_locked(const char *path, bool beside, const file_status *judged, bool &made)
{
    const int flags = O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW;
    for (int attempt = 0; attempt < OPEN_ATTEMPTS; ++attempt) {
        file_status held;
        made = false;
        int fd = open(path, flags);
        // A file that has left the name since it was opened is not judged:
        // another upload renamed it over the target (where a later one may
        // have replaced it), and the name may lead to a third one's fresh
        // file by now, which the removal below would take from under it.
        // One that is still there is judged by the status taken before its
        // name was looked at, when it was there too: a file of ours that
        // leaves meanwhile is never taken for another's.
        if (beside && fd >= 0 && !names_file(path, fd, held)) {
            close(fd);
            continue;
        }
        // Whatever lies beside the target and is shown not to be ours (a
        // link, a FIFO, another name of another key, another user's file)
        // goes for a fresh one. An open refused for another reason (ENFILE,
        // ENOMEM) says nothing about the name: it may be another upload's
        // side file, made just now.
        if (beside && (fd >= 0 || errno != ENOENT) &&
            (fd >= 0 || status_at(path, held)) && !ours(held)) {
            close(fd);
            unlink(path);
            fd = -1;
            errno = ENOENT;
        }
        if (fd < 0) {
            if (errno != ENOENT || judged)
                return -1;
            fd = open(path, flags | O_CREAT | (beside ? O_EXCL : 0), 0600);
            if (fd < 0) {
                // another upload made it first
                if (errno == EEXIST)
                    continue;
                return -1;
            }
            made = true;
        }
        // Only a regular file takes a key: a device node or a FIFO that took
        // the name since it was looked at keeps its mode, and so does any
        // file but the one judged.
        if (!status_of(fd, held) || !S_ISREG(held.mode) || (judged && !same_file(held, *judged))) {
            close(fd);
            break;
        }
        // Before any byte is written: a private key must never be readable
        // by others, not even during the copy. The system call itself: the
        // descriptor is never an O_PATH one, for which musl's fchmod would
        // bring a /proc/self/fd fallback along.
        syscall(SYS_fchmod, fd, static_cast<mode_t>(upload_state.target_mode));
        flock(fd, LOCK_EX);
        // The side file's name must not lead elsewhere by a link put there
        // while we waited. A mode change refused (another user's file) or
        // ignored by the file system leaves the file as it was.
        bool at_path = names_file(path, fd, held);
        if (at_path && (held.mode & 077) == 0 && ftruncate(fd, 0) == 0)
            return fd;
        if (made)
            remove_made(path, fd);
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

// Only a refusal tells that the side file cannot be made. A passing error
// (ENOMEM, EMFILE, EINTR) tells nothing, and the copy in place, which a kill
// or a failed copy leaves torn, is no answer to it.
static bool refused(int error)
{
    return error == EACCES || error == EPERM || error == EROFS;
}

static int io_failed()
{
    close(upload_state.temp_fd);
    return send_result(ERR_IO);
}

static int io_failed(int fd)
{
    close(fd);
    return io_failed();
}

// The side file's name is fixed per target and hidden, so that a leftover of
// a power cut is reused by the next upload instead of piling up, and two
// uploads to one slot meet at its lock. Returns the length of the directory
// part with its slash, or 0 when the name does not fit.
static size_t side_path(char (&side)[PATH_MAX])
{
    const char *path = target;
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
    // A directory we may not write keeps the commit in place, also when a
    // file from earlier lies beside the target: we could not remove it.
    int dir = access(side, W_OK) == 0 ? open(side, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    side[dir_length] = '.';
    if (dir < 0)
        return refused(errno) ? IN_PLACE : io_failed();
    bool made;
    int fd = open_locked(side, true, nullptr, made);
    if (fd < 0) {
        if (!refused(errno))
            return io_failed(dir);
        close(dir);
        return IN_PLACE;
    }
    if (copy_spool(fd) != 0 || rename(side, target) != 0) {
        // Removed while the lock is held, so that a waiting upload opens a
        // new side file instead of writing into the removed one; only while
        // the name is still ours, lest another upload's file go.
        file_status held;
        if (names_file(side, fd, held))
            unlink(side);
        close(fd);
        return io_failed(dir);
    }
    // A link changed meanwhile would leave the new key where the target's
    // name no longer leads. Told by where the links lead now rather than by
    // the file found there: a later upload may rightly have put its own in
    // place already.
    char now[PATH_MAX];
    resolve_target(now);
    bool reached = strcmp(now, target) == 0;
    close(fd);
    // The rename is on storage only with its directory; a file system that
    // cannot sync a directory (EINVAL) has nothing more to do.
    if ((fsync(dir) != 0 && errno != EINVAL) || !reached)
        return io_failed(dir);
    close(upload_state.temp_fd);
    close(dir);
    return 0;
}

// Where a rename cannot keep what the target is (a hard link, a file in a
// directory we may not write), its content is replaced in place. A failed
// copy empties the file through its descriptor, so that no name of it keeps
// a part of the new key; every name and link stays, and only a file this
// upload made goes.
static int commit_in_place(const file_status *judged)
{
    bool made;
    int fd = open_locked(target, false, judged, made);
    if (fd < 0)
        return io_failed();
    if (copy_spool(fd) != 0) {
        // No name may keep a part of the new key; should the kernel refuse
        // to empty the file, the answer is the same failure.
        [[maybe_unused]] const int emptied = ftruncate(fd, 0);
        if (made)
            remove_made(target, fd);
        return io_failed(fd);
    }
    close(upload_state.temp_fd);
    close(fd);
    return 0;
}

int commit_upload()
{
    // A web server stops a program whose client went away (lighttpd with
    // SIGTERM); from here to the answer the key is being replaced, and such
    // a signal waits until the program ends. SIGKILL cannot wait: the write
    // beside and the rename are what keep the old key or the new one then.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    if (!upload_state.have_file_data) {
        close(upload_state.temp_fd);
        return send_result(ERR_EMPTY_FILE);
    }
    if (lseek(upload_state.temp_fd, 0, SEEK_SET) < 0)
        return io_failed();
    // Renamed over when absent, or a regular file with one name that we may
    // write; in place when a rename would part a hard link from its other
    // names or the file may not be written (which the open then refuses).
    // Anything but a regular file (a device node, a FIFO, a directory, a
    // link not followed) is never opened, and a target that cannot be told
    // (ENOMEM) is not written at all.
    resolve_target(target);
    file_status st;
    const file_status *judged = &st;
    int result;
    if (!status_at(target, st)) {
        judged = nullptr;
        result = errno == ENOENT ? commit_by_rename() : io_failed();
    } else if (!S_ISREG(st.mode)) {
        result = io_failed();
    } else if (st.nlink != 1) {
        result = IN_PLACE;
    } else {
        result = access(target, W_OK) == 0 ? commit_by_rename() : refused(errno) ? IN_PLACE : io_failed();
    }
    return result == IN_PLACE ? commit_in_place(judged) : result;
}

int upload_part_finish(multipart_scanner *)
{
    if (upload_state.part_kind != KIND_FILE) {
#if UPLOAD_SESSION_CHECK
        if (upload_state.part_kind == KIND_SESSION)
            upload_state.session_valid =
                session_allowed(upload_state.session_value, upload_state.session_length);
#endif
        upload_state.part_kind = KIND_NONE;
        return 0;
    }
    if (spool_flush() != 0)
        return io_failed();
    if (commit_upload() != 0)
        return -1;
    return send_result(0);
}
