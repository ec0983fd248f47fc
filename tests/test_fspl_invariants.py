"""Physical invariants of lumagnis_fspl as properties over seeded random and adversarial draws:
a point lens never demagnifies; only the shape of the intensity matters; equal laws give equal
results; a finely sampled table converges to its law; a table bright only near its centre is the
smaller source it describes; no jump where the method changes; and nothing non-finite for a
finite accepted input."""

import math

import numpy as np
import pytest

import lumagnis_fspl as fspl

LAWS = {
    "uniform": None,
    "linear": fspl.Linear(0.6),
    "linear_dark_limb": fspl.Linear(1.0),
    "quadratic": fspl.Quadratic(0.4, 0.25),
    "square_root": fspl.SquareRoot(0.3, 0.5),
    "power2_rough": fspl.Power2(0.6, 0.01),
    "power2_fractional": fspl.Power2(0.6, 0.1),
    "power2_steep": fspl.Power2(0.6, 10.0),
    "tabulated": fspl.Tabulated([0.0, 0.3, 0.6, 0.85, 1.0], [1.0, 0.95, 0.8, 0.55, 0.3]),
}


def evaluate(profile, u, rho):
    """(A, dA/du, dA/drho) as float arrays."""
    if profile is None:
        result = fspl.uniform(u, rho, gradient=True)
    else:
        result = fspl.limb_darkened(u, rho, profile, gradient=True)
    return [np.asarray(x, dtype=float) for x in result]


def relative(a, b):
    with np.errstate(invalid="ignore", divide="ignore"):
        scale = np.maximum(np.abs(a), np.abs(b))
        return np.where(a == b, 0.0, np.abs(a - b) / scale)


def separations(rng, rho, count):
    """u over every region: the centre (down to subnormal), inside, within 10^-k of the limb on
    both sides, outside and far out; for each of the radii `rho` (broadcast)."""
    k = rng.integers(1, 16, count)
    z = np.concatenate([
        [0.0, 1e-300, 1e-15, 1.0, 1.2, 1.4, 6.0, 15.0],
        10 ** rng.uniform(-20, -3, count), rng.uniform(0, 1, count),
        1 - 10.0 ** -k * rng.uniform(1, 10, count), 1 + 10.0 ** -k * rng.uniform(1, 10, count),
        10 ** rng.uniform(0, 6, count),
    ])
    return np.multiply.outer(z, rho)


def random_laws(rng, count):
    """Valid laws with random coefficients, the edges of validity included."""
    laws = []
    for _ in range(count):
        c = rng.uniform(-2, 1)
        laws += [fspl.Linear(c), fspl.Power2(min(1.0, c + 0.5), 10 ** rng.uniform(-2, math.log10(50)))]
        # On the edge: dark at the limb (1 - a - b = 0), valid for a <= 2 and c <= 1.
        a = rng.uniform(-1, 2)
        laws += [fspl.Quadratic(a, 1 - a), fspl.SquareRoot(a / 2, 1 - a / 2)]
    return laws


@pytest.mark.parametrize("seed", range(3))
def test_a_point_lens_never_demagnifies(seed):
    """A >= 1 everywhere, and A > 1 wherever the excess 2/u^4 is above rounding (u < 1e3)."""
    rng = np.random.default_rng(seed)
    rho = 10 ** rng.uniform(-6, 3, 6)
    u = separations(rng, rho, 12)
    for profile in list(LAWS.values()) + random_laws(rng, 3):
        a = evaluate(profile, u, rho)[0]
        assert np.all(a >= 1), (profile, u[~(a >= 1)], a[~(a >= 1)])
        assert np.all(a[u < 1e3] > 1), (profile, u[(u < 1e3) & ~(a > 1)])


def test_scaling_the_intensities_changes_only_rounding():
    """A table's intensities times any factor of the normal range give the same magnification."""
    rng = np.random.default_rng(7)
    for _ in range(4):
        n = int(rng.integers(2, 20))
        radii = np.sort(rng.choice(np.linspace(0, 1, 1001), n, replace=False))
        values = rng.uniform(0.01, 1, n)
        values /= values.max()
        rho = 10 ** rng.uniform(-6, 3, 4)
        u = separations(rng, rho, 4)
        base = evaluate(fspl.Tabulated(radii, values), u, rho)[0]
        # Up to the largest intensity at the top of the doubles, and the least at the bottom.
        edges = [np.finfo(float).max * (1 - 1e-15), np.finfo(float).tiny / values.min() * (1 + 1e-15)]
        for factor in [*edges, *(10 ** rng.uniform(-300, 300, 2))]:
            scaled = evaluate(fspl.Tabulated(radii, values * factor), u, rho)[0]
            assert np.all(relative(scaled, base) <= 1e-13), (factor, np.max(relative(scaled, base)))


