"""Tables of many samples: against an independent quadrature of the same piecewise-linear
profile, and against the analytic law they sample, within the table's own interpolation error."""

import numpy as np
import pytest

import lumagnis_fspl as fspl

GAUSS_X, GAUSS_W = np.polynomial.legendre.leggauss(20)


def integral(f, a, b, singular):
    """Integral of f over [a, b], split at the points of `singular` inside it and graded
    geometrically towards any of them at or near an end (down to its distance from it)."""
    cuts = sorted({a, b} | {s for s in singular if a < s < b})
    total = 0.0
    for lo, hi in zip(cuts[:-1], cuts[1:]):
        pts = {lo, hi}
        for s in singular:
            for end, inward in ((lo, 1.0), (hi, -1.0)):
                gap = abs(end - s)
                if gap < hi - lo:
                    d = (hi - lo) / 4
                    while d > max(gap, 1e-14 * (hi - lo)):
                        pts.add(end + inward * d)
                        d /= 4
        pts = sorted(pts)
        for p, q in zip(pts[:-1], pts[1:]):
            x = p + (q - p) * (GAUSS_X + 1) / 2
            total += (q - p) / 2 * np.dot(GAUSS_W, f(x))
    return total


def disk(u, radius, slope):
    """A_U, or dA_U/du (nil where a node lands on the ring through the lens itself)."""
    if not slope:
        return fspl.uniform(u, radius)
    value = fspl.uniform(u, radius, gradient=True)[1]
    return np.where(np.isfinite(value), value, 0.0)


def reference(u, rho, x, intensity, in_mu, du=False):
    """The by-parts numerator over the flux, segment by segment (x ascending); with `du`,
    that of dA/du."""
    z = u / rho

    def ring(r):
        return r * r * disk(u, rho * np.maximum(r, 1e-90), du)

    if in_mu:
        f = lambda m: ring(np.sqrt((1 - m) * (1 + m)))
        singular = [np.sqrt(max(0.0, (1 - z) * (1 + z)))] if z <= 1 else []
        limb, flux_x = intensity[0], lambda m: 2 * m
    else:
        f, singular = ring, [z]
        limb, flux_x = intensity[-1], lambda r: 2 * r
    num = limb * disk(u, rho, du)
    flux = 0.0
    for k in range(len(x) - 1):
        slope = (intensity[k + 1] - intensity[k]) / (x[k + 1] - x[k])
        num += (slope if in_mu else -slope) * integral(f, x[k], x[k + 1], singular)
        lin = lambda t, k=k: intensity[k] + (intensity[k + 1] - intensity[k]) * (t - x[k]) / (x[k + 1] - x[k])
        flux += integral(lambda t: flux_x(t) * lin(t), x[k], x[k + 1], [])
    ends = (0.0, x[0], intensity[0]), (x[-1], 1.0, intensity[-1])
    for a, b, v in ends:
        flux += v * (b * b - a * a)
    return num / flux


@pytest.mark.parametrize("n, in_mu, seed", [(100, False, 1), (100, True, 2), (1000, False, 3), (1000, True, 4)])
def test_random_table_matches_independent_quadrature(n, in_mu, seed):
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(0, 1, n))
    intensity = 1 - 0.5 * x + 0.05 * rng.uniform(-1, 1, n) if not in_mu else 0.4 + 0.6 * x + 0.05 * rng.uniform(-1, 1, n)
    profile = fspl.Tabulated.from_mu(x, intensity) if in_mu else fspl.Tabulated(x, intensity)
    zs = np.concatenate([[0.0, 1.0, 1 - 1e-12, 1 + 1e-9], rng.uniform(0, 1.2, 4), rng.uniform(1.2, 8, 2)])
    for rho in (1e-3, 0.1, 1.0):
        u = zs * rho
        a, da_du, da_drho = fspl.limb_darkened(u, rho, profile, gradient=True)
        assert np.array_equal(a, fspl.limb_darkened(u, rho, profile))
        for k in range(len(zs)):
            want = reference(u[k], rho, x, intensity, in_mu)
            assert a[k] == pytest.approx(want, rel=1e-10), (rho, zs[k])
            if 0 < zs[k] < 1 - 1e-6 or zs[k] > 1 + 1e-6:
                # Beside the limb dA/du has a logarithmic peak, where the reference's own
                # panels no longer resolve it.
                want = reference(u[k], rho, x, intensity, in_mu, du=True)
                assert da_du[k] == pytest.approx(want, rel=1e-9, abs=1e-12 * abs(a[k] / u[k])), (rho, zs[k])


