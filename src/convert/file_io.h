// The operating system, behind one small interface: checked, RAII-owned file
// access for one conversion, page-backed sample memory, and the few facts of
// the system that the conversion depends on.
//
// Every file of a conversion is a `File`: it owns one open file and closes it
// when it goes out of scope. Reads are positional: bytes that a source does
// not have come back as zeros, as the converter promises for short source
// files, while a read the system fails is reported as a value. Writes and the
// explicit close report failure as a value too, so that a full disk is never
// mistaken for success.
//
// One implementation per system family (file_io_posix.cpp,
// file_io_win32.cpp), chosen by the build; nothing else in the converter
// calls the system directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace parvane {

// What makes two open files one and the same, whatever names led to them:
// device and inode, or volume serial number and file index.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileIdentity &) const = default;
};

// How a step that reads one file and writes another ended.
enum class IoOutcome { Done, ReadFailed, WriteFailed };

class File {
public:
  // An existing regular file (or a link to one), opened read-only and shared
  // with whoever else holds it. A missing file, a directory or anything else
  // that is not a regular file gives nullopt.
  static std::optional<File> open_source(const std::string &name);
  // A file to write, created when absent and NOT emptied: the caller first
  // makes sure it is none of the files it is reading (`identity`), then
  // calls `truncate`. A link is followed, as a copy follows a destination
  // link. A pipe or socket gives nullopt.
  static std::optional<File> open_output(const std::string &name);
  // The staging file, opened for reading and writing, created when absent,
  // NOT emptied, and never through a symbolic link (a link there gives
  // nullopt). Once open it is locked exclusively, waiting for as long as
  // another conversion holds it; should the name then no longer lead to the
  // locked file (the holder deleted it), it is opened afresh.
  static std::optional<File> open_staging(const std::string &name);

  File(File &&other) noexcept;
  File &operator=(File &&other) noexcept;
  File(const File &) = delete;
  File &operator=(const File &) = delete;
  ~File();

  // Which file this is; nullopt when the system cannot tell.
  std::optional<FileIdentity> identity() const;

  // Cuts the file to zero length. A device has nothing to cut and succeeds.
  bool truncate();

  // Size in bytes as the file system reports it now (0 when it cannot tell).
  std::int64_t size() const;

  // Reads up to buffer.size() bytes at byte position `position`, retrying
  // short reads until end of file. Returns the number of bytes read, with the
  // rest of the buffer set to zero; a negative position counts as end of
  // file. nullopt when the system reports a read error.
  std::optional<std::size_t> read_at(std::int64_t position,
                                     std::span<std::uint8_t> buffer) const;

  // Writes all bytes at the current end of what this file has written so far
  // (sequential writing). False on any failure.
  bool append(std::span<const std::uint8_t> bytes);
  // Writes all bytes at byte position `position`. False on any failure,
  // including a negative position. Safe to call from several threads at once
  // on different positions.
  bool write_at(std::int64_t position, std::span<const std::uint8_t> bytes);

  // False when the file system holding this file reports less free space
  // than `bytes`: such a write could only fill the disk and then fail. True
  // when the file system cannot tell.
  bool has_room_for(std::int64_t bytes) const;

  // Asks the file system to allocate `bytes` from the start of the file in
  // one piece, without changing the file's size. Purely a hint for speed: a
  // file system that cannot do it is simply written as usual.
  void reserve(std::int64_t bytes);

  // Deletes `name`, which must lead to this open file, while it is still
  // open (and so still locked). True when it is gone, also when somebody
  // else already removed the name.
  bool remove(const std::string &name);

  // Closes the file. False when the close itself reports a failure. Closing
  // an already closed file does nothing and returns true.
  bool close();

private:
  // A file descriptor or a Windows handle; -1 when closed.
  using Handle = std::intptr_t;
  static constexpr Handle CLOSED = -1;
  explicit File(Handle handle) : handle_(handle) {}
  Handle handle_ = CLOSED;
  std::int64_t append_position_ = 0;
};

// Zeroed memory in pages of its own: the pages are touched only when used, so
// a small plane never costs the whole budget in resident memory, and they go
// back to the system as soon as the buffer is gone, so the buffers of
// successive planes never add up.
class PageBuffer {
public:
  explicit PageBuffer(std::size_t bytes);
  PageBuffer(const PageBuffer &) = delete;
  PageBuffer &operator=(const PageBuffer &) = delete;
  ~PageBuffer();

  // False when the system had no memory to give.
  bool usable() const { return pages_ != nullptr; }
  void *data() const { return pages_; }

private:
  std::size_t bytes_;
  void *pages_ = nullptr;
};

// True when `c` separates directories in a path on this system.
bool is_directory_separator(char c);

// Makes sure standard input, output and error are open, so that no file the
// converter opens can take one's place and receive console lines; a stream
// that was closed stays unwritable, so its loss is still noticed.
void guard_standard_streams();

// The program's arguments as UTF-8 text, argv[0] included: on POSIX
// systems argv as it is; on Windows taken from the wide command line, so
// that names in any script survive.
std::vector<std::string> command_line_arguments(int argc, char **argv);

// Named files and directories, for programs that choose their files by
// path. Every name is UTF-8; a failure carries the system's reason as a
// portable error code (std::errc where one fits), so that the same fault
// gives the same message on every system.

// What a name leads to, following links. `error` says why a name counts as
// Missing: it does not exist, or the system would not look it up.
enum class PathKind { Missing, RegularFile, Directory, Other };
PathKind path_kind(const std::string &name, std::error_code &error);

// The system's reason when `name` cannot be opened for reading; no error
// when it can.
std::error_code open_for_reading_error(const std::string &name);

// A new, empty file beside `final_name` (in its directory), under a name no
// other file has, for writing an output that appears under its final name
// only once complete. Its name goes to `temporary_name`.
std::optional<File> create_temporary_file(const std::string &final_name,
                                          std::string &temporary_name,
                                          std::error_code &error);

// Gives the file `from` the name `to` in one step. An existing `to` is
// replaced only when `replace` is set, and never in a race with whoever
// creates it meanwhile: that gives std::errc::file_exists.
std::error_code rename_file(const std::string &from, const std::string &to,
                            bool replace);

// Deletes the file `name`.
std::error_code remove_file(const std::string &name);

// The names in directory `directory`, in no particular order, without "."
// and "..".
std::error_code list_directory(const std::string &directory,
                               std::vector<std::string> &names);

} // namespace parvane
