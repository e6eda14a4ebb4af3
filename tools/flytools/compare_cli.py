# compare_cli.py: the command line of tools/flycompare: options, help text (every
# option and every definition), the order of the work, and the exit
# statuses. Errors are one line on standard error starting
# "flycompare: error:"; a traceback never reaches the user.
import argparse
import os
import sys

from . import (analysis, charts, entry, environment, metrics, output, page, pictures, reading,
               runfolder, segments, stats, verdict)

PROG = "flycompare"
EXIT_OK, EXIT_INPUT, EXIT_USAGE, EXIT_SLOWER, EXIT_PICTURES = 0, 1, 2, 3, 4

DEFINITIONS = """
comparing runs (each run against the first one, A):
  change     (run - A) / A * 100 for each metric's run value
  intervals  95%% intervals for the change in mean frame time, p99 frame
             time and 1%% low, worked as log ratios ln(B/A) and shown in
             percent. With 2 or more passes in both runs: Welch's t over the
             logs of the per-pass values (the passes are the independent
             samples; frames within a pass are not), so the change shown
             there is that of the geometric mean over passes. With several
             game launches per run (a flyrun folder): each launch one value
             (the mean of its passes' logs), with a linear drift over the
             session taken out where the launches' times are known. A stdout
             log's 0.1 ms rounding is a floor under each pass's spread.
             With one pass in a run: no verdict (one pass can't show how
             passes differ); for information a circular block bootstrap of
             the frames (%d resamples, seed %d; blocks %d times the lag at
             which the autocorrelation of the frame-by-frame difference
             falls to 2/sqrt(n), at least %d frames; both runs resampled
             with the same blocks), t with frames/block - 1 degrees of
             freedom, none under 2 blocks (segments use the whole pass's
             block length).
  verdict    on the mean frame time, against the threshold PCT (--min-effect):
             slower or faster when the interval lies beyond +PCT or -PCT;
             no change when it lies inside +-PCT; inconclusive when it
             straddles a threshold, with about how many passes (or runs)
             would decide it if the change and the spread stayed as seen.
             p99 and 1%% low get the same classification in their table.
  drift      a warning above the verdict when the passes' mean frame times
             trend with the order they ran in, the same way in every run
             (least-squares slope within the runs, t test, p < 0.05).
  segments   keyframe to keyframe of --script, otherwise %d equal stretches of
             frames (fewer, of 10 frames or more, in passes under 100 frames;
             none under 20); per segment the mean and p99 frame time per run, the
             change of the mean with its 95%% interval, and a verdict where
             Holm's correction across the segments decides which changed.
  stutters   counted over all passes of a run (and per segment); with a
             chunks column, also how many were in frames that built chunks.

pictures (--shots), for each frame-NNNNN.ppm in A's folder and another run's:
  PSNR       10 log10(255^2 / mean squared channel difference), in dB
  beyond     share of pixels with a channel differing by more than the
             tolerance (--pixel-tolerance, default %d of 255)
  largest    the largest channel difference (0-255)
  A keyframe differs when a pixel is beyond the tolerance or the sizes
  differ; a missing or unreadable file is reported and not compared.

input: a CSV log (header pass,frame,frame_ms or pass,frame,frame_ms,chunks;
one row per frame, frames 1..N per pass, passes one after another) or the
plug-in's standard output saved to a file (of one run); told apart by the
contents. Every pass of every run has the same N (one flight): passes of
other lengths are refused. Gaps in the pass numbers and a file given twice
are said in a note on standard error.
A folder tools/flyrun wrote gives a run per label (the passes of its
complete launches), its script and its screenshots; a run.json beside a
CSV is that run's environment. Differences between the environments
(script, framebuffer size, renderer, host, CPU, governor, passes, view
distance, seed, screenshots taken) are warned about above the verdict.

exit status: 0 success; 1 bad input; 2 bad command line; 3 a run is slower
than A (with --fail-if-slower); 4 a keyframe's pictures differ (with
--fail-if-pictures-differ); when both 3 and 4 apply the status is 4 (a
different picture makes the timing no like-for-like comparison)."""


