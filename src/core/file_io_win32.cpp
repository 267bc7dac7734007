// The file layer's primitives on Windows, in Win32 terms. Every text in the
// program is UTF-8; names become UTF-16 only at the calls, so that a name
// typed with any character reaches the file system as typed.
#include "core/file_io.h"
#include "core/file_io_system.h"
#include "core/interruption.h"

#include "core/windows_api.h"
#include <shellapi.h>

#include <algorithm>
#include <cwchar>
#include <utility>

namespace parvane::os {
namespace {

// Whoever else holds a file keeps every right: the acquisition program may
// still be writing a source, and another conversion may delete the staging
// file it waits for.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// One ReadFile or WriteFile never moves more than this: its count is 32-bit.
constexpr std::size_t MAX_IO_CHUNK = std::size_t{1} << 30;

// Deleting a file so that its name goes at once, while it is still open
// (Windows 10 1607 and later, NTFS). MinGW-w64's headers offer these only to
// a _WIN32_WINNT value that the toolchain never sets, so they are spelled out
// here with the system's own values.
constexpr FILE_INFO_BY_HANDLE_CLASS DISPOSITION_INFO_EX =
    static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD DISPOSITION_DELETE = 0x1;
constexpr DWORD DISPOSITION_POSIX_SEMANTICS = 0x2;
struct DispositionInfoEx {
  DWORD flags;
};

// While a deleted staging file is still held open by a conversion that has
// not yet noticed the deletion, its name can be neither opened nor reused:
// how often, and how long apart, to try again (five seconds in all).
constexpr int PENDING_DELETE_RETRIES = 500;
constexpr DWORD PENDING_DELETE_PAUSE_MS = 10;

HANDLE handle_of(Handle handle) { return reinterpret_cast<HANDLE>(handle); }

Handle value_of(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? NO_HANDLE
                                        : reinterpret_cast<Handle>(handle);
}

std::error_code last_error() {
  return system_error_code(static_cast<int>(::GetLastError()));
}

// Text in the program is UTF-8; the system's calls take UTF-16. Bytes that
// are no UTF-8 name no file.
std::optional<std::wstring> wide(const std::string &text) {
  if (text.empty())
    return std::wstring();
  const int size = static_cast<int>(text.size());
  const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS,
                                           text.data(), size, nullptr, 0);
  if (length <= 0)
    return std::nullopt;
  std::wstring result(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size,
                        result.data(), length);
  return result;
}

std::string narrow(const wchar_t *text, int length) {
  if (length <= 0)
    return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0,
                                         nullptr, nullptr);
  std::string result(static_cast<std::size_t>(std::max(size, 0)), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, length, result.data(), size,
                        nullptr, nullptr);
  return result;
}

// Windows drops a trailing dot or space from a name before looking it up,
// so "tp7." would open tp7: such a name leads to no file of its own. "."
// and ".." are no such names: they lead to directories as they stand.
bool windows_keeps_name(const std::string &name) {
  const auto last =
      std::find_if(name.rbegin(), name.rend(), is_directory_separator);
  const std::string base(last.base(), name.end());
  if (base == "." || base == "..")
    return true;
  return !name.empty() && name.back() != '.' && name.back() != ' ';
}

HANDLE open_wide(const std::string &name, DWORD access, DWORD creation,
                 DWORD flags, std::error_code &error) {
  const std::optional<std::wstring> wide_name = wide(name);
  if (!windows_keeps_name(name) || !wide_name) {
    error = windows_keeps_name(name)
                ? system_error_code(ERROR_NO_UNICODE_TRANSLATION)
                : make_error_code(FileRefusal::DroppedTrailingCharacter);
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE handle = ::CreateFileW(wide_name->c_str(), access, SHARE_ALL,
                                      nullptr, creation, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    error = last_error();
  return handle;
}

std::optional<BY_HANDLE_FILE_INFORMATION> information_of(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (::GetFileInformationByHandle(handle, &information) == 0)
    return std::nullopt;
  return information;
}

OVERLAPPED at_position(std::int64_t position) {
  OVERLAPPED overlapped{};
  const auto offset = static_cast<std::uint64_t>(position);
  overlapped.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return overlapped;
}

// True when the file behind the handle has been deleted while it is still
// open (the deletion completes when its last handle closes).
bool delete_pending(HANDLE handle) {
  FILE_STANDARD_INFO standard{};
  return ::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard,
                                        sizeof standard) != 0 &&
         standard.DeletePending != 0;
}

// The root of the volume that holds the open file, as a path that
// GetDiskFreeSpaceExW accepts; empty when the system cannot tell.
std::wstring volume_root_of(HANDLE handle) {
  const DWORD wanted = ::GetFinalPathNameByHandleW(handle, nullptr, 0, 0);
  if (wanted == 0)
    return {};
  std::wstring path(wanted, L'\0');
  const DWORD length =
      ::GetFinalPathNameByHandleW(handle, path.data(), wanted, 0);
  if (length == 0 || length >= wanted)
    return {};
  path.resize(length);
  std::wstring root(path.size() + 1, L'\0');
  if (::GetVolumePathNameW(path.c_str(), root.data(),
                           static_cast<DWORD>(root.size())) == 0)
    return {};
  root.resize(std::wstring(root.c_str()).size());
  return root;
}

} // namespace

