"""The Johansen test of the spread model (linear trend, no lagged differences) in high
precision, for the windows where statsmodels itself is ill-conditioned.

Every step is the library's, taken on the float64 inputs as exact numbers: the levels
detrended on a constant and a trend; differences and the levels of the same time (t = 1..m-1),
each demeaned; the moment matrices S00, Sk0, Skk; the eigenvalues of
Skk^-1 Sk0 S00^-1 Sk0' as the roots of det(Sk0 S00^-1 Sk0' - lambda Skk) = 0; each eigenvector
scaled to v' Skk v = 1 (what the library's Cholesky scaling gives, the eigenvectors being
Skk-orthogonal); the whole matrix signed by its first non-zero element in row-major order.
"""

from __future__ import annotations

import mpmath as mp
import numpy as np

MAX_EIG_90 = 15.0006
TRACE_90 = 16.1619


def exact_johansen(endog, digits=50):
    """dict(eig, evec, lr1, lr2) as float64 values of the exact statistic of an m x 2 series."""
    endog = np.asarray(endog, dtype=np.float64)
    with mp.workdps(digits):
        m = endog.shape[0]
        T = m - 1
        tmid = mp.mpf(m - 1) / 2
        t_dev = [mp.mpf(k) - tmid for k in range(m)]
        stt = mp.fsum(d * d for d in t_dev)
        r0, rk = [], []
        for column in endog.T:
            y = [mp.mpf(float(v)) for v in column]
            mean = mp.fsum(y) / m
            beta = mp.fsum(t_dev[k] * (y[k] - mean) for k in range(m)) / stt
            level = [y[k] - mean - beta * t_dev[k] for k in range(m)]
            diff = [level[t] - level[t - 1] for t in range(1, m)]
            r0.append(_demeaned(diff))
            rk.append(_demeaned(level[1:]))

        def moments(a, b):
            return mp.matrix([[mp.fsum(x * y for x, y in zip(a[i], b[j])) / T for j in range(2)]
                              for i in range(2)])

        skk, sk0, s00 = moments(rk, rk), moments(rk, r0), moments(r0, r0)
        sig = sk0 * mp.inverse(s00) * sk0.T
        a2 = mp.det(skk)
        a1 = -(sig[0, 0] * skk[1, 1] + sig[1, 1] * skk[0, 0] - 2 * sig[0, 1] * skk[0, 1])
        a0 = mp.det(sig)
        root = mp.sqrt(a1 * a1 - 4 * a2 * a0)
        lams = sorted([(-a1 + root) / (2 * a2), (-a1 - root) / (2 * a2)], reverse=True)
        vectors = []
        for lam in lams:
            a = sig - lam * skk
            first, second = (a[0, 0], a[0, 1]), (a[1, 0], a[1, 1])
            p, q = first if abs(first[0]) + abs(first[1]) >= abs(second[0]) + abs(second[1]) else second
            v = mp.matrix([q, -p])
            vectors.append(v / mp.sqrt((v.T * skk * v)[0]))
        flat = [vectors[0][0], vectors[1][0], vectors[0][1], vectors[1][1]]
        sign = next((mp.sign(f) for f in flat if f != 0), 1)
        evec = np.array([[float(sign * vectors[c][r]) for c in range(2)] for r in range(2)])
        logs = [mp.log(1 - lam) for lam in lams]
        return dict(eig=[float(lam) for lam in lams], evec=evec,
                    lr1=[float(-T * (logs[0] + logs[1])), float(-T * logs[1])],
                    lr2=[float(-T * logs[0]), float(-T * logs[1])])


def _demeaned(values):
    mean = mp.fsum(values) / len(values)
    return [v - mean for v in values]


def exact_flag(result):
    """The factor's decision: both the maximum-eigenvalue and the trace test pass at 90 %."""
    return result["lr2"][0] >= MAX_EIG_90 and result["lr1"][0] >= TRACE_90


def clear_of_thresholds(result, margin):
    """Both statistics further than `margin` (relative) from their 90 % critical values."""
    return (abs(result["lr2"][0] / MAX_EIG_90 - 1) > margin
            and abs(result["lr1"][0] / TRACE_90 - 1) > margin)
