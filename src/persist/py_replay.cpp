// derirezaro._replay: the Python faces of persist/record_header (header_fault,
// record_checksums), persist/chain_replay (replay_chain),
// persist/state_delta (state_delta) and persist/state_keyframe (state_keyframe),
// the snapshot a timeline commits (snapshot_outside_history), and the read of
// a snapshot's namespace whole that a replayed state is decoded by
// (namespace_dict).
//
// A fault a record is found to have is returned, never raised, as the tuple
// (fault, seq, detail): the number of persist::Fault, the record's seq (None
// when the seq itself is unreadable) and what names it further (the field
// unread, the pair removed), else None. persist/faults.py turns it into the
// exception users see. An error of the caller's (a store that is not one, a
// list that is not a list) raises.
//
// replay_chain:
// The rows are the persist package's StoredRecord tuples. Their fields are
// read with the interpreter lock held, into views of the row's own objects
// (str, bytes), which the rows keep alive: the call holds a reference to
// each row for its whole length, and tuples do not change. A field of any
// type other than the one a log stores is an unreadable header.
// Then the replay runs under every shard's write lock of the store, without
// the interpreter lock when its bodies make it long work.
#include "persist/py_replay.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "codec/byte_buffer.hpp"
#include "codec/py_codec.hpp"
#include "lib/call.hpp"
#include "lib/gil.hpp"
#include "lib/py_ref.hpp"
#include "persist/chain_replay.hpp"
#include "persist/checksums.hpp"
#include "persist/fault.hpp"
#include "persist/record_header.hpp"
#include "persist/state_delta.hpp"
#include "persist/state_keyframe.hpp"
#include "store/drop_cost.hpp"
#include "store/py_snapshot.hpp"
#include "store/py_store.hpp"
#include "store/store.hpp"

namespace derirezaro::py {

namespace {

using persist::StoredFields;

// Below this many entries a keyframe is written with the interpreter lock
// held: about a millisecond at most, less than winning the lock back can cost.
constexpr uint64_t kKeyframeWithTheLock = 2'000;

// StoredRecord's fields, in order.
enum Field : Py_ssize_t {
  kSeq,
  kId,
  kParent,
  kBase,
  kKind,
  kFormat,
  kTimestamp,
  kDigest,
  kHeaderCrc,
  kCrc,
  kMeta,
  kBody,
  kBodySize,
  kFieldCount
};

bool exact_int(PyObject* obj, int64_t& out) {
  if (!PyLong_CheckExact(obj)) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow != 0 || (value == -1 && PyErr_Occurred())) return PyErr_Clear(), false;
  out = value;
  return true;
}

bool exact_text(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_CheckExact(obj)) return false;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);  // fails on lone surrogates
  if (text == nullptr) return PyErr_Clear(), false;
  out = std::string_view(text, static_cast<size_t>(size));
  return true;
}

bool exact_bytes(PyObject* obj, std::string_view& out) {
  if (!PyBytes_CheckExact(obj)) return false;
  out = std::string_view(PyBytes_AsString(obj), static_cast<size_t>(PyBytes_Size(obj)));
  return true;
}

WorkLength length_of_checksum(size_t bytes) {
  return persist::checksum_is_long_work(bytes) ? WorkLength::long_work : WorkLength::short_work;
}

// The header's fields from their objects: the name of the first field of a
// type no log stores, or null when every one is read.
const char* read_header(PyObject* seq, PyObject* id, PyObject* parent, PyObject* base, PyObject* kind,
                        PyObject* format, PyObject* timestamp, PyObject* digest, PyObject* meta,
                        StoredFields& out) {
  std::string_view id_text;
  int64_t parent_seq = 0;
  if (!exact_int(seq, out.seq)) return "seq";
  if (id != Py_None) {
    if (!exact_text(id, id_text)) return "id";
    out.id = id_text;
  }
  if (parent != Py_None) {
    if (!exact_int(parent, parent_seq)) return "parent";
    out.parent = parent_seq;
  }
  if (!exact_int(base, out.base)) return "base";
  if (!exact_int(kind, out.kind)) return "kind";
  if (!exact_int(format, out.format)) return "format";
  if (!PyFloat_CheckExact(timestamp)) return "timestamp";
  out.timestamp = PyFloat_AsDouble(timestamp);
  if (!exact_int(digest, out.digest)) return "digest";
  if (!exact_bytes(meta, out.meta)) return "meta";
  return nullptr;
}

