#include "python/frame.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "internal_failure.h"
#include "python/exceptions.h"

namespace kavri::py {

void fail() {
  if (!PyErr_Occurred()) {
    // A C API call failed without saying why; never return NULL without an exception.
    PyErr_SetString(PyExc_SystemError, "error return without exception set");
  }
  throw PythonError{};
}

void fail(PyObject* type, std::string_view message) {
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text != nullptr) {
    PyErr_SetObject(type, text);
    Py_DECREF(text);
  }
  throw PythonError{};
}

// ---- Entry points -------------------------------------------------------------------------

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const InternalFailure& failure) {
    set_panic(failure.message().empty() ? std::string_view("internal failure")
                                        : std::string_view(failure.message()));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_panic(e.what());
  } catch (...) {
    set_panic("internal failure");
  }
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  return entry([&]() -> PyObject* {
    Ref name(PyType_GetName(type));
    if (!name) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "No constructor defined for <unknown>");
    } else {
      PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    }
    return nullptr;
  });
}

// ---- Binding ------------------------------------------------------------------------------

namespace {

std::string full_name(const Signature& s) {
  return s.owner != nullptr ? fmt::format("{}.{}()", s.owner, s.function)
                            : fmt::format("{}()", s.function);
}

[[noreturn]] void too_many_positional(const Signature& s, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  const size_t total = s.positional.size();
  if (s.required == total) {
    fail(PyExc_TypeError, fmt::format("{} takes {} positional arguments but {} {} given",
                                      full_name(s), total, given, verb));
  }
  fail(PyExc_TypeError, fmt::format("{} takes from {} to {} positional arguments but {} {} given",
                                    full_name(s), s.required, total, given, verb));
}

// Keyword-only parameters are matched first, then the positional-or-keyword ones.
size_t find_keyword(const Signature& s, PyObject* name) {
  if (!PyUnicode_Check(name)) fail(PyExc_TypeError, "keywords must be strings");
  for (size_t i = 0; i < s.keyword_only.size(); ++i) {
    if (PyUnicode_EqualToUTF8(name, s.keyword_only[i].name)) return s.positional.size() + i;
  }
  for (size_t i = 0; i < s.positional.size(); ++i) {
    if (PyUnicode_EqualToUTF8(name, s.positional[i])) return i;
  }
  PyObject* message = PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'",
                                           full_name(s).c_str(), name);
  if (message != nullptr) {
    PyErr_SetObject(PyExc_TypeError, message);
    Py_DECREF(message);
  }
  fail();
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += fmt::format("'{}'", names[i]);
  }
  return out;
}

void check_missing(const Signature& s, const std::array<PyObject*, kMaxParameters>& values) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < s.required; ++i) {
    if (values[i] == nullptr) missing.push_back(s.positional[i]);
  }
  const char* kind = "positional";
  if (missing.empty()) {
    for (size_t i = 0; i < s.keyword_only.size(); ++i) {
      if (s.keyword_only[i].required && values[s.positional.size() + i] == nullptr) {
        missing.push_back(s.keyword_only[i].name);
      }
    }
    kind = "keyword";
  }
  if (missing.empty()) return;
  fail(PyExc_TypeError,
       fmt::format("{} missing {} required {} {}: {}", full_name(s), missing.size(), kind,
                   missing.size() == 1 ? "argument" : "arguments", quoted_list(missing)));
}

void check_size(const Signature& s) {
  if (s.count() > kMaxParameters) internal_failure("too many parameters in a signature");
}

}  // namespace

Args::Args(Args&& other) noexcept
    : signature_(other.signature_),
      owned_(std::exchange(other.owned_, false)),
      values_(other.values_) {}

Args::~Args() {
  if (!owned_) return;
  for (PyObject* value : values_) Py_XDECREF(value);
}

Args bind(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  check_size(s);
  Args bound(s, /*owned=*/false);
  if (static_cast<size_t>(nargs) > s.positional.size()) too_many_positional(s, nargs);
  std::copy(args, args + nargs, bound.values_.begin());
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* name = PyTuple_GET_ITEM(kwnames, k);
      const size_t index = find_keyword(s, name);
      if (bound.values_[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     full_name(s).c_str(), s.name(index));
        fail();
      }
      bound.values_[index] = args[nargs + k];
    }
  }
  if (static_cast<size_t>(nargs) < s.required || kwnames != nullptr) {
    check_missing(s, bound.values_);
  }
  return bound;
}

