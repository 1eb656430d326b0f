// The private entry behind corvane.score: the columnar pass over eleven buffers, and the status
// texts it is read with.
#define PY_SSIZE_T_CLEAN
#include "score_columns.hpp"

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/binding.hpp"
#include "binding/held_buffer.hpp"
#include "columns.hpp"
#include "numpy_api.hpp"
#include "pool/pool.hpp"

namespace corvane {
namespace {

constexpr std::string_view kSignature =
    "_score_columns(columns, missing, models, cholesterol_mmol, risks, statuses, errors)";

Pending bad_argument(std::string_view what) noexcept {
  std::string text;
  try {
    text = std::string(kSignature.substr(0, kSignature.find('('))) + ": " + std::string(what);
  } catch (...) {
    return Pending::type_error(what);
  }
  return Pending::type_error(text);
}

// The cell type of a buffer format: native byte order only, integers by their size.
std::optional<CellType> cell_type(const Py_buffer& view) noexcept {
  std::string_view format = view.format != nullptr ? view.format : "B";
  if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<')) {
    format.remove_prefix(1);
  }
  if (format.size() != 1) return std::nullopt;
  const char f = format[0];
  if (f == 'd' && view.itemsize == 8) return CellType::kFloat64;
  if (f == 'f' && view.itemsize == 4) return CellType::kFloat32;
  constexpr std::string_view kSigned = "bhilqn";
  constexpr std::string_view kUnsigned = "BHILQN?";
  const bool is_signed = kSigned.find(f) != std::string_view::npos;
  if (!is_signed && kUnsigned.find(f) == std::string_view::npos) return std::nullopt;
  switch (view.itemsize) {
    case 1:
      return is_signed ? CellType::kInt8 : CellType::kUInt8;
    case 2:
      return is_signed ? CellType::kInt16 : CellType::kUInt16;
    case 4:
      return is_signed ? CellType::kInt32 : CellType::kUInt32;
    case 8:
      return is_signed ? CellType::kInt64 : CellType::kUInt64;
    default:
      return std::nullopt;
  }
}

bool one_dimensional(const Py_buffer& view, Py_ssize_t n) noexcept {
  return view.ndim == 1 && view.shape != nullptr && view.shape[0] == n;
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
  if (nargs != 7) return bad_argument("takes exactly 7 positional arguments");
  PyObject* columns = args[0];
  PyObject* missing = args[1];
  PyObject* models = args[2];
  PyObject* mmol = args[3];
  if (!PyTuple_Check(columns) || PyTuple_GET_SIZE(columns) != 11 || !PyTuple_Check(missing) ||
      PyTuple_GET_SIZE(missing) != 11) {
    return bad_argument("columns and missing must be tuples of 11");
  }
  if (!PyTuple_Check(models) || PyTuple_GET_SIZE(models) < 1 ||
      PyTuple_GET_SIZE(models) > static_cast<Py_ssize_t>(kColumnarModels.size())) {
    return bad_argument("models must be a tuple of 1 to 6 model names");
  }
  if (!PyBool_Check(mmol)) return bad_argument("cholesterol_mmol must be a bool");

  ColumnarJob job;
  job.cholesterol_mmol = mmol == Py_True;
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
  if (args[6] != Py_None) {
    if (!errors.acquire(args[6], kOutput)) return Pending::fetch();
    if (!output_fits(errors.view(), 'H', 1, n_other) || n_other != n) {
      return bad_argument("errors must be None or a writable (1, n) or (n,) uint16 array");
    }
    job.errors = static_cast<std::uint16_t*>(errors.view().buf);
  }

  std::array<HeldBuffer, 11> held, held_missing;
  for (std::size_t j = 0; j < 11; ++j) {
    if (!held[j].acquire(PyTuple_GET_ITEM(columns, j), PyBUF_RECORDS_RO)) return Pending::fetch();
    const Py_buffer& view = held[j].view();
    const std::optional<CellType> type = cell_type(view);
    if (!type) return bad_argument("a column is not of a native numeric type");
    if (!one_dimensional(view, n)) return bad_argument("a column is not 1-D of length n");
    job.columns[j] = {.data = static_cast<const char*>(view.buf),
                      .stride = view.strides[0],
                      .type = *type,
                      .missing = nullptr,
                      .missing_stride = 0};
    PyObject* mask = PyTuple_GET_ITEM(missing, j);
    if (mask == Py_None) continue;
    if (!held_missing[j].acquire(mask, PyBUF_RECORDS_RO)) return Pending::fetch();
    const Py_buffer& mask_view = held_missing[j].view();
    if (mask_view.itemsize != 1 || !one_dimensional(mask_view, n)) {
      return bad_argument("a missing mask is not 1-D of bytes of length n");
    }
    job.columns[j].missing = static_cast<const char*>(mask_view.buf);
    job.columns[j].missing_stride = mask_view.strides[0];
  }
  // The interpreter lock stays held, as in the batch functions; the workers see only the
  // buffers, which the held views keep alive until this returns.
  parallel_for(job.n, &score_range, &job);
  return Ref::borrow(Py_None);
}

// Uses of each code among `n` codes at `stride`, in uses[0, texts); a code past the texts is
// counted in uses[texts]. Four tables, so that a run of one code is not one long chain of
// increments of the same counter.
template <class Code>
std::vector<Py_ssize_t> count_codes(const char* codes, Py_ssize_t n, Py_ssize_t stride,
                                    std::size_t texts) {
  std::vector<Py_ssize_t> part(4 * (texts + 1));
  const auto slot = [&](Py_ssize_t i) {
    return std::min<std::size_t>(load_cell<Code>(codes + i * stride), texts);
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
  for (Py_ssize_t i = 0; i < n; ++i) cell[i] = texts[load_cell<Code>(codes + i * stride)];
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
  const std::optional<CellType> type = cell_type(view);
  const bool wide = type == CellType::kUInt16;
  if (view.ndim != 1 || view.shape == nullptr || (type != CellType::kUInt8 && !wide)) {
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
