// The codec's module functions, `dumps` and `loads`, as rows of the
// module's function table.
#pragma once

#include <vector>

#include "lib/call.hpp"

namespace derirezaro::codec {

std::vector<py::MemberDef> module_functions();

}  // namespace derirezaro::codec
