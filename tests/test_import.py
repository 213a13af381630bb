"""Import-time behaviour of kovar.regulo.

What the module namespace holds, what a repeated import or another
interpreter gets, the interpreter-version warning, and the checks made
against the running NumPy (its C interface and the type objects the module
keeps). Every case runs in a fresh interpreter, since an import can happen
only once per process.
"""
import json
import os
import re
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent
HEADER = 2 * struct.calcsize("P")  # sizeof(PyObject): what numpy's scalar types must have

NUMPY_REFUSED = (
    "numpy.core.multiarray failed to import (auto-generated because you didn't call "
    "'numpy.import_array()' after cimporting numpy; use '<void>numpy._import_array' to "
    "disable if you are certain you don't need it)."
)
INIT_ENTRY = ["init kovar.regulo", "src/kovar/regulo"]

# Runs first in every child interpreter.
PRELUDE = '''
import json, sys, traceback, warnings

def failure(exc):
    return {"type": type(exc).__name__, "message": str(exc),
            "cause": repr(exc.__cause__), "context": repr(exc.__context__),
            "entries": [[f.name, f.filename] for f in traceback.extract_tb(exc.__traceback__)
                        if f.filename in ("src/kovar/regulo", "<stringsource>")]}

def attempt(strict=False):
    """Imports kovar.regulo: the failure (or None) and the warnings issued."""
    error = None
    with warnings.catch_warnings(record=True) as caught:
        if not sys.warnoptions:           # -W options given to the child stay in force
            warnings.simplefilter("always")
        if strict:
            warnings.simplefilter("error", RuntimeWarning)
        try:
            import kovar.regulo
        except BaseException as exc:
            error = failure(exc)
    return {"error": error,
            "warnings": [[w.category.__name__, str(w.message)] for w in caught]}

def report(value):
    print("\\n" + json.dumps(value))
'''


