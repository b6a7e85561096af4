"""System calls from an ``strace -f -qq -xx -v`` log, in the order they completed.

With ``-xx`` every string is printed as ``\\xHH`` escapes, so a string never
holds a quote, a bracket or a comma of its own: the argument text can be split
by counting brackets. Calls that other threads interrupt are printed in two
pieces (``<unfinished ...>`` / ``<... name resumed>``); the event is placed
where the call returned, which is when its effect is known to have happened.
"""

import re
from dataclasses import dataclass

STRACE_OPTIONS = ["-f", "-qq", "-xx", "-v", "-s", str(1 << 24),
                  # Buffers that were read are of no interest and would make
                  # the log many times larger: print those calls undecoded.
                  "-e", "raw=read,readv,pread64,preadv,preadv2"]

_LINE = re.compile(r"^(\d+)\s+(.*)$")
_RESUMED = re.compile(r"^<\.\.\. (\w+) resumed>(.*)$")
_CALL = re.compile(r"^(\w+)\((.*)$")
_UNFINISHED = " <unfinished ...>"

# Calls whose effect on files a crash state depends on.
CHANGING_CALLS = frozenset({
    "open", "openat", "openat2", "creat", "write", "writev", "pwrite64", "pwritev", "pwritev2", "ftruncate",
    "truncate", "fallocate", "fsync", "fdatasync", "sync", "syncfs", "rename", "renameat", "renameat2", "link",
    "linkat", "unlink", "unlinkat", "mkdir", "mkdirat", "rmdir", "sendfile", "copy_file_range", "splice"})


class TraceError(ValueError):
    """A trace line that cannot be read, or a call the explorer does not model."""


@dataclass
class Syscall:
    """One completed system call.

    Attributes
    ----------
    line : int
        Line number (1-based) of the line that completed it.
    pid : int
        Thread id that made it.
    name : str
        System call name.
    args : list
        Top-level arguments as text, split at commas.
    result : str
        What follows ``=``: ``"3"``, ``"-1 ENOENT (...)"``, ``"?"``.
    """

    line: int
    pid: int
    name: str
    args: list
    result: str

    @property
    def failed(self):
        return self.result.startswith("-1 ") or self.result == "?" or self.result.startswith("? ")

    @property
    def value(self):
        """The return value as an integer (hex for calls printed raw)."""
        return parse_int(self.result.split(None, 1)[0])


def parse_int(text):
    text = text.strip()
    try:
        return int(text, 0)
    except ValueError:
        # strace prints octal modes with a leading zero (0644).
        if re.fullmatch(r"-?0[0-7]+", text):
            return int(text, 8)
        raise


def _outside_strings(text):
    """(index, character, depth) of each character outside string literals;
    depth counts the brackets opened before it and not yet closed."""
    depth, in_string = 0, False
    for i, ch in enumerate(text):
        if in_string:
            in_string = ch != '"'
            continue
        if ch == '"':
            in_string = True
            continue
        yield i, ch, depth
        if ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1


def split_args(text):
    """Splits an argument list at top-level commas; brackets nest, strings do not."""
    args, start = [], 0
    for i, ch, depth in _outside_strings(text):
        if ch == "," and depth == 0:
            args.append(text[start:i].strip())
            start = i + 1
    tail = text[start:].strip()
    if tail or args:
        args.append(tail)
    return args


def _close_paren(text):
    """Index of the ``)`` that closes an argument list opened just before text."""
    for i, ch, depth in _outside_strings(text):
        if ch == ")" and depth == 0:
            return i
    return -1


_STRING = re.compile(r'"((?:\\x[0-9a-f]{2})*)"(\.\.\.)?')


def decode_string(arg, where):
    """The bytes of a ``-xx`` string argument; TraceError when strace cut it short."""
    match = _STRING.fullmatch(arg.strip())
    if not match:
        raise TraceError(f"{where}: expected a string argument, found {arg[:60]!r}")
    if match.group(2):
        raise TraceError(f"{where}: strace cut a string short; raise its -s limit")
    return bytes.fromhex(match.group(1).replace("\\x", ""))


def decode_iovec(arg, where):
    """The bytes of an iovec array ``[{iov_base="...", iov_len=N}, ...]``, in order."""
    text = arg.strip()
    if not (text.startswith("[") and text.endswith("]")):
        raise TraceError(f"{where}: expected an iovec array, found {text[:60]!r}")
    data = b""
    for element in split_args(text[1:-1]):
        fields = dict(_struct_fields(element, where))
        if "iov_base" not in fields:
            raise TraceError(f"{where}: an iovec element without iov_base: {element[:60]!r}")
        data += decode_string(fields["iov_base"], where)
    return data


def _struct_fields(text, where):
    text = text.strip()
    if not (text.startswith("{") and text.endswith("}")):
        raise TraceError(f"{where}: expected a structure, found {text[:60]!r}")
    for part in split_args(text[1:-1]):
        if "=" in part:
            key, value = part.split("=", 1)
            yield key.strip(), value.strip()


def read_calls(path):
    """Yields every completed system call of the strace log at `path`.

    Raises
    ------
    TraceError
        A line that is neither a call, a piece of one, nor a signal or exit
        notice; the message names the log and the line.
    """
    pending = {}  # pid -> (name, argument text so far)
    with open(path, "r", encoding="ascii", errors="replace") as log:
        for number, raw in enumerate(log, 1):
            where = f"{path}:{number}"
            line = raw.rstrip("\n")
            match = _LINE.match(line)
            if not match:
                if line.strip():
                    raise TraceError(f"{where}: not a traced call: {line[:80]!r}")
                continue
            pid, rest = int(match.group(1)), match.group(2)
            if rest.startswith(("---", "+++")):
                continue  # signals and exits
            resumed = _RESUMED.match(rest)
            if resumed:
                name, more = resumed.groups()
                if pid not in pending or pending[pid][0] != name:
                    raise TraceError(f"{where}: {name} resumed without its start")
                start = pending.pop(pid)[1]
                rest = f"{name}({start}{more}"
            if rest.endswith(_UNFINISHED):
                call = _CALL.match(rest[: -len(_UNFINISHED)])
                if not call:
                    raise TraceError(f"{where}: unreadable unfinished call: {line[:80]!r}")
                pending[pid] = (call.group(1), call.group(2))
                continue
            call = _CALL.match(rest)
            if not call:
                raise TraceError(f"{where}: not a traced call: {line[:80]!r}")
            name, text = call.groups()
            close = _close_paren(text)
            if close < 0:
                raise TraceError(f"{where}: the arguments of {name} do not end: {line[:80]!r}")
            result = text[close + 1:].strip()
            if not result.startswith("="):
                raise TraceError(f"{where}: {name} without a result: {line[:80]!r}")
            yield Syscall(number, pid, name, split_args(text[:close]), result[1:].strip())
    for pid, (name, _) in pending.items():
        # A thread still inside a call when the trace ended (the writer exited
        # while it blocked) completed nothing, unless the call changes files:
        # whether it did is then unknown.
        if name in CHANGING_CALLS:
            raise TraceError(f"{path}: {name} of thread {pid} never completed, so its effect is unknown")


def struct_fields(text, where=""):
    """``{key=value, ...}`` as a dict of texts."""
    return dict(_struct_fields(text, where))
