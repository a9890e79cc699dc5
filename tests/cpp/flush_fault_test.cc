// Flushes interrupted at every file operation, by a failure or by the death
// of the process: the table always opens afterwards, with its old content
// when the interruption came before the commit point and its new content
// after it. A failed flush keeps its edits, and flushing again succeeds.
#include <gtest/gtest.h>

#include "file_commit.h"
#include "flush_fixtures.h"

namespace orvala {
namespace {

using Cells = std::vector<std::vector<RecordValue>>;

struct Scenario {
    const char* what;
    std::function<void(WritableTable&)> edit;
};

// The edits of each scenario: one preserving flush that patches in place,
// rebuilds a data manager and patches tiles, and one full rewrite.
const Scenario kScenarios[] = {
    {"preserving",
     [](WritableTable& wt) {
         ASSERT_TRUE(wt.putcell(0, 40, RecordValue(-4.0)));
         ASSERT_TRUE(wt.putcell(3, 41, RecordValue(std::string("a rebuilt string column"))));
         ASSERT_TRUE(wt.putcell(5, 42, RecordValue(test::floats({3}, {4, 2, 0}))));
     }},
    {"full rewrite",
     [](WritableTable& wt) {
         wt.add_rows(3);
         ASSERT_TRUE(wt.putcell(1, 101, RecordValue(int32_t{-101})));
         ASSERT_TRUE(wt.putcell(3, 0, RecordValue(std::string("zero"))));
     }},
};

// The mixed table before and after a clean flush of the scenario.
struct Expected {
    test::Snapshot files;
    Cells old_cells, new_cells;
    std::vector<std::pair<FileOp, std::string>> ops;
    size_t commit_point = 0;
};

Expected expected_for(const Scenario& s, const std::string& name) {
    Expected e;
    std::string dir = test::make_mixed_table(name);
    e.files = test::snapshot(dir);
    e.old_cells = test::all_cells(*test::open_table(dir));
    auto wt = test::writable(dir);
    s.edit(wt);
    e.ops = test::record_ops([&] { EXPECT_TRUE(wt.flush()); });
    e.commit_point = test::commit_point(e.ops);
    e.new_cells = test::all_cells(*test::open_table(dir));
    return e;
}

TEST(FlushFaults, FailureAtEachFileOperation) {
    for (const auto& s : kScenarios) {
        SCOPED_TRACE(s.what);
        Expected e = expected_for(s, "fault_expect");
        ASSERT_LT(e.commit_point, e.ops.size());
        std::string dir = test::scratch_dir("fault");
        for (size_t i = 0; i < e.ops.size(); ++i) {
            SCOPED_TRACE(std::to_string(i) + ": " + file_op_name(e.ops[i].first) + " " + e.ops[i].second);
            test::restore(dir, e.files);
            auto wt = test::writable(dir);
            s.edit(wt);
            WriteResult<std::string> r;
            test::with_fault(i, EIO, [&] { r = wt.flush(); });
            if (e.ops[i].first == FileOp::Remove) {
                EXPECT_TRUE(r);  // a stale file left behind is no failure
            } else {
                ASSERT_FALSE(r) << "a failed flush reported success";
                EXPECT_TRUE(wt.any_dirty());
                // Before the commit point nothing of the old table changed.
                if (i <= e.commit_point) EXPECT_EQ(test::snapshot(dir), e.files);
                EXPECT_EQ(test::all_cells(*test::open_table(dir)), i <= e.commit_point ? e.old_cells : e.new_cells);
                // The edits are still there: a second flush writes them.
                auto again = wt.flush();
                ASSERT_TRUE(again) << again.error().message();
            }
            EXPECT_EQ(test::all_cells(*test::open_table(dir)), e.new_cells);
        }
    }
}

TEST(FlushFaults, ProcessKilledAtEachFileOperation) {
    for (const auto& s : kScenarios) {
        SCOPED_TRACE(s.what);
        Expected e = expected_for(s, "kill_expect");
        std::string dir = test::scratch_dir("kill");
        for (size_t i = 0; i <= e.ops.size(); ++i) {
            SCOPED_TRACE(i);
            test::restore(dir, e.files);
            test::killed_at(i, [&] {
                auto wt = test::writable(dir);
                s.edit(wt);
                (void)wt.flush();
            });
            auto t = test::open_table(dir);
            ASSERT_TRUE(t);
            EXPECT_EQ(test::all_cells(*t), i <= e.commit_point ? e.old_cells : e.new_cells);
            // The next flush clears what the dead one left.
            auto wt = test::writable(dir);
            ASSERT_TRUE(wt.putcell(1, 0, RecordValue(int32_t{1})));
            ASSERT_TRUE(wt.flush());
            for (const auto& [name, bytes] : test::snapshot(dir)) EXPECT_FALSE(name.starts_with(".orvala")) << name;
        }
    }
}

}  // namespace
}  // namespace orvala
