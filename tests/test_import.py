"""Import-time behaviour of kovar.regulo, checked in fresh interpreters."""
import json, os, re, struct, subprocess, sys, textwrap

import pytest

HEADER = 2 * (PTR := struct.calcsize("P"))  # sizeof(PyObject)
REFUSED = ["ImportError", "numpy.core.multiarray failed to import (auto-generated because you didn't call "
           "'numpy.import_array()' after cimporting numpy; use '<void>numpy._import_array' to disable if you are "
           "certain you don't need it)."]
PAST = ["AttributeError", "module 'numpy' has no attribute 'dtype'"]  # got past NumPy's C interface
NAMESPACE = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__",
             "PIDController", "PIDControllerXd", "AdaptiveController", "np", "__pyx_unpickle_PIDController",
             "__pyx_unpickle_PIDControllerXd", "__pyx_unpickle_AdaptiveController", "__test__"]
CLASSES = {"PIDController": 5, "PIDControllerXd": 5, "AdaptiveController": 8}  # class: number of fields
# setattr's message on an instance without __dict__ grew in 3.13.
NO_DICT = " and no __dict__ for setting new attributes" if sys.version_info >= (3, 13) else ""
SRC = "src/kovar/regulo"
PARAMS, INIT = ["self", "target_position", "current_position", "dt"], [["init kovar.regulo", "src/kovar/regulo"]]

PRELUDE = '''
import json, sys, traceback, warnings
def error(exc):  # type, message, unchained, entries the module added
    return [type(exc).__name__, str(exc), exc.__cause__ is None and exc.__context__ is None, [[f.name, f.filename]
            for f in traceback.extract_tb(exc.__traceback__) if f.filename in ("src/kovar/regulo", "<stringsource>")]]
def call(f, *args):
    try: return f(*args)
    except BaseException as exc: return error(exc)
def attempt(strict=False):  # [failure or None, warnings issued]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("error" if strict else "always")
        failure = call(lambda: __import__("kovar.regulo") and None)
    return [failure, [[w.category.__name__, str(w.message)] for w in caught]]
def works():  # the module computes what the reference computes
    import numpy as np, kovar.regulo as m, reference
    rng = np.random.default_rng(7); gains = list(rng.normal(size=(3, 4)))
    ctl, ref = m.PIDController(*gains), reference.PID(*gains)
    return all((ctl.compute_control(*x, .1) == ref.compute_control(*x, .1)).all() for x in rng.normal(size=(3, 2, 4)))
def subinterpreters():  # a new subinterpreter of each kind the running CPython has
    if sys.version_info >= (3, 13):
        import _interpreters as subs
        return {kind: subs.create(subs.new_config(kind)) for kind in ("legacy", "isolated")}
    import _xxsubinterpreters as subs
    if sys.version_info >= (3, 12):
        return {"legacy": subs.create(isolated=False), "isolated": subs.create(isolated=True)}
    return {"legacy": subs.create()}
def import_there(sub):  # what importing kovar.regulo in the subinterpreter raises, as "<class 'T'>: message"
    if sys.version_info >= (3, 13):
        import _interpreters as subs
        failure = subs.run_string(sub, "import kovar.regulo")
        return failure and f"<class '{failure.type.__name__}'>: {failure.msg}"
    import _xxsubinterpreters as subs
    return call(subs.run_string, sub, "import kovar.regulo")[1]
'''




def run(cwd, code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(__file__), *filter(None, sys.path)]))
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", PRELUDE + textwrap.dedent(code)],
                          cwd=cwd, env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


