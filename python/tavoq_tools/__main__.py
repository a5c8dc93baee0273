"""The ``tavoq`` command's entry point (and ``python -m tavoq_tools``).

The command's module loads here, within a handler of Ctrl-C: its imports take a good part
of the start-up, and Ctrl-C during them is one line and exit code 130, as at any later
moment, rather than a traceback. Nothing is imported before it but the package (which
itself imports almost nothing), sys and os (which Python has loaded already).
"""

import os
import sys

# As tavoq_tools.cli's EXIT_FAILED and EXIT_INTERRUPTED, not loaded yet when needed here.
EXIT_FAILED = 1
EXIT_INTERRUPTED = 130


def main() -> int:
    try:
        from .cli import main as command
    except KeyboardInterrupt:
        _say("tavoq: interrupted")
        return EXIT_INTERRUPTED
    except MemoryError:
        _say("tavoq: error: not enough memory to start (ulimit -v, or the machine's memory)")
        return EXIT_FAILED
    kept: list[object] = []
    code = command(keep=kept)
    if kept:
        _leave(code)
    return code


def _leave(code: int) -> None:
    """End the process now, the output flushed: freeing a large model object by object, as
    the interpreter would on its way out, takes a tenth of the check of a 200,000-gate
    tree, and nothing else is left to do."""
    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                stream.flush()
        except OSError:  # the reader went away: a failure, as Python's own exit says
            code = code or EXIT_FAILED
    os._exit(code)


def _say(line: str) -> None:
    if sys.stderr is not None:  # started with stderr closed: nowhere to say it
        print(line, file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