Parser = entry.parser_class(PROG)


def parser():
    p = Parser(prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
               description="Compare flyrate benchmark runs: per-pass frame-time metrics,\n"
                           "and for two or more runs whether each is faster or slower than\n"
                           "the first, by how much, where on the path, and whether its\n"
                           "screenshots still match.",
               epilog=metrics.HELP + "\n" + DEFINITIONS % (
                   stats.RESAMPLES, stats.SEED, stats.BLOCK_FACTOR, stats.MIN_BLOCK,
                   segments.STRETCHES, pictures.DEFAULT_TOLERANCE))
    p.add_argument("runs", nargs="+", metavar="[LABEL=]FILE",
                   help="a CSV log or saved stdout log; labelled by its file name unless "
                        "LABEL= is given; the first run is A, the one the others are "
                        "compared with; or a folder tools/flyrun wrote: a run per label")
    p.add_argument("--script", metavar="FILE",
                   help="the keyframe script the runs flew: segments go keyframe to "
                        "keyframe (otherwise %d equal stretches)" % segments.STRETCHES)
    p.add_argument("--min-effect", metavar="PCT", type=float, default=1.0,
                   help="a change smaller than this many percent is no change (default 1)")
    p.add_argument("--fail-if-slower", action="store_true",
                   help="exit with status 3 when a run's verdict (on the whole path) is "
                        "slower than A")
    p.add_argument("--json", metavar="FILE",
                   help="also write every figure as JSON (format in the README)")
    p.add_argument("--plot", metavar="FILE",
                   help="write the charts (.png or .svg): frame time per frame with "
                        "keyframes and segment verdicts, change per segment, sorted frame "
                        "times, per-second fps")
    p.add_argument("--shots", metavar="[LABEL=]DIR", action="append", default=[],
                   help="a run's screenshot folder; give it once per run in the order of "
                        "the runs, or name the run with LABEL=; A needs one")
    p.add_argument("--pixel-tolerance", metavar="N", type=int,
                   default=pictures.DEFAULT_TOLERANCE,
                   help="channel difference (0-255) still counted as the same pixel "
                        "(default %d)" % pictures.DEFAULT_TOLERANCE)
    p.add_argument("--fail-if-pictures-differ", action="store_true",
                   help="exit with status 4 when a keyframe's pictures differ")
    p.add_argument("--html", metavar="FILE",
                   help="write the report as one self-contained HTML page")
    return p


def _check(p, args):
    if not 0 <= args.min_effect < 100:
        p.error("--min-effect: %g: must be a percentage from 0 to below 100" % args.min_effect)
    if not 0 <= args.pixel_tolerance <= 255:
        p.error("--pixel-tolerance: %d: must be 0 to 255" % args.pixel_tolerance)
    if args.plot is not None and os.path.splitext(args.plot)[1].lower() not in (".png", ".svg"):
        p.error("--plot: %s: the file name must end in .png or .svg" % args.plot)


def shot_folders(p, shot_args, runs):
    """Run label -> screenshot folder, from the --shots arguments."""
    labels = [r.label for r in runs]
    folders = {}
    for i, arg in enumerate(shot_args):
        label, folder = (None, arg) if os.path.exists(arg) else reading.split_label(arg)
        if label is None:
            if i >= len(runs):
                p.error("--shots: more folders than runs")
            label = labels[i]
        elif label not in labels:
            p.error("--shots %s: no run is labelled %s" % (arg, label))
        if label in folders:
            p.error("--shots: two folders for run %s" % label)
        folders[label] = folder
    if shot_args and labels[0] not in folders:
        p.error("--shots: the first run, %s, needs a folder to compare with" % labels[0])
    return folders


