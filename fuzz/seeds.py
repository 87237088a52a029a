#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Each seed is a small, readable case of the input format described at the top
of the target's source file; the fuzzer grows the corpus from them.  Run it
again after changing a format; reproducers of fixed crashes are added to the
corpus folders by hand and are not touched here.
"""
import pathlib

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"
ROOT = CORPUS.parent.parent

# ---- report_reader: keyboard period, then (control, value) records ----
AUX, KEYBOARD, PAUSE = 0, 2, 3
MS = 16  # delay units of 64 us in about one millisecond


def records(*items):
    """items: (kind, value) or (kind, value, delay_units)."""
    out = bytearray()
    for item in items:
        kind, value = item[0], item[1]
        delay = item[2] if len(item) > 2 else MS
        out += bytes([(delay << 2) | kind, value])
    return out


def aux(*values, delay=MS):
    return [(AUX, v, delay) for v in values]


def report_reader_seeds():
    return {
        "three_packets": bytes([10]) + records(
            *aux(0x81, 0x7F, 0x7F, 0x00, 0x01),
            *aux(0x80, 0x01, 0x00, 0x02, 0x00),
            *aux(0xA1, 0x00, 0x00, 0x00, 0x00, 0xFF)),
        "keyboard_between_bytes": bytes([5]) + records(
            (AUX, 0x81), (KEYBOARD, 0x1C), (AUX, 0x10), (AUX, 0x20),
            (KEYBOARD, 0xF0), (KEYBOARD, 0x1C), (AUX, 0x30), (AUX, 0x40)),
        "keyboard_byte_never_taken": bytes([0]) + records(
            *aux(0x81, 0x01, 0x02), (KEYBOARD, 0x1C), *aux(0x03, 0x04)),
        "broken_packets": bytes([20]) + records(
            *aux(0x01), *aux(0x81, 0x80), *aux(0x81, 0x00, 0x00, 0x00, 0x00)),
        "pause_inside_packet": bytes([20]) + records(
            *aux(0x81, 0x10, 0x20), (PAUSE, 60), *aux(0x30, 0x40, 0x81, 1, 2, 3, 4)),
        "byte_after_five_byte_packet": bytes([20]) + records(
            *aux(0x81, 0x01, 0x02, 0x03, 0x04, 0x05), *aux(0x80, 0, 0, 0, 0)),
        "back_to_back": bytes([1]) + records(*aux(*([0x81, 0x7F, 0x7F, 0x7F, 0x7F] * 6), delay=0)),
    }


# ---- controller_command: length, command, argument, then port answers ----
WRITE_OK = [0x00]          # status: input buffer empty
AUX_BYTE = 0x21            # status: output full, from the auxiliary device


def ack(value=0xFA):
    return WRITE_OK + WRITE_OK + [AUX_BYTE, value]


def reply(*values):
    out = []
    for v in values:
        out += [AUX_BYTE, v]
    return out


def command_seed(length, command, argument, answers):
    return bytes([length, command, argument] + answers)


def controller_command_seeds():
    return {
        "good_A": command_seed(1, 0x41, 0, ack() * 3 + reply(0x0A, 0x01, 0x41)),
        "good_C_payload": command_seed(2, 0x43, 9, ack() * 4 + reply(0x0A, 0x03, 0x43, 7, 8)),
        "zero_length_reply": command_seed(1, 0x44, 0, ack() * 3 + reply(0x0A, 0x00, 0x44)),
        "nak_second_byte": command_seed(1, 0x45, 0, ack() + ack(0xFE)),
        "wrong_header": command_seed(1, 0x41, 0, ack() * 3 + reply(0x0B)),
        "wrong_echo": command_seed(2, 0x43, 1, ack() * 4 + reply(0x0A, 0x01, 0x42)),
        "length_three": command_seed(3, 0x41, 0, ack() * 5),
        "busy_then_ready": command_seed(
            1, 0x41, 0, [0x02] * 40 + ack() * 3 + reply(0x0A, 0x01, 0x41)),
        "keyboard_byte_waiting": command_seed(
            1, 0x41, 0, WRITE_OK * 2 + [0x01] * 30 + [AUX_BYTE, 0xFA] + ack() * 2 +
            reply(0x0A, 0x01, 0x41)),
        "reply_missing": command_seed(1, 0x41, 0, ack() * 3),
    }


# ---- reg_parser: defines byte, then .reg text ----
def reg_parser_seeds():
    sample = (ROOT / "target" / "platform.reg").read_bytes()
    features = b"""; every form of value
[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\TOUCH]
"ioBase"=dword:60
@="default value"
"Name"="quote \\" and backslash \\\\"
"Bytes"=hex:01,02,ff
"Multi"=hex(7):41,00,00,00,00,00
"List"=multi_sz:"one","two"
"Expand"=hex(2):41,00,00,00

[\\Drivers\\BuiltIn\\Touch]
"Priority256"=dword:6D

IF IMGTOUCH
[HKEY_LOCAL_MACHINE\\System\\GWE]
    "ActivityEvent"="PowerManager/ActivityTimer/UserActivity"
IF BSP_TOUCH_BEEP !
    "Other"=dword:1
ENDIF
ENDIF

[-HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Touch]
"""
    return {
        "platform_reg": bytes([0]) + sample,
        "platform_reg_notouch": bytes([1]) + sample,
        "features": bytes([2]) + features,
        "features_all_defined": bytes([7]) + features,
        "unclosed_if": bytes([0]) + b"IF IMGTOUCH\n[HKEY_LOCAL_MACHINE\\A]\n",
        "bad_dword": bytes([0]) + b'[HKEY_LOCAL_MACHINE\\A]\n"x"=dword:zz\n',
    }


# ---- scenario_parser: the example scenarios ----
def scenario_parser_seeds():
    return {path.stem: path.read_bytes() for path in sorted((ROOT / "examples").glob("*.json"))}


def write(target, seeds):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (folder / f"seed_{name}").write_bytes(bytes(data))


if __name__ == "__main__":
    write("report_reader", report_reader_seeds())
    write("controller_command", controller_command_seeds())
    write("reg_parser", reg_parser_seeds())
    write("scenario_parser", scenario_parser_seeds())
