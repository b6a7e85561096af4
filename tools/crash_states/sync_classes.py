"""What a sync protects, named from what it targets (a journal, the factor
file, a new file under its temporary name, a directory) and, for a
directory, from the last change made in it before the sync. The sync-removal
mode removes one such class at a time."""

import os


def classify_syncs(recording):
    """Names what each sync protects, from what it targets and, for a
    directory, the last change made in that directory before it."""
    names = dict(recording.initial_names)
    last_in_dir = {}
    for op in recording.ops:
        if op.kind in ("link", "unlink", "rename", "exchange", "mkdir", "rmdir"):
            last_in_dir[op.directory] = op
            if op.kind == "link":
                names[op.path] = op.file
            elif op.kind == "unlink":
                names.pop(op.path, None)
            elif op.kind == "rename":
                names[op.path2] = names.pop(op.path)
            elif op.kind == "exchange":
                names[op.path], names[op.path2] = names[op.path2], names[op.path]
        elif op.kind == "sync":
            if op.file >= 0:
                # By the name the file has when synced: a new file is synced
                # under its temporary name, before it is published.
                current = [name for name, ident in names.items() if ident == op.file]
                op.sync_class = f"sync of the {role((current or recording.files[op.file].names)[-1])}"
            elif op.path is None:
                op.sync_class = "sync of everything"
            else:
                op.sync_class = "directory sync " + _after(last_in_dir.get(op.path))


def role(name):
    """What a name in a factor directory is, by the engine's naming rules."""
    base = os.path.basename(name)
    if ".journal.set-aside-" in base:
        return "set-aside journal"
    if base.startswith(".") and base.endswith(".journal"):
        return "journal"
    if base.startswith(".") and base.endswith(".tmp"):
        return "new file (temporary)"
    if base.endswith(".h5"):
        return "factor file"
    if base.endswith(".h5.history"):
        return "history"
    return "other file"


def _after(op):
    if op is None:
        return "with no directory change before it"
    if op.kind == "link" and op.syscall in ("link", "linkat") and role(op.path) == "factor file":
        return "after the new file is published (link)"
    if op.kind == "link":
        return f"after the {role(op.path)} is created"
    if op.kind == "unlink":
        return f"after the {role(op.path)} is removed"
    if op.kind == "rename" and role(op.path2) == "factor file":
        return "after the new file is published (rename)"
    if op.kind == "rename" and role(op.path2) == "set-aside journal":
        return "after a journal is set aside"
    return f"after {op.kind} of the {role(op.path)}"
