#pragma once

// Crash-safe replacement of a whole file, used by every writer of a secret file.
//
// The new content is written to a temporary file in the same directory, flushed
// to disk and renamed over the old file, and the directory is flushed, so that
// after a crash at any moment the path holds either the old or the new content,
// never a mix. The replaced file keeps its owner, group and mode; a new file gets
// the mode asked for (less the umask, unless `secret_file` is set). The
// temporary file is readable by its owner only while it is written and gets the
// final owner and mode just before the rename, so a writer killed on the way
// leaves nothing that others can read; the next replacement of the same file
// removes such leftovers. The umask is read, never changed: this code also runs
// inside the database server.
//
// When the directory does not allow creating the temporary file, the old
// owner cannot be kept, or the file cannot be renamed over (it is a mount
// point), the file is rewritten in place instead: the new length is reserved
// first (a full disk fails before a byte changes), the content is written over
// the old from the start, then the file is cut to the new length and flushed.
// That is not crash-safe: a crash during the write leaves a mix of old and new
// content. Only a directory the writer may create files in gives crash-safe
// replacement.
//
// A path that names something other than a regular file (a FIFO, a device, also
// through a symbolic link) is refused with ERR_OPEN_FILE; nothing is opened in a
// way that could block.

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

namespace common_routines {

struct DurableWriteOptions {
    // Mode of a newly created file, before the umask is applied.
    mode_t create_mode = 0666;
    // Called with the descriptor of the fully written and flushed temporary file
    // just before it is renamed into place. A non-zero result aborts the
    // replacement (the temporary file is removed, the old file stays) and is
    // returned. When the rename is then refused and the file is rewritten in
    // place instead, `rewritten_in_place` tells the caller that the temporary
    // file did not become the file.
    std::function<int(int fd)> before_rename;
    // Kept for source compatibility: temporary files that a killed writer left
    // behind are now always removed (a writer holds a lock on its own temporary
    // file, so a live writer's file is never taken for a stale one).
    bool remove_stale_temporaries = false;
    // A new file is a secret: it gets exactly `create_mode` whatever the umask,
    // and the group of the directory that holds it. When that group cannot be
    // given (a caller outside the group), the group permission bits are dropped
    // instead of opening the file to the caller's own group.
    bool secret_file = false;
    // Set to true when the file was rewritten in place instead of replaced.
    bool* rewritten_in_place = nullptr;
    // False: a symbolic link at the path is not followed but refused with
    // ERR_OPEN_FILE, for files in a directory that other users may write into
    // (a planted link would have its target replaced). A link that appears
    // after the check is replaced itself, never its target.
    bool follow_symlinks = true;
};

// Replaces the content of `path` with `length` bytes from `data`.
// Returns 0, ERR_OPEN_FILE when neither a temporary file nor the file itself
// can be opened or the path is no regular file, ERR_WRITE_FILE when reserving
// space, writing, flushing or the rename fails, or the code of `before_rename`.
// On any failure of the atomic path the old file is unchanged. A symbolic link
// at `path` is followed (unless `follow_symlinks` is false): its target is
// replaced and the link stays.
int DurableReplaceFile(const std::string& path, const void* data, size_t length,
                       const DurableWriteOptions& options = {});

// Gives a secret file that this process has just created (open descriptor `fd`,
// at `path`) the group of its directory and exactly `mode`, with fchown and
// fchmod on the descriptor. When the group cannot be given, the group bits of
// `mode` are dropped. Returns 0 or the errno of the failed fchmod.
int SetSecretFileMode(int fd, const std::string& path, mode_t mode);

}  // namespace common_routines
