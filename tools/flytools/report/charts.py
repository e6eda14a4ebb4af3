# charts.py: the pictures of the timing, for --plot and the HTML page: frame
# time per frame with the keyframes marked and each segment shaded by its
# verdict, for each run with GPU times its frame and GPU time along the path
# with each segment shaded by what bounds it, the change per segment with
# its interval against the threshold band, the sorted frame times, and the
# per-second fps.
import contextlib
import io
import warnings

import numpy as np

from ..metrics import known_mean

DPI = 100
# A pass longer than this many frames is drawn as the band between the
# shortest and longest frame time of each of ENVELOPE_BINS stretches (about
# one per pixel column at DPI 100) instead of a line through every frame,
# which at half a million frames is a solid block and slow to draw.
ENVELOPE_BINS = 2000
# The sorted frame times: at most this many points of the curve.
SORTED_POINTS = 4000
# Per-second fps: dots on the line only while they can be told apart.
MARKER_MAX = 600

SHADES = {"slower": ("#d62728", 0.16), "faster": ("#2ca02c", 0.16),
          "inconclusive": ("#bcbd22", 0.12)}
BOUND_SHADES = {"GPU": ("#9467bd", 0.15), "CPU": ("#17becf", 0.12)}


def plain(text):
    """A label shown as it is: a $ in a file name is no math text."""
    return text.replace("$", r"\$")


