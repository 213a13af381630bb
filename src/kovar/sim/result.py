"""The outcome of one simulation."""

from typing import Generic, TypeVar

import numpy as np

from kovar.sim.metrics import NAMES

# y and u: arrays in a recorded run, None in one that kept the measures only
# (type checkers tell the two apart: Result[NDArray] or Result[None]).
_Recorded = TypeVar("_Recorded")


class Result(Generic[_Recorded]):
    """One closed-loop run of a bank, as :func:`kovar.sim.simulate` returns
    it.

    Attributes
    ----------
    t : numpy.ndarray
        The sample times ``k*dt``, of shape ``(steps,)``.
    r : numpy.ndarray
        The setpoint, a read-only view of shape ``(steps, *shape)``.
    y, u : numpy.ndarray or None
        The plant output (without the measurement noise) and the
        controller output, of shape ``(steps, *shape)``, when the run was
        recorded; None when it kept the measures only.
    iae, ise, itae, overshoot, settling_time, rise_time, peak_u, u_variation : numpy.ndarray
        The measures of the run, arrays of the bank's shape, as
        :func:`kovar.sim.response_metrics` defines them.

    Examples
    --------
    >>> from kovar.bank import PIDBank
    >>> from kovar.sim import FOPDT, simulate
    >>> result = simulate(PIDBank(2, kp=[0.5, 2.0], ki=0.5), FOPDT(1.0, 2.0, delay=0.5),
    ...                   dt=0.1, steps=400, record=False)
    >>> result, result.y
    (<Result: 400 steps of shape (2,), measures only>, None)
    >>> result.overshoot.round(3).tolist(), sorted(result.metrics)[:3]
    ([0.095, 0.0], ['iae', 'ise', 'itae'])
    """

    def __init__(self, t, r, y, u, metrics):
        self.t = t
        self.r = r
        self.y = y
        self.u = u
        self._metrics = metrics
        for name in NAMES:
            setattr(self, name, metrics[name])

    @property
    def shape(self):
        """The bank's shape."""
        return self.r.shape[1:]

    @property
    def metrics(self):
        """The measures by name."""
        return dict(self._metrics)

    def __repr__(self):
        kept = "recorded" if self.y is not None else "measures only"
        return f"<Result: {self.t.shape[0]} steps of shape {self.shape}, {kept}>"

    def plot(self, channels=None, ax=None):
        """Draws y and r (upper axes, r dashed) and u (lower axes) against t.

        Parameters
        ----------
        channels : int or sequence of int, optional
            The channels to draw, as indices into the flattened bank; the
            first 5 when None (the default).
        ax : sequence of two matplotlib.axes.Axes, optional
            The upper and the lower axes; new ones in a new figure (shared
            time axis) when None.

        Returns
        -------
        tuple of two matplotlib.axes.Axes
            The upper and the lower axes.

        Raises
        ------
        ValueError
            Where the run kept the measures only (``record=False``).
        ModuleNotFoundError
            Where matplotlib is not installed (the extra ``kovar[plot]``).
        """
        if self.y is None:
            raise ValueError("plot needs a recorded run (simulate with record=True)")
        try:
            import matplotlib.pyplot as plt
        except ModuleNotFoundError as missing:
            raise ModuleNotFoundError("Result.plot needs matplotlib: pip install 'kovar[plot]'",
                                      name=missing.name) from missing

        size = int(np.prod(self.shape))
        picked = range(min(size, 5)) if channels is None else np.atleast_1d(channels).astype(np.int64)
        if ax is None:
            _, ax = plt.subplots(2, 1, sharex=True)
        top, bottom = ax
        y = self.y.reshape(len(self.t), size)
        u = self.u.reshape(len(self.t), size)
        r = self.r.reshape(len(self.t), size)
        for i in picked:
            line, = top.plot(self.t, y[:, i], label=f"y[{i}]")
            top.plot(self.t, r[:, i], linestyle="--", color=line.get_color())
            bottom.plot(self.t, u[:, i], color=line.get_color())
        top.set_ylabel("y, r (dashed)")
        bottom.set_ylabel("u")
        bottom.set_xlabel("t")
        top.legend(fontsize="small")
        return top, bottom
