"""One parser for `python -m vexlo_tools.sim` and `vexlo sim`, and links that belong to one server."""

import os
from pathlib import Path

import pytest

from vexlo_tools import cli
from vexlo_tools.sim import PtyServer, SimulatedInstrument, serve

EXAMPLE = str(Path(__file__).resolve().parent.parent / "examples" / "sim_bench.toml")


def newtons(inst):
    """Channel 0's load: profile 0 measures it, in mV/V behind a TEDS sensor."""
    profile = inst.profiles[0]
    fraction = (inst.raw_count() - profile.counts[0]) / (profile.counts[1] - profile.counts[0])
    return round(fraction * (inst.teds_sensor.max_capacity if inst.teds_sensor else profile.loads[1]), 3)


def both_parsers(argv):
    """The instruments each command line builds from the same options."""
    standalone = serve.build_parser().parse_args(argv)
    vexlo = cli.build_parser().parse_args(["sim", *argv])
    return [serve.instruments_from_args(args, getattr(args, "instrument", [])) for args in (standalone, vexlo)]


@pytest.mark.parametrize("argv, expected", [
    ([], [("PLX310", 250.0, True), ("MVR420", 12.5, False)]),
    (["--load", "100", "--no-teds"], [("PLX310", 100.0, False), ("MVR420", 100.0, False)]),
    (["mvr420", "plx310", "--load", "250"], [("MVR420", 250.0, False), ("PLX310", 250.0, False)]),
    (["mvr420:load=5", "hsk640", "--load", "250"], [("MVR420", 5.0, False), ("HSK640", 250.0, False)]),
    (["--config", EXAMPLE], [("PLX310", 250.0, True), ("MVR420", 12.5, False)]),
    (["--config", EXAMPLE, "dta530"], [("PLX310", 250.0, True), ("MVR420", 12.5, False), ("DTA530", 0.0, False)]),
])
def test_both_command_lines_build_the_same_instruments(argv, expected):
    for instruments in both_parsers(argv):
        assert [(i.model, newtons(i), i.teds_sensor is not None) for i in instruments] == expected
        assert len({i.serial_number for i in instruments}) == len(instruments)


def test_a_bad_config_is_a_usage_error(tmp_path, capsys):
    bad = tmp_path / "bad.toml"
    bad.write_text("[[instrument]]\nmodel = 'MVR999'\n")
    with pytest.raises(SystemExit):
        serve.main(["--config", str(bad)])
    assert f"{bad}: instrument[0].model: unknown model 'MVR999'" in capsys.readouterr().err
    assert cli.main(["sim", "--config", str(bad)]) == 1
    assert "instrument[0].model" in capsys.readouterr().err


@pytest.mark.skipif(not hasattr(os, "openpty"), reason="pseudo-terminals")
def test_links_of_a_running_server_are_taken_only_by_force(tmp_path, capsys):
    prefix = str(tmp_path / "vex")
    link = prefix + "0"
    first = PtyServer([SimulatedInstrument.mvr420()], link_prefix=prefix)
    with first as (first_path,):
        assert os.readlink(link) == first_path
        with pytest.raises(FileExistsError, match="another running server"):
            PtyServer([SimulatedInstrument.mvr420()], link_prefix=prefix).start()
        assert serve.main(["mvr420", "--link", prefix]) == 1
        assert "--force" in capsys.readouterr().err
        second = PtyServer([SimulatedInstrument.hsk640()], link_prefix=prefix, force_links=True)
        with second as (second_path,):
            assert os.readlink(link) == second_path
            first.stop()  # must not remove the link it no longer owns
            assert os.readlink(link) == second_path
        assert not os.path.lexists(link)
    # A link the server did not make stays, even one leading nowhere, unless forced; a file always stays.
    os.symlink("/dev/pts/no-such-port", link)
    with pytest.raises(FileExistsError, match="is a link to /dev/pts/no-such-port, which does not exist"):
        PtyServer([SimulatedInstrument.mvr420()], link_prefix=prefix).start()
    assert os.readlink(link) == "/dev/pts/no-such-port"
    with PtyServer([SimulatedInstrument.mvr420()], link_prefix=prefix, force_links=True) as (path,):
        assert os.readlink(link) == path
    Path(link).write_text("mine")
    with pytest.raises(FileExistsError, match="is a regular file: not replacing"):
        PtyServer([SimulatedInstrument.mvr420()], link_prefix=prefix, force_links=True).start()
    assert Path(link).read_text() == "mine"