Handle open_file(const std::string &name, OpenMode mode, bool after_deletion,
                 std::error_code &error) {
  DWORD access = GENERIC_READ;
  DWORD creation = OPEN_EXISTING;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  switch (mode) {
  case OpenMode::Source: break;
  case OpenMode::Output:
  case OpenMode::NewOutput:
    // Read access to the attributes tells the file's identity.
    access = GENERIC_WRITE | FILE_READ_ATTRIBUTES;
    creation = mode == OpenMode::Output ? OPEN_ALWAYS : CREATE_NEW;
    break;
  case OpenMode::Staging:
  case OpenMode::NewStaging:
    access = GENERIC_READ | GENERIC_WRITE | DELETE;
    creation = mode == OpenMode::Staging ? OPEN_EXISTING : CREATE_NEW;
    flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    break;
  }
  // Right after a deletion the name refuses opens while other waiting
  // conversions still hold the deleted file; that passes as soon as each has
  // noticed and let go, so those refusals are retried for a while.
  for (int retry = 0;; ++retry) {
    const HANDLE handle = open_wide(name, access, creation, flags, error);
    if (handle != INVALID_HANDLE_VALUE || !after_deletion ||
        error != system_error_code(ERROR_ACCESS_DENIED) ||
        retry == PENDING_DELETE_RETRIES || interruption_requested())
      return value_of(handle);
    ::Sleep(PENDING_DELETE_PAUSE_MS);
  }
}

std::error_code close_file(Handle handle) {
  return ::CloseHandle(handle_of(handle)) != 0 ? std::error_code()
                                               : last_error();
}

