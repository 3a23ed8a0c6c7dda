#!/usr/bin/env python3
"""Mutation run: how many small faults in src/ does the test suite catch?

    python3 tools/mutate.py [--count 90] [--seed 7] [--source-rev REV]
                            [--mutants FILE] [--out FILE] [--list]

Copies the project (tests from the working tree, src/ and the build files
from --source-rev when given) into build/mutate/, then, one mutant at a
time: rewrites one source line, rebuilds the extension and the core tests
incrementally (through ccache when it is installed, so restoring a file
costs nothing), runs pytest and then the core tests, each stopping at the
first failure, and puts the line back. The memory-hungry tests (marker
`bigmem`) are left out, and so are the leak tests (marker `leaks`) unless
--with-leak-tests asks for them: they are slow, and what only they catch
is a dropped decref. --sanitized runs pytest over an extension built with
AddressSanitizer, which turns a missing incref from a crash by luck into a
certain one.

A mutant is "killed" when a test fails (or hangs past the timeout),
"survived" when every test passes, "uncompilable" when it does not build
(not counted). Mutants are named path:line:operator:occurrence, so a set
chosen once can be run again, against the same sources, with later tests:
`--mutants` takes the first column of an earlier report.

Mutants are drawn with a fixed seed from every candidate in src/codec,
src/store and src/lib, spread over the three folders, until --count of them
have built.
"""

from __future__ import annotations

import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FOLDERS = ("src/codec", "src/store", "src/lib")
TIMEOUT_SECONDS = 300

# (operator, pattern, replacement). Patterns match inside one line of code;
# each match is one mutant. Spaces around binary operators keep template
# brackets and shifts out.
SUBSTITUTIONS = [
    ("flip_lt", re.compile(r"(?<= )<(?= )"), "<="),
    ("flip_le", re.compile(r"(?<= )<=(?= )"), "<"),
    ("flip_gt", re.compile(r"(?<= )>(?= )"), ">="),
    ("flip_ge", re.compile(r"(?<= )>=(?= )"), ">"),
    ("flip_eq", re.compile(r"(?<= )==(?= )"), "!="),
    ("flip_ne", re.compile(r"(?<= )!=(?= )"), "=="),
    ("and_or", re.compile(r"(?<= )&&(?= )"), "||"),
    ("or_and", re.compile(r"(?<= )\|\|(?= )"), "&&"),
    ("true_false", re.compile(r"\btrue\b"), "false"),
    ("false_true", re.compile(r"\bfalse\b"), "true"),
    ("drop_plus_one", re.compile(r" \+ 1\b"), ""),
    ("drop_minus_one", re.compile(r" - 1\b"), ""),
    ("bump_constant", re.compile(r"(?<![\w.])(0x[0-9a-fA-F]+|[1-9][0-9]*)(?=u?l{0,2}\b)(?![.\w])"), None),
    ("drop_refcount", re.compile(r"\bPy_X?(?:IN|DE)CREF\([^()]*\)[;,]?[ \t]*"), ""),
    ("drop_not", re.compile(r"(?<=[(\s])!(?=[\w(])"), ""),
]

# A whole statement dropped: assignments, increments and calls on one line.
DROPPABLE = re.compile(
    r"^\s*(?:(?:[A-Za-z_][\w.\->\[\]]*\s*(?:[-+*/|&^]|<<|>>)?=\s*[^=].*)"
    r"|(?:(?:\+\+|--)[\w.\->]+)|(?:[\w.\->]+(?:\+\+|--))"
    r"|(?:[A-Za-z_][\w:.\->]*\(.*\)))\s*;\s*$"
)
NOT_STATEMENT = re.compile(r"^\s*(return|case|default|using|typedef|static_assert|#)\b")


@dataclass(frozen=True)
class Mutant:
    path: str
    line: int  # 1-based
    operator: str
    occurrence: int
    replacement_line: str

    @property
    def name(self) -> str:
        return f"{self.path}:{self.line}:{self.operator}:{self.occurrence}"


def code_part(line: str) -> str:
    """The line up to a // comment (strings holding // are rare enough here)."""
    cut = line.find("//")
    return line if cut < 0 else line[:cut]


def bumped(literal: str) -> str:
    base = 16 if literal.startswith("0x") else 10
    value = int(literal, base) + 1
    return hex(value) if base == 16 else str(value)


