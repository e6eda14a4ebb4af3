# runfolder.py: the files tools/flyrun writes, read and written here only.
# A flyrun folder holds flyrun.json (the session: settings, every launch in
# order) and one folder per label with a run-NN folder per launch of the
# game, each with its run.json (what the launch ran on and how it ended). A
# launch counts only when its run.json says "complete" (flyrun writes under
# a scratch name and renames, so a killed launch never looks complete).
# Both files are validated as they are read: a field of the wrong type is
# one error naming the file and the field. Each label becomes one Run
# holding the passes of all its complete launches.
import json
import os
import re
import typing
from dataclasses import fields, is_dataclass, replace

from ..errors import InputError, shown
from ..records import Run, RunInfo, Session, SessionEntry, to_json
from . import files
from .logfile import check_passes, read_log, unique

SESSION = "flyrun.json"
RUN_INFO = "run.json"
REPORT = "report.txt"
RUN_RE = re.compile(r"^run-(\d+)$")
# What a list field holds, where it holds records.
ITEMS = {(Session, "runs"): SessionEntry}
_KINDS = {str: "a string", int: "a whole number", float: "a number", bool: "true or false",
          list: "a list", dict: "an object", tuple: "a list"}


def _kind(value) -> str:
    """What a JSON value is, in words."""
    return next((_KINDS[t] for t in (bool, int, float, str, list, dict) if isinstance(value, t)), "null")


def _value(value, hint, where, name, owner):
    """value checked against the field's type (records built, lists of
    records too); an InputError naming the file and field otherwise."""
    args = typing.get_args(hint)
    if typing.get_origin(hint) is typing.Union:
        if value is None:
            return None
        hint = next(a for a in args if a is not type(None))
    if is_dataclass(hint):
        return build(hint, value, where, name + ".")
    expected = {float: (int, float), tuple: list}.get(hint, hint)
    ok = isinstance(value, expected) and not (hint in (int, float) and isinstance(value, bool))
    if not ok:
        raise InputError("%s: field %s: expected %s, found %s" % (where, name, _KINDS[hint], _kind(value)))
    item = ITEMS.get((owner, name.rsplit(".", 1)[-1]))
    if item is not None:
        return tuple(build(item, v, where, "%s[%d]." % (name, i)) for i, v in enumerate(value))
    return value


def build(cls, value, where: str, prefix: str = ""):
    """A record from a JSON object, every field it has checked; a field it
    lacks keeps its default (files of older flyruns have fewer)."""
    if not isinstance(value, dict):
        what = "field %s: expected" % prefix[:-1] if prefix else "expected"
        raise InputError("%s: %s an object, found %s" % (where, what, _kind(value)))
    hints = typing.get_type_hints(cls)
    given = {}
    for f in fields(cls):
        if f.name in value:
            given[f.name] = _value(value[f.name], hints[f.name], where, prefix + f.name, cls)
    return cls(**given)


def load_json(path: str) -> dict:
    """A JSON object from a file, or an InputError naming the file (one
    cut short or otherwise not a JSON object is said to be damaged)."""
    try:
        with open(path, encoding="utf-8") as f:
            value = json.load(f)
    except OSError as e:
        raise InputError("%s: %s" % (path, e.strerror or e))
    except ValueError as e:
        raise InputError("%s: damaged: not JSON (%s)" % (path, e))
    if not isinstance(value, dict):
        raise InputError("%s: damaged: not a JSON object" % path)
    return value


def write_json(path: str, record) -> None:
    """Written under a scratch name and renamed, so a reader never sees half."""
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(to_json(record), f, indent=1)
        f.write("\n")
    os.replace(tmp, path)


def is_folder(path: str) -> bool:
    """Whether path is a folder flyrun wrote (it has flyrun.json)."""
    return os.path.isfile(os.path.join(path, SESSION))


def read_session(path: str) -> Session:
    """The folder's flyrun.json."""
    where = os.path.join(path, SESSION)
    doc = load_json(where)
    settings = doc.get("settings")
    if doc.get("format") != "flyrun" or not isinstance(settings, dict) \
            or not isinstance(settings.get("labels"), list) \
            or not all(isinstance(v, str) for v in settings["labels"]):
        raise InputError("%s: not a flyrun session file" % where)
    return build(Session, doc, where)


def write_session(path: str, session: Session) -> None:
    write_json(os.path.join(path, SESSION), session)


def read_run_info(run_dir: str) -> RunInfo | None:
    """A launch's run.json; None where there is none (a launch that never
    ended). A damaged one is an error naming it: flyrun writes it whole or
    not at all, so it is no launch cut short."""
    where = os.path.join(run_dir, RUN_INFO)
    return build(RunInfo, load_json(where), where) if os.path.isfile(where) else None


