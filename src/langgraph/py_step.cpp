#include "langgraph/py_step.hpp"

#include <vector>

#include "lib/call.hpp"

namespace derirezaro::py {

namespace {

std::vector<MemberDef> step_functions() {
  return {
      function<&meta_fields>(
          "meta_fields", "(checkpoint, metadata)",
          "The record meta of a checkpoint (a dict) and its metadata, id and parent left None, and\n"
          "whether it is plain: [None, None, ts, v, updated_channels, None, [others, metadata]].\n\n"
          "`ts` is an int of microseconds where that gives back the very same text, `v` and\n"
          "`updated_channels` are taken out where their types are the usual ones, and False\n"
          "stands for each one absent. Plain: every value is one the codec keeps exactly (no\n"
          "types to revive, ints that fit 64 bits, str keys, nesting of at most 32); otherwise\n"
          "the caller encodes [others, metadata] with the serde."),
      function<&apply_plain>(
          "apply_plain", "(store, base, checkpoint, new_versions, dumps_typed, state_class)",
          "Turn `store`, which holds the State `base`, into `checkpoint`'s state and return\n"
          "state_class(versions, seen, values, lists, moved, None, kept); or None, having changed\n"
          "nothing, when the put is not one of plain values: a channel or a node removed, a\n"
          "value written that is a list, missing, or was a list, or a part that is not a dict."),
  };
}

}  // namespace

SubmoduleDefinition step_module() {
  return {"derirezaro._step", "Native parts of a LangGraph saver's put, for derirezaro.langgraph.",
          &step_functions};
}

}  // namespace derirezaro::py
