"""The extension's model facts (rate enumerations, high-rate gate, discovery baud rates) agree with
vexlo_tools.models, seen only through the extension's public behaviour."""
from types import SimpleNamespace
from unittest import mock

import pytest

import vexlo_device_communication as vexlo
from vexlo_tools import models

Interface = vexlo._SerialCommunicationInterface


def rate_of(member):
    return float(member.name[len("SPS_"):].replace("_", "."))


def test_one_rate_enumeration_per_model_named_in_the_annotation_in_order():
    names = sorted(n[:-len("SamplingRateEnum")] for n in dir(vexlo) if n.endswith("SamplingRateEnum"))
    assert names == sorted(models.MODEL_NAMES)
    annotation = vexlo.VexloDevice.set_sampling_rate.__annotations__["samples_per_second"]
    assert annotation == "Union[" + ", ".join(f"{n}SamplingRateEnum" for n in models.MODEL_NAMES) + "]"


@pytest.mark.parametrize("name", models.MODEL_NAMES)
def test_rate_codes_and_rates_agree(name):
    info = models.model_info(name)
    members = list(getattr(vexlo, f"{name}SamplingRateEnum"))
    assert [(m.value, rate_of(m)) for m in members] == list(enumerate(info.rates))
    if info.high_rate_code is not None:
        assert rate_of(members[info.high_rate_code]) == max(info.rates)


HIGH_RATE_CODE = models.MODELS["PLX310"].high_rate_code


@pytest.mark.parametrize("item", [models.PLUS_PRIME_ITEM_NUMBER, models.MODELS["PLX310"].default_item_number])
def test_high_rate_gate_follows_the_editions(item):
    link = Interface("COM_TEST")
    answers = [item, "PLX310"]  # the item number is asked first, then the model
    sent = []
    link.send_convert_return_sequence = lambda command, arguments: answers.pop(0)
    link.send_sequence = lambda command, arguments: sent.append(bytes(arguments))
    offered = models.MODELS["PLX310"].offered_rates(item)
    if len(offered) > HIGH_RATE_CODE:
        link.set_sampling_rate(0, HIGH_RATE_CODE)
        assert sent == [bytes([0, HIGH_RATE_CODE])]
    else:
        with pytest.raises(vexlo.VexloInvalidParameterError):
            link.set_sampling_rate(0, HIGH_RATE_CODE)
        assert sent == []


@pytest.mark.parametrize("wanted", [[name] for name in models.MODEL_NAMES] + [None])
def test_discovery_tries_the_models_baud_rates(wanted):
    tried = []
    with mock.patch("serial.tools.list_ports.comports", lambda: [SimpleNamespace(device="COM1")]), \
            mock.patch.object(Interface, "connect", lambda self: tried.append(self.baud_rate)), \
            mock.patch.object(Interface, "get_model_number", lambda self: ""), \
            mock.patch.object(Interface, "disconnect", lambda self: None):
        assert vexlo.VexloSerialScanner.discover_devices(device_models=wanted) == []
    expected = []
    for name in wanted or models.MODEL_NAMES:
        expected += [b for b in models.model_info(name).baud_rates if b not in expected]
    assert tried == expected


def test_a_new_link_waits_the_read_timeout_of_the_data_file():
    assert Interface("COM_TEST").timeout == models.READ_TIMEOUT_SECONDS


@pytest.mark.parametrize("member", list(vexlo.UnitOfMeasureEnum), ids=lambda m: m.name)
def test_a_unit_is_shown_as_usually_spelled_and_read_back_as_the_same_unit(member):
    from vexlo_tools.sim.units import PROFILE_UNITS
    symbol = models.unit_symbol(member.name)
    assert "_" not in symbol and (member.name != "mVV" or symbol == "mV/V")
    # A recording's unit, replayed by the simulator, is the same unit code again.
    assert PROFILE_UNITS[symbol] == member.value
