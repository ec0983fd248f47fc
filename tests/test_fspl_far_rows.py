"""Far-field elements of an array are computed four at a time, side by side, and so are the
uniform disk's values nearer in, by its closed form. An element's bits must not depend on that:
alone (a call of plain numbers), at any place in a row, beside neighbours with other term counts
or on the other side of u = 2 or of 10 rho, in a row cut short by the end of a range, and on any
number of threads, it gets the same bits; and its value is the same with and without
gradient=True."""

import numpy as np
import pytest

import lumagnis_fspl as fspl

LAWS = {
    "uniform": None,
    "linear": fspl.Linear(0.6),
    "power2": fspl.Power2(0.6, 0.01),
    "nonlinear": fspl.Nonlinear(0.5, -0.2, 0.6, -0.3),
    "table_r": fspl.Tabulated([0.0, 0.3, 0.7, 1.0], [1.0, 0.9, 0.6, 0.3]),
}


def mixed_points(seed, count):
    """u / rho from inside the source to 1e8 (every term count, near and series elements
    interleaved, runs of near ones), rho over the accepted range, and separations straddling
    u = 2, where the series changes its variable."""
    rng = np.random.default_rng(seed)
    ratio = 10 ** rng.uniform(-0.5, 8, count)
    # A third of the elements inside 10 rho, in runs, the centre and the limb among them.
    for start in range(0, count, 24):
        ratio[start : start + 8] = rng.uniform(0, 10, len(ratio[start : start + 8]))
    ratio[[7, 31]] = [0.0, 1.0]
    rho = 10 ** rng.uniform(-6, 0, count)
    u = ratio * rho
    straddle = rng.choice(count, count // 4, replace=False)
    rho[straddle] = 10 ** rng.uniform(-4, -1, straddle.size)
    u[straddle] = 2 * (1 + rng.uniform(-1e-3, 1e-3, straddle.size))
    # Sources small enough that a lone element is computed scaled up by a power of 2.
    tiny = rng.choice(count, count // 8, replace=False)
    rho[tiny] = 10 ** rng.uniform(-100, -22, tiny.size)
    u[tiny] = ratio[tiny] * rho[tiny]
    # Exact boundaries: the series' own thresholds at u = 4 rho and 10 rho, and u = 2.
    u[:6] = [4 * rho[0], 10 * rho[1], 2.0, np.nextafter(2.0, 3), np.nextafter(2.0, 1), 1e60]
    return u, rho


def as_tuple(result):
    return result if isinstance(result, tuple) else (result,)


@pytest.mark.parametrize("gradient", [False, True])
@pytest.mark.parametrize("name", LAWS)
def test_row_elements_have_their_own_bits(name, gradient):
    law = LAWS[name]
    u, rho = mixed_points(hash(name) % 1000, 1200)

    def call(u, rho, **kw):
        return as_tuple(fspl.limb_darkened(u, rho, law, gradient=gradient, **kw))

    whole = [np.asarray(r) for r in call(u, rho)]
    # Alone: the scalar path, which never forms a row.
    for i in range(0, u.size, 7):
        alone = call(float(u[i]), float(rho[i]))
        for r, a in zip(whole, alone):
            assert r[i].tobytes() == np.float64(a).tobytes(), (i, u[i], rho[i])
    # Shifted by 1..3, every element sits at every place of a row, beside other neighbours.
    for shift in (1, 2, 3):
        moved = call(np.roll(u, shift), np.roll(rho, shift))
        for r, m in zip(whole, moved):
            assert np.roll(r, shift).tobytes() == np.asarray(m).tobytes()
    # Rows broken by the walk's inner extent (7) and by a broadcast rho, and shared on threads.
    grid = call(u[:1197].reshape(171, 7), rho[:1197].reshape(171, 7), threads=2)
    for r, g in zip(whole, grid):
        assert r[:1197].tobytes() == np.asarray(g).ravel().tobytes()
    one_rho = call(u, rho[3])
    reference = call(u[:40], np.full(40, rho[3]))
    for o, ref in zip(one_rho, reference):
        assert np.asarray(o)[:40].tobytes() == np.asarray(ref).tobytes()
    if gradient:
        value = fspl.limb_darkened(u, rho, law)
        assert whole[0].tobytes() == np.asarray(value).tobytes()


def test_avx2_far_row_equals_the_portable_one():
    """The far-field row on AVX2 and on pairs of doubles gives the same bits, slopes included,
    for lanes with different term counts on either side of u = 2."""
    import lumagnis_testing as T

    if not T.fspl_vectorised():
        pytest.skip("this processor has no AVX2: only the portable lanes run")
    rng = np.random.default_rng(11)
    for _ in range(400):
        rho = 10 ** rng.uniform(-8, 0, 4)
        u = rho * 10 ** rng.uniform(np.log10(4.0) + 1e-9, 8, 4)
        for gradient in (False, True):
            portable = T.fspl_far_row(*u, *rho, False, gradient)
            avx2 = T.fspl_far_row(*u, *rho, True, gradient)
            if portable is None:
                assert avx2 is None
                continue
            assert [x.hex() for x in avx2] == [x.hex() for x in portable], (u, rho)


def test_closed_points_are_the_bits_of_one_point():
    """The uniform disk's closed form for points side by side, each its own u and rho, four at a
    time, with and without the slopes, on AVX2 and on the portable lanes: every lane
    the bits of a call for its point alone, lanes that stop at very different steps (the limb to
    1e-12, the centre, large and small ratios) beside each other."""
    import lumagnis_testing as T

    rng = np.random.default_rng(29)
    paths = [False, True] if T.fspl_vectorised() else [False]
    for _ in range(300):
        rho = 10 ** rng.uniform(-6, 0.3, 8)
        ratio = rng.choice([rng.uniform(0, 10), 1 + 10 ** rng.uniform(-12, -2), 0.0, 9.99], 8)
        ratio = np.where(rng.uniform(size=8) < 0.5, rng.uniform(0, 10, 8), ratio)
        ratio[ratio == 1.0] = 0.5
        u = (ratio * rho).tolist()
        alone = [fspl.uniform(x, r) for x, r in zip(u, rho.tolist())]
        # The slopes where they are the closed form's own: off the centre, the limb and the
        # series, for a disk below 2 Einstein radii.
        own = [0.01 * r < x < 6 * r and abs(x - r) > 1e-6 * r and r < 2 for x, r in zip(u, rho)]
        sloped = [fspl.uniform(x, r, gradient=True) for x, r in zip(u, rho.tolist())]
        for avx2 in paths:
            got = T.fspl_disk_points(u, rho.tolist(), avx2, False)
            # The value is kept from below 1, as alone.
            got = [max(g, 1.0) for g in got]
            assert [x.hex() for x in got] == [x.hex() for x in alone], (u, rho.tolist(), avx2)
            got = T.fspl_disk_points(u, rho.tolist(), avx2, True)
            for i in (i for i in range(8) if own[i]):
                want = sloped[i]
                assert [max(got[i], 1.0).hex(), got[8 + i].hex(), got[16 + i].hex()] == [
                    w.hex() for w in want], (u[i], rho[i], avx2)


@pytest.mark.parametrize("gradient", [False, True])
def test_curve_epochs_in_rows_have_their_own_bits(gradient):
    """A season's curve (mostly far-field epochs, a few across the source) gives every epoch the
    bits of a call for that epoch alone, shifted or not within the rows."""
    t = np.linspace(-60.0, 60.0, 403)
    args = (0.7, 0.02, 20.0, 0.05)
    for law in (None, fspl.Power2(0.6, 0.6)):
        whole = as_tuple(fspl.magnification_curve(t, *args, law, gradient=gradient))
        shifted = as_tuple(fspl.magnification_curve(t[1:], *args, law, gradient=gradient))
        for w, s in zip(whole, shifted):
            assert np.asarray(w)[1:].tobytes() == np.asarray(s).tobytes()
        for i in range(0, t.size, 9):
            alone = as_tuple(fspl.magnification_curve(float(t[i]), *args, law, gradient=gradient))
            for w, a in zip(whole, alone):
                assert np.asarray(w)[i].tobytes() == np.float64(a).tobytes(), (i, t[i])


def unaligned_copy(x):
    """x's values in an array whose data starts one byte past an 8-byte boundary."""
    buffer = np.empty(x.size * 8 + 9, dtype=np.uint8)
    start = (-buffer.ctypes.data) % 8 + 1
    view = np.frombuffer(buffer[start : start + x.size * 8].data, dtype=np.float64)
    view[:] = x
    assert view.ctypes.data % 8 != 0
    return view


@pytest.mark.parametrize("gradient", [False, True])
@pytest.mark.parametrize("name", ["uniform", "linear"])
def test_element_bits_do_not_depend_on_the_layout(name, gradient):
    """Contiguous arrays are read in place four at a time where the row takes all four; strided,
    unaligned, reversed and broadcast ones go element by element. Runs of far and near elements
    of every length make the in-place tries fail at every offset. Every element keeps the bits
    of its call alone."""
    law = LAWS[name]
    rng = np.random.default_rng(5)
    rho = 0.01
    runs = rng.integers(1, 9, 160)
    ratio = np.concatenate(
        [rng.uniform(11, 1e4, n) if k % 2 else rng.uniform(0.2, 9, n) for k, n in enumerate(runs)]
    )
    u = ratio * rho

    def call(u, rho):
        return [np.asarray(r) for r in as_tuple(fspl.limb_darkened(u, rho, law, gradient=gradient))]

    expected = [np.array(list(column)) for column in zip(*(call(float(x), rho) for x in u))]
    wide = np.empty(2 * u.size)
    wide[::2] = u
    # Each layout's results, and the elements of u they belong to.
    layouts = {
        "contiguous": (call(u, rho), slice(None)),
        "rho array": (call(u, np.full(u.size, rho)), slice(None)),
        "strided": (call(wide[::2], rho), slice(None)),
        "unaligned": (call(unaligned_copy(u), rho), slice(None)),
        "reversed": ([r[::-1] for r in call(u[::-1].copy(), rho)], slice(None)),
        "offset by one": (call(u[1:], rho), slice(1, None)),
    }
    for layout, (results, part) in layouts.items():
        for k, (r, e) in enumerate(zip(results, expected)):
            assert r.tobytes() == e[part].tobytes(), (layout, k)
