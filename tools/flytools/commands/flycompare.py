# flycompare.py: the command line of tools/flycompare: options and help
# text (every option and every definition); the comparison itself is
# compare.comparison's, its outputs report.outputs'. Errors are one line on
# standard error starting "flycompare: error:"; a traceback never reaches
# the user.
import argparse
import sys

from .. import metrics, segments
from ..compare import comparison, pictures
from ..errors import EXIT_INPUT
from ..report import outputs
from . import common

PROG = "flycompare"

DEFINITIONS = """
comparing runs (each run against the first one, A):
  change     (run - A) / A * 100 for each metric's run value
  intervals  95%% intervals for the change in mean frame time, p99 frame
             time, 1%% low and frame pacing (each metric compared: the
             metrics' table), worked as log ratios ln(B/A) and shown in
             percent. With 2 or more passes in both runs: Welch's t over the
             logs of the per-pass values (the passes are the independent
             samples; frames within a pass are not), so the change shown
             there is that of the geometric mean over passes. With several
             game launches per run (a flyrun folder): each launch one value
             (the mean of its passes' logs), with a linear drift over the
             session taken out where the launches' times are known. A stdout
             log's 0.1 ms rounding is a floor under each pass's spread.
             With one pass in a run: no interval (one pass can't show how
             passes differ).
  levels     one launch of each variant (two files), or one session of
             each (two flyrun folders, never taken as interleaved): the
             passes (launches) can't show how much launches (sessions)
             differ, so no faster/slower verdict unless --history DB
             measures that spread for this flight on this machine; its
             variance, twice, then widens the interval (Satterthwaite df).
  verdict    on the mean frame time, against the threshold PCT (--min-effect):
             slower or faster when the interval lies beyond +PCT or -PCT;
             no change when it lies inside +-PCT; inconclusive when it
             straddles a threshold, with about how many passes (or runs)
             would decide it if the change and the spread stayed as seen.
             The other compared metrics get the same classification in
             their table.
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
  GPU        with the GPU columns (FLYRATE_GPU=1): per run, path and segment,
             the mean GPU time per frame and the share of GPU-bound frames
             (gpu_lag_ms >= frame_ms: the GPU a frame or more behind); a
             span is GPU-bound when most of its frames are, else CPU-bound.
             Against A: the GPU time's change with an interval as above, the
             share's in points; one verdict line says both.

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

exit status: 0 success; 1 bad input; 2 bad command line (also a LABEL=
given twice, an output written over an input or another output); 3 a run
is slower than A (with --fail-if-slower); 4 a keyframe's pictures differ
or can't be compared (with --fail-if-pictures-differ); when both 3 and 4
apply the status is 4 (a different picture makes the timing no
like-for-like comparison)."""


Parser = common.parser_class(PROG)


def parser():
    p = Parser(prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
               description="Compare flyrate benchmark runs: per-pass frame-time metrics,\n"
                           "and for two or more runs whether each is faster or slower than\n"
                           "the first, by how much, where on the path, and whether its\n"
                           "screenshots still match.",
               epilog=metrics.help_text() + "\n" + DEFINITIONS % (
                   segments.STRETCHES, pictures.DEFAULT_TOLERANCE))
    p.add_argument("runs", nargs="+", metavar="[LABEL=]FILE",
                   help="a CSV log or saved stdout log; labelled by its file name unless "
                        "LABEL= is given; the first run is A, the one the others are "
                        "compared with; or a folder tools/flyrun wrote: a run per label")
    p.add_argument("--script", metavar="FILE",
                   help="the keyframe script the runs flew: segments go keyframe to "
                        "keyframe (otherwise %d equal stretches)" % segments.STRETCHES)
    p.add_argument("--shots", metavar="[LABEL=]DIR", action="append", default=[],
                   help="a run's screenshot folder; give it once per run in the order of "
                        "the runs, or name the run with LABEL=; A needs one")
    common.add_compare_options(p)
    return p


def main(argv=None) -> int:
    args = parser().parse_args(argv)
    opts = common.compare_options(args, tuple(args.runs), args.script, tuple(args.shots))
    comparison.check_options(opts)
    result = comparison.compare(opts)
    outputs.say_notes(result, PROG, sys.stderr)
    outputs.write(result, opts, sys.stdout)
    sys.stdout.flush()
    if result.status != comparison.EXIT_OK:
        sys.stderr.write("%s: exit status %d: %s\n" % (PROG, result.status, result.status_reason))
    return result.status


def run() -> int:
    """The command's entry: main(), and never a traceback."""
    return common.run(PROG, main, EXIT_INPUT)
