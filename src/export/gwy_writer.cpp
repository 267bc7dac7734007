#include "export/gwy_writer.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

namespace parvane::gwy {

namespace {

Component named(std::string name, char type) {
  Component c;
  c.name = std::move(name);
  c.type = type;
  return c;
}

} // namespace

Component Component::int32(std::string name, std::int32_t value) {
  Component c = named(std::move(name), 'i');
  c.integer = value;
  return c;
}

Component Component::float64(std::string name, double value) {
  Component c = named(std::move(name), 'd');
  c.real = value;
  return c;
}

Component Component::string(std::string name, std::string value) {
  Component c = named(std::move(name), 's');
  c.text = std::move(value);
  return c;
}

Component Component::object(std::string name, Object value) {
  Component c = named(std::move(name), 'o');
  c.objects.push_back(std::move(value));
  return c;
}

Component Component::object_array(std::string name,
                                  std::vector<Object> values) {
  Component c = named(std::move(name), 'O');
  c.objects = std::move(values);
  return c;
}

Component Component::streamed(std::string name, std::int64_t count,
                              int stream) {
  Component c = named(std::move(name), 'D');
  c.streamed_count = count;
  c.stream = stream;
  return c;
}

namespace {

constexpr std::uint8_t MAGIC[] = {'G', 'W', 'Y', 'P'};

// Room for the headers and metadata that precede a streamed array: a few KiB.
constexpr std::size_t PENDING_BYTES = 64 * 1024;

std::int64_t text_bytes(const std::string &text) {
  return static_cast<std::int64_t>(text.size()) + 1;
}

std::int64_t array_length(const Component &c) {
  if (c.type == 'O')
    return static_cast<std::int64_t>(c.objects.size());
  return c.streamed_count;
}

// Sizes are summed in int64 and checked against MAX_COUNT at every step, so
// no sum can overflow: each term is at most a few times MAX_COUNT.
std::optional<std::int64_t> value_bytes(const Component &c) {
  switch (c.type) {
  case 'i':
    return 4;
  case 'd':
    return 8;
  case 's':
    return text_bytes(c.text);
  case 'o':
    return object_bytes(c.objects.front());
  case 'D':
    if (array_length(c) > MAX_COUNT)
      return std::nullopt;
    return 4 + 8 * array_length(c);
  case 'O': {
    if (array_length(c) > MAX_COUNT)
      return std::nullopt;
    std::int64_t total = 4;
    for (const Object &o : c.objects) {
      const std::optional<std::int64_t> bytes = object_bytes(o);
      if (!bytes || (total += *bytes) > MAX_COUNT + 4)
        return std::nullopt;
    }
    return total;
  }
  }
  return std::nullopt;
}

// The byte count of an object's components, as its header stores it.
std::optional<std::int64_t> component_bytes(const Object &object) {
  std::int64_t total = 0;
  for (const Component &c : object.components) {
    const std::optional<std::int64_t> value = value_bytes(c);
    if (!value || (total += text_bytes(c.name) + 1 + *value) > MAX_COUNT)
      return std::nullopt;
  }
  return total;
}

// Serialises the small parts into `pending` and hands each streamed array to
// the filler, after writing out what precedes it.
class Serialiser {
public:
  Serialiser(File &out, std::int64_t start, const StreamFiller &fill)
      : out_(out), position_(start), fill_(fill) {
    pending_.reserve(PENDING_BYTES);
  }

