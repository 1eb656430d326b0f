// The private entry behind every scoring path: eleven columns (Arrow arrays, NumPy arrays or
// object arrays) read by the cell rule and scored in one pass, the reasons of unreadable rows,
// and the status texts.
#define PY_SSIZE_T_CLEAN
#include "score_columns.hpp"

#include <Python.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "arrow_abi.hpp"
#include "arrow_column.hpp"
#include "binding/binding.hpp"
#include "binding/held_buffer.hpp"
#include "columns.hpp"
#include "numpy_api.hpp"
#include "pool/pool.hpp"

namespace corvane {
namespace {

constexpr std::string_view kSignature =
    "_score_columns(columns, masks, options, models, risks, statuses, errors, values=None)";

Pending bad_argument(std::string_view what) noexcept {
  std::string text;
  try {
    text = std::string(kSignature.substr(0, kSignature.find('('))) + ": " + std::string(what);
  } catch (...) {
    return Pending::type_error(what);
  }
  return Pending::type_error(text);
}

// "column LABEL: WHAT", for a column the engine cannot take.
Pending column_error(PyObject* type, PyObject* label, const char* what, const char* detail) {
  return Pending::with_message(
      type, Ref::steal(PyUnicode_FromFormat("column %U: %s%.60s", label, what, detail)));
}

// The storage of a buffer's format: native byte order only, integers by their size.
std::optional<Storage> buffer_storage(const Py_buffer& view) noexcept {
  std::string_view format = view.format != nullptr ? view.format : "B";
  if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<')) {
    format.remove_prefix(1);
  }
  if (format.size() != 1) return std::nullopt;
  const char f = format[0];
  if (f == 'd' && view.itemsize == 8) return Storage::kFloat64;
  if (f == 'f' && view.itemsize == 4) return Storage::kFloat32;
  if (f == 'e' && view.itemsize == 2) return Storage::kFloat16;
  if (f == '?' && view.itemsize == 1) return Storage::kBool;
  if (f == 'O' && view.itemsize == sizeof(PyObject*)) return Storage::kDecoded;
  constexpr std::string_view kSigned = "bhilqn";
  constexpr std::string_view kUnsigned = "BHILQN";
  const bool is_signed = kSigned.find(f) != std::string_view::npos;
  if (!is_signed && kUnsigned.find(f) == std::string_view::npos) return std::nullopt;
  switch (view.itemsize) {
    case 1:
      return is_signed ? Storage::kInt8 : Storage::kUInt8;
    case 2:
      return is_signed ? Storage::kInt16 : Storage::kUInt16;
    case 4:
      return is_signed ? Storage::kInt32 : Storage::kUInt32;
    case 8:
      return is_signed ? Storage::kInt64 : Storage::kUInt64;
    default:
      return std::nullopt;
  }
}

std::size_t storage_size(Storage s) noexcept {
  switch (s) {
    case Storage::kInt8:
    case Storage::kUInt8:
    case Storage::kBool:
      return 1;
    case Storage::kInt16:
    case Storage::kUInt16:
    case Storage::kFloat16:
      return 2;
    case Storage::kInt32:
    case Storage::kUInt32:
    case Storage::kFloat32:
      return 4;
    default:
      return 8;
  }
}

// The storage an Arrow format names, for the formats the engine reads; decimals also give
// their width in words and scale.
std::optional<Storage> arrow_storage(std::string_view f, int& words, int& scale) noexcept {
  if (f.size() == 1) {
    switch (f[0]) {
      case 'n':
        return Storage::kNull;
      case 'b':
        return Storage::kBitBool;
      case 'c':
        return Storage::kInt8;
      case 'C':
        return Storage::kUInt8;
      case 's':
        return Storage::kInt16;
      case 'S':
        return Storage::kUInt16;
      case 'i':
        return Storage::kInt32;
      case 'I':
        return Storage::kUInt32;
      case 'l':
        return Storage::kInt64;
      case 'L':
        return Storage::kUInt64;
      case 'e':
        return Storage::kFloat16;
      case 'f':
        return Storage::kFloat32;
      case 'g':
        return Storage::kFloat64;
      case 'u':
        return Storage::kText;
      case 'U':
        return Storage::kLargeText;
      default:
        return std::nullopt;
    }
  }
  if (f == "vu") return Storage::kTextView;
  if (f.starts_with("d:")) {  // d:precision,scale[,bits]
    int precision = 0, bits = 128;
    const char* p = f.data() + 2;
    const char* end = f.data() + f.size();
    auto [q, e1] = std::from_chars(p, end, precision);
    if (e1 != std::errc() || q == end || *q != ',') return std::nullopt;
    auto [r, e2] = std::from_chars(q + 1, end, scale);
    if (e2 != std::errc()) return std::nullopt;
    if (r != end) {
      if (*r != ',') return std::nullopt;
      auto [t, e3] = std::from_chars(r + 1, end, bits);
      if (e3 != std::errc() || t != end) return std::nullopt;
    }
    if (bits != 64 && bits != 128 && bits != 256) return std::nullopt;
    words = bits / 64;
    return Storage::kDecimal;
  }
  return std::nullopt;
}

// What an Arrow format the engine does not read holds, for a message.
const char* arrow_kind(std::string_view format) noexcept {
  if (format.starts_with("tt")) return "times of day";
  if (format.starts_with("td")) return "dates";
  if (format.starts_with("ts")) return "timestamps";
  if (format.starts_with("tD") || format.starts_with("ti")) return "durations";
  if (!format.empty() && format[0] == '+') return "lists or structs";
  if (format == "z" || format == "Z" || format == "vz" || format.starts_with("w:")) {
    return "binary values";
  }
  return "values of this type";
}

// One input column as imported for a call: its pieces, and everything they point into, held
// until the call ends. Moved only before its pieces are made.
struct ImportedColumn {
  ColumnSource source;
  PyObject* label = nullptr;     // borrowed from the options
  PyObject* expected = nullptr;  // borrowed from the options
  Owned<ArrowSchema> schema;
  std::vector<std::unique_ptr<Owned<ArrowArray>>> chunks;
  HeldBuffer values, mask;
  // Values read on the calling thread: an object column's cells, a dictionary's entries.
  // Left uninitialised until filled: zeroing first would touch every page twice.
  std::deque<std::unique_ptr<double[]>> decoded;
  std::deque<std::unique_ptr<std::uint8_t[]>> decoded_states;
  std::deque<Piece> dictionaries;  // each dictionary's own values, for messages
  // An object column: where its objects are, to name a bad one.
  const char* objects = nullptr;
  std::ptrdiff_t object_stride = 0;
};

Pending malformed(PyObject* label) {
  return column_error(PyExc_ValueError, label, "the Arrow array is malformed", "");
}

// A piece over an Arrow array of the given storage; validity kept only where there are nulls.
Result<Piece> arrow_piece(ImportedColumn& c, const ArrowSchema& schema, const ArrowArray& array,
                          std::size_t start);

Result<bool> decode_dictionary(ImportedColumn& c, const ArrowSchema& schema,
                               const ArrowArray& array, Piece& piece) {
  auto values = arrow_piece(c, schema, array, 0);
  if (!values) return std::move(values.error());
  if (values->storage == Storage::kDictionary) {
    return column_error(PyExc_TypeError, c.label, "a dictionary of dictionaries", "");
  }
  const Piece& entries = c.dictionaries.emplace_back(*values);
  double* decoded =
      c.decoded.emplace_back(std::make_unique_for_overwrite<double[]>(entries.length)).get();
  std::uint8_t* states =
      c.decoded_states.emplace_back(std::make_unique_for_overwrite<std::uint8_t[]>(entries.length))
          .get();
  for (std::size_t i = 0; i < entries.length; ++i) {
    const Cell cell = cell_at(entries, i, c.source.rule);
    decoded[i] = cell.value;
    states[i] = cell.state;
  }
  piece.decoded = decoded;
  piece.decoded_states = states;
  piece.decoded_count = entries.length;
  return true;
}

Result<Piece> arrow_piece(ImportedColumn& c, const ArrowSchema& schema, const ArrowArray& array,
                          std::size_t start) {
  Piece p;
  p.start = start;
  p.length = static_cast<std::size_t>(array.length);
  p.offset = array.offset;
  int words = 2, scale = 0;
  const std::string_view format = schema.format != nullptr ? schema.format : "";
  const std::optional<Storage> storage = arrow_storage(format, words, scale);
  const bool dictionary = schema.dictionary != nullptr;
  if (!storage || (dictionary && !(*storage >= Storage::kInt8 && *storage <= Storage::kUInt64))) {
    return Pending::with_message(
        PyExc_TypeError,
        Ref::steal(PyUnicode_FromFormat(
            "column %U: cannot read %s (Arrow format '%.40s'): give numbers, text or booleans",
            c.label, arrow_kind(format), format.data())));
  }
  if (array.length < 0 || array.offset < 0 || array.buffers == nullptr ||
      array.n_buffers < (*storage == Storage::kNull ? 0 : 2)) {
    if (!(*storage == Storage::kNull && array.length >= 0)) return malformed(c.label);
  }
  const bool has_nulls = array.null_count != 0 && *storage != Storage::kNull;
  if (has_nulls && array.buffers[0] != nullptr) {
    p.validity = static_cast<const std::uint8_t*>(array.buffers[0]);
  }
  p.storage = *storage;
  switch (*storage) {
    case Storage::kNull:
      return p;
    case Storage::kText:
    case Storage::kLargeText:
      if (array.n_buffers < 3) return malformed(c.label);
      p.text_offsets = array.buffers[1];
      p.text_data = static_cast<const char*>(array.buffers[2]);
      if (p.length != 0 && p.text_offsets == nullptr) return malformed(c.label);
      return p;
    case Storage::kTextView:
      p.values = static_cast<const char*>(array.buffers[1]);
      p.view_buffers = reinterpret_cast<const char* const*>(array.buffers + 2);
      if (p.length != 0 && p.values == nullptr) return malformed(c.label);
      return p;
    case Storage::kDecimal:
      if (words == 1 && scale < 0) return malformed(c.label);
      p.decimal_words = words;
      p.scale = scale;
      p.values = static_cast<const char*>(array.buffers[1]);
      p.stride = 8 * words;
      break;
    case Storage::kBitBool:
      p.values = static_cast<const char*>(array.buffers[1]);
      break;
    default:
      p.values = static_cast<const char*>(array.buffers[1]);
      p.stride = static_cast<std::ptrdiff_t>(storage_size(*storage));
      break;
  }
  if (p.length != 0 && p.values == nullptr) return malformed(c.label);
  if (dictionary) {
    if (array.dictionary == nullptr) return malformed(c.label);
    p.index_storage = *storage;
    p.storage = Storage::kDictionary;
    if (auto ok = decode_dictionary(c, *schema.dictionary, *array.dictionary, p); !ok) {
      return std::move(ok.error());
    }
    p.dictionary = &c.dictionaries.back();
  }
  return p;
}

Pending stream_error(ArrowArrayStream& stream, PyObject* label) noexcept {
  const char* text = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
  return Pending::with_message(
      PyExc_ValueError,
      Ref::steal(PyUnicode_FromFormat("column %U: the Arrow stream failed: %s", label,
                                      text != nullptr ? text : "no message")));
}

// The chunks of an object with __arrow_c_stream__ or __arrow_c_array__; false when it has
// neither.
Result<bool> import_arrow(ImportedColumn& c, PyObject* obj) {
  Ref method = Ref::steal(PyObject_GetAttrString(obj, "__arrow_c_stream__"));
  const bool stream = static_cast<bool>(method);
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Pending::fetch();
    PyErr_Clear();
    method = Ref::steal(PyObject_GetAttrString(obj, "__arrow_c_array__"));
    if (!method) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Pending::fetch();
      PyErr_Clear();
      return false;
    }
  }
  Ref result = Ref::steal(PyObject_CallNoArgs(method.get()));
  if (!result) return Pending::fetch();
  std::size_t rows = 0;
  const auto add = [&](Owned<ArrowArray>& array) -> Result<bool> {
    if (array.value.length == 0) return true;
    auto piece = arrow_piece(c, c.schema.value, array.value, rows);
    if (!piece) return std::move(piece.error());
    rows += piece->length;
    c.source.pieces.push_back(*piece);
    auto held = std::make_unique<Owned<ArrowArray>>();
    held->value = std::exchange(array.value, ArrowArray{});
    c.chunks.push_back(std::move(held));
    return true;
  };
  if (stream) {
    auto* source =
        PyCapsule_IsValid(result.get(), kStreamCapsule)
            ? static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(result.get(), kStreamCapsule))
            : nullptr;
    if (source == nullptr || source->release == nullptr) {
      return column_error(PyExc_TypeError, c.label, "__arrow_c_stream__ gave no live stream", "");
    }
    // Moved out, as the capsule protocol allows; released here on every path.
    Owned<ArrowArrayStream> s;
    s.value = std::exchange(*source, ArrowArrayStream{});
    if (s.value.get_schema(&s.value, &c.schema.value) != 0) {
      return stream_error(s.value, c.label);
    }
    if (c.schema.value.release == nullptr) return malformed(c.label);
    for (;;) {
      Owned<ArrowArray> next;
      if (s.value.get_next(&s.value, &next.value) != 0) {
        return stream_error(s.value, c.label);
      }
      if (next.value.release == nullptr) break;  // the end of the stream
      if (auto ok = add(next); !ok) return std::move(ok.error());
    }
    return true;
  }
  if (!PyTuple_Check(result.get()) || PyTuple_GET_SIZE(result.get()) != 2 ||
      !PyCapsule_IsValid(PyTuple_GET_ITEM(result.get(), 0), kSchemaCapsule) ||
      !PyCapsule_IsValid(PyTuple_GET_ITEM(result.get(), 1), kArrayCapsule)) {
    return column_error(PyExc_TypeError, c.label, "__arrow_c_array__ gave no capsule pair", "");
  }
  auto* schema = static_cast<ArrowSchema*>(
      PyCapsule_GetPointer(PyTuple_GET_ITEM(result.get(), 0), kSchemaCapsule));
  auto* array = static_cast<ArrowArray*>(
      PyCapsule_GetPointer(PyTuple_GET_ITEM(result.get(), 1), kArrayCapsule));
  if (schema->release == nullptr || array->release == nullptr) return malformed(c.label);
  c.schema.value = std::exchange(*schema, ArrowSchema{});
  Owned<ArrowArray> only;
  only.value = std::exchange(*array, ArrowArray{});
  return add(only);
}

