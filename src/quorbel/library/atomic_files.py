"""Small files of a library's hidden folder, replaced whole.

The record of rows, the history marker and the snapshot labels are each
one JSON file that readers may open at any moment and that must survive a
power cut: each is written beside its place, synced, renamed over it, and
the folder synced, so a reader sees the old file or the new one and a power
cut keeps one of them.
"""

import os
import tempfile

__all__ = ["write_text_atomically"]


def write_text_atomically(path: str, text: str, prefix: str) -> None:
    """Replaces `path` with `text` (UTF-8): temporary file `prefix*.tmp`
    beside it, fsync, rename over, fsync the folder (made if missing)."""
    folder = os.path.dirname(path)
    os.makedirs(folder, exist_ok=True)
    fd, temporary = tempfile.mkstemp(prefix=prefix, suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    directory = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(directory)
    finally:
        os.close(directory)
