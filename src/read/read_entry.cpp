// read_string and read_file: the Python halves of the reader. Arguments are converted with the
// lock held; the file read, the UTF-8 check and the whole tree build run with it released; the
// Node tree and any exception are made once it is back.
#include <cstdlib>
#include <optional>
#include <utility>

#include "entities/node.h"
#include "index/utf8.h"
#include "module/binding.h"
#include "module/convert.h"
#include "module/entry.h"
#include "module/functions.h"
#include "module/gil.h"
#include "read/builder.h"
#include "read/compact.h"
#include "read/file_read.h"
#include "read/text_position.h"
#include "storage/pages.h"
#include "storage/source_buffer.h"

namespace tessary::module {

namespace {

using read::BuildResult;
using read::ReadError;
using storage::BufferRef;
using storage::SharedText;
using storage::SourceBuffer;

const char* const kReadStringNames[] = {"xml_string", "root_tag"};
const Params kReadStringParams{"read_string", nullptr, kReadStringNames, 2, 2};
const char* const kReadFileNames[] = {"file_path", "root_tag"};
const Params kReadFileParams{"read_file", nullptr, kReadFileNames, 2, 2};

// Where a reader error lies in `doc`, when its message names a byte offset. A file's
// byte-order mark is not counted: it is not part of the file's decoded text.
std::optional<read::TextPosition> error_position(const BuildResult& built, std::string_view doc, bool file) {
  const auto* e = std::get_if<ReadError>(&built);
  if (e == nullptr || !e->has_offset()) return std::nullopt;
  return read::text_position(doc.data(), doc.size(), e->offset, file);
}

// The Node tree of a successful build, or the reader's ValueError, carrying position =
// (line, column) when there is one (lock held).
Result<Ref> nodes_or_error(BuildResult&& built, std::optional<read::TextPosition> where) {
  if (auto* e = std::get_if<ReadError>(&built)) {
    if (e->code == ReadError::Code::OutOfMemory) return Error::memory(e->text());
    Error err = Error::value(e->text());
    if (where) return std::move(err).with_position(where->line, where->column);
    return err;
  }
  const read::BuiltTree& tree = std::get<read::BuiltTree>(built);
  return entities::adopt_arena_tree(tree.root, tree.nodes);
}

// The UTF-8 form of a str's characters (`width` bytes each); null when the memory cannot be had
// or a character has no UTF-8 form (a lone surrogate). Runs without the interpreter lock: a
// str's characters never change. A form that may be given up after the parse, or whose longest
// size is large, is made in pages of its own. A smaller one is made by malloc and shrunk to its
// size: a program reading many small documents then reuses the heap's memory instead of
// mapping fresh pages for each and faulting them in, which costs several times more once
// another library has churned through the heap.
struct Encoded {
  char* data = nullptr;
  size_t length = 0;
  size_t capacity = 0;
  SourceBuffer::Memory memory = SourceBuffer::Memory::Pages;
  bool no_memory = false;

