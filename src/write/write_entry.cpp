// write_string and write_file: the Python halves of the writer. Both convert their arguments
// with the interpreter lock held, then release the lock for all the work whose cost depends on
// the document, which reads the Node tree in place (write/tree.h): surveying and serializing it,
// escaping, and for write_file opening, writing and closing the file.
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
#include "write/measure.h"
#include "write/serializer.h"
#include "write/sinks.h"
#include "write/tree.h"

namespace tessary::module {

namespace {

using entities::SharedBorrow;
using write::Element;
using write::TreeSurvey;
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

// An upper estimate of the output's size in characters: the survey's size with half as much
// again for escapes, and the indentation of two lines per element. Generous on purpose: the str is
// made at this size and cut to length at the end, and memory that is never written costs
// nothing. Output beyond it (texts full of escapes) is measured and written again.
uint64_t output_estimate(const TreeSurvey& s, uint64_t indent) {
  const uint64_t limit = uint64_t{1} << 40;
  uint64_t spaces;
  if (__builtin_mul_overflow(indent, s.depth_sum, &spaces) || spaces > limit || s.size_hint > limit) return limit;
  const uint64_t base = s.size_hint + s.size_hint / 2 + kDeclaration.size() + 64;
  const uint64_t total = base + 2 * (spaces + s.elements);
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

// The largest character a str needs for output whose largest byte is `max_byte` (UTF-8 without
// overlong forms, as every text here is): the bound of its kind.
Py_UCS4 max_char_for_byte(uint8_t max_byte) {
  return max_byte < 0x80 ? 0x7F : max_char_for_width(index::unit_width_for(max_byte));
}

// Gives back to the system the whole pages of a str's character array that is about to be
// dropped: its memory is then free at once, and a str made next is not added on top of it
// while the allocator holds the freed block. Discarded pages read as zeros.
void discard_pages(void* p, size_t n) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t start = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(page - 1);
  if (end > start) (void)madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

// The smallest largest byte that needs the kind whose largest character is `max_char`.
uint8_t kind_threshold(Py_UCS4 max_char) { return max_char == 0xFF ? 0x80 : max_char == 0xFFFF ? 0xC4 : 0xF0; }

// Serializes the tree straight into the character array of `str`: ASCII through a memory
// sink over the array itself, wider kinds through a cache-sized buffer decoded into it as it
// fills (UnitSink). Output that does not fit fails with Full. `written` receives the number of
// characters written, `bits` the OR of them all (0 for ASCII).
WriteError write_into(PyObject* str, const Element* tree, const Options& opt, size_t* written, uint32_t* bits) {
  *bits = 0;
  const size_t chars = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
  void* data = PyUnicode_DATA(str);
  const unsigned width = static_cast<unsigned>(PyUnicode_KIND(str));
  advise_huge_pages(data, chars * width);
  if (PyUnicode_IS_ASCII(str)) {
    return without_lock([&]() -> WriteError {
      MemorySink sink;
      // The array has room for the terminator after the last character: the serializer may
      // scribble there (padded copies within the room it asks for), so it is set again below.
      sink.use_buffer(static_cast<char*>(data), chars + 1);
      if (opt.declaration && !sink.append(kDeclaration.data(), kDeclaration.size())) return sink.error();
      XmlWriter<MemorySink> writer(sink, opt.indent);
      if (!writer.write_tree(tree)) return writer.error();
      *written = sink.size();
      static_cast<char*>(data)[sink.size()] = '\0';
      return WriteError{};
    });
  }
  std::unique_ptr<UnitSink> sink(new (std::nothrow) UnitSink(data, width, chars));
  if (!sink) return {WriteError::Kind::OutOfMemory, 0};
  return without_lock([&]() -> WriteError {
    if (opt.declaration && !sink->append(kDeclaration.data(), kDeclaration.size())) return sink->error();
    XmlWriter<UnitSink> writer(*sink, opt.indent);
    if (!writer.write_tree(tree)) return writer.error();
    if (!sink->flush()) return sink->error();
    *written = sink->units_written();
    *bits = sink->bits();
    return WriteError{};
  });
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
    const Element* tree = entities::as_node(slots[0]);
    const TreeSurvey survey = without_lock([&] { return write::survey_tree(tree); });
    if (survey.out_of_memory) {
      root->reset();
      return to_error({WriteError::Kind::OutOfMemory, 0});
    }

    Ref str;
    size_t written = 0;
    uint32_t bits = 0;
    // First at an estimated length, in the kind the tree's bound on its largest byte calls for,
    // once a byte that needs that kind is found (a subtree of a wider document may not have
    // one); the str is then cut to length, in place. When the output outgrows the estimate, or
    // its characters are narrower than the bound after all, that str is dropped and the output
    // is measured exactly and written again: slower, but never more than the result and a
    // cache-sized buffer in memory.
    const uint64_t estimate = output_estimate(survey, opt.indent);
    const Py_UCS4 widest = max_char_for_byte(survey.max_byte);
    const bool as_wide =
        widest == 0x7F || without_lock([&] { return write::reaches_byte(tree, kind_threshold(widest)); });
    if (estimate < (uint64_t{1} << 40) && as_wide) {
      str = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(estimate), widest));
      if (!str) {
        if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return Error::fetch();
        PyErr_Clear();  // more than memory allows: the exact size may still fit
      } else {
        const WriteError failure = write_into(str.get(), tree, opt, &written, &bits);
        const bool narrower = widest > 0x7F && max_char_for_bits(bits) < widest;
        if (failure.kind == WriteError::Kind::None && !narrower) {
          root->reset();
          PyObject* s = str.release();
          if (PyUnicode_Resize(&s, static_cast<Py_ssize_t>(written)) != 0) return Error::fetch();
          return Ref::steal(s);
        }
        if (failure.kind != WriteError::Kind::None && failure.kind != WriteError::Kind::Full) {
          root->reset();
          return to_error(failure);
        }
        discard_pages(PyUnicode_DATA(str.get()), static_cast<size_t>(estimate) * PyUnicode_KIND(str.get()));
        str = Ref();
      }
    }

    // The output's exact length and largest byte, measured without the lock; then the str is
    // made at its final length and kind and written in place.
    const write::OutputSize size = without_lock(
        [&] { return write::measure_output(tree, survey.max_byte, opt.indent, opt.declaration ? kDeclaration.size() : 0); });
    if (size.status != write::OutputSize::Status::Ok) {
      root->reset();
      return to_error({size.status == write::OutputSize::Status::BadText ? WriteError::Kind::BadText
                                                                          : WriteError::Kind::OutOfMemory,
                       0});
    }
    str = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(size.chars), max_char_for_byte(size.max_byte)));
    if (!str) {
      root->reset();
      if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return Error::fetch();
      PyErr_Clear();
      return to_error({WriteError::Kind::OutOfMemory, 0});
    }
    WriteError failure = write_into(str.get(), tree, opt, &written, &bits);
    root->reset();
    if (failure.kind == WriteError::Kind::None &&
        (written != size.chars || max_char_for_bits(bits) > PyUnicode_MAX_CHAR_VALUE(str.get()))) {
      failure = {WriteError::Kind::Mismatch, 0};
    }
    if (failure.kind != WriteError::Kind::None) return to_error(failure);
    if (PyUnicode_IS_ASCII(str.get())) return str;
    // The measured largest byte gives the exact kind, so this copies nothing; it keeps the str
    // canonical should the characters ever be narrower than their bytes said.
    return canonical_str(std::move(str), bits);
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
