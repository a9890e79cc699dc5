#include "file_commit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "datafile.h"
#include "internal_error.h"

namespace orvala {

namespace {

FileFaultHook& fault_hook() {
    static FileFaultHook hook;
    return hook;
}

int injected(FileOp op, std::string_view name) {
    const auto& hook = fault_hook();
    return hook ? hook(op, name) : 0;
}

std::string in_dir(const std::string& dir, std::string_view name) { return dir + "/" + std::string(name); }

std::string temp_name(std::string_view name) { return std::string(kNewFilePrefix) + std::string(name); }

CommitError os_failure(const std::string& path, int err) {
    return CommitError{path, std::error_code(err, std::generic_category()), {}, false};
}

// Runs `call` (which returns -1 and sets errno on failure) unless the hook
// makes the operation fail first. Returns 0 or the errno value.
template <class Call>
int run_op(FileOp op, std::string_view name, Call&& call) {
    if (int e = injected(op, name)) return e;
    for (;;) {
        if (call() != -1) return 0;
        if (errno != EINTR) return errno;
    }
}

int write_all(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

int pwrite_all(int fd, const uint8_t* p, size_t n, uint64_t offset) {
    while (n > 0) {
        ssize_t w = ::pwrite(fd, p, n, static_cast<off_t>(offset));
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += w;
        n -= static_cast<size_t>(w);
        offset += static_cast<uint64_t>(w);
    }
    return 0;
}

// Writes a whole new file at `path` (removing a leftover of that name) and
// flushes it to disk.
CommitResult<void> write_new_file(const std::string& dir, std::string_view name, std::span<const uint8_t> bytes,
                                  FileOp create_op, FileOp write_op, FileOp sync_op) {
    std::string path = in_dir(dir, name);
    (void)::unlink(path.c_str());
    int fd = -1;
    if (int e = run_op(create_op, name, [&] {
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            return fd;
        }))
        return std::unexpected(os_failure(path, e));
    int e = injected(write_op, name);
    if (!e) e = write_all(fd, bytes.data(), bytes.size());
    if (!e) e = run_op(sync_op, name, [&] { return ::fsync(fd); });
    if (::close(fd) != 0 && !e && errno != EINTR) e = errno;
    if (e) return std::unexpected(os_failure(path, e));
    return {};
}

// Consecutive patches of one file: one open, the writes, one flush.
CommitResult<void> apply_patches(const std::string& dir, std::span<const CommitStep> patches) {
    const std::string& name = patches.front().name;
    std::string path = in_dir(dir, name);
    int fd = -1;
    if (int e = run_op(FileOp::OpenPatch, name, [&] {
            fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
            return fd;
        }))
        return std::unexpected(os_failure(path, e));
    auto fail = [&](CommitError err) {
        ::close(fd);
        return std::unexpected(std::move(err));
    };
    struct stat st;
    if (::fstat(fd, &st) != 0) return fail(os_failure(path, errno));
    for (const auto& p : patches) {
        // Sizes were checked before the commit point; a file of another
        // size now was replaced by someone else since, and the patch is not
        // for it.
        if (static_cast<uint64_t>(st.st_size) != p.file_size) continue;
        int e = injected(FileOp::WritePatch, name);
        if (!e) e = pwrite_all(fd, p.bytes.data(), p.bytes.size(), p.offset);
        if (e) return fail(os_failure(path, e));
    }
    if (int e = run_op(FileOp::SyncPatch, name, [&] { return ::fsync(fd); })) return fail(os_failure(path, e));
    ::close(fd);
    return {};
}

// Runs the steps of a journal. With `redo` (completing a commit after a
// crash) a rename whose temporary is gone counts as made.
CommitResult<void> apply_steps(const std::string& dir, std::span<const CommitStep> steps, bool redo) {
    for (size_t i = 0; i < steps.size();) {
        const CommitStep& s = steps[i];
        switch (s.kind) {
            case CommitStep::Kind::Patch: {
                size_t j = i + 1;
                while (j < steps.size() && steps[j].kind == CommitStep::Kind::Patch && steps[j].name == s.name) ++j;
                if (auto ok = apply_patches(dir, steps.subspan(i, j - i)); !ok) return ok;
                i = j;
                continue;
            }
            case CommitStep::Kind::Rename: {
                std::string from = in_dir(dir, temp_name(s.name));
                std::string to = in_dir(dir, s.name);
                int e = run_op(FileOp::Rename, s.name, [&] { return ::rename(from.c_str(), to.c_str()); });
                if (e == ENOENT && redo) {
                    struct stat st;
                    if (::stat(to.c_str(), &st) == 0) e = 0;
                }
                if (e) return std::unexpected(os_failure(to, e));
                break;
            }
            case CommitStep::Kind::Remove: {
                std::string path = in_dir(dir, s.name);
                // A stale file that cannot be removed is left: nothing refers
                // to it any more.
                (void)run_op(FileOp::Remove, s.name, [&] { return ::unlink(path.c_str()); });
                break;
            }
        }
        ++i;
    }
    return sync_directory(dir);
}

CommitResult<void> finish(const std::string& dir) {
    std::string path = in_dir(dir, kJournalName);
    int e = run_op(FileOp::RemoveJournal, kJournalName, [&] { return ::unlink(path.c_str()); });
    if (e && e != ENOENT) return std::unexpected(os_failure(path, e));
    // The removal must be on disk before anything else changes the files,
    // or a crash could bring the journal back over newer bytes.
    return sync_directory(dir);
}

CommitError committed(CommitError e) {
    e.committed = true;
    return e;
}

}  // namespace

std::string CommitError::reason() const { return error ? os_error_text(error) : text; }

std::string CommitError::message() const { return path + ": " + reason(); }

const char* file_op_name(FileOp op) {
    switch (op) {
        case FileOp::CreateTemp: return "create temporary";
        case FileOp::WriteTemp: return "write temporary";
        case FileOp::SyncTemp: return "sync temporary";
        case FileOp::SyncDir: return "sync directory";
        case FileOp::CreateJournal: return "create journal";
        case FileOp::WriteJournal: return "write journal";
        case FileOp::SyncJournal: return "sync journal";
        case FileOp::RenameJournal: return "rename journal";
        case FileOp::OpenPatch: return "open for patch";
        case FileOp::WritePatch: return "write patch";
        case FileOp::SyncPatch: return "sync patch";
        case FileOp::Rename: return "rename";
        case FileOp::Remove: return "remove";
        case FileOp::RemoveJournal: return "remove journal";
    }
    return "?";
}

void set_file_fault_hook(FileFaultHook hook) { fault_hook() = std::move(hook); }

CommitResult<void> sync_directory(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(os_failure(dir, errno));
    int e = run_op(FileOp::SyncDir, ".", [&] { return ::fsync(fd); });
    ::close(fd);
    // Some file systems cannot sync a directory; that is no failure.
    if (e && e != EINVAL && e != ENOTSUP) return std::unexpected(os_failure(dir, e));
    return {};
}

void FileCommit::add_file(std::string name, std::vector<uint8_t> bytes) {
    files_.emplace_back(std::move(name), std::move(bytes));
}

void FileCommit::add_patch(std::string name, uint64_t file_size, uint64_t offset, std::vector<uint8_t> bytes) {
    CommitStep s;
    s.kind = CommitStep::Kind::Patch;
    s.name = std::move(name);
    s.file_size = file_size;
    s.offset = offset;
    s.bytes = std::move(bytes);
    patches_.push_back(std::move(s));
}

void FileCommit::add_removal(std::string name) { removals_.push_back(std::move(name)); }

std::vector<CommitStep> FileCommit::steps() const {
    std::vector<CommitStep> steps;
    auto rename = [&](const std::string& name) {
        CommitStep s;
        s.kind = CommitStep::Kind::Rename;
        s.name = name;
        steps.push_back(std::move(s));
    };
    for (const auto& p : patches_)
        if (p.name != "table.lock") steps.push_back(p);
    for (const auto& f : files_)
        if (f.first != "table.dat") rename(f.first);
    for (const auto& f : files_)
        if (f.first == "table.dat") rename(f.first);
    for (const auto& p : patches_)
        if (p.name == "table.lock") steps.push_back(p);
    for (const auto& r : removals_) {
        CommitStep s;
        s.kind = CommitStep::Kind::Remove;
        s.name = r;
        steps.push_back(std::move(s));
    }
    for (const auto& s : steps)
        if (!is_commit_file_name(s.name, s.kind == CommitStep::Kind::Patch))
            throw InternalError("commit of a file that is not the table's: " + s.name);
    return steps;
}

CommitResult<void> commit_files(const std::string& dir, FileCommit commit) {
    std::vector<CommitStep> steps = commit.steps();
    if (steps.empty()) return {};
    // A patch must fit the file as it is now, or nothing is committed.
    for (const auto& p : commit.patches_) {
        std::string path = in_dir(dir, p.name);
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) return std::unexpected(os_failure(path, errno));
        if (static_cast<uint64_t>(st.st_size) != p.file_size || p.offset > p.file_size ||
            p.bytes.size() > p.file_size - p.offset)
            return std::unexpected(CommitError{path, {},
                                               "a patch of " + std::to_string(p.bytes.size()) + " bytes at " +
                                                   std::to_string(p.offset) + " does not fit the file's " +
                                                   std::to_string(st.st_size) + " bytes",
                                               false});
    }

