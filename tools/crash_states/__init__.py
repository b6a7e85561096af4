"""Power-loss crash states of quorbel's writers, and what the engine makes of them.

The modules, in the order the explorer uses them:

- ``strace_log``: the system calls of a traced writer, one event per call,
  ordered by completion;
- ``recording``: those calls as operations on files and directories (writes,
  syncs, directory entries), with the inode each file had;
- ``sync_classes``: what each sync protects, for the sync-removal mode;
- ``crash_model``: crash points, the operations a power cut may drop there,
  and the files a crash state holds;
- ``scenarios``: the writer runs (prepared files, the recorded run, the
  reference run) and what each engine call promises;
- ``verdicts``: what a state's files must hold, judged column by column;
- ``history_check``: whether a file's history holds exactly its commits;
- ``checking``: laying a state out in a scratch directory and opening it
  with the engine in a forked child;
- ``exploring``: a scenario's distinct states, their checks and the smallest
  reproduction of each kind of violation;
- ``writer``: the script the recorded and reference runs execute.
"""
