// A data file as a read-only byte view: the whole file mapped shared and
// read-only (an empty file, which cannot be mapped, is an owned empty
// buffer). The mapping lives as long as the Buffer; readers borrow spans of it.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace orvala {

// The operating system's text for an error number followed by
// " (os error N)", e.g. "Permission denied (os error 13)".
std::string os_error_text(const std::error_code& error);

// A file that could not be opened or mapped.
struct FileIoError {
    std::string path;
    std::error_code error;

    static FileIoError make(std::string_view path, std::error_code error) {
        return FileIoError{std::string(path), error};
    }
    // "<path>: <os_error_text>"
    std::string message() const;
};

class Buffer {
public:
    // Takes ownership of the open descriptor `fd`, maps the whole file and
    // closes the descriptor (also on failure).
    static std::expected<Buffer, std::error_code> from_file(int fd);
    // Opens `path` read-only and maps it.
    static std::expected<Buffer, FileIoError> open(const std::string& path);
    // An owned buffer over the given bytes (tests, and data built in memory).
    static Buffer from_bytes(std::vector<uint8_t> bytes);

    Buffer() = default;
    Buffer(Buffer&& other) noexcept;
    Buffer& operator=(Buffer&& other) noexcept;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer();

    std::span<const uint8_t> bytes() const;
    size_t size() const { return bytes().size(); }
    bool is_mapped() const { return map_ != nullptr; }

    // Tells the kernel the mapped pages are no longer needed (they are read
    // again from the file on the next touch). Nothing for an owned buffer.
    // Returns whether the advice was taken; callers need not look.
    bool drop_pages() const;

private:
    void release();

    void* map_ = nullptr;
    size_t map_len_ = 0;
    std::vector<uint8_t> owned_;
};

}  // namespace orvala