@pytest.mark.parametrize("make, limb, low", [
    (lambda c: (fspl.Power2(c, 1.0), fspl.Linear(c)), 1e-9, -2.0),
    (lambda c: (fspl.Quadratic(c, 0.0), fspl.Linear(c)), 1e-9, -2.0),
    (lambda c: (fspl.SquareRoot(c, 0.0), fspl.Linear(c)), 1e-9, -2.0),
    # Two samples in mu are the linear law exactly, read through the table's own radial rules
    # and not the chords: an independent route. Those rules leave ~1e-10 in the slopes within
    # 1e-8 rho of a dark limb (c = 1); a brightening limb (c < 0) turns dA/du through zero
    # inside the source, where their ~1e-11 of A / rho is no longer small beside the slope.
    (lambda c: (fspl.Tabulated.from_mu([0.0, 1.0], [1 - c, 1.0]), fspl.Linear(c)), 1e-7, 0.0),
], ids=["power2_alpha_1", "quadratic_b_0", "square_root_d_0", "table_in_mu"])
def test_equal_laws_agree(make, limb, low):
    rng = np.random.default_rng(11)
    rho = 10 ** rng.uniform(-6, 3, 5)
    u = separations(rng, rho, 20)
    off_limb = np.abs(u / rho - 1) >= limb
    for c in [1.0, 0.6, -3.0, *rng.uniform(-2, 1, 3)]:
        if c < low:
            continue
        first, second = (evaluate(p, u, rho) for p in make(c))
        assert np.all(relative(first[0], second[0]) <= 1e-12), c
        for one, other in zip(first[1:], second[1:]):
            assert np.all(relative(one, other)[off_limb] <= 1e-10), c


@pytest.mark.parametrize("law", [fspl.Linear(0.6), fspl.Quadratic(0.4, 0.25), fspl.SquareRoot(0.3, 0.5),
                                 fspl.Power2(0.6, 0.5)], ids=repr)
def test_a_finely_sampled_table_converges_to_its_law(law):
    """Linear interpolation in r of a law sampled ever finer (radii crowded towards the limb,
    where mu has its square root, down to spacings of 1e-6 with 1000 radii) converges at second
    order: four times the radii, at least eight times closer."""
    rho = np.array([1e-3, 1.0, 50.0])
    u = np.multiply.outer(np.array([0.0, 0.5, 0.999, 1.0, 1.001, 3.0, 30.0]), rho)
    exact = evaluate(law, u, rho)[0]

    def intensity(r):
        mu = np.sqrt(1 - r * r)
        if isinstance(law, fspl.Linear):
            return 1 - law.a * (1 - mu)
        if isinstance(law, fspl.Quadratic):
            return 1 - law.a * (1 - mu) - law.b * (1 - mu) ** 2
        if isinstance(law, fspl.SquareRoot):
            return 1 - law.c * (1 - mu) - law.d * (1 - np.sqrt(mu))
        return 1 - law.c * (1 - mu**law.alpha)

    errors = []
    for n in (250, 1000):
        radii = 1 - (1 - np.linspace(0, 1, n)) ** 2
        table = fspl.Tabulated(radii, intensity(radii))
        errors.append(np.max(relative(evaluate(table, u, rho)[0], exact)))
    assert errors[1] <= errors[0] / 8 and errors[1] <= 1e-5, errors


@pytest.mark.parametrize("epsilon", [1e-2, 1e-4, 1e-6, 1e-8, 1e-10])
def test_a_table_bright_near_its_centre_is_the_smaller_source(epsilon):
    """Tabulated([0, e, 1], [1, 0, 0]) at radius rho is Tabulated([0, 1], [1, 0]) at e rho."""
    concentrated = fspl.Tabulated([0.0, epsilon, 1.0], [1.0, 0.0, 0.0])
    small = fspl.Tabulated([0.0, 1.0], [1.0, 0.0])
    rho = np.array([r for r in (1e-3, 1.0, 1e3) if epsilon * r >= 1e-6])
    inner = epsilon * rho
    u = np.multiply.outer(np.array([0.0, 0.3, 0.99, 1 - 1e-9, 1.0, 1 + 1e-9, 1.01, 2.0, 10.0, 100.0]), inner)
    a, da_du, da_drho = evaluate(concentrated, u, rho)
    b, db_du, db_drho = evaluate(small, u, inner)
    assert np.all(relative(a, b) <= 1e-10), np.max(relative(a, b))
    assert np.all(relative(da_du, db_du) <= 1e-8), np.max(relative(da_du, db_du))
    assert np.all(relative(da_drho, epsilon * db_drho) <= 1e-8), np.max(relative(da_drho, epsilon * db_drho))


