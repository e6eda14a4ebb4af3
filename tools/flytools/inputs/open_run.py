# open_run.py: the runs named on a command line: a [LABEL=]FILE argument is
# one run (with the run.json beside the file as its environment), a flyrun
# folder a run per label with its script and screenshots. Also the checks
# on runs as a whole: passes of one flight have one length, and the notes
# on what is accepted but worth saying (gaps in the pass numbers, a file
# given twice).
import os
from dataclasses import replace

from ..errors import InputError, UsageError, shown
from . import ppm, runfolder
from .logfile import read_log, unique


def split_label(arg):
    """(label or None, path) from [LABEL=]PATH; an existing path wins."""
    if os.path.exists(arg) or "=" not in arg:
        return None, arg
    label, path = arg.split("=", 1)
    if not label or not path:
        raise InputError("'%s': expected LABEL=PATH" % arg)
    return label, path


def check_labels(args):
    """Refuses (UsageError) a LABEL= given to two runs, or naming a run
    another run is labelled by its file name; labels a file name gives
    twice are numbered (a file compared with itself, or two folders' logs)."""
    named = []
    for arg in args:
        label, path = (None, arg) if os.path.exists(arg) or "=" not in arg else arg.split("=", 1)
        if not runfolder.is_folder(path):
            named.append((label, label or os.path.basename(path)))
    for label, _ in named:
        if label and sum(name == label for _, name in named) > 1:
            raise UsageError("two runs are labelled %s" % shown(label))


def read_run(path, label):
    """The run of a log file, with the run.json beside it, if there is one,
    as its environment."""
    run = read_log(path, label)
    env = runfolder.beside(path)
    return replace(run, environments=(env,)) if env else run


def open_run(arg, used_labels):
    """The run named by a [LABEL=]FILE argument, labelled by its file name
    unless LABEL= is given."""
    label, path = split_label(arg)
    return read_run(path, unique(shown(label or os.path.basename(path) or path), used_labels))


def open_runs(args, script=None):
    """(runs, run label -> screenshot folder, the keyframe script, notes)
    of the arguments. A flyrun folder gives one run per label, the script
    it flew (unless one is given; where still there and unchanged) and its
    screenshot folders."""
    used, runs, shots, said = set(), [], {}, []
    for arg in args:
        if not runfolder.is_folder(arg):
            runs.append(open_run(arg, used))
            continue
        session, from_folder, note = runfolder.read_folder(arg, used)
        said += [note] if note else []
        if script is None:
            script, changed = runfolder.session_script(arg, session)
            said += [changed] if changed else []
        for run, label in zip(from_folder, session.settings.labels):
            folder = runfolder.shots_folder(arg, label)
            if folder:
                shots[run.label] = folder
        runs += from_folder
    return runs, shots, script, said


def input_paths(args, script=None, shot_args=()) -> tuple[list[str], list[str]]:
    """(files, folders) the runs of the arguments are read from: each file
    with the run.json beside it, a flyrun folder's own files and folders,
    the script, the screenshots of each --shots folder."""
    files, folders = [script] if script else [], []
    for arg in args:
        path = arg if os.path.exists(arg) else arg.split("=", 1)[-1]
        if runfolder.is_folder(path):
            more, inside = runfolder.session_paths(path)
            files, folders = files + more, folders + inside
        else:
            files += [path, os.path.join(os.path.dirname(os.path.abspath(path)), runfolder.RUN_INFO)]
    for arg in shot_args:
        folder = arg if os.path.exists(arg) else arg.split("=", 1)[-1]
        files += [os.path.join(folder, name) for name in ppm.shots(folder).values()] if os.path.isdir(folder) else []
    return files, folders


def check_flight(runs):
    """Refuses runs that are not of one flight: their passes differ in length."""
    runs = [r for r in runs if r.passes]
    if len({r.passes[0].frames for r in runs}) > 1:
        raise InputError("the runs' passes differ in length: %s; runs of one flight have equal "
                         "passes" % ", ".join("%s %d frames" % (r.label, r.passes[0].frames)
                                              for r in runs))


def notes(runs):
    """One-line notes on what is accepted but worth saying: pass numbers
    with gaps (a pass missing from a log) and one file given as two runs."""
    out = []
    for r in runs:
        before = 0  # a folder's launches are numbered on from the launch before
        for group in r.launches:
            numbers = [r.passes[i].number for i in group]
            missing = sorted(set(range(before + 1, numbers[-1] + 1)) - set(numbers))
            before += len(numbers)
            if missing:
                out.append("%s: passes %s: no pass %s; the passes are compared as they are"
                           % (r.path, ", ".join(map(str, numbers)), ", ".join(map(str, missing))))
    seen = {}
    for r in runs:
        key = os.path.realpath(r.path)
        if key in seen:
            out.append("%s is given twice (%s and %s): a run compared with itself"
                       % (r.path, seen[key], r.label))
        else:
            seen[key] = r.label
    return list(dict.fromkeys(out))  # a file given twice has its gaps said once