std::optional<FileKind> kind_of(Handle handle, std::error_code &error) {
  const DWORD type = ::GetFileType(handle_of(handle));
  if (type == FILE_TYPE_CHAR)
    return FileKind::Device;
  if (type != FILE_TYPE_DISK)
    return FileKind::Pipe;
  std::optional<BY_HANDLE_FILE_INFORMATION> information =
      information_of(handle_of(handle));
  if (!information) {
    error = last_error();
    return std::nullopt;
  }
  if (information->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
    return FileKind::Directory;
  // Only the staging file is opened without following reparse points.
  if (information->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
    return FileKind::SymbolicLink;
  return FileKind::Regular;
}

EntryKind entry_kind(const std::string &name) {
  const std::optional<std::wstring> wide_name = wide(name);
  if (!wide_name || !windows_keeps_name(name))
    return EntryKind::None;
  const DWORD attributes = ::GetFileAttributesW(wide_name->c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                   error == ERROR_INVALID_NAME
               ? EntryKind::None
               : EntryKind::Other;
  }
  return attributes & FILE_ATTRIBUTE_DIRECTORY ? EntryKind::Directory
                                               : EntryKind::Other;
}

std::optional<FileIdentity> identity_of(Handle handle) {
  std::optional<BY_HANDLE_FILE_INFORMATION> information =
      information_of(handle_of(handle));
  if (!information)
    return std::nullopt;
  return FileIdentity{
      information->dwVolumeSerialNumber,
      (std::uint64_t{information->nFileIndexHigh} << 32) |
          information->nFileIndexLow};
}

std::uint64_t link_count(Handle handle) {
  std::optional<BY_HANDLE_FILE_INFORMATION> information =
      information_of(handle_of(handle));
  return information ? information->nNumberOfLinks : 0;
}

std::optional<FileIdentity> entry_identity(const std::string &name,
                                           std::error_code &error) {
  // Reading attributes conflicts with no program's sharing mode.
  const HANDLE named = open_wide(
      name, FILE_READ_ATTRIBUTES, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, error);
  if (named == INVALID_HANDLE_VALUE)
    return std::nullopt;
  std::optional<FileIdentity> identity = identity_of(value_of(named));
  if (!identity)
    error = last_error();
  ::CloseHandle(named);
  return identity;
}

bool name_leads_to(const std::string &name, Handle handle) {
  if (delete_pending(handle_of(handle)))
    return false;
  std::error_code ignored;
  const std::optional<FileIdentity> named = entry_identity(name, ignored);
  return named && named == identity_of(handle);
}

// ReadFile and WriteFile each carry their own offset, so reads and writes at
// different positions never disturb each other, also from several threads:
// the system serialises the calls on a handle opened for synchronous I/O.
std::int64_t read_some(Handle handle, std::int64_t position,
                       std::span<std::uint8_t> bytes, std::error_code &error) {
  OVERLAPPED where = at_position(position);
  DWORD got = 0;
  if (::ReadFile(handle_of(handle), bytes.data(),
                 static_cast<DWORD>(bytes.size()), &got, &where) != 0)
    return got;
  if (::GetLastError() == ERROR_HANDLE_EOF)
    return 0;
  error = last_error();
  return -1;
}

std::int64_t write_some(Handle handle, std::int64_t position,
                        std::span<const std::uint8_t> bytes,
                        std::error_code &error) {
  OVERLAPPED where = at_position(position);
  DWORD put = 0;
  if (::WriteFile(handle_of(handle), bytes.data(),
                  static_cast<DWORD>(bytes.size()), &put, &where) != 0)
    return put;
  error = last_error();
  return -1;
}

std::size_t largest_transfer() { return MAX_IO_CHUNK; }

std::error_code truncate_file(Handle handle) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = 0;
  return ::SetFileInformationByHandle(handle_of(handle), FileEndOfFileInfo,
                                      &end, sizeof end) != 0
             ? std::error_code()
             : last_error();
}

std::int64_t size_of(Handle handle) {
  LARGE_INTEGER size{};
  if (::GetFileSizeEx(handle_of(handle), &size) == 0)
    return 0;
  return size.QuadPart;
}

std::optional<std::int64_t> modified_at(Handle handle) {
  FILETIME written{};
  if (::GetFileTime(handle_of(handle), nullptr, nullptr, &written) == 0)
    return std::nullopt;
  return static_cast<std::int64_t>(
      (std::uint64_t{written.dwHighDateTime} << 32) | written.dwLowDateTime);
}

bool set_modified_at(Handle handle, std::int64_t time) {
  const auto ticks = static_cast<std::uint64_t>(time);
  const FILETIME written{static_cast<DWORD>(ticks),
                         static_cast<DWORD>(ticks >> 32)};
  return ::SetFileTime(handle_of(handle), nullptr, nullptr, &written) != 0;
}

std::optional<std::uint64_t> free_space(Handle handle) {
  const std::wstring root = volume_root_of(handle_of(handle));
  ULARGE_INTEGER available{};
  if (root.empty() ||
      ::GetDiskFreeSpaceExW(root.c_str(), &available, nullptr, nullptr) == 0)
    return std::nullopt;
  return available.QuadPart;
}

void reserve_space(Handle handle, std::int64_t bytes) {
  // Only growing: an allocation below the end of the file would cut it, and
  // a plane that fails half-way must show as incomplete, not as full of
  // zeros, so the end of the file is never moved here.
  if (bytes <= size_of(handle))
    return;
  FILE_ALLOCATION_INFO allocation{};
  allocation.AllocationSize.QuadPart = bytes;
  ::SetFileInformationByHandle(handle_of(handle), FileAllocationInfo,
                               &allocation, sizeof allocation);
}

// Windows reads ahead of sequential reads on its own and offers no hint for
// a range of a file opened without mapping.
void prefetch(Handle, std::int64_t, std::int64_t) {}

// Byte-range locks on Windows are mandatory: the locked byte lies far beyond
// any data, so that the lock never blocks reads and writes of the file, our
// own sources included when a link leads there.
LockResult lock_staging(Handle handle, std::error_code &error) {
  OVERLAPPED where = at_position(STAGING_LOCK_OFFSET);
  if (::LockFileEx(handle_of(handle),
                   LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                   &where) != 0)
    return LockResult::Locked;
  const DWORD code = ::GetLastError();
  if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING)
    return LockResult::Busy;
  error = system_error_code(static_cast<int>(code));
  return LockResult::Failed;
}

// Deletes the file through its open handle. The name goes at once where the
// file system offers that (as unlink does); elsewhere it goes when the last
// handle on the file closes.
std::error_code delete_open(const std::string &name, Handle handle) {
  DispositionInfoEx immediate{DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS};
  if (::SetFileInformationByHandle(handle_of(handle), DISPOSITION_INFO_EX,
                                   &immediate, sizeof immediate) != 0)
    return {};
  FILE_DISPOSITION_INFO on_close{};
  on_close.DeleteFile = TRUE;
  if (::SetFileInformationByHandle(handle_of(handle), FileDispositionInfo,
                                   &on_close, sizeof on_close) != 0)
    return {};
  const std::error_code error = last_error();
  return entry_kind(name) == EntryKind::None ? std::error_code() : error;
}

std::error_code delete_name(const std::string &name) {
  const std::optional<std::wstring> wide_name = wide(name);
  if (!wide_name)
    return system_error_code(ERROR_NO_UNICODE_TRANSLATION);
  return ::DeleteFileW(wide_name->c_str()) != 0 ? std::error_code()
                                                : last_error();
}