def method_switches():
    """Ratios u/rho where the method changes: inside, the rules exact for the kink's logarithm at
    0.3, their longer piece at 0.7 and the graded panels where the kink's t is 0.15; the quadrature
    rules at 1.2 and 1.4, where the limb end stops being drawn out (for the smallest exponents 1
    and 1/2 of the laws), the far-field series for laws at 4, for slopes at 6 and for values at
    15, and where its number of terms changes; the linear law's chords at 0.2, 0.5, 0.8, 1.05,
    1.2, 1.5 and 2.2."""
    ratios = [0.01, 0.2, 0.3, 0.5, 0.7, 0.8, (1 - 0.15**2) / (1 + 0.15**2), 1.05, 1.2, 1.4, 1.5, 2.2, 4.0]
    ratios += [6.0, 15.0]
    ratios += [(1 + q) / (1 - q) for q in (0.05**2, 0.05**4)]
    ratios += [10 ** (8 / k) for k in range(1, 11)]
    return ratios


def straddle(x, count=4):
    """The doubles from `count` ulps below x to `count` above."""
    below = [x]
    above = [x]
    for _ in range(count):
        below.append(np.nextafter(below[-1], 0))
        above.append(np.nextafter(above[-1], np.inf))
    return np.array(below[:0:-1] + above)


def assert_no_jump(values, what):
    """Neighbouring doubles (inputs a few ulps apart) give values within the jump tolerances:
    1e-12 for the value, 1e-9 for the slopes (their own variation over an ulp is far smaller)."""
    for values_k, tolerance, name in zip(values, (1e-12, 1e-9, 1e-9), ("A", "dA/du", "dA/drho")):
        jumps = relative(values_k[1:], values_k[:-1])
        assert np.all(jumps <= tolerance), f"{what}: {name} jumps by {np.max(jumps):.1e}"


@pytest.mark.parametrize("name", LAWS)
def test_no_jump_where_the_method_changes(name):
    profile = LAWS[name]
    for rho in (1e-3, 1.0, 100.0):
        for ratio in method_switches():
            assert_no_jump(evaluate(profile, straddle(ratio * rho), rho), f"{name} rho={rho} u/rho={ratio}")
    for ratio in (0.0, 0.3, 0.999, 1.001, 1.3, 3.0, 10.0, 20.0):
        # The large-source rules and rim slopes from rho = 2 on, and the lengths of the linear
        # law's chord rules below it, with u held fixed.
        for edge in (1e-3, 0.05, 0.2, 0.5, 1.0, 2.0):
            assert_no_jump(evaluate(profile, ratio * edge, straddle(edge)), f"{name} across rho={edge}, u={ratio * edge}")


EXTREME_LAWS = [
    lambda: fspl.Linear(-1.79e308), lambda: fspl.Quadratic(-1e308, -1e308), lambda: fspl.SquareRoot(-1e308, -1e308),
    lambda: fspl.Power2(0.6, 2000.0), lambda: fspl.Power2(1.0, 1e-3),
    lambda: fspl.Tabulated([0.0, 1.0], [1e308, 1e308]), lambda: fspl.Tabulated([0.0, 1.0], [5e-324, 5e-324]),
    lambda: fspl.Tabulated([0.0, 5e-324, 1.0], [1.0, 0.5, 0.5]),
    lambda: fspl.Tabulated([0.0, 0.5, 0.5 + 1e-9, 1.0], [1.0, 1.0, 0.0, 0.0]),
]


def check_finite(profile, u, rho):
    a, da_du, da_drho = evaluate(profile, u, rho)
    on_limb = u == rho
    assert np.all(np.isfinite(a)) and np.all(a >= 1), (profile, u[~np.isfinite(a) | (a < 1)])
    # On the limb itself, the documented infinities (a law bright at the limb) or finite slopes.
    assert np.all(np.isfinite(da_du) | (on_limb & (da_du == -np.inf))), (profile, u[~np.isfinite(da_du)])
    assert np.all(np.isfinite(da_drho) | (on_limb & (da_drho == np.inf))), (profile, u[~np.isfinite(da_drho)])


