#include "codec/py_functions.hpp"

#include "codec/py_codec.hpp"
#include "codec/py_list_items.hpp"

namespace derirezaro::codec {

namespace {

PyObject* dumps(PyObject* obj) { return encode_to_bytes(obj); }

PyObject* loads(py::ByteView data) { return decode_to_object(data.data, data.size); }

}  // namespace

std::vector<py::MemberDef> module_functions() {
  // Called once, while the module loads: before any walk reads a list.
  decide_list_reads();
  return {
      py::function<&dumps>(
          "dumps", "(obj)",
          "Serialize a Python object to msgpack bytes (derirezaro's stable, cross-language codec)."),
      py::function<&loads>("loads", "(data)", "Deserialize msgpack bytes back into a Python object."),
  };
}

}  // namespace derirezaro::codec