// A Python object's cell, by the same rule, on the calling thread.
Cell object_cell(PyObject* o, const ColumnRule& rule) {
  if (o == Py_None) return {0.0, kCellMissing};
  if (PyFloat_Check(o)) return read_value(PyFloat_AS_DOUBLE(o), rule);
  if (PyBool_Check(o)) return read_bool(o == Py_True, rule);
  if (PyLong_Check(o)) {
    const double d = PyLong_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) {  // past the double's range: infinite, as float()
      PyErr_Clear();
      const int negative = PyObject_RichCompareBool(o, Py_False, Py_LT);
      if (negative < 0) PyErr_Clear();
      return read_value(negative == 1 ? -HUGE_VAL : HUGE_VAL, rule);
    }
    return read_value(d, rule);
  }
  if (PyUnicode_Check(o)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(o, &size);
    if (text == nullptr) {  // lone surrogates
      PyErr_Clear();
      return {0.0, kCellBad};
    }
    return read_text({text, static_cast<std::size_t>(size)}, rule);
  }
  const std::string_view type = Py_TYPE(o)->tp_name;
  if (type.ends_with("NAType") || type.ends_with("NaTType")) return {0.0, kCellMissing};
  if (type == "decimal.Decimal") {  // its text is its exact value
    Ref text = Ref::steal(PyObject_Str(o));
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (utf8 == nullptr) {
      PyErr_Clear();
      return {0.0, kCellBad};
    }
    return read_text({utf8, static_cast<std::size_t>(size)}, rule);
  }
  // A NumPy scalar exports its one value as a buffer.
  if (PyObject_CheckBuffer(o) && !PyBytes_Check(o) && !PyByteArray_Check(o) &&
      !PyMemoryView_Check(o)) {
    HeldBuffer view;
    if (!view.acquire(o, PyBUF_RECORDS_RO)) {
      PyErr_Clear();
      return {0.0, kCellBad};
    }
    const std::optional<Storage> storage = buffer_storage(view.view());
    if (view.view().ndim != 0 || !storage || *storage == Storage::kDecoded) return {0.0, kCellBad};
    Piece p;
    p.length = 1;
    p.storage = *storage;
    p.values = static_cast<const char*>(view.view().buf);
    p.stride = static_cast<std::ptrdiff_t>(storage_size(*storage));
    return cell_at(p, 0, rule);
  }
  return {0.0, kCellBad};
}

