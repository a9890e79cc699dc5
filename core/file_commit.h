// Crash-safe replacement of a table's files.
//
// A commit turns a table directory from its old content into its new one:
//   1. every new file is written under a temporary name (".orvala-new."
//      followed by its name) in the directory and flushed to disk;
//   2. the journal of every step (commit_journal.h) is written under a
//      temporary name, flushed, and renamed to ".orvala-commit"; the
//      directory is flushed. That rename is the commit point;
//   3. the steps run in this order: in-place patches of data files, the
//      renames of the new data files over their names, the rename of
//      "table.dat", the patches of "table.lock", then the removal of stale
//      files; the directory is flushed;
//   4. the journal is removed and the directory flushed.
//
// Guarantee: a failure or a crash before the commit point leaves every file
// of the old table untouched (only temporaries remain; the next commit in
// the directory removes them). From the commit point on, the new content is
// decided: complete_pending_commit (called when a table is opened and before
// a flush) redoes the journal's steps, all of which can be repeated safely
// (a rename whose temporary is gone was made; a patch writes the same bytes
// again; removing a missing file is done). So a table opened by this system
// after a crash shows its old content or its new content, never a mix.
//
// Readers that mapped the old files keep them: a file is replaced by a
// rename, never truncated, and a patch writes only inside the bytes that a
// file already has: before the commit point, every patched file must have
// the size planned and hold the patch, or nothing is committed. (Completing
// a commit skips a patch whose file no longer has that size: something else
// replaced the file since, and the patch is not for it.)
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "commit_journal.h"

namespace orvala {

struct CommitError {
    std::string path;        // the file or directory concerned
    std::error_code error;   // the operating-system error, when there is one
    std::string text;        // otherwise what went wrong
    bool committed = false;  // the failure came after the commit point

    // The operating system's text of `error`, else `text`.
    std::string reason() const;
    // "PATH: REASON"
    std::string message() const;
};

template <class T>
using CommitResult = std::expected<T, CommitError>;

class FileCommit {
public:
    // A new file: written under a temporary name, then renamed over `name`.
    void add_file(std::string name, std::vector<uint8_t> bytes);
    // Bytes written at `offset` of the existing file `name`, which must be
    // `file_size` bytes long then (the patch must lie inside it).
    void add_patch(std::string name, uint64_t file_size, uint64_t offset, std::vector<uint8_t> bytes);
    // A file removed once the new files are in place (missing is fine).
    void add_removal(std::string name);

    bool empty() const { return files_.empty() && patches_.empty() && removals_.empty(); }
    const std::vector<std::pair<std::string, std::vector<uint8_t>>>& files() const { return files_; }
    // The journal's steps, in the order they run (see above).
    std::vector<CommitStep> steps() const;

private:
    friend CommitResult<void> commit_files(const std::string& dir, FileCommit commit);
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files_;
    std::vector<CommitStep> patches_;
    std::vector<std::string> removals_;
};

// Runs the commit in `dir` (which must exist). Names must pass
// is_commit_file_name (InternalError otherwise).
CommitResult<void> commit_files(const std::string& dir, FileCommit commit);

// Completes the pending commit of `dir`, if its journal is there; true when
// one was completed. A damaged journal is an error (it is left in place).
CommitResult<bool> complete_pending_commit(const std::string& dir);

// Removes the temporaries of commits that never reached their commit point
// (".orvala-new.*" and a journal that was never renamed in place), after
// completing a pending commit. Failures are ignored.
void remove_commit_leftovers(const std::string& dir);

// Syncs a directory's entries to disk.
CommitResult<void> sync_directory(const std::string& dir);

// ---- fault injection (tests) ----

enum class FileOp {
    CreateTemp,     // open a new temporary file
    WriteTemp,      // write its bytes
    SyncTemp,       // flush it to disk
    SyncDir,        // flush the directory
    CreateJournal,  // create the journal's temporary
    WriteJournal,
    SyncJournal,
    RenameJournal,  // the commit point
    OpenPatch,      // open a file to patch it
    WritePatch,
    SyncPatch,
    Rename,         // a new file over its final name
    Remove,         // a stale file
    RemoveJournal,
};
const char* file_op_name(FileOp op);

// Called before every file operation of this unit with the operation and the
// file name (relative to the directory); a non-zero result makes the
// operation fail with that errno value. An empty hook removes it.
using FileFaultHook = std::function<int(FileOp op, std::string_view name)>;
void set_file_fault_hook(FileFaultHook hook);

}  // namespace orvala
