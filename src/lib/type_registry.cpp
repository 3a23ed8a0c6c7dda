#include "lib/type_registry.hpp"

#include <deque>
#include <stdexcept>
#include <string>

#include "lib/py_ref.hpp"

namespace derirezaro::py {

namespace {

// Storage that outlives every type and function made from it. Written only
// during module initialisation, which the import lock runs one at a time.
std::deque<std::string>& lasting_strings() {
  static std::deque<std::string> strings;
  return strings;
}

const char* keep(std::string text) { return lasting_strings().emplace_back(std::move(text)).c_str(); }

// "name(sig)\n--\n\ndoc": how the interpreter finds a text signature.
const char* doc_with_signature(const char* name, const char* text_signature, const char* doc) {
  if (text_signature == nullptr) return doc;
  return keep(std::string(name) + text_signature + "\n--\n\n" + (doc != nullptr ? doc : ""));
}

PyMethodDef method_def(const MemberDef& m) {
  return PyMethodDef{m.name, reinterpret_cast<PyCFunction>(m.impl), m.flags,
                     doc_with_signature(m.name, m.text_signature, m.doc)};
}

void bind_signature(const std::string& owner, const MemberDef& m) {
  if (m.signature == nullptr) return;
  const char* params = m.kind == MemberKind::slot ? m.slot_signature : m.text_signature;
  std::string qualified = owner.empty() ? std::string(m.name) : owner + "." + m.name;
  // Rows of one C++ function share a Signature only when neither is a slot
  // (SignatureOf): a second such row would make the first one's messages
  // name the second member. (A retried import binds the same member again,
  // which is fine.)
  if (*m.signature != nullptr && (*m.signature)->full_name() != qualified + "()") {
    throw std::logic_error("one C++ function serves both " + (*m.signature)->full_name() + " and " +
                           qualified + "()");
  }
  *m.signature = new Signature(qualified, params);  // lives for the process
}

PyObject* no_constructor(PyTypeObject* cls, PyObject*, PyObject*) noexcept {
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(cls), "__name__"));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

}  // namespace

PyTypeObject* create_class(const ClassDefinition& definition) {
  auto* methods = new std::vector<PyMethodDef>();  // lives for the process
  auto* getsets = new std::vector<PyGetSetDef>();  // likewise
  std::vector<PyType_Slot> slots;
  const char* class_text_signature = nullptr;

  for (const MemberDef& m : definition.members) {
    bind_signature(definition.name, m);
    switch (m.kind) {
      case MemberKind::method:
      case MemberKind::function: methods->push_back(method_def(m)); break;
      case MemberKind::property:
        getsets->push_back(PyGetSetDef{m.name, reinterpret_cast<getter>(m.impl), nullptr, m.doc, nullptr});
        break;
      case MemberKind::constructor:
        class_text_signature = m.text_signature;
        slots.push_back({m.slot, m.impl});
        break;
      case MemberKind::slot: slots.push_back({m.slot, m.impl}); break;
    }
  }
  if (class_text_signature == nullptr) {
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(&no_constructor)});
  }
  methods->push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  getsets->push_back(PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr});

  const char* doc = doc_with_signature(definition.name, class_text_signature, definition.doc);
  if (doc != nullptr && *doc != '\0') slots.push_back({Py_tp_doc, const_cast<char*>(doc)});
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(definition.dealloc)});
  slots.push_back({Py_tp_methods, methods->data()});
  slots.push_back({Py_tp_getset, getsets->data()});
  slots.push_back({0, nullptr});

  PyType_Spec type_spec{keep(std::string("derirezaro._core.") + definition.name), definition.basicsize, 0,
                        Py_TPFLAGS_DEFAULT, slots.data()};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

PyObject* create_function(PyObject* module, const MemberDef& def) {
  bind_signature("", def);
  auto* method = new PyMethodDef(method_def(def));  // lives for the process
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return nullptr;
  return PyCMethod_New(method, module, module_name.get(), nullptr);
}

}  // namespace derirezaro::py
