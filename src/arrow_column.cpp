// ArrowColumn: a block of values that Python reads as a buffer and Arrow consumers take without
// a copy; made new for the engine's output.
#define PY_SSIZE_T_CLEAN
#include "arrow_column.hpp"

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "arrow_abi.hpp"
#include "binding/buffer.hpp"
#include "binding/state.hpp"

namespace corvane {
namespace {

// A column's value type, as the buffer protocol and Arrow name it.
struct ColumnFormat {
  const char* buffer;
  const char* arrow;
  Py_ssize_t itemsize;
};
constexpr ColumnFormat kFloat64 = {.buffer = "d", .arrow = "g", .itemsize = 8};
constexpr ColumnFormat kUInt16 = {.buffer = "H", .arrow = "S", .itemsize = 2};
constexpr ColumnFormat kInt64 = {.buffer = "q", .arrow = "l", .itemsize = 8};

// The memory behind a column, shared by its Python object and every array exported from it.
// A consumer releases its array from any thread, perhaps without the interpreter lock, so the
// count is atomic and nothing here touches Python.
class ColumnBlock {
 public:
  // Takes memory that std::free releases.
  explicit ColumnBlock(void* memory) noexcept : memory_(memory) {}
  ColumnBlock(const ColumnBlock&) = delete;
  ColumnBlock& operator=(const ColumnBlock&) = delete;

  // The caller already holds a reference, so the count cannot reach zero meanwhile.
  void retain() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  // Release: each holder's last use of the memory happens before the count drops; acquire on
  // the last drop: the free sees all of them.
  void drop() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

 private:
  ~ColumnBlock() { std::free(memory_); }
  std::atomic<std::size_t> refs_{1};
  void* memory_ = nullptr;
};

struct DropBlock {
  void operator()(ColumnBlock* block) const noexcept { block->drop(); }
};
using BlockRef = std::unique_ptr<ColumnBlock, DropBlock>;  // one counted reference

struct ColumnObject {
  PyObject_HEAD ColumnBlock* block;  // one reference, dropped with the object
  char* data;
  Py_ssize_t n;
  const ColumnFormat* format;
  // Imported columns are read-only from the start, new ones once shared: a consumer such as
  // polars takes the values as immutable, and a later write would change its data under it.
  bool readonly;
  Py_ssize_t shape;  // the views' shape and strides point here
  Py_ssize_t stride;
};

ColumnObject& column(PyObject* self) noexcept { return *reinterpret_cast<ColumnObject*>(self); }

void column_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  column(self).block->drop();
  type->tp_free(self);
  Py_DECREF(type);  // heap type instances own a reference to their type
}

int column_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
  ColumnObject& c = column(self);
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE && c.readonly) {
    PyErr_SetString(PyExc_BufferError,
                    "the column is read-only: its values are shared with an Arrow array");
    view->obj = nullptr;
    return -1;
  }
  view->obj = Py_NewRef(self);
  view->buf = c.data;
  view->len = c.n * c.format->itemsize;
  view->readonly = c.readonly ? 1 : 0;
  view->itemsize = c.format->itemsize;
  view->format =
      (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(c.format->buffer) : nullptr;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &c.shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &c.stride : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

Py_ssize_t column_length(PyObject* self) noexcept { return column(self).n; }

// The format and name are static: releasing a schema only marks it released.
void release_schema(ArrowSchema* schema) noexcept { schema->release = nullptr; }

// An exported array's private data: its buffer list and its reference to the block.
struct ExportedArray {
  const void* buffers[2];
  ColumnBlock* block;
};

void release_array(ArrowArray* array) noexcept {
  auto* exported = static_cast<ExportedArray*>(array->private_data);
  ColumnBlock* block = exported->block;
  delete exported;
  array->release = nullptr;
  block->drop();
}

// The capsule protocol: a consumer that took the struct's contents marked it released; one
// that did not leaves the release to us.
void destroy_schema_capsule(PyObject* capsule) noexcept {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule));
  if (schema->release != nullptr) schema->release(schema);
  delete schema;
}

void destroy_array_capsule(PyObject* capsule) noexcept {
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, kArrayCapsule));
  if (array->release != nullptr) array->release(array);
  delete array;
}

Ref schema_capsule(const ColumnFormat& format) {
  auto schema = std::make_unique<ArrowSchema>(ArrowSchema{.format = format.arrow,
                                                          .name = "",
                                                          .metadata = nullptr,
                                                          .flags = kArrowFlagNullable,
                                                          .n_children = 0,
                                                          .children = nullptr,
                                                          .dictionary = nullptr,
                                                          .release = &release_schema,
                                                          .private_data = nullptr});
  Ref capsule = Ref::steal(PyCapsule_New(schema.get(), kSchemaCapsule, &destroy_schema_capsule));
  if (capsule) schema.release();  // now the capsule's
  return capsule;
}

