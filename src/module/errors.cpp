#include "module/errors.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

#include "module/panic.h"

namespace tessary::module {

Error Error::fetch() {
  Error e;
  e.kind = Kind::Ready;
  PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (t == nullptr) {
    // Nothing was set: an interpreter call failed without saying why.
    return fault(Fault::NoExceptionSet);
  }
  if (tb != nullptr && v != nullptr) PyException_SetTraceback(v, tb);
  e.exc_type = Ref::steal(t);
  e.exc_value = Ref::steal(v);
  e.exc_tb = Ref::steal(tb);
  return e;
}

Error fault(Fault f) {
  const FaultText& t = kFaultTexts[static_cast<unsigned>(f)];
  switch (t.kind) {
    case Error::Kind::Type: return Error::type(t.text);
    case Error::Kind::Runtime: return Error::runtime(t.text);
    case Error::Kind::Overflow: return Error::overflow(t.text);
    case Error::Kind::OsText: return Error::os_text(t.text);
    case Error::Kind::Memory: return Error::memory(t.text);
    default: return Error::panic(t.text);
  }
}

Error type_mismatch(PyObject* obj, const char* target) {
  if (obj == Py_None) {
    return Error::type(std::string("'None' is not an instance of '") + target + "'");
  }
  std::string name;
  Ref qual = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  Py_ssize_t n = 0;
  const char* s = qual ? PyUnicode_AsUTF8AndSize(qual.get(), &n) : nullptr;
  if (s != nullptr) {
    name.assign(s, static_cast<size_t>(n));
  } else {
    PyErr_Clear();
    name = Py_TYPE(obj)->tp_name;
  }
  return Error::type("'" + name + "' object is not an instance of '" + target + "'");
}

std::string os_error_text(int err) {
  char buf[256];
  const char* text = strerror_r(err, buf, sizeof buf);  // GNU form: returns the text
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

namespace {

PyObject* os_exception_type(int err) {
  switch (err) {
    case ENOENT: return PyExc_FileNotFoundError;
    case EACCES:
    case EPERM: return PyExc_PermissionError;
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    case EPIPE: return PyExc_BrokenPipeError;
    case EEXIST: return PyExc_FileExistsError;
    case EAGAIN: return PyExc_BlockingIOError;
    case ENOTDIR: return PyExc_NotADirectoryError;
    case EISDIR: return PyExc_IsADirectoryError;
    case ETIMEDOUT: return PyExc_TimeoutError;
    case EINTR: return PyExc_InterruptedError;
    case ENOMEM: return PyExc_MemoryError;
    default: return PyExc_OSError;
  }
}

void add_note(PyObject* exc, const std::string& param) {
  std::string note = "while processing '" + param + "'";
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  if (!text) { PyErr_Clear(); return; }
  Ref r = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", text.get()));
  if (!r) PyErr_Clear();
}

void raise_unguarded(Error e) {
  if (e.kind == Error::Kind::Ready) {
    if (!e.note_param.empty() && e.exc_value) add_note(e.exc_value.get(), e.note_param);
    PyErr_Restore(e.exc_type.release(), e.exc_value.release(), e.exc_tb.release());
    return;
  }
  if (e.kind == Error::Kind::Memory && e.message.empty()) {
    // The interpreter's own MemoryError, made without allocating.
    PyErr_NoMemory();
    return;
  }
  PyObject* type = nullptr;
  std::string text = std::move(e.message);
  switch (e.kind) {
    case Error::Kind::Type: type = PyExc_TypeError; break;
    case Error::Kind::Value: type = PyExc_ValueError; break;
    case Error::Kind::Overflow: type = PyExc_OverflowError; break;
    case Error::Kind::Runtime: type = PyExc_RuntimeError; break;
    case Error::Kind::Memory: type = PyExc_MemoryError; break;
    case Error::Kind::Os:
      type = os_exception_type(e.os_errno);
      text = os_error_text(e.os_errno);
      break;
    case Error::Kind::OsText: type = PyExc_OSError; break;
    case Error::Kind::Panic: type = panic_exception_type(); break;
    case Error::Kind::Ready: break;
  }
  if (type == nullptr) return;  // the panic type could not be made; its error is set
  Ref msg = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!msg) return;
  Ref exc = Ref::steal(PyObject_CallOneArg(type, msg.get()));
  if (!exc) return;
  if (!e.note_param.empty()) add_note(exc.get(), e.note_param);
  if (e.has_position) {
    Ref pos = Ref::steal(Py_BuildValue("(KK)", e.line, e.column));
    if (!pos || PyObject_SetAttrString(exc.get(), "position", pos.get()) < 0) return;
  }
  PyErr_SetObject(type, exc.get());
}

}  // namespace

void raise(Error e) noexcept {
  // Making the text (a note, an operating system's message) may itself run out of memory.
  try {
    raise_unguarded(std::move(e));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  }
}

}  // namespace tessary::module