std::error_code rename_name(const std::string &from, const std::string &to,
                            bool replace) {
  const std::optional<std::wstring> wide_from = wide(from);
  const std::optional<std::wstring> wide_to = wide(to);
  if (!wide_from || !wide_to)
    return system_error_code(ERROR_NO_UNICODE_TRANSLATION);
  if (::MoveFileExW(wide_from->c_str(), wide_to->c_str(),
                    replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0)
    return {};
  const DWORD code = ::GetLastError();
  if ((code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION) ||
      !replace)
    return system_error_code(static_cast<int>(code));
  // Windows refuses to replace a file that another program holds open
  // without sharing its deletion, in the same words as a read-only file, or
  // as a sharing violation, which may also be a hold on the temporary (a
  // virus scanner reading the fresh file). An open of the target asking for
  // what the rename needs, sharing everything, tells them apart: only a
  // hold on the target makes it a sharing violation.
  std::error_code probe;
  const HANDLE target = open_wide(
      to, DELETE, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, probe);
  if (target != INVALID_HANDLE_VALUE)
    ::CloseHandle(target);
  return probe == system_error_code(ERROR_SHARING_VIOLATION)
             ? make_error_code(FileRefusal::InUse)
             : system_error_code(static_cast<int>(code));
}

std::error_code list_names(const std::string &directory,
                           std::vector<std::string> &names) {
  std::string pattern = directory;
  if (!pattern.empty() && !is_directory_separator(pattern.back()))
    pattern += '\\';
  pattern += '*';
  const std::optional<std::wstring> wide_pattern = wide(pattern);
  if (!wide_pattern)
    return system_error_code(ERROR_NO_UNICODE_TRANSLATION);
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW(wide_pattern->c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    // A drive's root can hold no entry at all, not even ".".
    const DWORD code = ::GetLastError();
    return code == ERROR_FILE_NOT_FOUND
               ? std::error_code()
               : system_error_code(static_cast<int>(code));
  }
  do
    names.push_back(narrow(found.cFileName,
                           static_cast<int>(std::wcslen(found.cFileName))));
  while (::FindNextFileW(search, &found) != 0);
  const DWORD code = ::GetLastError();
  ::FindClose(search);
  return code == ERROR_NO_MORE_FILES
             ? std::error_code()
             : system_error_code(static_cast<int>(code));
}

std::uint64_t process_id() { return ::GetCurrentProcessId(); }

bool is_missing_entry(const std::error_code &error) {
  return error == system_error_code(ERROR_FILE_NOT_FOUND) ||
         error == system_error_code(ERROR_PATH_NOT_FOUND);
}

bool is_existing_entry(const std::error_code &error) {
  return error == system_error_code(ERROR_FILE_EXISTS) ||
         error == system_error_code(ERROR_ALREADY_EXISTS);
}

bool is_interruption(const std::error_code &) { return false; }

std::string system_message(int value) {
  wchar_t *text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(value), 0, reinterpret_cast<LPWSTR>(&text),
      0, nullptr);
  if (length == 0 || text == nullptr)
    return "system error " + std::to_string(value);
  std::string message = narrow(text, static_cast<int>(length));
  ::LocalFree(text);
  return message;
}

} // namespace parvane::os

namespace parvane {

PageBuffer::PageBuffer(std::size_t bytes) : bytes_(bytes) {
  // Committed pages read as zeros and take memory only once touched.
  pages_ = ::VirtualAlloc(nullptr, bytes_, MEM_RESERVE | MEM_COMMIT,
                          PAGE_READWRITE);
}

PageBuffer::~PageBuffer() {
  if (pages_ != nullptr)
    ::VirtualFree(pages_, 0, MEM_RELEASE);
}

// A drive letter's colon leads off the working directory as surely as a
// backslash does, and would otherwise name an alternate data stream.
bool is_directory_separator(char c) {
  return c == '/' || c == '\\' || c == ':';
}

// The converter opens files only as Win32 handles, never as C runtime
// descriptors, so no file it opens can take a missing standard stream's
// place; a missing stream stays unwritable and its loss is still noticed.
// A closed pipe fails the write, as the console check expects.
void guard_standard_streams() {}

// The C runtime's argv went through the ANSI code page, which turns every
// character outside it into '?': the wide command line keeps them all.
std::vector<std::string> command_line_arguments(int argc, char **argv) {
  int count = 0;
  wchar_t **wide_arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide_arguments == nullptr) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc && argv[i] != nullptr; ++i)
      arguments.emplace_back(argv[i]);
    return arguments;
  }
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i)
    arguments.push_back(os::narrow(wide_arguments[i],
                               static_cast<int>(std::wcslen(wide_arguments[i]))));
  ::LocalFree(wide_arguments);
  return arguments;
}

} // namespace parvane
