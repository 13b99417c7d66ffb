"""What the Python tests share: failures collected per rank, exit status."""
import os
import sys

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def raises(call, kind, text=""):
    """'' when call() raises `kind` with `text` in its message, else what happened."""
    try:
        call()
    except kind as e:
        return "" if text in str(e) else f"{kind.__name__} without {text!r}: {e}"
    except Exception as e:  # noqa: BLE001 - the wrong kind is the finding
        return f"{type(e).__name__} instead of {kind.__name__}: {e}"
    return f"no {kind.__name__}"


def finish(name, summary=""):
    for f in failures:
        print(f"rank {os.environ.get('OMPI_COMM_WORLD_RANK')}: FAILED {f}", file=sys.stderr)
    print(f"{name}: {summary}{len(failures)} failures")
    return 1 if failures else 0