// An object array's cells, read now: the workers never see a Python object. The same object
// is often repeated (a text column of few distinct values), so its last readings are kept.
void decode_objects(ImportedColumn& c, Piece& p) {
  // A code is one byte (its value and state), a number a double and a state: the column is
  // written here and read back by the workers, so its size is most of the cost.
  const bool codes = c.source.rule.kind != CellKind::kNumber;
  double* values =
      codes ? nullptr
            : c.decoded.emplace_back(std::make_unique_for_overwrite<double[]>(p.length)).get();
  std::uint8_t* states =
      c.decoded_states.emplace_back(std::make_unique_for_overwrite<std::uint8_t[]>(p.length)).get();
  struct Seen {
    PyObject* object = nullptr;
    Cell cell;
    std::uint8_t code = 0;
  };
  std::array<Seen, 64> seen{};
  const char* at = c.objects;
  for (std::size_t i = 0; i < p.length; ++i, at += c.object_stride) {
    PyObject* o = load<PyObject*>(at);
    // A number column's usual cells, floats and small ints, are rarely repeated: read at
    // once, not looked up.
    const auto* number = reinterpret_cast<PyLongObject*>(o);
    if (!codes &&
        (PyFloat_CheckExact(o) || (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(number)))) {
      const double x = PyFloat_CheckExact(o)
                           ? PyFloat_AS_DOUBLE(o)
                           : static_cast<double>(PyUnstable_Long_CompactValue(number));
      const Cell cell = read_value(x, c.source.rule);
      values[i] = cell.value;
      states[i] = cell.state;
      continue;
    }
    Seen& slot = seen[(reinterpret_cast<std::uintptr_t>(o) >> 4) % seen.size()];
    if (slot.object != o) {
      const Cell cell = object_cell(o, c.source.rule);
      slot = {o, cell, encoded_code(cell)};
    }
    if (codes) {
      states[i] = slot.code;
    } else {
      values[i] = slot.cell.value;
      states[i] = slot.cell.state;
    }
  }
  if (p.mask != nullptr) {
    const std::uint8_t missing =
        codes ? encoded_code({0.0, kCellMissing}) : std::uint8_t{kCellMissing};
    for (std::size_t i = 0; i < p.length; ++i) {
      if (!is_valid(p, i)) states[i] = missing;
    }
  }
  p.storage = codes ? Storage::kDecodedCode : Storage::kDecoded;
  p.decoded = values;
  p.decoded_states = states;
  p.decoded_count = p.length;
}

