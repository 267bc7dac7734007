// The file layer on Windows: the same decisions as on POSIX systems, in
// Win32 terms. Names reach CreateFileA exactly as typed on the (narrow)
// command line.
#include "convert/file_io.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <utility>

namespace parvane {
namespace {

// Whoever else holds a file keeps every right: the acquisition program may
// still be writing a source, and another conversion may delete the staging
// file it waits for.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// One ReadFile or WriteFile never moves more than this: its count is 32-bit.
constexpr std::size_t MAX_IO_CHUNK = std::size_t{1} << 30;

// The staging file's lock covers one byte that no data ever reaches, at the
// end of the 64-bit offset space (one short of the last, so that offset plus
// length still fits). Byte-range locks on Windows are mandatory, so a lock
// over the data would block every other handle's reads and writes, our own
// sources included when a link leads there.
constexpr DWORD LOCK_OFFSET_LOW = 0xFFFFFFFE;
constexpr DWORD LOCK_OFFSET_HIGH = 0xFFFFFFFF;
constexpr DWORD LOCK_LENGTH = 1;

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

HANDLE handle_of(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

std::intptr_t value_of(HANDLE handle) {
  return reinterpret_cast<std::intptr_t>(handle);
}

// Owns a handle only until it becomes a File (or is refused).
class OpenHandle {
public:
  explicit OpenHandle(HANDLE handle) : handle_(handle) {}
  OpenHandle(OpenHandle &&other) noexcept : handle_(other.release()) {}
  OpenHandle &operator=(OpenHandle &&) = delete;
  OpenHandle(const OpenHandle &) = delete;
  OpenHandle &operator=(const OpenHandle &) = delete;
  ~OpenHandle() {
    if (valid())
      ::CloseHandle(handle_);
  }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

private:
  HANDLE handle_;
};

// Windows drops a trailing dot or space from a name before looking it up,
// so "tp7." would open tp7: such a name leads to no file of its own.
bool windows_keeps_name(const std::string &name) {
  return !name.empty() && name.back() != '.' && name.back() != ' ';
}

OpenHandle open_named(const std::string &name, DWORD access, DWORD creation,
                      DWORD flags) {
  if (!windows_keeps_name(name)) {
    ::SetLastError(ERROR_INVALID_NAME);
    return OpenHandle(INVALID_HANDLE_VALUE);
  }
  return OpenHandle(::CreateFileA(name.c_str(), access, SHARE_ALL, nullptr,
                                  creation, flags, nullptr));
}

std::optional<BY_HANDLE_FILE_INFORMATION> information_of(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (::GetFileInformationByHandle(handle, &information) == 0)
    return std::nullopt;
  return information;
}

std::optional<FileIdentity> identity_of(HANDLE handle) {
  std::optional<BY_HANDLE_FILE_INFORMATION> information = information_of(handle);
  if (!information)
    return std::nullopt;
  return FileIdentity{
      information->dwVolumeSerialNumber,
      (std::uint64_t{information->nFileIndexHigh} << 32) |
          information->nFileIndexLow};
}

// A file on a disk that is neither a directory nor, unless `links_allowed`,
// a symbolic link or other reparse point itself. Devices (NUL, CON) and pipes
// are not.
bool is_regular_file(HANDLE handle, bool links_allowed) {
  if (::GetFileType(handle) != FILE_TYPE_DISK)
    return false;
  std::optional<BY_HANDLE_FILE_INFORMATION> information = information_of(handle);
  if (!information)
    return false;
  DWORD refused = FILE_ATTRIBUTE_DIRECTORY;
  if (!links_allowed)
    refused |= FILE_ATTRIBUTE_REPARSE_POINT;
  return (information->dwFileAttributes & refused) == 0;
}

// Outputs are written by position; a disk file or a device takes that, a
// pipe does not.
bool takes_positional_writes(HANDLE handle) {
  const DWORD type = ::GetFileType(handle);
  return type == FILE_TYPE_DISK || type == FILE_TYPE_CHAR;
}

OVERLAPPED at_position(std::int64_t position) {
  OVERLAPPED overlapped{};
  const auto offset = static_cast<std::uint64_t>(position);
  overlapped.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return overlapped;
}

// Waits until this handle holds the exclusive lock of the staging file.
bool lock_exclusively(HANDLE handle) {
  OVERLAPPED where{};
  where.Offset = LOCK_OFFSET_LOW;
  where.OffsetHigh = LOCK_OFFSET_HIGH;
  return ::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, LOCK_LENGTH, 0,
                      &where) != 0;
}

// True when the file behind the handle has been deleted while it is still
// open (the deletion completes when its last handle closes).
bool delete_pending(HANDLE handle) {
  FILE_STANDARD_INFO standard{};
  return ::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard,
                                        sizeof standard) != 0 &&
         standard.DeletePending != 0;
}

// Whether `name` (not followed through a link) is the open file.
bool name_leads_to(const std::string &name, HANDLE handle) {
  OpenHandle named = open_named(name, FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT);
  if (!named.valid())
    return false;
  std::optional<FileIdentity> named_identity = identity_of(named.get());
  return named_identity && named_identity == identity_of(handle);
}

bool name_is_gone(const std::string &name) {
  if (::GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES)
    return false;
  const DWORD error = ::GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Deletes the file through its open handle. The name goes at once where the
// file system offers that (as unlink does); elsewhere it goes when the last
// handle on the file closes.
bool delete_through(HANDLE handle) {
  DispositionInfoEx immediate{DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS};
  if (::SetFileInformationByHandle(handle, DISPOSITION_INFO_EX, &immediate,
                                   sizeof immediate) != 0)
    return true;
  FILE_DISPOSITION_INFO on_close{};
  on_close.DeleteFile = TRUE;
  return ::SetFileInformationByHandle(handle, FileDispositionInfo, &on_close,
                                      sizeof on_close) != 0;
}

// Opens the staging file without following a link, creating it when absent.
// Right after a deletion the name refuses opens while other waiting
// conversions still hold the deleted file; that passes as soon as each has
// noticed and let go, so those refusals are retried for a while.
OpenHandle open_staging_name(const std::string &name, bool after_deletion) {
  for (int retry = 0;; ++retry) {
    OpenHandle handle = open_named(
        name, GENERIC_READ | GENERIC_WRITE | DELETE, OPEN_ALWAYS,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
    if (handle.valid() || !after_deletion ||
        ::GetLastError() != ERROR_ACCESS_DENIED ||
        retry == PENDING_DELETE_RETRIES)
      return handle;
    ::Sleep(PENDING_DELETE_PAUSE_MS);
  }
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

std::optional<File> File::open_source(const std::string &name) {
  OpenHandle handle = open_named(name, GENERIC_READ, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL);
  if (!handle.valid() || !is_regular_file(handle.get(), true))
    return std::nullopt;
  return File(value_of(handle.release()));
}

std::optional<File> File::open_output(const std::string &name) {
  // Read access to the attributes tells the file's identity.
  OpenHandle handle = open_named(name, GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  if (!handle.valid() || !takes_positional_writes(handle.get()))
    return std::nullopt;
  return File(value_of(handle.release()));
}

std::optional<File> File::open_staging(const std::string &name) {
  bool after_deletion = false;
  for (;;) {
    OpenHandle handle = open_staging_name(name, after_deletion);
    if (!handle.valid() || !is_regular_file(handle.get(), false) ||
        !lock_exclusively(handle.get()))
      return std::nullopt;
    if (!delete_pending(handle.get()) && name_leads_to(name, handle.get()))
      return File(value_of(handle.release()));
    // The conversion that held the lock has deleted (or replaced) the file
    // in the meantime: lock whatever the name leads to now.
    after_deletion = true;
  }
}

std::optional<FileIdentity> File::identity() const {
  if (handle_ == CLOSED)
    return std::nullopt;
  return identity_of(handle_of(handle_));
}

bool File::truncate() {
  if (handle_ == CLOSED)
    return false;
  append_position_ = 0;
  const HANDLE handle = handle_of(handle_);
  if (::GetFileType(handle) != FILE_TYPE_DISK)
    return true;
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = 0;
  return ::SetFileInformationByHandle(handle, FileEndOfFileInfo, &end,
                                      sizeof end) != 0;
}

std::int64_t File::size() const {
  LARGE_INTEGER size{};
  if (handle_ == CLOSED || ::GetFileSizeEx(handle_of(handle_), &size) == 0)
    return 0;
  return size.QuadPart;
}

// ReadFile and WriteFile each carry their own offset, so reads and writes at
// different positions never disturb each other, also from several threads:
// the system serialises the calls on a handle opened for synchronous I/O.
std::optional<std::size_t> File::read_at(std::int64_t position,
                                         std::span<std::uint8_t> buffer) const {
  std::size_t done = 0;
  while (position >= 0 && handle_ != CLOSED && done < buffer.size()) {
    const auto want =
        static_cast<DWORD>(std::min(buffer.size() - done, MAX_IO_CHUNK));
    OVERLAPPED where = at_position(position);
    DWORD got = 0;
    if (::ReadFile(handle_of(handle_), buffer.data() + done, want, &got,
                   &where) == 0) {
      if (::GetLastError() == ERROR_HANDLE_EOF)
        break;
      return std::nullopt;
    }
    if (got == 0)
      break;
    done += got;
    position += got;
  }
  std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(done), buffer.end(), 0);
  return done;
}

bool File::write_at(std::int64_t position,
                    std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (handle_ == CLOSED || position < 0)
      return false;
    const auto want =
        static_cast<DWORD>(std::min(bytes.size() - done, MAX_IO_CHUNK));
    OVERLAPPED where = at_position(position);
    DWORD put = 0;
    if (::WriteFile(handle_of(handle_), bytes.data() + done, want, &put,
                    &where) == 0 ||
        put == 0)
      return false;
    done += put;
    position += put;
  }
  return true;
}

bool File::has_room_for(std::int64_t bytes) const {
  if (handle_ == CLOSED)
    return true;
  const std::wstring root = volume_root_of(handle_of(handle_));
  ULARGE_INTEGER available{};
  if (root.empty() ||
      ::GetDiskFreeSpaceExW(root.c_str(), &available, nullptr, nullptr) == 0)
    return true;
  return static_cast<std::uint64_t>(std::max<std::int64_t>(bytes, 0)) <=
         available.QuadPart;
}

void File::reserve(std::int64_t bytes) {
  // Only growing: an allocation below the end of the file would cut it, and
  // a plane that fails half-way must show as incomplete, not as full of
  // zeros, so the end of the file is never moved here.
  if (handle_ == CLOSED || bytes <= size())
    return;
  FILE_ALLOCATION_INFO allocation{};
  allocation.AllocationSize.QuadPart = bytes;
  ::SetFileInformationByHandle(handle_of(handle_), FileAllocationInfo,
                               &allocation, sizeof allocation);
}

bool File::remove(const std::string &name) {
  if (handle_ != CLOSED && delete_through(handle_of(handle_)))
    return true;
  return name_is_gone(name);
}

bool File::close() {
  if (handle_ == CLOSED)
    return true;
  return ::CloseHandle(handle_of(std::exchange(handle_, CLOSED))) != 0;
}

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
void guard_standard_streams() {}

namespace {

// UTF-8 names to the UTF-16 of the wide Win32 calls, and back.
std::wstring utf16_of(const std::string &text) {
  if (text.empty())
    return {};
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(),
                                           static_cast<int>(text.size()),
                                           nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
  if (length > 0)
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(),
                          static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string utf8_of(const wchar_t *text) {
  const int length =
      ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1)
    return {};
  std::string narrow(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), length, nullptr,
                        nullptr);
  narrow.resize(static_cast<std::size_t>(length - 1));
  return narrow;
}

// The system's error as the POSIX condition it amounts to, so that one fault
// reads the same on every system; others keep their Windows code.
std::error_code error_of(DWORD code) {
  switch (code) {
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
  case ERROR_INVALID_NAME:
  case ERROR_INVALID_DRIVE:
  case ERROR_BAD_NETPATH:
    return std::make_error_code(std::errc::no_such_file_or_directory);
  case ERROR_ACCESS_DENIED:
    return std::make_error_code(std::errc::permission_denied);
  case ERROR_SHARING_VIOLATION:
  case ERROR_LOCK_VIOLATION:
    return std::make_error_code(std::errc::device_or_resource_busy);
  case ERROR_FILE_EXISTS:
  case ERROR_ALREADY_EXISTS:
    return std::make_error_code(std::errc::file_exists);
  case ERROR_DISK_FULL:
  case ERROR_HANDLE_DISK_FULL:
    return std::make_error_code(std::errc::no_space_on_device);
  case ERROR_DIRECTORY:
    return std::make_error_code(std::errc::not_a_directory);
  case ERROR_FILENAME_EXCED_RANGE:
    return std::make_error_code(std::errc::filename_too_long);
  case ERROR_WRITE_PROTECT:
    return std::make_error_code(std::errc::read_only_file_system);
  default:
    return {static_cast<int>(code), std::system_category()};
  }
}

std::error_code last_error() { return error_of(::GetLastError()); }

// How often a name for a temporary file is tried before giving up: only
// temporaries left by killed runs of the same process number collide.
constexpr int TEMPORARY_NAME_TRIES = 100;

// "." and ".." name directories as they stand: their dots are not dropped.
bool is_dot_directory(const std::string &name) {
  const auto last =
      std::find_if(name.rbegin(), name.rend(), is_directory_separator);
  const std::string base(last.base(), name.end());
  return base == "." || base == "..";
}

OpenHandle open_wide(const std::string &name, DWORD access, DWORD creation,
                     DWORD flags) {
  if (!is_dot_directory(name) && !windows_keeps_name(name)) {
    ::SetLastError(ERROR_INVALID_NAME);
    return OpenHandle(INVALID_HANDLE_VALUE);
  }
  return OpenHandle(::CreateFileW(utf16_of(name).c_str(), access, SHARE_ALL,
                                  nullptr, creation, flags, nullptr));
}

} // namespace

std::vector<std::string> command_line_arguments(int argc, char **argv) {
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR *wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) {
    for (int i = 0; i < argc && argv[i] != nullptr; ++i)
      arguments.emplace_back(argv[i]);
    return arguments;
  }
  for (int i = 0; i < count; ++i)
    arguments.push_back(utf8_of(wide[i]));
  ::LocalFree(wide);
  return arguments;
}

PathKind path_kind(const std::string &name, std::error_code &error) {
  error.clear();
  // Backup semantics let a directory be opened; links are followed.
  OpenHandle handle = open_wide(name, FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS);
  if (!handle.valid()) {
    error = last_error();
    return PathKind::Missing;
  }
  if (::GetFileType(handle.get()) != FILE_TYPE_DISK)
    return PathKind::Other;
  std::optional<BY_HANDLE_FILE_INFORMATION> information =
      information_of(handle.get());
  if (!information)
    return PathKind::Other;
  return (information->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
             ? PathKind::Directory
             : PathKind::RegularFile;
}

std::error_code open_for_reading_error(const std::string &name) {
  OpenHandle handle =
      open_wide(name, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  return handle.valid() ? std::error_code() : last_error();
}

std::optional<File> create_temporary_file(const std::string &final_name,
                                          std::string &temporary_name,
                                          std::error_code &error) {
  const std::string stem =
      final_name + "." + std::to_string(::GetCurrentProcessId()) + "-";
  for (int attempt = 0; attempt < TEMPORARY_NAME_TRIES; ++attempt) {
    temporary_name = stem + std::to_string(attempt) + ".tmp";
    OpenHandle created =
        open_wide(temporary_name, FILE_READ_ATTRIBUTES | DELETE, CREATE_NEW,
                  FILE_ATTRIBUTE_NORMAL);
    if (!created.valid()) {
      error = last_error();
      if (error == std::errc::file_exists)
        continue;
      break;
    }
    // The file is handed over as an output opened by name; while the handle
    // that created it stays open, the identity proves that the name still
    // leads to it.
    std::optional<File> file = File::open_output(temporary_name);
    std::optional<FileIdentity> opened = file ? file->identity() : std::nullopt;
    if (opened && opened == identity_of(created.get())) {
      error.clear();
      return file;
    }
    // Deleted through the handle that created it, so that a file somebody
    // put in its place is never the one deleted.
    delete_through(created.get());
    error = std::make_error_code(std::errc::device_or_resource_busy);
    break;
  }
  temporary_name.clear();
  return std::nullopt;
}

std::error_code rename_file(const std::string &from, const std::string &to,
                            bool replace) {
  return ::MoveFileExW(utf16_of(from).c_str(), utf16_of(to).c_str(),
                       replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0
             ? std::error_code()
             : last_error();
}

std::error_code remove_file(const std::string &name) {
  return ::DeleteFileW(utf16_of(name).c_str()) != 0 ? std::error_code()
                                                    : last_error();
}

std::error_code list_directory(const std::string &directory,
                               std::vector<std::string> &names) {
  std::string pattern = directory;
  if (!pattern.empty() && !is_directory_separator(pattern.back()))
    pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileW(utf16_of(pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    return code == ERROR_FILE_NOT_FOUND ? std::error_code() : error_of(code);
  }
  std::error_code error;
  do {
    const std::string name = utf8_of(found.cFileName);
    if (name != "." && name != "..")
      names.push_back(name);
  } while (::FindNextFileW(search, &found) != 0);
  if (::GetLastError() != ERROR_NO_MORE_FILES)
    error = last_error();
  ::FindClose(search);
  return error;
}

} // namespace parvane