Args bind(const Signature& s, PyObject* args, PyObject* kwargs) {
  check_size(s);
  Args bound(s, /*owned=*/true);
  const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  if (static_cast<size_t>(nargs) > s.positional.size()) too_many_positional(s, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    bound.values_[i] = Py_NewRef(PyTuple_GET_ITEM(args, i));
  }
  if (kwargs != nullptr) {
    // Insertion order is the order the keywords were given in.
    Py_ssize_t pos = 0;
    PyObject* name;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      const size_t index = find_keyword(s, name);
      if (bound.values_[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     full_name(s).c_str(), s.name(index));
        fail();
      }
      bound.values_[index] = Py_NewRef(value);
    }
  }
  check_missing(s, bound.values_);
  return bound;
}

// ---- Holds --------------------------------------------------------------------------------

namespace {
constexpr uintptr_t kExclusive = std::numeric_limits<uintptr_t>::max();
}

Hold::Hold(PyObject* self, Borrow kind) : self_(self), kind_(kind) {
  uintptr_t& counter = reinterpret_cast<ObjectHead*>(self)->borrow;
  if (kind == Borrow::Exclusive) {
    if (counter != 0) fail(PyExc_RuntimeError, "Already borrowed");
    counter = kExclusive;
  } else {
    if (counter == kExclusive) fail(PyExc_RuntimeError, "Already mutably borrowed");
    ++counter;
  }
  Py_INCREF(self);
}

Hold::~Hold() {
  uintptr_t& counter = reinterpret_cast<ObjectHead*>(self_)->borrow;
  if (kind_ == Borrow::Exclusive) {
    counter = 0;
  } else {
    --counter;
  }
  Py_DECREF(self_);
}

// ---- Converters ---------------------------------------------------------------------------

namespace {

// TypeError "'{qualname}' object cannot be converted to '{target}'".
[[noreturn]] void conversion_error(PyObject* object, const char* target) {
  Ref qualname(PyType_GetQualName(Py_TYPE(object)));
  PyObject* message;
  if (qualname) {
    message =
        PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", qualname.get(), target);
  } else {
    PyErr_Clear();
    message = PyUnicode_FromFormat(
        "'<failed to extract type name>' object cannot be converted to '%s'", target);
  }
  if (message != nullptr) {
    PyErr_SetObject(PyExc_TypeError, message);
    Py_DECREF(message);
  }
  fail();
}

// A numpy boolean scalar: its type's __module__ is "numpy" and its name "bool_" or "bool".
// Any failure to read those means "not numpy".
bool is_numpy_bool(PyTypeObject* type) {
  Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module || !PyUnicode_Check(module.get()) ||
      !PyUnicode_EqualToUTF8AndSize(module.get(), "numpy", 5)) {
    PyErr_Clear();
    return false;
  }
  Ref name(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_EqualToUTF8AndSize(name.get(), "bool_", 5) ||
         PyUnicode_EqualToUTF8AndSize(name.get(), "bool", 4);
}

// Beyond this a sequence's own length is not trusted for the reservation: a __len__ that
// lies must not make us allocate gigabytes. Lists and tuples report their true size.
constexpr Py_ssize_t kTrustedLengthHint = 1 << 20;

}  // namespace

std::string_view as_text(PyObject* object) {
  if (!PyUnicode_Check(object)) conversion_error(object, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) fail();  // a lone surrogate: the interpreter's UnicodeEncodeError
  return {data, static_cast<size_t>(size)};
}

Payload as_payload(PyObject* object) {
  if (!PyBytes_Check(object)) conversion_error(object, "PyBytes");
  return {reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(object)),
          static_cast<size_t>(PyBytes_GET_SIZE(object))};
}

PayloadSequence::~PayloadSequence() {
  for (PyObject* item : items_) Py_DECREF(item);
}

