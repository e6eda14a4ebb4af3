# comparison.py: a comparison from start to end as one call, the same for
# flycompare and for flyrun at the end of its session: the options checked
# (before anything is read or launched), the runs read, analysed, their
# screenshots compared and the verdict's lines made, and the exit status
# the result asks for. The outputs are written by report.outputs.
import os
from dataclasses import replace
from typing import Optional

from ..errors import UsageError, shown
from ..inputs import open_run, script as scripts
from ..records import CompareOptions, CompareResult as Result
from ..report import verdict
from ..report.files import check_outputs
from . import analysis, environment, pictures

EXIT_OK, EXIT_SLOWER, EXIT_PICTURES = 0, 3, 4
PLOT_TYPES = (".png", ".svg")


def check_options(opts: CompareOptions, inputs: tuple = (), within: tuple = (), made: tuple = ()) -> None:
    """Refuses (UsageError) what can't be done, before any work: figures out
    of range, a chart of another type, an output whose folder isn't there
    (nor among the folders `made` before writing) or that would be written
    over an input (the runs' files, the script, the screenshots, the
    `inputs` and what lies `within` the folders given) or another output."""
    if not 0 <= opts.min_effect < 100:
        raise UsageError("--min-effect: %g: must be a percentage from 0 to below 100" % opts.min_effect)
    if not 0 <= opts.pixel_tolerance <= 255:
        raise UsageError("--pixel-tolerance: %d: must be 0 to 255" % opts.pixel_tolerance)
    if opts.plot is not None and os.path.splitext(opts.plot)[1].lower() not in PLOT_TYPES:
        raise UsageError("--plot: %s: the file name must end in .png or .svg" % opts.plot)
    open_run.check_labels(opts.runs)
    files, folders = open_run.input_paths(opts.runs, opts.script, opts.shots)
    check_outputs((("--json", opts.json), ("--plot", opts.plot), ("--html", opts.html)),
                  files + list(inputs) + ([opts.history] if opts.history else []), folders + list(within), made)


def shot_folders(shot_args: tuple, runs: list) -> dict:
    """Run label -> screenshot folder, from the --shots arguments."""
    labels = [r.label for r in runs]
    folders = {}
    for i, arg in enumerate(shot_args):
        label, folder = (None, arg) if os.path.exists(arg) else open_run.split_label(arg)
        if label is None:
            if i >= len(runs):
                raise UsageError("--shots: more folders than runs")
            label = labels[i]
        elif label not in labels:
            raise UsageError("--shots %s: no run is labelled %s" % (arg, label))
        if label in folders:
            raise UsageError("--shots: two folders for run %s" % label)
        folders[label] = folder
    if shot_args and labels[0] not in folders:
        raise UsageError("--shots: the first run, %s, needs a folder to compare with" % labels[0])
    return folders


def _status(opts: CompareOptions, comparisons) -> tuple[int, Optional[str]]:
    """The exit status the gates ask for and why. The pictures' gate passes
    only on every keyframe compared: screenshots that are missing, cut
    short or not there at all fail it, as pictures that differ do."""
    if opts.fail_if_pictures_differ:
        why = ["a keyframe's pictures differ"] if any(
            pictures.differing(c.pictures) for c in comparisons if c.pictures) else []
        lost = [r for r in (pictures.uncompared(c.pictures, c.run) for c in comparisons) if r]
        if lost:
            why.append("pictures that can't be compared fail --fail-if-pictures-differ (%s)" % "; ".join(lost))
        if why:
            return EXIT_PICTURES, "; ".join(why)
    if opts.fail_if_slower and any(c.verdict == "slower" for c in comparisons):
        return EXIT_SLOWER, "a run is slower than A"
    return EXIT_OK, None


def compare(opts: CompareOptions) -> Result:
    """The runs of the options compared, each against the first; an
    InputError (UsageError for arguments that don't fit the runs) when
    they can't be."""
    runs, folder_shots, script, skipped = open_run.open_runs(opts.runs, opts.script)
    open_run.check_flight(runs)
    folders = shot_folders(opts.shots, runs)
    if not opts.shots and runs[0].label in folder_shots:
        folders = folder_shots
    if opts.fail_if_pictures_differ and not folders:
        raise UsageError("--fail-if-pictures-differ needs --shots (or a flyrun folder with screenshots)")
    keyframes = scripts.read_script(script) if script else None
    # The environments' differences are warnings above the verdict, in the
    # JSON and on the page; runs without one are named once.
    doc = analysis.analyse(runs, keyframes, shown(script) if script else None, opts.min_effect,
                           warnings=environment.check(runs) + environment.builds(runs),
                           pixel_tolerance=opts.pixel_tolerance if folders else None,
                           history=opts.history)
    comparisons, held = [], {}
    for cmp in doc.comparisons:
        found: Optional[object] = None
        if cmp.run in folders:
            found, kept = pictures.compare_folders(folders[cmp.against], folders[cmp.run], cmp.against,
                                                   cmp.run, opts.pixel_tolerance, keep=bool(opts.html))
            held.update({(cmp.run, frame): p for frame, p in kept.items()})
        cmp = replace(cmp, pictures=found)
        comparisons.append(replace(cmp, verdict_lines=verdict.lines(cmp, doc)))
    status, why = _status(opts, comparisons)
    doc = replace(doc, comparisons=tuple(comparisons), exit_status=status,
                  environment_note=environment.unknown(runs))
    return Result(doc, runs, {label: shown(f) for label, f in folders.items()}, held,
                  open_run.notes(runs), skipped, why)