@pytest.mark.slow
def test_module_classes_functions_and_interpreters(tmp_path):
    got = run(tmp_path, '''
        healthy = attempt(strict=True)
        import builtins, gc, importlib, inspect, pickle, weakref, numpy as np
        import kovar.regulo as m
        ns, classes = vars(m), [m.PIDController, m.PIDControllerXd, m.AdaptiveController]
        out = {"module": [healthy, list(ns), m.np is np, m.__test__, m.__doc__, m.__builtins__ is builtins, m.__name__,
                          m.__package__, m.__loader__ is m.__spec__.loader, m.__file__ == m.__spec__.origin]}
        for cls in classes:
            obj, sub = cls.__new__(cls), type("Sub", (cls,), {})
            setattr(sub_obj := sub.__new__(sub), "extra", weakref.ref(sub_obj))  # a subclass may have both
            out[cls.__name__] = [cls.__module__, cls.__qualname__, cls.__doc__, [b.__name__ for b in cls.__bases__],
                                 cls.__flags__ & ~((1 << 8) | (1 << 12) | (1 << 18) | (1 << 19)),
                                 [cls.__basicsize__, cls.__itemsize__, cls.__dictoffset__, cls.__weakrefoffset__],
                                 call(setattr, obj, "extra", 1)[:2], call(weakref.ref, obj)[:2], gc.is_tracked(obj)]
        funcs = [c.compute_control for c in classes] + [ns["__pyx_unpickle_" + c.__name__] for c in classes]
        out["funcs"] = [[type(f).__name__, f.__name__, f.__qualname__, f.__module__, f.__code__.co_name,
                         f.__globals__ is ns, repr(f) == "<function %s at %#x>" % (f.__qualname__, id(f)),
                         list(inspect.signature(f).parameters), pickle.loads(pickle.dumps(f)) is f] for f in funcs]
        bound = m.AdaptiveController.__new__(m.AdaptiveController).compute_control
        out["bound"] = [bound.__func__ is funcs[2], list(inspect.signature(bound).parameters),
                        list(funcs[2].__code__.co_varnames), funcs[2].__code__.co_firstlineno]
        test, m.np = m.__test__, None   # a second exec would bind np again
        del sys.modules["kovar.regulo"]
        import kovar.regulo as again
        out["again"] = [again is m, importlib.import_module("kovar.regulo") is m, importlib.reload(m) is m,
                        m.np, m.__test__ is test, m.PIDController is classes[0], list(ns) == out["module"][1]]
        m.np = np
        out["sub"] = {kind: [import_there(sub) for _ in range(2)] for kind, sub in subinterpreters().items()}
        out["works"] = works()
        print(json.dumps(out))
    ''')
    assert got.pop("module") == [[None, []], NAMESPACE, True, {}, None, True, "kovar.regulo", "kovar", True, True]
    for name, fields in CLASSES.items():
        assert got.pop(name) == [
            "kovar.regulo", name, None, ["object"], (1 << 10) | (1 << 14), [HEADER + fields * PTR, 0, 0, 0],
            ["AttributeError", f"'kovar.regulo.{name}' object has no attribute 'extra'" + NO_DICT],
            ["TypeError", f"cannot create weak reference to 'kovar.regulo.{name}' object"], True]
    funcs = [(f"{c}.compute_control", PARAMS) for c in CLASSES] + [
        (f"__pyx_unpickle_{c}", ["__pyx_type", "__pyx_checksum", "__pyx_state"]) for c in CLASSES]
    assert got.pop("funcs") == [["kovar_function", q.split(".")[-1], q, "kovar.regulo", q.split(".")[-1], True,
                                 True, p, True] for q, p in funcs]
    assert got.pop("bound") == [True, PARAMS[1:], PARAMS + ["error", "derivative", "delta_kp", "control_signal"], 92]
    refusal = ("<class 'ImportError'>: Interpreter change detected - this module can only be "
               "loaded into one interpreter per process.")
    # From 3.12 the import machinery itself refuses isolated subinterpreters.
    unsupported = "<class 'ImportError'>: module kovar.regulo does not support loading in subinterpreters"
    sub = {"legacy": [refusal, refusal]} | ({"isolated": [unsupported] * 2} if sys.version_info >= (3, 12) else {})
    assert got == {"again": [True, True, True, None, True, True, True], "sub": sub, "works": True}