def envelope(values, bins=ENVELOPE_BINS):
    """(first frame, lowest, highest) of each of about `bins` equal stretches."""
    n = len(values)
    per = -(-n // bins)
    pad = np.concatenate((values, np.full(per * -(-n // per) - n, np.nan)))
    pad = pad.reshape(-1, per)
    return np.arange(pad.shape[0]) * per + 1, np.nanmin(pad, axis=1), np.nanmax(pad, axis=1)


def pyplot():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def _frame_panel(ax, runs, doc, colors):
    for i, r in enumerate(runs):
        color = colors[i % len(colors)]
        if not r.has_frames:
            ax.plot([], [], color=color, label=plain("%s (no per-frame times)" % r.label))
            continue
        for j, p in enumerate(r.passes):
            label = plain(r.label) if j == 0 else None
            if len(p.frame_ms) > 2 * ENVELOPE_BINS:
                x, lo, hi = envelope(p.frame_ms)
                ax.fill_between(x, lo, hi, step="post", color=color, linewidth=0.3,
                                alpha=0.5 if j == 0 else 0.3, label=label)
            else:
                ax.plot(np.arange(1, len(p.frame_ms) + 1), p.frame_ms, color=color,
                        linewidth=0.7, alpha=0.8 if j == 0 else 0.45, label=label)
    seg_list = doc.segments
    if seg_list and doc.comparisons:
        cmp = doc.comparisons[0]
        shaded = set()
        for seg, row in zip(seg_list, cmp.segments):
            kind = row.change.verdict
            if kind in SHADES:
                color, alpha = SHADES[kind]
                ax.axvspan(seg.first_frame, seg.last_frame, color=color, alpha=alpha,
                           linewidth=0, label=None if kind in shaded else
                           plain("%s: %s" % (cmp.run, kind)))
                shaded.add(kind)
        if doc.settings.segments == "keyframes":
            # Keyframes as dotted lines, named on a second axis above the chart.
            frames = [seg_list[0].first_frame] + [s.last_frame for s in seg_list]
            for frame in frames:
                ax.axvline(frame, color="black", linestyle=":", linewidth=0.8)
            ax.secondary_xaxis("top").set_xticks(
                frames, ["key %d" % k for k in range(len(frames))], fontsize="small")
    long_passes = any(r.has_frames and r.frames_per_pass and r.frames_per_pass > 2 * ENVELOPE_BINS
                      for r in runs)
    ax.set(title="frame time per frame (passes overlaid%s; shading: verdict per segment)"
           % (" as min-max bands" if long_passes else ""),
           xlabel="frame", ylabel="frame time (ms)")


def _binned(values):
    """(first frame, mean of the known values) of each of about
    ENVELOPE_BINS equal stretches: every frame while there are fewer."""
    n = len(values)
    per = -(-n // ENVELOPE_BINS)
    pad = np.concatenate((values, np.full(per * -(-n // per) - n, np.nan))).reshape(-1, per)
    return np.arange(pad.shape[0]) * per + 1, known_mean(pad)


def _gpu_panel(ax, run, summary, doc):
    """A run's frame time (the CPU's) and GPU time along the path, means
    over its passes, each segment shaded by what bounds it."""
    frame = np.mean([p.frame_ms for p in run.passes], axis=0)
    gpu = known_mean(np.array([p.gpu_ms for p in run.passes]).T)
    for values, label, color in ((frame, "frame time (CPU)", "#333333"), (gpu, "GPU time", "#6a3d9a")):
        ax.plot(*_binned(values), color=color, linewidth=0.8, label=label)
    shaded = set()
    for seg, side in zip(doc.segments, summary.gpu.segments):
        if side.bound in BOUND_SHADES:
            color, alpha = BOUND_SHADES[side.bound]
            ax.axvspan(seg.first_frame, seg.last_frame, color=color, alpha=alpha, linewidth=0,
                       label=None if side.bound in shaded else "%s-bound" % side.bound)
            shaded.add(side.bound)
    ax.set(title=plain("%s: frame and GPU time per frame (mean over passes; shading: what bounds each segment)"
                       % run.label), xlabel="frame", ylabel="time (ms)")


def _segment_panel(ax, doc, colors):
    seg_list = doc.segments
    pct = doc.settings.min_effect_pct
    ax.axhspan(-pct, pct, color="grey", alpha=0.2, label="\u00b1%g%% (no change)" % pct)
    ax.axhline(0, color="grey", linewidth=0.8)
    mids = np.array([(s.first_frame + s.last_frame) / 2 for s in seg_list])
    width = (seg_list[-1].last_frame - seg_list[0].first_frame) / len(seg_list)
    count = len(doc.comparisons)
    for i, cmp in enumerate(doc.comparisons):
        x = mids + (i - (count - 1) / 2) * width * 0.15
        est = [r.change.change_pct for r in cmp.segments]
        lo = [e - r.change.ci_pct[0] if r.change.ci_pct else 0
              for e, r in zip(est, cmp.segments)]
        hi = [r.change.ci_pct[1] - e if r.change.ci_pct else 0
              for e, r in zip(est, cmp.segments)]
        ax.errorbar(x, est, yerr=[lo, hi], fmt="o", capsize=4, color=colors[(i + 1) % len(colors)],
                    label=plain("%s against %s" % (cmp.run, cmp.against)))
    ax.set(title="change in mean frame time per segment, with 95% interval",
           xlabel="frame (segment middle)", ylabel="change (%)")


def figure(runs, doc):
    plt = pyplot()
    from matplotlib import ticker
    with_segments = bool(doc.segments and doc.comparisons)
    timed = [(r, s) for r, s in zip(runs, doc.runs) if s.gpu and r.frames_per_pass]
    panels = (4 if with_segments else 3) + len(timed)
    fig, axes = plt.subplots(panels, 1, figsize=(10, (14 if with_segments else 11) + 3.5 * len(timed)))
    colors = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    _frame_panel(axes[0], runs, doc, colors)
    for ax, (run, summary) in zip(axes[1:], timed):
        _gpu_panel(ax, run, summary, doc)
        ax.set_xlim(axes[0].get_xlim())
    if with_segments:
        _segment_panel(axes[1 + len(timed)], doc, colors)
        axes[1 + len(timed)].set_xlim(axes[0].get_xlim())  # segments under their frames
    ax_sorted, ax_fps = axes[-2], axes[-1]
    for i, r in enumerate(runs):
        color = colors[i % len(colors)]
        if r.has_frames:
            s = np.sort(np.concatenate([p.frame_ms for p in r.passes]))
            points = min(len(s), SORTED_POINTS)
            at = np.unique(np.linspace(0, len(s) - 1, points).round().astype(int))
            ax_sorted.plot((at + 1) / len(s) * 100, s[at], color=color, label=plain(r.label))
        first = True
        for p in r.passes:
            if p.per_second:
                ax_fps.plot(np.arange(1, len(p.per_second) + 1), p.per_second, color=color,
                            marker="." if len(p.per_second) <= MARKER_MAX else None, linewidth=1,
                            label=plain(r.label) if first else None)
                first = False
    ax_sorted.set(title="sorted frame times (all passes)", xlabel="percentile (%)",
                  ylabel="frame time (ms)")
    ax_fps.set(title="frames per second (passes overlaid)", xlabel="second", ylabel="fps")
    ax_fps.xaxis.set_major_locator(ticker.MaxNLocator(integer=True))  # the counts are of whole seconds
    for ax in axes:
        ax.grid(True, alpha=0.3)
        if ax.get_legend_handles_labels()[0]:
            # A fixed place: "best" searches every drawn point, minutes on long passes.
            ax.legend(loc="upper right", fontsize="small", framealpha=0.85)
    with quiet():
        fig.tight_layout()
    return fig


def close(fig):
    pyplot().close(fig)


def render(fig, kind, dpi=DPI):
    """The chart as the bytes of a .png or .svg file."""
    buf = io.BytesIO()
    with quiet():
        fig.savefig(buf, format=kind, dpi=dpi)
    return buf.getvalue()


@contextlib.contextmanager
def quiet():
    """matplotlib's warnings kept from the user (a glyph the font lacks is
    drawn as a box, which is all the warning would say)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield
