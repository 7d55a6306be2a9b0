// Engine error values and the one place that turns them into Python exceptions.
#pragma once

#include <string>
#include <utility>
#include <variant>

#include "module/pyref.h"

namespace tessary::module {

// An error value. Deferred kinds carry an exception type and the data of its single argument,
// so they can be made without the interpreter lock; `Ready` carries an exception object
// fetched from the interpreter.
struct Error {
  enum class Kind : unsigned char {
    Type,
    Value,
    Overflow,
    Runtime,
    Memory,
    Os,      // an operating-system error number; the text is made when raised
    OsText,  // an I/O failure without an error number, with a fixed text
    Panic,   // a violated internal invariant
    Ready,
  };
  Kind kind = Kind::Panic;
  int os_errno = 0;
  std::string message;
  std::string note_param;  // when set, "while processing '{}'" is added as a note
  bool has_position = false;  // when set, the exception gets position = (line, column)
  unsigned long long line = 0, column = 0;
  Ref exc_type, exc_value, exc_tb;  // Ready only

  static Error type(std::string m) { return make(Kind::Type, std::move(m)); }
  static Error value(std::string m) { return make(Kind::Value, std::move(m)); }
  static Error overflow(std::string m) { return make(Kind::Overflow, std::move(m)); }
  static Error runtime(std::string m) { return make(Kind::Runtime, std::move(m)); }
  static Error memory(std::string m) { return make(Kind::Memory, std::move(m)); }
  static Error panic(std::string m) { return make(Kind::Panic, std::move(m)); }
  static Error os(int err) { Error e; e.kind = Kind::Os; e.os_errno = err; return e; }
  static Error os_text(std::string m) { return make(Kind::OsText, std::move(m)); }
  // Takes the exception currently set in the interpreter (lock held).
  static Error fetch();

  Error&& with_note(const char* param) && { note_param = param; return std::move(*this); }
  Error&& with_position(unsigned long long l, unsigned long long c) && {
    has_position = true;
    line = l;
    column = c;
    return std::move(*this);
  }

 private:
  static Error make(Kind k, std::string m) { Error e; e.kind = k; e.message = std::move(m); return e; }
};

// The module layer's fixed messages, each with the exception kind it is raised as. Messages
// with variable parts (argument binding, type mismatches, operating-system errors) are made by
// the one function that raises each of them.
enum class Fault : unsigned char {
  BadTextRange,          // a shared text range outside its buffer or splitting a character
  AlreadyBorrowed,       // a shared borrow refused (no operation borrows exclusively)
  BorrowRefusedInWalk,   // the same, met on a node below the one a call started from
  MalformedElementTree,  // the reader's post-order tree does not add up to one root
  TextNotUtf8,           // a text that should be valid UTF-8 is not
  NoExceptionSet,        // an interpreter call failed without saying why
  AllNotExtended,        // the module's __all__ could not be extended
  NumberTooLarge,
  NumberTooSmall,
  StrNotSequence,        // a str given where a sequence of items is expected
  NulInFileName,
  OutOfMemory,           // a buffer could not grow (raised as a MemoryError without text)
};

struct FaultText {
  Error::Kind kind;
  const char* text;
};

inline constexpr FaultText kFaultTexts[] = {
    {Error::Kind::Panic, "text range lies outside its buffer or splits a character"},
    {Error::Kind::Runtime, "Already mutably borrowed"},
    {Error::Kind::Panic, "Already mutably borrowed"},
    {Error::Kind::Panic, "element tree is malformed"},
    {Error::Kind::Panic, "invariant: a text is not valid UTF-8"},
    {Error::Kind::Panic, "an interpreter call failed without setting an exception"},
    {Error::Kind::Panic, "could not append __name__ to __all__"},
    {Error::Kind::Overflow, "number too large to fit in target type"},
    {Error::Kind::Overflow, "number too small to fit in target type"},
    {Error::Kind::Type, "Can't extract `str` to `Vec`"},
    {Error::Kind::OsText, "file name contained an unexpected NUL byte"},
    {Error::Kind::Memory, ""},
};

// The error value of a fixed message (out of line: it is on no path that matters for speed).
[[gnu::cold]] Error fault(Fault f);

// The "'{}' object is not an instance of '{}'" type mismatch for `obj` (borrowed).
Error type_mismatch(PyObject* obj, const char* target);

// The text of an operating-system error: the C library's description, then " (os error N)".
std::string os_error_text(int err);

// Sets `e` as the current Python exception (lock held).
void raise(Error e) noexcept;

// A result or an error value.
template <class T>
class Result {
 public:
  Result(T v) : v_(std::in_place_index<0>, std::move(v)) {}  // NOLINT: implicit by design
  Result(Error e) : v_(std::in_place_index<1>, std::move(e)) {}  // NOLINT
  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() noexcept { return *std::get_if<0>(&v_); }
  T& operator*() noexcept { return value(); }
  T* operator->() noexcept { return &value(); }
  Error& error() noexcept { return *std::get_if<1>(&v_); }
  Error take_error() noexcept { return std::move(error()); }

 private:
  std::variant<T, Error> v_;
};

struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

}  // namespace tessary::module
