// write_string and write_file: the Python halves of the writer. Both convert their arguments
// with the interpreter lock held, then release the lock for all the work whose cost depends on
// the document, which reads the Node tree in place (write/tree.h): serializing and escaping it,
// decoding it into the result str (whose making, growing and widening take the lock back for a
// moment), and for write_file opening, writing and closing the file.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
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
#include "write/tree.h"

namespace tessary::module {

namespace {

using entities::SharedBorrow;
using write::Element;
using write::FileSink;
using write::StrSink;
using write::unit_width;
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
    case WriteError::Kind::Mismatch:
    case WriteError::Kind::Full:
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

// Gives back to the system the whole pages of [p, p + n), memory that is about to be dropped:
// it is free at once instead of when its owner goes. Discarded pages read as zeros.
void discard_pages(const void* p, size_t n) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t start = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(page - 1);
  if (end > start) (void)madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

// Copies n units of `from` bytes at `src` into units of `to` bytes (at least as wide) at `dst`.
template <class From, class To>
void widen_units(const void* src, void* dst, size_t n) {
  const From* s = static_cast<const From*>(src);
  To* d = static_cast<To*>(dst);
  for (size_t i = 0; i < n; ++i) d[i] = s[i];
}
void convert_units(const void* src, unsigned from, void* dst, unsigned to, size_t n) {
  if (from == to) {
    std::memcpy(dst, src, n * from);
  } else if (from == 1) {
    to == 2 ? widen_units<uint8_t, uint16_t>(src, dst, n) : widen_units<uint8_t, uint32_t>(src, dst, n);
  } else {
    widen_units<uint16_t, uint32_t>(src, dst, n);
  }
}

// Runs `f` with the interpreter lock, from code that runs without it.
template <class F>
auto with_lock(F&& f) {
  const PyGILState_STATE held = PyGILState_Ensure();
  auto r = f();
  PyGILState_Release(held);
  return r;
}

// The result of write_string as the StrSink fills it: a str made at the first flush, in the
// kind of what the sink has seen, at least as large as the hint says (memory never written
// costs nothing), and cut to length at the end. When a character needs a wider kind, or the
// output outgrows a large str, it is remade (wider, or twice the size) and the units written so
// far are converted a piece at a time, each piece's pages given back as it is done, so that the
// two arrays never hold much more than the output; a small str grows in place. The sink calls
// without the interpreter lock; the lock is taken for the calls into Python.
class ResultStr final : public write::StrTarget {
 public:
  // `hint`: about how many units the output may need (0 when nothing is known); the array is
  // made that large when it is first made before the output is complete.
  explicit ResultStr(uint64_t hint) noexcept : hint_(hint) {}
  ResultStr(const ResultStr&) = delete;
  ResultStr& operator=(const ResultStr&) = delete;

  bool reserve(size_t kept, uint64_t needed, uint32_t kind, bool last) noexcept override {
    if (needed > kMaxUnits) return false;
    // Twice as large at least when it grows, so that the output is moved a few times at most.
    const uint64_t grown = capacity_ > kMaxUnits / 2 ? kMaxUnits : 2 * capacity_;
    const bool grows = str_ && kind == kind_;
    if (grows) {
      if (needed <= capacity_) return true;
      // A small str is grown in place; a large one is remade like a wider one, so that the
      // old and the new array are never both whole in memory.
      if (capacity_ * unit_width(kind_) < kGrowInPlace) {
        return with_lock([&] { return resize(last || grown < needed ? needed : grown) || resize(needed); });
      }
    }
    uint64_t size = needed;
    if (!last) {
      // Room to grow into: half as much again as the hint when the array is first made (an
      // output with more indentation than its source), twice as much when it grows, else as
      // much as it had.
      const uint64_t more = !str_ ? hint_ + hint_ / 2 : grows ? grown : capacity_;
      if (more > size) size = more;
    }
    Ref made = with_lock([&] {
      Ref s = fresh(size, kind);
      return s || size == needed ? std::move(s) : fresh(needed, kind);
    });
    if (!made) return false;
    const size_t capacity = static_cast<size_t>(PyUnicode_GET_LENGTH(made.get()));
    void* units = PyUnicode_DATA(made.get());
    advise_huge_pages(units, capacity * unit_width(kind));
    if (kept > 0) {
      // A piece at a time, each piece's pages given back as soon as it is copied.
      const unsigned from = unit_width(kind_), to = unit_width(kind);
      constexpr size_t kPiece = size_t{1} << 20;
      for (size_t at = 0; at < kept; at += kPiece) {
        const size_t n = kept - at < kPiece ? kept - at : kPiece;
        const char* src = static_cast<const char*>(units_) + at * from;
        convert_units(src, from, static_cast<char*>(units) + at * to, to, n);
        discard_pages(src, n * from);
      }
    }
    with_lock([&] {
      str_ = std::move(made);  // the narrower str, if any, is released
      return true;
    });
    units_ = units;
    capacity_ = capacity;
    kind_ = kind;
    return true;
  }

