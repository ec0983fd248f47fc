"""Shows each function of lumagnis with its signature and one computed value."""

import inspect

import lumagnis

CALLS = {
    "witt_mao_magnification": ([0.0, 3.0], 1.0, 0.5),
    "integrated_witt_mao_magnification": ([3.0], 1.0, 0.5),
    "integrated_flux_map_witt_mao_magnification": ([3.0], 1.0, 0.5, [0.0, 1.0], [1.0, 0.4]),
    "heyrovsky_magnification": (2.0, 0.5, 1.0, 1.0),
    "integrated_heyrovsky_magnification": ([2.0, 5.0], 1.0, 1.0),
    "integrated_flux_map_heyrovsky_magnification": ([2.0], 1.0, 1.0, [0.0, 1.0], [1.0, 0.4]),
    "discrete_flux_map_heyrovsky_magnification": ([2.0], 1.0, 1.0, [0.25, 0.75], [0.5, 0.5]),
}

for name in lumagnis.__all__:
    function = getattr(lumagnis, name)
    arguments = CALLS[name]
    try:
        value = function(*arguments)
    except NotImplementedError:
        value = "(not built yet)"
    print(f"{name}{inspect.signature(function)}")
    print(f"    {name}{arguments} = {value}")
