#include "python/bus.h"

#include <fmt/format.h>

#include <optional>
#include <string>
#include <string_view>

#include "config.h"
#include "python/frame.h"

namespace kavri::py {

namespace {

// What a `_RustBus` object wraps.
// TODO(bus): until the core's Bus exists this keeps the name and the configuration it is to
// be made with; the Bus (Bus::with_config(name, config)) replaces both fields here, and this
// is the only place that changes.
struct PyBus {
  std::string name;
  BusConfig config;
};

// The text in double quotes with backslash escapes, as a debug rendering shows it: \" \\ \t
// \r \n \0, and every other non-printable character as \u{hex}. `text` is valid UTF-8 (it
// comes from a str).
std::string debug_quoted(std::string_view text) {
  std::string out = "\"";
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t cp = length == 1   ? lead
                  : length == 2 ? lead & 0x1F
                  : length == 3 ? lead & 0x0F
                                : lead & 0x07;
    for (size_t k = 1; k < length && i + k < text.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    switch (cp) {
      case U'"':
        out += "\\\"";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(cp))) {
          out.append(text.substr(i, length));
        } else {
          out += fmt::format("\\u{{{:x}}}", static_cast<uint32_t>(cp));
        }
    }
    i += length;
  }
  out += '"';
  return out;
}

// The bus's configuration from the constructor's settings; an absent one takes its default.
// Nothing but the policy text is checked: 0 and the largest u32 are stored unchanged.
BusConfig build_config(std::optional<std::string_view> base_dir, std::optional<uint32_t> capacity,
                       std::optional<uint32_t> slot_size, std::optional<uint32_t> max_subscribers,
                       std::optional<std::string_view> backpressure,
                       std::optional<bool> wal_enabled) {
  BusConfig config;
  config.base_dir = std::string(base_dir.value_or("/tmp/kavri"));
  config.capacity = capacity.value_or(256);
  config.slot_size = slot_size.value_or(65536);
  config.max_subscribers = max_subscribers.value_or(16);
  config.backpressure = Backpressure::Error;
  if (backpressure) {
    const std::optional<Backpressure> policy = parse_backpressure(*backpressure);
    if (!policy) {
      fail(PyExc_ValueError,
           "backpressure must be \"error\" or \"drop_oldest\", got " + debug_quoted(*backpressure));
    }
    config.backpressure = *policy;
  }
  config.wal.enabled = wal_enabled.value_or(true);
  config.wal.flush_interval = Duration::from_millis(5);
  config.wal.segment_max_bytes = 64 * kMiB;
  config.wal.retention_max_bytes = 1024 * kMiB;
  config.wal.fsync_policy = FsyncPolicy::Interval;
  return config;
}

constexpr const char* kNewPositional[] = {"name"};
constexpr KeywordOnly kNewKeywordOnly[] = {
    {"base_dir", false},        {"capacity", false},     {"slot_size", false},
    {"max_subscribers", false}, {"backpressure", false}, {"wal_enabled", false},
};
constexpr Signature kNew{"__new__", "_RustBus", kNewPositional, 1, kNewKeywordOnly};

PyObject* bus_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry([&] {
    const Args a = bind(kNew, args, kwargs);
    const std::string_view name = required(a, 0, as_text);
    const auto base_dir = optional(a, 1, as_text);
    const auto capacity = optional(a, 2, as_u32);
    const auto slot_size = optional(a, 3, as_u32);
    const auto max_subscribers = optional(a, 4, as_u32);
    const auto backpressure = optional(a, 5, as_text);
    const auto wal_enabled = optional(a, 6, as_bool);
    BusConfig config =
        build_config(base_dir, capacity, slot_size, max_subscribers, backpressure, wal_enabled);
    return allocate(type, PyBus{std::string(name), std::move(config)});
  });
}

constexpr char kDoc[] =
    "_RustBus(name, *, base_dir=None, capacity=None, slot_size=None, max_subscribers=None, "
    "backpressure=None, wal_enabled=None)\n"
    "--\n"
    "\n"
    "The low-level bus: publishers and subscriptions for the topics of one named bus.\n"
    "\n"
    "Prefer the package's kavri.Bus, which wraps this class and adds asynchronous use and the\n"
    "context-manager protocol.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(bus_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PyBus>)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

// Final (no Py_TPFLAGS_BASETYPE), no instance dictionary, no weak references.
PyType_Spec kSpec = {
    "kavri._kavri._RustBus", sizeof(Object<PyBus>), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* bus_type() { return type_once(g_type, kSpec); }

}  // namespace kavri::py
