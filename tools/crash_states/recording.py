"""A traced writer's system calls as operations on the files of one directory tree.

Only what lies under the recorded root matters: its files (as file objects,
which outlive their names and may have several) and its directories. Each
change is one operation, in completion order:

- data operations of a file: ``write``, ``truncate``, ``zero``, ``extend``;
- directory operations (durable once their directory is synced): ``link``
  (a name made for a file, by creation or by link), ``unlink``, ``rename``,
  ``exchange``, ``mkdir``, ``rmdir``;
- ``sync`` of a file (fsync, fdatasync, or a write through O_SYNC/O_DSYNC),
  of a directory, or of everything (sync, syncfs);
- ``mark``: the writer's own markers on stdout between engine calls.

Any write to a recorded file in a form not modelled here (mmap, sendfile,
copy_file_range, splice, io_uring, ...) fails the recording with a
TraceError: a crash state that silently lacks a write would prove nothing.
"""

import os
import re
from dataclasses import dataclass, field

from .strace_log import TraceError, decode_iovec, decode_string, parse_int, read_calls, struct_fields
from .sync_classes import classify_syncs

AT_FDCWD = -100
MARKER = re.compile(rb"QXMARK (\d+) (start|returned)")

@dataclass
class Op:
    """One operation of the recording (see the module docstring for kinds)."""

    kind: str
    file: int = -1          # file object of data ops, links and file syncs
    offset: int = 0
    data: bytes = b""
    size: int = 0
    path: str = ""          # relative path of a directory op's name, or of a synced directory
    path2: str = ""         # the new name of a rename or exchange
    directory: str = ""     # the directory a directory op changes
    call: int = 0           # marks: the engine call
    phase: str = ""         # marks: "start" or "returned"
    syscall: str = ""
    line: int = 0
    sync_class: str = ""    # syncs: what the sync protects (see classify_syncs)


@dataclass
class FileObject:
    """A file (an inode) the writer touched or found prepared."""

    ident: int
    born: int               # index of the op that made it; -1 for prepared files
    inode: tuple = None     # (device, inode) as the writer saw it
    names: list = field(default_factory=list)  # every name it ever had, in order


@dataclass
class Recording:
    """The prepared tree and the operations the writer made on it."""

    root: str
    initial_names: dict     # relative path -> file object
    initial_dirs: set
    initial_content: dict   # file object -> bytes
    ops: list
    files: dict             # file object -> FileObject

    def file_for_inode(self, device, inode, at):
        """The file object that had (device, inode) when op `at` happened:
        the latest one made by then (an inode is reused only once its file
        is gone, so an earlier one with the same number was dead by then)."""
        best = None
        for obj in self.files.values():
            if obj.inode == (device, inode) and obj.born <= at and (best is None or obj.born > best.born):
                best = obj
        return best.ident if best else None


@dataclass
class _Description:
    """An open file description (shared by dup'ed descriptors)."""

    path: str
    file: int = -1          # file object, -1 for none under the root
    directory: str = None   # relative path when it is a directory under the root
    position: int = 0
    append: bool = False
    sync_writes: bool = False