@pytest.mark.parametrize(
    "law, intensity, bound",
    [
        # I = 1 - a (1 - mu) - b (1 - mu)^2 sampled in mu: the interpolation error is b h^2 / 4
        # at most (h the step), b (mu - mu_k)(mu_k+1 - mu) on each segment.
        (fspl.Quadratic(0.4, 0.3), lambda m: 1 - 0.4 * (1 - m) - 0.3 * (1 - m) ** 2, 0.3 / 4),
        (fspl.Linear(0.6), lambda m: 1 - 0.6 * (1 - m), 0.0),
    ],
)
@pytest.mark.parametrize("n", [100, 1000])
def test_mu_table_of_a_law_agrees_within_its_interpolation_error(law, intensity, bound, n):
    # A is a brightness-weighted mean of ring magnifications, so an intensity off by at most
    # delta moves the numerator by at most delta A_U(u, rho) and the flux by at most delta:
    # |A_table - A_law| <= delta (A_U + A_law) / flux_table.
    mu = np.linspace(0, 1, n)
    profile = fspl.Tabulated.from_mu(mu, intensity(mu))
    delta = bound * (mu[1] - mu[0]) ** 2 + 1e-15
    rng = np.random.default_rng(n)
    for rho in (1e-3, 0.05, 1.0):
        u = np.concatenate([[0.0, rho], rng.uniform(0, 3, 20) * rho])
        table = fspl.limb_darkened(u, rho, profile)
        exact = fspl.limb_darkened(u, rho, law)
        flux = 1 - delta
        limit = delta * (fspl.uniform(u, rho) + exact) / flux + 1e-12 * exact
        assert np.all(np.abs(table - exact) <= limit)


@pytest.mark.parametrize("nodes", [16, 20, 24, 32])
def test_node_weights_are_the_product_and_the_same_bits_on_either_path(nodes):
    testing = pytest.importorskip("lumagnis_testing")
    rng = np.random.default_rng(nodes)
    # Rows of mixed sign and scale, as the read weights' are, and moments spanning decades.
    reads = rng.normal(size=(nodes + 1, nodes)) * np.logspace(0, -12, nodes + 1)[:, None]
    mu = rng.normal(size=nodes + 1) * np.logspace(3, -3, nodes + 1)
    portable = testing.fspl_table_node_weights(list(reads.ravel()), list(mu), nodes, False)
    scale = np.abs(reads).T @ np.abs(mu)
    np.testing.assert_array_less(np.abs(np.array(portable) - reads.T @ mu), 1e-15 * scale)
    if testing.fspl_vectorised():
        avx2 = testing.fspl_table_node_weights(list(reads.ravel()), list(mu), nodes, True)
        assert [v.hex() for v in avx2] == [v.hex() for v in portable]


@pytest.mark.parametrize("count", [1, 16, 37, 300])
def test_sample_moments_are_the_same_bits_on_either_path(count):
    testing = pytest.importorskip("lumagnis_testing")
    rng = np.random.default_rng(count)
    y = list(rng.uniform(-1, 1, count))
    d = list(rng.normal(size=count))
    portable = testing.fspl_table_moments(y, d, 33, False)
    want = np.polynomial.chebyshev.chebvander(np.array(y), 32).T @ np.array(d)
    np.testing.assert_allclose(portable, want, rtol=0, atol=1e-13 * np.sum(np.abs(d)))
    if testing.fspl_vectorised():
        assert [v.hex() for v in testing.fspl_table_moments(y, d, 33, True)] == [v.hex() for v in portable]


