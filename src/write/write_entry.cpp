// write_string and write_file: the Python halves of the writer. Both convert their arguments,
// copy the tree with the interpreter lock held, then release the lock for all the work whose
// cost depends on the document: serializing, escaping, and for write_file opening, writing and
// closing the file.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "entities/node.h"
#include "index/utf8.h"
#include "module/binding.h"
#include "module/convert.h"
#include "module/entry.h"
#include "module/functions.h"
#include "write/serializer.h"
#include "write/sinks.h"
#include "write/snapshot.h"

namespace tessary::module {

namespace {

using entities::SharedBorrow;
using write::Snapshot;
using write::FileSink;
using write::MemorySink;
using write::UnitSink;
using write::WriteError;
using write::XmlWriter;

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

Error to_error(const WriteError& e) {
  const std::string text(write::write_message(e.kind));
  switch (e.kind) {
    case WriteError::Kind::Os: return Error::os(e.os_errno);
    case WriteError::Kind::WholeBuffer:
    case WriteError::Kind::BufferedData: return Error::os_text(text);
    case WriteError::Kind::OutOfMemory: return Error::memory(text);
    case WriteError::Kind::BadText: return fault(Fault::BadTextRange);
    case WriteError::Kind::BadUtf8:
    case WriteError::Kind::None: break;
  }
  return Error::panic(text);
}

// The arguments shared by both functions, converted in parameter order.
struct Options {
  uint64_t indent = 4;
  bool declaration = true;
};

Status convert_options(PyObject* indent, PyObject* default_xml_def, Options* out) {
  if (!is_none(indent)) {
    Result<uint64_t> v = to_u64(indent);
    if (!v) return v.take_error().with_note("indent");
    out->indent = *v;
  }
  if (!is_none(default_xml_def)) {
    Result<bool> v = to_bool(default_xml_def);
    if (!v) return v.take_error().with_note("default_xml_def");
    out->declaration = *v;
  }
  return ok_status();
}

const char* const kWriteStringNames[] = {"node", "indent", "default_xml_def"};
const Params kWriteStringParams{"write_string", nullptr, kWriteStringNames, 3, 1};

const char* const kWriteFileNames[] = {"node", "file_path", "indent", "default_xml_def"};
const Params kWriteFileParams{"write_file", nullptr, kWriteFileNames, 4, 2};

// Opens (creating or truncating) the file for writing; returns the descriptor or -errno.
int open_for_writing(const char* path) {
  for (;;) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    if (errno != EINTR) return -errno;
  }
}

// An upper estimate of the output's size in characters: the snapshot's size with half as much
// again for escapes, and the indentation of two lines per element. Generous on purpose: the str is
// created at this size and cut to length at the end, and memory that is never written costs
// nothing, while running past the estimate costs a copy of everything.
uint64_t output_estimate(const Snapshot& s, uint64_t indent) {
  const uint64_t limit = uint64_t{1} << 40;
  uint64_t spaces;
  if (__builtin_mul_overflow(indent, s.depth_sum, &spaces) || spaces > limit) return limit;
  const uint64_t base = s.size_hint + s.size_hint / 2 + kDeclaration.size() + 64;
  const uint64_t total = base + 2 * (spaces + s.elements.size());
  return total < limit ? total : limit;
}

// A large output array is about to be written from start to end: asking for huge pages lets the
// kernel map it in 2 MiB steps instead of faulting in every 4 KiB page. Only advice; the
// memory is the str's either way.
void advise_huge_pages(void* p, size_t n) {
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  if (n < 4 * kHuge) return;
  const uintptr_t start = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(kHuge - 1);
  if (end > start) (void)madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

// Output that may not be ASCII: a str of the kind the largest byte calls for, sized from the
// estimate, whose characters are decoded into it chunk by chunk as the serializer writes (see
// UnitSink); then cut to length, extended by whatever did not fit, and narrowed in the rare case
// that the bound was above what was written.
Result<Ref> write_units(const Snapshot& tree, const Options& opt, uint64_t estimate, SharedBorrow& root) {
  const unsigned width = index::unit_width_for(tree.max_byte);
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(estimate), max_char_for_width(width));
  if (s == nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) {
    // The generous estimate is more than memory allows: start from the snapshot's own size,
    // and let whatever does not fit spill.
    PyErr_Clear();
    estimate = tree.size_hint + 64;
    s = PyUnicode_New(static_cast<Py_ssize_t>(estimate), max_char_for_width(width));
  }
  if (s == nullptr) return Error::fetch();
  Ref str = Ref::steal(s);
  advise_huge_pages(PyUnicode_DATA(s), static_cast<size_t>(estimate) * width);
  std::unique_ptr<UnitSink> sink(new (std::nothrow) UnitSink(PyUnicode_DATA(s), width, static_cast<size_t>(estimate)));
  if (!sink) return to_error({WriteError::Kind::OutOfMemory, 0});
  const WriteError failure = without_lock([&]() -> WriteError {
    if (opt.declaration && !sink->append(kDeclaration.data(), kDeclaration.size())) return sink->error();
    XmlWriter<UnitSink> writer(*sink, opt.indent);
    if (!writer.write_tree(tree)) return writer.error();
    if (!sink->flush()) return sink->error();
    return WriteError{};
  });
  root.reset();
  if (failure.kind != WriteError::Kind::None) return to_error(failure);
  const size_t head = sink->units_in_target();
  const size_t total = head + sink->spilled_units();
  PyObject* out = str.release();
  if (PyUnicode_Resize(&out, static_cast<Py_ssize_t>(total)) != 0) return Error::fetch();
  str = Ref::steal(out);
  if (sink->spilled_units() != 0) {
    std::memcpy(static_cast<char*>(PyUnicode_DATA(out)) + head * width, sink->spill(), sink->spilled_units() * width);
  }
  return canonical_str(std::move(str), sink->bits());
}

}  // namespace