def write_run_info(run_dir: str, info: RunInfo) -> None:
    write_json(os.path.join(run_dir, RUN_INFO), info)


def complete_runs(path: str, label: str) -> tuple[list[tuple[str, RunInfo]], int]:
    """The label's complete run folders with their run.json, by run number,
    and how many other run folders (failed, partial) there are."""
    folder = os.path.join(path, label)
    found, other = [], 0
    try:
        names = os.listdir(folder)
    except OSError:
        return [], 0
    for name in names:
        m = RUN_RE.match(name)
        if not m:
            other += name.startswith("run-")
            continue
        info = read_run_info(os.path.join(folder, name))
        if info is not None and info.status == "complete":
            found.append((int(m.group(1)), os.path.join(folder, name), info))
        else:
            other += 1
    found.sort(key=lambda f: f[0])
    return [(d, e) for _, d, e in found], other


def shots_folder(path: str, label: str) -> str | None:
    """The screenshots of the label's picture-taking run, else of its first
    complete run that took any; None without them."""
    shots_run = os.path.join(path, label, "shots-run")
    info = read_run_info(shots_run)
    candidates = [shots_run] if info is not None and info.status == "complete" else []
    candidates += [d for d, e in complete_runs(path, label)[0] if e.shots]
    for d in candidates:
        shots = os.path.join(d, "shots")
        if os.path.isdir(shots) and any(n.endswith(".ppm") for n in os.listdir(shots)):
            return shots
    return None


def session_script(path: str, session: Session) -> tuple[str | None, str | None]:
    """The keyframe script the session flew, where it is still there and
    unchanged (its SHA-256 as recorded, when one was), or None and a note
    saying why not (gone, or edited since); a relative name is looked for
    from the working directory, then from the folder."""
    script = session.settings.script
    if not script:
        return None, None
    if not os.path.isabs(script) and not os.path.exists(script):
        script = os.path.join(path, script)
    recorded = session.settings.script_sha256
    if not os.path.isfile(script):
        why = "is gone"
    elif recorded and files.sha256(script) != recorded:
        why = "was edited since the runs (its SHA-256 no longer matches flyrun.json)"
    else:
        return script, None
    return None, ("%s: the script %s %s: its segments are equal stretches of frames, not keyframe to "
                  "keyframe" % (path, session.settings.script, why))


def read_folder(path: str, used_labels: set, only: str | None = None):
    """(the session, one Run per label in the session's label order (or
    just the label `only`) with the passes of its complete runs, a note on
    the runs skipped or None). Pass.launch is the index of the launch
    among them, Pass.order its place in the session."""
    session = read_session(path)
    runs, skipped = [], []
    for label in session.settings.labels:
        if only is not None and label != only:
            continue
        done, other = complete_runs(path, label)
        if other:
            skipped.append("%s: %d" % (label, other))
        if not done:
            raise InputError("%s: no complete run of %s" % (path, label))
        passes = []
        for launch, (run_dir, env) in enumerate(done):
            one = read_log(os.path.join(run_dir, "frames.csv"))
            order = float(env.order if env.order is not None else launch + 1)
            passes += [replace(p, launch=launch, order=order + i / 100.0, number=len(passes) + i + 1)
                       for i, p in enumerate(one.passes)]
        run = Run(unique(shown(label), used_labels), shown(os.path.join(path, label)), "csv",
                  tuple(passes), tuple(e for _, e in done), os.path.realpath(path), session.settings.looks)
        check_passes(run)  # launches of one flight have equal passes
        runs.append(run)
    note = "%s: skipped runs that did not complete (%s)" % (path, ", ".join(skipped)) if skipped else None
    return session, runs, note


def session_paths(path: str, labels=None) -> tuple[list[str], list[str]]:
    """(files, folders) that are a session's own, never to be written over
    by an output: flyrun.json, report.txt and each label's folder (the
    labels of flyrun.json unless given; every folder where it can't be read)."""
    if labels is None:
        try:
            labels = read_session(path).settings.labels
        except InputError:
            labels = [n for n in os.listdir(path) if os.path.isdir(os.path.join(path, n))]
    return [os.path.join(path, SESSION), os.path.join(path, REPORT)], [os.path.join(path, n) for n in labels]


def beside(path: str) -> RunInfo | None:
    """The run.json in the folder of a run's file, if there is one."""
    return read_run_info(os.path.dirname(os.path.abspath(path)))