  // The str, cut to `length` units; null with the Python error set when that fails.
  //
  // An array of middling size may be copied into a str of the exact length instead of being
  // cut in place. The C library (glibc) serves such sizes from pages mapped for the one
  // allocation until a block that large has been freed, and then from its heap, whose memory
  // is reused. Cut in place, the array is freed at its final size, smaller than the next
  // write's first array (the hint and half again), so every write would map, and fault in page
  // by page, fresh memory (about 2 us a page on a virtual machine: more than the write itself
  // on a 1 MB output). Freeing the whole array instead lets arrays up to its size come from
  // the heap from then on, so the copy is made only for an array larger than any freed so
  // far. Below the range the array is never mapped of its own; above it, it is mapped in huge
  // pages, whose faults are few, and the copy would cost more than it saves.
  PyObject* finish(size_t length) {
    PyObject* s = str_.release();
    if (s == nullptr) return PyUnicode_New(0, 0);
    const size_t width = unit_width(kind_);
    const size_t bytes = capacity_ * width;
    if (length < capacity_ && bytes >= kCopyFrom && bytes < kCopyBelow &&
        bytes > largest_dropped_.load(std::memory_order_relaxed)) {
      PyObject* exact = PyUnicode_New(static_cast<Py_ssize_t>(length), static_cast<Py_UCS4>(kind_));
      if (exact != nullptr) {
        std::memcpy(PyUnicode_DATA(exact), PyUnicode_DATA(s), length * width);
        Py_DECREF(s);
        largest_dropped_.store(bytes, std::memory_order_relaxed);
        return exact;
      }
      PyErr_Clear();  // cut in place instead, which needs no memory
    }
    if (PyUnicode_Resize(&s, static_cast<Py_ssize_t>(length)) != 0) {
      Py_DECREF(s);
      return nullptr;
    }
    return s;
  }
  // Drops the str (lock held).
  void drop() { str_ = Ref(); }

 private:
  // A new str of `size` units of `kind`, or null (lock held; the error cleared).
  static Ref fresh(uint64_t size, uint32_t kind) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(size), static_cast<Py_UCS4>(kind));
    if (s == nullptr) PyErr_Clear();
    return Ref::steal(s);
  }
  // Grows the str in place to `size` units (lock held).
  bool resize(uint64_t size) {
    PyObject* s = str_.release();
    const bool ok = PyUnicode_Resize(&s, static_cast<Py_ssize_t>(size)) == 0;
    if (!ok) PyErr_Clear();  // the str is unchanged
    str_ = Ref::steal(s);
    units_ = PyUnicode_DATA(s);
    capacity_ = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    if (ok) advise_huge_pages(units_, capacity_ * unit_width(kind_));
    return ok;
  }

  // Arrays of this many bytes and more, and of fewer than kCopyBelow, are copied to their
  // final length (see finish()). The upper bound is advise_huge_pages()'s lower one.
  static constexpr size_t kCopyFrom = size_t{64} << 10;
  static constexpr size_t kCopyBelow = size_t{8} << 20;
  // The largest array finish() has freed after copying it (the lock serialises the updates).
  static inline std::atomic<size_t> largest_dropped_{0};
  // Arrays of up to this many bytes grow in place (PyUnicode_Resize).
  static constexpr size_t kGrowInPlace = size_t{1} << 20;

  Ref str_;
  uint64_t hint_;
};

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
    const Element* tree = entities::as_node(slots[0]);

    // The output is about as long as the document the root was read from, if it was, when the
    // root is that document's root: the array is first made that large, and cut to length at
    // the end (memory that is never written costs nothing).
    ResultStr result(tree->document != nullptr ? tree->document->document_length() + kDeclaration.size() : 0);
    std::unique_ptr<StrSink> sink(new (std::nothrow) StrSink(result));  // the buffer left uninitialised
    if (!sink) return to_error({WriteError::Kind::OutOfMemory, 0});
    if (tree->document != nullptr) sink->expect_kind(write::kind_for_byte(tree->document->max_byte_bound()));
    const WriteError failure = without_lock([&]() -> WriteError {
      if (opt.declaration && !sink->append(kDeclaration.data(), kDeclaration.size())) return sink->error();
      XmlWriter<StrSink> writer(*sink, opt.indent);
      if (!writer.write_tree(tree)) return writer.error();
      if (!sink->finish()) return sink->error();
      return WriteError{};
    });
    root->reset();
    if (failure.kind != WriteError::Kind::None) {
      result.drop();
      return to_error(failure);
    }
    PyObject* s = result.finish(sink->units_written());
    if (s == nullptr) return Error::fetch();
    Ref str = Ref::steal(s);
    if (PyUnicode_IS_ASCII(s)) return str;
    // The kind follows the largest byte of the output, so this copies nothing; it keeps the str
    // canonical should the characters ever be narrower than their bytes said.
    return canonical_str(std::move(str), sink->bits());
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
    const Element* tree = entities::as_node(slots[0]);

    struct FileWrite {
      WriteError write;
      bool nul_in_path = false;
    };
    const FileWrite written = without_lock([&]() -> FileWrite {
      if (std::memchr(path->data(), 0, path->size()) != nullptr) return {WriteError{}, true};
      // The sink first, so that running out of memory leaves the file untouched.
      std::unique_ptr<FileSink> sink(new (std::nothrow) FileSink);  // the buffer left uninitialised
      if (!sink) return {WriteError{WriteError::Kind::OutOfMemory, 0}};
      const int fd = open_for_writing(path->data());
      if (fd < 0) return {WriteError{WriteError::Kind::Os, -fd}};
      sink->attach(fd);
      if (opt.declaration && !sink->append(kDeclaration.data(), kDeclaration.size())) return {sink->error()};
      XmlWriter<FileSink> writer(*sink, opt.indent);
      if (!writer.write_tree(tree)) return {writer.error()};
      if (!sink->flush()) return {sink->error()};
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