// A 1-D buffer (NumPy) and its optional mask as one piece.
Result<bool> import_buffer(ImportedColumn& c, PyObject* obj, PyObject* mask) {
  if (!c.values.acquire(obj, PyBUF_RECORDS_RO)) {
    PyErr_Clear();
    Ref name = type_name(obj);
    if (!name) return Pending::fetch();
    return Pending::with_message(
        PyExc_TypeError, Ref::steal(PyUnicode_FromFormat("column %U: cannot read values from a %U",
                                                         c.label, name.get())));
  }
  const Py_buffer& view = c.values.view();
  const std::optional<Storage> storage = buffer_storage(view);
  if (!storage) {
    return column_error(PyExc_TypeError, c.label, "cannot read values of format ",
                        view.format != nullptr ? view.format : "B");
  }
  if (view.ndim != 1 || view.shape == nullptr || view.strides == nullptr) {
    return column_error(PyExc_ValueError, c.label, "values must be one-dimensional", "");
  }
  Piece p;
  p.length = static_cast<std::size_t>(view.shape[0]);
  p.storage = *storage;
  p.values = static_cast<const char*>(view.buf);
  p.stride = view.strides[0];
  if (mask != Py_None) {
    if (!c.mask.acquire(mask, PyBUF_RECORDS_RO)) return Pending::fetch();
    const Py_buffer& m = c.mask.view();
    if (m.itemsize != 1 || m.ndim != 1 || m.shape == nullptr || m.shape[0] != view.shape[0]) {
      return column_error(PyExc_ValueError, c.label, "the mask does not fit the values", "");
    }
    p.mask = static_cast<const char*>(m.buf);
    p.mask_stride = m.strides[0];
  }
  if (*storage == Storage::kDecoded) {  // an object array
    c.objects = p.values;
    c.object_stride = p.stride;
    decode_objects(c, p);
  }
  if (p.length != 0) c.source.pieces.push_back(p);
  return true;
}

std::size_t column_rows(const ImportedColumn& c) noexcept {
  return c.source.pieces.empty() ? 0 : c.source.pieces.back().start + c.source.pieces.back().length;
}

// The options: (labels, expected, codes, decimal, cholesterol_mmol). labels are the 11
// columns' names for messages; expected 11 pairs (what a bad cell of the column is not, as a
// message says it; the same without the column's codes); codes 11 of None or a tuple of
// (code, meaning) pairs as the caller gave them; decimal "." or ",".
struct Options {
  std::array<CodeMap, 11> maps;
  char decimal = '.';
  bool mmol = false;
};

constexpr std::array<CellKind, 11> kKinds = {
    CellKind::kSex,    CellKind::kNumber, CellKind::kNumber, CellKind::kNumber,
    CellKind::kNumber, CellKind::kFlag,   CellKind::kFlag,   CellKind::kNumber,
    CellKind::kNumber, CellKind::kFlag,   CellKind::kFlag,
};

// One (code, meaning) pair into the map: a code that reads as a number matches by value, any
// other text by its trimmed, lower-case self; the meaning must read as a value of the column.
Result<bool> add_code(PyObject* label, PyObject* base_expected, const ColumnRule& plain,
                      PyObject* code, PyObject* meaning, CodeMap& map) {
  const Cell value = object_cell(meaning, plain);
  if (PyErr_Occurred()) return Pending::fetch();
  if (value.state != kCellOk) {
    return Pending::with_message(
        PyExc_ValueError, Ref::steal(PyUnicode_FromFormat("codes: %U: code %R stands for %R, "
                                                          "which is not %U",
                                                          label, code, meaning, base_expected)));
  }
  if (PyUnicode_Check(code)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(code, &size);
    if (text == nullptr) return Pending::fetch();
    const std::string_view s = trimmed({text, static_cast<std::size_t>(size)});
    double x = 0.0;
    if (parse_number(s, plain.decimal, x)) {
      map.numbers.emplace_back(x, value.value);
    } else {
      std::string lower(s);
      for (char& ch : lower) ch = ascii_lower(ch);
      map.texts.emplace_back(std::move(lower), value.value);
    }
    return true;
  }
  const Cell number = object_cell(code, ColumnRule{});
  if (PyErr_Occurred()) return Pending::fetch();
  if (number.state != kCellOk || !PyNumber_Check(code)) {
    return Pending::with_message(
        PyExc_ValueError,
        Ref::steal(PyUnicode_FromFormat("codes: %U: a code must be a number or a text, not %R",
                                        label, code)));
  }
  map.numbers.emplace_back(number.value, value.value);
  return true;
}

