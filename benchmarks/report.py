"""What a benchmark prints, also written to a file: the tables the documentation includes come from
the scripts themselves (``--output docs/benchmarks/NAME.txt``), never from copies by hand."""

import argparse
import contextlib
import datetime
import os
import platform
import sys


class _Tee:
    def __init__(self, *streams):
        self.streams = streams

    def write(self, text):
        for stream in self.streams:
            stream.write(text)
        return len(text)

    def flush(self):
        for stream in self.streams:
            stream.flush()


@contextlib.contextmanager
def tee(path, command):
    """Within the block, print to stdout and, when `path` is given, to that file, which starts with
    the command that produced it, the date and the machine."""
    if path is None:
        yield
        return
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w", encoding="utf-8") as out:
        out.write(f"$ {command}\n")
        out.write(f"# {datetime.date.today().isoformat()}, {platform.machine()}, "
                  f"{os.cpu_count()} cores, Python {platform.python_version()}\n")
        saved = sys.stdout
        sys.stdout = _Tee(saved, out)
        try:
            yield
        finally:
            sys.stdout = saved


def run(main):
    """Run a benchmark's main() with the option ``--output FILE`` taken off its command line."""
    pre = argparse.ArgumentParser(add_help=False)
    pre.add_argument("--output", metavar="FILE")
    known, rest = pre.parse_known_args()
    sys.argv = [sys.argv[0], *rest]
    command = " ".join(["python3", os.path.join("benchmarks", os.path.basename(sys.argv[0])), *rest])
    with tee(known.output, command):
        main()
