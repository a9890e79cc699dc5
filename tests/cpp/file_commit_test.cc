#include "file_commit.h"

#include <gtest/gtest.h>

#include "commit_journal.h"
#include "commit_test_util.h"
#include "datafile.h"
#include "lock_sync.h"
#include "test_bytes.h"

namespace orvala {
namespace {

using test::bytes_of;
using test::hex;
using test::Snapshot;

CommitStep rename_step(std::string name) {
    CommitStep s;
    s.kind = CommitStep::Kind::Rename;
    s.name = std::move(name);
    return s;
}

CommitStep patch_step(std::string name, uint64_t size, uint64_t offset, std::vector<uint8_t> bytes) {
    CommitStep s;
    s.kind = CommitStep::Kind::Patch;
    s.name = std::move(name);
    s.file_size = size;
    s.offset = offset;
    s.bytes = std::move(bytes);
    return s;
}

TEST(CommitJournal, ByteExactRoundTrip) {
    std::vector<CommitStep> steps = {rename_step("table.f0"), patch_step("table.lock", 40, 12, {0x00, 0x07})};
    auto fixture = hex(
        "4f 52 56 43 4d 54 30 31 02 00 00 00"                    // "ORVCMT01", 2 steps
        "02 08 00 74 61 62 6c 65 2e 66 30"                       // rename "table.f0"
        "01 0a 00 74 61 62 6c 65 2e 6c 6f 63 6b"                 // patch "table.lock"
        "28 00 00 00 00 00 00 00 0c 00 00 00 00 00 00 00"        // size 40, offset 12
        "02 00 00 00 00 00 00 00 00 07"                          // 2 bytes
        "56 87 18 8d ad 68 44 4a");                              // FNV-1a
    EXPECT_EQ(encode_commit_journal(steps), fixture);
    auto back = decode_commit_journal(fixture);
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(*back, steps);
}

TEST(CommitJournal, RefusesDamageAndForeignNames) {
    auto good = encode_commit_journal(std::vector<CommitStep>{rename_step("table.dat")});
    auto flipped = good;
    flipped[14] ^= 1;
    auto cut = std::vector<uint8_t>(good.begin(), good.end() - 1);
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"empty", {}},
        {"bad magic", hex("00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00")},
        {"flipped byte", flipped},
        {"cut short", cut},
        {"path", encode_commit_journal(std::vector<CommitStep>{rename_step("../table.dat")})},
        {"other file", encode_commit_journal(std::vector<CommitStep>{rename_step("notes.txt")})},
        {"lock renamed", encode_commit_journal(std::vector<CommitStep>{rename_step("table.lock")})},
        {"patch outside", encode_commit_journal(std::vector<CommitStep>{patch_step("table.f0", 4, 3, {1, 2})})},
    };
    for (const auto& c : cases) EXPECT_FALSE(decode_commit_journal(c.bytes)) << c.what;
}

// An old table of three files and the commit that turns it into the new one:
// table.dat and table.f0 replaced, table.f1 patched, table.f7 removed.
struct Fixture {
    std::string dir;
    Snapshot old_files;
    Snapshot new_files;

    explicit Fixture(const std::string& name) : dir(test::scratch_dir(name)) {
        old_files = {{"table.dat", bytes_of("old dat")},
                     {"table.f0", bytes_of("old f0 with more bytes")},
                     {"table.f1", bytes_of("0123456789")},
                     {"table.f7", bytes_of("stale")},
                     {"table.info", bytes_of("kept")}};
        new_files = old_files;
        new_files["table.dat"] = bytes_of("new dat");
        new_files["table.f0"] = bytes_of("f0");  // shorter than before
        new_files["table.f1"] = bytes_of("01ab456789");
        new_files.erase("table.f7");
        test::restore(dir, old_files);
    }

    CommitResult<void> commit() const {
        FileCommit c;
        c.add_file("table.dat", bytes_of("new dat"));
        c.add_file("table.f0", bytes_of("f0"));
        c.add_patch("table.f1", 10, 2, bytes_of("ab"));
        c.add_removal("table.f7");
        return commit_files(dir, std::move(c));
    }
};

TEST(FileCommit, ReplacesPatchesAndRemovesInOrder) {
    Fixture f("commit");
    auto ops = test::record_ops([&] { ASSERT_TRUE(f.commit()); });
    EXPECT_EQ(test::snapshot(f.dir), f.new_files);  // no journal, no temporaries left
    // Data files before table.dat, stale files after it.
    std::vector<std::string> renames;
    for (const auto& [op, name] : ops)
        if (op == FileOp::Rename || op == FileOp::Remove || op == FileOp::WritePatch) renames.push_back(name);
    EXPECT_EQ(renames, (std::vector<std::string>{"table.f1", "table.f0", "table.dat", "table.f7"}));
    EXPECT_EQ(complete_pending_commit(f.dir), false);
}

TEST(FileCommit, MappedReadersKeepReplacedFiles) {
    Fixture f("mapped");
    auto f0 = Buffer::open(f.dir + "/table.f0");
    auto f1 = Buffer::open(f.dir + "/table.f1");
    ASSERT_TRUE(f0 && f1);
    ASSERT_TRUE(f.commit());
    // The replaced file is still the old one for its reader; the patched
    // one shows the patch within its old length.
    EXPECT_EQ(std::vector<uint8_t>(f0->bytes().begin(), f0->bytes().end()), bytes_of("old f0 with more bytes"));
    EXPECT_EQ(std::vector<uint8_t>(f1->bytes().begin(), f1->bytes().end()), bytes_of("01ab456789"));
}

