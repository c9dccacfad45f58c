#include "python/module.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

#include "logging.h"
#include "python/bus.h"
#include "python/exceptions.h"
#include "python/frame.h"
#include "python/stats.h"
#include "python/subscription.h"
#include "python/topic_publisher.h"

namespace kavri::py {

void add_to_module(PyObject* module, const char* name, PyObject* object) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
    PyErr_Clear();
    all = Ref::checked(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) fail();
  } else if (!PyList_Check(all.get())) {
    fail(PyExc_TypeError, "__all__ must be a list");
  }
  Ref text = Ref::checked(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), text.get()) < 0) fail();
  if (PyObject_SetAttrString(module, name, object) < 0) fail();
}

namespace {

constexpr const char* kInitLoggingParams[] = {"level"};
constexpr Signature kInitLogging{"init_logging", nullptr, kInitLoggingParams, 0};

// The interpreter lock stays held: installing the logger does no waiting.
PyObject* init_logging(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kInitLogging, args, nargs, kwnames);
    const std::optional<std::string_view> level = optional(a, 0, as_text);
    return to_python(logging::init_logging(level));
  });
}

constexpr char kInitLoggingDoc[] =
    "init_logging(level=None)\n"
    "--\n"
    "\n"
    "Install the process-wide logger that writes kavri's log events to standard error.\n"
    "\n"
    "The filter comes from the RUST_LOG environment variable when it is set, else from\n"
    "`level`, else \"info\". Returns True only on the call that installs the logger, and\n"
    "False on every later call.";

PyMethodDef g_init_logging = {"init_logging", as_method(init_logging),
                              METH_FASTCALL | METH_KEYWORDS, kInitLoggingDoc};

// A builtin function bound to the module (its __self__), added under its own __name__.
void add_function(PyObject* module, PyMethodDef& def) {
  Ref module_name = Ref::checked(PyModule_GetNameObject(module));
  Ref function = Ref::checked(PyCFunction_NewEx(&def, module, module_name.get()));
  Ref name = Ref::checked(PyObject_GetAttrString(function.get(), "__name__"));
  if (!PyUnicode_Check(name.get())) fail(PyExc_TypeError, "__name__ must be a str");
  const char* text = PyUnicode_AsUTF8(name.get());
  if (text == nullptr) fail();
  add_to_module(module, text, function.get());
}

// The module's contents, in this order; __all__ lists them in the same order.
void init(PyObject* module) {
  add_to_module(module, "_RustBus", reinterpret_cast<PyObject*>(bus_type()));
  add_to_module(module, "TopicPublisher", reinterpret_cast<PyObject*>(topic_publisher_type()));
  add_to_module(module, "Subscription", reinterpret_cast<PyObject*>(subscription_type()));
  add_to_module(module, "TopicStats", reinterpret_cast<PyObject*>(topic_stats_type()));
  add_to_module(module, "WalStats", reinterpret_cast<PyObject*>(wal_stats_type()));
  add_function(module, g_init_logging);
  register_exceptions(module);  // 7 to 13
}

// Single-phase: no per-module state, no method table (init adds the one function).
PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "_kavri", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The id of the interpreter that first imported the module; -1 until then. This is the one
// value shared between interpreters: a second interpreter fails at the exchange and touches
// nothing else, so it orders no other memory and relaxed suffices.
std::atomic<int64_t> g_interpreter{-1};

// The module, kept for later imports in the same interpreter; guarded by its lock.
PyObject* g_module = nullptr;

PyObject* create_module() {
  return entry([]() -> PyObject* {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) fail();  // sets SystemError when the call set nothing
    int64_t recorded = -1;
    if (!g_interpreter.compare_exchange_strong(recorded, id, std::memory_order_relaxed) &&
        recorded != id) {
      fail(PyExc_ImportError,
           "kavri._kavri cannot be imported in a sub-interpreter: it is bound to the "
           "interpreter that imported it first");
    }
    if (g_module != nullptr) return Py_NewRef(g_module);
    // On a failed init the half-built module is released here and nothing is kept, so a
    // later import tries again.
    Ref module = Ref::checked(PyModule_Create(&g_definition));
    init(module.get());
    g_module = module.release();
    return Py_NewRef(g_module);
  });
}

}  // namespace

}  // namespace kavri::py

// The only exported symbol of the library.
PyMODINIT_FUNC PyInit__kavri() { return kavri::py::create_module(); }
