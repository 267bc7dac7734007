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
// Every failure carries its reason, as the system gave it or as one of the
// layer's own refusals, so that a diagnostic can say which file failed and
// why. The loops over the system's calls (chunking, retrying, zero-filling)
// and the decisions built on them live once, in file_io.cpp; the primitives
// beneath them have one implementation per system family
// (file_io_posix.cpp, file_io_win32.cpp, behind file_io_system.h), chosen by
// the build; nothing else in the converter calls the system directly.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
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
  // Ordered, so that sets of files are looked up in logarithmic time.
  auto operator<=>(const FileIdentity &) const = default;
};

// How a step that reads one file and writes another ended.
enum class IoOutcome { Done, ReadFailed, WriteFailed };

// The file layer's own reasons for refusing a file, beside the system's
// errors: the same words on every system.
enum class FileRefusal {
  NotRegularFile = 1,
  Directory,
  SymbolicLink,
  SecondName,
  NotPositional,
  NoRoom,
  NothingWritten,
  UnknownIdentity,
  DroppedTrailingCharacter,
  InUse,
  NameTaken,
  Interrupted, // the run was asked to stop (interruption.h)
};
const std::error_category &file_refusal_category();
std::error_code make_error_code(FileRefusal refusal);

} // namespace parvane

template <>
struct std::is_error_code_enum<parvane::FileRefusal> : std::true_type {};

namespace parvane {

// The system's error number (errno, or GetLastError on Windows) as an error
// code of this system.
std::error_code system_error_code(int value);

// What went wrong in words, for a diagnostic line: the system's own text for
// its errors (without a closing period), the fixed text of a refusal.
std::string describe(const std::error_code &error);

// Whether a failed `File::open_source` of `name` means that there is no
// source of that name at all: no directory entry, or an entry that is no
// regular file (a directory, a pipe, a device). A file that exists but
// cannot be opened (no permission, held by a program that shares no reads,
// an input/output error, a link whose target is gone) is a failure instead.
bool names_no_source(const std::string &name, const std::error_code &open_error);

class File {
public:
  // Every opening function tells why it failed through `error`; the
  // overloads without it are for callers that need only know whether it
  // opened.

  // An existing regular file (or a link to one), opened read-only and shared
  // with whoever else holds it. A missing file, a directory or anything else
  // that is not a regular file gives nullopt.
  static std::optional<File> open_source(const std::string &name,
                                         std::error_code &error);
  // A file to write, created when absent and NOT emptied: the caller first
  // makes sure it is none of the files it is reading (`identity`), then
  // calls `truncate`. A link is followed, as a copy follows a destination
  // link. A pipe or socket gives nullopt.
  static std::optional<File> open_output(const std::string &name,
                                         std::error_code &error);
  // A new file under `name` in place of the one there now, which is deleted
  // first: its other names keep their content. For an output whose name is
  // one of several (`has_other_names`).
  static std::optional<File> replace_output(const std::string &name,
                                            std::error_code &error);
  // The staging file, opened for reading and writing, created when absent,
  // NOT emptied, and never through a symbolic link or when it has a second
  // name (either gives nullopt). Once open it is locked exclusively, waiting
  // for as long as another conversion holds it (`about_to_wait` is called
  // once before the first wait) unless the run is asked to stop meanwhile
  // (nullopt, `FileRefusal::Interrupted`); should the name then no longer
  // lead to the locked file (the holder deleted it), it is opened afresh.
  // When the lock fails, a staging file that this call created is deleted
  // again.
  static std::optional<File>
  open_staging(const std::string &name, std::error_code &error,
               const std::function<void()> &about_to_wait = {});

  // A new, empty file beside `final_name` (in its directory), under a name
  // that no other file has, for an output that is to appear under its final
  // name only once complete (`rename_file`), named by `temporary_name_for`.
  // Its name goes to `temporary_name`; when no file could be created, the
  // last name tried, the one the failure in `error` concerns.
  static std::optional<File> create_temporary(const std::string &final_name,
                                              std::string &temporary_name,
                                              std::error_code &error);

  static std::optional<File> open_source(const std::string &name);
  static std::optional<File> open_output(const std::string &name);
  static std::optional<File> open_staging(const std::string &name);

  File(File &&other) noexcept;
  File &operator=(File &&other) noexcept;
  File(const File &) = delete;
  File &operator=(const File &) = delete;
  ~File();

  // Why the first operation on this file that failed failed (a read, a
  // write, a truncation, a room check, a removal or the close); empty while
  // none has. Kept as the failure happens, from whichever thread.
  std::error_code failure() const;

  // Which file this is; nullopt when the system cannot tell.
  std::optional<FileIdentity> identity() const;

  // True when `name` itself (not a symbolic link) is this regular file and
  // the file has further names (hard links): emptying it would empty them.
  bool has_other_names(const std::string &name) const;