TEST(FileCommit, PatchThatDoesNotFitCommitsNothing) {
    Fixture f("nofit");
    FileCommit c;
    c.add_file("table.dat", bytes_of("new dat"));
    c.add_patch("table.f1", 10, 9, bytes_of("ab"));
    auto r = commit_files(f.dir, std::move(c));
    ASSERT_FALSE(r);
    EXPECT_FALSE(r.error().committed);
    EXPECT_EQ(test::snapshot(f.dir), f.old_files);
}

// A failure at every file operation in turn: before the commit point the old
// files are untouched and no temporary is left; after it the commit
// completes when the directory is next opened.
TEST(FileCommit, FailureAtEachOperation) {
    Fixture f("faults");
    auto ops = test::record_ops([&] { ASSERT_TRUE(f.commit()); });
    size_t point = test::commit_point(ops);
    ASSERT_LT(point, ops.size());
    for (size_t i = 0; i < ops.size(); ++i) {
        SCOPED_TRACE(std::to_string(i) + ": " + file_op_name(ops[i].first) + " " + ops[i].second);
        test::restore(f.dir, f.old_files);
        CommitResult<void> r;
        test::with_fault(i, EIO, [&] { r = f.commit(); });
        if (ops[i].first == FileOp::Remove) {  // a stale file that stays is no failure
            ASSERT_TRUE(r);
            continue;
        }
        ASSERT_FALSE(r) << "the failure was not reported";
        EXPECT_EQ(r.error().committed, i > point);
        if (i <= point) {
            EXPECT_EQ(test::snapshot(f.dir), f.old_files);
            continue;
        }
        auto done = complete_pending_commit(f.dir);
        ASSERT_TRUE(done) << done.error().message();
        EXPECT_EQ(test::snapshot(f.dir), f.new_files);
    }
}

// The process dies just before each file operation in turn; the directory
// then opens with the old files or the new ones, never a mix.
TEST(FileCommit, KilledAtEachOperation) {
    Fixture f("killed");
    auto ops = test::record_ops([&] { ASSERT_TRUE(f.commit()); });
    size_t point = test::commit_point(ops);
    for (size_t i = 0; i <= ops.size(); ++i) {
        SCOPED_TRACE(std::to_string(i));
        test::restore(f.dir, f.old_files);
        test::killed_at(i, [&] { (void)f.commit(); });
        ASSERT_TRUE(complete_pending_commit(f.dir));
        remove_commit_leftovers(f.dir);
        auto after = test::snapshot(f.dir);
        EXPECT_EQ(after, i <= point ? f.old_files : f.new_files);
    }
}

// Dying while completing a pending commit is no worse: the next completion
// finishes it.
TEST(FileCommit, KilledWhileCompleting) {
    Fixture f("recover");
    auto ops = test::record_ops([&] { ASSERT_TRUE(f.commit()); });
    size_t point = test::commit_point(ops);
    test::restore(f.dir, f.old_files);
    test::killed_at(point + 2, [&] { (void)f.commit(); });  // committed, no step run
    Snapshot pending = test::snapshot(f.dir);
    ASSERT_TRUE(pending.contains(std::string(kJournalName)));
    auto recovery = test::record_ops([&] { ASSERT_TRUE(complete_pending_commit(f.dir)); });
    for (size_t j = 0; j < recovery.size(); ++j) {
        SCOPED_TRACE(j);
        test::restore(f.dir, pending);
        test::killed_at(j, [&] { (void)complete_pending_commit(f.dir); });
        ASSERT_TRUE(complete_pending_commit(f.dir));
        EXPECT_EQ(test::snapshot(f.dir), f.new_files);
    }
}

TEST(FileCommit, DamagedJournalIsReportedAndKept) {
    std::string dir = test::scratch_dir("damaged");
    test::write_file(dir + "/" + std::string(kJournalName), bytes_of("garbage"));
    auto r = complete_pending_commit(dir);
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().message().find("damaged commit journal"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(dir + "/" + std::string(kJournalName)));
}

TEST(LockSync, FindsLastRecordAndEncodesItsWidth) {
    // "sync" v2 with 12 rows, then "sync" v1 with 5 rows, then a record cut short.
    auto lock = hex(
        "00 00 00 04 73 79 6e 63 00 00 00 02 00 00 00 00 00 00 00 0c"
        "ff 00 00 00 04 73 79 6e 63 00 00 00 01 00 00 00 05"
        "00 00 00 04 73 79 6e 63 00 00 00 02 00 00");
    auto rec = find_lock_sync(lock);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->nrow, 5u);
    EXPECT_EQ(rec->count_offset, 33u);
    EXPECT_EQ(rec->count_bytes, 4u);
    EXPECT_EQ(encode_lock_sync_count(*rec, 7), hex("00 00 00 07"));
    EXPECT_EQ(encode_lock_sync_count(*rec, uint64_t{1} << 32), std::nullopt);
    auto first = find_lock_sync(std::span(lock).first(20));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->nrow, 12u);
    EXPECT_EQ(encode_lock_sync_count(*first, 7), hex("00 00 00 00 00 00 00 07"));
    EXPECT_FALSE(find_lock_sync(hex("73 79 6e 63 00 00 00 02")));
    EXPECT_FALSE(find_lock_sync(hex("00 00 00 05 73 79 6e 63 00 00 00 02 00 00 00 00 00 00 00 0c")));
}

}  // namespace
}  // namespace orvala
