"""The best of many candidate gains per plant, by simulating them all."""

import itertools
from collections.abc import Mapping

import numpy as np

from kovar import _values
from kovar.bank import PIDBank
from kovar.sim.metrics import NAMES as METRICS
from kovar.sim.plants import Plant
from kovar.sim.loop import simulate
from kovar.tune.gains import NAMES, Gains
from kovar.tune.robustness import _assess

# Channels per bank when `chunk` is not given: large enough that a step's
# per-call costs vanish, small enough to stay in cache-sized arrays.
_CHANNELS_PER_CHUNK = 1 << 16


def candidates(grid):
    """The candidates of `grid` as Gains of shape (m,): a Gains is
    flattened; a mapping of names to sequences is the Cartesian product of
    its values (last name fastest), the unnamed gains at their defaults."""
    if isinstance(grid, Gains):
        return grid.reshape(-1)
    if not isinstance(grid, Mapping):
        raise TypeError(f"grid must be a Gains or a mapping of gain names to values, not {type(grid).__name__}")
    for name in grid:
        if name not in NAMES:
            raise TypeError(f"grid has no gain named {name!r}; the gains are {', '.join(NAMES)}")
    if "kp" not in grid:
        raise TypeError("grid must give kp")
    names = list(grid)
    values = [_values.finite(n, grid[n]).reshape(-1) for n in names]
    for name, v in zip(names, values):
        if v.size == 0:
            raise ValueError(f"grid gives no values for {name}")
    product = np.array(list(itertools.product(*[v.tolist() for v in values])), dtype=np.float64)
    return Gains(**{n: product[:, i] for i, n in enumerate(names)})


class SearchResult:
    """The best candidate per plant, as :func:`kovar.tune.search` returns it.

    Attributes
    ----------
    gains : Gains
        The best candidate's gains, of the plant bank's shape; NaN where no
        candidate was admitted.
    index : numpy.ndarray
        The best candidate's position among the candidates (int64), -1
        where none was admitted.
    score : numpy.ndarray
        Its objective, ``inf`` where none was admitted.
    ms : numpy.ndarray
        Its maximum sensitivity.
    metrics : dict of str to numpy.ndarray
        Every measure of its run, by name (NaN where none was admitted).
    candidates : int
        How many candidates were tried.

    Examples
    --------
    >>> from kovar.sim import FOPDT
    >>> from kovar.tune import search
    >>> best = search(FOPDT([1.0, 2.0], 5.0, delay=1.0), {"kp": [0.5, 1.0, 2.0, 4.0], "ki": [0.1, 0.2, 0.4]},
    ...               dt=0.1, steps=600)
    >>> best
    <SearchResult: best of 12 candidates for plants of shape (2,)>
    >>> best.index.tolist(), best.gains.kp.tolist(), best.gains.ki.tolist()
    ([8, 4], [2.0, 1.0], [0.4, 0.2])
    """

    def __init__(self, gains, index, score, ms, metrics, count):
        self.gains = gains
        self.index = index
        self.score = score
        self.ms = ms
        self.metrics = metrics
        self.candidates = count

    def __repr__(self):
        return f"<SearchResult: best of {self.candidates} candidates for plants of shape {self.index.shape}>"