@pytest.mark.parametrize("crowd", [0, 1, 2])
def test_sample_positions_are_the_same_bits_on_either_path(crowd):
    """Positions in a piece, samples inside, outside (clamped) and on its ends, a count that
    leaves a remainder after the vectors: against the closed form, and the same bits with AVX2."""
    testing = pytest.importorskip("lumagnis_testing")
    rng = np.random.default_rng(crowd)
    lo, hi = 0.3, 0.7
    x = list(rng.uniform(0.25, 0.75, 37)) + [lo, hi, np.nextafter(lo, 1), np.nextafter(hi, 0)]
    v = np.clip((np.array(x) - lo) * (1 / (hi - lo)), 0, 1)
    want = [2 * v - 1, 2 * v**0.25 - 1, 1 - 2 * (1 - v) ** 0.25][crowd]
    portable = testing.fspl_table_positions(x, lo, 1 / (hi - lo), crowd, False)
    np.testing.assert_allclose(portable, want, rtol=0, atol=4e-16)
    if testing.fspl_vectorised():
        assert [p.hex() for p in testing.fspl_table_positions(x, lo, 1 / (hi - lo), crowd, True)] == [
            p.hex() for p in portable
        ]


@pytest.mark.parametrize("crowd", [0, 1, 2])
def test_placed_moments_are_the_moments_at_the_positions(crowd):
    """Positions and moments taken together (the roots a block ahead where AVX2 serves): against
    Chebyshev polynomials at the closed-form positions, and the same bits on either path, for
    counts that end inside a vector, a block and a group, and moment counts at the loop's ends."""
    testing = pytest.importorskip("lumagnis_testing")
    rng = np.random.default_rng(10 + crowd)
    lo, hi = 0.2, 0.45
    for count, terms in [(1, 2), (5, 3), (23, 14), (37, 33), (100, 17), (250, 65), (1024, 25)]:
        x = rng.uniform(0.18, 0.47, count)
        x[: min(count, 2)] = [lo, hi][: min(count, 2)]
        d = rng.normal(size=count)
        v = np.clip((x - lo) / (hi - lo), 0, 1)
        y = [2 * v - 1, 2 * v**0.25 - 1, 1 - 2 * (1 - v) ** 0.25][crowd]
        want = np.polynomial.chebyshev.chebvander(y, terms - 1).T @ d
        args = (list(x), list(d), lo, 1 / (hi - lo), crowd, terms)
        portable = testing.fspl_table_placed_moments(*args, False)
        np.testing.assert_allclose(portable, want, rtol=0, atol=1e-13 * np.sum(np.abs(d)))
        if testing.fspl_vectorised():
            avx2 = testing.fspl_table_placed_moments(*args, True)
            assert [m.hex() for m in avx2] == [m.hex() for m in portable], (count, terms)


def sample_derivatives(u, rho, x, intensity, in_mu):
    """dA/dI_j from the same independent quadrature: A = F[I] / N[I], both linear in the samples,
    so dA/dI_j = (F[hat_j] - A N[hat_j]) / N[I] with hat_j sample j's hat function."""
    z = u / rho
    ring = lambda r: r * r * disk(u, rho * np.maximum(r, 1e-300), False)
    if in_mu:
        f = lambda m: ring(np.sqrt((1 - m) * (1 + m)))
        singular = [np.sqrt(max(0.0, (1 - z) * (1 + z)))] if z <= 1 else []
    else:
        f, singular = ring, [z]
    n = len(x)
    # The integral of r^2 A_U over each segment, over its length: F[hat_j] is -1 times the
    # by-parts sum of its slopes (-dI/dr in r, +dI/dmu in mu) against them.
    mean = [integral(f, x[k], x[k + 1], singular) / (x[k + 1] - x[k]) for k in range(n - 1)]
    sign = 1.0 if in_mu else -1.0
    own = np.zeros(n)
    own[0 if in_mu else -1] = disk(u, rho, False)
    own[1:] += sign * np.array(mean)
    own[:-1] -= sign * np.array(mean)
    # N[hat_j]: the area 2 x dx under the hat (flat beyond the end samples), in closed form.
    h = np.diff(x)
    flux_of = np.zeros(n)
    flux_of[1:] += h * (x[:-1] + 2 * x[1:]) / 3
    flux_of[:-1] += h * (2 * x[:-1] + x[1:]) / 3
    flux_of[0] += x[0] ** 2
    flux_of[-1] += 1 - x[-1] ** 2
    flux = flux_of @ intensity
    a = own @ intensity / flux
    return (own - a * flux_of) / flux, flux