Ref array_capsule(const ColumnObject& c) {
  auto exported = std::make_unique<ExportedArray>(ExportedArray{{nullptr, c.data}, c.block});
  auto array = std::make_unique<ArrowArray>(ArrowArray{.length = c.n,
                                                       .null_count = 0,
                                                       .offset = 0,
                                                       .n_buffers = 2,
                                                       .n_children = 0,
                                                       .buffers = exported->buffers,
                                                       .children = nullptr,
                                                       .dictionary = nullptr,
                                                       .release = &release_array,
                                                       .private_data = exported.get()});
  Ref capsule = Ref::steal(PyCapsule_New(array.get(), kArrayCapsule, &destroy_array_capsule));
  if (!capsule) return capsule;
  c.block->retain();  // the array's own, dropped by its release
  exported.release();
  array.release();
  return capsule;
}

Result<Ref> export_column(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"requested_schema", nullptr};
  PyObject* requested = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_array__",
                                   const_cast<char**>(keywords), &requested)) {
    return Pending::fetch();
  }
  // A requested schema is ignored: the protocol makes it a best-effort request, a column has
  // one layout, and a consumer checks the schema it gets.
  ColumnObject& c = column(self);
  Ref schema = schema_capsule(*c.format);
  if (!schema) return Pending::fetch();
  Ref array = array_capsule(c);
  if (!array) return Pending::fetch();
  c.readonly = true;
  Ref pair = Ref::steal(PyTuple_Pack(2, schema.get(), array.get()));
  if (!pair) return Pending::fetch();
  return pair;
}

PyObject* arrow_c_array_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_frame([&]() -> Result<Ref> { return export_column(self, args, kwargs); });
}

PyMethodDef kColumnMethods[] = {
    {"__arrow_c_array__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&arrow_c_array_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__(requested_schema=None)\n--\n\n"
     "The (schema, array) capsule pair of the Arrow PyCapsule interface; the array shares the\n"
     "column's memory, and the column is read-only from then on."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kColumnSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&column_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(&column_getbuffer)},
    {Py_mp_length, reinterpret_cast<void*>(&column_length)},
    {Py_tp_methods, kColumnMethods},
    {Py_tp_doc, const_cast<char*>("A 1-D column of float64 or uint16 values shared with Arrow "
                                  "consumers without a copy.")},
    {0, nullptr},
};

PyType_Spec kColumnSpec = {
    .name = "_corvane.ArrowColumn",
    .basicsize = sizeof(ColumnObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = kColumnSlots,
};

// A new column object over `data`, holding `block`'s reference.
Result<Ref> make_column(BlockRef block, char* data, Py_ssize_t n, const ColumnFormat& format,
                        bool readonly) {
  PyObject* type = process_state().column_type;
  if (type == nullptr) {
    return Pending::with_message(PyExc_SystemError, "the column type was not created at import");
  }
  auto* c = PyObject_New(ColumnObject, reinterpret_cast<PyTypeObject*>(type));
  if (c == nullptr) return Pending::fetch();
  c->block = block.release();
  c->data = data;
  c->n = n;
  c->format = &format;
  c->readonly = readonly;
  c->shape = n;
  c->stride = format.itemsize;
  return Ref::steal(reinterpret_cast<PyObject*>(c));
}

Result<Ref> new_column(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) return Pending::type_error("_new_column(n, format) takes exactly 2 arguments");
  Ref index = Ref::steal(PyNumber_Index(args[0]));
  if (!index) return Pending::fetch();
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (n == -1 && PyErr_Occurred()) return Pending::fetch();
  if (overflow > 0) throw std::bad_alloc();  // MemoryError, as for any size that cannot fit
  if (overflow < 0 || n < 0) return Pending::value_error("_new_column: n must not be negative");
  if (!PyUnicode_Check(args[1])) return Pending::type_error("_new_column: format must be a str");
  const char* text = PyUnicode_AsUTF8(args[1]);
  if (text == nullptr) return Pending::fetch();
  const std::string_view wanted = text;
  if (wanted.size() != 1 || (wanted[0] != 'd' && wanted[0] != 'H')) {
    return Pending::value_error("_new_column: format must be 'd' (float64) or 'H' (uint16)");
  }
  void* data = nullptr;
  return new_column_of(static_cast<std::size_t>(n), wanted[0], &data);
}

}  // namespace

Result<Ref> new_column_of(std::size_t n, char format, void** data) {
  const ColumnFormat* chosen = format == 'd'   ? &kFloat64
                               : format == 'H' ? &kUInt16
                               : format == 'q' ? &kInt64
                                               : nullptr;
  if (chosen == nullptr) throw InternalFailure("a column of an unknown format");
  // allocate_buffer counts doubles; it refuses a size past the buffer protocol's range.
  const auto size = static_cast<std::size_t>(chosen->itemsize);
  const std::size_t doubles = (n / 8) * size + ((n % 8) * size + 7) / 8;
  Buffer memory = allocate_buffer(doubles);
  auto* values = reinterpret_cast<char*>(memory.get());
  BlockRef block(new ColumnBlock(memory.get()));
  memory.release();  // now the block's
  *data = values;
  return make_column(std::move(block), values, static_cast<Py_ssize_t>(n), *chosen, false);
}

Result<bool> create_column_type() noexcept {
  ProcessState& state = process_state();
  if (state.column_type != nullptr) return true;
  state.column_type = PyType_FromSpec(&kColumnSpec);
  if (state.column_type == nullptr) return Pending::fetch();
  return true;
}

PyObject* new_column_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return call_frame([&]() -> Result<Ref> { return new_column(args, nargs); });
}

}  // namespace corvane
