#include "datafile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace orvala {

std::string os_error_text(const std::error_code& error) {
    return std::string(std::strerror(error.value())) + " (os error " + std::to_string(error.value()) + ")";
}

std::string FileIoError::message() const { return path + ": " + os_error_text(error); }

std::expected<Buffer, std::error_code> Buffer::from_file(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        std::error_code ec(errno, std::generic_category());
        ::close(fd);
        return std::unexpected(ec);
    }
    Buffer b;
    if (st.st_size == 0) {
        ::close(fd);
        return b;
    }
    auto len = static_cast<size_t>(st.st_size);
    void* p = ::mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        std::error_code ec(errno, std::generic_category());
        ::close(fd);
        return std::unexpected(ec);
    }
    (void)::madvise(p, len, MADV_SEQUENTIAL);  // only a hint
    ::close(fd);
    b.map_ = p;
    b.map_len_ = len;
    return b;
}

std::expected<Buffer, FileIoError> Buffer::open(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(FileIoError::make(path, std::error_code(errno, std::generic_category())));
    auto b = from_file(fd);
    if (!b) return std::unexpected(FileIoError::make(path, b.error()));
    return std::move(*b);
}

Buffer Buffer::from_bytes(std::vector<uint8_t> bytes) {
    Buffer b;
    b.owned_ = std::move(bytes);
    return b;
}

Buffer::Buffer(Buffer&& other) noexcept
    : map_(std::exchange(other.map_, nullptr)),
      map_len_(std::exchange(other.map_len_, 0)),
      owned_(std::move(other.owned_)) {}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
    if (this != &other) {
        release();
        map_ = std::exchange(other.map_, nullptr);
        map_len_ = std::exchange(other.map_len_, 0);
        owned_ = std::move(other.owned_);
    }
    return *this;
}

Buffer::~Buffer() { release(); }

void Buffer::release() {
    if (map_) ::munmap(map_, map_len_);
    map_ = nullptr;
    map_len_ = 0;
}

std::span<const uint8_t> Buffer::bytes() const {
    if (map_) return {static_cast<const uint8_t*>(map_), map_len_};
    return owned_;
}

bool Buffer::drop_pages() const {
    if (!map_) return false;
    return ::madvise(map_, map_len_, MADV_DONTNEED) == 0;
}

}  // namespace orvala
