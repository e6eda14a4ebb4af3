# plan.py: the order of a flyrun session's launches. The timed launches
# interleave the variants in balanced rounds (A B, B A, B A, A B, ...) so
# that a machine that drifts (warming up, a job starting) weighs on every
# variant alike; warm-up launches come first, and the picture-taking
# launches (one per variant) before the timed ones.
import random
from dataclasses import dataclass

from ..records import FlyrunSettings


@dataclass(frozen=True)
class Planned:
    """One launch of the plan."""
    label: str
    run: int                         # number within its label and kind
    kind: str                        # "timed", "warmup" or "shots"

    @property
    def name(self) -> str:
        if self.kind == "shots":
            return "shots-run"
        return ("run-%02d" if self.kind == "timed" else "warmup-%02d") % self.run


def rounds(labels: list[str], runs: int, order: str, seed: int) -> list[str]:
    """The timed runs' labels in order: `runs` rounds with each label once.
    abba: the rounds go forward, backward, backward, forward (A B B A B A A B
    for two labels), so each variant is as often early as late; random: each
    round a seeded shuffle."""
    rng = random.Random(seed)
    out = []
    for r in range(runs):
        if order == "random":
            round_ = list(labels)
            rng.shuffle(round_)
        else:
            round_ = list(labels) if r % 4 in (0, 3) else list(reversed(labels))
        out += round_
    return out


def plan(s: FlyrunSettings) -> list[Planned]:
    """Warm-up runs (discarded), one picture-taking run per variant when the
    pictures are taken apart, then the timed runs."""
    out = [Planned(s.labels[i % len(s.labels)], i // len(s.labels) + 1, "warmup")
           for i in range(s.warmup_runs)]
    if s.shots == "separate":
        out += [Planned(label, 1, "shots") for label in s.labels]
    count = {label: 0 for label in s.labels}
    for label in rounds(s.labels, s.runs, s.order, s.seed):
        count[label] += 1
        out.append(Planned(label, count[label], "timed"))
    return out