def mutants_of_line(path: str, number: int, line: str) -> list[Mutant]:
    code = code_part(line)
    stripped = code.strip()
    if not stripped or stripped.startswith(("#", "*", "/*")) or "static_assert" in code:
        return []
    rest = line[len(code) :]
    found = []
    for operator, pattern, replacement in SUBSTITUTIONS:
        for occurrence, match in enumerate(pattern.finditer(code)):
            new = bumped(match.group(0)) if replacement is None else replacement
            mutated = code[: match.start()] + new + code[match.end() :] + rest
            found.append(Mutant(path, number, operator, occurrence, mutated))
    if DROPPABLE.match(code) and not NOT_STATEMENT.match(code) and stripped.count(";") == 1:
        indent = line[: len(line) - len(line.lstrip())]
        found.append(Mutant(path, number, "drop_statement", 0, f"{indent};\n"))
    return found


def all_mutants(tree: Path) -> dict[str, list[Mutant]]:
    by_folder: dict[str, list[Mutant]] = {}
    for folder in FOLDERS:
        found = []
        for source in sorted((tree / folder).glob("*.[ch]pp")):
            if source.stem.endswith("_debug"):
                continue  # the map's dump and validator exist only for the tests
            relative = source.relative_to(tree).as_posix()
            lines = source.read_text().splitlines(keepends=True)
            in_block = False
            for number, line in enumerate(lines, start=1):
                if in_block or line.lstrip().startswith("/*"):
                    in_block = "*/" not in line
                    continue
                found.extend(mutants_of_line(relative, number, line))
        by_folder[folder] = found
    return by_folder


def run(command: list[str], cwd: Path, env: dict | None = None, timeout: float | None = None) -> bool:
    return first_failure(command, cwd, env, timeout, None) is None


def first_failure(
    command: list[str], cwd: Path, env: dict | None, timeout: float | None, failure: re.Pattern | None
) -> str | None:
    """None when the command succeeds; otherwise what failed: the first failing
    test's name when `failure` finds one in the output."""
    try:
        done = subprocess.run(
            command, cwd=cwd, env=env, timeout=timeout, capture_output=True, text=True, errors="replace"
        )
    except subprocess.TimeoutExpired:
        return "timeout"
    if done.returncode == 0:
        return None
    LAST_FAILURE.write_text(f"$ {' '.join(command)}\n{done.stdout}{done.stderr}")
    found = failure.search(done.stdout) if failure else None
    return found.group(1) if found else f"exit {done.returncode}"


# The output of the last command that failed, for a look when a verdict
# surprises (set beside the report by main).
LAST_FAILURE = Path("/dev/null")
PYTEST_FAILURE = re.compile(r"^(?:FAILED|ERROR) (\S+)", re.MULTILINE)
GTEST_FAILURE = re.compile(r"^\[  FAILED  \] ([\w/.]+)", re.MULTILINE)