@pytest.mark.parametrize(
    "n, in_mu, seed", [(5, False, 5), (6, True, 6), (100, False, 7), (100, True, 8), (1000, False, 9), (1000, True, 10)]
)
def test_sample_derivatives_match_independent_quadrature(n, in_mu, seed):
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(0, 1, n))
    if not in_mu:
        x[0] = 0.0
    # Few samples: any intensities. Many: a smooth law with noise small enough that the table
    # is read through the integral formed per separation, not segment by segment.
    noise = 1.0 if n < 10 else 10.0 / n**2
    intensity = 0.65 + 0.35 * (x if in_mu else 1 - x) + noise * rng.uniform(-0.35, 0.35, n)
    profile = fspl.Tabulated.from_mu(x, intensity) if in_mu else fspl.Tabulated(x, intensity)
    zs = np.concatenate([[0.0, 1.0, 1 - 1e-9, 1 + 1e-9], rng.uniform(0, 1.2, 4), rng.uniform(1.2, 9, 3)])
    for rho in (1e-3, 0.1, 1.0):
        a, d = fspl.limb_darkened(zs * rho, rho, profile, coefficients=True)
        for k, z in enumerate(zs):
            want, flux = sample_derivatives(z * rho, rho, x, intensity, in_mu)
            # A moves by at most A / N when one sample moves by 1: the derivatives' own scale.
            np.testing.assert_allclose(d[k], want, rtol=0, atol=1e-9 * a[k] / flux, err_msg=f"{rho} {z}")


@pytest.mark.parametrize("in_mu", [False, True])
def test_sample_derivatives_of_a_fine_table_near_the_limb(in_mu):
    """A thousand evenly spaced samples of the linear law, the lens near the limb (random and
    adversarial u / rho where the kink's panel changes): each segment's integral is read from a
    polynomial on a long piece, and a derivative divides it by the segment's length, so a
    partial integral off by 1e-10 of the whole shows here as 1e-7 of the largest derivative."""
    n = 1000
    x = np.linspace(0.0, 1.0, n)
    intensity = 0.4 + 0.6 * x if in_mu else 0.4 + 0.6 * np.sqrt((1 - x) * (1 + x))
    profile = fspl.Tabulated.from_mu(x, intensity) if in_mu else fspl.Tabulated(x, intensity)
    rng = np.random.default_rng(19)
    zs = np.concatenate([[0.9, 0.95, 0.955, 0.96, 0.99, 1 - 1e-6, 1 + 1e-6, 1.02], rng.uniform(0.7, 1.03, 6)])
    rho = 0.05
    a, d = fspl.limb_darkened(zs * rho, rho, profile, coefficients=True)
    for k, z in enumerate(zs):
        want, _ = sample_derivatives(z * rho, rho, x, intensity, in_mu)
        np.testing.assert_allclose(d[k], want, rtol=0, atol=1e-9 * np.max(np.abs(want)), err_msg=f"{z}")