// The fields of `row` but its body: what a header-only read holds.
const char* read_header_fields(PyObject* row, StoredFields& out) {
  if (!PyTuple_Check(row) || PyTuple_Size(row) != kFieldCount) return "record";
  auto at = [row](Field f) { return PyTuple_GetItem(row, f); };  // borrowed, in range
  if (const char* field = read_header(at(kSeq), at(kId), at(kParent), at(kBase), at(kKind), at(kFormat),
                                      at(kTimestamp), at(kDigest), at(kMeta), out)) {
    return field;
  }
  return exact_int(at(kHeaderCrc), out.header_crc) ? nullptr : "header_crc";
}

// The fields of `row`, and `inflated` (None, bytes or bytearray) beside its body. A
// missing body reads as one of no length the header can state.
const char* read_fields(PyObject* row, PyObject* inflated, StoredFields& out) {
  if (const char* field = read_header_fields(row, out)) return field;
  auto at = [row](Field f) { return PyTuple_GetItem(row, f); };
  std::string_view inner;
  if (PyByteArray_CheckExact(inflated)) {
    // A buffer of the exact size, filled by the caller's inflate and held by
    // it alone, so nothing resizes it while the replay reads it unlocked.
    out.inflated =
        std::string_view(PyByteArray_AsString(inflated), static_cast<size_t>(PyByteArray_Size(inflated)));
  } else if (inflated != Py_None) {
    if (!exact_bytes(inflated, inner)) return "inflated body";
    out.inflated = inner;
  }
  if (!exact_int(at(kCrc), out.crc)) return "crc";
  if (!exact_int(at(kBodySize), out.body_size)) return "body_size";
  if (at(kBody) == Py_None) {
    out.body_size = -1;
  } else if (!exact_bytes(at(kBody), out.body)) {
    return "body";
  }
  return nullptr;
}

// (fault, seq, detail): `seq` an object of the row's, or None.
PyObject* fault_tuple(persist::Fault fault, PyObject* seq, PyObject* detail) {
  PyRef code = PyRef::steal(PyLong_FromLong(static_cast<long>(fault)));
  if (!code) return nullptr;
  return PyTuple_Pack(3, code.get(), seq != nullptr && PyLong_CheckExact(seq) ? seq : Py_None, detail);
}

// A fault found of a readable row: a format too new goes with the format found.
PyObject* row_fault(persist::Fault fault, PyObject* row) {
  PyObject* detail = fault == persist::Fault::format_too_new ? PyTuple_GetItem(row, kFormat) : Py_None;
  return fault_tuple(fault, PyTuple_GetItem(row, kSeq), detail);
}

PyObject* seq_of(PyObject* row) {
  return PyTuple_Check(row) && PyTuple_Size(row) == kFieldCount ? PyTuple_GetItem(row, kSeq) : nullptr;
}

// An unreadable header: its detail names the field and the type found.
PyObject* unreadable(PyObject* row, const char* field) {
  PyObject* value = nullptr;
  static constexpr const char* kNames[kFieldCount] = {"seq",    "id",        "parent",   "base",       "kind",
                                                      "format", "timestamp", "digest",   "header_crc", "crc",
                                                      "meta",   "body",      "body_size"};
  if (PyTuple_Check(row) && PyTuple_Size(row) == kFieldCount) {
    for (Py_ssize_t i = 0; i < kFieldCount; ++i) {
      if (std::string_view(kNames[i]) == field) value = PyTuple_GetItem(row, i);
    }
  }
  PyRef detail = PyRef::steal(value == nullptr
                                  ? PyUnicode_FromFormat("%s of no type a log stores", field)
                                  : PyUnicode_FromFormat("%s of %S: no type a log stores, or out of range",
                                                         field, reinterpret_cast<PyObject*>(Py_TYPE(value))));
  if (!detail) return nullptr;
  return fault_tuple(persist::Fault::unreadable_header, seq_of(row), detail.get());
}