  WriteOutcome run(const Object &root) {
    bytes(MAGIC);
    object(root);
    if (outcome_ == WriteOutcome::Done)
      flush();
    return outcome_;
  }

private:
  void bytes(std::span<const std::uint8_t> data) {
    pending_.insert(pending_.end(), data.begin(), data.end());
  }
  void text(const std::string &s) {
    bytes({reinterpret_cast<const std::uint8_t *>(s.c_str()), s.size() + 1});
  }
  void u32(std::uint32_t v) {
    const std::uint8_t le[] = {
        static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
        static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    bytes(le);
  }
  void f64(double v) {
    std::uint8_t le[8];
    store_little_endian({&v, 1}, le);
    bytes(le);
  }

  void flush() {
    if (!pending_.empty() && !out_.write_at(position_, pending_))
      outcome_ = WriteOutcome::WriteFailed;
    position_ += static_cast<std::int64_t>(pending_.size());
    pending_.clear();
  }

  void object(const Object &o) {
    text(o.type_name);
    u32(static_cast<std::uint32_t>(*component_bytes(o)));
    for (const Component &c : o.components) {
      if (outcome_ != WriteOutcome::Done)
        return;
      component(c);
    }
  }

  void component(const Component &c) {
    text(c.name);
    const std::uint8_t type = static_cast<std::uint8_t>(c.type);
    bytes({&type, 1});
    switch (c.type) {
    case 'i':
      u32(static_cast<std::uint32_t>(c.integer));
      break;
    case 'd':
      f64(c.real);
      break;
    case 's':
      text(c.text);
      break;
    case 'o':
      object(c.objects.front());
      break;
    case 'O':
      u32(static_cast<std::uint32_t>(c.objects.size()));
      for (const Object &o : c.objects)
        object(o);
      break;
    case 'D':
      u32(static_cast<std::uint32_t>(array_length(c)));
      flush();
      if (outcome_ != WriteOutcome::Done)
        return;
      if (!fill_(c.stream, position_, c.streamed_count))
        outcome_ = WriteOutcome::FillFailed;
      position_ += 8 * c.streamed_count;
      break;
    }
  }

  File &out_;
  std::int64_t position_;
  const StreamFiller &fill_;
  std::vector<std::uint8_t> pending_;
  WriteOutcome outcome_ = WriteOutcome::Done;
};

} // namespace

std::optional<std::int64_t> object_bytes(const Object &object) {
  const std::optional<std::int64_t> components = component_bytes(object);
  if (!components)
    return std::nullopt;
  return text_bytes(object.type_name) + 4 + *components;
}

std::optional<std::int64_t> file_bytes(const Object &root) {
  const std::optional<std::int64_t> bytes = object_bytes(root);
  if (!bytes)
    return std::nullopt;
  return static_cast<std::int64_t>(sizeof MAGIC) + *bytes;
}

WriteOutcome write_gwy_file(const Object &root, File &out, std::int64_t start,
                            const StreamFiller &fill) {
  return Serialiser(out, start, fill).run(root);
}

void store_little_endian(std::span<const double> values, std::uint8_t *bytes) {
  static_assert(sizeof(double) == 8 && std::numeric_limits<double>::is_iec559);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(bytes, values.data(), values.size_bytes());
  } else {
    for (double v : values) {
      const auto bits = std::bit_cast<std::uint64_t>(v);
      for (int i = 0; i < 8; ++i)
        *bytes++ = static_cast<std::uint8_t>(bits >> (8 * i));
    }
  }
}

std::span<const std::uint8_t> to_little_endian(std::span<double> values) {
  if constexpr (std::endian::native != std::endian::little) {
    for (double &v : values) {
      std::uint8_t bytes[8];
      store_little_endian({&v, 1}, bytes);
      std::memcpy(&v, bytes, sizeof v);
    }
  }
  return {reinterpret_cast<const std::uint8_t *>(values.data()), values.size_bytes()};
}

// ---------------------------------------------------------------------------
// Reading back the metadata of a file this writer made.

namespace {

// A forward reader of a GWY file by positional reads, through a window of
// 64 KiB: names and texts are short and lie together, and arrays are passed
// over by their counts, so the metadata of a file of gigabytes costs a read
// or two.
class Cursor {
public:
  Cursor(const File &file, std::int64_t end)
      : file_(file), end_(end), window_(WINDOW) {}

  std::int64_t at() const { return at_; }
  bool skip(std::int64_t bytes) {
    if (bytes < 0 || bytes > end_ - at_)
      return false;
    at_ += bytes;
    return true;
  }
  std::optional<std::uint32_t> count() {
    std::uint8_t bytes[4];
    if (!read(bytes))
      return std::nullopt;
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
           std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
  }
  std::optional<char> letter() {
    std::uint8_t byte[1];
    if (!read(byte))
      return std::nullopt;
    return static_cast<char>(byte[0]);
  }
  // A NUL-terminated text of at most MAX_TEXT bytes.
  std::optional<std::string> text() {
    std::string result;
    while (result.size() < MAX_TEXT) {
      const std::span<const std::uint8_t> ahead = bytes_ahead();
      if (ahead.empty())
        return std::nullopt;
      const auto *nul = static_cast<const std::uint8_t *>(
          std::memchr(ahead.data(), 0, ahead.size()));
      const std::size_t taken =
          nul ? static_cast<std::size_t>(nul - ahead.data()) : ahead.size();
      result.append(reinterpret_cast<const char *>(ahead.data()), taken);
      at_ += static_cast<std::int64_t>(taken);
      if (nul) {
        ++at_;
        return result;
      }
    }
    return std::nullopt;
  }

private:
  static constexpr std::size_t MAX_TEXT = 64 * 1024;
  static constexpr std::size_t WINDOW = 64 * 1024;