def run(tmp_path, code, flags=()):
    """Runs PRELUDE + code in a new interpreter and returns what it reported."""
    path = [str(TESTS), *(p for p in sys.path if p)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    env.pop("PYTHONWARNINGS", None)
    proc = subprocess.run(
        [sys.executable, "-X", "faulthandler", *flags, "-c", PRELUDE + textwrap.dedent(code)],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


# ---------------------------------------------------------------- namespace

NAMESPACE = [
    "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
    "__builtins__", "PIDController", "PIDControllerXd", "AdaptiveController", "np",
    "__pyx_unpickle_PIDController", "__pyx_unpickle_PIDControllerXd",
    "__pyx_unpickle_AdaptiveController", "__test__",
]


def test_namespace_after_import(tmp_path):
    got = run(tmp_path, '''
        loaded = attempt(strict=True)   # a healthy import issues no warning at all
        import builtins, numpy, pickle, sys
        import kovar.regulo as m
        ns = vars(m)
        report({
            "loaded": loaded,
            "names": list(ns),
            "np": m.np is numpy,
            "test": [type(m.__test__).__name__, m.__test__],
            "doc": m.__doc__,
            "builtins": m.__builtins__ is builtins,
            "spec": [m.__name__, m.__package__, m.__spec__.name,
                     m.__loader__ is m.__spec__.loader, m.__file__ == m.__spec__.origin],
            "registered": sys.modules["kovar.regulo"] is m,
            "repr": repr(m) == "<module 'kovar.regulo' from %r>" % m.__file__,
            "unpickle_by_name": [pickle.loads(pickle.dumps(ns[name])) is ns[name]
                                 for name in list(ns)[11:14]],
        })
    ''')
    assert got == {
        "loaded": {"error": None, "warnings": []},
        "names": NAMESPACE,
        "np": True,
        "test": ["dict", {}],
        "doc": None,
        "builtins": True,
        "spec": ["kovar.regulo", "kovar", "kovar.regulo", True, True],
        "registered": True,
        "repr": True,
        "unpickle_by_name": [True, True, True],
    }


def test_classes(tmp_path):
    got = run(tmp_path, '''
        import gc, re, weakref
        import kovar.regulo as m
        out = {}
        for cls in (m.PIDController, m.PIDControllerXd, m.AdaptiveController):
            obj = cls.__new__(cls)
            sub_cls = type("Sub", (cls,), {})
            sub = sub_cls.__new__(sub_cls)
            sub.extra = 1                       # a Python subclass has a __dict__ ...
            weakref.ref(sub)                    # ... and weak references
            try:
                obj.extra = 1
                no_dict = None
            except AttributeError as exc:
                no_dict = str(exc)
            try:
                weakref.ref(obj)
                no_weakref = None
            except TypeError as exc:
                no_weakref = str(exc)
            # Flags the interpreter adds to every readied static type are left out.
            own_flags = cls.__flags__ & ~((1 << 8) | (1 << 12) | (1 << 18) | (1 << 19))
            out[cls.__name__] = {
                "names": [cls.__module__, cls.__name__, cls.__qualname__, cls.__doc__],
                "bases": [b.__name__ for b in cls.__bases__],
                "flags": own_flags,
                "layout": [cls.__basicsize__, cls.__itemsize__, cls.__dictoffset__,
                           cls.__weakrefoffset__],
                "no_dict": no_dict,
                "no_weakref": no_weakref,
                "tracked": gc.is_tracked(obj),
                "repr": [bool(re.fullmatch(r"<class '%s'>" % re.escape(cls.__module__ + "." + cls.__name__), repr(cls))),
                         bool(re.fullmatch(r"<kovar\\.regulo\\.%s object at 0x[0-9a-f]+>" % cls.__name__, repr(obj)))],
            }
        report(out)
    ''')
    ptr = struct.calcsize("P")
    fields = {"PIDController": 5, "PIDControllerXd": 5, "AdaptiveController": 8}
    for name, n in fields.items():
        assert got[name] == {
            "names": ["kovar.regulo", name, name, None],
            "bases": ["object"],
            "flags": (1 << 10) | (1 << 14),  # subclassable, garbage-collected
            "layout": [HEADER + n * ptr, 0, 0, 0],
            "no_dict": f"'kovar.regulo.{name}' object has no attribute 'extra'",
            "no_weakref": f"cannot create weak reference to 'kovar.regulo.{name}' object",
            "tracked": True,
            "repr": [True, True],
        }


PARAMS = ["self", "target_position", "current_position", "dt"]
UNPICKLE_PARAMS = ["__pyx_type", "__pyx_checksum", "__pyx_state"]


def test_function_objects(tmp_path):
    got = run(tmp_path, '''
        import inspect, re
        import kovar.regulo as m
        ns = vars(m)
        funcs = {"PIDController.compute_control": m.PIDController.compute_control,
                 "PIDControllerXd.compute_control": m.PIDControllerXd.compute_control,
                 "AdaptiveController.compute_control": m.AdaptiveController.compute_control}
        funcs.update((n, ns[n]) for n in list(ns)[11:14])
        out = {}
        for key, f in funcs.items():
            code = f.__code__
            out[key] = {
                "names": [f.__name__, f.__qualname__, f.__module__, code.co_name],
                "globals": f.__globals__ is ns,
                "args": list(code.co_varnames[:code.co_argcount]),
                "signature": list(inspect.signature(f).parameters),
                "repr": bool(re.fullmatch(r"<function %s at 0x[0-9a-f]+>" % re.escape(f.__qualname__), repr(f))),
            }
        ctl = m.AdaptiveController.__new__(m.AdaptiveController)
        bound = ctl.compute_control
        out["bound"] = [bound.__self__ is ctl, bound.__func__ is m.AdaptiveController.compute_control,
                        list(inspect.signature(bound).parameters)]
        out["adaptive_locals"] = list(m.AdaptiveController.compute_control.__code__.co_varnames)
        out["adaptive_line"] = m.AdaptiveController.compute_control.__code__.co_firstlineno
        report(out)
    ''')
    for cls in ("PIDController", "PIDControllerXd", "AdaptiveController"):
        qualname = f"{cls}.compute_control"
        assert got[qualname] == {
            "names": ["compute_control", qualname, "kovar.regulo", "compute_control"],
            "globals": True, "args": PARAMS, "signature": PARAMS, "repr": True,
        }
        name = f"__pyx_unpickle_{cls}"
        assert got[name] == {
            "names": [name, name, "kovar.regulo", name],
            "globals": True, "args": UNPICKLE_PARAMS, "signature": UNPICKLE_PARAMS, "repr": True,
        }
    assert got["bound"] == [True, True, PARAMS[1:]]
    assert got["adaptive_locals"] == PARAMS + ["error", "derivative", "delta_kp", "control_signal"]
    assert got["adaptive_line"] == 92


# ---------------------------------------------------------------- importing again

def test_import_again_returns_the_same_module(tmp_path):
    got = run(tmp_path, '''
        import importlib, sys
        import kovar.regulo as first
        marker, test, cls = object(), first.__test__, first.PIDController
        first.np = marker                       # exec would bind np again
        del sys.modules["kovar.regulo"]
        import kovar.regulo as second
        again = importlib.import_module("kovar.regulo")
        reloaded = importlib.reload(first)
        report([second is first, again is first, reloaded is first, first.np is marker,
                first.__test__ is test, first.PIDController is cls, list(vars(first))[-1]])
    ''')
    assert got == [True, True, True, True, True, True, "__test__"]


def test_exec_on_a_second_module_object(tmp_path):
    # Two module objects made before either was executed: only the first to
    # run exec becomes the module.
    got = run(tmp_path, '''
        import _imp, importlib.util, sys
        spec = importlib.util.find_spec("kovar.regulo")
        a, b = _imp.create_dynamic(spec), _imp.create_dynamic(spec)
        placeholder = sys.modules["kovar.regulo"] = object()
        _imp.exec_dynamic(a)
        kept = sys.modules["kovar.regulo"] is placeholder   # an existing entry is left alone
        try:
            _imp.exec_dynamic(b)
            second = None
        except BaseException as exc:
            second = failure(exc)
        del sys.modules["kovar.regulo"]
        import kovar.regulo
        report({"distinct": a is not b, "kept": kept, "second": second,
                "imported": kovar.regulo is a, "np": hasattr(b, "np"),
                "again": _imp.exec_dynamic(a)})
    ''')
    assert got == {
        "distinct": True, "kept": True,
        "second": {"type": "RuntimeError",
                   "message": "Module 'regulo' has already been imported. "
                              "Re-initialisation is not supported.",
                   "cause": "None", "context": "None", "entries": []},
        "imported": True, "np": False, "again": 0,
    }


def test_registers_itself_under_its_full_name(tmp_path):
    got = run(tmp_path, '''
        import _imp, importlib.util, sys
        a = _imp.create_dynamic(importlib.util.find_spec("kovar.regulo"))
        _imp.exec_dynamic(a)
        report(sys.modules.get("kovar.regulo") is a)
    ''')
    assert got is True


def test_second_interpreter_is_refused(tmp_path):
    got = run(tmp_path, '''
        import _xxsubinterpreters as interpreters
        import numpy as np
        import kovar.regulo as m
        messages = []
        sub = interpreters.create()
        for _ in range(2):
            try:
                interpreters.run_string(sub, "import kovar.regulo")
            except interpreters.RunFailedError as exc:
                messages.append(str(exc))
        interpreters.destroy(sub)
        from reference import PID
        gains = [np.array([2.0, -1.0]), np.array([0.5, 0.25]), np.array([0.25, 3.0])]
        target, current = np.array([1.0, 4.0]), np.array([0.0, 1.5])
        ctl, ref = m.PIDController(*gains), PID(*gains)
        same = [(ctl.compute_control(target, current, 0.5) == ref.compute_control(target, current, 0.5)).all()
                for _ in range(2)]
        report({"messages": messages, "main_works": [bool(s) for s in same]})
    ''')
    refusal = ("<class 'ImportError'>: Interpreter change detected - this module can only be "
               "loaded into one interpreter per process.")
    assert got == {"messages": [refusal, refusal], "main_works": [True, True]}


# ---------------------------------------------------------------- interpreter version

# Py_GetVersion() formats its text afresh on every call from the interpreter's
# PY_VERSION literal, so the child rewrites that literal in place. NumPy is
# imported first: some NumPy builds make the same check in their own modules.
FAKE_VERSION = '''
import ctypes, platform
import numpy

def fake_version(text):
    old = platform.python_version().encode() + b"\\0"
    new = text.encode() + b"\\0"
    assert len(new) <= len(old), "the fake version must not be longer than the real one"
    get = ctypes.pythonapi.Py_GetVersion
    get.restype = ctypes.c_void_p
    here = ctypes.cast(get, ctypes.c_void_p).value
    libc = ctypes.CDLL(None)
    libc.mprotect.argtypes = (ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int)
    with open("/proc/self/maps") as maps:
        regions = [(int(r.split("-")[0], 16), int(r.split()[0].split("-")[1], 16), r.split()[1],
                    r.split()[5] if len(r.split()) > 5 else "") for r in maps]
    image = next(path for lo, hi, _, path in regions if lo <= here < hi)
    for lo, hi, perms, path in regions:
        if path != image or not perms.startswith("r"):
            continue
        data = ctypes.string_at(lo, hi - lo)
        at = data.find(old)
        while at >= 0:
            page = (lo + at) & ~4095
            prot = 1 | 2 | (4 if "x" in perms else 0)
            assert libc.mprotect(page, lo + at + len(old) - page, prot) == 0
            ctypes.memmove(lo + at, new, len(new))
            at = data.find(old, at + 1)
    assert ctypes.string_at(get()).decode().startswith(text + " "), "version text not replaced"
'''


def version_warning(runtime):
    return ("compile time Python version 3.10 of module 'kovar.regulo' does not match "
            f"runtime version {runtime}")


@pytest.mark.parametrize("fake, runtime", [
    ("3.11.4", "3.11"), ("3.9.18", "3.9"), ("3.1", "3.1"), ("4.10.1", "4.10"),
    ("3.100", "3.100"), ("3.10", None), ("3.10.0", None), ("3.10rc1", None), ("3.10.9a", None),
])
def test_runtime_version_warning(tmp_path, fake, runtime):
    got = run(tmp_path, FAKE_VERSION + f'''
fake_version({fake!r})
report(attempt())
''')
    expected = [["RuntimeWarning", version_warning(runtime)]] if runtime else []
    assert got == {"error": None, "warnings": expected}


def test_runtime_version_warning_as_error(tmp_path):
    got = run(tmp_path, FAKE_VERSION + '''
fake_version("3.11.4")
first = attempt()
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    import kovar.regulo as m              # the failed import left nothing behind
report({"first": first, "names": len(vars(m))})
''', flags=["-W", "error::RuntimeWarning"])
    assert got == {
        "first": {"error": {"type": "RuntimeWarning", "message": version_warning("3.11"),
                            "cause": "None", "context": "None", "entries": []},
                  "warnings": []},
        "names": len(NAMESPACE),
    }


# ---------------------------------------------------------------- NumPy's C interface

def capsule(abi=0x02000000, endian=1, feature=0x13, name=None):
    """Source of a _multiarray_umath stand-in whose _ARRAY_API capsule answers
    the version and byte-order queries with the given values."""
    return f'''
import ctypes
_abi = ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: {abi})
_endian = ctypes.CFUNCTYPE(ctypes.c_int)(lambda: {endian})
_feature = ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: {feature})
_table = (ctypes.c_void_p * 212)()
for _index, _function in ((0, _abi), (210, _endian), (211, _feature)):
    _table[_index] = ctypes.cast(_function, ctypes.c_void_p)
_name = {name!r}
_new = ctypes.pythonapi.PyCapsule_New
_new.restype = ctypes.py_object
_new.argtypes = (ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)
_ARRAY_API = _new(ctypes.addressof(_table), _name, None)
'''


NO_MODULE = object()  # the subpackage exists, _multiarray_umath does not


def standin(root, core=None, legacy=None):
    """Writes a stand-in numpy package; core and legacy are the sources of
    numpy/_core/_multiarray_umath.py and numpy/core/_multiarray_umath.py
    (None: no such subpackage)."""
    package = root / "numpy"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("")
    for sub, source in (("_core", core), ("core", legacy)):
        if source is None:
            continue
        (package / sub).mkdir()
        (package / sub / "__init__.py").write_text("")
        if source is not NO_MODULE:
            (package / sub / "_multiarray_umath.py").write_text(source)
    return str(root)


NUMPY_1_20 = dict(abi=0x01000009, feature=0xE)
NEVER_IMPORTED = "raise RuntimeError('numpy.core must not be imported')"

# (core, legacy, accepted)
API_CASES = {
    "numpy-2": (capsule(), None, True),
    "numpy-1.20": (capsule(**NUMPY_1_20), None, True),
    "abi-too-new": (capsule(abi=0x02000001), None, False),
    "feature-too-old": (capsule(abi=0x01000009, feature=0xD), None, False),
    "big-endian": (capsule(endian=2), None, False),
    "unknown-byte-order": (capsule(endian=0), None, False),
    "no-array-api": ("", None, False),
    "not-a-capsule": ("_ARRAY_API = 5", None, False),
    "named-capsule": (capsule(name=b"x"), None, False),
    "core-preferred": (capsule(), NEVER_IMPORTED, True),
    "core-checked-first": (capsule(feature=0xD), capsule(), False),
    "legacy-only": (None, capsule(**NUMPY_1_20), True),
    "legacy-only-refused": (None, capsule(endian=2), False),
    "core-without-module": (NO_MODULE, capsule(), True),
    "core-missing-dependency": ("import kovar_no_such_dependency", capsule(), True),
    "core-broken": ("raise RuntimeError('broken build')", capsule(), False),
    "core-import-error": ("raise ImportError('broken build')", capsule(), False),
    "no-multiarray": (None, None, False),
    "no-multiarray-modules": (NO_MODULE, NO_MODULE, False),
}


@pytest.mark.parametrize("core, legacy, accepted", API_CASES.values(), ids=API_CASES)
def test_numpy_c_api_checks(tmp_path, core, legacy, accepted):
    fake = standin(tmp_path / "fake", core, legacy)
    got = run(tmp_path, f'''
        sys.path.insert(0, {fake!r})
        report(attempt()["error"])
    ''')
    if accepted:
        # Past the C interface, the stand-in lacks the numpy types.
        expected = ["AttributeError", "module 'numpy' has no attribute 'dtype'"]
    else:
        expected = ["ImportError", NUMPY_REFUSED]
    assert got == {"type": expected[0], "message": expected[1],
                   "cause": "None", "context": "None", "entries": [INIT_ENTRY]}


def test_import_after_refused_numpy(tmp_path):
    fake = standin(tmp_path / "fake", capsule(abi=0x02000001))
    got = run(tmp_path, f'''
        sys.path.insert(0, {fake!r})
        first = attempt()["error"]
        sys.path.remove({fake!r})
        for name in [n for n in sys.modules if n == "numpy" or n.startswith("numpy.")]:
            del sys.modules[name]
        second = attempt()
        import numpy as np
        import kovar.regulo as m
        from reference import PID
        gains = [np.array([1.5, -2.0]), np.array([0.5, 0.125]), np.array([0.25, 1.0])]
        target, current = np.array([3.0, 1.0]), np.array([1.0, -1.0])
        ctl, ref = m.PIDController(*gains), PID(*gains)
        same = [bool((ctl.compute_control(target, current, 0.1)
                      == ref.compute_control(target, current, 0.1)).all()) for _ in range(3)]
        report({{"first": first["type"], "second": second, "np": m.np is np,
                 "fake_gone": {fake!r} not in np.__file__, "same": same}})
    ''')
    assert got == {"first": "ImportError", "second": {"error": None, "warnings": []},
                   "np": True, "fake_gone": True, "same": [True, True, True]}


# ---------------------------------------------------------------- NumPy's type objects

SIZE_CHANGED = ("numpy.{} size changed, may indicate binary incompatibility. "
                "Expected {} from C header, got {} from PyObject")
SLOTS = 'type("Grown", (), {"__slots__": ("a", "b", "c")})'  # basic size: header + 3 pointers
GROWN = HEADER + 3 * struct.calcsize("P")
HUGE = 'type("Huge", (), {"__slots__": tuple("s%d" % i for i in range(600))})'

# (setup after `import numpy`, error type, error message (regex), warnings)
TYPE_CASES = {
    "not-a-type": ("numpy.ndarray = 5", "TypeError", r"numpy\.ndarray is not a type object", []),
    "missing": ("del numpy.ufunc", "AttributeError", r"module 'numpy' has no attribute 'ufunc'", []),
    "too-small": ("numpy.flatiter = object", "ValueError",
                  SIZE_CHANGED.format("flatiter", r"(\d+)", HEADER).replace(".", r"\."), []),
    # A variable-size type counts its item size, at least the 4-byte alignment.
    "item-size-counted": ("numpy.ndarray = tuple", "ValueError",
                          SIZE_CHANGED.format("ndarray", r"(\d+)", HEADER + 8 + 8).replace(".", r"\."), []),
    "item-size-aligned": ("numpy.ndarray = bytes", "ValueError",
                          SIZE_CHANGED.format("ndarray", r"(\d+)", bytes.__basicsize__ + 4).replace(".", r"\."), []),
    "checked-in-order": ("numpy.character = 5; del numpy.integer; numpy.broadcast = object",
                         "ValueError", SIZE_CHANGED.format("broadcast", r"(\d+)", HEADER).replace(".", r"\."), []),
    "scalar-type-grown": (f"numpy.generic = {SLOTS}; numpy.number = tuple", None, None, [
        ["RuntimeWarning", SIZE_CHANGED.format("generic", HEADER, GROWN)],
        # the basic size alone, item size not added
        ["RuntimeWarning", SIZE_CHANGED.format("number", HEADER, tuple.__basicsize__)],
    ]),
    "array-types-grown": (f"numpy.dtype = numpy.ndarray = numpy.ufunc = numpy.flatiter = {HUGE}",
                          None, None, []),
}


@pytest.mark.parametrize("setup, error, message, warned", TYPE_CASES.values(), ids=TYPE_CASES)
def test_numpy_type_checks(tmp_path, setup, error, message, warned):
    got = run(tmp_path, f'''
        import numpy
        {setup}
        result = attempt()
        result["np"] = result["error"] is None and sys.modules["kovar.regulo"].np is numpy
        report(result)
    ''')
    assert got["warnings"] == warned
    if error is None:
        assert got["error"] is None and got["np"] is True
        return
    assert got["error"]["type"] == error
    found = re.fullmatch(message, got["error"]["message"])
    assert found, got["error"]["message"]
    if found.groups():
        assert int(found.group(1)) > HEADER  # what the C headers say these objects need
    assert got["error"]["entries"] == [INIT_ENTRY]


def test_grown_scalar_type_with_warnings_as_errors(tmp_path):
    got = run(tmp_path, f'''
        import numpy
        numpy.generic = {SLOTS}
        report(attempt(strict=True))
    ''')
    assert got == {"error": {"type": "RuntimeWarning",
                             "message": SIZE_CHANGED.format("generic", HEADER, GROWN),
                             "cause": "None", "context": "None", "entries": [INIT_ENTRY]},
                   "warnings": []}


def test_import_after_bad_numpy_type(tmp_path):
    got = run(tmp_path, '''
        import numpy as np
        real, np.ndarray = np.ndarray, 5
        first = attempt()["error"]["message"]
        np.ndarray = real
        second = attempt()
        import kovar.regulo as m
        try:
            m.PIDController([1.0], None, None)
            refused = None
        except TypeError as exc:
            refused = str(exc)
        ctl = m.PIDController(np.ones(2), np.ones(2), np.ones(2))
        out = ctl.compute_control(np.array([1.0, 2.0]), np.zeros(2), 1.0)
        report({"first": first, "second": second, "refused": refused,
                "result": [type(out).__name__, out.tolist()]})
    ''')
    assert got == {
        "first": "numpy.ndarray is not a type object",
        "second": {"error": None, "warnings": []},
        "refused": "Argument 'kp' has incorrect type (expected numpy.ndarray, got list)",
        "result": ["ndarray", [3.0, 6.0]],
    }


# ---------------------------------------------------------------- builtins

def test_builtins_without_import_error(tmp_path):
    got = run(tmp_path, '''
        import builtins, importlib.util
        import numpy._core._multiarray_umath
        # Finding a module not imported yet needs ImportError in the import system itself.
        importlib.util.find_spec("kovar.regulo")
        saved = builtins.ImportError
        del builtins.ImportError
        try:
            first = attempt()["error"]
        finally:
            builtins.ImportError = saved
        report({"first": first, "second": attempt()})
    ''')
    assert got == {
        "first": {"type": "NameError", "message": "name 'ImportError' is not defined",
                  "cause": "None", "context": "None", "entries": [INIT_ENTRY]},
        "second": {"error": None, "warnings": []},
    }
