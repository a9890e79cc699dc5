// Opening a table directory and finding the reader of each column.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "internal_error.h"
#include "table.h"
#include "utf8.h"

namespace orvala {

namespace {

// The whole file, or the operating system's error.
std::expected<std::vector<uint8_t>, std::error_code> read_whole_file(const std::string& path) {
    auto os_error = [] { return std::unexpected(std::error_code(errno, std::generic_category())); };
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return os_error();
    std::vector<uint8_t> out;
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) out.reserve(static_cast<size_t>(st.st_size));
    uint8_t chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            auto e = os_error();
            ::close(fd);
            return e;
        }
        if (n == 0) break;
        out.insert(out.end(), chunk, chunk + n);
    }
    ::close(fd);
    return out;
}

TableDatError storage(std::string text) { return TableDatError{TableDatError::Storage{std::move(text)}}; }

}  // namespace

std::string absolute_dir(std::string_view path) {
    if (path.starts_with("/")) return lexical_normalize(path);
    std::vector<char> buf(PATH_MAX);
    while (::getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE || buf.size() > (size_t{1} << 20)) return std::string(path);
        buf.resize(buf.size() * 2);
    }
    std::string joined(buf.data());
    joined += '/';
    joined += path;
    return lexical_normalize(joined);
}

std::expected<std::shared_ptr<const Table>, TableDatError> Table::open(std::string_view path) {
    std::shared_ptr<Table> t(new Table());
    t->dir_ = absolute_dir(path);
    auto bytes = read_whole_file(t->dir_ + "/table.dat");
    if (!bytes) return std::unexpected(TableDatError{TableDatError::Io{os_error_text(bytes.error())}});
    auto dat = parse_table_dat(*bytes);
    if (!dat) return std::unexpected(std::move(dat.error()));
    t->dat_ = std::move(*dat);
    t->nrow_ = t->dat_.row_count;
    if (auto n = lock_sync_nrrow(t->dir_); n && *n != 0) t->nrow_ = *n;

    const bool be = t->dat_.big_endian;
    for (const DataManager& dm : t->dat_.column_set.data_managers) {
        const std::string& type = dm.type_name;
        if (type == "StandardStMan") {
            auto f = StandardStManFile::open(t->dir_, dm.sequence, be);
            if (!f) return std::unexpected(storage(f.error().message()));
            t->ssm_.emplace_back(dm.sequence, std::move(*f));
        } else if (type == "IncrementalStMan") {
            auto f = IsmFile::open(t->dir_, dm.sequence, be);
            if (!f) return std::unexpected(storage(f.error().message()));
            // Array cells of the manager live in its array file, when it has
            // any; a file that is there but cannot be mapped fails the open.
            std::optional<Buffer> arrays;
            auto a = Buffer::open(t->dir_ + "/table.f" + std::to_string(dm.sequence) + "i");
            if (a) arrays = std::move(*a);
            else if (a.error().error.value() != ENOENT) return std::unexpected(storage(a.error().message()));
            t->ism_.push_back(IsmManager{dm.sequence, std::move(*f), std::move(arrays)});
        } else if (type == "TiledColumnStMan" || type == "TiledShapeStMan") {
            auto f = TsmFile::open(t->dir_, dm.sequence, be);
            if (!f) return std::unexpected(storage(f.error().message()));
            t->tsm_.emplace_back(dm.sequence, std::move(*f));
        } else {
            return std::unexpected(storage("unsupported data-manager type " + type));
        }
    }
    return std::shared_ptr<const Table>(std::move(t));
}

std::string Table::name() const { return is_valid_utf8(dir_) ? dir_ : std::string(); }

std::vector<std::string> Table::colnames() const {
    std::vector<std::string> names;
    names.reserve(ncolumns());
    for (const ColumnDesc& c : desc().columns) names.push_back(c.name);
    return names;
}

std::optional<size_t> Table::column_index(std::string_view name) const {
    const auto& cols = desc().columns;
    for (size_t i = 0; i < cols.size(); ++i)
        if (cols[i].name == name) return i;
    return std::nullopt;
}

const std::string& Table::data_manager_type(size_t column) const {
    if (column >= ncolumns() || column >= column_set().columns.size())
        throw InternalError("Table::data_manager_type: column " + std::to_string(column) + " of " +
                            std::to_string(ncolumns()));
    const DataManager* dm = column_set().find_data_manager(column_set().columns[column].dm_sequence);
    return dm ? dm->type_name : desc().columns[column].data_manager_type;
}

TableReadResult<ColumnSource> Table::column_source(size_t column) const {
    const std::string& type = data_manager_type(column);  // checks the index
    const auto& infos = column_set().columns;
    const uint32_t seq = infos[column].dm_sequence;
    size_t k = 0;
    for (size_t j = 0; j < column; ++j)
        if (infos[j].dm_sequence == seq) ++k;
    const std::string& name = desc().columns[column].name;
    auto not_readable = [&](std::string text) {
        return std::unexpected(TableReadError{TableReadError::NotReadable{name, std::move(text)}});
    };

    if (type == "StandardStMan") {
        const StandardStManFile* file = nullptr;
        for (const auto& [s, f] : ssm_)
            if (s == seq) {
                file = &f;
                break;
            }
        if (!file) return not_readable("StandardStMan");
        const DataManager* dm = column_set().find_data_manager(seq);
        const StandardStMan* settings = dm ? std::get_if<StandardStMan>(&dm->blob) : nullptr;
        if (!settings) return not_readable("no spec");
        return ColumnSource{ColumnSource::Standard{k, file, settings}};
    }
    if (type == "IncrementalStMan") {
        for (const IsmManager& m : ism_)
            if (m.seq == seq)
                return ColumnSource{
                    ColumnSource::Incremental{k, &m.file, m.array_file ? &*m.array_file : nullptr}};
        return not_readable("IncrementalStMan");
    }
    if (type == "TiledShapeStMan" || type == "TiledColumnStMan") {
        for (const auto& [s, f] : tsm_)
            if (s == seq) return ColumnSource{ColumnSource::Tiled{k, &f}};
        return not_readable("tiled storage manager");
    }
    return not_readable(type);
}

void Table::drop_pages() const {
    for (const auto& [s, f] : ssm_) f.drop_pages();
    for (const IsmManager& m : ism_) {
        m.file.buffer().drop_pages();
        if (m.array_file) m.array_file->drop_pages();
    }
    for (const auto& [s, f] : tsm_)
        for (const auto& entry : f.header().files)
            if (entry)
                if (const Buffer* b = f.tile_file(entry->seq)) b->drop_pages();
}

}  // namespace orvala
