"""The module's surface: exports, names, signatures and docstrings (those of the
type stub), the call wrapper's argument errors, its refusal of every interpreter
but the main one, and the import errors that name a missing extra."""

import ast
import importlib
import re
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import derirezaro
import pytest
from conftest import Index, Outer
from derirezaro import Store, _core


def test_module_identity_exports_and_version():
    references = sys.getrefcount(_core)
    saved = sys.modules.pop("derirezaro._core")
    try:
        # Single-phase init hands back the one module the process keeps, so a
        # second import cannot run the body again and duplicate __all__.
        assert importlib.import_module("derirezaro._core") is saved is _core
    finally:
        sys.modules["derirezaro._core"] = saved
    del saved
    assert sys.getrefcount(_core) == references, "a second import hands out a new reference"
    assert [*_core.__all__, "to_mermaid"] == derirezaro.__all__ == [
        "__version__", "core_version", "dumps", "loads", "Store", "Snapshot", "HandoffGraph", "to_mermaid"
    ]  # fmt: skip
    assert (_core.__name__, _core.__doc__) == ("derirezaro._core", "The `derirezaro._core` native module.")
    assert _core.__version__ == _core.core_version() == derirezaro.__version__
    assert _core.loads(data=type("Payload", (bytes,), {})(_core.dumps(obj=[1]))) == [1]


STUB = {}  # qualified name -> its definition in the type stub


def _index(body, owner=""):
    for node in body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            STUB[owner + node.name] = node
        if isinstance(node, ast.ClassDef):
            _index(node.body, node.name + ".")


_index(ast.parse((Path(_core.__file__).parent / "_core.pyi").read_text(encoding="utf-8")).body)
SURFACE = ["core_version", "dumps", "loads"]
for _class in (_core.Store, _core.Snapshot, _core.HandoffGraph):
    SURFACE += [_class.__name__, *(f"{_class.__name__}.{n}" for n in vars(_class) if not n.startswith("_"))]


def text_signature(node):
    # The stub's parameters as the module writes them: $self first, no cls,
    # defaults as in Python source with strings in double quotes.
    if isinstance(node, ast.ClassDef):
        node = STUB.get(node.name + ".__new__")
    if node is None or any(getattr(d, "id", "") == "property" for d in node.decorator_list):
        return None
    shown = [("$" if a.arg == "self" else "") + a.arg for a in node.args.args if a.arg != "cls"]
    for i, default in enumerate(reversed(node.args.defaults), 1):
        shown[-i] += "=" + ast.unparse(default).replace("'", '"')
    return f"({', '.join(shown)})"


@pytest.mark.parametrize("qualname", SURFACE)
def test_names_signatures_and_docs_are_the_stubs(qualname):
    owner, _, name = qualname.rpartition(".")
    member, stub = getattr(getattr(_core, owner) if owner else _core, name), STUB[qualname]
    doc, signature = ast.get_docstring(stub), text_signature(stub)
    # The signature is split off the docstring, not left in front of it.
    assert (member.__doc__, getattr(member, "__text_signature__", None)) == (doc, signature)
    assert member.__doc__ and (signature is None or member.__qualname__ == qualname)
    assert getattr(member, "__module__", "derirezaro._core") == "derirezaro._core"


takes = "{}() takes {} positional arguments but {} were given".format
unexpected = "{}() got an unexpected keyword argument '{}'".format
twice = "{}() got multiple values for argument '{}'".format


def interpreters(ours, *named):
    """The module's own text `ours` word for word, then the interpreter's, whose
    wording changes between versions: it only has to name each of `named`."""
    return re.compile(re.escape(ours) + "".join(f"(?=.*{re.escape(n)})" for n in named) + ".*", re.S)


def integer(type_name):
    return interpreters("argument 'max_history': ", f"'{type_name}'", "integer")


def missing(name, names):
    count = names.count("'") // 2
    return f"{name}() missing {count} required positional argument{'s' * (count > 1)}: {names}"