  // Cuts the file to zero length. A device has nothing to cut and succeeds.
  bool truncate();

  // Size in bytes as the file system reports it now (0 when it cannot tell).
  std::int64_t size() const;

  // When the content last changed, comparable only with another file's
  // (`newer than`); nullopt when the system cannot tell.
  std::optional<std::int64_t> modified_at() const;
  // Sets that time (as modified_at gives it); false when the system would
  // not.
  bool set_modified_at(std::int64_t time);

  // Reads up to buffer.size() bytes at byte position `position`, retrying
  // short reads until end of file. Returns the number of bytes read, with the
  // rest of the buffer set to zero; a negative position counts as end of
  // file. nullopt when the system reports a read error, or once the run has
  // been asked to stop (`FileRefusal::Interrupted`).
  std::optional<std::size_t> read_at(std::int64_t position,
                                     std::span<std::uint8_t> buffer) const;

  // Writes all bytes at the current end of what this file has written so far
  // (sequential writing). False on any failure.
  bool append(std::span<const std::uint8_t> bytes);
  // Writes all bytes at byte position `position`. False on any failure,
  // including a negative position, and once the run has been asked to stop
  // (`FileRefusal::Interrupted`). Safe to call from several threads at once
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

  // Asks the system to read bytes [offset, offset + length) into its cache
  // ahead of reads that come in small pieces out of order, which it would
  // otherwise fetch from the disk one by one. Purely a hint for speed.
  void prefetch(std::int64_t offset, std::int64_t length) const;

  // Deletes `name`, which must lead to this open file, while it is still
  // open (and so still locked). No error when it is gone, also when somebody
  // else already removed the name; otherwise why the deletion failed, which
  // an earlier failure of the file (kept by `failure`) would hide.
  std::error_code remove(const std::string &name);

  // Closes the file. False when the close itself reports a failure. Closing
  // an already closed file does nothing and returns true.
  bool close();

private:
  // A file descriptor or a Windows handle; -1 when closed.
  using Handle = std::intptr_t;
  static constexpr Handle CLOSED = -1;
  explicit File(Handle handle) : handle_(handle) {}
  // Keeps `error` as this file's failure unless an earlier one is kept.
  void fail(std::error_code error) const;

  Handle handle_ = CLOSED;
  std::int64_t append_position_ = 0;
  // The first failure: a system error number, or the negated value of a
  // refusal; 0 while nothing failed. One word, so that threads writing
  // different parts of a plane can record theirs without a lock.
  mutable std::atomic<int> failure_{0};
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
// that was closed stays unwritable, so its loss is still noticed. A reader
// that goes away (a closed pipe) likewise fails the write instead of ending
// the process.
void guard_standard_streams();

// The program's arguments, argv[0] included, in UTF-8: as the system passed
// them on POSIX systems, from the wide command line on Windows, so that no
// character outside the ANSI code page is lost.
std::vector<std::string> command_line_arguments(int argc, char **argv);

// Named files and directories, for programs that choose their files by path.

// What the entry `name` is: nothing, a directory (also through a link), or
// anything else (a file, a device, a link whose target is gone). For
// Missing, `error` says why, as an open of the name would.
enum class PathKind { Missing, Directory, Other };
PathKind path_kind(const std::string &name, std::error_code &error);

// Which file the directory entry `name` itself is (a symbolic link, not its
// target). nullopt when there is no such entry, with `error` set when the
// system cannot tell instead.
std::optional<FileIdentity> entry_identity(const std::string &name,
                                           std::error_code &error);

// Gives the file `from` the name `to` in one step, where `to` is to be as it
// was when the caller looked: free (`replaced` nullopt), or the entry
// `*replaced`. A free name is never taken from whoever creates it meanwhile;
// an entry is replaced only while the name still leads to it, checked just
// before the rename (a file put there in that instant is replaced all the
// same), and a name found free by then is taken as a free one. Where the
// file system can neither refuse to replace in the rename nor make a second
// name (exFAT or FAT through FUSE, FUSE mounts without links), a free name
// is likewise checked just before a plain rename. `names_existing_file`
// tells that `to` held something else; `FileRefusal::InUse` that another
// program holds the file there open and Windows will not let it go.
std::error_code rename_file(const std::string &from, const std::string &to,
                            const std::optional<FileIdentity> &replaced);

// Whether a failure of `rename_file` means that `to` held something other
// than the caller expected.
bool names_existing_file(const std::error_code &error);

// Deletes the name `name` when it still leads to the file `written` (a file
// this run wrote and has closed), through a link or not; a name that is gone
// or leads elsewhere now is left as it is. The failure of the deletion.
std::error_code remove_written(const std::string &name,
                               const FileIdentity &written);

// The names in `directory`, in no particular order, without "." and "..".
std::error_code list_directory(const std::string &directory,
                               std::vector<std::string> &names);

} // namespace parvane
