# plan.py: how to spend the next minutes of benchmarking. From how much
# passes vary within a launch and launches beyond their passes, and what a
# launch and a pass cost in seconds, the passes per launch that buy the most
# precision per minute (Kalibera & Jones 2013, "Rigorous benchmarking in
# reasonable time": r = sqrt(c_launch * var_pass / (c_pass * var_launch))),
# and about how many launches of each variant would bring the interval clear
# of the threshold or inside it.
import math
from typing import Callable, Optional

from .inference import first_deciding

MAX_PASSES = 10
MAX_LAUNCHES = 200


def passes_per_launch(launch_var: float, pass_var: float, launch_cost: float,
                      pass_cost: float) -> int:
    """The passes per launch that make the mean most precise for its time."""
    if pass_var <= 0.0 or pass_cost <= 0.0:
        return 1
    if launch_var <= 0.0:
        return MAX_PASSES
    r = math.sqrt(max(launch_cost, 0.0) * pass_var / (pass_cost * launch_var))
    return int(min(max(round(r), 1), MAX_PASSES))


def launches_needed(margin: float, launch_total: float,
                     critical: Callable[[int], float]) -> Optional[int]:
    """Launches of each variant at which the interval's half-width
    (critical(n) * sqrt(2 * launch_total / n), critical(n) the critical
    value the interval will have then: its t falls as its degrees of
    freedom grow) falls below `margin`, the distance from the change to the
    threshold that would decide it; None past MAX_LAUNCHES or when nothing
    is known."""
    if margin <= 0.0 or launch_total <= 0.0:
        return None

    return first_deciding(lambda n: critical(n) * math.sqrt(2.0 * launch_total / n) < margin, 2, MAX_LAUNCHES)