def evaluate_chunk(plant, gains, offset, dt, steps, objective, max_ms, setpoint, options):
    """Simulates the candidates `gains` (shape (m,)) on every plant as one
    bank of shape (m, *plant.shape) and returns the best per plant:
    (score, index from `offset`, ms, metrics). Only stable loops are
    admitted, and with `max_ms` (not None) those of ``Ms <= max_ms``.
    Runs wherever it is sent (a dask worker included): it depends on its
    arguments only."""
    shape = (gains.shape[0], *plant.shape)
    lead = (slice(None),) + (None,) * len(plant.shape)
    full = Gains(**{n: np.broadcast_to(v[lead], shape) for n, v in gains.items()})
    screen = max_ms is not None
    found = _assess(plant, full, with_ms=screen, ms_limit=max_ms, margins=False)
    allowed = found["stable"]
    if screen:
        allowed = allowed & (found["ms"] <= max_ms)
    keep = np.flatnonzero(allowed.reshape(shape[0], -1).any(axis=1))
    score = np.full(shape, np.inf)
    metrics = {name: np.full(shape, np.nan) for name in METRICS}
    if keep.size:
        kept = Gains(**{n: v[keep] for n, v in full.items()})
        bank = PIDBank(kept.shape, **kept, **options)
        result = simulate(bank, plant, dt=dt, steps=steps, setpoint=setpoint, record=False)
        value = result.metrics[objective] if isinstance(objective, str) else np.asarray(objective(result))
        value = np.where(np.isnan(value), np.inf, value)
        score[keep] = np.where(allowed[keep], value, np.inf)
        for name in METRICS:
            metrics[name][keep] = result.metrics[name]
    best = np.argmin(score, axis=0)
    pick = lambda a: np.take_along_axis(a, best[None], axis=0)[0]
    # Ms of the chosen candidates, exact: the screen only knows it is above
    # the limit for candidates it refused.
    chosen = Gains(**{n: pick(v) for n, v in full.items()})
    best_ms = _assess(plant, chosen, with_ms=True)["ms"]
    return pick(score), best + offset, best_ms, {n: pick(v) for n, v in metrics.items()}


