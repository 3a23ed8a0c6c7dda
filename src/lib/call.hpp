// The call wrapper: every module function, method, property, constructor
// and special slot is entered through one of the trampolines below, written
// once as templates over the member's C++ function.
//
// A trampoline, in order:
// 1. checks the receiver's type and takes the member's borrow of it
//    (methods and slots only);
// 2. binds positional and keyword arguments by the member's Signature;
// 3. converts each bound argument with ArgCaster<T> for the C++ type the
//    member declares, in parameter order, applying the "argument '<name>':"
//    rule to a conversion TypeError;
// 4. calls the member and turns its result into a Python object with
//    ResultCaster<R> (void becomes None);
// 5. turns a C++ exception into a Python one (raise_from_current_exception).
//
// Members return plain C++ values, or PyObject* (a new reference, or null
// with an exception set) when they build the object themselves. Slots whose
// C signature wants a number (__len__, __contains__) return it as it is
// (-1 = error); __contains__ may return bool.
//
// Declaring a member is one line in its class's table:
//   method<&store_get>("get", "($self, namespace, key, default=None)", "doc")
// The C++ function's parameter types choose the conversions; the text
// signature names the parameters and says which are required.
#pragma once

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "lib/arg_casters.hpp"
#include "lib/borrow.hpp"
#include "lib/errors.hpp"
#include "lib/instance.hpp"
#include "lib/python.hpp"
#include "lib/result_casters.hpp"
#include "lib/signature.hpp"