# Py_GetVersion() formats its text from PY_VERSION: rewrite that in place, after NumPy (which may check it too).
# From 3.12 the text is formatted once at start-up: rewrite that copy as well.
FAKE_VERSION = '''
    import ctypes, platform, numpy
    old, new, get = platform.python_version().encode() + b"\\0", FAKE.encode() + b"\\0", ctypes.pythonapi.Py_GetVersion
    get.restype, here, libc = ctypes.c_char_p, ctypes.cast(get, ctypes.c_void_p).value, ctypes.CDLL(None)
    libc.mprotect.argtypes = (ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int)
    maps = [line.split() + [""] for line in open("/proc/self/maps")]
    regions = [[int(x, 16) for x in f[0].split("-")] + [f[1], f[5]] for f in maps]
    image = next(path for lo, hi, _, path in regions if lo <= here < hi)
    for lo, hi, perms, path in regions:
        data = ctypes.string_at(lo, hi - lo) if path == image and perms[0] == "r" else b""
        at = data.find(old)
        while at >= 0:
            page = (lo + at) & ~4095
            assert libc.mprotect(page, lo + at + len(old) - page, 3 | (4 if "x" in perms else 0)) == 0
            ctypes.memmove(lo + at, new, len(new))
            at = data.find(old, at + 1)
    if sys.version_info >= (3, 12):
        text = ctypes.PYFUNCTYPE(ctypes.c_void_p)(("Py_GetVersion", ctypes.pythonapi))()
        rest = ctypes.string_at(text)[len(old) - 1:]
        ctypes.memmove(text, new[:-1] + rest + b"\\0", len(new) + len(rest))
    assert len(new) <= len(old) and get().decode().startswith(FAKE + " ")
    print(json.dumps([attempt(strict=True), attempt()]))
'''
MAJOR, MINOR = sys.version_info[:2]
OWN, SHORTEST = f"{MAJOR}.{MINOR}", len(__import__("platform").python_version())  # the fake must not be longer


@pytest.mark.parametrize("fake, runtime", [(fake[:SHORTEST], runtime) for fake, runtime in [
    (f"{MAJOR}.{MINOR + 1}.4", f"{MAJOR}.{MINOR + 1}"), (f"{MAJOR}.{MINOR - 1}.18", f"{MAJOR}.{MINOR - 1}"),
    ("3.1", "3.1"), (f"{MAJOR + 1}.{MINOR}.1", f"{MAJOR + 1}.{MINOR}"), (f"{OWN}0", f"{OWN}0"), (OWN, None),
    (f"{OWN}rc1", None), (f"{MAJOR}-{MINOR}", "3.0")]])
@pytest.mark.slow
def test_runtime_version_warning(tmp_path, fake, runtime):
    got = run(tmp_path, f"    FAKE = {fake!r}" + FAKE_VERSION)
    text = f"compile time Python version {OWN} of module 'kovar.regulo' does not match runtime version {runtime}"
    warned = [["RuntimeWarning", text]] if runtime else []  # as an error it fails the import, else not
    assert got == [[warned[0] + [True, []] if runtime else None, []], [None, warned]]


def capsule(abi=0x02000000, endian=1, feature=0x13, name=None):  # a stand-in for NumPy's _multiarray_umath
    return f'''import ctypes as c
_f = [c.CFUNCTYPE(t)(lambda v=v: v) for t, v in ((c.c_uint, {abi}), (c.c_int, {endian}), (c.c_uint, {feature}))]
_t = (c.c_void_p * 212)()   # ABI version, byte order and feature version at their places in the table
_t[0], _t[210], _t[211] = (c.cast(f, c.c_void_p) for f in _f)
_new = c.PYFUNCTYPE(c.py_object, c.c_void_p, c.c_char_p, c.c_void_p)(("PyCapsule_New", c.pythonapi))
_ARRAY_API = _new(c.addressof(_t), {name!r}, None)
'''