class _Recorder:
    def __init__(self, root, cwd, prepared):
        self.root = os.path.realpath(root)
        self.cwd = {}
        self.default_cwd = cwd
        self.tables = {}     # pid -> {fd: _Description} (threads share one)
        self.names = {}      # relative path -> file object
        self.dirs = {""}
        self.files = {}
        self.sizes = {}      # file object -> size, to place appends and fallocate
        self.ops = []
        self.initial_content = {}
        for rel, (content, inode) in sorted(prepared.items()):
            obj = self._new_file(-1, rel)
            obj.inode = inode
            self.initial_content[obj.ident] = content
            self.sizes[obj.ident] = len(content)
            parent = os.path.dirname(rel)
            while parent and parent not in self.dirs:
                self.dirs.add(parent)
                parent = os.path.dirname(parent)
        self.initial_names = dict(self.names)
        self.initial_dirs = set(self.dirs)

    # ---- names -------------------------------------------------------------

    def _new_file(self, born, rel):
        obj = FileObject(len(self.files), born)
        self.files[obj.ident] = obj
        self.names[rel] = obj.ident
        obj.names.append(rel)
        return obj

    def _relative(self, absolute):
        absolute = os.path.normpath(absolute)
        if absolute == self.root:
            return ""
        if absolute.startswith(self.root + os.sep):
            return absolute[len(self.root) + 1:]
        return None

    def _resolve(self, call, dirfd_arg, path_arg):
        """(absolute path, path relative to the root or None)."""
        where = self._where(call)
        path = decode_string(path_arg, where).decode("utf-8", "surrogateescape")
        if os.path.isabs(path):
            absolute = path
        else:
            dirfd = AT_FDCWD if dirfd_arg is None or dirfd_arg.strip() == "AT_FDCWD" else parse_int(dirfd_arg)
            if dirfd == AT_FDCWD:
                base = self.cwd.get(self._table_key(call.pid), self.default_cwd)
            else:
                description = self._table(call.pid).get(dirfd)
                if description is None:
                    # Every descriptor opened since the writer started is
                    # known: this one was inherited, so it is no directory of
                    # the recorded tree.
                    return None, None
                base = description.path
            absolute = os.path.join(base, path) if path else base
        absolute = os.path.normpath(absolute)
        return absolute, self._relative(absolute)

    @staticmethod
    def _where(call):
        return f"line {call.line} ({call.name})"

    # ---- descriptors -------------------------------------------------------

    def _table_key(self, pid):
        return id(self._table(pid))

    def _table(self, pid):
        if pid not in self.tables:
            # Threads appear before their clone returns; they share the table
            # of the process (a process without CLONE_FILES gets a copy below).
            first = next(iter(self.tables.values()), None)
            self.tables[pid] = first if first is not None else {}
        return self.tables[pid]

    def _description(self, call, fd_arg):
        try:
            fd = parse_int(fd_arg)
        except ValueError:
            raise TraceError(f"{self._where(call)}: not a descriptor: {fd_arg!r}") from None
        return self._table(call.pid).get(fd)

    def _tracked(self, call, fd_arg):
        description = self._description(call, fd_arg)
        return description if description is not None and description.file >= 0 else None

    # ---- operations --------------------------------------------------------

    def _emit(self, syscall, kind, **fields):
        op = Op(kind, syscall=syscall.name, line=syscall.line, **fields)
        self.ops.append(op)
        return op

    def _write(self, call, description, offset, data):
        if not data:
            return
        if description.append:
            offset = self.sizes[description.file]
        self._emit(call, "write", file=description.file, offset=offset, data=data)
        self.sizes[description.file] = max(self.sizes[description.file], offset + len(data))
        if description.sync_writes:
            self._emit(call, "sync", file=description.file)

    def _link(self, call, rel, obj_ident):
        if rel in self.names:
            raise TraceError(f"{self._where(call)}: {rel!r} already exists in the model")
        self.names[rel] = obj_ident
        self.files[obj_ident].names.append(rel)
        self._emit(call, "link", file=obj_ident, path=rel, directory=os.path.dirname(rel))

    def _check_parent(self, call, rel):
        if os.path.dirname(rel) not in self.dirs:
            raise TraceError(f"{self._where(call)}: {rel!r} is in a directory the model does not know")

    def handle(self, call):
        handler = getattr(self, "_on_" + call.name, None)
        if handler is not None:
            handler(call)
        elif call.name in _UNMODELLED_WRITES:
            self._unmodelled(call)

    def _unmodelled(self, call):
        if call.failed:
            return
        if call.name in ("io_uring_setup", "io_uring_enter", "io_uring_register"):
            raise TraceError(f"{self._where(call)}: io_uring writes cannot be seen in a trace")
        target = _UNMODELLED_WRITES[call.name]
        if target is not None and target < len(call.args) and self._tracked(call, call.args[target]):
            raise TraceError(f"{self._where(call)}: a write to a recorded file by {call.name}, which the "
                             "crash model does not represent")

    # open, creat ------------------------------------------------------------

    def _on_open(self, call):
        self._opened(call, None, call.args[0], call.args[1])

    def _on_openat(self, call):
        self._opened(call, call.args[0], call.args[1], call.args[2])

    def _on_creat(self, call):
        self._opened(call, None, call.args[0], "O_CREAT|O_WRONLY|O_TRUNC")

    def _on_openat2(self, call):
        absolute, rel = self._resolve(call, call.args[0], call.args[1])
        if rel is not None and not call.failed:
            raise TraceError(f"{self._where(call)}: openat2 of {absolute!r} is not modelled")

    def _opened(self, call, dirfd_arg, path_arg, flags_arg):
        if call.failed:
            return
        absolute, rel = self._resolve(call, dirfd_arg, path_arg)
        flags = set(flags_arg.split("|"))
        fd = call.value
        description = _Description(absolute)
        if rel is not None:
            if "O_TMPFILE" in flags:
                raise TraceError(f"{self._where(call)}: O_TMPFILE in {absolute!r} is not modelled")
            if rel in self.dirs:
                description.directory = rel
            elif rel in self.names:
                description.file = self.names[rel]
                if "O_TRUNC" in flags and ("O_WRONLY" in flags or "O_RDWR" in flags):
                    self._emit(call, "truncate", file=description.file, size=0)
                    self.sizes[description.file] = 0
            elif "O_CREAT" in flags:
                self._check_parent(call, rel)
                obj = FileObject(len(self.files), len(self.ops))
                self.files[obj.ident] = obj
                self.sizes[obj.ident] = 0
                self._link(call, rel, obj.ident)
                description.file = obj.ident
            else:
                raise TraceError(f"{self._where(call)}: {absolute!r} opened, but the model has no such name")
            description.append = "O_APPEND" in flags
            description.sync_writes = bool(flags & {"O_SYNC", "O_DSYNC"})
        self._table(call.pid)[fd] = description

    # descriptors ------------------------------------------------------------

    def _on_close(self, call):
        if not call.failed:
            self._table(call.pid).pop(parse_int(call.args[0]), None)

    def _dup_to(self, call, old_arg, new_fd):
        description = self._description(call, old_arg)
        table = self._table(call.pid)
        if description is None:
            table.pop(new_fd, None)
        else:
            table[new_fd] = description

    def _on_dup(self, call):
        if not call.failed:
            self._dup_to(call, call.args[0], call.value)

    def _on_dup2(self, call):
        if not call.failed:
            self._dup_to(call, call.args[0], call.value)

    _on_dup3 = _on_dup2

    def _on_fcntl(self, call):
        if not call.failed and call.args[1] in ("F_DUPFD", "F_DUPFD_CLOEXEC"):
            self._dup_to(call, call.args[0], call.value)
        elif not call.failed and call.args[1] == "F_SETFL" and self._tracked(call, call.args[0]):
            flags = set(call.args[2].split("|"))
            self._tracked(call, call.args[0]).append = "O_APPEND" in flags

    def _on_lseek(self, call):
        description = self._tracked(call, call.args[0])
        if description is not None and not call.failed:
            description.position = call.value

    def _on_read(self, call):
        description = self._tracked(call, call.args[0])
        if description is not None and not call.failed:
            description.position += call.value

    _on_readv = _on_read

    def _on_clone(self, call):
        if call.failed:
            return
        flags = re.search(r"flags=([\w|]+)", ", ".join(call.args))
        if flags is None or "CLONE_FILES" not in flags.group(1).split("|"):
            # A process of its own: its descriptors are copies from now on.
            self.tables[call.value] = dict(self._table(call.pid))

    _on_clone3 = _on_clone

    def _on_fork(self, call):
        if not call.failed:
            self.tables[call.value] = dict(self._table(call.pid))

    _on_vfork = _on_fork

    def _on_chdir(self, call):
        if not call.failed:
            absolute, _ = self._resolve(call, None, call.args[0])
            self.cwd[self._table_key(call.pid)] = absolute

    def _on_fchdir(self, call):
        description = self._description(call, call.args[0])
        if not call.failed and description is not None:
            self.cwd[self._table_key(call.pid)] = description.path

    def _on_mmap(self, call):
        if call.failed or len(call.args) < 6:
            return
        prot, flags, fd = call.args[2], call.args[3], call.args[4]
        if "PROT_WRITE" in prot and "MAP_SHARED" in flags and fd.lstrip("-").isdigit() and self._tracked(call, fd):
            raise TraceError(f"{self._where(call)}: a recorded file mapped shared and writable; its writes "
                             "cannot be seen in a trace")

    # writes -----------------------------------------------------------------

    def _on_write(self, call):
        if call.failed:
            return
        description = self._description(call, call.args[0])
        if description is None or description.file < 0:
            marker = MARKER.match(decode_string(call.args[1], self._where(call))) if call.args[0] == "1" else None
            if marker:
                self._emit(call, "mark", call=int(marker.group(1)), phase=marker.group(2).decode())
            return
        data = decode_string(call.args[1], self._where(call))[: call.value]
        self._write(call, description, description.position, data)
        description.position += len(data)

    def _on_writev(self, call):
        description = self._tracked(call, call.args[0])
        if description is None or call.failed:
            return
        data = decode_iovec(call.args[1], self._where(call))[: call.value]
        self._write(call, description, description.position, data)
        description.position += len(data)

    def _on_pwrite64(self, call):
        description = self._tracked(call, call.args[0])
        if description is None or call.failed:
            return
        data = decode_string(call.args[1], self._where(call))[: call.value]
        self._write(call, description, parse_int(call.args[3]), data)

    def _on_pwritev(self, call):
        description = self._tracked(call, call.args[0])
        if description is None or call.failed:
            return
        if call.name == "pwritev2" and call.args[4].strip() != "0":
            raise TraceError(f"{self._where(call)}: pwritev2 with flags {call.args[4]} is not modelled")
        data = decode_iovec(call.args[1], self._where(call))[: call.value]
        offset = parse_int(call.args[3])
        if offset == -1:
            offset = description.position
            description.position += len(data)
        self._write(call, description, offset, data)

    _on_pwritev2 = _on_pwritev

    def _on_ftruncate(self, call):
        description = self._tracked(call, call.args[0])
        if description is not None and not call.failed:
            size = parse_int(call.args[1])
            self._emit(call, "truncate", file=description.file, size=size)
            self.sizes[description.file] = size

    def _on_truncate(self, call):
        _, rel = self._resolve(call, None, call.args[0])
        if rel is not None and not call.failed:
            size = parse_int(call.args[1])
            self._emit(call, "truncate", file=self.names[rel], size=size)
            self.sizes[self.names[rel]] = size

    def _on_fallocate(self, call):
        description = self._tracked(call, call.args[0])
        if description is None or call.failed:
            return
        mode = set(call.args[1].split("|")) - {"0"}
        offset, length = parse_int(call.args[2]), parse_int(call.args[3])
        if not mode:
            self._emit(call, "extend", file=description.file, size=offset + length)
            self.sizes[description.file] = max(self.sizes[description.file], offset + length)
        elif mode == {"FALLOC_FL_KEEP_SIZE"}:
            pass  # space reserved, nothing a reader sees
        elif mode in ({"FALLOC_FL_PUNCH_HOLE", "FALLOC_FL_KEEP_SIZE"}, {"FALLOC_FL_ZERO_RANGE", "FALLOC_FL_KEEP_SIZE"}):
            self._emit(call, "zero", file=description.file, offset=offset, size=length)
        else:
            raise TraceError(f"{self._where(call)}: fallocate mode {call.args[1]} is not modelled")

    # syncs ------------------------------------------------------------------

    def _on_fsync(self, call):
        description = self._description(call, call.args[0])
        if description is None or call.failed:
            return
        if description.file >= 0:
            self._emit(call, "sync", file=description.file)
        elif description.directory is not None:
            self._emit(call, "sync", path=description.directory)

    _on_fdatasync = _on_fsync

    def _on_sync(self, call):
        self._emit(call, "sync", path=None)

    def _on_syncfs(self, call):
        if not call.failed:
            self._emit(call, "sync", path=None)

    # directory entries ------------------------------------------------------

    def _on_rename(self, call):
        self._renamed(call, None, call.args[0], None, call.args[1], "0")

    def _on_renameat(self, call):
        self._renamed(call, call.args[0], call.args[1], call.args[2], call.args[3], "0")

    def _on_renameat2(self, call):
        self._renamed(call, call.args[0], call.args[1], call.args[2], call.args[3], call.args[4])

    def _renamed(self, call, old_dir, old_arg, new_dir, new_arg, flags):
        if call.failed:
            return
        _, old = self._resolve(call, old_dir, old_arg)
        _, new = self._resolve(call, new_dir, new_arg)
        if old is None and new is None:
            return
        if old is None or new is None or os.path.dirname(old) != os.path.dirname(new):
            raise TraceError(f"{self._where(call)}: a rename across directories is not modelled")
        if old in self.dirs:
            raise TraceError(f"{self._where(call)}: renaming a directory is not modelled")
        if "RENAME_WHITEOUT" in flags:
            raise TraceError(f"{self._where(call)}: RENAME_WHITEOUT is not modelled")
        directory = os.path.dirname(old)
        if "RENAME_EXCHANGE" in flags:
            self.names[old], self.names[new] = self.names[new], self.names[old]
            self._emit(call, "exchange", path=old, path2=new, directory=directory)
            return
        ident = self.names.pop(old)
        self.names[new] = ident
        self.files[ident].names.append(new)
        self._emit(call, "rename", file=ident, path=old, path2=new, directory=directory)

    def _on_link(self, call):
        self._linked(call, None, call.args[0], None, call.args[1], "0")

    def _on_linkat(self, call):
        self._linked(call, call.args[0], call.args[1], call.args[2], call.args[3], call.args[4])

    def _linked(self, call, old_dir, old_arg, new_dir, new_arg, flags):
        if call.failed:
            return
        if "AT_EMPTY_PATH" in flags:
            raise TraceError(f"{self._where(call)}: linking a descriptor is not modelled")
        _, old = self._resolve(call, old_dir, old_arg)
        _, new = self._resolve(call, new_dir, new_arg)
        if new is None:
            return
        if old is None:
            raise TraceError(f"{self._where(call)}: a link into the recorded tree from outside it")
        self._check_parent(call, new)
        self._link(call, new, self.names[old])

    def _on_unlink(self, call):
        self._unlinked(call, None, call.args[0], "0")

    def _on_unlinkat(self, call):
        self._unlinked(call, call.args[0], call.args[1], call.args[2])

    def _unlinked(self, call, dirfd, path_arg, flags):
        if call.failed:
            return
        _, rel = self._resolve(call, dirfd, path_arg)
        if rel is None:
            return
        if "AT_REMOVEDIR" in flags:
            self._removed_dir(call, rel)
            return
        if rel not in self.names:
            raise TraceError(f"{self._where(call)}: {rel!r} unlinked, but the model has no such name")
        ident = self.names.pop(rel)
        self._emit(call, "unlink", file=ident, path=rel, directory=os.path.dirname(rel))

    def _on_mkdir(self, call):
        self._made_dir(call, None, call.args[0])

    def _on_mkdirat(self, call):
        self._made_dir(call, call.args[0], call.args[1])

    def _made_dir(self, call, dirfd, path_arg):
        if call.failed:
            return
        _, rel = self._resolve(call, dirfd, path_arg)
        if rel is None:
            return
        self._check_parent(call, rel)
        self.dirs.add(rel)
        self._emit(call, "mkdir", path=rel, directory=os.path.dirname(rel))

    def _on_rmdir(self, call):
        if not call.failed:
            _, rel = self._resolve(call, None, call.args[0])
            if rel is not None:
                self._removed_dir(call, rel)

    def _removed_dir(self, call, rel):
        self.dirs.discard(rel)
        self._emit(call, "rmdir", path=rel, directory=os.path.dirname(rel))

    def _on_symlink(self, call):
        _, rel = self._resolve(call, None, call.args[1])
        if rel is not None and not call.failed:
            raise TraceError(f"{self._where(call)}: symbolic links in the recorded tree are not modelled")

    def _on_symlinkat(self, call):
        _, rel = self._resolve(call, call.args[1], call.args[2])
        if rel is not None and not call.failed:
            raise TraceError(f"{self._where(call)}: symbolic links in the recorded tree are not modelled")

    # inode numbers ----------------------------------------------------------

    def _saw_inode(self, call, ident, device, inode):
        obj = self.files[ident]
        if obj.inode is not None and obj.inode != (device, inode):
            raise TraceError(f"{self._where(call)}: {obj.names[-1]!r} changed inode from {obj.inode} to "
                             f"{(device, inode)}: the model lost track of the files")
        obj.inode = (device, inode)

    def _stat_result(self, call, ident, struct_arg):
        fields = struct_fields(struct_arg, self._where(call))
        if "st_ino" in fields:
            major, minor = re.fullmatch(r"makedev\((\w+), (\w+)\)", fields["st_dev"]).groups()
            device = os.makedev(parse_int(major), parse_int(minor))
            self._saw_inode(call, ident, device, parse_int(fields["st_ino"]))
        elif "stx_ino" in fields and "stx_dev_major" in fields:
            device = os.makedev(parse_int(fields["stx_dev_major"]), parse_int(fields["stx_dev_minor"]))
            self._saw_inode(call, ident, device, parse_int(fields["stx_ino"]))

    def _stat_target(self, call, dirfd_arg, path_arg):
        """The file object a stat call looked at, or -1."""
        if path_arg.strip() == '""' and dirfd_arg is not None:
            description = self._description(call, dirfd_arg)
            return description.file if description is not None else -1
        _, rel = self._resolve(call, dirfd_arg, path_arg)
        if rel is None or rel in self.dirs:
            return -1
        if rel not in self.names:
            raise TraceError(f"{self._where(call)}: {rel!r} exists, but the model has no such name")
        return self.names[rel]

    def _on_fstat(self, call):
        if not call.failed:
            description = self._description(call, call.args[0])
            if description is not None and description.file >= 0:
                self._stat_result(call, description.file, call.args[1])

    def _on_newfstatat(self, call):
        if not call.failed:
            ident = self._stat_target(call, call.args[0], call.args[1])
            if ident >= 0:
                self._stat_result(call, ident, call.args[2])

    def _on_stat(self, call):
        if not call.failed:
            ident = self._stat_target(call, None, call.args[0])
            if ident >= 0:
                self._stat_result(call, ident, call.args[1])

    _on_lstat = _on_stat

    def _on_statx(self, call):
        if not call.failed:
            ident = self._stat_target(call, call.args[0], call.args[1])
            if ident >= 0:
                self._stat_result(call, ident, call.args[4])