namespace derirezaro::py {

// Which borrow a member of a class takes by default. A class may
// specialise it: one whose instances never change needs no borrow at all
// (Borrow::none).
template <class Record>
inline constexpr Borrow default_borrow = Borrow::shared;

// The Signature a member's trampoline binds with, one per table row: the
// row's own trampoline instance reads it, so one C++ function bound twice,
// as a method and as a slot (`has_node` and `__contains__`), keeps two,
// each naming its own member. A row is told apart by its C++ function and
// its slot id (0 for every row that is not a slot), which is all a
// trampoline's template arguments can see; two method rows of one function
// would share one, and registration refuses that. Written once at import
// (when the member's table is registered) and read-only afterwards.
template <auto Fn, int Slot = 0>
struct SignatureOf {
  static inline const Signature* signature = nullptr;
};

enum class MemberKind : uint8_t { function, method, property, constructor, slot };

// One row of a class's (or the module's) member table.
struct MemberDef {
  MemberKind kind;
  const char* name;            // Python-visible name; null for slots
  const char* text_signature;  // "($self, key)"; null for properties and slots
  const char* doc;
  int flags;                    // METH_* flags of functions and methods
  void* impl;                   // the trampoline
  int slot;                     // Py_tp_* / Py_mp_* / Py_sq_* id of slots
  const Signature** signature;  // where the trampoline finds its Signature, if it binds
  const char* slot_signature;   // parameters of a slot that takes an argument
};

namespace detail {

template <class F>
struct FunctionTraits;

template <class R, class... A>
struct FunctionTraits<R (*)(A...)> {
  using Result = R;
  using Params = std::tuple<std::decay_t<A>...>;
};

// A method's C++ function takes its receiver's record first.
template <class F>
struct MethodTraits;

template <class R, class Rec, class... A>
struct MethodTraits<R (*)(Rec&, A...)> {
  using Result = R;
  using Record = Rec;
  using Params = std::tuple<std::decay_t<A>...>;
};

template <class F>
struct ConstructorTraits;

template <class R, class... A>
struct ConstructorTraits<R (*)(PyTypeObject*, A...)> {
  using Params = std::tuple<std::decay_t<A>...>;
};

template <class R>
constexpr R error_result() {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return static_cast<R>(-1);
  }
}

template <size_t I, class Params>
bool convert_one(const Signature& sig, PyObject* const* slots, Params& out) {
  if (slots[I] == nullptr) return true;  // not given: keeps its default
  using T = std::tuple_element_t<I, Params>;
  if (ArgCaster<T>::convert(slots[I], std::get<I>(out))) return true;
  prefix_argument_error(sig.name(I));
  return false;
}

template <class Params, size_t... I>
bool convert_all(const Signature& sig, PyObject* const* slots, Params& out, std::index_sequence<I...>) {
  return (convert_one<I>(sig, slots, out) && ...);
}

template <class Params>
bool convert_args(const Signature& sig, PyObject* const* slots, Params& out) {
  return convert_all(sig, slots, out, std::make_index_sequence<std::tuple_size_v<Params>>{});
}

// Step 4: calls `call()` and returns its result as a Python object.
template <class Call>
PyObject* call_to_python(Call&& call) {
  using R = std::decay_t<std::invoke_result_t<Call>>;
  if constexpr (std::is_void_v<R>) {
    call();
    Py_RETURN_NONE;
  } else {
    return ResultCaster<R>::to_python(call());
  }
}

// Steps 1 and 5 around `body(record)` for members that have a receiver.
template <class Record, Borrow B, class R, class Body>
R with_receiver(PyObject* self, Body&& body) noexcept {
  try {
    if (Py_TYPE(self) != Instance<Record>::type) {
      raise_conversion_error(self, Record::kClassName);
      return error_result<R>();
    }
    Instance<Record>* instance = Instance<Record>::from(self);
    BorrowGuard guard(instance->borrow, B);
    if (!guard.acquired()) return error_result<R>();
    return body(instance->record);
  } catch (...) {
    raise_from_current_exception();
    return error_result<R>();
  }
}

// --- trampolines ---------------------------------------------------------

template <auto Fn>
PyObject* function_noargs(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
  try {
    return call_to_python([] { return Fn(); });
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

template <auto Fn>
PyObject* function_fastcall(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  using Params = typename FunctionTraits<decltype(Fn)>::Params;
  try {
    const Signature& sig = *SignatureOf<Fn>::signature;
    PyObject* slots[kMaxParams] = {};
    if (!sig.bind(args, static_cast<size_t>(nargs), kwnames, slots)) return nullptr;
    Params params{};
    if (!convert_args(sig, slots, params)) return nullptr;
    return call_to_python([&] { return std::apply(Fn, std::move(params)); });
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

template <auto Fn, Borrow B>
PyObject* method_noargs(PyObject* self, PyObject* /*unused*/) noexcept {
  using Record = typename MethodTraits<decltype(Fn)>::Record;
  return with_receiver<Record, B, PyObject*>(
      self, [](Record& record) { return call_to_python([&] { return Fn(record); }); });
}

template <auto Fn, Borrow B>
PyObject* method_fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  using Traits = MethodTraits<decltype(Fn)>;
  using Record = typename Traits::Record;
  return with_receiver<Record, B, PyObject*>(self, [&](Record& record) -> PyObject* {
    const Signature& sig = *SignatureOf<Fn>::signature;
    PyObject* slots[kMaxParams] = {};
    if (!sig.bind(args, static_cast<size_t>(nargs), kwnames, slots)) return nullptr;
    typename Traits::Params params{};
    if (!convert_args(sig, slots, params)) return nullptr;
    return call_to_python([&] { return std::apply([&](auto&... p) { return Fn(record, p...); }, params); });
  });
}

template <auto Fn, Borrow B>
PyObject* property_getter(PyObject* self, void* /*closure*/) noexcept {
  using Record = typename MethodTraits<decltype(Fn)>::Record;
  return with_receiver<Record, B, PyObject*>(
      self, [](Record& record) { return call_to_python([&] { return Fn(record); }); });
}

template <auto Fn>
PyObject* constructor_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) noexcept {
  using Params = typename ConstructorTraits<decltype(Fn)>::Params;
  try {
    const Signature& sig = *SignatureOf<Fn>::signature;
    PyObject* slots[kMaxParams] = {};
    if (!sig.bind(args, kwargs, slots)) return nullptr;
    Params params{};
    if (!convert_args(sig, slots, params)) return nullptr;
    return std::apply([&](auto&... p) { return Fn(cls, p...); }, params);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

// Slots with no argument beyond the receiver: __len__ and __hash__ return
// their number as it is; __repr__ returns any value ResultCaster takes.
template <class R>
using UnarySlotResult = std::conditional_t<std::is_integral_v<R> && !std::is_same_v<R, bool>, R, PyObject*>;

template <auto Fn, Borrow B>
UnarySlotResult<typename MethodTraits<decltype(Fn)>::Result> slot_unary(PyObject* self) noexcept {
  using Traits = MethodTraits<decltype(Fn)>;
  using Record = typename Traits::Record;
  using Result = UnarySlotResult<typename Traits::Result>;
  return with_receiver<Record, B, Result>(self, [](Record& record) -> Result {
    if constexpr (std::is_same_v<Result, PyObject*>) {
      return call_to_python([&] { return Fn(record); });
    } else {
      return Fn(record);
    }
  });
}

// Slots with one argument (__contains__): the argument is converted like a
// method's, under the parameter name of the slot's signature.
template <auto Fn, Borrow B, int Slot>
int slot_binary(PyObject* self, PyObject* arg) noexcept {
  using Traits = MethodTraits<decltype(Fn)>;
  using Record = typename Traits::Record;
  return with_receiver<Record, B, int>(self, [&](Record& record) -> int {
    const Signature& sig = *SignatureOf<Fn, Slot>::signature;
    PyObject* slots[kMaxParams] = {arg};
    typename Traits::Params params{};
    if (!convert_args(sig, slots, params)) return -1;
    return static_cast<int>(std::apply([&](auto&... p) { return Fn(record, p...); }, params));
  });
}

// A trampoline as the untyped pointer that method tables and type slots hold.
template <class F>
void* type_erased(F fn) {
  return reinterpret_cast<void*>(fn);
}

}  // namespace detail

// --- table rows -------------------------------------------------------------

template <auto Fn>
MemberDef function(const char* name, const char* text_signature, const char* doc) {
  using Params = typename detail::FunctionTraits<decltype(Fn)>::Params;
  if constexpr (std::tuple_size_v<Params> == 0) {
    return {MemberKind::function,
            name,
            text_signature,
            doc,
            METH_NOARGS,
            detail::type_erased(&detail::function_noargs<Fn>),
            0,
            nullptr,
            nullptr};
  } else {
    return {MemberKind::function,
            name,
            text_signature,
            doc,
            METH_FASTCALL | METH_KEYWORDS,
            detail::type_erased(&detail::function_fastcall<Fn>),
            0,
            &SignatureOf<Fn>::signature,
            nullptr};
  }
}

template <auto Fn, Borrow B = default_borrow<typename detail::MethodTraits<decltype(Fn)>::Record>>
MemberDef method(const char* name, const char* text_signature, const char* doc) {
  using Params = typename detail::MethodTraits<decltype(Fn)>::Params;
  if constexpr (std::tuple_size_v<Params> == 0) {
    return {MemberKind::method,
            name,
            text_signature,
            doc,
            METH_NOARGS,
            detail::type_erased(&detail::method_noargs<Fn, B>),
            0,
            nullptr,
            nullptr};
  } else {
    return {MemberKind::method,
            name,
            text_signature,
            doc,
            METH_FASTCALL | METH_KEYWORDS,
            detail::type_erased(&detail::method_fastcall<Fn, B>),
            0,
            &SignatureOf<Fn>::signature,
            nullptr};
  }
}

template <auto Fn, Borrow B = default_borrow<typename detail::MethodTraits<decltype(Fn)>::Record>>
MemberDef property(const char* name, const char* doc) {
  return {MemberKind::property,
          name,
          nullptr,
          doc,
          0,
          detail::type_erased(&detail::property_getter<Fn, B>),
          0,
          nullptr,
          nullptr};
}

// `text_signature` is the class's, e.g. "(backend=\"memory\", codec=\"msgpack\")".
template <auto Fn>
MemberDef constructor(const char* text_signature) {
  return {MemberKind::constructor,
          "__new__",
          text_signature,
          nullptr,
          0,
          detail::type_erased(&detail::constructor_new<Fn>),
          Py_tp_new,
          &SignatureOf<Fn>::signature,
          nullptr};
}

template <int Slot, auto Fn, Borrow B = default_borrow<typename detail::MethodTraits<decltype(Fn)>::Record>>
MemberDef slot() {
  return {
      MemberKind::slot, nullptr, nullptr, nullptr, 0, detail::type_erased(&detail::slot_unary<Fn, B>), Slot,
      nullptr,          nullptr};
}

// A slot taking one argument, e.g. slot<Py_sq_contains, &fn>("__contains__", "(node)"):
// the name and parameter list are those its conversion errors speak of.
// `fn` may also be bound as a method: the slot has a Signature of its own.
template <int Slot, auto Fn, Borrow B = default_borrow<typename detail::MethodTraits<decltype(Fn)>::Record>>
MemberDef slot(const char* name, const char* parameters) {
  static_assert(Slot != 0, "slot ids are positive: 0 keys the rows that are not slots");
  return {MemberKind::slot,
          name,
          nullptr,
          nullptr,
          0,
          detail::type_erased(&detail::slot_binary<Fn, B, Slot>),
          Slot,
          &SignatureOf<Fn, Slot>::signature,
          parameters};
}

}  // namespace derirezaro::py
