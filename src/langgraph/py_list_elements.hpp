// The module derirezaro._list_elements (py_list_elements.cpp): the check a
// put makes of a list channel's elements against what it stored last, in the
// same shared object as _core.
#pragma once

#include "lib/module_init.hpp"

namespace derirezaro::py {

SubmoduleDefinition list_elements_module();

}  // namespace derirezaro::py
