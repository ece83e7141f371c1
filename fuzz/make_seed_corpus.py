#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/).

The seeds are committed; rerun this only to change them. Each seed is a
readable scenario that takes the fuzzer straight to an interesting state:
whole rounds, split replies, stalls, cache loads, lookups, and configurations
of every shape the driver and the unified data device read.
"""

import json
import os

HERE = os.path.dirname(os.path.abspath(__file__))
MASK = 0x9E
STEPS_REGISTERS = [0] + list(range(2, 51)) + list(range(52, 65))  # 63 replies a round

# Reply-stream program operations (see reply_stream_fuzzer.cpp).
REFRESH = b"R"
LOOKUP = b"G"
ECHO = b"E"  # followed by the setting: 0 "auto", 1 "on", 2 "off", 3 absent, 4.. read as auto


def reply(value, tail=b"00", lower=False):
    text = b"%02X" % (value ^ MASK)
    return (text.lower() if lower else text) + tail


def echo_reply(value, reg, lower=False):
    """A reply whose bytes 2-3 name the register it answers."""
    tail = b"%02X" % (reg ^ MASK)
    return reply(value, tail.lower() if lower else tail, lower)


def chunk(data):
    assert len(data) <= 7
    return bytes([len(data)]) + data


def sample_register(reg):
    # Values that give a plausible generator set: 400 V lines, 50.3 Hz, 24 V battery.
    table = {2: 0x40, 3: 0x40, 4: 0x40, 5: 0x9C, 6: 0x9C, 7: 0x9C, 8: 50, 9: 3,
             10: 230, 11: 231, 12: 229, 29: 120, 34: 0x05, 35: 0x42}
    return table.get(reg, (reg * 7) & 0xFF)


def full_round(lower=False, split=None, echo=False):
    out = REFRESH
    for reg in STEPS_REGISTERS:
        value = sample_register(reg)
        r = echo_reply(value, reg, lower) if echo else reply(value, lower=lower)
        if split:
            cut = split[reg % len(split)]
            out += chunk(r[:cut]) + chunk(r[cut:])
        else:
            out += chunk(r)
    return out


def lookups():
    return b"".join(LOOKUP + bytes([i]) for i in range(14))


def cache_load(kind, fill):
    return b"L" + bytes([kind]) + bytes([fill]) * 101


def reply_stream_seeds():
    seeds = {}
    seeds["full_round"] = full_round() + lookups()
    seeds["split_round"] = full_round(lower=True, split=[1, 2, 3]) + lookups()
    partial = REFRESH + b"".join(chunk(reply(sample_register(r))) for r in STEPS_REGISTERS[:10])
    seeds["stall_overlong"] = partial + chunk(b"9E00A") + full_round()
    seeds["stall_three_then_two"] = partial + chunk(b"9E0") + chunk(b"0A") + lookups()
    seeds["stall_garbled"] = partial + chunk(b"ZZ00") + REFRESH + chunk(b"9Eg0") + lookups()
    seeds["huge_length"] = partial + chunk(b"9E") + b"\x09\x00" + b"\x09\x03" + full_round()
    seeds["reply_after_round"] = full_round() + chunk(reply(1)) + chunk(reply(2)) + lookups()
    seeds["cache_loads"] = (lookups() + b"".join(cache_load(k, 0x41 + k) for k in range(6)) +
                            lookups() + b"S" + bytes([100]) + b"\x42" * 100 +
                            b"S" + bytes([99]) + b"\x43" * 99)
    seeds["cache_mid_round"] = partial + chunk(b"9E") + cache_load(0, 0x10) + chunk(b"00") + \
        full_round()[1:] + lookups()
    seeds["reply_before_refresh"] = chunk(reply(5)) + full_round()
    seeds["restart_mid_round"] = partial + REFRESH + partial[1:] + full_round()
    seeds["long_chunk"] = REFRESH + b"\x08\x10" + b"0" * 16 + b"\x00" + lookups()
    # Reply echo: a confirming round, then a late reply that shifts the next one.
    seeds["echo_confirm_then_late"] = (full_round(echo=True) + REFRESH +
                                       chunk(echo_reply(sample_register(64), 64)) +
                                       full_round(echo=True)[1:] + lookups())
    # Confirmed, the round's last reply answers register 63 again: no round end.
    seeds["echo_wrong_last"] = (full_round(echo=True) * 2)[:-5] + chunk(echo_reply(7, 63)) + \
        chunk(echo_reply(7, 64)) + lookups()
    seeds["echo_lower_case"] = full_round(lower=True, echo=True) * 2 + lookups()
    seeds["echo_on_from_start"] = (ECHO + b"\x01" + REFRESH + chunk(reply(1)) +
                                   full_round(echo=True)[1:] + lookups())
    seeds["echo_off"] = ECHO + b"\x02" + full_round(echo=True) * 2 + full_round() + lookups()
    seeds["echo_reconfigured"] = (full_round(echo=True) + ECHO + b"\x03" + full_round() +
                                  ECHO + b"\x05" + full_round(echo=True, split=[2]))
    seeds["echo_stray_after_round"] = (full_round(echo=True) + chunk(b"ZZ00") +
                                       chunk(reply(3)) + chunk(b"9Eg0") + lookups())
    seeds["empty"] = b""
    return seeds


def device_config_seeds():
    full = {
        "appSetting": {"addr": "65", "b_mode": "3"},
        "thresholdSetting": {
            "a_5": {"SignalName": "a_5", "NMAlarmID": "1001", "ID": "2", "SignalNumber": "7"},
            "b_2": {},
            "b_6": {"SignalName": "b_6", "ID": 4},
            "skip": "not an entry",
        },
    }
    texts = {
        "addr_text": {"appSetting": {"addr": "65"}},
        "addr_fraction": {"appSetting": {"addr": "65.9"}},
        "addr_negative": {"appSetting": {"addr": "-1"}},
        "addr_letters": {"appSetting": {"addr": "abc"}},
        "addr_number": {"appSetting": {"addr": 300}},
        "addr_bool": {"appSetting": {"addr": True}},
        "addr_null": {"appSetting": {"addr": None}},
        "addr_array": {"appSetting": {"addr": [65]}},
        "addr_object": {"appSetting": {"addr": {"value": 65}}},
        "addr_huge": {"appSetting": {"addr": "1e300"}},
        "echo_on": {"appSetting": {"addr": "7", "replyEcho": "on"}},
        "echo_off": {"appSetting": {"replyEcho": "off"}},
        "echo_number": {"appSetting": {"replyEcho": 1}},
        "echo_with_bad_addr": {"appSetting": {"addr": [7], "replyEcho": "on"}},
        "app_string": {"appSetting": "addr"},
        "app_array": {"appSetting": [{"addr": "1"}]},
        "full": full,
        "b_mode_digits": {"appSetting": {"b_mode": "03abc"}, "thresholdSetting": {"x": {}}},
        "b_mode_two": {"appSetting": {"b_mode": "2"}, "thresholdSetting": full["thresholdSetting"]},
        "b_mode_array": {"appSetting": {"b_mode": [3]}},
        "b_mode_float": {"appSetting": {"b_mode": 3.0}, "thresholdSetting": {"n": {"ID": 1.5}}},
        "threshold_array": {"appSetting": {"b_mode": "3"}, "thresholdSetting": [{"ID": "1"}]},
        "signal_object": {"appSetting": {"b_mode": "3"},
                          "thresholdSetting": {"x": {"SignalName": {"a": 1}}}},
        "part_array": {"appSetting": {"b_mode": "3"},
                       "thresholdSetting": {"x": {"NMAlarmID": "1", "ID": [2]}}},
        "root_array": [1, 2],
        "root_string": "appSetting",
        "root_null": None,
    }
    seeds = {name: json.dumps(value).encode() for name, value in texts.items()}
    seeds["addr_nan"] = b'{"appSetting":{"addr":NaN}}'
    seeds["addr_infinity"] = b'{"appSetting":{"addr":-Infinity}}'
    return seeds


def request(address, reg, command=0xC8):
    return b"|%02X%02X%02X" % (address ^ MASK, command ^ MASK, reg ^ MASK)


def sim_request_seeds():
    seeds = {}
    seeds["round"] = b"".join(request(0x41, reg) for reg in STEPS_REGISTERS)
    seeds["one_frame"] = request(0x41, 0)
    seeds["other_address"] = request(0x07, 64) + request(0xFF, 1)
    seeds["lower_case"] = request(0x41, 5).lower() + request(0x41, 6)
    seeds["wrong_command"] = request(0x41, 5, command=0xC9) + request(0x41, 6)
    seeds["register_65"] = request(0x41, 65) + request(0x41, 0)
    seeds["interrupted"] = request(0x41, 7)[:4] + request(0x41, 8)
    seeds["stray_bytes"] = b"\r\n" + request(0x41, 9) + b"xx" + request(0x41, 10)
    seeds["half_frame_at_end"] = request(0x41, 11) + request(0x41, 12)[:5]
    seeds["empty"] = b""
    return seeds


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("reply_stream", reply_stream_seeds())
    write("device_config", device_config_seeds())
    write("sim_request", sim_request_seeds())
