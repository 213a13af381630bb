"""One step of a discretised plant bank: its dead time as a delay line, and
its state update, each operation in the order of the model's equations
(NumPy's element-wise arithmetic is correctly rounded, so a native loop with
the same operations in the same order gives the same bits)."""

import numpy as np


class DelayLine:
    """``w[k] = v[k - d]`` per channel (0 for ``k < d``), over a ring of
    ``max(d) + 1`` slots: slot ``k mod D`` is written before ``k - d mod D``
    is read, and a slot not yet written holds the 0 of rest."""

    def __init__(self, d, shape):
        self.d = np.broadcast_to(d, shape)
        self.slots = int(self.d.max(initial=0)) + 1
        self.uniform = bool(np.all(self.d == self.d.flat[0])) if self.d.size else True
        self.ring = np.zeros((self.slots, *shape)) if self.slots > 1 else None
        if not self.uniform:
            self.gather = self.d[None, ...].astype(np.int64)
        self.k = 0

    def push(self, v):
        """Takes this step's input `v` and returns the delayed one."""
        k = self.k
        self.k += 1
        if self.ring is None:
            return v
        self.ring[k % self.slots] = v
        if self.uniform:
            return self.ring[(k - int(self.d.flat[0])) % self.slots]
        index = (k - self.gather) % self.slots
        return np.take_along_axis(self.ring, index, axis=0)[0]


class PlantState:
    """A discretised plant bank at rest, advanced one sample at a time."""

    def __init__(self, model):
        self.model = model
        self.line = DelayLine(model.d, model.shape)
        self.x = np.zeros(model.shape)
        self.x1 = np.zeros(model.shape) if model.kind == "sopdt" else None
        self._ax = np.empty(model.shape)
        self._bw = np.empty(model.shape)
        self._step = getattr(self, "_" + model.kind)

    def output(self):
        """y[k]: the plant output (a live view: `advance` overwrites it)."""
        return self.x

    def advance(self, v):
        """Feeds this sample's input `v` into the dead time and moves every
        state to the next sample."""
        self._step(self.line.push(v))

    def _fopdt(self, w):
        # x = a*x + b*w, b = (1 - a)*gain made once; in place.
        m = self.model
        np.multiply(m.a, self.x, out=self._ax)
        np.multiply(m.b, w, out=self._bw)
        np.add(self._ax, self._bw, out=self.x)

    def _integrating(self, w):
        # x = x + (gain*dt)*w, in place.
        np.multiply(self.model.b, w, out=self._bw)
        self.x += self._bw

    def _sopdt(self, w):
        # x1' = (a11*x1 + a12*x2) + b1*w;  x2' = (a21*x1 + a22*x2) + b2*w
        m, x1, x2 = self.model, self.x1, self.x
        self.x1 = (m.a11 * x1 + m.a12 * x2) + m.b1 * w
        self.x = (m.a21 * x1 + m.a22 * x2) + m.b2 * w