// What a header-only read checks of each record: None for a sound header,
// else its fault. A long meta is checksummed without the interpreter lock,
// as zlib's crc32 does: the row's objects, immutable and held by the caller,
// outlive it.
PyObject* header_fault(Utf8 timeline, PyObject* row, PyObject* format_object) {
  const long newest_format = PyLong_AsLong(format_object);
  if (newest_format == -1 && PyErr_Occurred()) return nullptr;
  StoredFields fields;
  if (const char* field = read_header_fields(row, fields)) return unreadable(row, field);
  const persist::Fault fault = run_without_the_lock_if_long(length_of_checksum(fields.meta.size()), [&] {
    return persist::header_fault(timeline.text, fields, newest_format);
  });
  if (fault == persist::Fault::none) Py_RETURN_NONE;
  return row_fault(fault, row);
}

// Every check of a record but its body's contents: None for a sound one,
// else its fault. A long record is checksummed without the interpreter lock.
PyObject* record_fault(Utf8 timeline, PyObject* row, PyObject* format_object) {
  const long newest_format = PyLong_AsLong(format_object);
  if (newest_format == -1 && PyErr_Occurred()) return nullptr;
  StoredFields fields;
  if (const char* field = read_fields(row, Py_None, fields)) return unreadable(row, field);
  const persist::Fault fault = run_without_the_lock_if_long(
      length_of_checksum(fields.meta.size() + fields.body.size()),
      [&] { return persist::record_fault(timeline.text, fields, newest_format); });
  if (fault == persist::Fault::none) Py_RETURN_NONE;
  return row_fault(fault, row);
}

// The two checksums of a record being sealed, (header_crc, crc) as it stores
// them, from its header fields (seq to digest, in StoredRecord order), meta
// and body. A field of a type no log stores is the caller's error: TypeError.
// A long record is checksummed without the interpreter lock.
PyObject* record_checksums(Utf8 timeline, PyObject* header, PyObject* meta, PyObject* body) {
  constexpr Py_ssize_t kHeaderFields = kDigest + 1;
  StoredFields fields;
  std::string_view body_bytes;
  if (!PyTuple_Check(header) || PyTuple_Size(header) != kHeaderFields) {
    PyErr_SetString(PyExc_TypeError, "header must be a tuple of the fields seq to digest");
    return nullptr;
  }
  auto at = [header](Field f) { return PyTuple_GetItem(header, f); };  // borrowed, in range
  const char* field = read_header(at(kSeq), at(kId), at(kParent), at(kBase), at(kKind), at(kFormat),
                                  at(kTimestamp), at(kDigest), meta, fields);
  if (field == nullptr && !exact_bytes(body, body_bytes)) field = "body";
  if (field != nullptr) {
    PyErr_Format(PyExc_TypeError, "record field %s is of no type a log stores, or out of range", field);
    return nullptr;
  }
  std::optional<uint32_t> checksum;
  uint32_t crc = 0;
  auto compute = [&] {
    checksum = persist::header_checksum(timeline.text, fields);
    if (checksum) {
      crc = persist::crc32(reinterpret_cast<const uint8_t*>(body_bytes.data()), body_bytes.size(), *checksum);
    }
  };
  run_without_the_lock_if_long(length_of_checksum(fields.meta.size() + body_bytes.size()), compute);
  if (!checksum) {
    PyErr_SetString(PyExc_ValueError, "the timeline's name or the record's id is too long to store");
    return nullptr;
  }
  PyRef header_crc = PyRef::steal(PyLong_FromLongLong(persist::as_signed32(*checksum)));
  if (!header_crc) return nullptr;
  PyRef record_crc = PyRef::steal(PyLong_FromLongLong(persist::as_signed32(crc)));
  if (!record_crc) return nullptr;
  return PyTuple_Pack(2, header_crc.get(), record_crc.get());
}

