"""Plot reduction: extremes kept per pixel column, chunking does not matter, gaps found."""
import numpy as np
import pytest

from vexlo_tools import plot


def signal(n, seed=1):
    rng = np.random.default_rng(seed)
    value = rng.normal(0.0, 1.0, n)
    value[rng.integers(0, n, 20)] = rng.choice([-50.0, 50.0], 20)  # spikes a sampling would miss
    return np.arange(n) / 1000.0, value


@pytest.mark.parametrize("n, columns", [(100_000, 1200), (1199, 1200), (5, 2), (12_345, 7)])
def test_each_column_keeps_its_minimum_and_maximum(n, columns):
    time, value = signal(n)
    reduced = plot.minmax(time, value, columns)
    per = -(-n // columns)
    runs = [value[i:i + per] for i in range(0, n, per)]
    assert len(reduced.value) == 2 * len(runs) <= 2 * columns
    pairs = reduced.value.reshape(-1, 2)
    np.testing.assert_array_equal(pairs.min(axis=1), [r.min() for r in runs])
    np.testing.assert_array_equal(pairs.max(axis=1), [r.max() for r in runs])
    # Each point sits at the time of the sample it stands for, in time order.
    assert np.all(np.diff(reduced.time) >= 0)
    np.testing.assert_array_equal(value[np.searchsorted(time, reduced.time)], reduced.value)


@pytest.mark.parametrize("chunk", [1, 999, 4096, 100_000])
def test_reading_in_chunks_gives_the_same_picture(chunk):
    time, value = signal(50_000, seed=2)
    whole = plot.minmax(time, value, 800, period=0.001)
    reducer = plot.MinMaxReducer(len(time), 800, period=0.001)
    for start in range(0, len(time), chunk):
        reducer.add(time[start:start + chunk], value[start:start + chunk])
    parts = reducer.finish()
    np.testing.assert_array_equal(parts.time, whole.time)
    np.testing.assert_array_equal(parts.value, whole.value)
    assert parts.gaps == whole.gaps == [] and parts.samples == 50_000


@pytest.mark.parametrize("chunk", [10, 250, 1000])
def test_gaps_are_found_also_across_chunks(chunk):
    index = np.concatenate((np.arange(0, 250), np.arange(260, 500), np.arange(501, 1000)))
    time = index / 100.0
    reducer = plot.MinMaxReducer(len(time), 50, period=0.01)
    for start in range(0, len(time), chunk):
        reducer.add(time[start:start + chunk], np.zeros(len(time[start:start + chunk])))
    assert reducer.finish().gaps == [(2.49, 2.6), (4.99, 5.01)]


def test_gaps_closer_than_a_column_are_drawn_as_one():
    assert plot.merge_gaps([(5.0, 5.1), (1.0, 1.01), (1.05, 1.2)], 0.1) == [(1.0, 1.2), (5.0, 5.1)]


@pytest.mark.parametrize("level, notes", [(0.6, "bolt M8; torque 25 N·m\nsecond run"), (250.0, None),
                                          (-3e-9, "$x^2$ stays text")])
def test_a_picture_shows_the_notes_and_a_near_flat_trace_without_an_offset(level, notes):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure
    from vexlo_tools.recording.writers import Source
    n = 2000
    value = level + 1e-7 * abs(level) * np.sin(np.arange(n) / 50.0)
    time = np.arange(n) / 1000.0
    metadata = {"model": "PLX310", "serial_number": 1, "unit": "mV/V", "samples_per_second": 1000.0}
    if notes:
        metadata["notes"] = notes
    source = Source("1", metadata, n, lambda a, b, with_adc: (time[a:b], np.zeros(0, np.uint32), value[a:b]))
    figure = Figure(figsize=(8, 3), dpi=100)
    plot.draw(figure, [source], "run.h5")
    figure.canvas.draw()
    [ax] = figure.axes
    assert ax.yaxis.get_major_formatter().get_offset() == ""
    texts = [t.get_text() for t in ax.texts]
    assert texts == ([" ".join("; ".join(notes.splitlines()).split())] if notes else [])
