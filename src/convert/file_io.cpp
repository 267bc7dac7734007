#include "convert/file_io.h"

#include <utility>

namespace parvane {

File::File(File &&other) noexcept
    : handle_(std::exchange(other.handle_, CLOSED)),
      append_position_(other.append_position_) {}

File &File::operator=(File &&other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, CLOSED);
    append_position_ = other.append_position_;
  }
  return *this;
}

File::~File() { close(); }

bool File::append(std::span<const std::uint8_t> bytes) {
  if (!write_at(append_position_, bytes))
    return false;
  append_position_ += static_cast<std::int64_t>(bytes.size());
  return true;
}

} // namespace parvane