PyObject* replay_chain(PyObject* store_object, Utf8 timeline, PyObject* rows, PyObject* inflated,
                       PyObject* digest_object, PyObject* keyframe_object, PyObject* format_object,
                       PyObject* each_step_object) {
  store::Store* store = store_of(store_object);
  if (store == nullptr) return nullptr;
  if (!PyList_CheckExact(rows) || !PyList_CheckExact(inflated) ||
      PyList_Size(rows) != PyList_Size(inflated) || PyList_Size(rows) == 0) {
    PyErr_SetString(PyExc_TypeError, "rows and inflated must be non-empty lists of one length");
    return nullptr;
  }
  const uint64_t digest = PyLong_AsUnsignedLongLong(digest_object);
  if (digest == static_cast<uint64_t>(-1) && PyErr_Occurred()) return nullptr;
  const int from_keyframe = PyObject_IsTrue(keyframe_object);
  const long newest_format = PyLong_AsLong(format_object);
  const int each_step = PyObject_IsTrue(each_step_object);
  if (from_keyframe < 0 || each_step < 0 || (newest_format == -1 && PyErr_Occurred())) return nullptr;

  const Py_ssize_t count = PyList_Size(rows);
  std::vector<PyRef> held;  // keeps every row and inflated body alive while views of them are used
  std::vector<StoredFields> records(static_cast<size_t>(count));
  held.reserve(2 * static_cast<size_t>(count));
  size_t body_bytes = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* row = PyList_GetItem(rows, i);
    PyObject* inner = PyList_GetItem(inflated, i);
    held.push_back(PyRef::borrow(row));
    held.push_back(PyRef::borrow(inner));
    StoredFields& fields = records[static_cast<size_t>(i)];
    if (const char* field = read_fields(row, inner, fields)) return unreadable(row, field);
    body_bytes += fields.inflated ? fields.inflated->size() : fields.body.size();
  }

  const persist::Chain chain{timeline.text,      records,       digest,
                             from_keyframe == 1, newest_format, each_step == 1};
  std::vector<store::NamespaceMap> removed;
  const WorkLength length =
      persist::replay_is_long_work(body_bytes) ? WorkLength::long_work : WorkLength::short_work;
  const persist::Replayed result =
      run_locked(store->every_shard_for_writing(), length, [&](std::vector<store::Shard::Writing>& locked) {
        return persist::replay_chain(*store, locked, chain, removed);
      });
  drop_off_lock_if_large(std::move(removed), store::frees_much);
  if (result.fault == persist::Fault::none) return PyLong_FromUnsignedLongLong(result.digest);
  PyObject* row = PyList_GetItem(rows, static_cast<Py_ssize_t>(result.record));
  if (result.fault != persist::Fault::removes_absent) return row_fault(result.fault, row);
  PyRef pair =
      PyRef::steal(Py_BuildValue("(s#s#)", result.ns.data(), static_cast<Py_ssize_t>(result.ns.size()),
                                 result.key.data(), static_cast<Py_ssize_t>(result.key.size())));
  if (!pair) return nullptr;
  return fault_tuple(result.fault, PyTuple_GetItem(row, kSeq), pair.get());
}

// The store holds the entries of keyframe body `body` (bytes) alone; their
// digest, or None for a body the native reader does not vouch for (the store
// then unchanged). A large body is read without the interpreter lock.
PyObject* load_keyframe(PyObject* store_object, PyObject* body_object) {
  store::Store* store = store_of(store_object);
  if (store == nullptr) return nullptr;
  std::string_view body;
  if (!exact_bytes(body_object, body)) {
    PyErr_SetString(PyExc_TypeError, "body must be bytes");
    return nullptr;
  }
  std::vector<store::NamespaceMap> removed;
  const WorkLength length =
      persist::replay_is_long_work(body.size()) ? WorkLength::long_work : WorkLength::short_work;
  const std::optional<uint64_t> digest =
      run_locked(store->every_shard_for_writing(), length, [&](std::vector<store::Shard::Writing>& locked) {
        return persist::load_keyframe(*store, locked, body, removed);
      });
  drop_off_lock_if_large(std::move(removed), store::frees_much);
  if (!digest) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*digest);
}