Result<bool> read_options(PyObject* options, Options& out,
                          std::array<ImportedColumn, 11>& columns) {
  const auto bad = [] {
    return bad_argument("options must be (labels, expected, codes, decimal, cholesterol_mmol)");
  };
  if (!PyTuple_Check(options) || PyTuple_GET_SIZE(options) != 5) return bad();
  PyObject* labels = PyTuple_GET_ITEM(options, 0);
  PyObject* expected = PyTuple_GET_ITEM(options, 1);
  PyObject* codes = PyTuple_GET_ITEM(options, 2);
  PyObject* decimal = PyTuple_GET_ITEM(options, 3);
  PyObject* mmol = PyTuple_GET_ITEM(options, 4);
  for (PyObject* t : {labels, expected, codes}) {
    if (!PyTuple_Check(t) || PyTuple_GET_SIZE(t) != 11) return bad();
  }
  if (!PyUnicode_Check(decimal) || !PyBool_Check(mmol)) return bad();
  const Py_UCS4 mark = PyUnicode_GET_LENGTH(decimal) == 1 ? PyUnicode_READ_CHAR(decimal, 0) : 0;
  if (mark != '.' && mark != ',') return bad();
  out.decimal = static_cast<char>(mark);
  out.mmol = mmol == Py_True;
  for (std::size_t j = 0; j < 11; ++j) {
    ImportedColumn& c = columns[j];
    c.label = PyTuple_GET_ITEM(labels, j);
    PyObject* texts = PyTuple_GET_ITEM(expected, j);
    if (!PyUnicode_Check(c.label) || !PyTuple_Check(texts) || PyTuple_GET_SIZE(texts) != 2 ||
        !PyUnicode_Check(PyTuple_GET_ITEM(texts, 0)) ||
        !PyUnicode_Check(PyTuple_GET_ITEM(texts, 1))) {
      return bad();
    }
    c.expected = PyTuple_GET_ITEM(texts, 0);
    c.source.rule = {.kind = kKinds[j], .codes = nullptr, .decimal = out.decimal};
    PyObject* pairs = PyTuple_GET_ITEM(codes, j);
    if (pairs == Py_None) continue;
    if (!PyTuple_Check(pairs)) return bad();
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(pairs); ++k) {
      PyObject* pair = PyTuple_GET_ITEM(pairs, k);
      if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) return bad();
      if (auto ok = add_code(c.label, PyTuple_GET_ITEM(texts, 1), c.source.rule,
                             PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1), out.maps[j]);
          !ok) {
        return std::move(ok.error());
      }
    }
    c.source.rule.codes = &out.maps[j];
  }
  return true;
}

// The text a message shows for a bad cell: the text as written, or the number as read.
Ref shown_text(const ImportedColumn& c, const Piece& p, std::size_t i) {
  if (p.storage == Storage::kDictionary) {
    const std::int64_t k = index_at(p, i);
    if (k < 0 || static_cast<std::size_t>(k) >= p.decoded_count) {
      return Ref::steal(PyUnicode_FromFormat("dictionary index %lld", static_cast<long long>(k)));
    }
    return shown_text(c, *p.dictionary, static_cast<std::size_t>(k));
  }
  if (p.storage == Storage::kText || p.storage == Storage::kLargeText ||
      p.storage == Storage::kTextView) {
    const std::string_view text = text_at(p, i);
    return Ref::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  }
  if (is_decoded(p.storage)) {
    PyObject* o =
        load<PyObject*>(c.objects + static_cast<std::ptrdiff_t>(p.start + i) * c.object_stride);
    if (PyUnicode_Check(o)) return Ref::borrow(o);
    if (PyFloat_Check(o)) return Ref::steal(PyFloat_Type.tp_repr(o));
    if (PyLong_Check(o) && !PyBool_Check(o)) return Ref::steal(PyLong_Type.tp_repr(o));
    // A user's object whose __str__ fails is still named, by its type.
    Ref text = Ref::steal(PyObject_Str(o));
    if (!text) {
      PyErr_Clear();
      text = Ref::steal(PyUnicode_FromFormat("<%s object>", Py_TYPE(o)->tp_name));
    }
    return text;
  }
  if (p.storage == Storage::kDecimal) {
    const char* at = p.values + (p.offset + static_cast<std::int64_t>(i)) * p.stride;
    std::uint64_t words[4];
    std::memcpy(words, at, static_cast<std::size_t>(p.decimal_words) * 8);
    const std::string text = decimal_text(words, p.decimal_words, p.scale);
    return Ref::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  }
  const char* at = p.values + (p.offset + static_cast<std::int64_t>(i)) * p.stride;
  char text[32];
  std::to_chars_result printed{text, std::errc()};
  switch (p.storage) {
    case Storage::kUInt64:
      printed = std::to_chars(text, text + sizeof text, load<std::uint64_t>(at));
      break;
    case Storage::kInt64:
      printed = std::to_chars(text, text + sizeof text, load<std::int64_t>(at));
      break;
    case Storage::kInt8:
    case Storage::kInt16:
    case Storage::kInt32:
    case Storage::kUInt8:
    case Storage::kUInt16:
    case Storage::kUInt32:
      printed = std::to_chars(text, text + sizeof text, static_cast<long long>(number_at(p, i)));
      break;
    default:
      break;
  }
  if (printed.ptr != text) return Ref::steal(PyUnicode_FromStringAndSize(text, printed.ptr - text));
  Ref number = Ref::steal(PyFloat_FromDouble(number_at(p, i)));
  return number ? Ref::steal(PyObject_Repr(number.get())) : Ref{};
}

// "LABEL: 'TEXT' is not EXPECTED", the text's repr cut to 40 characters.
Ref bad_cell_reason(const ImportedColumn& c, Ref shown) {
  if (!shown) return {};
  Ref quoted = Ref::steal(PyObject_Repr(shown.get()));
  if (!quoted) return {};
  constexpr Py_ssize_t kShown = 40;
  if (PyUnicode_GET_LENGTH(quoted.get()) > kShown) {
    Ref head = Ref::steal(PyUnicode_Substring(quoted.get(), 0, kShown - 3));
    if (!head) return {};
    quoted = Ref::steal(PyUnicode_FromFormat("%U...", head.get()));
    if (!quoted) return {};
  }
  return Ref::steal(PyUnicode_FromFormat("%U: %U is not %U", c.label, quoted.get(), c.expected));
}