  void release() noexcept {
    SourceBuffer::free_memory(memory, data, capacity, true);
    data = nullptr;
  }
};
constexpr size_t kHeapEncodedMax = size_t{4} << 20;  // the longest size made by malloc
Encoded encode_chars(const void* chars, unsigned width, size_t n, bool in_pages) {
  Encoded e;
  e.capacity = n * (width == 1 ? 2 : width == 2 ? 3 : 4) + 1;  // the longest form, and the 0 after it
  if (!in_pages && e.capacity <= kHeapEncodedMax) e.memory = SourceBuffer::Memory::Malloc;
  e.data = static_cast<char*>(e.memory == SourceBuffer::Memory::Pages ? storage::map_pages(e.capacity)
                                                                       : std::malloc(e.capacity));
  if (e.data == nullptr) {
    e.no_memory = true;
    return e;
  }
  auto* out = reinterpret_cast<uint8_t*>(e.data);
  const index::Utf8Encoded r = width == 1   ? index::encode_utf8(static_cast<const uint8_t*>(chars), n, out)
                               : width == 2 ? index::encode_utf8(static_cast<const uint16_t*>(chars), n, out)
                                            : index::encode_utf8(static_cast<const uint32_t*>(chars), n, out);
  if (!r.ok) {
    e.release();
    return e;
  }
  e.length = r.bytes;
  if (e.memory == SourceBuffer::Memory::Malloc && e.length + 1 < e.capacity) {
    // Shrunk in place where the allocator can; where it cannot, the longer block stays.
    if (auto* shrunk = static_cast<char*>(std::realloc(e.data, e.length + 1))) {
      e.data = shrunk;
      e.capacity = e.length + 1;
    }
  }
  return e;
}

// Whether the interpreter keeps a UTF-8 form in the str (a str of other characters than ASCII,
// whose compact header has the field).
bool has_utf8_form(PyObject* str) { return reinterpret_cast<PyCompactUnicodeObject*>(str)->utf8 != nullptr; }

// Reads a tree from `buffer` (the entry's reference), the reader's error carrying its position.
Result<Ref> build_from(BufferRef buffer, std::string_view root_tag, bool give_up_bytes) {
  const storage::NodeLayout& layout = entities::arena_node_layout();
  struct Built {
    BuildResult built;
    std::optional<read::TextPosition> where;
  };
  Built out = without_lock([&]() -> Built {
    Built b{read::build_tree(buffer.get(), root_tag, layout), std::nullopt};
    b.where = error_position(b.built, {buffer->data(), buffer->length()}, false);
    if (auto* tree = std::get_if<read::BuiltTree>(&b.built); tree != nullptr && give_up_bytes) {
      read::give_up_unused_bytes(buffer.get(), tree->root);
    }
    return b;
  });
  Result<Ref> node = nodes_or_error(std::move(out.built), out.where);
  buffer.reset();
  return node;
}

}  // namespace

PyObject* py_read_string(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return entry([&]() -> Result<Ref> {
    PyObject* slots[2];
    Status bound = bind_vector(kReadStringParams, args, nargsf, kwnames, slots);
    if (!bound) return bound.take_error();
    PyObject* xml_str = slots[0];
    if (!PyUnicode_Check(xml_str)) return type_mismatch(xml_str, "str").with_note("xml_string");
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(xml_str) < 0) return Error::fetch();  // a str made by the old wide-character calls
#endif
    // A str of other characters than ASCII has no UTF-8 form of its own. One is made for the
    // parse, in memory of the document's, unless the interpreter already keeps one in the str
    // (made by an earlier call that asked for it), which is then read in place. The interpreter's
    // own conversion would be slower, and would stay cached in the str for the str's life. For
    // a document mostly of text the form made is given up afterwards when the tree needs little
    // of it: its long texts then refer to the str's own characters.
    const void* chars = PyUnicode_DATA(xml_str);
    const unsigned width = PyUnicode_KIND(xml_str);
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(xml_str));
    Encoded e;
    bool give_up_bytes = false;
    if (!PyUnicode_IS_ASCII(xml_str)) {
      give_up_bytes = read::mostly_text(chars, width, n);
      if (give_up_bytes || !has_utf8_form(xml_str)) {
        e = without_lock([&] { return encode_chars(chars, width, n, give_up_bytes); });
        if (e.no_memory) return Error::memory(ReadError::out_of_memory().text());
      }
    }
    std::string_view xml;  // the str's cached form, when the document is read from that
    if (e.data == nullptr) {
      // Also where a character has no UTF-8 form: the interpreter's own conversion reports it.
      Result<std::string_view> cached = text_kept(xml_str);
      if (!cached) return cached.take_error().with_note("xml_string");
      xml = *cached;
    }
    // The caller holds the root tag's str for the whole call: its UTF-8 form is read in place.
    Result<std::string_view> root = text_kept(slots[1]);
    if (!root) {
      if (e.data != nullptr) e.release();
      return root.take_error().with_note("root_tag");
    }
    if (e.data != nullptr) {
      const storage::BufferOwner owner = buffer_owner(Ref::borrow(xml_str));
      BufferRef buffer = BufferRef::adopt(SourceBuffer::encoded(owner, chars, static_cast<uint8_t>(width), e.data,
                                                                e.length, e.capacity, str_max_byte_bound(xml_str),
                                                                e.memory));
      if (!buffer) {
        e.release();
        owner.release(owner.object);
        return Error::memory(ReadError::out_of_memory().text());
      }
      return build_from(std::move(buffer), *root, give_up_bytes);
    }
    // The buffer points at the str's own UTF-8 form and keeps the str alive: no copy.
    const storage::BufferOwner owner = buffer_owner(Ref::borrow(xml_str));
    BufferRef buffer = BufferRef::adopt(
        SourceBuffer::python_backed(owner, xml.data(), xml.size(), str_max_byte_bound(xml_str)));
    if (!buffer) {
      owner.release(owner.object);
      return Error::memory(ReadError::out_of_memory().text());
    }
    return build_from(std::move(buffer), *root, false);
  });
}