def copy_project(scratch: Path, source_rev: str | None, tests_rev: str | None) -> Path:
    tree = scratch / "tree"
    if tree.exists():
        shutil.rmtree(tree)
    files = subprocess.run(
        ["git", "ls-files", "-co", "--exclude-standard"], cwd=ROOT, capture_output=True, text=True, check=True
    ).stdout.split()
    for name in files:
        if (ROOT / name).is_file():
            (tree / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(ROOT / name, tree / name)
    for rev, owned in ((source_rev, ("src", "CMakeLists.txt")), (tests_rev, ("tests", "fuzz"))):
        if not rev:
            continue
        for name in owned:
            target = tree / name
            shutil.rmtree(target) if target.is_dir() else target.unlink()
        archive = subprocess.run(["git", "archive", rev, *owned], cwd=ROOT, capture_output=True, check=True)
        subprocess.run(["tar", "-x", "-m", "-C", str(tree)], input=archive.stdout, check=True)
    return tree


class Builds:
    """The extension and the core tests, built from `tree` under `scratch`."""

    def __init__(self, scratch: Path, tree: Path, sanitized: bool, with_leak_tests: bool):
        self.tree = tree
        self.sanitized = sanitized
        # Leak tests are marked `leaks` and live in files named *leaks*.
        self.selection = (
            ["-m", "not bigmem"]
            if with_leak_tests
            else ["-m", "not bigmem and not leaks", "--ignore-glob=*leaks*"]
        )
        self.ext = scratch / "ext"
        self.core = scratch / "core"
        self.package = scratch / "package"
        # Builds left by an interrupted run may hold a mutant's objects with
        # newer times than the fresh copy: start them afresh (ccache makes
        # that cheap).
        for stale in (self.ext, self.core, self.package):
            shutil.rmtree(stale, ignore_errors=True)
        launcher = ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"] if shutil.which("ccache") else []
        common = ["cmake", "-S", str(tree), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", *launcher]
        # The sanitized extension turns a reference-count step too few into a
        # use after free every time, instead of a crash when luck runs out.
        sanitizers = ["-DCMAKE_CXX_COMPILER=clang++", "-DDERIREZARO_SANITIZE=address,undefined"]
        subprocess.run(
            [
                *common,
                "-B",
                str(self.ext),
                f"-DPython_EXECUTABLE={sys.executable}",
                *(sanitizers if sanitized else []),
            ],
            check=True,
            stdout=subprocess.DEVNULL,
        )
        subprocess.run(
            [
                *common,
                "-B",
                str(self.core),
                "-DDERIREZARO_BUILD_EXTENSION=OFF",
                "-DDERIREZARO_BUILD_TESTS=ON",
            ],
            check=True,
            stdout=subprocess.DEVNULL,
        )
        shutil.copytree(tree / "python" / "derirezaro", self.package / "derirezaro")

    def build_extension(self) -> bool:
        if not run(["ninja", "-C", str(self.ext), "_core"], self.tree):
            return False
        for built in self.ext.glob("_core*.so"):
            target = self.package / "derirezaro" / built.name
            if not target.exists():
                target.symlink_to(built)
        return True

    def build_core(self) -> bool:
        return run(["ninja", "-C", str(self.core)], self.tree)

    def pytest_failure(self) -> str | None:
        env = dict(os.environ, PYTHONPATH=str(self.package), PYTHONDONTWRITEBYTECODE="1")
        if self.sanitized:
            runtime = subprocess.run(
                ["clang++", f"-print-file-name=libclang_rt.asan-{os.uname().machine}.so"],
                capture_output=True,
                text=True,
                check=True,
            ).stdout.strip()
            env.update(LD_PRELOAD=runtime, PYTHONMALLOC="malloc", ASAN_OPTIONS="detect_leaks=0")
        command = [
            sys.executable,
            "-m",
            "pytest",
            "-x",
            "-q",
            "-p",
            "no:cacheprovider",
            *self.selection,
            str(self.tree / "tests"),
        ]
        return first_failure(command, self.tree / "tests", env, TIMEOUT_SECONDS, PYTEST_FAILURE)

    def core_failure(self) -> str | None:
        for name in ("core_tests", "core_thread_tests"):
            command = [str(self.core / "tests" / "core" / name), "--gtest_fail_fast", "--gtest_brief=1"]
            failed = first_failure(command, self.tree, None, TIMEOUT_SECONDS, GTEST_FAILURE)
            if failed:
                return failed
        return None


def judge(builds: Builds, mutant: Mutant | None) -> str:
    """Builds and tests the tree with `mutant` applied (None: as it is)."""
    if mutant is None:
        return verdict_of_tree(builds)
    source = builds.tree / mutant.path
    original = source.read_text()
    lines = original.splitlines(keepends=True)
    lines[mutant.line - 1] = mutant.replacement_line
    source.write_text("".join(lines))
    try:
        return verdict_of_tree(builds)
    finally:
        source.write_text(original)


def verdict_of_tree(builds: Builds) -> str:
    if not builds.build_extension():
        return "uncompilable"
    failed = builds.pytest_failure()
    if failed:
        return f"killed:pytest:{failed}"
    if not builds.build_core():
        return "uncompilable"
    failed = builds.core_failure()
    if failed:
        return f"killed:core:{failed}"
    return "survived"


def normalized(line: str) -> str:
    return re.sub(r"\s+", "", code_part(line))


def relocated(names: list[str], rev: str, tree: Path) -> tuple[list[Mutant], list[str]]:
    """The named mutants, whose line numbers hold in `rev`, found again in
    `tree` by the content of their line (whitespace aside): the same
    operator at the same occurrence on the line that reads the same, the
    k-th such line for the k-th. Names whose line no longer reads the same,
    or whose like lines changed in number (lines merged or split by
    reformatting), come back in the second list, to be found by hand."""
    found, lost = [], []
    for name in names:
        path, line, operator, occurrence = name.rsplit(":", 3)
        number = int(line)
        old_lines = subprocess.run(
            ["git", "show", f"{rev}:{path}"], cwd=ROOT, capture_output=True, text=True, check=True
        ).stdout.splitlines(keepends=True)
        wanted = normalized(old_lines[number - 1])
        old_same = [n for n, text in enumerate(old_lines, start=1) if normalized(text) == wanted]
        lines = (tree / path).read_text().splitlines(keepends=True)
        same = [n for n, text in enumerate(lines, start=1) if normalized(text) == wanted]
        at = same[old_same.index(number)] if len(same) == len(old_same) else None
        match = [
            m
            for m in (mutants_of_line(path, at, lines[at - 1]) if at else [])
            if (m.operator, m.occurrence) == (operator, int(occurrence))
        ]
        if match:
            found.append(match[0])
        else:
            lost.append(name)
    return found, lost


def chosen(by_folder: dict[str, list[Mutant]], seed: int) -> list[Mutant]:
    """Every candidate, shuffled per folder, then interleaved across folders."""
    rng = random.Random(seed)
    queues = []
    for folder in FOLDERS:
        queue = list(by_folder[folder])
        rng.shuffle(queue)
        queues.append(queue)
    order = []
    while any(queues):
        for queue in queues:
            if queue:
                order.append(queue.pop())
    return order


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=90, help="mutants that build, to run")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--source-rev", help="take src/ and CMakeLists.txt from this git revision")
    parser.add_argument("--tests-rev", help="take tests/ and fuzz/ from this git revision")
    parser.add_argument("--mutants", type=Path, help="run exactly the mutants named in this report")
    parser.add_argument(
        "--mutants-rev",
        help="the revision whose line numbers the --mutants names use; they are found again by content",
    )
    parser.add_argument("--out", type=Path, help="the report (default: SCRATCH/report.tsv)")
    parser.add_argument(
        "--scratch", type=Path, default=ROOT / "build" / "mutate", help="where the copy and its builds live"
    )
    parser.add_argument(
        "--sanitized", action="store_true", help="run pytest over an address- and UB-sanitized extension"
    )
    parser.add_argument("--with-leak-tests", action="store_true", help="run the leak tests too")
    parser.add_argument(
        "--list", action="store_true", help="print every candidate, as a report would, and stop"
    )
    args = parser.parse_args()

    scratch = args.scratch.resolve()
    global LAST_FAILURE
    LAST_FAILURE = scratch / "last-failure.log"
    scratch.mkdir(parents=True, exist_ok=True)
    tree = copy_project(scratch, args.source_rev, args.tests_rev)
    by_folder = all_mutants(tree)
    if args.list:
        for found in by_folder.values():
            for mutant in found:
                print(f"{mutant.name}\t-\t{mutant.replacement_line.strip()}")
        return 0
    if args.mutants:
        wanted = [
            line.split("\t")[0]
            for line in args.mutants.read_text().splitlines()
            if line and not line.startswith("#")
        ]
        if args.mutants_rev:
            queue, lost = relocated(wanted, args.mutants_rev, tree)
            for name in lost:
                print(f"not found in this source, skipped: {name}")
        else:
            known = {m.name: m for found in by_folder.values() for m in found}
            queue = [known[name] for name in wanted]
        target = len(queue)
    else:
        queue = chosen(by_folder, args.seed)
        target = args.count

    builds = Builds(scratch, tree, args.sanitized, args.with_leak_tests)
    unmutated = judge(builds, None)
    if unmutated != "survived":
        print(f"the unmutated tree fails its own tests ({unmutated}); nothing to measure", file=sys.stderr)
        return 2

    args.out = args.out or scratch / "report.tsv"
    args.out.parent.mkdir(parents=True, exist_ok=True)
    tally: dict[str, int] = {}
    ran = 0
    with args.out.open("w") as report:
        report.write("# mutant\tverdict\tmutated line\n")
        for mutant in queue:
            if ran >= target:
                break
            started = time.monotonic()
            verdict = judge(builds, mutant)
            kind = verdict.split(":")[0]
            tally[kind] = tally.get(kind, 0) + 1
            if kind != "uncompilable":
                ran += 1
            report.write(f"{mutant.name}\t{verdict}\t{mutant.replacement_line.strip()}\n")
            report.flush()
            print(
                f"[{ran}/{target}] {verdict:50} {time.monotonic() - started:5.0f}s  {mutant.name}", flush=True
            )
    builds.build_extension()
    builds.build_core()
    print(
        f"ran {ran}: killed {tally.get('killed', 0)}, survived {tally.get('survived', 0)}"
        f" (uncompilable, not counted: {tally.get('uncompilable', 0)}); report: {args.out}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