# System calls that can change a file's bytes without being modelled, and
# which of their arguments is the descriptor written to (None: any use).
_UNMODELLED_WRITES = {"sendfile": 0, "sendfile64": 0, "copy_file_range": 2, "splice": 2, "tee": 1,
                      "vmsplice": 0, "io_uring_setup": None, "io_uring_enter": None, "io_uring_register": None,
                      "sync_file_range": 0, "process_vm_writev": None}


def record(trace_path, root, prepared, cwd):
    """Reads the strace log of a writer that changed the tree at `root`.

    Parameters
    ----------
    trace_path : str
        The log (see ``strace_log.STRACE_OPTIONS``).
    root : str
        The directory the writer worked in; nothing outside it is recorded.
    prepared : dict
        ``{relative path: (content, (device, inode))}`` of the files the tree
        held before the writer started.
    cwd : str
        The writer's working directory, for relative paths.

    Returns
    -------
    Recording

    Raises
    ------
    TraceError
        An unreadable line, a write in a form the model does not represent, or
        a call the model cannot place (the message names the line).
    """
    recorder = _Recorder(root, cwd, prepared)
    for call in read_calls(trace_path):
        try:
            recorder.handle(call)
        except TraceError as error:
            raise TraceError(f"{trace_path}: {error}") from None
        except (ValueError, IndexError, KeyError, AttributeError) as error:
            raise TraceError(f"{trace_path}: line {call.line} ({call.name}): cannot be read: {error!r}") from None
    recording = Recording(recorder.root, recorder.initial_names, recorder.initial_dirs, recorder.initial_content,
                          recorder.ops, recorder.files)
    classify_syncs(recording)
    return recording