PayloadSequence as_payload_sequence(PyObject* object) {
  // A str is a sequence of str; refused before it is looked at as one.
  if (PyUnicode_Check(object)) fail(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) conversion_error(object, "Sequence");
  Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  if (!PyList_CheckExact(object) && !PyTuple_CheckExact(object)) {
    hint = std::min(hint, kTrustedLengthHint);
  }
  PayloadSequence out;
  out.items_.reserve(static_cast<size_t>(hint));
  out.views_.reserve(static_cast<size_t>(hint));
  Ref iterator = Ref::checked(PyObject_GetIter(object));
  while (PyObject* next = PyIter_Next(iterator.get())) {
    Ref item(next);
    const Payload view = as_payload(item.get());
    out.items_.push_back(item.get());
    item.release();
    out.views_.push_back(view);
  }
  if (PyErr_Occurred()) fail();
  return out;
}

uint32_t as_u32(PyObject* object) {
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) fail();
  if (value < 0 || value > static_cast<long>(std::numeric_limits<uint32_t>::max())) {
    fail(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<uint32_t>(value);
}

uint64_t as_u64(PyObject* object) {
  Ref index;
  if (!PyLong_Check(object)) {
    index = Ref::checked(PyNumber_Index(object));
    object = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) fail();
  return value;
}

bool as_bool(PyObject* object) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  PyTypeObject* type = Py_TYPE(object);
  if (!is_numpy_bool(type)) conversion_error(object, "PyBool");
  auto truth = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
  if (truth == nullptr) {
    Ref name(PyType_GetName(type));
    if (!name) fail();
    PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                 name.get());
    fail();
  }
  const int value = truth(object);
  if (value < 0) fail();
  return value != 0;
}

double as_seconds(PyObject* object) {
  if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) fail();
  return value;
}

Duration duration_from_secs(double secs) {
  // -0.0 < 0 is false, so negative zero is zero.
  if (secs < 0) internal_failure("cannot convert float seconds to Duration: value is negative");
  // Written as a negated comparison so that NaN fails it too.
  if (!(secs < 18446744073709551616.0)) {
    internal_failure("cannot convert float seconds to Duration: value is either too big or NaN");
  }
  if (secs < 0x1p-31) return {};
  auto whole = static_cast<uint64_t>(secs);
  // The fractional part of a double is exact; the extended product rounds once.
  const long double frac = static_cast<long double>(secs) - static_cast<long double>(whole);
  auto nanos = static_cast<uint64_t>(std::llroundl(frac * 1'000'000'000.0L));
  if (nanos >= 1'000'000'000) {
    // Rounded up into the next second. Values this close to 2^64 have no fraction, so the
    // carry cannot overflow.
    ++whole;
    nanos -= 1'000'000'000;
  }
  return Duration{whole, static_cast<uint32_t>(nanos)};
}

void wrap_argument_error(const char* name) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(raised);
    return;
  }
  Ref original(raised);
  Ref text(PyObject_Str(original.get()));
  if (!text) return;  // str() failed: its exception is raised instead
  Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  Ref wrapped(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!wrapped) return;
  if (PyObject* cause = PyException_GetCause(original.get())) {
    PyException_SetCause(wrapped.get(), cause);  // steals
  }
  PyErr_SetRaisedException(wrapped.release());
}

// ---- Core results -------------------------------------------------------------------------

void raise_error(Error error) {
  kavri_err(std::move(error)).raise();
  fail();
}

PyObject* none() { return Py_NewRef(Py_None); }

PyObject* to_python(bool value) { return Py_NewRef(value ? Py_True : Py_False); }

PyObject* to_python(uint64_t value) { return result(PyLong_FromUnsignedLongLong(value)); }

PyObject* result(PyObject* made) {
  if (made == nullptr) {
    PyErr_Clear();
    internal_failure("failed to create a Python result object");
  }
  return made;
}

// ---- Types --------------------------------------------------------------------------------

PyTypeObject* type_once(PyTypeObject*& slot, PyType_Spec& spec) {
  if (slot != nullptr) return slot;
  PyObject* made = PyType_FromSpec(&spec);
  if (made == nullptr) fail();
  if (slot == nullptr) {
    slot = reinterpret_cast<PyTypeObject*>(made);
  } else {
    Py_DECREF(made);  // another thread stored one first
  }
  return slot;
}

PyObject* enter_self(PyObject* self, PyObject*) {
  return entry([&] {
    const Hold hold(self, Borrow::Shared);
    return Py_NewRef(self);
  });
}

}  // namespace kavri::py