// Namespace `ns` of snapshot `snapshot` as a dict, key -> value, in the order
// Store.keys lists the keys: one walk of the namespace's map, where a key by
// key read would hash and look up each key again, and no (key, value) tuple
// made per entry for the caller to take apart. The record is immutable and
// the argument keeps it alive, so no lock is taken; the values are the
// module's own encoding, decoded as Store.get decodes them.
PyObject* namespace_dict(InstanceOf<SnapshotRecord> snapshot, Utf8 ns) {
  const store::SnapshotData& data = *snapshot.record->data;
  const store::KeyMap entries =
      store::Store::keys_of(data.shards[store::shard_index(ns.text)].contents, ns.text);
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  bool failed = false;
  GilYieldPoint yield_point;  // `dict` is ours alone until it is returned
  entries.for_each([&](std::string_view key, const store::SharedBytesRef& value) {
    if (failed) return;
    yield_point.tick();
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr));
    PyRef decoded = text ? PyRef::steal(codec::decode_own_encoding(
                               reinterpret_cast<const uint8_t*>(value.data()), value.size()))
                         : PyRef();
    // Keys are unique within a namespace's map, so every entry adds one item.
    failed = !decoded || PyDict_SetItem(dict.get(), text.get(), decoded.get()) < 0;
  });
  if (failed) return nullptr;
  return dict.release();
}

// A body no chunk of which fits its 4-byte length: the caller's chunk_entries is too large.
PyObject* chunk_too_long() {
  PyErr_SetString(PyExc_ValueError, "a chunk of the body is longer than 4 GiB: chunk_entries is too large");
  return nullptr;
}

// The work follows the size of the change: a change of a few entries is
// the common commit, and no call is long enough to give up the interpreter
// lock for.
PyObject* state_delta(InstanceOf<SnapshotRecord> now, InstanceOf<SnapshotRecord> before,
                      PyObject* digest_object, PyObject* chunk_entries_object) {
  const uint64_t digest = PyLong_AsUnsignedLongLong(digest_object);
  if (digest == static_cast<uint64_t>(-1) && PyErr_Occurred()) return nullptr;
  const Py_ssize_t chunk_entries = PyLong_AsSsize_t(chunk_entries_object);
  if (chunk_entries == -1 && PyErr_Occurred()) return nullptr;
  if (chunk_entries <= 0) {
    PyErr_SetString(PyExc_ValueError, "chunk_entries must be positive");
    return nullptr;
  }
  codec::ByteBuffer encoded;
  const std::optional<uint64_t> after = persist::state_delta(*now.record->data, *before.record->data, digest,
                                                             static_cast<size_t>(chunk_entries), encoded);
  if (!after) return chunk_too_long();
  PyRef body = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(encoded.data()),
                                                      static_cast<Py_ssize_t>(encoded.size())));
  if (!body) return nullptr;
  PyRef sum = PyRef::steal(PyLong_FromUnsignedLongLong(*after));
  if (!sum) return nullptr;
  return PyTuple_Pack(2, body.get(), sum.get());
}

// The whole state: work that grows with it, so a large one is written
// without the interpreter lock (the record is immutable, and the argument
// keeps it alive).
PyObject* state_keyframe(InstanceOf<SnapshotRecord> now, PyObject* chunk_entries_object,
                         PyObject* with_digest_object) {
  const Py_ssize_t chunk_entries = PyLong_AsSsize_t(chunk_entries_object);
  if (chunk_entries == -1 && PyErr_Occurred()) return nullptr;
  if (chunk_entries <= 0) {
    PyErr_SetString(PyExc_ValueError, "chunk_entries must be positive");
    return nullptr;
  }
  const int with_digest = PyObject_IsTrue(with_digest_object);
  if (with_digest < 0) return nullptr;
  const store::SnapshotData& data = *now.record->data;
  uint64_t entries = 0;
  for (const store::ShardState& shard : data.shards) entries += shard.entries;
  codec::ByteBuffer encoded;
  std::optional<uint64_t> digest;
  const WorkLength length = entries < kKeyframeWithTheLock ? WorkLength::short_work : WorkLength::long_work;
  digest = run_without_the_lock_if_long(length, [&] {
    return persist::state_keyframe(data, static_cast<size_t>(chunk_entries), with_digest == 1, encoded);
  });
  if (!digest) return chunk_too_long();
  PyRef body = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(encoded.data()),
                                                      static_cast<Py_ssize_t>(encoded.size())));
  if (!body) return nullptr;
  if (with_digest == 0) return PyTuple_Pack(2, body.get(), Py_None);
  PyRef sum = PyRef::steal(PyLong_FromUnsignedLongLong(*digest));
  if (!sum) return nullptr;
  return PyTuple_Pack(2, body.get(), sum.get());
}