// The text of a text cell (a text piece, a dictionary of texts, a str object); false for
// any other cell. Valid while the column is.
bool text_of_cell(const ImportedColumn& c, const Piece& p, std::size_t i, std::string_view& out) {
  switch (p.storage) {
    case Storage::kText:
    case Storage::kLargeText:
    case Storage::kTextView:
      out = text_at(p, i);
      return true;
    case Storage::kDictionary: {
      const std::int64_t k = index_at(p, i);
      if (k < 0 || static_cast<std::size_t>(k) >= p.decoded_count) return false;
      return text_of_cell(c, *p.dictionary, static_cast<std::size_t>(k), out);
    }
    case Storage::kDecoded:
    case Storage::kDecodedCode: {
      PyObject* o =
          load<PyObject*>(c.objects + static_cast<std::ptrdiff_t>(p.start + i) * c.object_stride);
      Py_ssize_t size = 0;
      if (!PyUnicode_Check(o)) return false;
      const char* text = PyUnicode_AsUTF8AndSize(o, &size);
      if (text == nullptr) {  // lone surrogates
        PyErr_Clear();
        return false;
      }
      out = {text, static_cast<std::size_t>(size)};
      return true;
    }
    default:
      return false;
  }
}

// Whether a bad cell is a number text that a decimal comma would read.
bool comma_number(const ImportedColumn& c, const Piece& p, std::size_t i) {
  if (c.source.rule.kind != CellKind::kNumber || c.source.rule.decimal != '.') return false;
  std::string_view text;
  return text_of_cell(c, p, i, text) && reads_with_comma(text);
}

// Reasons already made, so that a text repeated in many bad cells (a code nobody mapped) is
// named once: per column by the cell's text, and per set of columns whose cells are all
// missing.
struct ReasonCache {
  static constexpr std::size_t kMaxEntries = 4096;
  static constexpr std::size_t kMaxText = 128;
  std::array<std::unordered_map<std::string, Ref>, 11> by_text;
  std::array<Ref, 11> missing;
  std::unordered_map<unsigned, Ref> all_missing;
};

// The reason of one bad cell that is not missing.
Ref bad_reason(const ImportedColumn& c, std::size_t j, const Piece& p, std::size_t i,
               ReasonCache& cache) {
  std::string_view text;
  const bool keyed = text_of_cell(c, p, i, text) && text.size() <= ReasonCache::kMaxText;
  auto& known = cache.by_text[j];
  if (keyed) {
    if (auto it = known.find(std::string(text)); it != known.end()) {
      return Ref::borrow(it->second.get());
    }
  }
  Ref reason = bad_cell_reason(c, shown_text(c, p, i));
  if (reason && keyed && known.size() < ReasonCache::kMaxEntries) {
    known.emplace(std::string(text), Ref::borrow(reason.get()));
  }
  return reason;
}

// For every unreadable row: its number, which bad cells are missing (bit per column), and the
// reason naming each bad cell, "; "-joined in column order. On the calling thread, after the
// pass: the bad rows are few, and naming them needs Python's texts.
Result<Ref> unreadable_rows(const std::array<ImportedColumn, 11>& columns,
                            const std::uint16_t* errors, const std::uint16_t* missing_cells,
                            std::size_t n) {
  std::vector<std::int64_t> rows;
  std::vector<std::uint16_t> missing_bits;
  Ref reasons = Ref::steal(PyList_New(0));
  if (!reasons) return Pending::fetch();
  ReasonCache cache;
  Ref separator = Ref::steal(PyUnicode_FromString("; "));
  if (!separator) return Pending::fetch();
  long long commas = 0;
  for (std::size_t r = 0; r < n; ++r) {
    if (errors[r] < kUnreadableCode) continue;
    const unsigned bad = errors[r] - kUnreadableCode;
    // Which cells are missing the workers noted; the others are read again for their text.
    const unsigned missing = missing_cells[r];
    std::array<Ref, 11> parts;
    std::size_t count = 0;
    for (std::size_t j = 0; j < 11; ++j) {
      if ((bad >> j & 1) == 0) continue;
      const ImportedColumn& c = columns[j];
      Ref reason;
      if ((missing >> j & 1) != 0) {
        if (!cache.missing[j]) {
          cache.missing[j] = Ref::steal(PyUnicode_FromFormat("%U: missing value", c.label));
        }
        reason = Ref::borrow(cache.missing[j].get());
      } else {
        const Piece& p = c.source.pieces[c.source.piece_of(r)];
        const std::size_t i = r - p.start;
        reason = bad_reason(c, j, p, i, cache);
        if (!reason) return Pending::fetch();
        commas += comma_number(c, p, i) ? 1 : 0;
      }
      if (!reason) return Pending::fetch();
      parts[count++] = std::move(reason);
    }
    Ref text;
    if (count == 1) {
      text = std::move(parts[0]);
    } else if (auto it = cache.all_missing.find(bad);
               missing == bad && it != cache.all_missing.end()) {
      text = Ref::borrow(it->second.get());
    } else {
      Ref joined = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
      if (!joined) return Pending::fetch();
      for (std::size_t k = 0; k < count; ++k) {
        PyTuple_SET_ITEM(joined.get(), static_cast<Py_ssize_t>(k), parts[k].release());  // steals
      }
      text = Ref::steal(PyUnicode_Join(separator.get(), joined.get()));
      if (text && missing == bad) cache.all_missing.emplace(bad, Ref::borrow(text.get()));
    }
    if (!text || PyList_Append(reasons.get(), text.get()) < 0) return Pending::fetch();
    rows.push_back(static_cast<std::int64_t>(r));
    missing_bits.push_back(static_cast<std::uint16_t>(missing));
  }
  // The rows and bits as columns that NumPy and polars read without a Python int per row.
  void* row_data = nullptr;
  void* bit_data = nullptr;
  auto row_column = new_column_of(rows.size(), 'q', &row_data);
  if (!row_column) return std::move(row_column.error());
  auto bit_column = new_column_of(rows.size(), 'H', &bit_data);
  if (!bit_column) return std::move(bit_column.error());
  std::copy(rows.begin(), rows.end(), static_cast<std::int64_t*>(row_data));
  std::copy(missing_bits.begin(), missing_bits.end(), static_cast<std::uint16_t*>(bit_data));
  Ref count = Ref::steal(PyLong_FromLongLong(commas));
  if (!count) return Pending::fetch();
  Ref out =
      Ref::steal(PyTuple_Pack(4, row_column->get(), bit_column->get(), reasons.get(), count.get()));
  if (!out) return Pending::fetch();
  return out;
}

