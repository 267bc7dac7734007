#include "export/gwy_writer.h"

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

} // namespace parvane::gwy
