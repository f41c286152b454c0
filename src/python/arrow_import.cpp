#include "python/arrow_import.hpp"

#include <cstring>

#include "python/py_ref.hpp"

namespace vorpak {
namespace {

// A stream moved out of its capsule, released when done with: the capsule's
// own destructor then sees it released and leaves it alone.
class OwnedStream {
 public:
  explicit OwnedStream(ArrowArrayStream* from) : stream_(*from) { from->release = nullptr; }
  ~OwnedStream() {
    if (stream_.release != nullptr) stream_.release(&stream_);
  }
  OwnedStream(const OwnedStream&) = delete;
  OwnedStream& operator=(const OwnedStream&) = delete;
  ArrowArrayStream* get() { return &stream_; }

 private:
  ArrowArrayStream stream_;
};

class OwnedSchema {
 public:
  OwnedSchema() { std::memset(&schema_, 0, sizeof schema_); }
  ~OwnedSchema() {
    if (schema_.release != nullptr) schema_.release(&schema_);
  }
  OwnedSchema(const OwnedSchema&) = delete;
  OwnedSchema& operator=(const OwnedSchema&) = delete;
  ArrowSchema* get() { return &schema_; }

 private:
  ArrowSchema schema_;
};

// The array's Arrow data as a stream capsule: the array gives its pyarrow
// ChunkedArray through the Arrow array protocol, which exports itself.
PyRef stream_capsule(PyObject* array) {
  PyRef chunked = PyRef::steal(PyObject_CallMethod(array, "__arrow_array__", nullptr));
  if (!chunked) return {};
  return PyRef::steal(PyObject_CallMethod(chunked.get(), "__arrow_c_stream__", nullptr));
}

}  // namespace

ArrowImport import_arrow_texts(PyObject* array, size_t column_position, ArrowTextColumn& out,
                               const char* part) {
  PyRef capsule = stream_capsule(array);
  if (!capsule) return ArrowImport::kFailed;
  auto* exported =
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
  if (exported == nullptr) return ArrowImport::kFailed;
  if (exported->release == nullptr) return ArrowImport::kNotTexts;  // already consumed
  OwnedStream stream(exported);

  OwnedSchema schema;
  if (stream.get()->get_schema(stream.get(), schema.get()) != 0) return ArrowImport::kNotTexts;
  const auto layout = ArrowTextColumn::layout_of(schema.get()->format);
  if (!layout) return ArrowImport::kNotTexts;

  ArrowTextColumn column(*layout);
  for (;;) {
    ArrowArray next;
    std::memset(&next, 0, sizeof next);
    if (stream.get()->get_next(stream.get(), &next) != 0) return ArrowImport::kNotTexts;
    if (next.release == nullptr) break;  // the end of the stream
    const auto taken = column.add_chunk(OwnedArrowArray(next));
    if (!taken) {
      PyErr_Format(PyExc_ValueError, "column %zu holds invalid Arrow data%s: %s", column_position,
                   part, taken.error().c_str());
      return ArrowImport::kInvalid;
    }
    if (taken.value() == ArrowTextColumn::Taken::kLeftOut) return ArrowImport::kNotTexts;
  }
  out = std::move(column);
  return ArrowImport::kTexts;
}

}  // namespace vorpak