PyObject* py_read_file(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return entry([&]() -> Result<Ref> {
    PyObject* slots[2];
    Status bound = bind_vector(kReadFileParams, args, nargsf, kwnames, slots);
    if (!bound) return bound.take_error();
    Result<SharedText> path = text_copied(slots[0]);
    if (!path) return path.take_error().with_note("file_path");
    Result<SharedText> root = text_copied(slots[1]);
    if (!root) return root.take_error().with_note("root_tag");

    struct FileRead {
      read::FileBytes file;  // the failure, when the file could not be read
      std::optional<BuildResult> built;
      std::optional<read::TextPosition> where;  // of the reader error, found while the bytes exist
    };
    const std::string_view path_text = path->view();
    const std::string_view root_tag = root->view();
    const storage::NodeLayout& layout = entities::arena_node_layout();
    FileRead out = without_lock([&]() -> FileRead {
      FileRead o;
      // The reader works on UTF-8 throughout: the file is checked piece by piece as it is read,
      // so that no string made from the document can be invalid and a stream that is not text
      // fails at once.
      read::FileBytes bytes = read::read_utf8_file(path_text);
      switch (bytes.status) {
        case read::FileStatus::Read: break;
        case read::FileStatus::InvalidUtf8:
          o.built.emplace(ReadError::at(ReadError::Code::InvalidUtf8, bytes.invalid_at));
          o.where = error_position(*o.built, {bytes.data, bytes.length}, true);
          read::release_file_bytes(bytes);
          return o;
        case read::FileStatus::OutOfMemory:
          o.built.emplace(ReadError::of(ReadError::Code::OutOfMemory, {}));
          return o;
        default:
          o.file = bytes;
          return o;
      }
      BufferRef buffer = BufferRef::adopt(SourceBuffer::owned(bytes.data, bytes.length, bytes.capacity, bytes.max_byte,
                                                              storage::SourceBuffer::Memory::Pages));
      if (!buffer) {
        read::release_file_bytes(bytes);
        o.built.emplace(ReadError::out_of_memory());
        return o;
      }
      o.built.emplace(read::build_tree(buffer.get(), root_tag, layout));
      o.where = error_position(*o.built, {bytes.data, bytes.length}, true);
      if (auto* tree = std::get_if<read::BuiltTree>(&*o.built)) read::give_up_unused_bytes(buffer.get(), tree->root);
      return o;  // the entry's buffer reference is given back here, still without the lock
    });
    *path = SharedText();
    if (!out.built) {
      if (out.file.status == read::FileStatus::NulInPath) return fault(Fault::NulInFileName);
      return Error::os(out.file.error);
    }
    return nodes_or_error(std::move(*out.built), out.where);
  });
}

}  // namespace tessary::module