PyObject* py_write_string(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return entry([&]() -> Result<Ref> {
    PyObject* slots[3];
    Status bound = bind_vector(kWriteStringParams, args, nargsf, kwnames, slots);
    if (!bound) return bound.take_error();
    Result<SharedBorrow> root = entities::borrow_node(slots[0]);
    if (!root) return root.take_error().with_note("node");
    Options opt;
    Status converted = convert_options(slots[1], slots[2], &opt);
    if (!converted) return converted.take_error();
    Result<Snapshot> snapshot = write::snapshot_tree(slots[0]);
    if (!snapshot) return snapshot.take_error();
    const uint64_t estimate = output_estimate(*snapshot, opt.indent);
    if (snapshot->max_byte >= 0x80 && estimate < (uint64_t{1} << 40)) {
      return write_units(*snapshot, opt, estimate, *root);
    }

    // ASCII output is written straight into the character buffer of a new str of the estimated
    // size, which is then cut to length, with no second copy. When it outgrows the estimate, the
    // bytes are decoded into a str as usual.
    MemorySink sink;
    Ref direct;
    PyObject* fresh = estimate < (uint64_t{1} << 40) ? PyUnicode_New(static_cast<Py_ssize_t>(estimate), 127) : nullptr;
    if (fresh == nullptr && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return Error::fetch();
      PyErr_Clear();  // more than memory allows: the sink grows as it fills instead
    }
    if (fresh != nullptr) {
      direct = Ref::steal(fresh);
      // The str's buffer holds estimate + 1 bytes (the last one for its terminator).
      sink.use_buffer(static_cast<char*>(PyUnicode_DATA(fresh)), static_cast<size_t>(estimate));
      advise_huge_pages(PyUnicode_DATA(fresh), static_cast<size_t>(estimate));
    }
    const WriteError failure = without_lock([&]() -> WriteError {
      sink.reserve(estimate);
      if (opt.declaration && !sink.append(kDeclaration.data(), kDeclaration.size())) return sink.error();
      XmlWriter<MemorySink> writer(sink, opt.indent);
      if (!writer.write_tree(*snapshot)) return writer.error();
      return WriteError{};
    });
    root->reset();
    if (failure.kind != WriteError::Kind::None) return to_error(failure);

    if (sink.in_caller_buffer() && sink.all_ascii()) {
      PyObject* s = direct.release();
      if (PyUnicode_Resize(&s, static_cast<Py_ssize_t>(sink.size())) != 0) return Error::fetch();
      return Ref::steal(s);
    }
    // Every piece is valid UTF-8 (names and texts come from str objects or from checked ranges
    // of a document), and the interpreter's decoder checks it as it builds the str.
    PyObject* s = PyUnicode_DecodeUTF8(sink.data(), static_cast<Py_ssize_t>(sink.size()), "strict");
    if (s == nullptr) {
      if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        return to_error({WriteError::Kind::BadUtf8, 0});
      }
      return Error::fetch();
    }
    return Ref::steal(s);
  });
}

PyObject* py_write_file(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return entry([&]() -> Result<Ref> {
    PyObject* slots[4];
    Status bound = bind_vector(kWriteFileParams, args, nargsf, kwnames, slots);
    if (!bound) return bound.take_error();
    Result<SharedBorrow> root = entities::borrow_node(slots[0]);
    if (!root) return root.take_error().with_note("node");
    // The path's UTF-8 form belongs to the str argument, which the caller keeps alive for the
    // whole call; it is NUL-terminated after its last byte.
    Result<std::string_view> path = text_kept(slots[1]);
    if (!path) return path.take_error().with_note("file_path");
    Options opt;
    Status converted = convert_options(slots[2], slots[3], &opt);
    if (!converted) return converted.take_error();
    Result<Snapshot> snapshot = write::snapshot_tree(slots[0]);
    if (!snapshot) return snapshot.take_error();

    struct FileWrite {
      WriteError write;
      bool nul_in_path = false;
    };
    const FileWrite written = without_lock([&]() -> FileWrite {
      const Snapshot tree = std::move(*snapshot);  // freed here, without the lock, on every path
      if (std::memchr(path->data(), 0, path->size()) != nullptr) return {WriteError{}, true};
      const int fd = open_for_writing(path->data());
      if (fd < 0) return {WriteError{WriteError::Kind::Os, -fd}};
      FileSink sink(fd);
      if (opt.declaration && !sink.append(kDeclaration.data(), kDeclaration.size())) return {sink.error()};
      XmlWriter<FileSink> writer(sink, opt.indent);
      if (!writer.write_tree(tree)) return {writer.error()};
      if (!sink.flush()) return {sink.error()};
      return {WriteError{}};
      // The sink closes the descriptor as it goes out of scope, still without the lock.
    });
    root->reset();
    if (written.nul_in_path) return fault(Fault::NulInFileName);
    if (written.write.kind != WriteError::Kind::None) return to_error(written.write);
    return Ref::borrow(Py_None);
  });
}

}  // namespace tessary::module