def converts(param, type_name, target="PyString"):
    return f"argument '{param}': '{type_name}' object cannot be converted to '{target}'"


NEW = "Store.__new__"
SURROGATE = interpreters("", "utf-8", "\\udc80", "surrogate")
# (callable, positional arguments, keyword arguments, exception, its text or None).
# Binding is judged before any conversion: the positional count first, then the
# keywords in the order given. Conversions run in parameter order, and all of them
# before any value is checked or encoded.
ARGUMENT_ERRORS = [
    ("dumps", (), {}, TypeError, missing("dumps", "'obj'")),
    ("dumps", (1, 2), {"bogus": 3}, TypeError, takes("dumps", 1, 2)),
    ("dumps", (), {"a": 1, "obj": 2, "b": 3}, TypeError, unexpected("dumps", "a")),
    ("dumps", (1,), {"obj": 2, "b": 3}, TypeError, twice("dumps", "obj")),
    ("dumps", (1,), {"b": 3, "obj": 2}, TypeError, unexpected("dumps", "b")),
    ("core_version", (1,), {}, TypeError, None), ("clear", (), {"x": 1}, TypeError, None),
    ("set", (), {}, TypeError, missing("Store.set", "'namespace', 'key', and 'value'")),
    ("set", ("ns",), {}, TypeError, missing("Store.set", "'key' and 'value'")),
    ("set", (), {"value": 1}, TypeError, missing("Store.set", "'namespace' and 'key'")),
    ("set", (1,), {"bogus": 2}, TypeError, unexpected("Store.set", "bogus")),
    ("get", ("ns", "k", 1, 2), {}, TypeError, takes("Store.get", "from 2 to 3", 4)),
    ("get", ("a", "k", 1), {"default": 2}, TypeError, twice("Store.get", "default")),
    ("delete", (), {"key": "k"}, TypeError, missing("Store.delete", "'namespace'")),
    ("restore", (Store(),), {}, TypeError, converts("snapshot", "Store", "Snapshot")),
    ("Snapshot", (), {}, TypeError, "No constructor defined for Snapshot"),
    ("HandoffGraph", ("error", 1), {}, TypeError, takes("HandoffGraph.__new__", "from 0 to 1", 2)),
    ("add_edge", ("a", "b"), {"when": 5}, TypeError, converts("when", "int")),
    ("Store", ("memory", "msgpack", None, 1), {}, TypeError, takes(NEW, "from 0 to 3", 4)),
    ("Store", ("disk",), {"history": 1}, TypeError, unexpected(NEW, "history")),
    ("Store", ("memory",), {"backend": "memory"}, TypeError, twice(NEW, "backend")),
    *(("loads", (v,), {}, TypeError, converts("data", type(v).__qualname__, "PyBytes"))
      for v in ["\x01", bytearray(b"\x01"), Outer.Inner()]),
    ("set", (1, "k", 0), {}, TypeError, converts("namespace", "int")),
    ("set", ("ns", ["k"], object()), {}, TypeError, converts("key", "list")),
    ("set", (1, "\ud800", 1), {}, TypeError, converts("namespace", "int")),
    ("set", ("new", "\udc80", object()), {}, UnicodeEncodeError, SURROGATE),
    ("get", ("ns", Outer.Inner(), 5), {}, TypeError, converts("key", "Outer.Inner")),
    ("contains", ("ns", b"k"), {}, TypeError, converts("key", "bytes")),
    ("keys", ("a\ud83d",), {}, UnicodeEncodeError, None),
    ("Store", (), {"backend": None}, TypeError, converts("backend", "NoneType")),
    ("Store", (), {"max_history": 1.0}, TypeError, integer("float")),
    ("Store", (), {"max_history": Index("5")}, TypeError,
     interpreters("argument 'max_history': ", "__index__", "str")),
    ("Store", (), {"max_history": Index(LookupError("no"))}, LookupError, "no"),
    ("Store", (1, 1), {"max_history": 1.5}, TypeError, converts("backend", "int")),
    ("Store", (), {"max_history": 1.5, "codec": None}, TypeError, converts("codec", "NoneType")),
    ("Store", ("disk", 2), {}, TypeError, converts("codec", "int")),
    ("Store", ("disk", "json", "x"), {}, TypeError, integer("str")),
    # The interpreter's own overflow error, unchanged.
    *(("Store", ("disk", "json", v), {}, OverflowError, interpreters("", "negative"))
      for v in [-1, Index(-1)]),
    ("Store", (), {"max_history": 2**64}, OverflowError, interpreters("", "int")),
    # Names compare as whole byte strings: no case folding, no stop at NUL.
    *(("Store", (b,), {}, ValueError, f"backend '{b}' is not available in this build (only 'memory')")
      for b in ["Memory", "", "memor", "memoryy", "memory\0"]),
    *(("Store", ("memory", c), {}, ValueError, f"codec '{c}' is not supported (only 'msgpack')")
      for c in ["json", "msgpack\0json", "msgpack "]),
]  # fmt: skip


