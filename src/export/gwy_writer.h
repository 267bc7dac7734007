// A small serialiser of Gwyddion's GWY files, written front to back with
// every size known in advance, so that arrays of any length stream from
// their source straight into the file.
//
// A GWY file is the magic "GWYP" and one serialised object. An object is its
// type name (NUL-terminated), the byte count of its components (uint32,
// little-endian), and the components. A component is its name
// (NUL-terminated), a type letter and a value:
//
//   'i'  int32, little-endian        'd'  double, little-endian IEEE
//   's'  NUL-terminated text         'o'  one serialised object
//   'D'  uint32 count, then doubles  'O'  uint32 count, then objects
//
// A container (GwyContainer) is an object whose component names are its
// keys ("/0/data", "/brick/0/meta"). Readers find components by name, so
// their order is free; ours is the order in which they are added.
//
// Objects are described first (`Object`), measured (`object_bytes`), then
// written (`write_gwy_file`). An array of doubles is described by its length
// alone (`Component::streamed`); when the writer reaches it, it asks the
// caller to fill exactly that many doubles at a given file position.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/file_io.h"

namespace parvane::gwy {

struct Object;

struct Component {
  std::string name;
  char type = 'i';
  std::int32_t integer = 0;
  double real = 0;
  std::string text;
  std::vector<Object> objects;  // one for 'o', any number for 'O'
  std::int64_t streamed_count = 0; // 'D', filled by the caller
  int stream = -1;                  // the caller's name for that array

  static Component int32(std::string name, std::int32_t value);
  static Component float64(std::string name, double value);
  static Component string(std::string name, std::string value);
  static Component object(std::string name, Object value);
  static Component object_array(std::string name, std::vector<Object> values);
  static Component streamed(std::string name, std::int64_t count, int stream);
};

struct Object {
  std::string type_name;
  std::vector<Component> components;

  Object &add(Component component) {
    components.push_back(std::move(component));
    return *this;
  }
};

// The largest byte count of one object's components, and the largest element
// count of one array: both are stored as uint32.
inline constexpr std::int64_t MAX_COUNT = 0xFFFFFFFF;

// The serialised size of `object` in bytes; nullopt when it, or anything
// inside it, exceeds what the format can count.
std::optional<std::int64_t> object_bytes(const Object &object);

// The size of the whole file: the magic and the root object.
std::optional<std::int64_t> file_bytes(const Object &root);

// Fills `count` doubles of stream `stream` at byte `position` of the file,
// as little-endian IEEE numbers; false when it failed (the caller knows why).
using StreamFiller = std::function<bool(int stream, std::int64_t position,
                                        std::int64_t count)>;

// How writing the file ended.
enum class WriteOutcome { Done, WriteFailed, FillFailed };

// Writes the magic and `root` into `out` at byte `start` on, with positional
// writes. `root` must have a size (`file_bytes`).
WriteOutcome write_gwy_file(const Object &root, File &out, std::int64_t start,
                            const StreamFiller &fill);

// The texts of the first metadata container of the GWY file in `file` (the
// first object of the root container under a key ending in "meta"), key and
// text in file order; nullopt when the file is no GWY file this writer could
// have written, or holds no such container. Only the headers on the way are
// read: the arrays before the metadata are passed over unread.
std::optional<std::vector<std::pair<std::string, std::string>>>
read_first_metadata(const File &file);

// Stores `values` as little-endian IEEE doubles at `bytes`, which holds 8
// bytes per value: the byte order of a GWY file on any host.
void store_little_endian(std::span<const double> values, std::uint8_t *bytes);

// Puts `values` into that byte order where they are and returns their bytes,
// ready to write: on a little-endian host they are already.
std::span<const std::uint8_t> to_little_endian(std::span<double> values);

} // namespace parvane::gwy
