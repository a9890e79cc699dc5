// The journal of a pending commit: the file operations that turn a table
// directory from its old content into its new one, written down before the
// first of them is made (file_commit.h). It lives in the table directory as
// ".orvala-commit" while the commit is pending.
//
// Format (little-endian):
//   8 bytes  magic "ORVCMT01"
//   u32      step count
//   steps, each a u8 kind and its fields; a name is a u16 length and bytes:
//     1 patch   name, u64 file size, u64 offset, u64 length, the bytes:
//               write the bytes at offset of an existing file of that size
//     2 rename  name: rename ".orvala-new." + name over name
//     3 remove  name: remove the file (a missing file is no error)
//   u64      FNV-1a hash of every byte before it
//
// Every name is one plain file name of the table's own files: "table.dat",
// "table.lock" (patches only) or one beginning with "table.f", without "/"
// or NUL. The reader checks everything, since the journal is a file like
// any other; a journal that fails a check is refused whole.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvala {

inline constexpr std::string_view kJournalName = ".orvala-commit";
inline constexpr std::string_view kJournalTempName = ".orvala-commit.new";
// Prefix of a file written for a commit, before it is renamed in place.
inline constexpr std::string_view kNewFilePrefix = ".orvala-new.";

struct CommitStep {
    enum class Kind : uint8_t { Patch = 1, Rename = 2, Remove = 3 };
    Kind kind = Kind::Rename;
    std::string name;            // the final name
    uint64_t file_size = 0;      // patch: the size the file must have
    uint64_t offset = 0;         // patch: where the bytes go
    std::vector<uint8_t> bytes;  // patch: what is written

    bool operator==(const CommitStep& other) const = default;
};

// A plain name of the table's own files (see above); `patch` also allows
// "table.lock".
bool is_commit_file_name(std::string_view name, bool patch);

std::vector<uint8_t> encode_commit_journal(std::span<const CommitStep> steps);
// The steps, or a text saying what is wrong.
std::expected<std::vector<CommitStep>, std::string> decode_commit_journal(std::span<const uint8_t> bytes);

}  // namespace orvala