@pytest.mark.parametrize("law", list(LAWS) + ["random"])
def test_no_nan_or_infinity_for_a_finite_accepted_input(law):
    """Every finite u (subnormal to the largest double) with every rho of the modelling range
    is accepted and finite; a light curve through the centre or along the limb too, its slopes
    by symmetry zero where du vanishes."""
    rng = np.random.default_rng(3)
    profiles = random_laws(rng, 4) if law == "random" else [LAWS[law]]
    rho = np.array([1e-6, 1e-3, 0.1, 1.0, 2.0, 1e3])
    edge = np.array([0.0, 5e-324, 1e-310, 1e-200, 1e77, 1e100, 1e200, 1.79e308])
    u = np.concatenate([separations(rng, rho, 10), np.multiply.outer(edge, np.ones_like(rho))])
    for profile in profiles:
        check_finite(profile, u, rho)
        for r in rho:
            t = np.arange(-1, 1, 0.1)
            a, *_ = fspl.magnification_curve(t, 0.0, 0.0, 1.0, r, profile, gradient=True)
            assert np.all(np.isfinite(a))
            # t = t0 with |u0| = rho: on the limb, moving along the trajectory does not change u.
            a, d_t0, d_u0, d_te, d_rho = fspl.magnification_curve(0.0, 0.0, r, 20.0, r, profile, gradient=True)
            assert math.isfinite(a) and d_t0 == 0 and d_te == 0, (profile, r, d_t0, d_te)
            # u0 = 0 through the limb: u0 does not move u to first order there.
            a, d_t0, d_u0, d_te, d_rho = fspl.magnification_curve(r * 8.0, 0.0, 0.0, 8.0, r, profile, gradient=True)
            assert math.isfinite(a) and d_u0 == 0, (profile, r, d_u0)


@pytest.mark.parametrize("make", EXTREME_LAWS, ids=range(len(EXTREME_LAWS)))
def test_extreme_laws_are_finite_or_refused(make):
    """A law at the edges of the doubles is either refused with a ValueError or gives finite
    results everywhere."""
    try:
        profile = make()
    except ValueError:
        return
    rho = np.array([1e-6, 1e-3, 1.0, 1e3])
    u = separations(np.random.default_rng(5), rho, 5)
    check_finite(profile, u, rho)


def test_the_point_source_at_zero_is_plus_infinity():
    assert fspl.point_source(0.0) == math.inf
    assert fspl.point_source(-0.0) == math.inf


def table_rule_switches():
    """u/rho where a piece of a many-sample table changes its node count (16, 20, 24, 32), for a
    small source, from the error bound R^-N N^-3 <= 2.6e-16 with R the Bernstein parameter of the
    kink off the piece (a = half the sum of its distances to the ends, over the half-length):
    in r, the last graded panel [2 z 4^j, 1] beyond the kink. A table in mu takes the layout of
    r about the kink at mu_k = sqrt(1 - z^2) (its switches where mu_k is r's) from where the
    centre lies mu_k / 16 beyond the kink on (mu_k = 16 / 17), and below that the same layout
    in s = sqrt(1 - mu) about s_k = z / sqrt(1 + mu_k) (where s_k is r's). Outside the source, the
    rules fixed per table change their node count at fixed u/rho."""
    in_r = [1 / 17]
    for n in (16, 20, 24):
        rho = math.exp((-math.log(2.6e-16) - 3 * math.log(n)) / n)
        a = (rho + 1 / rho) / 2
        in_r += [(a - 1) / (2 * (4**j - 1) + 2 * a * 4**j) for j in range(3)]
    switch = math.sqrt(33) / 17
    in_mu = [switch] + [math.sqrt((1 - k) * (1 + k)) for k in in_r]
    in_mu += [z for z in (k * math.sqrt(2 - k * k) for k in in_r) if z < switch]
    outside = [3.5, 3.0, 2.0, 1.6, 1.3, 1.15, 1.06, 1.03]
    return in_r + outside, in_mu + outside


@pytest.mark.parametrize("in_mu", [False, True])
def test_no_jump_where_a_table_piece_changes_rule(in_mu):
    x = np.linspace(0.0, 1.0, 1000)
    profile = fspl.Tabulated.from_mu(x, 0.4 + 0.6 * x) if in_mu else fspl.Tabulated(x, 0.4 + 0.6 * np.sqrt(1 - x * x))
    for rho in (1e-3, 0.05):
        for ratio in table_rule_switches()[in_mu]:
            assert_no_jump(evaluate(profile, straddle(ratio * rho, 8), rho), f"{in_mu} rho={rho} u/rho={ratio}")
