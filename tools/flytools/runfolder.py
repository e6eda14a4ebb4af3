# runfolder.py: reads what tools/flyrun wrote. A flyrun folder holds one
# folder per label with a run-NN folder per launch of the game; a run
# counts only when its run.json says "complete" (flyrun writes under a
# scratch name and renames, so a killed launch never looks complete). Each
# label becomes one Run holding the passes of all its complete launches.
import json
import os
import re
import sys

from . import reading

SESSION = "flyrun.json"
RUN_RE = re.compile(r"^run-(\d+)$")


def is_folder(path: str) -> bool:
    """Whether path is a folder flyrun wrote (it has flyrun.json)."""
    return os.path.isfile(os.path.join(path, SESSION))


def load_json(path: str) -> dict:
    """A JSON object from a file, or an InputError naming the file."""
    try:
        with open(path, encoding="utf-8") as f:
            value = json.load(f)
    except OSError as e:
        raise reading.InputError("%s: %s" % (path, e.strerror or e))
    except ValueError as e:
        raise reading.InputError("%s: not JSON: %s" % (path, e))
    if not isinstance(value, dict):
        raise reading.InputError("%s: not a JSON object" % path)
    return value


def session(path: str) -> dict:
    doc = load_json(os.path.join(path, SESSION))
    if doc.get("format") != "flyrun" or not isinstance(doc.get("settings"), dict) \
            or not isinstance(doc["settings"].get("labels"), list):
        raise reading.InputError("%s: not a flyrun session file" % os.path.join(path, SESSION))
    return doc


def complete_runs(path: str, label: str) -> tuple[list[tuple[str, dict]], int]:
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
        run_dir = os.path.join(folder, name)
        try:
            env = load_json(os.path.join(run_dir, "run.json"))
        except reading.InputError:
            env = {}  # a run.json that can't be read is no complete run
        if env.get("status") == "complete":
            found.append((int(m.group(1)), run_dir, env))
        else:
            other += 1
    found.sort()
    return [(d, e) for _, d, e in found], other


def _status(run_dir: str) -> str | None:
    try:
        return load_json(os.path.join(run_dir, "run.json")).get("status")
    except reading.InputError:
        return None


def shots_folder(path: str, label: str) -> str | None:
    """The screenshots of the label's picture-taking run, else of its first
    complete run that took any; None without them."""
    shots_run = os.path.join(path, label, "shots-run")
    candidates = [shots_run] if _status(shots_run) == "complete" else []
    candidates += [d for d, e in complete_runs(path, label)[0] if e.get("shots")]
    for d in candidates:
        shots = os.path.join(d, "shots")
        if os.path.isdir(shots) and any(n.endswith(".ppm") for n in os.listdir(shots)):
            return shots
    return None


def read_folder(path: str, used_labels: set, only: str | None = None,
                prog: str = "flycompare") -> list[reading.Run]:
    """One Run per label of the session (in the session's label order, or
    just the label `only`) with the passes of its complete runs; Pass.launch
    is the index of the run among them, Pass.order its place in the
    session. prog names the tool in the note on skipped runs."""
    settings = session(path)["settings"]
    runs, skipped = [], []
    for label in settings["labels"]:
        if only is not None and label != only:
            continue
        done, other = complete_runs(path, label)
        if other:
            skipped.append("%s: %d" % (label, other))
        if not done:
            raise reading.InputError("%s: no complete run of %s" % (path, label))
        passes = []
        for launch, (run_dir, env) in enumerate(done):
            csv = os.path.join(run_dir, "frames.csv")
            one = reading.read_run(csv, set())
            for i, p in enumerate(one.passes):
                p.launch = launch
                p.order = float(env.get("order", launch + 1)) + i / 100.0
                p.number = len(passes) + 1
                passes.append(p)
        run = reading.Run(_unique(label, used_labels), os.path.join(path, label), "csv", passes)
        run.environments = [e for _, e in done]
        reading.check_passes(run)  # launches of one flight have equal passes
        runs.append(run)
    if skipped:
        sys.stderr.write("%s: %s: skipped runs that did not complete (%s)\n"
                         % (prog, path, ", ".join(skipped)))
    return runs


def _unique(label: str, used: set) -> str:
    name, i = label, 2
    while name in used:
        name = "%s (%d)" % (label, i)
        i += 1
    used.add(name)
    return name


def beside(run: reading.Run) -> None:
    """A run.json in the folder of a run's file becomes its environment."""
    if getattr(run, "environments", None):
        return
    path = os.path.join(os.path.dirname(os.path.abspath(run.path)), "run.json")
    try:
        env = load_json(path) if os.path.isfile(path) else None
    except reading.InputError:
        env = None
    run.environments = [env] if env else []