@pytest.mark.parametrize("in_mu", [False, True])
def test_pieces_on_fewer_nodes_match_independent_quadrature(in_mu):
    """Pieces away from the kink take fewer nodes by an error bound: an uneven, noisy table of
    100 samples, at separations a relative 1e-9 either side of where a piece's node count
    changes, the centre and random ones, for a small source and one whose point-lens branch
    points come near: the value within 1e-12 and dA/du within 1e-10 of the reference."""
    from test_fspl_invariants import table_rule_switches

    rng = np.random.default_rng(23 + in_mu)
    x = np.sort(np.concatenate([[0.0, 1.0], rng.uniform(0, 1, 98)]))
    intensity = 0.65 + 0.35 * (x if in_mu else 1 - x) + 1e-3 * rng.uniform(-0.35, 0.35, x.size)
    profile = fspl.Tabulated.from_mu(x, intensity) if in_mu else fspl.Tabulated(x, intensity)
    switches = [z for z in table_rule_switches()[in_mu] if z < 1 / 17 or in_mu]
    # A table in mu: also two switches of its layout in w, nearer the centre than 0.34.
    switches = switches[:3] + [z for z in switches[3:] if z < 0.338][:2 * in_mu]
    zs = np.concatenate([[z * (1 + s) for z in switches for s in (-1e-9, 1e-9)], [0.0], rng.uniform(0, 1, 2)])
    for rho in (1e-3, 1.0):
        a, da_du, _ = fspl.limb_darkened(zs * rho, rho, profile, gradient=True)
        for k, z in enumerate(zs):
            assert a[k] == pytest.approx(reference(z * rho, rho, x, intensity, in_mu), rel=1e-12), (rho, z)
            if z > 0:
                want = reference(z * rho, rho, x, intensity, in_mu, du=True)
                assert da_du[k] == pytest.approx(want, rel=1e-10, abs=1e-12 * a[k] / (z * rho)), (rho, z)


def one_signed(shape, x, in_mu):
    """Intensities whose slopes keep one sign: falling to the limb, brightening towards it, a
    steep limb, or nearly flat over half the disk (the slopes' density there 3e-3 of their mean
    in the rules' variable, or 1e-10, where their own Gauss rule would leave that half few
    nodes for the derivatives in the samples)."""
    t = x if in_mu else 1 - x  # 0 at the limb, 1 at the centre
    if shape == "falling":
        return 0.4 + 0.6 * t
    if shape == "brightening":
        return 1.0 - 0.5 * t
    if shape == "steep":
        return t**0.25 + 1e-3
    flat = 3e-3 if shape == "nearly flat" else 1e-10
    return np.where(t > 0.5, 1 + flat * (t - 0.5), 1 - (0.5 - t))


@pytest.mark.parametrize("in_mu", [False, True])
@pytest.mark.parametrize("shape, n", [("falling", 2), ("falling", 40), ("brightening", 7), ("steep", 100),
                                      ("nearly flat", 60), ("flat", 60)])
def test_one_signed_tables_outside_match_independent_quadrature(shape, n, in_mu):
    """Outside the source a table whose slopes keep one sign takes the Gauss rule of its own
    slopes: the value within 1e-13, dA/du within 1e-10 and the derivatives in the samples
    (read from the Hermite interpolant of the nodes) within 1e-9 of A / N, either side of every
    switch of the rules and at random separations, for a small source and a large one."""
    from test_fspl_invariants import table_rule_switches

    rng = np.random.default_rng(n + 7 * in_mu)
    x = np.linspace(0.0, 1.0, n)
    intensity = one_signed(shape, x, in_mu)
    profile = fspl.Tabulated.from_mu(x, intensity) if in_mu else fspl.Tabulated(x, intensity)
    switches = [z for z in table_rule_switches()[in_mu] if z > 1]
    zs = np.concatenate([[z * (1 + s) for z in switches for s in (-1e-9, 1e-9)], rng.uniform(1.03, 4, 3)])
    for rho in (1e-3, 1.0):
        a, da_du, _ = fspl.limb_darkened(zs * rho, rho, profile, gradient=True)
        _, d = fspl.limb_darkened(zs * rho, rho, profile, coefficients=True)
        for k, z in enumerate(zs):
            assert a[k] == pytest.approx(reference(z * rho, rho, x, intensity, in_mu), rel=1e-13), (rho, z)
            want = reference(z * rho, rho, x, intensity, in_mu, du=True)
            assert da_du[k] == pytest.approx(want, rel=1e-10), (rho, z)
            want, flux = sample_derivatives(z * rho, rho, x, intensity, in_mu)
            np.testing.assert_allclose(d[k], want, rtol=0, atol=1e-9 * a[k] / flux, err_msg=f"{rho} {z}")
