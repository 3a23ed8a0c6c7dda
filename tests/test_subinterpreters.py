"""The module keeps process-wide state, so it refuses a second interpreter."""

import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("_xxsubinterpreters")


def run_isolated(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )


@pytest.mark.parametrize("first", ["main", "sub"])
def test_second_interpreter_gets_import_error(first):
    # Whichever interpreter imports first owns the module; the other one is refused.
    result = run_isolated(f"""
        import sys, _xxsubinterpreters as si
        sub = si.create()
        setup = "import sys; sys.path[:] = " + repr(sys.path) + "\\n"
        def import_in_sub():
            si.run_string(sub, setup + "import derirezaro._core")
        if {first!r} == "main":
            import derirezaro._core
            try:
                import_in_sub()
            except si.RunFailedError as e:
                print("refused:", e)
        else:
            import_in_sub()
            try:
                import derirezaro._core
            except ImportError as e:
                print("refused:", e)
    """)
    assert result.returncode == 0, result.stderr
    assert "refused:" in result.stdout
    assert "sub-interpreters" in result.stdout