// A writable C-contiguous (models, n) output of the given format; for one model a 1-D (n,)
// one too, such as a column made to be handed to polars.
bool output_fits(const Py_buffer& view, char format, std::size_t models, Py_ssize_t& n) noexcept {
  std::string_view f = view.format != nullptr ? view.format : "B";
  if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == '<')) f.remove_prefix(1);
  if (f.size() != 1 || f[0] != format || view.readonly) return false;
  if (view.ndim == 1 && models == 1) {
    n = view.shape[0];
    return true;
  }
  if (view.ndim != 2 || static_cast<std::size_t>(view.shape[0]) != models) return false;
  n = view.shape[1];
  return true;
}

void score_range(void* context, std::size_t begin, std::size_t end) {
  score_rows(*static_cast<const ColumnarJob*>(context), begin, end);
}

Result<Ref> score_columns(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 7 && nargs != 8) return bad_argument("takes 7 or 8 positional arguments");
  PyObject* columns = args[0];
  PyObject* masks = args[1];
  PyObject* models = args[3];
  if (!PyTuple_Check(columns) || PyTuple_GET_SIZE(columns) != 11 || !PyTuple_Check(masks) ||
      PyTuple_GET_SIZE(masks) != 11) {
    return bad_argument("columns and masks must be tuples of 11");
  }
  if (!PyTuple_Check(models) || PyTuple_GET_SIZE(models) < 1 ||
      PyTuple_GET_SIZE(models) > static_cast<Py_ssize_t>(kColumnarModels.size())) {
    return bad_argument("models must be a tuple of 1 to 6 model names");
  }
  auto imported = std::make_unique<std::array<ImportedColumn, 11>>();
  auto options = std::make_unique<Options>();
  if (auto ok = read_options(args[2], *options, *imported); !ok) return std::move(ok.error());

  ColumnarJob job;
  job.cholesterol_mmol = options->mmol;
  job.model_count = static_cast<std::size_t>(PyTuple_GET_SIZE(models));
  for (std::size_t k = 0; k < job.model_count; ++k) {
    PyObject* name = PyTuple_GET_ITEM(models, k);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (text == nullptr) {
      PyErr_Clear();
      return bad_argument("a model name is not text");
    }
    const std::string_view wanted(text, static_cast<std::size_t>(size));
    for (const ColumnarModel& model : kColumnarModels) {
      if (model.name == wanted) job.models[k] = &model;
    }
    if (job.models[k] == nullptr) return bad_argument("unknown model name");
  }
  for (std::size_t k = 0; k < job.model_count; ++k) {
    job.horizon_slot[k] = job.models[k]->ten_year == job.models[0]->ten_year ? 0 : 1;
    job.coefficients[k] = lane_coefficients(*job.models[k]);
  }

  // One array per model rather than one (models, n) block: arrays of a column's size are
  // reused from the allocator's free memory, where a block of six comes fresh from the system
  // each call and its pages are faulted in and zeroed as the workers first write them.
  std::array<HeldBuffer, kColumnarModels.size()> risks;
  HeldBuffer statuses, errors;
  constexpr int kOutput = PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS;
  PyObject* risk_arrays = args[4];
  if (!PyTuple_Check(risk_arrays) ||
      PyTuple_GET_SIZE(risk_arrays) != static_cast<Py_ssize_t>(job.model_count)) {
    return bad_argument("risks must be a tuple of one float64 array per model");
  }
  Py_ssize_t n = 0, n_other = 0;
  for (std::size_t k = 0; k < job.model_count; ++k) {
    if (!risks[k].acquire(PyTuple_GET_ITEM(risk_arrays, k), kOutput)) return Pending::fetch();
    if (!output_fits(risks[k].view(), 'd', 1, n_other) || (k > 0 && n_other != n)) {
      return bad_argument("risks must be writable float64 arrays of one shape (1, n) or (n,)");
    }
    n = n_other;
    job.risks[k] = static_cast<double*>(risks[k].view().buf);
  }
  job.n = static_cast<std::size_t>(n);
  if (args[5] != Py_None) {
    if (!statuses.acquire(args[5], kOutput)) return Pending::fetch();
    if (!output_fits(statuses.view(), 'B', job.model_count, n_other) || n_other != n) {
      return bad_argument("statuses must be None or a writable (models, n) uint8 array");
    }
    job.statuses = static_cast<std::uint8_t*>(statuses.view().buf);
  }
  if (!errors.acquire(args[6], kOutput)) return Pending::fetch();
  if (!output_fits(errors.view(), 'H', 1, n_other) || n_other != n) {
    return bad_argument("errors must be a writable (1, n) or (n,) uint16 array");
  }
  job.errors = static_cast<std::uint16_t*>(errors.view().buf);
  std::array<HeldBuffer, 11> values;
  if (nargs == 8 && args[7] != Py_None) {
    if (!PyTuple_Check(args[7]) || PyTuple_GET_SIZE(args[7]) != 11) {
      return bad_argument("values must be None or a tuple of 11 (None or a float64 array)");
    }
    for (std::size_t j = 0; j < 11; ++j) {
      PyObject* out = PyTuple_GET_ITEM(args[7], j);
      if (out == Py_None) continue;
      if (!values[j].acquire(out, kOutput)) return Pending::fetch();
      if (!output_fits(values[j].view(), 'd', 1, n_other) || n_other != n) {
        return bad_argument("each of values must be None or a writable (n,) float64 array");
      }
      job.values[j] = static_cast<double*>(values[j].view().buf);
    }
  }

  for (std::size_t j = 0; j < 11; ++j) {
    ImportedColumn& c = (*imported)[j];
    PyObject* column = PyTuple_GET_ITEM(columns, j);
    PyObject* mask = PyTuple_GET_ITEM(masks, j);
    Result<bool> arrow = mask == Py_None ? import_arrow(c, column) : Result<bool>(false);
    if (!arrow) return std::move(arrow.error());
    if (!*arrow) {
      if (auto ok = import_buffer(c, column, mask); !ok) return std::move(ok.error());
    }
    if (column_rows(c) != job.n) {
      return Pending::with_message(
          PyExc_ValueError, Ref::steal(PyUnicode_FromFormat("column %U has %zu values, not %zd",
                                                            c.label, column_rows(c), n)));
    }
    job.columns[j] = &c.source;
  }
  if (job.n == 0) return unreadable_rows(*imported, job.errors, nullptr, 0);
  // calloc: zero pages that only the few unreadable rows ever touch.
  const std::unique_ptr<std::uint16_t, decltype(&std::free)> missing(
      static_cast<std::uint16_t*>(std::calloc(job.n, sizeof(std::uint16_t))), &std::free);
  if (!missing) throw std::bad_alloc();
  job.missing = missing.get();
  // The interpreter lock stays held, as in the batch functions; the workers see only the
  // pieces, whose memory the imported columns keep alive until this returns.
  parallel_for(job.n, &score_range, &job);
  return unreadable_rows(*imported, job.errors, job.missing, job.n);
}

