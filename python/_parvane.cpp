// The compiled part of the Python package: it opens a set through the core
// and hands Python the core's numbers (the settings, the coordinates, the
// topography, the bias levels) and a reader of any box of a current grid.
// Nothing is computed here that the core computes for the export: the
// values are the export's, to the bit.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "core/file_io.h"
#include "core/physical_model.h"
#include "core/scala_settings.h"
#include "core/set_layout.h"
#include "core/set_names.h"
#include "core/set_reading.h"
#include "core/setting_attributes.h"
#include "core/tile_pipeline.h"
#include "core/version.h"

namespace py = pybind11;
using namespace parvane;

namespace {

constexpr char EXPORT_NAME[] = "parvane-export";

// The package's exception `name` (parvane.SetError and its kinds), raised
// with the file concerned and the reason.
[[noreturn]] void raise_set_error(const char *name, const std::string &file,
                                  const std::string &reason) {
  py::object kind = py::module_::import("parvane.errors").attr(name);
  PyErr_SetObject(kind.ptr(), py::make_tuple(file, reason).ptr());
  throw py::error_already_set();
}

// A system failure as OSError(errno, text, file name), which Python turns
// into its subclass (FileNotFoundError, PermissionError...); the file
// layer's own refusals keep their words.
[[noreturn]] void raise_file_error(const std::error_code &error,
                                   const std::string &file) {
  int number = 0;
  if (error.category() == std::system_category() ||
      error.category() == std::generic_category())
    number = error.value();
  else if (error == FileRefusal::Directory)
    number = EISDIR;
  if (number == 0)
    raise_set_error("SetError", file, describe(error));
  py::object args = py::make_tuple(number, describe(error), file);
  PyErr_SetObject(PyExc_OSError, args.ptr());
  throw py::error_already_set();
}

[[noreturn]] void raise_refusal(const SetResult &result) {
  switch (result.status) {
  case SetStatus::ShortSource:
  case SetStatus::EndedWhileRead:
    raise_set_error("ShortSourceError", result.file, result.reason);
  case SetStatus::NoImage:
    raise_set_error("NoImageError", result.file, result.reason);
  case SetStatus::NotFinite:
    raise_set_error("NotFiniteError", result.file, result.reason);
  default:
    raise_set_error("SetError", result.file, result.reason);
  }
}

std::string_view origin_name(Origin origin) {
  switch (origin) {
  case Origin::Record: return "read_from_record";
  case Origin::Computed: return "computed_from_record";
  case Origin::Fixed: return "fixed_by_converter";
  case Origin::User: return "set_by_user";
  }
  return {};
}

py::object attribute_object(const AttributeValue &value) {
  if (const auto *text = std::get_if<std::string>(&value))
    return py::str(*text);
  if (const auto *count = std::get_if<std::int64_t>(&value))
    return py::int_(*count);
  return py::float_(std::get<double>(value));
}

py::dict grid_dict(const SpectroscopyBlock &block, std::int64_t x,
                   const tiles::Physical &physical) {
  py::dict grid;
  grid["first_sample"] = block.first_sample;
  grid["pixels"] = block.pixels;
  grid["points"] = block.points;
  grid["x"] = x;
  grid["scale"] = physical.scale;
  grid["unit"] = physical.unit;
  return grid;
}

// Reads `box` of a grid from the open `source` into `values` (float64) or
// `samples` (int16), the interpreter free meanwhile; missing samples are
// `fill` when `fill_missing`. The outcome's failure raised.
void read_into(const File &source, const std::string &name,
               const tiles::Grid &grid, const tiles::Box &box,
               const tiles::Physical &physical, py::array &out,
               bool fill_missing, double fill) {
  if (!(out.flags() & py::array::c_style) || !out.writeable() ||
      out.size() != box.samples())
    throw py::value_error("the array must be C-contiguous, writeable and hold "
                          "the box's samples");
  tiles::MemoryTarget target;
  target.physical = physical;
  target.fill_missing = fill_missing;
  target.fill = fill;
  if (py::isinstance<py::array_t<double>>(out))
    target.values = static_cast<double *>(out.mutable_data());
  else if (py::isinstance<py::array_t<std::int16_t>>(out))
    target.samples = static_cast<std::int16_t *>(out.mutable_data());
  else
    throw py::type_error("the array must be float64 or int16");
  tiles::Outcome outcome;
  {
    py::gil_scoped_release unlocked;
    outcome = tiles::read_box(source, grid, box, target);
  }
  switch (outcome) {
  case tiles::Outcome::Done:
    return;
  case tiles::Outcome::ShortRead:
    raise_set_error("ShortSourceError", name,
                    "holds " + std::to_string(source.size()) +
                        " bytes, fewer than the box needs");
  case tiles::Outcome::ReadFailed:
    raise_file_error(source.failure(), name);
  case tiles::Outcome::NoMemory:
    throw py::value_error("the box is not within the grid, or no memory for it");
  default:
    raise_set_error("SetError", name, "the read did not end");
  }
}

// The set of file number `number` in `directory` (a prefix of file names,
// empty for the working directory), opened and checked as the export opens
// and checks it; its samples are read only when asked.
py::dict open_set(const std::string &directory, const std::string &number,
                  std::optional<double> full_scale, bool allow_short,
                  bool read_topography) {
  if (full_scale && !(std::isfinite(*full_scale) && *full_scale > 0))
    throw py::value_error("current_full_scale must be a finite number of "
                          "amperes above 0");
  const SetNames names = set_names(number);
  const SetSources opened = open_set_sources(directory, names);
  if (const auto failed = opened.failed(names))
    raise_file_error(failed->source->error, directory + *failed->name);
  const File *spectroscopy =
      opened.spectroscopy.file ? &*opened.spectroscopy.file : nullptr;
  const SetFiles files{&*opened.record.file, &*opened.topography.file,
                       spectroscopy, names.old_parameters, names.old_topography,
                       spectroscopy ? names.old_spectroscopy : std::string()};
  const CurrentCalibration current =
      full_scale ? CurrentCalibration{*full_scale, true} : CurrentCalibration{};
  PhysicalSet set;
  if (SetResult r = read_physical_set(
          files, current, allow_short ? ShortSources::Allow : ShortSources::Refuse,
          set);
      !r.ok())
    raise_refusal(r);

  py::dict result;
  result["number"] = number;
  result["x"] = set.x;
  result["y"] = set.y;
  result["dual"] = set.dual;
  result["xreal"] = set.xreal;
  result["yreal"] = set.yreal;
  const SourceSizes sizes{files.record->size(), files.topography->size(),
                          spectroscopy ? spectroscopy->size() : 0};
  result["short"] = has_short_source(sizes, set.extents);
  py::list sources;
  sources.append(py::make_tuple("record", files.record_name, sizes.record));
  sources.append(py::make_tuple("topography", files.topography_name, sizes.topography));
  if (spectroscopy)
    sources.append(py::make_tuple("spectroscopy", files.spectroscopy_name,
                                  sizes.spectroscopy));
  result["sources"] = sources;
  result["source"] = std::string(EXPORT_NAME) + " " + PARVANE_VERSION;
  result["current_full_scale"] = set.current.full_scale;
  result["current_scale"] = current_scale(set.current.full_scale);

  // Pixel centres, as Gwyddion places them: (i + 1/2) * field / pixels.
  py::array_t<double> xs(set.x), ys(set.y);
  for (std::int32_t i = 0; i < set.x; ++i)
    xs.mutable_at(i) = (i + 0.5) * set.xreal / set.x;
  for (std::int32_t j = 0; j < set.y; ++j)
    ys.mutable_at(j) = (j + 0.5) * set.yreal / set.y;
  result["x_coordinates"] = xs;
  result["y_coordinates"] = ys;

  // Every setting the export states, in the table's order.
  const SetFacts facts{set.p, number, set.x, set.y, set.dual,
                       spectroscopy != nullptr, set.current};
  py::list settings;
  for (const Setting &row : SCALA_SETTINGS) {
    if (row.key.empty() || !facts.has(row))
      continue;
    const SettingAttribute *attribute = setting_attribute(row.key);
    if (attribute == nullptr)
      throw std::logic_error("a setting without an attribute");
    const std::string text = setting_value(row, facts, printable_ascii);
    const SiUnit unit = si_unit(row, attribute->quantity);
    const Origin origin = facts.origin(row);
    py::dict entry;
    entry["label"] = row.key;
    entry["text"] = text;
    entry["unit"] = row.unit;
    entry["origin"] = origin_name(origin);
    entry["origin_words"] = std::string(origin_mark(origin).substr(
        1, origin_mark(origin).size() - 2));
    entry["identifier"] = attribute->identifier;
    entry["value"] = attribute_object(attribute_value(text, attribute->quantity, unit));
    entry["si_unit"] = unit.name;
    entry["meaningful"] = attribute->meaningful;
    settings.append(entry);
  }
  result["settings"] = settings;

  // The topography, small, read now: (direction, line, pixel) in the
  // source's line order; missing samples of a short set are NaN.
  if (read_topography) {
    const auto directions = static_cast<py::ssize_t>(set.images.size());
    py::array_t<double> topography({directions, py::ssize_t{set.y}, py::ssize_t{set.x}});
    for (std::size_t d = 0; d < set.images.size(); ++d) {
      const SetPlane &plane = set.images[d];
      const tiles::Grid grid{plane.block, set.x};
      py::array level =
          topography.attr("__getitem__")(py::ssize_t(d)).cast<py::array>();
      read_into(*plane.source, files.topography_name, grid, tiles::whole_grid(grid),
                plane.physical, level, allow_short,
                std::numeric_limits<double>::quiet_NaN());
    }
    result["topography"] = topography;
  }

  py::list volumes;
  for (const SetVolume &v : set.volumes) {
    py::dict volume = grid_dict(v.plane.block, set.x, v.plane.physical);
    volume["direction"] = v.direction == Direction::Forward ? "forward" : "backward";
    py::array_t<double> bias(v.points);
    for (std::int32_t k = 0; k < v.points; ++k)
      bias.mutable_at(k) = v.bias(k);
    volume["bias"] = bias;
    volume["file"] = files.spectroscopy_name;
    volumes.append(volume);
  }
  result["volumes"] = volumes;
  return result;
}

// Reads a box of a current grid from the file at `path`, opened for this
// read alone: `grid` as `open_set` describes it, the box as (first level,
// levels, first line, lines, first pixel, pixels), into `out`.
void read_box(const std::string &path, const std::string &name,
              const py::dict &grid, const std::vector<std::int64_t> &box,
              py::array out, bool fill_missing) {
  if (box.size() != 6)
    throw py::value_error("a box is six numbers");
  std::error_code error;
  std::optional<File> source = File::open_source(path, error);
  if (!source)
    raise_file_error(error, path);
  const tiles::Grid g{{grid["pixels"].cast<std::int64_t>(),
                       grid["points"].cast<std::int64_t>(),
                       grid["first_sample"].cast<std::int64_t>()},
                      grid["x"].cast<std::int64_t>()};
  tiles::Physical physical;
  physical.scale = grid["scale"].cast<double>();
  physical.unit = grid["unit"].cast<double>();
  const tiles::Box b{box[0], box[1], box[2], box[3], box[4], box[5]};
  read_into(*source, name, g, b, physical, out, fill_missing,
            std::numeric_limits<double>::quiet_NaN());
}

// Where the set of a file of a set lies: (directory prefix, file number);
// None when `path` names no file of a set.
std::optional<std::pair<std::string, std::string>>
locate(const std::string &path) {
  const auto last = std::find_if(path.rbegin(), path.rend(), is_directory_separator);
  const auto start = static_cast<std::size_t>(path.rend() - last);
  const std::string base = path.substr(start);
  if (!set_file_kind(path, base))
    return std::nullopt;
  return std::pair{path.substr(0, start), base.substr(2)};
}

std::vector<std::string> find_sets(const std::string &directory) {
  std::vector<std::string> numbers;
  if (std::error_code error = find_set_numbers(directory, numbers))
    raise_file_error(error, directory);
  std::vector<std::string> paths;
  const std::string prefix = directory_prefix(directory);
  for (const std::string &number : numbers)
    paths.push_back(prefix + old_parameter_name(number));
  return paths;
}

} // namespace

PYBIND11_MODULE(_parvane, m) {
  m.doc() = "The core of parvane-export, for the parvane package";
  m.attr("__version__") = PARVANE_VERSION;
  m.attr("DEFAULT_CURRENT_FULL_SCALE") = DEFAULT_CURRENT_FULL_SCALE;
  m.def("open_set", &open_set, py::arg("directory"), py::arg("number"),
        py::arg("current_full_scale") = py::none(), py::arg("allow_short") = false,
        py::arg("read_topography") = true);
  m.def("read_box", &read_box, py::arg("path"), py::arg("name"), py::arg("grid"),
        py::arg("box"), py::arg("out"), py::arg("fill_missing") = false);
  m.def("locate", &locate, py::arg("path"));
  m.def("find_sets", &find_sets, py::arg("directory"));
}