@pytest.mark.parametrize("target, args, kwargs, error, message", ARGUMENT_ERRORS)
def test_argument_errors(target, args, kwargs, error, message):
    store = Store()
    store.set("ns", "k", 1)
    owners = [store, store.snapshot(), _core.HandoffGraph(), _core]
    call = Store if target == "Store" else next(getattr(o, target) for o in owners if hasattr(o, target))
    with pytest.raises(error) as exc:
        call(*args, **kwargs)
    assert type(exc.value) is error and exc.value.__cause__ is None
    got = str(exc.value)
    assert message is None or (message.fullmatch(got) if isinstance(message, re.Pattern) else got == message)
    assert (store.namespaces(), store.keys("ns"), store.get("ns", "k"), len(store)) == (["ns"], ["k"], 1, 1)


# Runs IMPORT in a new sub-interpreter of each kind the running interpreter can
# make: "legacy" shares the main interpreter's settings, so only the module itself
# can refuse there; "isolated" (3.12+) may also be refused by CPython, before the
# module's own initialisation runs or after. `first` says whether the main
# interpreter imports the module before the sub-interpreters try, or only after.
SUBINTERPRETERS = """
import sys
try:
    import _interpreters as si  # 3.13+
    kinds = dict(legacy=lambda: si.create("legacy"), isolated=lambda: si.create("isolated"))
except ImportError:
    try:
        import _xxsubinterpreters as si
    except ImportError:
        sys.exit("no sub-interpreters")
    # Before 3.12 the flag is taken and ignored: both kinds are legacy there.
    kinds = dict(legacy=lambda: si.create(isolated=False), isolated=lambda: si.create(isolated=True))

def in_sub(kind):
    sub = kinds[kind]()
    si.run_string(sub, {code!r})
    si.destroy(sub)

sys.path.insert(0, {path!r})
for kind in kinds if {first!r} == "sub" else ():
    in_sub(kind)
import derirezaro._core
for kind in kinds:
    in_sub(kind)
print(*kinds, derirezaro._core.__version__)
"""
# Each sub-interpreter writes what its import did to a file: the one channel
# every version's sub-interpreters share.
IMPORT = """
import sys
sys.path[:] = {path!r}
try:
    import derirezaro._core
    outcome = "imported"
except BaseException as e:
    outcome = type(e).__name__ + ": " + str(e)
with open({outcomes!r}, "a") as f:
    f.write(outcome + "\\n")
"""
# What the module says, word for word; CPython's own refusal only has to name the module.
OURS = re.compile(
    r"ImportError: derirezaro\._core does not support sub-interpreters: "
    r"import it in the main interpreter only \(this is interpreter \d+\)"
)
CPYTHONS = re.compile(r"ImportError: .*\b_core\b.*interpreters")