    // Before the commit point: temporaries only. A failure removes them.
    std::vector<std::string> written;
    auto abandon = [&](CommitError e) {
        for (const auto& name : written) (void)::unlink(in_dir(dir, name).c_str());
        return std::unexpected(std::move(e));
    };
    for (auto& [name, bytes] : commit.files_) {
        std::string temp = temp_name(name);
        written.push_back(temp);
        auto ok = write_new_file(dir, temp, bytes, FileOp::CreateTemp, FileOp::WriteTemp, FileOp::SyncTemp);
        if (!ok) return abandon(ok.error());
        std::vector<uint8_t>().swap(bytes);  // written: let the image go
    }
    if (!commit.files_.empty())
        if (auto ok = sync_directory(dir); !ok) return abandon(ok.error());

    std::vector<uint8_t> journal = encode_commit_journal(steps);
    written.emplace_back(kJournalTempName);
    if (auto ok = write_new_file(dir, kJournalTempName, journal, FileOp::CreateJournal, FileOp::WriteJournal,
                                 FileOp::SyncJournal);
        !ok)
        return abandon(ok.error());
    std::string journal_temp = in_dir(dir, kJournalTempName);
    std::string journal_path = in_dir(dir, kJournalName);
    if (int e = run_op(FileOp::RenameJournal, kJournalName,
                       [&] { return ::rename(journal_temp.c_str(), journal_path.c_str()); }))
        return abandon(os_failure(journal_path, e));

