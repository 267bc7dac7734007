// Checked, RAII-owned file access for one conversion.
//
// Every file of a conversion is a `File`: it owns one descriptor and closes it
// when it goes out of scope. Reads are positional and never fail loudly: bytes
// that a source does not have come back as zeros, as the converter promises for
// short source files. Writes and the explicit close report failure as a value,
// so that a full disk is never mistaken for success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace parvane {

class File {
public:
  // An existing regular file (or a link to one), opened read-only. A missing
  // file, a directory or anything else that is not a regular file gives nullopt.
  static std::optional<File> open_source(const std::string &name);
  // Created, or cut to zero length, for writing only.
  static std::optional<File> create_output(const std::string &name);
  // Created, or cut to zero length, for reading and writing.
  static std::optional<File> create_scratch(const std::string &name);

  File(File &&other) noexcept;
  File &operator=(File &&other) noexcept;
  File(const File &) = delete;
  File &operator=(const File &) = delete;
  ~File();

  // Size in bytes as the file system reports it now (0 when it cannot tell).
  std::int64_t size() const;

  // Reads up to buffer.size() bytes at byte position `position`, retrying
  // short reads until end of file. Returns the number of bytes read; the rest
  // of the buffer is set to zero. A negative position or a read error counts
  // as end of file.
  std::size_t read_at(std::int64_t position, std::span<std::uint8_t> buffer) const;

  // Writes all bytes at the current end of what this file has written so far
  // (sequential writing). False on any failure.
  bool append(std::span<const std::uint8_t> bytes);
  // Writes all bytes at byte position `position`. False on any failure,
  // including a negative position.
  bool write_at(std::int64_t position, std::span<const std::uint8_t> bytes);

  // False when the file system holding this file reports less free space
  // than `bytes`: such a write could only fill the disk and then fail. True
  // when the file system cannot tell.
  bool has_room_for(std::int64_t bytes) const;

  // Asks the file system to allocate `bytes` from the start of the file in
  // one piece, without changing the file's size. Purely a hint for speed: a
  // file system that cannot do it is simply written as usual.
  void reserve(std::int64_t bytes);

  // Closes the descriptor. False when the close itself reports a failure.
  // Closing an already closed file does nothing and returns true.
  bool close();

  // Takes ownership of an open descriptor.
  static File adopt(int descriptor);

private:
  explicit File(int descriptor) : descriptor_(descriptor) {}
  int descriptor_ = -1;
  std::int64_t append_position_ = 0;
};

} // namespace parvane
