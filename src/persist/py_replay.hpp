// The module derirezaro._replay (py_replay.cpp): native replay for the
// persist package, in the same shared object as _core.
#pragma once

#include "lib/module_init.hpp"

namespace derirezaro::py {

SubmoduleDefinition replay_module();

}  // namespace derirezaro::py