@pytest.mark.parametrize("first", ["main", "sub"])
def test_only_the_main_interpreter_imports_the_module(first, tmp_path):
    (tmp_path / "derirezaro").symlink_to(Path(derirezaro.__file__).parent)
    outcomes = tmp_path / "outcomes"
    code = IMPORT.format(path=[str(tmp_path), *sys.path], outcomes=str(outcomes))
    script = SUBINTERPRETERS.format(code=code, path=str(tmp_path), first=first)
    done = subprocess.run([sys.executable, "-I", "-c", script], capture_output=True, text=True)
    if "no sub-interpreters" in done.stderr:
        pytest.skip(f"{sys.executable} has no sub-interpreters")
    assert done.returncode == 0, done.stderr
    *kinds, version = done.stdout.split()
    assert version == _core.__version__ and kinds[0] == "legacy", done.stdout
    said = outcomes.read_text().splitlines()
    for kind, outcome in zip(kinds * (1 + (first == "sub")), said, strict=True):
        # CPython refuses an isolated sub-interpreter itself, and every one on a free-threaded build.
        cpythons = kind == "isolated" or sysconfig.get_config_var("Py_GIL_DISABLED")
        assert OURS.fullmatch(outcome) or (cpythons and CPYTHONS.match(outcome)), (kind, outcome)


# (failure the probe is asked for, exception, its text). Built only by the
# test install (tests/run.sh); each failed attempt runs the module body anew.
IMPORT_FAILURES = [
    ("function_signature", ImportError, 'could not initialise derirezaro._import_probe: text signature '
     '"(flag, *)" of echo: \'*\' is not supported: every parameter is positional-or-keyword'),
    ("method_signature", ImportError, 'could not initialise derirezaro._import_probe: text signature '
     '"($self, flag=None, other)" of Probe.method: required \'other\' follows an optional one'),
    ("bad_alloc", MemoryError, ""),
    ("logic_error", ImportError,
     "could not initialise derirezaro._import_probe: the probe's class factory broke"),
    ("python_error", ValueError, "the probe's class factory failed"),
]  # fmt: skip


def test_import_failures_raise_and_a_later_import_succeeds(monkeypatch):
    if importlib.util.find_spec("derirezaro._import_probe") is None:
        pytest.skip("the import probe is built only by the test install (tests/run.sh)")
    for failure, error, message in IMPORT_FAILURES:
        monkeypatch.setenv("DERIREZARO_PROBE_FAILURE", failure)
        with pytest.raises(error) as exc:
            importlib.import_module("derirezaro._import_probe")
        assert (type(exc.value), str(exc.value)) == (error, message)
        assert "derirezaro._import_probe" not in sys.modules
    monkeypatch.delenv("DERIREZARO_PROBE_FAILURE")
    probe = importlib.import_module("derirezaro._import_probe")
    assert probe.__all__ == ["__version__", "echo", "Probe"] and probe.echo(flag=True) is True


# (module made unimportable, what the user runs, the extra the refusal names)
MISSING_EXTRAS = [
    ("langchain_core", "import derirezaro.langgraph", "langgraph"),
    ("langgraph", "from derirezaro.langgraph import DerirezaroSaver", "langgraph"),
    ("redis", "from derirezaro.persist import RedisLog; RedisLog('redis://127.0.0.1:1')", "redis"),
]


@pytest.mark.parametrize("missing, statement, extra", MISSING_EXTRAS)
def test_a_missing_extra_is_named_with_its_cause(missing, statement, extra):
    pytest.importorskip(extra)  # what else the extra brings must be there, for `missing` to be named
    script = f"""
        import sys
        sys.modules[{missing!r}] = None
        try:
            {statement}
        except ImportError as e:
            print(e, "|", type(e.__cause__).__name__, e.__cause__.name)
    """
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert f"extra: pip install 'derirezaro[{extra}]'" in done.stdout
    assert f"| ModuleNotFoundError {missing}" in done.stdout, done.stdout
