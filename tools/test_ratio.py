#!/usr/bin/env python3
"""How big the tests are next to the code they test.

    python3 tools/test_ratio.py [PROJECT_ROOT]

Counts lines that are neither blank nor only a comment (Python docstrings
count as comments). Code: src/ and python/, minus generated files (marked
"generated" in their first three lines). Tests: tests/ and the fuzz targets
(not their seed corpora). The project keeps tests at about a quarter to a
third of the code: enough to catch every fault, little enough to stay read.
Prints the largest test files and, last, `tests/code: T / C lines = R`.
"""

import sys
from pathlib import Path

CODE_DIRS = ("src", "python")
TEST_DIRS = ("tests", "fuzz")
SOURCE = {".cpp", ".hpp", ".h", ".cc", ".py", ".pyi"}
SKIPPED_DIRS = {"corpus", "__pycache__", "build"}


def counted_lines(path: Path, generated_allowed: bool) -> int:
    text = path.read_text(encoding="utf-8", errors="replace")
    head = "\n".join(text.splitlines()[:3]).lower()
    if generated_allowed and "generated" in head:
        return 0
    python = path.suffix in (".py", ".pyi")
    count, in_comment = 0, False
    for raw in text.splitlines():
        line = raw.strip()
        if not line:
            continue
        if python:
            if in_comment:
                in_comment = not line.endswith(('"""', "'''"))
                continue
            if line.startswith(('"""', "'''")):
                in_comment = not (len(line) >= 6 and line.endswith(line[:3]))
                continue
            if line.startswith("#"):
                continue
        else:
            if in_comment:
                in_comment = "*/" not in line
                continue
            if line.startswith("/*"):
                in_comment = "*/" not in line
                continue
            if line.startswith("//"):
                continue
        count += 1
    return count


def per_file(root: Path, dirs: tuple[str, ...], is_code: bool) -> dict[str, int]:
    counts = {}
    for top in dirs:
        for path in sorted((root / top).rglob("*")):
            inside = path.relative_to(root).parts
            if path.suffix in SOURCE and path.is_file() and not SKIPPED_DIRS & set(inside):
                counts[path.relative_to(root).as_posix()] = counted_lines(path, is_code)
    return counts


def main() -> None:
    root = Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    code, tests = per_file(root, CODE_DIRS, True), per_file(root, TEST_DIRS, False)
    for name, lines in sorted(tests.items(), key=lambda item: -item[1])[:8]:
        print(f"  {lines:6d}  {name}")
    c, t = sum(code.values()), sum(tests.values())
    print(f"tests/code: {t} / {c} lines = {t / c:.2f}")


if __name__ == "__main__":
    main()