    // Committed: from here the journal completes the change, even after a
    // failure below (the next open or flush does it).
    if (auto ok = sync_directory(dir); !ok) return std::unexpected(committed(ok.error()));
    if (auto ok = apply_steps(dir, steps, /*redo=*/false); !ok) return std::unexpected(committed(ok.error()));
    if (auto ok = finish(dir); !ok) return std::unexpected(committed(ok.error()));
    return {};
}

CommitResult<bool> complete_pending_commit(const std::string& dir) {
    std::string path = in_dir(dir, kJournalName);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return false;
        return std::unexpected(committed(os_failure(path, errno)));
    }
    auto buffer = Buffer::from_file(fd);
    if (!buffer) return std::unexpected(committed(os_failure(path, buffer.error().value())));
    auto steps = decode_commit_journal(buffer->bytes());
    if (!steps) return std::unexpected(CommitError{path, {}, steps.error(), true});
    if (auto ok = apply_steps(dir, *steps, /*redo=*/true); !ok) return std::unexpected(committed(ok.error()));
    if (auto ok = finish(dir); !ok) return std::unexpected(committed(ok.error()));
    return true;
}

void remove_commit_leftovers(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        std::string_view name(e->d_name);
        if (name.starts_with(kNewFilePrefix) || name == kJournalTempName) names.emplace_back(name);
    }
    ::closedir(d);
    for (const auto& name : names) (void)::unlink(in_dir(dir, name).c_str());
}

}  // namespace orvala
