// Python objects to Value trees, for the routing graph: `route` converts
// its state once, with the interpreter lock held, into a Value that the
// condition evaluator then reads without it. The rules and the errors are
// those of encoding (its walk, or StateCheck's shorter road to the same
// answer), so a state that `dumps` refuses is refused here with the same
// exception. Converting only what the guards can read keeps routing cheap
// on large states.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "codec/name_set.hpp"
#include "codec/value.hpp"
#include "lib/py_ref.hpp"
#include "lib/python.hpp"

namespace derirezaro::codec {

// Names as str objects, each made once and kept: a dict lookup needs the
// object, and making and hashing it costs several times the lookup itself.
class NameObjects {
 public:
  // Makes the objects of `names` not yet kept. False with the exception set
  // when one cannot be made; those made before it are kept.
  bool add(const std::vector<std::string>& names);
  // The kept object of `name`, or null.
  PyObject* find(std::string_view name) const {
    auto found = objects_.find(name);
    return found != objects_.end() ? found->second.get() : nullptr;
  }

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const noexcept { return std::hash<std::string_view>{}(name); }
  };
  std::unordered_map<std::string, py::PyRef, Hash, std::equal_to<>> objects_;
};

// What a reader of paths needs of `obj`, or false with a Python exception
// set: when `obj` is a dict, a Map of only its str keys found in `roots` with their values, in no
// particular order; otherwise Nil, which no path can read into. Every path starting at a root reads the
// same as in a conversion of the whole of `obj`, and any other path reads nothing in both. The whole of
// `obj` is checked first, so a refused object anywhere raises exactly what encoding it would. `objects`
// holds the roots' str objects where it can (any missing one is made for the call).
bool py_to_value_reading(PyObject* obj, const NameSet& roots, const NameObjects& objects, Value& out);

}  // namespace derirezaro::codec
