#pragma once

// Crash-safe replacement of a whole file, used by every writer of a secret file.
//
// The new content is written to a temporary file in the same directory, flushed
// to disk and renamed over the old file, and the directory is flushed, so that
// after a crash at any moment the path holds either the old or the new content,
// never a mix. The replaced file keeps its owner, group and mode; a new file gets
// the mode asked for (less the umask). The temporary file is given those
// permissions before any content is written to it, so it is never readable by
// more users than the final file.
//
// When the directory does not allow creating the temporary file, the old
// owner cannot be kept, or the file cannot be renamed over (it is a mount
// point), the file is rewritten in place instead: still written whole and
// flushed, but not atomic.

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
    // Remove temporary files of earlier replacements of the same file that a
    // crash left behind. Only for callers that serialise all writers of the
    // file (otherwise another writer's temporary file could be removed).
    bool remove_stale_temporaries = false;
    // Set to true when the file was rewritten in place instead of replaced.
    bool* rewritten_in_place = nullptr;
};

// Replaces the content of `path` with `length` bytes from `data`.
// Returns 0, ERR_OPEN_FILE when neither a temporary file nor the file itself
// can be opened, ERR_WRITE_FILE when writing, flushing or the rename fails, or
// the code of `before_rename`. On any failure of the atomic path the old file
// is unchanged. A symbolic link at `path` is followed: its target is replaced
// and the link stays.
int DurableReplaceFile(const std::string& path, const void* data, size_t length,
                       const DurableWriteOptions& options = {});

}  // namespace common_routines
