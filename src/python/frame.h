#pragma once

// The call frame every entry point of the module goes through, so that each one reads:
//
//   return entry([&] {
//     const Args a = bind(kPublish, args, nargs, kwnames);       // TypeError on a bad call
//     const Hold hold(self, Borrow::Exclusive);                  // RuntimeError on a conflict
//     const std::string_view topic = required(a, 0, as_text);    // converters, in order
//     const Payload data = required(a, 1, as_payload);
//     ok(without_gil([&] { return core<PyBus>(self).bus.publish(topic, data); }));
//     return none();
//   });
//
// Failure travels as a C++ exception up to `entry`, which is the only place it stops:
// PythonError means a Python exception is already set; InternalFailure becomes
// PanicException; std::bad_alloc becomes MemoryError; anything else becomes PanicException.
// Nothing ever escapes a slot. Holds, references and the released interpreter lock are RAII,
// so every way out undoes them in reverse order.
//
// Thread rules: everything here runs with the interpreter lock held, except the function given
// to without_gil, which must touch no Python object and no reference count.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "error.h"
#include "platform/clock.h"

namespace kavri::py {

// A Python exception has been set; unwinds to `entry`.
struct PythonError {};

// Throws PythonError; call right after a C API call that failed and set an exception.
[[noreturn]] void fail();

// Sets `type` with `message` and throws PythonError.
[[noreturn]] void fail(PyObject* type, std::string_view message);

// An owned reference; move-only. Null is allowed and means "no object".
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (the result of a C API call that returns one).
  explicit Ref(PyObject* owned) : object_(owned) {}
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  // A new reference to a borrowed object.
  static Ref borrow(PyObject* object) { return Ref(Py_XNewRef(object)); }
  // Like Ref(owned), but throws PythonError when `owned` is null.
  static Ref checked(PyObject* owned) {
    if (owned == nullptr) fail();
    return Ref(owned);
  }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// ---- Entry points -------------------------------------------------------------------------

// Sets the Python exception for the C++ exception in flight. Call only inside a catch block.
void set_error_from_current_exception() noexcept;

// Runs `body` (returning a new reference) and turns every failure into NULL with an exception.
template <class Body>
PyObject* entry(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const PythonError&) {
    return nullptr;
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// The same for slots that report failure as -1.
template <class Body>
int entry_status(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const PythonError&) {
    return -1;
  } catch (...) {
    set_error_from_current_exception();
    return -1;
  }
}

// The fast-call-with-keywords signature of a method, cast for a PyMethodDef.
using FastMethod = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);
inline PyCFunction as_method(FastMethod method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

// The tp_new of every class that Python code may not instantiate: TypeError
// "No constructor defined for {}".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// ---- Parameters and binding ---------------------------------------------------------------

struct KeywordOnly {
  const char* name;
  bool required;
};

// The static description of one entry point's parameters: positional-or-keyword ones first
// (the leading `required` of them required), then the keyword-only ones.
struct Signature {
  const char* function;
  const char* owner;  // the class name; null for a module function
  std::span<const char* const> positional;
  size_t required = 0;
  std::span<const KeywordOnly> keyword_only = {};

  size_t count() const { return positional.size() + keyword_only.size(); }
  const char* name(size_t index) const {
    return index < positional.size() ? positional[index]
                                     : keyword_only[index - positional.size()].name;
  }
};

inline constexpr size_t kMaxParameters = 8;

// The arguments of one call in parameter order (positional-or-keyword parameters, then the
// keyword-only ones); null where a parameter was not given. A fast-call binding borrows the
// caller's references, which live for the whole call; a tuple/dict binding owns its
// references, because Python code run by a converter could change the keyword dictionary.
class Args {
 public:
  Args(Args&& other) noexcept;
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;
  ~Args();

  PyObject* operator[](size_t index) const { return values_[index]; }
  const Signature& signature() const { return *signature_; }

 private:
  friend Args bind(const Signature&, PyObject* const*, Py_ssize_t, PyObject*);
  friend Args bind(const Signature&, PyObject*, PyObject*);
  Args(const Signature& signature, bool owned) : signature_(&signature), owned_(owned) {}

  const Signature* signature_;
  bool owned_;
  std::array<PyObject*, kMaxParameters> values_{};
};

// Binds a fast call (vector of positional arguments followed by the keyword values named in
// `kwnames`). Throws PythonError with the binding TypeError.
Args bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Binds a tp_new call (argument tuple and keyword dictionary, which may be null).
Args bind(const Signature& signature, PyObject* args, PyObject* kwargs);

// ---- Holds --------------------------------------------------------------------------------

// The head of every object of the module: the Python header, then the borrow counter
// (0 free, all ones held exclusively, else the number of shared holds). The counter is read
// and written only with the interpreter lock held, so it needs no atomics.
struct ObjectHead {
  PyObject_HEAD uintptr_t borrow;
};

// An object of the module wrapping `Core`, which the frame constructs in place after
// allocation and destroys in dealloc.
template <class Core>
struct Object {
  ObjectHead head;
  Core core;
};

template <class Core>
Core& core(PyObject* self) {
  return reinterpret_cast<Object<Core>*>(self)->core;
}

enum class Borrow { Shared, Exclusive };

// Takes the hold for the lifetime of this value, and a reference to the object with it.
// A conflicting hold fails at once (never waits) with RuntimeError "Already borrowed" (an
// exclusive hold wanted) or "Already mutably borrowed" (a shared hold wanted).
class Hold {
 public:
  Hold(PyObject* self, Borrow kind);
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
  ~Hold();

 private:
  PyObject* self_;
  Borrow kind_;
};

// ---- Converters ---------------------------------------------------------------------------
// Each throws PythonError with the exception its failure sets. Use them through required(),
// optional() or with_default(), which wrap a TypeError with the parameter's name.

using Payload = std::span<const std::byte>;

// A `str` (or subclass) as a view of its UTF-8 form, valid while the object lives.
std::string_view as_text(PyObject* object);
// A `bytes` (or subclass) as a view of its storage, valid while the object lives.
Payload as_payload(PyObject* object);

// The payloads of a sequence of `bytes`, as one array of views in item order, with a
// reference to every item held until this value is destroyed (which needs the lock).
class PayloadSequence {
 public:
  PayloadSequence() = default;
  PayloadSequence(PayloadSequence&&) noexcept = default;
  PayloadSequence& operator=(PayloadSequence&&) = delete;
  ~PayloadSequence();

  std::span<const Payload> views() const { return views_; }

 private:
  friend PayloadSequence as_payload_sequence(PyObject* object);
  std::vector<PyObject*> items_;  // owned references
  std::vector<Payload> views_;
};
PayloadSequence as_payload_sequence(PyObject* object);

uint32_t as_u32(PyObject* object);
uint64_t as_u64(PyObject* object);
bool as_bool(PyObject* object);
double as_seconds(PyObject* object);

// Seconds as a duration; a negative, NaN, infinite or too large value is an internal failure.
Duration duration_from_secs(double secs);

// Rewrites a pending exception of exactly TypeError as TypeError "argument '{name}': {text}"
// carrying the same __cause__; any other exception stays as it is.
void wrap_argument_error(const char* name);

// A parameter the binding guarantees to be present.
template <class Convert>
auto required(const Args& args, size_t index, Convert convert) {
  try {
    return convert(args[index]);
  } catch (const PythonError&) {
    wrap_argument_error(args.signature().name(index));
    throw;
  }
}

// A parameter whose default is None: absent and None give nullopt.
template <class Convert>
auto optional(const Args& args, size_t index, Convert convert)
    -> std::optional<decltype(convert(args[index]))> {
  if (args[index] == nullptr || args[index] == Py_None) return std::nullopt;
  return required(args, index, convert);
}

// A parameter with a value default: absent gives the default; None goes to the converter.
template <class Convert, class T>
auto with_default(const Args& args, size_t index, Convert convert, T fallback)
    -> decltype(convert(args[index])) {
  if (args[index] == nullptr) return fallback;
  return required(args, index, convert);
}

// ---- Calling the core ---------------------------------------------------------------------

// Releases the interpreter lock for its lifetime (PyEval_SaveThread / PyEval_RestoreThread),
// so the lock is taken back on every way out, a thrown internal failure included.
class ReleasedGil {
 public:
  ReleasedGil() : state_(PyEval_SaveThread()) {}
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;
  ~ReleasedGil() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// Runs exactly one core call without the interpreter lock.
template <class Call>
auto without_gil(Call&& call) -> decltype(call()) {
  ReleasedGil released;
  return std::forward<Call>(call)();
}

// Raises the exception kavri_err makes for `error`.
[[noreturn]] void raise_error(Error error);

// The value of a core result, or its error raised.
template <class T>
T ok(Result<T>&& result) {
  if (!result) raise_error(std::move(result.error()));
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

// ---- Results ------------------------------------------------------------------------------
// A result object the interpreter cannot create is an internal failure.

PyObject* none();
PyObject* to_python(bool value);
PyObject* to_python(uint64_t value);
// Checks a new reference built by the caller.
PyObject* result(PyObject* made);

// ---- Types and objects --------------------------------------------------------------------

// Creates the type from `spec` once per process and keeps it in `slot`; returns it borrowed.
PyTypeObject* type_once(PyTypeObject*& slot, PyType_Spec& spec);

// Allocates an object of `type` (free hold) and moves `value` into it. Throws PythonError
// when the interpreter cannot allocate; `value` is then destroyed with it.
template <class Core>
PyObject* allocate(PyTypeObject* type, Core value) {
  auto* object = reinterpret_cast<Object<Core>*>(type->tp_alloc(type, 0));
  if (object == nullptr) fail();
  object->head.borrow = 0;
  new (&object->core) Core(std::move(value));
  return reinterpret_cast<PyObject*>(object);
}

// allocate() for a result object: a failure to create it is an internal failure (`value` is
// destroyed with the attempt).
template <class Core>
PyObject* allocate_result(PyTypeObject* type, Core value) {
  PyObject* made = nullptr;
  try {
    made = allocate(type, std::move(value));
  } catch (const PythonError&) {
    // result() below turns the missing object into the internal failure.
  }
  return result(made);
}

// The same, for a type made on first use by `get_type`: a type that cannot be created is an
// uncreatable result too. `value` is destroyed with the failure either way.
template <class Core>
PyObject* allocate_result(PyTypeObject* (*get_type)(), Core value) {
  PyTypeObject* type = nullptr;
  try {
    type = get_type();
  } catch (const PythonError&) {
    // result() below turns the missing type into the internal failure.
  }
  if (type == nullptr) return result(nullptr);
  return allocate_result(type, std::move(value));
}

// __enter__ of a class that is its own context manager: a shared hold, the object itself.
PyObject* enter_self(PyObject* self, PyObject* unused);

// __exit__ of a class whose with block releases nothing: binds its three optional, ignored
// arguments (`kSignature` names them), takes the exclusive hold and returns False, so that an
// exception raised in the block propagates.
template <const Signature& kSignature>
PyObject* exit_releasing_nothing(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kSignature, args, nargs, kwnames);
    const Hold hold(self, Borrow::Exclusive);
    return to_python(false);
  });
}

// tp_dealloc of an Object<Core>.
template <class Core>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Object<Core>*>(self)->core.~Core();
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

}  // namespace kavri::py
