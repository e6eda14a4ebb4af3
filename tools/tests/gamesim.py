# A game-like frame-time generator: every level of noise a real game's runs show.
import numpy as np
from scipy import signal

N = 600
SEGMENTS = 5


def path_profile(n=N):
    x = np.arange(n)
    base = 11 + 4 * np.sin(x * 2 * np.pi / 300) + 1.0 * np.sin(x * 2 * np.pi / 47)
    return np.clip(base, 6, 16)


PATH = path_profile()


class Noise:
    def __init__(self, frame_sd=0.05, phi=(0.85, 0.95), pass_sd=0.015, seg_sd=0.01, launch_sd=0.02,
                 slow_p=0.10, slow=0.05, drift=0.005, stutter=(0.002, 0.005), stutter_x=(3, 8),
                 burst_p=0.15, spike_every=97, spike_x=1.6, session_sd=0.01):
        self.__dict__.update(locals())
        del self.__dict__["self"]


def passes(rng, count, scale, nz, n=N):
    """count passes (rows) of one launch whose overall factor is `scale`."""
    phi = rng.uniform(*nz.phi, (count, 1))
    e = rng.normal(0, nz.frame_sd, (count, n + 200))
    ar = np.empty_like(e)
    for i in range(count):
        ar[i] = signal.lfilter([np.sqrt(1 - phi[i, 0] ** 2)], [1, -phi[i, 0]], e[i])
    ar = ar[:, 200:]
    seg = np.repeat(rng.normal(0, nz.seg_sd, (count, SEGMENTS)), n // SEGMENTS, axis=1)
    t = PATH[:n] * np.exp(ar + seg + rng.normal(0, nz.pass_sd, (count, 1))) * scale
    # periodic spike
    t[:, ::nz.spike_every] *= nz.spike_x
    # bursts of slow frames
    for i in range(count):
        if rng.random() < nz.burst_p:
            start = rng.integers(0, n - 60)
            length = rng.integers(15, 60)
            t[i, start:start + length] *= rng.uniform(1.3, 2.0)
    rate = rng.uniform(*nz.stutter, (count, 1))
    st = rng.random(t.shape) < rate
    t[st] *= rng.uniform(*nz.stutter_x, st.sum())
    return t


def launch_scale(rng, nz, position, session_offset):
    s = np.exp(rng.normal(0, nz.launch_sd) + session_offset) * (1 + nz.drift * position)
    if rng.random() < nz.slow_p:
        s *= 1 + nz.slow
    return s


def pass_logmeans(t):
    return np.log(t.mean(axis=1))
