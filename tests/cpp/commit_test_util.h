// Helpers of the tests that write table directories: scratch directories,
// whole-directory snapshots, and running a step in a child process that is
// killed at a chosen file operation.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "file_commit.h"
#include "record.h"

namespace orvala::test {

// A fresh, empty directory under the test temp directory.
inline std::string scratch_dir(const std::string& name) {
    std::string dir = lexical_normalize(std::string(::testing::TempDir()) + "/orvala_" + name + "_" +
                                        std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

inline void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline std::vector<uint8_t> bytes_of(std::string_view s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Every regular file of a directory (not recursing) with its bytes.
using Snapshot = std::map<std::string, std::vector<uint8_t>>;
inline Snapshot snapshot(const std::string& dir) {
    Snapshot s;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.is_regular_file()) s[e.path().filename().string()] = read_file(e.path().string());
    return s;
}

inline void restore(const std::string& dir, const Snapshot& s) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    for (const auto& [name, bytes] : s) write_file(dir + "/" + name, bytes);
}

// The file operations that `step` makes, in order.
inline std::vector<std::pair<FileOp, std::string>> record_ops(const std::function<void()>& step) {
    std::vector<std::pair<FileOp, std::string>> ops;
    set_file_fault_hook([&](FileOp op, std::string_view name) {
        ops.emplace_back(op, std::string(name));
        return 0;
    });
    step();
    set_file_fault_hook({});
    return ops;
}

// Index of the commit point among recorded operations.
inline size_t commit_point(const std::vector<std::pair<FileOp, std::string>>& ops) {
    for (size_t i = 0; i < ops.size(); ++i)
        if (ops[i].first == FileOp::RenameJournal) return i;
    return ops.size();
}

// Runs `step` with operation number `fail_at` failing with `err`.
inline void with_fault(size_t fail_at, int err, const std::function<void()>& step) {
    size_t n = 0;
    set_file_fault_hook([&](FileOp, std::string_view) { return n++ == fail_at ? err : 0; });
    step();
    set_file_fault_hook({});
}

// Runs `step` in a child process that ends abruptly (no cleanup, no exit
// handlers) just before file operation number `kill_at`.
inline void killed_at(size_t kill_at, const std::function<void()>& step) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        size_t n = 0;
        set_file_fault_hook([&](FileOp, std::string_view) {
            if (n++ == kill_at) ::_exit(0);
            return 0;
        });
        step();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
}

}  // namespace orvala::test
