// The primitives of the file layer that differ between system families, one
// implementation each in file_io_posix.cpp and file_io_win32.cpp. Each does
// one system call (or the few that make one step on that system) and returns
// the system's error with its failure; the loops and decisions built on
// them are in file_io.cpp. Only the file layer includes this header.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "core/file_io.h"

namespace parvane::os {

// A file descriptor or a Windows handle; -1 when there is none.
using Handle = std::intptr_t;
inline constexpr Handle NO_HANDLE = -1;

enum class OpenMode {
  Source,         // read-only, existing
  Output,         // write-only, created when absent, links followed
  NewOutput,      // write-only, created, never an existing file
  Staging,        // read-write, existing, never through a link
  NewStaging,     // read-write, created, never an existing file
};

// After a deletion of the staging file that others still hold open, Windows
// refuses opens of its name for a while: `after_deletion` lets the open wait
// that out.
Handle open_file(const std::string &name, OpenMode mode, bool after_deletion,
                 std::error_code &error);
std::error_code close_file(Handle handle);

enum class FileKind { Regular, Directory, SymbolicLink, Pipe, Device };
// What the open handle leads to; nullopt (with `error`) when unknown.
std::optional<FileKind> kind_of(Handle handle, std::error_code &error);

// What the directory entry `name` is, not following a symbolic link unless
// it leads to a directory.
enum class EntryKind { None, Directory, Other };
EntryKind entry_kind(const std::string &name);

std::optional<FileIdentity> identity_of(Handle handle);
// The identity of the directory entry `name` itself, not followed through a
// link; nullopt with `error` (`is_missing_entry` for no entry at all).
std::optional<FileIdentity> entry_identity(const std::string &name,
                                           std::error_code &error);
std::uint64_t link_count(Handle handle);
// Whether `name`, not followed through a link, is the open file, and the file
// has not been deleted meanwhile.
bool name_leads_to(const std::string &name, Handle handle);

// One read or write of at most `bytes.size()` bytes at `position` (a size the
// system takes in one call); the count moved, 0 at end of file, or -1 with
// `error`.
std::int64_t read_some(Handle handle, std::int64_t position,
                       std::span<std::uint8_t> bytes, std::error_code &error);
std::int64_t write_some(Handle handle, std::int64_t position,
                        std::span<const std::uint8_t> bytes,
                        std::error_code &error);
// The largest count one read_some or write_some is given.
std::size_t largest_transfer();

std::error_code truncate_file(Handle handle);
std::int64_t size_of(Handle handle);
// When the file's content last changed, in the system's own ticks (only
// compared with another file's); nullopt when the system cannot tell.
std::optional<std::int64_t> modified_at(Handle handle);
// Sets the time of last change, as modified_at gives it; false on failure.
bool set_modified_at(Handle handle, std::int64_t time);
// Bytes free for this user on the file system of the file; nullopt when the
// system cannot tell.
std::optional<std::uint64_t> free_space(Handle handle);
void reserve_space(Handle handle, std::int64_t bytes);
// Asks the system to start reading bytes [offset, offset + length) into its
// cache; a hint only.
void prefetch(Handle handle, std::int64_t offset, std::int64_t length);

// The one byte of the staging file that every build of the converter locks,
// on every system: far beyond any data, and at an offset that each system's
// file offsets (and a network share's mapping between them) can represent.
inline constexpr std::int64_t STAGING_LOCK_OFFSET = std::int64_t{1} << 62;

enum class LockResult { Locked, Busy, Failed };
// Takes the staging lock if nobody holds it, without waiting: Busy when
// another does. A wait is made of repeated tries, so that a run asked to
// stop meanwhile notices.
LockResult lock_staging(Handle handle, std::error_code &error);

// Deletes the open file's name (the handle stays usable); and deletes a name.
std::error_code delete_open(const std::string &name, Handle handle);
std::error_code delete_name(const std::string &name);

// Gives `from` the name `to`; an existing `to` is replaced only with
// `replace`, otherwise the failure is one that `is_existing_entry` knows.
// Windows: a replacement refused because another program holds `to` open
// is FileRefusal::InUse.
std::error_code rename_name(const std::string &from, const std::string &to,
                            bool replace);

// Appends every name in `directory` to `names`, "." and ".." included where
// the system lists them.
std::error_code list_names(const std::string &directory,
                           std::vector<std::string> &names);

// This process's number, which no other running process has.
std::uint64_t process_id();

// What a failure says about the name: that it has no directory entry, that
// an entry was already there (for the New modes), that the call was merely
// interrupted and may be repeated.
bool is_missing_entry(const std::error_code &error);
bool is_existing_entry(const std::error_code &error);
bool is_interruption(const std::error_code &error);

// The system's text for one of its error numbers.
std::string system_message(int value);

} // namespace parvane::os