std::vector<MemberDef> replay_functions() {
  return {
      function<&header_fault>(
          "header_fault", "(timeline, row, newest_format)",
          "What is wrong with the header of StoredRecord `row`, read by code of `newest_format`.\n\n"
          "None for a sound header, else (fault, seq, detail): persist/faults.py names each fault."),
      function<&record_fault>(
          "record_fault", "(timeline, row, newest_format)",
          "What is wrong with StoredRecord `row` but its body's contents: header, length, checksum.\n\n"
          "None for a sound record, else (fault, seq, detail): persist/faults.py names each fault."),
      function<&record_checksums>(
          "record_checksums", "(timeline, header, meta, body)",
          "The checksums of a record being sealed: (header_crc, crc), as it stores them.\n\n"
          "`header` is the tuple of its fields seq to digest, in StoredRecord order; a field of\n"
          "a type no log stores raises TypeError."),
      function<&replay_chain>(
          "replay_chain",
          "(store, timeline, rows, inflated, digest, from_keyframe, newest_format, each_step)",
          "Check and apply stored records to `store`; the state digest after them, or a fault.\n\n"
          "`rows` are StoredRecord tuples, oldest first, and `inflated` holds, for each, the body a\n"
          "compressed one holds, or None. With `from_keyframe`, the first row is a keyframe that\n"
          "replaces the store's state; otherwise the rows are deltas applied to it, from `digest`.\n"
          "With `each_step`, every record's digest is checked after it, a keyframe's against its\n"
          "entries too; otherwise the last record's, once.\n"
          "A fault is (fault, seq, detail), as persist/faults.py reads it; the store is then in no\n"
          "particular state."),
      function<&load_keyframe>(
          "load_keyframe", "(store, body)",
          "Make `store` hold the entries of keyframe body `body` (uncompressed) alone: their digest.\n\n"
          "None, the store unchanged, for a body the native reader does not vouch for."),
      function<&snapshot_outside_history>(
          "snapshot_outside_history", "(store)",
          "A snapshot of `store`, numbered as `Store.snapshot` numbers them, that its history does\n"
          "not keep: the caller holds it as long as it needs it."),
      function<&namespace_dict>(
          "namespace_dict", "(snapshot, namespace)",
          "`namespace` of `snapshot` as a dict of key to value, in the order `Store.keys` lists its\n"
          "keys: what a `get` of each would return, read in one walk of the namespace. {} for a\n"
          "namespace the snapshot does not hold."),
      function<&state_delta>(
          "state_delta", "(now, before, digest, chunk_entries)",
          "The change from snapshot `before` to snapshot `now` as a commit records it: (body, digest).\n\n"
          "`body` is the encoded body, uncompressed: one [sets, removes] for up to `chunk_entries`\n"
          "entries, else framed in chunks of that many; `digest` the state digest after it, from\n"
          "`digest` before it. ValueError when a chunk is too long for its 4-byte length."),
      function<&state_keyframe>(
          "state_keyframe", "(now, chunk_entries, with_digest)",
          "Every entry of snapshot `now` as a keyframe records it: (body, digest).\n\n"
          "`body` is the encoded body of the whole state, uncompressed: one [sets, {}] for up to\n"
          "`chunk_entries` entries, else framed in chunks of that many; `digest` is the state's\n"
          "digest, or None without `with_digest`. ValueError when a chunk is too long for its\n"
          "4-byte length."),
  };
}

}  // namespace

SubmoduleDefinition replay_module() {
  return {"derirezaro._replay", "Native replay and deltas of stored records, for derirezaro.persist.",
          &replay_functions};
}

}  // namespace derirezaro::py