  // The bytes from `at_` on that the window holds, read anew when it holds
  // none; empty at the end or on a failed read.
  std::span<const std::uint8_t> bytes_ahead() {
    if (at_ < window_start_ || at_ >= window_start_ + window_bytes_) {
      const std::int64_t wanted =
          std::min<std::int64_t>(static_cast<std::int64_t>(WINDOW), end_ - at_);
      if (wanted <= 0)
        return {};
      const std::optional<std::size_t> got = file_.read_at(
          at_, std::span(window_.data(), static_cast<std::size_t>(wanted)));
      window_start_ = at_;
      window_bytes_ = got ? static_cast<std::int64_t>(*got) : 0;
    }
    const auto offset = static_cast<std::size_t>(at_ - window_start_);
    return std::span<const std::uint8_t>(window_.data() + offset,
                                         static_cast<std::size_t>(window_bytes_) - offset);
  }
  template <std::size_t N> bool read(std::uint8_t (&bytes)[N]) {
    for (std::size_t k = 0; k < N; ++k) {
      const std::span<const std::uint8_t> ahead = bytes_ahead();
      if (ahead.empty())
        return false;
      bytes[k] = ahead[0];
      ++at_;
    }
    return true;
  }

  const File &file_;
  std::int64_t end_;
  std::int64_t at_ = 0;
  std::vector<std::uint8_t> window_;
  std::int64_t window_start_ = 0, window_bytes_ = 0;
};

// Passes over one serialised object: its type name, its byte count and
// that many bytes.
bool skip_object(Cursor &in) {
  const std::optional<std::string> type = in.text();
  const std::optional<std::uint32_t> bytes = type ? in.count() : std::nullopt;
  return bytes && in.skip(*bytes);
}

// Passes over the value of a component of type `letter`.
bool skip_value(Cursor &in, char letter) {
  switch (letter) {
  case 'b': case 'c': return in.skip(1);
  case 'i': return in.skip(4);
  case 'q': case 'd': return in.skip(8);
  case 's': return in.text().has_value();
  case 'o': return skip_object(in);
  case 'C': case 'B': case 'I': case 'Q': case 'D': {
    const std::optional<std::uint32_t> n = in.count();
    const int size = letter == 'C' || letter == 'B' ? 1 : letter == 'I' ? 4 : 8;
    return n && in.skip(std::int64_t{*n} * size);
  }
  case 'O': {
    const std::optional<std::uint32_t> n = in.count();
    if (!n)
      return false;
    for (std::uint32_t k = 0; k < *n; ++k)
      if (!skip_object(in))
        return false;
    return true;
  }
  default: return false;
  }
}

} // namespace

std::optional<std::vector<std::pair<std::string, std::string>>>
read_first_metadata(const File &file) {
  Cursor in(file, file.size());
  std::uint8_t magic[sizeof MAGIC];
  if (file.read_at(0, magic) != sizeof MAGIC ||
      std::memcmp(magic, MAGIC, sizeof MAGIC) != 0 || !in.skip(sizeof MAGIC))
    return std::nullopt;
  const std::optional<std::string> root = in.text();
  const std::optional<std::uint32_t> root_bytes =
      root == "GwyContainer" ? in.count() : std::nullopt;
  if (!root_bytes)
    return std::nullopt;
  const std::int64_t root_end = in.at() + *root_bytes;
  while (in.at() < root_end) {
    const std::optional<std::string> name = in.text();
    const std::optional<char> letter = name ? in.letter() : std::nullopt;
    if (!letter)
      return std::nullopt;
    if (*letter != 'o' || !name->ends_with("meta")) {
      if (!skip_value(in, *letter))
        return std::nullopt;
      continue;
    }
    const std::optional<std::string> type = in.text();
    const std::optional<std::uint32_t> bytes =
        type == "GwyContainer" ? in.count() : std::nullopt;
    if (!bytes)
      return std::nullopt;
    const std::int64_t end = in.at() + *bytes;
    std::vector<std::pair<std::string, std::string>> texts;
    while (in.at() < end) {
      std::optional<std::string> key = in.text();
      const std::optional<char> kind = key ? in.letter() : std::nullopt;
      if (kind != 's')
        return std::nullopt;
      std::optional<std::string> value = in.text();
      if (!value)
        return std::nullopt;
      texts.emplace_back(std::move(*key), std::move(*value));
    }
    return texts;
  }
  return std::nullopt;
}

} // namespace parvane::gwy