def search(plant, grid, *, dt, steps, objective="iae", max_ms=1.6, chunk=None, client=None,
           progress=False, setpoint=1.0, options=None):
    """The best of many candidate gains per plant, by simulating every
    candidate on every plant.

    A candidate is admitted for a plant only if their closed loop is
    stable (:func:`robustness`'s ``stable``) and its maximum sensitivity
    ``Ms`` is at most `max_ms`. Each run is a step of `setpoint` from rest
    over `steps` samples of `dt` (:func:`kovar.sim.simulate`); among the
    admitted candidates the smallest `objective` wins, ties going to the
    earlier candidate.

    Parameters
    ----------
    plant : kovar.sim.FOPDT, kovar.sim.SOPDT or kovar.sim.Integrating
        The plant bank.
    grid : mapping or Gains
        A mapping of gain names (kp, ki, kd, tf, b, c; kp required) to
        candidate values, whose Cartesian product is tried (the last name
        varying fastest; the gains not named at their defaults), or a
        :class:`Gains` of candidates (flattened).
    dt : float
        The sample time of the runs.
    steps : int
        The number of samples of each run.
    objective : str or callable, optional
        A measure of :class:`kovar.sim.Result` (``"iae"``, the default,
        ``"ise"``, ``"itae"``, ``"overshoot"``, ...) or a function of a
        ``Result`` returning an array of its shape; smaller is better, NaN
        worst.
    max_ms : float or None, optional
        The limit on ``Ms`` (1.6 by default); None or ``inf`` skips the Ms
        screen, not the stability test.
    chunk : int, optional
        Candidates per bank; by default about 65,000 channels per bank.
    client : dask.distributed.Client, optional
        Runs the chunks on its workers; the result is the same as a local
        run.
    progress : bool, optional
        Shows a tqdm progress bar over the chunks (the extra
        ``kovar[progress]``).
    setpoint : float or array_like, optional
        The setpoint of the runs, as :func:`kovar.sim.simulate` takes it
        (1 by default).
    options : dict, optional
        Further ``PIDBank`` keywords (limits, anti-windup, ...); not the
        searched gains.

    Returns
    -------
    SearchResult
        The best candidate per plant, of the plant bank's shape.

    Raises
    ------
    ValueError
        Where `objective` names no measure, `max_ms` is not positive, `dt`
        is not a positive finite number, `steps` or `chunk` is below 1, or
        the grid gives no values for a gain.
    TypeError
        Where `plant` is not a plant bank, `grid` neither a mapping nor a
        Gains, or names a gain that does not exist, or not kp; `objective`
        is neither a name nor callable; `options` sets a searched gain.
    ImportError
        With ``progress=True`` where tqdm is not installed.

    Examples
    --------
    >>> from kovar.sim import FOPDT
    >>> from kovar.tune import search
    >>> best = search(FOPDT([1.0, 2.0], 5.0, delay=1.0), {"kp": [0.5, 1.0, 2.0, 4.0], "ki": [0.1, 0.2, 0.4]},
    ...               dt=0.1, steps=600, max_ms=1.6)
    >>> best.gains.kp.tolist(), best.ms.round(3).tolist()
    ([2.0, 1.0], [1.438, 1.438])
    """
    if not isinstance(plant, Plant):
        raise TypeError(f"plant must be a FOPDT, SOPDT or Integrating bank, not {type(plant).__name__}")
    if isinstance(objective, str):
        if objective not in METRICS:
            raise ValueError(f"objective must be one of {', '.join(METRICS)} or a function, not {objective!r}")
    elif not callable(objective):
        raise TypeError(f"objective must be a measure's name or a function, not {type(objective).__name__}")
    dt = _values.positive_scalar("dt", dt)
    steps = _values.count("steps", steps)
    max_ms = _limit(max_ms)
    options = dict(options or {})
    clash = set(options) & set(NAMES)
    if clash:
        raise TypeError(f"options must not set the searched gain {sorted(clash)[0]}")
    every = candidates(grid)
    total = every.shape[0]
    per_plant = max(1, int(np.prod(plant.shape)))
    size = _values.count("chunk", chunk) if chunk is not None else max(1, _CHANNELS_PER_CHUNK // per_plant)
    starts = list(range(0, total, size))
    parts = [Gains(**{n: v[s:s + size] for n, v in every.items()}) for s in starts]
    args = (dt, steps, objective, max_ms, setpoint, options)
    bar = _progress(len(parts)) if progress else None
    if client is None:
        outcomes = []
        for part, start in zip(parts, starts):
            outcomes.append(evaluate_chunk(plant, part, start, *args))
            if bar is not None:
                bar.update(1)
    else:
        futures = [client.submit(evaluate_chunk, plant, part, start, *args, pure=False)
                   for part, start in zip(parts, starts)]
        if bar is not None:
            from distributed import as_completed

            for _ in as_completed(futures):
                bar.update(1)
        outcomes = client.gather(futures)
    if bar is not None:
        bar.close()
    return _combine(outcomes, every, plant.shape, total)


def _limit(max_ms):
    """max_ms as a float, or None for no Ms screen (None or inf)."""
    if max_ms is None:
        return None
    if isinstance(max_ms, bool) or not isinstance(max_ms, (int, float, np.integer, np.floating)):
        raise TypeError(f"max_ms must be a real number or None, not {type(max_ms).__name__}")
    number = float(max_ms)
    if not number > 0.0:
        raise ValueError(f"max_ms must be a positive number (inf or None for no limit), not {number!r}")
    return None if number == np.inf else number


def _progress(total):
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise ImportError("progress=True needs tqdm (pip install 'kovar[progress]')") from None
    return tqdm(total=total, unit="chunk")


def _combine(outcomes, every, shape, total):
    """The best over chunks, in chunk order (an earlier chunk wins ties)."""
    score, index, ms, metrics = outcomes[0]
    score, index, ms = score.copy(), index.copy(), ms.copy()
    metrics = {n: v.copy() for n, v in metrics.items()}
    for s, i, m, mt in outcomes[1:]:
        better = s < score
        score = np.where(better, s, score)
        index = np.where(better, i, index)
        ms = np.where(better, m, ms)
        metrics = {n: np.where(better, mt[n], v) for n, v in metrics.items()}
    found = np.isfinite(score)
    index = np.where(found, index, -1)
    safe = np.where(found, index, 0)
    return SearchResult(_gains_with_gaps(every, safe, found), index, score, ms, metrics, total)


def _gains_with_gaps(every, safe, found):
    # Gains refuses NaN, which marks plants no candidate was admitted for.
    gains = Gains.__new__(Gains)
    gains._values = {}
    for n, v in every.items():
        a = np.where(found, v[safe], np.nan)
        a.flags.writeable = False
        gains._values[n] = a
    gains._shape = safe.shape
    return gains