def read_runs(args):
    """The runs of the arguments; a flyrun folder gives one per label, its
    script (when --script is not given and the file is unchanged) and its
    screenshot folders (when no --shots are given)."""
    used, runs, shots = set(), [], {}
    for a in args.runs:
        if runfolder.is_folder(a):
            from_folder = runfolder.read_folder(a, used)
            settings = runfolder.session(a)["settings"]
            script = settings.get("script")
            if args.script is None and script and os.path.isfile(script) \
                    and environment.sha256(script) == settings.get("script_sha256"):
                args.script = script
            for run, label in zip(from_folder, settings["labels"]):
                folder = runfolder.shots_folder(a, label)
                if folder:
                    shots[run.label] = folder
            runs += from_folder
        else:
            run = reading.read_run(a, used)
            runfolder.beside(run)
            runs.append(run)
    return runs, shots


def main(argv=None):
    p = parser()
    args = p.parse_args(argv)
    _check(p, args)
    try:
        runs, folder_shots = read_runs(args)
        reading.check_flight(runs)
        folders = shot_folders(p, args.shots, runs)
        if not args.shots and runs[0].label in folder_shots:
            folders = folder_shots
        if args.fail_if_pictures_differ and not folders:
            p.error("--fail-if-pictures-differ needs --shots (or a flyrun folder with screenshots)")
        keyframes = segments.read_script(args.script) if args.script else None
        # The environments' differences are warnings above the verdict, in
        # the JSON and on the page; runs without one are named once.
        doc = analysis.analyse(runs, keyframes, args.script, args.min_effect,
                               warnings=environment.check(runs))
        note = environment.unknown(runs)
        if note:
            doc["environment_note"] = note
        if folders:
            doc["settings"]["pixel_tolerance"] = args.pixel_tolerance
        for cmp in doc["comparisons"]:
            if cmp["run"] in folders:
                cmp["pictures"] = pictures.compare_folders(
                    folders[cmp["against"]], folders[cmp["run"]], cmp["against"], cmp["run"],
                    args.pixel_tolerance, keep=bool(args.html))
        lines = verdict.block(doc)
        status = EXIT_OK
        if args.fail_if_slower and any(c["verdict"] == "slower" for c in doc["comparisons"]):
            status = EXIT_SLOWER
        if args.fail_if_pictures_differ and any(
                pictures.differing(c["pictures"]) for c in doc["comparisons"] if c.get("pictures")):
            status = EXIT_PICTURES
        doc["exit_status"] = status
        for note in reading.notes(runs):  # said once the comparison goes ahead
            sys.stderr.write("%s: note: %s\n" % (PROG, note))
        sys.stdout.write(output.text(doc, lines))
        if args.json:
            reading.write_file(args.json, output.json_text(doc))
            sys.stdout.write("JSON written to %s\n" % args.json)
        chart_png = None
        if args.plot or args.html:
            # Drawn once; a PNG rendered once serves both the page and a .png --plot.
            fig = charts.figure(runs, doc)
            try:
                chart_png = charts.png(fig) if args.html or args.plot.lower().endswith(".png") \
                    else None
                if args.plot:
                    if chart_png is not None and args.plot.lower().endswith(".png"):
                        reading.write_file(args.plot, chart_png)
                    else:
                        charts.save(fig, args.plot)
                    sys.stdout.write("chart written to %s\n" % args.plot)
            finally:
                charts.close(fig)
        if args.html:
            reading.write_file(args.html, page.render(doc, chart_png, folders))
            sys.stdout.write("page written to %s\n" % args.html)
        sys.stdout.flush()
    except reading.InputError as e:
        sys.stderr.write("%s: error: %s\n" % (PROG, e))
        return EXIT_INPUT
    if status != EXIT_OK:
        sys.stderr.write("%s: exit status %d: %s\n" % (
            PROG, status, "a run is slower than A" if status == EXIT_SLOWER
            else "a keyframe's pictures differ"))
    return status


def run() -> int:
    """The command's entry: main(), and never a traceback."""
    return entry.run(PROG, main, EXIT_INPUT)