NO_MODULE, OLD, BROKEN = 0, dict(abi=0x01000009, feature=0xE), "raise {}('broken build')"  # OLD: NumPy 1.20
API_CASES = {  # sources of numpy/_core and numpy/core _multiarray_umath (None: no subpackage), error
    "numpy-2": (capsule(), None, PAST), "numpy-1.20": (capsule(**OLD), None, PAST),
    "abi-too-new": (capsule(abi=0x02000001), None, REFUSED), "named-capsule": (capsule(name=b"x"), None, REFUSED),
    "feature-too-old": (capsule(abi=0x01000009, feature=0xD), None, REFUSED),
    "big-endian": (capsule(endian=2), None, REFUSED), "unknown-byte-order": (capsule(endian=0), None, REFUSED),
    "no-array-api": ("", None, REFUSED), "not-a-capsule": ("_ARRAY_API = 5", None, REFUSED),
    "core-preferred": (capsule(), BROKEN.format("RuntimeError"), PAST), "no-multiarray": (None, None, REFUSED),
    "core-checked-first": (capsule(feature=0xD), capsule(), REFUSED), "legacy-only": (None, capsule(**OLD), PAST),
    "legacy-only-refused": (None, capsule(endian=2), REFUSED), "core-without-module": (NO_MODULE, capsule(), PAST),
    "core-missing-dependency": ("import kovar_no_such_dependency", capsule(), PAST),
    "core-broken": (BROKEN.format("RuntimeError"), capsule(), REFUSED),
    "core-import-error": (BROKEN.format("ImportError"), capsule(), REFUSED),
    "no-multiarray-modules": (NO_MODULE, NO_MODULE, REFUSED),
}
SIZE = "numpy.{} size changed, may indicate binary incompatibility. Expected {} from C header, got {} from PyObject"
SLOTS = 'type("Grown", (), {"__slots__": ("a", "b", "c")})'
HUGE = 'type("Huge", (), {"__slots__": tuple("s%d" % i for i in range(600))})'
GROWN = ["RuntimeWarning", SIZE.format("generic", HEADER, HEADER + 3 * PTR)]
TYPE_CASES = {  # setup, strict, error (a size error: type, size got), warnings; the last one succeeds
    "not-a-type": ("numpy.ndarray = 5", 0, ["TypeError", "numpy.ndarray is not a type object"], []),
    "missing": (f"numpy.ndarray = {HUGE}; del numpy.ufunc", 0,  # the next success must not keep this ndarray
                ["AttributeError", "module 'numpy' has no attribute 'ufunc'"], []),
    "too-small": ("numpy.flatiter = object", 0, ("flatiter", HEADER), []),
    "item-size-counted": ("numpy.ndarray = tuple", 0, ("ndarray", tuple.__basicsize__ + tuple.__itemsize__), []),
    "item-size-aligned": ("numpy.ndarray = bytes", 0, ("ndarray", bytes.__basicsize__ + 4), []),
    "in-order": ("numpy.character = 5; del numpy.integer; numpy.broadcast = object", 0, ("broadcast", HEADER), []),
    "grown-as-error": (f"numpy.generic = {SLOTS}", 1, GROWN, []),
    "grown": (f"numpy.generic = {SLOTS}; numpy.number = tuple; numpy.dtype = numpy.ufunc = numpy.flatiter = "
              f"numpy.broadcast = {HUGE}", 0, None,  # the number warning gives the basic size alone
              [GROWN, ["RuntimeWarning", SIZE.format("number", HEADER, tuple.__basicsize__)]]),
}


@pytest.fixture(scope="module")
def results(tmp_path_factory):  # one child imports against each stand-in numpy, then the real one made faulty
    root = tmp_path_factory.mktemp("numpy")
    for case, (core, legacy, _) in API_CASES.items():
        for sub, source in (("", NO_MODULE), ("_core", core), ("core", legacy)):
            if source is not None:
                (root / case / "numpy" / sub).mkdir(parents=True)
                (root / case / "numpy" / sub / "__init__.py").write_text("")
                source is NO_MODULE or (root / case / "numpy" / sub / "_multiarray_umath.py").write_text(source)
    return run(root, f'''
        out, keep = {{}}, []
        for case in {list(API_CASES)!r}:
            sys.path.insert(0, {str(root)!r} + "/" + case)
            out[case] = attempt()
            del sys.path[0]
            keep += [sys.modules.pop(n) for n in list(sys.modules) if n.split(".")[0] == "numpy"]
        import _imp, builtins, importlib.util, numpy  # _multiarray_umath's import needs ImportError
        importlib.import_module("numpy._core._multiarray_umath" if hasattr(numpy, "_core") else "numpy.core._multiarray_umath")
        a, b, c = [_imp.create_dynamic(importlib.util.find_spec("kovar.regulo")) for _ in range(3)]
        saved, saved_error = dict(vars(numpy)), vars(builtins).pop("ImportError")
        sys.modules["kovar.regulo"] = placeholder = object()
        exec_ = [call(_imp.exec_dynamic, a), sys.modules.pop("kovar.regulo", None) is placeholder,
                 call(_imp.exec_dynamic, b), sys.modules.pop("kovar.regulo", None) is b]
        builtins.ImportError = saved_error
        for case, setup, strict in {[[case, *row[:2]] for case, row in TYPE_CASES.items()]!r}:
            exec(setup, {{"numpy": numpy}})
            out[case] = attempt(strict)
            vars(numpy).update(saved)
        m = sys.modules["kovar.regulo"]
        exec_ += [m.np is numpy, call(_imp.exec_dynamic, c), call(m.PIDController, [1.0], None, None), works()]
        print(json.dumps([out, exec_]))
    ''')