// Uses of each code among `n` codes at `stride`, in uses[0, texts); a code past the texts is
// counted in uses[texts]. Four tables, so that a run of one code is not one long chain of
// increments of the same counter.
template <class Code>
std::vector<Py_ssize_t> count_codes(const char* codes, Py_ssize_t n, Py_ssize_t stride,
                                    std::size_t texts) {
  std::vector<Py_ssize_t> part(4 * (texts + 1));
  const auto slot = [&](Py_ssize_t i) {
    return std::min<std::size_t>(load<Code>(codes + i * stride), texts);
  };
  Py_ssize_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (std::size_t k = 0; k < 4; ++k) ++part[k * (texts + 1) + slot(i + k)];
  }
  for (; i < n; ++i) ++part[slot(i)];
  for (std::size_t c = 0; c <= texts; ++c) {
    for (std::size_t k = 1; k < 4; ++k) part[c] += part[k * (texts + 1) + c];
  }
  part.resize(texts + 1);
  return part;
}

template <class Code>
void copy_texts(const char* codes, Py_ssize_t n, Py_ssize_t stride, PyObject* const* texts,
                PyObject** cell) noexcept {
  for (Py_ssize_t i = 0; i < n; ++i) cell[i] = texts[load<Code>(codes + i * stride)];
}

// texts[codes[i]] for every row, as a new 1-D object array. On the calling thread, after the
// parallel pass: each text's references are taken at once, by how often its code occurs, and
// the cells are then plain pointer copies. Taking a reference per cell as it is written costs
// a mispredicted branch on every change between None (immortal) and a text, and NumPy's take
// on an object array several times that.
Result<Ref> texts_of_codes(PyObject* const* args, Py_ssize_t nargs) {
  constexpr std::string_view kUsage = "_texts_of_codes(codes, texts)";
  if (nargs != 2) return Pending::type_error(kUsage);
  PyObject* texts = args[1];
  if (!PyTuple_Check(texts)) return Pending::type_error("_texts_of_codes: texts must be a tuple");
  const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(texts));
  PyObject* const* table = count != 0 ? &PyTuple_GET_ITEM(texts, 0) : nullptr;
  for (std::size_t t = 0; t < count; ++t) {
    if (table[t] != Py_None && !PyUnicode_Check(table[t])) {
      return Pending::type_error("_texts_of_codes: texts must be str or None");
    }
  }
  HeldBuffer codes;
  if (!codes.acquire(args[0], PyBUF_RECORDS_RO)) return Pending::fetch();
  const Py_buffer& view = codes.view();
  const std::optional<Storage> type = buffer_storage(view);
  const bool wide = type == Storage::kUInt16;
  if (view.ndim != 1 || view.shape == nullptr || (type != Storage::kUInt8 && !wide)) {
    return Pending::type_error("_texts_of_codes: codes must be a 1-D uint8 or uint16 array");
  }
  const Py_ssize_t n = view.shape[0];
  const auto* code = static_cast<const char*>(view.buf);
  const Py_ssize_t stride = view.strides[0];
  const std::vector<Py_ssize_t> uses = wide ? count_codes<std::uint16_t>(code, n, stride, count)
                                            : count_codes<std::uint8_t>(code, n, stride, count);
  if (uses[count] != 0) return Pending::value_error("_texts_of_codes: a code has no text");
  const NumpyApi numpy = numpy_api();
  npy_intp dims[1] = {n};
  // steals the descriptor, success or not; an object array comes zeroed, filled below before
  // anything else can see it
  Ref out = checked_new(numpy.new_from_descr(numpy.array_type(), numpy.descr_from_type(NPY_OBJECT),
                                             1, dims, nullptr, nullptr, 0, nullptr));
  for (std::size_t t = 0; t < count; ++t) {
    for (Py_ssize_t k = 0; k < uses[t]; ++k) Py_INCREF(table[t]);
  }
  auto** cell = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
  if (wide) {
    copy_texts<std::uint16_t>(code, n, stride, table, cell);
  } else {
    copy_texts<std::uint8_t>(code, n, stride, table, cell);
  }
  return out;
}

// A tuple of the status texts, each followed by its suffix, None for an empty one, as the
// module attribute `name`.
Result<bool> add_texts(PyObject* module, const char* name,
                       const std::array<std::string_view, 10>& suffixes) noexcept {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kStatusMessages.size())));
  if (!tuple) return Pending::fetch();
  for (std::size_t s = 0; s < kStatusMessages.size(); ++s) {
    const std::string_view text = kStatusMessages[s];
    const std::string_view suffix = suffixes[s];
    Ref item = text.empty() ? Ref::borrow(Py_None)
                            : Ref::steal(PyUnicode_FromFormat(
                                  "%.*s%.*s", static_cast<int>(text.size()), text.data(),
                                  static_cast<int>(suffix.size()), suffix.data()));
    if (!item) return Pending::fetch();
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(s), item.release());  // steals
  }
  if (PyModule_AddObjectRef(module, name, tuple.get()) < 0) return Pending::fetch();
  return true;
}

}  // namespace

PyObject* score_columns_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return call_frame([&]() -> Result<Ref> { return score_columns(args, nargs); });
}

PyObject* texts_of_codes_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return call_frame([&]() -> Result<Ref> { return texts_of_codes(args, nargs); });
}

Result<bool> add_status_messages(PyObject* module) noexcept {
  if (Result<bool> ok = add_texts(module, "_status_messages", {}); !ok) return ok;
  return add_texts(module, "_status_messages_mmol", kMmolSuffixes);
}

}  // namespace corvane
