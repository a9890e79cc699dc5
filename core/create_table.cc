#include "create_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>

#include "datafile.h"
#include "file_commit.h"
#include "lock_sync.h"
#include "utf8.h"

namespace orvala {

namespace {

// Hands out the caller's lists, copying or moving each.
class ListSource final : public ColumnValueSource {
public:
    ListSource(const std::vector<std::vector<RecordValue>>* copy, std::vector<std::vector<RecordValue>>* move)
        : copy_(copy), move_(move) {}
    WriteResult<std::vector<RecordValue>> take(size_t column) override {
        if (move_) return std::move((*move_)[column]);
        return (*copy_)[column];
    }

private:
    const std::vector<std::vector<RecordValue>>* copy_;
    std::vector<std::vector<RecordValue>>* move_;
};

CreateResult<void> check_lists(const TableDesc& desc, const std::vector<std::vector<RecordValue>>& lists) {
    if (lists.size() != desc.columns.size())
        return std::unexpected(TableCreateError::MissingValues{std::to_string(desc.columns.size()) + " columns, " +
                                                               std::to_string(lists.size()) + " value lists"});
    if (lists.empty()) return {};
    uint64_t want = lists.front().size();
    for (size_t c = 0; c < lists.size(); ++c)
        if (lists[c].size() != want)
            return std::unexpected(TableCreateError::RowCountMismatch{desc.columns[c].name, lists[c].size(), want});
    return {};
}

CreateResult<std::vector<std::string>> create_from(const std::string& dir, const TableDesc& desc,
                                                   const std::vector<std::vector<RecordValue>>* copy,
                                                   std::vector<std::vector<RecordValue>>* move) {
    const auto& lists = copy ? *copy : *move;
    if (auto ok = check_lists(desc, lists); !ok) return std::unexpected(ok.error());
    uint64_t nrow = lists.empty() ? 0 : lists.front().size();
    ListSource source(copy, move);
    auto image = build_table_image(desc, nrow, source);
    if (!image) {
        // The list source never fails, so the error is the writers'.
        if (auto* create = image.error().get<WriteTableError::Create>()) return std::unexpected(create->error);
        return std::unexpected(TableCreateError::io(image.error().message()));
    }
    return write_table_image(dir, std::move(*image));
}

// Names in `dir` that a rewrite replaces or leaves stale.
std::vector<std::string> table_file_entries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = ::readdir(d)) {
        std::string_view name(e->d_name);
        if ((name == "table.dat" || name.starts_with("table.f")) && is_valid_utf8(name)) names.emplace_back(name);
    }
    ::closedir(d);
    return names;
}

// Reads a small file whole; none when it cannot be read.
std::optional<std::vector<uint8_t>> read_small_file(const std::string& path) {
    auto buffer = Buffer::open(path);
    if (!buffer) return std::nullopt;
    auto bytes = buffer->bytes();
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace

CreateResult<std::vector<std::string>> write_table_image(const std::string& dir, TableImage image) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return std::unexpected(TableCreateError::os(ec));
    if (auto done = complete_pending_commit(dir); !done) return std::unexpected(TableCreateError::io(done.error().reason()));
    remove_commit_leftovers(dir);

    FileCommit commit;
    std::vector<std::string> written;
    std::set<std::string> names;
    for (auto& [name, bytes] : image.files) {
        written.push_back(name);
        names.insert(name);
        commit.add_file(name, std::move(bytes));
    }
    for (const auto& entry : table_file_entries(dir))
        if (!names.contains(entry)) commit.add_removal(entry);

    // A lock file whose last "sync" record holds another row count would
    // override the count just written when the table is opened again.
    std::string lock_path = dir + "/table.lock";
    if (auto lock = read_small_file(lock_path)) {
        if (auto sync = find_lock_sync(*lock); sync && sync->nrow != 0 && sync->nrow != image.nrow) {
            if (auto field = encode_lock_sync_count(*sync, image.nrow))
                commit.add_patch("table.lock", lock->size(), sync->count_offset, std::move(*field));
        }
    }

    if (auto ok = commit_files(dir, std::move(commit)); !ok) return std::unexpected(TableCreateError::io(ok.error().reason()));
    return written;
}

CreateResult<std::vector<std::string>> create_table(const std::string& dir, const TableDesc& desc,
                                                    const std::vector<std::vector<RecordValue>>& lists) {
    return create_from(dir, desc, &lists, nullptr);
}

CreateResult<std::vector<std::string>> create_table(const std::string& dir, const TableDesc& desc,
                                                    std::vector<std::vector<RecordValue>>&& lists) {
    return create_from(dir, desc, nullptr, &lists);
}

}  // namespace orvala