@pytest.mark.slow
@pytest.mark.parametrize("case", [*API_CASES, *TYPE_CASES])
def test_numpy_checks(results, case):
    error, warned = results[0][case]
    expected, expected_warnings = (API_CASES[case][2], []) if case in API_CASES else TYPE_CASES[case][2:]
    assert warned == expected_warnings
    if expected is None:  # imported after all the failures
        assert error is None
    elif isinstance(expected, tuple):  # what the C headers need is larger than what the type has
        found = re.fullmatch(re.escape(SIZE.format(expected[0], "@", expected[1])).replace("@", r"(\d+)"), error[1])
        assert error[0] == "ValueError" and error[2:] == [True, INIT] and found and int(found.group(1)) > expected[1]
    else:
        assert error == expected + [True, INIT]


@pytest.mark.slow
def test_exec_refusal_registration_and_retry(results):
    failed = ["NameError", "name 'ImportError' is not defined", True, INIT]  # an existing sys.modules entry is kept
    again = ["RuntimeError", "Module 'regulo' has already been imported. Re-initialisation is not supported.", True, []]
    kp = ["TypeError", "Argument 'kp' has incorrect type (expected numpy.ndarray, got list)", True, []]
    assert results[1] == [failed, True, failed, True, True, again, kp, True]  # it works after all those failures


@pytest.mark.skipif(sys.version_info < (3, 11), reason="code objects carry a qualified name from 3.11")
def test_code_objects_carry_the_qualified_name():
    from kovar import regulo as m
    classes = [m.PIDController, m.PIDControllerXd, m.AdaptiveController]
    funcs = [vars(c)[name] for c in classes for name in ("compute_control", "__kovar_reduce__", "__kovar_setstate__")]
    funcs += [getattr(m, "__pyx_unpickle_" + c.__name__) for c in classes]
    assert [f.__code__.co_qualname for f in funcs] == [f.__qualname__ for f in funcs]
    assert funcs[0].__code__.co_qualname == "PIDController.compute_control"


@pytest.mark.slow
def test_import_with_every_dict_watcher_taken(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "add_dict_watcher"):
        pytest.skip("no dict watchers before 3.12")
    got = run(tmp_path, '''
        import _testcapi
        taken = 0
        while True:  # what other extensions may have done
            try:
                _testcapi.add_dict_watcher(0)
            except RuntimeError:
                break
            taken += 1
        import numpy as np
        failure = attempt(strict=True)
        import kovar.regulo as m
        c = m.PIDController(np.ones(2), np.ones(2), np.ones(2))
        out = [taken > 0, failure, works(), c.compute_control(np.ones(2), np.zeros(2), 0.0).tolist()]
        class Fake:  # a later rebinding of np is seen at the next call, and again after it
            def __getattr__(self, name):
                raise LookupError(name)
        for value in (Fake(), None, np):
            if value is None:
                del m.np
            else:
                m.np = value
            out.append(call(lambda: c.compute_control(np.ones(2), np.zeros(2), 0.0).tolist()))
        unpickle = m.__pyx_unpickle_PIDController
        m.__pyx_unpickle_PIDController = "elsewhere"
        out.append(c.__reduce__()[0])
        m.__pyx_unpickle_PIDController = unpickle
        out.append(c.__reduce__()[0] is unpickle)
        print(json.dumps(out))
    ''')
    zeros_like = ["LookupError", "zeros_like", True, [["kovar.regulo.PIDController.compute_control", SRC]]]
    missing = ["NameError", "name 'np' is not defined", True, [["kovar.regulo.PIDController.compute_control", SRC]]]
    assert got == [True, [None, []], True, [1.0, 1.0], zeros_like, missing, [1.0, 1.0], "elsewhere", True]
